// The page: opens an archive (picker or drop), lists, tests and extracts it
// through the decoding worker, and makes archives from dropped files. The
// build (build.mjs) puts the library, the worker, the WebAssembly module and
// the stub into this one file, as QUORVANE_ASSETS and WORKER_SOURCE.
import { Quorvane } from '../js/quorvane.mjs';
import { TEXTS, pickLanguage } from './texts.mjs';
import { safeComponents } from './names.mjs';

const language = pickLanguage(navigator.languages ?? [navigator.language]);
const T = TEXTS[language];
const $ = (selector) => document.querySelector(selector);

function fromBase64(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}
const assets = { wasm: fromBase64(QUORVANE_ASSETS.wasm), stub: fromBase64(QUORVANE_ASSETS.stub) };
Quorvane.configure(assets);
window.Quorvane = Quorvane; // for the console and for scripts

// ---- Words ---------------------------------------------------------------

document.documentElement.lang = language;
document.title = T.title;
for (const element of document.querySelectorAll('[data-text]')) element.textContent = T[element.dataset.text];
for (const element of document.querySelectorAll('[data-label]')) {
  element.setAttribute('aria-label', T[element.dataset.label] ?? element.dataset.label);
}

const numberFormat = new Intl.NumberFormat(language);
function sizeText(bytes) {
  if (bytes < 1024) return `${numberFormat.format(bytes)} B`;
  const units = ['KiB', 'MiB', 'GiB', 'TiB'];
  let value = bytes / 1024;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) { value /= 1024; unit++; }
  return `${value.toFixed(value < 10 ? 1 : 0)} ${units[unit]}`;
}
const pad = (n) => String(n).padStart(2, '0');
function timeText(date) {
  if (!date) return '';
  return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())} ` +
    `${pad(date.getHours())}:${pad(date.getMinutes())}:${pad(date.getSeconds())}`;
}
function durationText(seconds) {
  if (!Number.isFinite(seconds)) return '—';
  seconds = Math.ceil(seconds);
  return seconds >= 60 ? `${Math.floor(seconds / 60)}:${pad(seconds % 60)}` : `${seconds} s`;
}
function attributeLetters(bits) {
  return [[0x10, 'D'], [0x20, 'A'], [0x01, 'R'], [0x02, 'H'], [0x04, 'S']]
    .map(([bit, letter]) => (bits & bit ? letter : '-')).join('');
}

function say(text, isError = false) {
  const message = $('#message');
  message.textContent = text;
  message.classList.toggle('error', isError);
  message.setAttribute('role', isError ? 'alert' : 'status');
}

// ---- The decoding worker ------------------------------------------------

class Decoder {
  constructor() {
    this.nextId = 1;
    this.pending = new Map();
    this.file = null;
    this.start();
  }

  start() {
    const url = URL.createObjectURL(new Blob([WORKER_SOURCE], { type: 'text/javascript' }));
    this.worker = new Worker(url);
    this.worker.onmessage = ({ data }) => {
      const call = this.pending.get(data.id);
      if (!call) return;
      if (data.progress) return call.progress?.(data.progress);
      this.pending.delete(data.id);
      if (data.error) call.reject(Object.assign(new Error(data.error.message), data.error));
      else call.resolve(data.result);
    };
    // A worker that cannot run at all fails every call waiting on it.
    this.worker.onerror = (event) => {
      for (const call of this.pending.values()) call.reject(new Error(event.message || 'worker failed'));
      this.pending.clear();
    };
    this.call('init', { wasm: assets.wasm, stub: assets.stub });
  }

  call(type, request = {}, progress = null) {
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject, progress });
      this.worker.postMessage({ id, type, ...request });
    });
  }

  // Ends the worker at once, wherever it is, and starts another on the
  // same archive.
  async cancel() {
    this.worker.terminate();
    for (const call of this.pending.values()) {
      call.reject(Object.assign(new Error(T.cancelled), { code: 'QV_E_CANCELLED' }));
    }
    this.pending.clear();
    this.start();
    if (this.file) await this.call('open', { file: this.file });
  }
}

const decoder = new Decoder();

// ---- Progress ------------------------------------------------------------

let busy = false;
const PROGRESS_INTERVAL_MS = 250;
function beginWork() {
  busy = true;
  $('#cancel').disabled = false;
  $('#test').disabled = $('#extract-all').disabled = true;
  $('#progress').hidden = false;
  $('#progress').value = 0;
  const started = performance.now();
  let shown = -Infinity;
  // Shown a few times a second, not for every step: each showing costs the
  // page a new picture, which in a fast test is a good part of its time.
  return (done, total) => {
    const now = performance.now();
    if (now - shown < PROGRESS_INTERVAL_MS && done < total) return;
    shown = now;
    const fraction = total ? done / total : 1;
    const seconds = (now - started) / 1000;
    const rate = seconds > 0 ? done / seconds : 0;
    $('#progress').value = fraction;
    $('#progress-text').textContent =
      T.progress(Math.floor(fraction * 100), sizeText(rate), durationText(rate ? (total - done) / rate : NaN));
  };
}
function endWork() {
  busy = false;
  $('#cancel').disabled = true;
  $('#test').disabled = $('#extract-all').disabled = false;
  $('#progress').hidden = true;
}
$('#cancel').addEventListener('click', () => decoder.cancel());

// ---- The list ------------------------------------------------------------

let entries = [];
const folded = new Set();

function isHidden(entry, filter) {
  const parts = entry.name.split('/');
  for (let i = 1; i < parts.length; i++) if (folded.has(parts.slice(0, i).join('/'))) return true;
  if (!filter) return false;
  const matches = (e) => e.name.toLowerCase().includes(filter);
  if (matches(entry)) return false;
  // A folder stays when something inside it matches.
  return !(entry.kind === 'folder' && entries.some((e) => e.name.startsWith(entry.name + '/') && matches(e)));
}

function showEntries() {
  const body = $('#entries tbody');
  body.replaceChildren();
  const filter = $('#filter').value.trim().toLowerCase();
  for (const entry of entries) {
    const row = document.createElement('tr');
    row.className = entry.kind;
    row.dataset.index = entry.index;
    row.hidden = isHidden(entry, filter);
    const depth = entry.name.split('/').length - 1;
    const shown = entry.name.split('/').pop();
    const name = document.createElement('td');
    name.className = 'name';
    name.style.paddingLeft = `${0.5 + depth * 1.3}rem`;
    name.title = entry.name;
    if (entry.kind === 'folder') {
      const toggle = document.createElement('button');
      toggle.className = 'toggle';
      const isFolded = folded.has(entry.name);
      toggle.textContent = isFolded ? '▸' : '▾';
      toggle.setAttribute('aria-expanded', String(!isFolded));
      toggle.setAttribute('aria-label', isFolded ? T.unfold(entry.name) : T.fold(entry.name));
      toggle.addEventListener('click', () => {
        if (folded.has(entry.name)) folded.delete(entry.name); else folded.add(entry.name);
        showEntries();
        body.querySelector(`tr[data-index="${entry.index}"] .toggle`)?.focus();
      });
      name.append(toggle);
    }
    name.append(shown + (entry.kind === 'folder' ? '/' : ''));
    const cells = entry.kind === 'folder'
      ? ['', '', '']
      : [numberFormat.format(entry.size), numberFormat.format(entry.storedSize),
        entry.size ? `${(100 * entry.storedSize / entry.size).toFixed(1)}%` : '—'];
    row.append(name);
    for (const text of cells) {
      const cell = document.createElement('td');
      cell.className = 'num';
      cell.textContent = text;
      row.append(cell);
    }
    for (const text of [timeText(entry.modified), attributeLetters(entry.attributes)]) {
      const cell = document.createElement('td');
      cell.textContent = text;
      row.append(cell);
    }
    const result = document.createElement('td');
    result.className = 'result';
    if (entry.result) {
      result.textContent = entry.result.ok ? T.ok : T.failed;
      result.classList.add(entry.result.ok ? 'good' : 'bad');
      if (!entry.result.ok) result.title = entry.result.message;
    }
    const action = document.createElement('td');
    if (entry.kind === 'file') {
      const download = document.createElement('button');
      download.textContent = T.download;
      download.setAttribute('aria-label', T.downloadOf(entry.name));
      download.addEventListener('click', () => downloadEntry(entry));
      action.append(download);
    }
    row.append(result, action);
    body.append(row);
  }
}
$('#filter').addEventListener('input', showEntries);

// ---- Open ----------------------------------------------------------------

async function openFile(file) {
  if (busy) await decoder.cancel();
  say(T.loading);
  $('#archive-tools').hidden = $('#entries').hidden = true;
  decoder.file = null;
  try {
    const { entries: opened } = await decoder.call('open', { file });
    decoder.file = file;
    entries = opened.map((e) => ({ ...e, name: e.name ?? `#${e.index}` }));
    folded.clear();
    const files = entries.filter((e) => e.kind === 'file').length;
    say(T.opened(file.name ?? '', files, entries.length - files));
    $('#archive-tools').hidden = $('#entries').hidden = false;
    endWork();
    showEntries();
  } catch (error) {
    entries = [];
    say(error.code === 'QV_E_REFUSED' ? T.refused(error.message) : T.notArchive(error.message), true);
  }
}

