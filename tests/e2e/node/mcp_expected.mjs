// The exact tool descriptors and instructions the server must send.

const prop = (type, description, extra = {}) => ({ type, description, ...extra });
const schema = (properties, required) => (required ? { type: 'object', properties, required }
                                                   : { type: 'object', properties });
const TASK_REF = 'Task number, RITM/REQ number, or sys_id.';

export const expectedReadTools = [
    { name: 'list_my_tasks', description: 'Open tasks assigned to me, newest first.', inputSchema: schema({}) },
    { name: 'list_group_queue', description: 'Open tasks in the assignment group queue the app watches.',
      inputSchema: schema({ unassignedOnly: prop('boolean', 'Only tasks with nobody assigned yet.') }) },
    { name: 'list_completed', description: 'Tasks the group closed this month or last month.',
      inputSchema: schema({ period: prop('string', 'Which month to report on. Defaults to this_month.',
                                         { enum: ['this_month', 'last_month'] }) }) },
    { name: 'get_task', description: 'Full detail for one task, including the description and record links.',
      inputSchema: schema({ task: prop('string', 'Task number (SCTASK\u2026), linked RITM/REQ number, or sys_id.') },
                          ['task']) },
    { name: 'list_group_members', description: 'Active members of the watched assignment group, with their sys_ids.',
      inputSchema: schema({}) },
    { name: 'find_user', description: 'Search active ServiceNow users by name.',
      inputSchema: schema({ name: prop('string', 'Partial or full name, at least 2 characters.') }, ['name']) },
    { name: 'search_records',
      description: 'Run an encoded query against any table the signed-in user can read. Returns display values as ' +
                   'JSON. Use for tables or filters the other tools do not cover, e.g. table=incident, ' +
                   'query=active=true^priority=1.',
      inputSchema: schema({
          table: prop('string', 'Table name, e.g. sc_task, incident, sys_user.'),
          query: prop('string', 'ServiceNow encoded query, e.g. active=true^ORDERBYDESCopened_at.'),
          fields: prop('string', 'Comma-separated fields to return. Defaults to all.'),
          limit: prop('integer', 'Max rows, 1\u2013100. Defaults to 20.'),
      }, ['table', 'query']) },
];

export const expectedWriteTools = [
    { name: 'assign_task', description: 'Assign a task to a person.',
      inputSchema: schema({
          task: prop('string', TASK_REF),
          assignee: prop('string', 'A person\'s name, their sys_id, or "me".'),
          alsoRITM: prop('boolean', 'Also assign the linked request item. Defaults to false.'),
      }, ['task', 'assignee']) },
    { name: 'close_task',
      description: 'Close a task with a customer-visible resolution. Reassigns it to me first, because the ' +
                   'instance\'s business rules require ownership to close.',
      inputSchema: schema({
          task: prop('string', TASK_REF),
          resolution: prop('string', 'Customer-visible resolution text. Required by the instance.'),
      }, ['task', 'resolution']) },
    { name: 'add_note', description: 'Add a customer-visible comment or an internal work note to a task.',
      inputSchema: schema({
          task: prop('string', TASK_REF),
          text: prop('string', 'The note body.'),
          type: prop('string', 'work_note is internal, comment is visible to the caller. Defaults to work_note.',
                     { enum: ['work_note', 'comment'] }),
      }, ['task', 'text']) },
];

export const expectedInstructions = (instanceUrl) =>
    `ServiceNow access for ${instanceUrl}, scoped to the sc_task queue the Trayline menu bar app watches. ` +
    '"Me" resolves to the signed-in ServiceNow user.\n\n' +
    'A task reference may be a task number (SCTASK\u2026), the linked RITM or REQ number, or a sys_id \u2014 ' +
    'get_task and the write tools all accept any of them.\n\n' +
    'Prefer the purpose-built tools; reach for search_records only when you need a table or filter the others ' +
    'do not cover.';
