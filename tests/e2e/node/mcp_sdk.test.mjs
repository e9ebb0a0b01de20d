// trayline --mcp as a real MCP client sees it: the official TypeScript SDK client over stdio, the
// demo instance as a child process, an isolated profile and tokens in a real keyring. What each
// tool sends and says is the dispatcher's and the renderer's test (tests/core/mcp).
//
// Needs TRAYLINE_BINARY and TRAYLINE_DEMO_INSTANCE, and a Secret Service (tests/support/with-keyring).

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const TRAYLINE = process.env.TRAYLINE_BINARY;
const DEMO = process.env.TRAYLINE_DEMO_INSTANCE;

let demo, baseUrl, root, client;
const prefs = {};

async function control(body) {
    const res = await fetch(`${baseUrl}/__control`, { method: 'POST', body: JSON.stringify(body) });
    assert.equal(res.status, 200, await res.clone().text());
    return res.json();
}

function setPreferences(changes) {
    Object.assign(prefs, changes);
    const dir = join(root, 'config', 'com.brindle.trayline');
    mkdirSync(dir, { recursive: true });
    writeFileSync(join(dir, 'preferences.json'), JSON.stringify(prefs));
}

function keyring(account, secret) {
    execFileSync('secret-tool', ['store', '--label', `Trayline ${account}`, 'service', 'com.brindle.Trayline',
                                 'account', account], { input: secret });
}

async function callText(name, args = {}) {
    const result = await client.callTool({ name, arguments: args });
    assert.equal(result.content.length, 1);
    assert.equal(result.content[0].type, 'text');
    return { text: result.content[0].text, isError: result.isError };
}

before(async () => {
    demo = spawn(DEMO, ['--port', '0', '--control'], { stdio: ['ignore', 'pipe', 'inherit'] });
    const first = await new Promise((resolve, reject) => {
        createInterface({ input: demo.stdout }).once('line', resolve);
        demo.once('exit', (code) => reject(new Error(`demo instance exited with ${code}`)));
    });
    baseUrl = first.match(/^Listening on (http:\/\/127\.0\.0\.1:\d+)$/)[1];

    root = mkdtempSync(join(tmpdir(), 'trayline-e2e-'));
    mkdirSync(join(root, 'data'), { recursive: true });
    setPreferences({ instanceURL: baseUrl, clientID: 'b2f7e91c4d3a4c8e9f60a1d2c3b4e5f6',
                     groupSysID: '4fa3c1e2b7d94e0a8c6b2d1f0e9a7c35', mcpAllowWrites: false });
    keyring('clientSecret', 'tray+line/demo-secret');
    const t = await control({ action: 'issue_tokens' });
    const expiresAt = (Date.now() - Date.UTC(2001, 0, 1)) / 1000 + t.expires_in;
    keyring('tokens', JSON.stringify({ accessToken: t.access_token, refreshToken: t.refresh_token, expiresAt }));

    const env = { ...process.env, XDG_CONFIG_HOME: join(root, 'config'), XDG_DATA_HOME: join(root, 'data') };
    client = new Client({ name: 'trayline-e2e', version: '1.0.0' });
    await client.connect(new StdioClientTransport({ command: TRAYLINE, args: ['--mcp'], env }));
});

after(async () => {
    await client?.close();
    demo?.kill('SIGTERM');
    if (root) rmSync(root, { recursive: true, force: true });
});

test('the SDK client connects on a version the server chose, and pings', async () => {
    assert.deepEqual(client.getServerVersion(), { name: 'trayline', version: 'dev' });
    assert.deepEqual(client.getServerCapabilities(), { tools: { listChanged: false } });
    assert.ok(client.getInstructions().includes(baseUrl));
    await client.ping();
});

test('tools/list passes the SDK schema, with the write tools once writes are allowed', async () => {
    setPreferences({ mcpAllowWrites: true });
    const { tools } = await client.listTools();  // the SDK checks the result against its schema
    assert.deepEqual(tools.slice(-3).map((t) => t.name), ['assign_task', 'close_task', 'add_note']);
});

test('a read and a write reach the instance with the keyring\'s tokens', async () => {
    setPreferences({ mcpAllowWrites: true });
    const { sys_id: id } = await control({ action: 'insert_task', fields: { short_description: 'Desk phone dead',
                                                                            description: 'No dial tone.' } });
    const record = async () => (await control({ action: 'record', table: 'sc_task', sys_id: id })).record;
    const { number } = await record();
    const detail = (await callText('get_task', { task: number })).text;
    assert.ok(detail.includes('No dial tone.') && detail.endsWith(`\n\nsys_id: ${id}`), detail);
    assert.deepEqual(await callText('close_task', { task: number, resolution: 'Replaced the phone.' }),
                     { text: `Closed ${number}.\n${baseUrl}/nav_to.do?uri=sc_task.do%3Fsys_id%3D${id}`, isError: false });
    const r = await record();
    assert.deepEqual([r.state, r.u_resolution], ['5', 'Replaced the phone.']);
});
