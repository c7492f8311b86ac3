// The photos to publish: a card per photo with its thumbnail (JPEG, PNG and WebP, decoded by the
// browser from the host's photo route) or its kind, name and size, a remove button, and after a
// publish whether it went out.

import { messageOf, post, upload } from './api.js';
import { showError } from './render.js';

const largestUploadBytes = 2 * 1024 ** 3;
const statusText = { sent: 'Sent', published: 'Published', failed: 'Not published' };

export class Photos {
  constructor({ list, input, dropZone, count, status, errorBox, onChange }) {
    this.list = list;
    this.status = status;
    this.count = count;
    this.errorBox = errorBox;
    this.onChange = onChange;
    this.photos = [];
    this.marks = {}; // id -> {state: "published" | "failed", reason}
    this.locked = false;

    input.addEventListener('change', () => {
      const files = [...input.files];
      input.value = '';
      this.add(files);
    });
    // Files dropped anywhere on the page are added: a drop outside the zone must not make the
    // browser leave the page to show the file.
    document.addEventListener('dragover', (event) => {
      event.preventDefault();
      dropZone.classList.add('over');
    });
    document.addEventListener('dragleave', (event) => {
      if (!event.relatedTarget) dropZone.classList.remove('over');
    });
    document.addEventListener('drop', (event) => {
      event.preventDefault();
      dropZone.classList.remove('over');
      if (!this.locked) this.add([...(event.dataTransfer?.files ?? [])]);
    });
  }

  ids() {
    return this.photos.map((photo) => photo.id);
  }

  set(photos) {
    this.photos = Array.isArray(photos) ? photos : [];
    this.draw();
  }

  // Marks from a publish's state: the photos it has gone through (the first `completed` of its
  // photos) are "sent" until the end says which were published and which failed, with the reason.
  mark(state) {
    this.marks = {};
    const ids = Array.isArray(state?.photos) ? state.photos : [];
    for (const id of ids.slice(0, state?.completed ?? 0)) this.marks[id] = { state: 'sent' };
    for (const [id, mark] of Object.entries(state?.done ?? {})) this.marks[id] = { state: mark };
    for (const photo of state?.outcome?.failed ?? []) this.marks[photo.id] = { state: 'failed', reason: photo.reason };
    this.draw();
  }

  lock(locked) {
    this.locked = locked;
    for (const button of this.list.querySelectorAll('button.remove')) button.disabled = locked;
  }

  // Sends the files one after another; each refused file's message is shown, the others go on.
  async add(files) {
    const problems = [];
    for (const [index, file] of files.entries()) {
      // The host refuses a file over its limit before reading it, but a browser sends the whole
      // body anyway: such a file is left out here, with the host's own words.
      if (file.size > largestUploadBytes) {
        problems.push(`${file.name} is larger than 2 GiB and cannot be added.`);
        continue;
      }
      this.status.textContent = `Adding ${file.name}${files.length > 1 ? ` (${index + 1} of ${files.length})` : ''}…`;
      const answer = await upload(file);
      if (answer.status === 201 && answer.data) {
        if (!this.photos.some((photo) => photo.id === answer.data.id)) this.photos.push(answer.data);
        this.draw();
      } else {
        problems.push(messageOf(answer));
      }
    }
    this.status.textContent = '';
    showError(this.errorBox, problems.length ? problems.join(' ') : null);
  }

  async remove(photo) {
    const answer = await post('/api/photos/remove', { id: photo.id });
    if (answer.ok || answer.status === 404) {
      this.photos = this.photos.filter((other) => other.id !== photo.id);
      this.draw();
      showError(this.errorBox, null);
    } else {
      showError(this.errorBox, messageOf(answer));
    }
  }

  draw() {
    this.list.replaceChildren(...this.photos.map((photo) => this.card(photo)));
    this.count.textContent = this.photos.length ? `(${this.photos.length})` : '';
    this.onChange?.();
  }

  card(photo) {
    const item = document.createElement('li');
    item.className = 'photo';
    item.dataset.id = photo.id;
    item.dataset.name = photo.name;
    const mark = this.marks[photo.id];
    if (mark) item.classList.add(mark.state);

    const frame = document.createElement('div');
    frame.className = 'frame';
    if (photo.thumbnail) {
      const image = document.createElement('img');
      image.src = `/api/photos/${encodeURIComponent(photo.id)}`;
      image.alt = photo.name;
      image.loading = 'lazy';
      image.decoding = 'async';
      frame.append(image);
    } else {
      const kind = document.createElement('span');
      kind.className = 'kind';
      const dot = photo.name.lastIndexOf('.');
      kind.textContent = dot > 0 ? photo.name.slice(dot + 1).toUpperCase() : 'FILE';
      frame.append(kind);
    }

    const name = document.createElement('span');
    name.className = 'name';
    name.textContent = photo.name;
    name.title = photo.name;
    const size = document.createElement('span');
    size.className = 'size';
    size.textContent = formatBytes(photo.size);

    const remove = document.createElement('button');
    remove.type = 'button';
    remove.className = 'remove';
    remove.textContent = '×';
    remove.setAttribute('aria-label', `Remove ${photo.name}`);
    remove.title = `Remove ${photo.name}`;
    remove.disabled = this.locked;
    remove.addEventListener('click', () => this.remove(photo));

    item.append(frame, name, size, remove);
    if (mark) {
      const status = document.createElement('span');
      status.className = 'status';
      status.textContent = statusText[mark.state] ?? mark.state;
      if (mark.reason) status.textContent += `: ${mark.reason}`;
      item.append(status);
    }
    return item;
  }
}

export function formatBytes(bytes) {
  if (typeof bytes !== 'number' || !Number.isFinite(bytes)) return '';
  const units = ['bytes', 'KB', 'MB', 'GB', 'TB'];
  let value = bytes;
  let unit = 0;
  while (value >= 1000 && unit < units.length - 1) {
    value /= 1000;
    unit += 1;
  }
  if (unit === 0) return `${bytes} ${bytes === 1 ? 'byte' : 'bytes'}`;
  return `${value.toFixed(value < 10 ? 1 : 0)} ${units[unit]}`;
}