$('#open-input').addEventListener('change', (event) => {
  if (event.target.files[0]) openFile(event.target.files[0]);
});
function dropZone(zone, take) {
  zone.addEventListener('dragover', (event) => { event.preventDefault(); zone.classList.add('over'); });
  zone.addEventListener('dragleave', () => zone.classList.remove('over'));
  zone.addEventListener('drop', (event) => {
    event.preventDefault();
    zone.classList.remove('over');
    take(event.dataTransfer);
  });
}
dropZone($('#open-drop'), (transfer) => { if (transfer.files[0]) openFile(transfer.files[0]); });

// ---- Test ----------------------------------------------------------------

$('#test').addEventListener('click', async () => {
  const show = beginWork();
  try {
    const { results } = await decoder.call('test', {}, (p) => show(p.done, p.total));
    for (const result of results) entries[result.index].result = result;
    const bad = results.filter((r) => !r.ok).length;
    say(T.testDone(results.length - bad, bad), bad > 0);
  } catch (error) {
    say(error.code === 'QV_E_CANCELLED' ? T.cancelled : error.message, error.code !== 'QV_E_CANCELLED');
  } finally {
    endWork();
    showEntries();
  }
});

// ---- Extract -------------------------------------------------------------

function saveBlob(blob, name) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60_000);
}

