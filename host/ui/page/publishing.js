// A publish as the host reports it: the bar over the bytes, file n of N with the current name, the
// rate and the time left while it runs; at the end the outcome's message, the library link, and
// for a partial publish "Publish these again" for the photos that did not go out.

import { formatBytes } from './photos.js';

export class Publishing {
  constructor(nodes) {
    this.nodes = nodes; // publish, cancel, area, bar, text, result, message, link, again
    this.running = false;
    this.retry = null; // {settings, photos} for "Publish these again"
  }

  // Shows a publishState (running, or finished with its outcome); null shows nothing.
  show(state) {
    const { area, bar, text, cancel } = this.nodes;
    if (!state) {
      this.running = false;
      area.hidden = true;
      cancel.hidden = true;
      this.showOutcome(null);
      return;
    }
    this.running = Boolean(state.running);
    area.hidden = false;
    const total = Math.max(state.bytesTotal ?? 0, 1);
    bar.max = total;
    bar.value = Math.min(state.bytesDone ?? 0, total);
    text.textContent = this.running ? describeRunning(state) : (state.message ?? '');
    cancel.hidden = !this.running;
    if (this.running) {
      cancel.disabled = Boolean(this.cancelling);
      this.showOutcome(null);
    } else {
      this.cancelling = false;
      this.showOutcome(state.outcome, state);
    }
  }

  cancelRequested() {
    this.cancelling = true;
    this.nodes.cancel.disabled = true;
    this.nodes.text.textContent = `${this.nodes.text.textContent} Stopping after the file being sent…`;
  }

  showOutcome(outcome, state) {
    const { result, message, link, again } = this.nodes;
    this.retry = null;
    if (!outcome) {
      result.hidden = true;
      return;
    }
    result.hidden = false;
    result.dataset.kind = outcome.kind ?? '';
    message.textContent = outcome.message ?? '';
    // The library link comes from the service: only a web address becomes a link.
    if (typeof outcome.url === 'string' && /^https?:\/\//i.test(outcome.url)) {
      link.href = outcome.url;
      link.hidden = false;
    } else {
      link.removeAttribute('href');
      link.hidden = true;
    }
    const failed = Array.isArray(outcome.failed) ? outcome.failed.map((photo) => photo.id) : [];
    if (outcome.kind === 'partial' && failed.length > 0 && outcome.retrySettings) {
      this.retry = { settings: outcome.retrySettings, photos: failed };
      again.hidden = false;
    } else {
      again.hidden = true;
    }
    if (state) this.nodes.text.textContent = describeEnd(state);
  }
}

function describeRunning(state) {
  const total = state.total ?? 0;
  const parts = [];
  if (total > 0) parts.push(`File ${Math.min((state.completed ?? 0) + 1, total)} of ${total}`);
  if (state.current) parts.push(state.current);
  if (typeof state.bytesPerSecond === 'number' && state.bytesPerSecond > 0) {
    parts.push(`${formatBytes(Math.round(state.bytesPerSecond))}/s`);
  }
  if (typeof state.secondsLeft === 'number' && state.secondsLeft >= 0) parts.push(formatTimeLeft(state.secondsLeft));
  return parts.join(' · ');
}

// How the photos of a finished publish fared: published, not published, sent without word of the
// outcome (a cancelled publish), not sent.
function describeEnd(state) {
  const ids = Array.isArray(state.photos) ? state.photos : [];
  const done = state.done ?? {};
  const gone = Math.min(state.completed ?? 0, ids.length);
  const counts = { published: 0, 'not published': 0, sent: 0, 'not sent': 0 };
  ids.forEach((id, index) => {
    if (done[id] === 'published') counts.published += 1;
    else if (done[id] === 'failed') counts['not published'] += 1;
    else if (index < gone) counts.sent += 1;
    else counts['not sent'] += 1;
  });
  return Object.entries(counts)
    .filter(([, count]) => count > 0)
    .map(([words, count]) => `${count} ${words}`)
    .join(' · ');
}

export function formatTimeLeft(seconds) {
  const whole = Math.ceil(seconds);
  if (whole < 60) return `${whole} s left`;
  const minutes = Math.floor(whole / 60);
  if (minutes < 60) return `${minutes} min ${whole % 60} s left`;
  return `${Math.floor(minutes / 60)} h ${minutes % 60} min left`;
}
