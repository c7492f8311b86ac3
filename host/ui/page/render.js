// One renderer for the plugin's element trees: the account panel and the publish options are both
// drawn from the groups the plugin returned, whatever elements they hold. A group becomes a
// fieldset, a text item an input with its label (a password input when secure), a list a select
// (a separator a disabled option), a button a button, a label a paragraph whose
// "[text](http...)" links become links.

const TEXT = 'COSettingsTextItem';
const BUTTON = 'COSettingsButtonItem';
const LIST = 'COSettingsListItem';
const LABEL = 'COSettingsLabelItem';
export const SEPARATOR = '──────';

let fieldCount = 0;

// Draws `groups` into `container`, replacing what was there. `handlers.value(id, value)` is called
// when a field or list is changed, `handlers.press(id)` when a button is pressed,
// `handlers.typing(id, value)` on every keystroke in a text field. `typed` maps a secure field's
// identifier to what the person typed in it: the plugin never sends a secure value back, so the
// page keeps it while the field is shown. The control that had the focus keeps it, with what was
// being typed in it.
export function renderGroups(container, groups, handlers, typed = new Map()) {
  const focus = focusOf(container);
  const nodes = (Array.isArray(groups) ? groups : []).map((group) => renderGroup(group, handlers, typed));
  container.replaceChildren(...nodes);
  restoreFocus(container, focus);
}

function renderGroup(group, handlers, typed) {
  const fieldset = document.createElement('fieldset');
  fieldset.className = 'group';
  if (typeof group.identifier === 'string') fieldset.dataset.group = group.identifier;
  if (group.title) {
    const legend = document.createElement('legend');
    legend.textContent = group.title;
    fieldset.append(legend);
  }
  const elements = Array.isArray(group.elements) ? group.elements : [];
  const buttons = elements.filter((element) => element.class === BUTTON);
  // Enter in a text field commits it and, when the group has one button, presses that button.
  const onlyButton = buttons.length === 1 ? buttons[0].identifier : undefined;
  for (const element of elements) fieldset.append(renderElement(element, handlers, typed, onlyButton));
  return fieldset;
}

function renderElement(element, handlers, typed, onlyButton) {
  switch (element.class) {
    case TEXT:
      return textField(element, handlers, typed, onlyButton);
    case LIST:
      return listField(element, handlers);
    case BUTTON:
      return button(element, handlers);
    case LABEL:
    default:
      return label(element);
  }
}

function withItem(control, element) {
  if (typeof element.identifier === 'string') control.dataset.item = element.identifier;
  return control;
}

function fieldRow(element, control) {
  const row = document.createElement('div');
  row.className = 'field';
  control.id = `field-${++fieldCount}`;
  const caption = document.createElement('label');
  caption.htmlFor = control.id;
  caption.textContent = element.title || element.identifier || '';
  row.append(caption, control);
  return row;
}

function textField(element, handlers, typed, onlyButton) {
  const input = withItem(document.createElement('input'), element);
  const id = element.identifier;
  input.type = element.secure ? 'password' : 'text';
  input.autocomplete = element.secure ? 'current-password' : 'off';
  input.spellcheck = false;
  if (element.secure) {
    input.value = typed.get(id) ?? '';
  } else if (element.value !== undefined && element.value !== null) {
    input.value = String(element.value);
  }
  input.dataset.committed = input.value;
  const commit = () => {
    if (input.value === input.dataset.committed) return Promise.resolve();
    input.dataset.committed = input.value;
    if (element.secure) typed.set(id, input.value);
    return handlers.value(id, input.value);
  };
  input.addEventListener('input', () => handlers.typing?.(id, input.value));
  input.addEventListener('change', commit);
  input.addEventListener('keydown', (event) => {
    if (event.key !== 'Enter') return;
    event.preventDefault();
    const committed = commit();
    if (onlyButton !== undefined) committed.then(() => handlers.press(onlyButton));
  });
  return fieldRow(element, input);
}

