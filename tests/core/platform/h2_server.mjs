// An HTTP/2-only server over TLS on 127.0.0.1 for the HTTP engine's tests (Node's own http2).
// Usage: node h2_server.mjs KEY.pem CERT.pem. Prints its port, then answers every request once four
// requests wait at once (or after 20 s alone) with "together"/"alone" and how many connections it
// has accepted so far. Ends when its standard input closes.
import fs from 'node:fs';
import http2 from 'node:http2';

const [key, cert] = process.argv.slice(2).map((file) => fs.readFileSync(file));
const server = http2.createSecureServer({ key, cert });
let connections = 0;
let waiting = [];
server.on('session', () => { connections += 1; });
server.on('stream', (stream) => {
  const answer = (word) => {
    stream.respond({ ':status': 200, 'content-type': 'text/plain' });
    stream.end(`${word} over ${connections}`);
  };
  waiting.push(answer);
  if (waiting.length === 4) {
    const group = waiting;
    waiting = [];
    group.forEach((each) => each('together'));
    return;
  }
  setTimeout(() => {
    if (waiting.includes(answer)) {
      waiting = waiting.filter((each) => each !== answer);
      answer('alone');
    }
  }, 20000).unref();
});
server.listen(0, '127.0.0.1', () => console.log(server.address().port));
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
