// The page of galvoria-host ui: opens the session with the key of the link galvoria-host printed,
// then draws the account panel and the publish options from the plugin's elements, keeps the
// photos and the publish in step with the host's events, and sends what the person does.

import { messageOf, post, Queue, request } from './api.js';
import { Photos } from './photos.js';
import { Publishing } from './publishing.js';
import { renderGroups, showError } from './render.js';

const $ = (id) => document.getElementById(id);

const notice = (text) => {
  $('notice').textContent = text;
  $('notice').hidden = !text;
};

const sessionLost =
  'This page is not connected to galvoria-host. Open the link galvoria-host ui printed when it started.';

// --- session ---------------------------------------------------------------------------------

async function openSession() {
  let state = await request('/api/state');
  const key = new URLSearchParams(location.hash.slice(1)).get('key');
  // The key works once; it leaves the address bar and the history either way.
  if (key) history.replaceState(null, '', location.pathname + location.search);
  if (state.status === 401 && key) {
    const exchanged = await post('/api/session', { key });
    if (!exchanged.ok) {
      notice(messageOf(exchanged));
      return null;
    }
    state = await request('/api/state');
  }
  if (state.status === 401) {
    notice(sessionLost);
    return null;
  }
  if (!state.ok) {
    notice(messageOf(state));
    return null;
  }
  return state.data;
}

// An answer the session no longer covers (the host restarted, say) says so once, for the page.
function checkSession(answer) {
  if (answer.status === 401) notice(sessionLost);
  return answer;
}

// --- account panel ---------------------------------------------------------------------------

const accountQueue = new Queue($('account'));
const typedSecrets = new Map();

const accountHandlers = {
  value: (setting, value) =>
    accountQueue.run(async () => showAccount(checkSession(await post('/api/account/value', { setting, value })))),
  press: (item) =>
    accountQueue.run(async () => {
      const answer = checkSession(await post('/api/account/press', { item }));
      showAccount(answer);
      // Logging in or out changes what the publish options can offer.
      if (answer.ok && answer.data?.ok) await loadOptions();
    }),
};

function showAccount(answer) {
  if (!answer.ok || !answer.data) {
    showError($('account-error'), messageOf(answer));
    return;
  }
  renderGroups($('account'), answer.data.groups, accountHandlers, typedSecrets);
  // A secure field the plugin no longer shows forgets what was typed in it.
  const shown = new Set([...$('account').querySelectorAll('input[type=password]')].map((node) => node.dataset.item));
  for (const id of [...typedSecrets.keys()]) if (!shown.has(id)) typedSecrets.delete(id);
  showError($('account-error'), answer.data.error ?? null);
}

async function loadAccount() {
  showAccount(checkSession(await request('/api/account')));
}

// --- publish options -------------------------------------------------------------------------

const optionsQueue = new Queue($('options'));
let settings = {};

const optionsHandlers = {
  value: (setting, value) =>
    optionsQueue.run(async () => {
      const answer = checkSession(await post('/api/options/value', { setting, value, settings: { ...settings, [setting]: value } }));
      if (answer.ok && answer.data?.settings) settings = answer.data.settings;
      showOptions(answer);
    }),
  // Text typed into an option field is part of the settings at once, so that a publish sends it
  // even when the field was never left.
  typing: (setting, value) => {
    settings = { ...settings, [setting]: value };
  },
  // The publish options have no entry point for a button: one the plugin draws there does nothing.
  press: () => Promise.resolve(),
};

function showOptions(answer) {
  if (!answer.ok || !answer.data) {
    showError($('options-error'), answer.data?.error ?? messageOf(answer));
    return;
  }
  renderGroups($('options'), answer.data.groups, optionsHandlers);
  // What is being typed in a field that kept the focus stays part of the settings.
  const active = document.activeElement;
  if (active?.tagName === 'INPUT' && $('options').contains(active) && active.dataset.item) {
    settings = { ...settings, [active.dataset.item]: active.value };
  }
  showError($('options-error'), answer.data.error ?? null);
}

