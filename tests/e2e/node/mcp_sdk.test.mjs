// trayline --mcp as a real MCP client sees it: the official TypeScript SDK client over stdio, the
// demo instance as a child process, an isolated profile and tokens in a real keyring. Which requests
// the tools send, how they check their arguments and how their texts read is the dispatcher's and
// the renderer's test (tests/core/mcp).
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
const DEMO_GROUP = '4fa3c1e2b7d94e0a8c6b2d1f0e9a7c35';

let demo, baseUrl, root, client, transport, stderrText = '';
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

function keyring(account, label, secret) {
    execFileSync('secret-tool', ['store', '--label', label, 'service', 'com.brindle.Trayline', 'account', account],
                 { input: secret });
}

async function insertTask(fields) {
    const { sys_id } = await control({ action: 'insert_task', fields });
    const { record } = await control({ action: 'record', table: 'sc_task', sys_id });
    return { id: sys_id, number: record.number, record };
}

async function callText(name, args = {}) {
    const result = await client.callTool({ name, arguments: args });
    assert.equal(result.content.length, 1);
    assert.equal(result.content[0].type, 'text');
    return { text: result.content[0].text, isError: result.isError };
}

const navUrl = (id) => `${baseUrl}/nav_to.do?uri=sc_task.do%3Fsys_id%3D${id}`;

before(async () => {
    demo = spawn(DEMO, ['--port', '0', '--control'], { stdio: ['ignore', 'pipe', 'inherit'] });
    const first = await new Promise((resolve, reject) => {
        createInterface({ input: demo.stdout }).once('line', resolve);
        demo.once('exit', (code) => reject(new Error(`demo instance exited with ${code}`)));
    });
    baseUrl = first.match(/^Listening on (http:\/\/127\.0\.0\.1:\d+)$/)[1];

    root = mkdtempSync(join(tmpdir(), 'trayline-e2e-'));
    mkdirSync(join(root, 'data'), { recursive: true });
    setPreferences({ instanceURL: baseUrl, clientID: 'b2f7e91c4d3a4c8e9f60a1d2c3b4e5f6', groupSysID: DEMO_GROUP,
                     mcpAllowWrites: false });
    keyring('clientSecret', 'Trayline clientSecret', 'tray+line/demo-secret');
    const t = await control({ action: 'issue_tokens' });
    const expiresAt = (Date.now() - Date.UTC(2001, 0, 1)) / 1000 + t.expires_in;
    keyring('tokens', 'Trayline tokens',
            JSON.stringify({ accessToken: t.access_token, refreshToken: t.refresh_token, expiresAt }));

    // US-English dates in UTC, whatever the machine's locale.
    const env = { ...process.env, XDG_CONFIG_HOME: join(root, 'config'), XDG_DATA_HOME: join(root, 'data'),
                  LANG: 'en_US.UTF-8', TZ: 'UTC' };
    delete env.LC_ALL;
    delete env.LC_TIME;
    transport = new StdioClientTransport({ command: TRAYLINE, args: ['--mcp'], env, stderr: 'pipe' });
    transport.stderr.on('data', (chunk) => { stderrText += chunk; });
    client = new Client({ name: 'trayline-e2e', version: '1.0.0' });
    await client.connect(transport);
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

test('tools/list passes the SDK schema with every tool and its required arguments', async () => {
    setPreferences({ mcpAllowWrites: true });
    const { tools } = await client.listTools();
    assert.deepEqual(tools.map((t) => [t.name, ...(t.inputSchema.required ?? [])]),
                     [['list_my_tasks'], ['list_group_queue'], ['list_completed'], ['get_task', 'task'],
                      ['list_group_members'], ['find_user', 'name'], ['search_records', 'table', 'query'],
                      ['assign_task', 'task', 'assignee'], ['close_task', 'task', 'resolution'],
                      ['add_note', 'task', 'text']]);
});

test('get_task and search_records read one record', async () => {
    const t = await insertTask({ short_description: 'Desk phone dead', description: 'No dial tone since Monday.' });
    const detail = (await callText('get_task', { task: ` ${t.number} ` })).text;
    assert.ok(detail.includes('Desk phone dead') && detail.includes('No dial tone since Monday.'), detail);
    assert.ok(detail.endsWith(`\n\nsys_id: ${t.id}`), detail);
    assert.equal((await callText('search_records', { table: 'sc_task', query: `number=${t.number}`,
                                                     fields: 'number,short_description' })).text,
                 `[\n  {\n    "number": "${t.number}",\n    "short_description": "Desk phone dead"\n  }\n]`);
});

test('write tools change the record and report what they did', async () => {
    setPreferences({ mcpAllowWrites: true });
    const t = await insertTask({ short_description: 'Reset password' });
    const record = async () => (await control({ action: 'record', table: 'sc_task', sys_id: t.id })).record;

    assert.deepEqual(await callText('assign_task', { task: t.number, assignee: 'Priya Natarajan' }),
                     { text: `Assigned ${t.number} to Priya Natarajan.\n${navUrl(t.id)}`, isError: false });
    assert.deepEqual(await callText('add_note', { task: t.id, text: 'Called the user.', type: 'comment' }),
                     { text: `Added comment to ${t.number}.`, isError: false });
    assert.deepEqual(await callText('add_note', { task: t.number, text: 'Checked AD.' }),
                     { text: `Added work note to ${t.number}.`, isError: false });
    assert.deepEqual(await callText('close_task', { task: t.number, resolution: 'Password reset.' }),
                     { text: `Closed ${t.number}.\n${navUrl(t.id)}`, isError: false });
    const r = await record();
    assert.equal(r.state, '5');
    assert.equal(r.u_resolution, 'Password reset.');
    assert.deepEqual(r.comments.map((c) => c.value), ['Called the user.']);
    assert.deepEqual(r.work_notes.map((c) => c.value), ['Checked AD.']);
});

test('stderr carries only the ready line', () => {
    assert.equal(stderrText, '[trayline-mcp] ready (Trayline dev, writes disabled)\n');
});
