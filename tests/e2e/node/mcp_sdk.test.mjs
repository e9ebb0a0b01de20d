// trayline --mcp as a real MCP client sees it: the official TypeScript SDK client over stdio, the
// demo instance as a child process, an isolated profile and tokens in a real keyring. Which requests
// the tools send and how they check their arguments is the dispatcher's test (tests/core/mcp).
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
const DEMO_USER = 'Alex Morgan';
const DEMO_GROUP = '4fa3c1e2b7d94e0a8c6b2d1f0e9a7c35';
const QUIET_GROUP = '0f0e0d0c0b0a09080706050403020100';  // a group only this test fills

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

const utc = (date) => date.toISOString().slice(0, 19).replace('T', ' ');

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
const block = (t, facts) => `${t.number} [${t.number}] \u2014 ${t.record.short_description}\n  ${facts}\n  sys_id: ${t.id}`;

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

test('list tools answer with the exact task blocks', async () => {
    setPreferences({ groupSysID: QUIET_GROUP });
    try {
        await listToolsOnQuietGroup();
    } finally {
        setPreferences({ groupSysID: DEMO_GROUP });
    }
});

async function listToolsOnQuietGroup() {
    assert.deepEqual(await callText('list_group_queue'), { text: 'The group queue is empty.', isError: false });
    assert.equal((await callText('list_completed')).text, 'Nothing closed in that period.');
    assert.equal((await callText('list_group_members')).text, 'No active members found.');

    const older = await insertTask({ assignment_group: QUIET_GROUP, short_description: 'Printer jammed',
                                     opened_at: '2025-03-03 12:00:00' });
    const newer = await insertTask({ assignment_group: QUIET_GROUP, short_description: 'Badge not working',
                                     priority: '2', opened_at: '2025-03-04 09:00:00', assigned_to: '' });
    assert.equal((await callText('list_group_queue')).text,
                 '2 tasks\n\n' +
                 block(newer, 'state: Open | priority: 2 - High | assigned: unassigned | opened: Mar 4, 2025') + '\n\n' +
                 block(older, 'state: Open | priority: 4 - Low | assigned: unassigned | opened: Mar 3, 2025'));

    const now = new Date();
    const lastMonth = new Date(Date.UTC(now.getUTCFullYear(), now.getUTCMonth() - 1, 15, 10));
    const closedNow = await insertTask({ assignment_group: QUIET_GROUP, short_description: 'Monitor swap',
                                         state: '3', opened_at: '2025-02-01 08:00:00' });
    const closedBefore = await insertTask({ assignment_group: QUIET_GROUP, short_description: 'Old laptop',
                                            state: '7', opened_at: '2025-01-01 08:00:00',
                                            closed_at: utc(lastMonth) });
    // Close through the instance's own state change, so closed_at is "now" as the instance sees it.
    await client.callTool({ name: 'close_task', arguments: { task: closedNow.number, resolution: 'Swapped.' } });
    const closedAt = (await control({ action: 'record', table: 'sc_task', sys_id: closedNow.id })).record.closed_at;
    const day = (s) => new Date(s.replace(' ', 'T') + 'Z').toLocaleDateString('en-US',
                                                { month: 'short', day: 'numeric', year: 'numeric', timeZone: 'UTC' });
    assert.equal((await callText('list_completed', { period: 'this_month' })).text,
                 '1 task\n\n' + block(closedNow, `state: Closed Complete | priority: 4 - Low | assigned: ${DEMO_USER} | ` +
                                                 `opened: Feb 1, 2025 | closed: ${day(closedAt)}`));
    assert.equal((await callText('list_completed', { period: 'last_month' })).text,
                 '1 task\n\n' + block(closedBefore, 'state: Closed Skipped | priority: 4 - Low | assigned: unassigned | ' +
                                                    `opened: Jan 1, 2025 | closed: ${day(utc(lastMonth))}`));

    const mine = await insertTask({ assignment_group: QUIET_GROUP, short_description: 'Newest of mine',
                                    opened_at: '2099-01-01 00:00:00', assigned_to: '1c9e4b7a2f6d4e8b9a0c3d5e7f1b2a46' });
    const rows = JSON.parse((await callText('search_records', {
        table: 'sc_task', query: 'assigned_to=1c9e4b7a2f6d4e8b9a0c3d5e7f1b2a46^active=true', fields: 'number', limit: 100 })).text);
    const mineText = (await callText('list_my_tasks')).text;
    assert.ok(mineText.startsWith(`${rows.length} tasks\n\n` +
              block(mine, `state: Open | priority: 4 - Low | assigned: ${DEMO_USER} | opened: Jan 1, 2099`) + '\n\n'),
              mineText);
}

test('user tools list active people one per line', async () => {
    const members = (await callText('list_group_members')).text.split('\n');
    assert.deepEqual(members.map((l) => l.split(' \u2014 ')[0]),
                     ['Alex Morgan', 'Chris Jordan', 'Jordan Lee', 'Priya Natarajan', 'Sam Carter', 'Samira Haddad',
                      'Taylor Brooks']);
    for (const line of members) assert.match(line, /^[^\n]+ \u2014 [a-z.]+@example\.com \u2014 [0-9a-f]{32}$/);
    assert.match((await callText('find_user', { name: 'Whitfield' })).text, /^Dana Whitfield \u2014 (no email)? \u2014 [0-9a-f]{32}$/);
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
