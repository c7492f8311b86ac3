// Requests to galvoria-host's API. Every answer comes back as {status, ok, data}: the status,
// whether it was a success, and the JSON body (or {message} holding a body that is not JSON).
// Nothing here throws for an HTTP status; a failed connection becomes status 0.

export async function request(path, { method = 'GET', json, body, headers = {} } = {}) {
  const init = { method, headers: { ...headers }, credentials: 'same-origin', cache: 'no-store' };
  if (json !== undefined) {
    init.body = JSON.stringify(json);
    init.headers['Content-Type'] = 'application/json';
  } else if (body !== undefined) {
    init.body = body;
  }
  let response;
  try {
    response = await fetch(path, init);
  } catch {
    return { status: 0, ok: false, data: { message: 'galvoria-host does not answer. Is it still running?' } };
  }
  const text = await response.text();
  let data = null;
  if (text) {
    try {
      data = JSON.parse(text);
    } catch {
      data = { message: text };
    }
  }
  return { status: response.status, ok: response.ok, data };
}

export const post = (path, json) => request(path, { method: 'POST', json });

// Sends one file's bytes; the name travels percent-encoded, as a header holds only ASCII.
export const upload = (file) =>
  request('/api/photos', {
    method: 'POST',
    body: file,
    headers: { 'X-File-Name': encodeURIComponent(file.name), 'Content-Type': 'application/octet-stream' },
  });

// The human text of a failed answer.
export function messageOf(answer) {
  if (answer.data && typeof answer.data.message === 'string') return answer.data.message;
  return `galvoria-host answered with status ${answer.status}.`;
}

// Runs tasks one after another, in the order they were queued, so that a panel's requests reach
// the plugin in the order the person made the changes. The panel is marked aria-busy while any
// is pending.
export class Queue {
  constructor(panel) {
    this.panel = panel;
    this.pending = 0;
    this.last = Promise.resolve();
    panel.setAttribute('aria-busy', 'false');
  }

  run(task) {
    this.pending += 1;
    this.panel.setAttribute('aria-busy', 'true');
    const next = this.last.then(task, task).finally(() => {
      this.pending -= 1;
      if (this.pending === 0) this.panel.setAttribute('aria-busy', 'false');
    });
    this.last = next.catch(() => {});
    return next;
  }
}