function loadOptions() {
  return optionsQueue.run(async () => showOptions(checkSession(await post('/api/options', { settings }))));
}

// --- photos and publishing -------------------------------------------------------------------

const publishing = new Publishing({
  publish: $('publish'),
  cancel: $('cancel'),
  area: $('progress-area'),
  bar: $('progress'),
  text: $('progress-text'),
  result: $('result'),
  message: $('result-message'),
  link: $('library-link'),
  again: $('publish-again'),
});

const photos = new Photos({
  list: $('photos'),
  input: $('photo-input'),
  dropZone: $('drop-zone'),
  count: $('photo-count'),
  status: $('upload-status'),
  errorBox: $('photos-error'),
  onChange: () => updateButtons(),
});

function updateButtons() {
  $('publish').disabled = publishing.running || photos.photos.length === 0;
  $('photo-input').disabled = publishing.running;
  photos.lock(publishing.running);
}

function showPublish(state) {
  publishing.show(state);
  if (state) photos.mark(state);
  updateButtons();
}

// How many progress and end events arrived: a publish's own answer is older than any of them.
let publishEvents = 0;

async function startPublish(body) {
  showError($('options-error'), null);
  $('publish').disabled = true;
  // Every change made so far reaches the plugin first.
  await optionsQueue.run(() => undefined);
  const heard = publishEvents;
  const answer = checkSession(await post('/api/publish', body()));
  if (answer.status === 202) {
    // A short publish may have reported its progress, even its end, before this answer came: the
    // events are newer than the state the answer holds.
    if (publishEvents === heard) showPublish(answer.data);
    return;
  }
  if (answer.status === 422 && answer.data?.error) {
    showError($('options-error'), answer.data.error);
  } else {
    showError($('options-error'), messageOf(answer));
  }
  updateButtons();
}

$('publish').addEventListener('click', () => startPublish(() => ({ settings, photos: photos.ids() })));
$('publish-again').addEventListener('click', () => {
  const retry = publishing.retry;
  if (retry) startPublish(() => ({ settings: retry.settings, photos: retry.photos }));
});
$('cancel').addEventListener('click', async () => {
  publishing.cancelRequested();
  const answer = checkSession(await post('/api/publish/cancel', {}));
  if (!answer.ok && answer.status !== 409) showError($('options-error'), messageOf(answer));
});

// --- events ----------------------------------------------------------------------------------

function listen() {
  const events = new EventSource('/api/events');
  const read = (handler) => (event) => {
    try {
      handler(JSON.parse(event.data));
    } catch {
      // A message that is not JSON is not one of the host's.
    }
  };
  events.addEventListener('open', () => notice(''));
  events.addEventListener('error', () => {
    if (events.readyState !== EventSource.OPEN) notice('Lost the connection to galvoria-host; trying again…');
  });
  events.addEventListener(
    'state',
    read((state) => {
      photos.set(state.photos);
      showPublish(state.publish ?? null);
    }),
  );
  events.addEventListener(
    'photos',
    read((data) => photos.set(data.photos)),
  );
  events.addEventListener(
    'progress',
    read((state) => {
      publishEvents += 1;
      showPublish(state);
    }),
  );
  events.addEventListener(
    'finished',
    read((state) => {
      publishEvents += 1;
      showPublish(state);
      // A publish that created a folder or project changes what the options offer.
      loadOptions();
    }),
  );
}

// --- start -----------------------------------------------------------------------------------

let started = false;

async function start() {
  const state = await openSession();
  if (!state || started) return;
  started = true;
  notice('');
  $('main').hidden = false;
  photos.set(state.photos);
  showPublish(state.publish ?? null);
  listen();
  await Promise.all([loadAccount(), loadOptions()]);
  document.body.dataset.ready = 'true';
}

// The link pasted into a tab that already shows this page changes only the fragment: the page
// is not loaded again, so the key is taken from there.
window.addEventListener('hashchange', () => {
  if (!started && location.hash.includes('key=')) start();
});

start();