// Where the browser lets the page write a file the user names, the worker
// writes the bytes straight into it; elsewhere they download as a Blob the
// worker makes.
async function downloadEntry(entry) {
  const name = entry.name.split('/').pop();
  let file = null;
  if (typeof window.showSaveFilePicker === 'function') {
    try {
      file = await window.showSaveFilePicker({ suggestedName: name });
    } catch (error) {
      if (error.name === 'AbortError') return; // the user closed the picker
      // The browser does not allow it here: a download instead.
    }
  }
  const show = beginWork();
  const progress = (p) => show(p.done, p.total);
  try {
    if (file) await decoder.call('save', { index: entry.index, file }, progress);
    else saveBlob((await decoder.call('blob', { index: entry.index }, progress)).blob, name);
  } catch (error) {
    say(error.code === 'QV_E_CANCELLED' ? T.cancelled : error.message, error.code !== 'QV_E_CANCELLED');
  } finally {
    endWork();
  }
}

// Every entry below a folder the browser lets us write, or as a .zip.
$('#extract-all').addEventListener('click', async () => {
  let folder = null;
  if (typeof window.showDirectoryPicker === 'function') {
    try {
      folder = await window.showDirectoryPicker({ mode: 'readwrite' });
    } catch (error) {
      if (error.name === 'AbortError') return; // the user closed the picker
      // The browser does not allow it here: a .zip instead.
    }
  }
  const total = entries.reduce((sum, e) => sum + (e.kind === 'file' ? e.size : 0), 0);
  const show = beginWork();
  // Never outside the chosen folder: names that could leave it are passed over.
  const safe = entries.map((entry) => ({ entry, parts: safeComponents(entry.name) })).filter((e) => e.parts);
  try {
    if (folder) {
      let before = 0;
      for (const { entry, parts } of safe) {
        let at = folder;
        const last = entry.kind === 'folder' ? parts.length : parts.length - 1;
        for (const part of parts.slice(0, last)) at = await at.getDirectoryHandle(part, { create: true });
        if (entry.kind === 'folder') continue;
        const file = await at.getFileHandle(parts.at(-1), { create: true });
        await decoder.call('save', { index: entry.index, file }, (p) => show(before + p.done, total));
        before += entry.size;
      }
    } else {
      const items = safe.map(({ entry, parts }) => ({ index: entry.index, path: parts.join('/') }));
      const { blob } = await decoder.call('zip', { items }, (p) => show(p.done, p.total));
      saveBlob(blob, (decoder.file?.name ?? 'archive').replace(/\.[^.]*$/, '') + '.zip');
    }
    say(T.extracted(safe.filter(({ entry }) => entry.kind === 'file').length));
  } catch (error) {
    say(error.code === 'QV_E_CANCELLED' ? T.cancelled : error.message, error.code !== 'QV_E_CANCELLED');
  } finally {
    endWork();
  }
});