function listField(element, handlers) {
  const select = withItem(document.createElement('select'), element);
  const values = [];
  let chosen = -1;
  for (const option of Array.isArray(element.options) ? element.options : []) {
    const node = document.createElement('option');
    if (option.separator) {
      node.disabled = true;
      node.textContent = SEPARATOR;
      node.className = 'separator';
    } else {
      node.value = typeof option.value === 'string' ? option.value : JSON.stringify(option.value);
      node.textContent = option.title ?? node.value;
      if (chosen < 0 && sameValue(option.value, element.value)) chosen = values.length;
    }
    values.push(option.separator ? undefined : option.value);
    select.append(node);
  }
  // Without a value among the options nothing is shown as chosen, so that choosing the first
  // option is a change the plugin hears about.
  select.selectedIndex = chosen;
  select.addEventListener('change', () => {
    if (select.selectedIndex >= 0) handlers.value(element.identifier, values[select.selectedIndex]);
  });
  return fieldRow(element, select);
}

function sameValue(a, b) {
  if (b === undefined) return false;
  return a === b || JSON.stringify(a) === JSON.stringify(b);
}

function button(element, handlers) {
  const node = withItem(document.createElement('button'), element);
  node.type = 'button';
  node.className = 'button primary';
  node.textContent = element.title || element.identifier || '';
  node.addEventListener('click', () => handlers.press(element.identifier));
  return node;
}

function label(element) {
  const text = element.value ?? element.title ?? '';
  const paragraph = withItem(document.createElement('p'), element);
  paragraph.className = 'label';
  const shown = typeof text === 'string' ? text : JSON.stringify(text);
  if (shown.trim() === '') paragraph.classList.add('spacer');
  appendWithLinks(paragraph, shown);
  return paragraph;
}

// Text with "[words](http://...)" links, written as text nodes and anchors: nothing of it is ever
// parsed as HTML.
export function appendWithLinks(parent, text) {
  const link = /\[([^\]]+)\]\((https?:\/\/[^\s)]+)\)/g;
  let from = 0;
  for (const match of text.matchAll(link)) {
    parent.append(text.slice(from, match.index));
    const anchor = document.createElement('a');
    anchor.href = match[2];
    anchor.target = '_blank';
    anchor.rel = 'noopener';
    anchor.textContent = match[1];
    parent.append(anchor);
    from = match.index + match[0].length;
  }
  parent.append(text.slice(from));
}

function focusOf(container) {
  const active = document.activeElement;
  if (!active || !container.contains(active) || !active.dataset.item) return null;
  const focus = { item: active.dataset.item, tag: active.tagName };
  if (active.tagName === 'INPUT') {
    focus.value = active.value;
    focus.start = active.selectionStart;
    focus.end = active.selectionEnd;
  }
  return focus;
}

function restoreFocus(container, focus) {
  if (!focus) return;
  const control = [...container.querySelectorAll('[data-item]')].find(
    (node) => node.dataset.item === focus.item && node.tagName === focus.tag,
  );
  if (!control) return;
  if (focus.value !== undefined && control.value !== focus.value) {
    // What is being typed stays; it is sent when the field is left.
    control.value = focus.value;
  }
  control.focus();
  if (focus.start !== undefined && focus.start !== null) control.setSelectionRange(focus.start, focus.end);
}

// An error the plugin reported, {description, failureReason}, shown in `box` (hidden when none).
export function showError(box, error) {
  box.replaceChildren();
  if (!error) {
    box.hidden = true;
    return;
  }
  if (typeof error === 'string') {
    box.append(error);
  } else {
    const title = document.createElement('strong');
    title.textContent = error.description || '';
    box.append(title);
    if (error.failureReason) {
      const reason = document.createElement('span');
      reason.textContent = ` ${error.failureReason}`;
      box.append(reason);
    }
  }
  box.hidden = false;
}