// ---- Create --------------------------------------------------------------

let toAdd = []; // {name, data (a File), modified} or {name: 'folder/', kind}

function showToAdd() {
  const files = toAdd.filter((item) => item.kind !== 'folder');
  $('#create-summary').textContent = toAdd.length
    ? T.createItems(toAdd.length, sizeText(files.reduce((sum, item) => sum + item.data.size, 0)))
    : T.createNothing;
  $('#create').disabled = $('#create-clear').disabled = toAdd.length === 0;
}

function addFile(file, path) {
  toAdd.push({ name: path, data: file, modified: new Date(file.lastModified) });
}

// A dropped folder with everything inside it, through the entries API.
async function addDropped(entry, path) {
  if (entry.isFile) {
    addFile(await new Promise((resolve, reject) => entry.file(resolve, reject)), path);
  } else if (entry.isDirectory) {
    toAdd.push({ name: path + '/', kind: 'folder' });
    const reader = entry.createReader();
    for (;;) {
      const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
      if (!batch.length) break;
      for (const child of batch) await addDropped(child, `${path}/${child.name}`);
    }
  }
}

function addChosen(files) {
  for (const file of files) addFile(file, file.webkitRelativePath || file.name);
  showToAdd();
}
$('#create-input').addEventListener('change', (event) => addChosen(event.target.files));
$('#create-folder-input').addEventListener('change', (event) => addChosen(event.target.files));
dropZone($('#create-drop'), async (transfer) => {
  const dropped = [...transfer.items].map((item) => item.webkitGetAsEntry?.()).filter(Boolean);
  if (dropped.length) for (const entry of dropped) await addDropped(entry, entry.name);
  else addChosen(transfer.files);
  showToAdd();
});
$('#create-clear').addEventListener('click', () => { toAdd = []; showToAdd(); });

$('#create').addEventListener('click', async () => {
  $('#create').disabled = true;
  const name = $('#create-name').value.trim() || 'archive.exe';
  try {
    const { blob } = await decoder.call('create', { files: toAdd });
    saveBlob(blob, name);
    $('#create-summary').textContent = T.made(name, sizeText(blob.size));
  } catch (error) {
    $('#create-summary').textContent = T.failedToMake(error.message);
  } finally {
    $('#create').disabled = false;
  }
});
showToAdd();
