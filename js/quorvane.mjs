// Quorvane archives in browsers and Node: the library compiled to WebAssembly
// (quorvane-core.mjs and .wasm), behind a small promise-based API.
//
//   const archive = await Quorvane.open(bytesOrBlob);
//   archive.entries[0].name; await archive.readAll(0); archive.read(0) (a stream)
//   await archive.test(progress); archive.close();
//   const blob = await Quorvane.create([{name, data, modified}], {mtime});
//
// Loaded as a worker named WORKER_MARK (workerData in Node), this module
// serves an archive to the thread that started it (see RemoteArchive).
import createQuorvaneCore from './quorvane-core.mjs';

// The names of the library's qv_status values, by number.
const STATUS_NAMES = [
  'QV_OK', 'QV_E_INVALID', 'QV_E_OPEN', 'QV_E_REFUSED', 'QV_E_DAMAGED', 'QV_E_READ', 'QV_E_WRITE',
  'QV_E_NO_MEMORY', 'QV_E_UNSAFE_NAME', 'QV_E_CANCELLED', 'QV_E_EXISTS', 'QV_E_ENTRIES_FAILED',
  'QV_E_BUFFER_TOO_SMALL', 'QV_E_CANNOT_STORE', 'QV_E_CHANGED', 'QV_E_NOT_FOUND',
];
const QV_FOLDER = 1;
const QV_ATTR_DIRECTORY = 0x10;
const QV_E_OPEN = 2;
const QV_E_NO_MEMORY = 7;
const QV_E_ENTRIES_FAILED = 11;
const STEP = 1 << 20; // bytes decoded for each chunk of a stream
const WINDOW = 1 << 20; // bytes of a Blob read at once in a worker
const BLOB_PART = 4 << 20; // bytes of a made archive gathered per Blob part
// The name (browser) or workerData (Node) by which this module, started as a
// worker of its own, knows to serve an archive to the thread that started it.
const WORKER_MARK = 'quorvane-archive';

const statusName = (status) => STATUS_NAMES[status] ?? `QV_E_${status}`;

/** A failure of the library: `code` is the qv_status name, `status` its number. */
export class QuorvaneError extends Error {
  constructor(status, message) {
    super(message);
    this.name = 'QuorvaneError';
    this.status = status;
    this.code = statusName(status);
  }
}

const isNode = typeof process === 'object' && typeof process.versions?.node === 'string';
let assets = null; // {wasm, stub}: the module's bytes and the packaged stub
let corePromise = null;

// The .wasm and the stub: given by configure(), else beside this file.
async function loadAsset(name) {
  const url = new URL(name, import.meta.url);
  if (isNode) {
    const { readFile } = await import('node:fs/promises');
    return new Uint8Array(await readFile(url));
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`cannot load ${name}: ${response.status}`);
  return new Uint8Array(await response.arrayBuffer());
}

async function loadCore() {
  const wasm = assets?.wasm ?? (await loadAsset('quorvane-core.wasm'));
  // locateFile: the loader is given the bytes and must not make a URL of
  // its own (a worker started from a blob: URL has none to start from).
  const core = await createQuorvaneCore({ wasmBinary: wasm, locateFile: (path) => path });
  // Decoded bytes, progress and verdicts arrive here from the library, and
  // it reads archives held here, by token.
  core.sinks = new Map();
  core.sources = new Map();
  core.qvwTakeBytes = (token, pointer, size) =>
    core.sinks.get(token).bytes(core.HEAPU8.subarray(pointer, pointer + size)) ? 0 : 1;
  core.qvwTakeProgress = (token, entry, entryDone, entrySize, done, total) =>
    core.sinks.get(token).progress({ entry, entryDone, entrySize, done, total }) === false ? 1 : 0;
  core.qvwTakeResult = (token, entry, code, message) =>
    core.sinks.get(token).result(entry, code, core.UTF8ToString(message));
  core.qvwSourceRead = (token, position, pointer, size) => {
    try {
      return core.sources.get(token)(position, core.HEAPU8.subarray(pointer, pointer + size));
    } catch {
      return -1; // the library reports QV_E_READ
    }
  };
  core.nextToken = 1;
  return core;
}

function core() {
  corePromise ??= loadCore();
  return corePromise;
}

// Runs `call(errorPointer)` and throws the library's error when it fails.
function checked(core, call) {
  const error = core._qvw_error_new();
  try {
    const status = call(error);
    if (status !== 0) {
      throw new QuorvaneError(core._qvw_error_code(error) || status,
        core.UTF8ToString(core._qvw_error_message(error)));
    }
  } finally {
    core._free(error);
  }
}

function withString(core, text, use) {
  const size = core.lengthBytesUTF8(text) + 1;
  const pointer = core._malloc(size);
  core.stringToUTF8(text, pointer, size);
  try {
    return use(pointer);
  } finally {
    core._free(pointer);
  }
}

function copyIn(core, bytes) {
  const pointer = core._malloc(Math.max(1, bytes.length));
  if (!pointer) throw new QuorvaneError(7, 'out of memory');
  core.HEAPU8.set(bytes, pointer);
  return pointer;
}

async function bytesOf(data) {
  if (data == null) return new Uint8Array(0);
  if (data instanceof Uint8Array) return data;
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  if (typeof data === 'string') return new TextEncoder().encode(data);
  if (typeof data.arrayBuffer === 'function') return new Uint8Array(await data.arrayBuffer());
  throw new TypeError('expected a Uint8Array, an ArrayBuffer, a Blob or a string');
}

function dateOf(ms) {
  return Number.isNaN(ms) ? null : new Date(ms);
}

function readEntries(core, handle) {
  const count = core._qv_entry_count(handle);
  const fields = core._malloc(12 * 8);
  const entries = [];
  try {
    for (let index = 0; index < count; index++) {
      checked(core, () => core._qvw_entry(handle, index, fields));
      const f = core.HEAPF64.subarray(fields / 8, fields / 8 + 12);
      const nameBytes = core.HEAPU8.slice(f[9], f[9] + f[10]);
      const folder = f[0] === QV_FOLDER;
      let name = f[11] ? core.UTF8ToString(f[11]) : null;
      if (name !== null && folder) name = name.replace(/\/$/, '');
      entries.push(Object.freeze({
        index,
        name,
        nameBytes,
        kind: folder ? 'folder' : 'file',
        size: f[1],
        storedSize: f[2],
        created: dateOf(f[3]),
        accessed: dateOf(f[4]),
        modified: dateOf(f[5]),
        attributes: f[6],
        rescaleRule: f[7] ? 'odd' : 'normal',
      }));
    }
  } finally {
    core._free(fields);
  }
  return entries;
}

// The archive handle that `open(box, error)` leaves in `box`.
function openWith(core, open) {
  const box = core._malloc(4);
  try {
    checked(core, (error) => open(box, error));
    return core.HEAPU32[box / 4];
  } finally {
    core._free(box);
  }
}

// An archive of `size` bytes that the library reads where it asks, through
// `read(position, into)` (which answers the bytes it copied into `into`):
// a large archive is never copied whole into memory. `release` ends the
// reading once the archive is closed.
function openSource(core, size, read, release) {
  const token = core.nextToken++;
  core.sources.set(token, read);
  let source = 0;
  const releaseAll = () => {
    core._free(source);
    core.sources.delete(token);
    release?.();
  };
  try {
    const handle = openWith(core, (box, error) => {
      source = core._qvw_open_source(token, size, box, error);
      return source ? 0 : core._qvw_error_code(error) || QV_E_NO_MEMORY;
    });
    return new Archive(core, handle, releaseAll);
  } catch (error) {
    releaseAll();
    throw error;
  }
}

// `size` bytes read through `slice(from, to)` (a Uint8Array) WINDOW bytes
// ahead: the library's many small reads cost one slice each MiB.
function windowReader(size, slice) {
  let start = 0;
  let window = new Uint8Array(0);
  return (position, into) => {
    let copied = 0;
    while (copied < into.length) {
      const at = position + copied;
      if (at < start || at >= start + window.length) {
        if (at >= size) break;
        start = at;
        window = slice(at, Math.min(size, at + WINDOW));
        if (window.length === 0) break;
      }
      const from = at - start;
      const part = window.subarray(from, Math.min(window.length, from + into.length - copied));
      into.set(part, copied);
      copied += part.length;
    }
    return copied;
  };
}

// A Blob in a worker, read with FileReaderSync. Each slice is let go, when
// the next is read, by transferring it into a port whose other end is
// closed, which frees its bytes at once: left to the collector, the slices
// of a 1 GiB archive's test piled up to more than a GiB in Chromium.
function blobReader(blob) {
  const reader = new FileReaderSync();
  const drain = new MessageChannel();
  drain.port2.close();
  let last = null;
  return windowReader(blob.size, (from, to) => {
    if (last) drain.port1.postMessage(null, [last]);
    last = reader.readAsArrayBuffer(blob.slice(from, to));
    return new Uint8Array(last);
  });
}

// A file in Node, read where the library asks through its descriptor.
function fileReader(fs, fd) {
  return (position, into) => {
    let copied = 0;
    while (copied < into.length) {
      const got = fs.readSync(fd, into, copied, into.length - copied, position + copied);
      if (got === 0) break;
      copied += got;
    }
    return copied;
  };
}

// In Node: a path (a string or a file: URL), or an open FileHandle, which
// stays the caller's.
async function openFileInNode(core, source) {
  const fs = await import('node:fs');
  if (typeof source.fd === 'number') {
    return openSource(core, fs.fstatSync(source.fd).size, fileReader(fs, source.fd));
  }
  let fd;
  try {
    fd = fs.openSync(source, 'r');
  } catch (error) {
    throw new QuorvaneError(QV_E_OPEN, `${source}: ${error.message}`);
  }
  let size;
  try {
    size = fs.fstatSync(fd).size;
  } catch (error) {
    fs.closeSync(fd);
    throw new QuorvaneError(QV_E_OPEN, `${source}: ${error.message}`);
  }
  return openSource(core, size, fileReader(fs, fd), () => fs.closeSync(fd));
}

/** An open archive: its entries, and decoding of each. */
class Archive {
  #core;
  #handle;
  #release; // frees what the archive reads from (its bytes, or its mount)
  #readers = new Set(); // the releases of the streams still open

  constructor(core, handle, release) {
    this.#core = core;
    this.#handle = handle;
    this.#release = release;
    this.entries = readEntries(core, handle);
  }

  #open() {
    if (!this.#handle) throw new QuorvaneError(1, 'the archive is closed');
    return this.#handle;
  }

  #entry(index) {
    const entry = this.entries[index];
    if (!entry) throw new QuorvaneError(1, `there is no entry ${index}`);
    return entry;
  }

  // Runs `call(handle, token, error)` with `sink` taking what the library
  // hands over under the token: {bytes, progress, result}.
  #withSink(sink, call) {
    const core = this.#core;
    const handle = this.#open();
    const token = core.nextToken++;
    core.sinks.set(token, { bytes: () => true, progress: () => true, result: () => {}, ...sink });
    try {
      checked(core, (error) => call(handle, token, error));
    } finally {
      core.sinks.delete(token);
    }
  }

  /** The decoded bytes of entry `index` as one Uint8Array. */
  async readAll(index) {
    const entry = this.#entry(index);
    const out = new Uint8Array(entry.kind === 'file' ? entry.size : 0);
    let at = 0;
    const bytes = (chunk) => {
      if (at + chunk.length > out.length) return false;
      out.set(chunk, at);
      at += chunk.length;
      return true;
    };
    this.#withSink({ bytes }, (handle, token, error) => this.#core._qvw_decode(handle, index, token, 1, error));
    return out;
  }

  /** The decoded bytes of entry `index` as a ReadableStream of Uint8Arrays:
   * the library's pull reader decodes at most 1 MiB for each chunk the
   * stream's reader asks for, so memory stays bounded whatever the entry's
   * size. A byte stream: a BYOB reader (getReader({mode: 'byob'})) has the
   * bytes copied into its own buffer, so that reading allocates nothing. A
   * damaged entry errors the stream with QV_E_DAMAGED. */
  read(index) {
    const core = this.#core;
    const handle = this.#open();
    this.#entry(index);
    const reader = openWith(core, (box, error) => core._qv_reader_open(handle, index, box, error));
    const buffer = core._malloc(STEP);
    const got = core._malloc(4);
    const release = () => {
      if (!this.#readers.delete(release)) return;
      core._qv_reader_close(reader);
      core._free(buffer);
      core._free(got);
    };
    this.#readers.add(release);
    return new ReadableStream({
      type: 'bytes',
      autoAllocateChunkSize: STEP,
      pull: (controller) => {
        const request = controller.byobRequest;
        try {
          if (!this.#readers.has(release)) throw new QuorvaneError(1, 'the archive is closed');
          const room = Math.min(request.view.byteLength, STEP);
          checked(core, (error) => core._qv_reader_read(reader, buffer, room, got, error));
          const size = core.HEAPU32[got / 4];
          if (size === 0) {
            release();
            controller.close();
            request.respond(0);
          } else {
            const view = request.view;
            new Uint8Array(view.buffer, view.byteOffset, size).set(core.HEAPU8.subarray(buffer, buffer + size));
            request.respond(size);
          }
        } catch (error) {
          release();
          controller.error(error);
        }
      },
      cancel: release,
    });
  }

  /** Decodes every entry, keeping nothing (the library's test, on one
   * thread). `progress({entry, name, entryDone, entrySize, done, total})` is
   * called as it goes; returning false cancels (a QuorvaneError
   * QV_E_CANCELLED). Answers one result per entry: {index, name, ok, code,
   * message}. */
  async test(progress) {
    const results = this.entries.map((entry) => ({
      index: entry.index, name: entry.name, ok: true, code: 'QV_OK', message: '',
    }));
    const sink = {
      progress: (p) => progress?.({ ...p, name: this.entries[p.entry]?.name ?? null }),
      result: (index, code, message) => {
        if (code !== 0) Object.assign(results[index], { ok: false, code: statusName(code), message });
      },
    };
    this.#withSink(sink, (handle, token, error) => {
      const status = this.#core._qvw_test(handle, token, error);
      return status === QV_E_ENTRIES_FAILED ? 0 : status; // each failure is in its result
    });
    return results;
  }

  /** Frees the archive; later calls throw. */
  close() {
    if (!this.#handle) return;
    for (const release of [...this.#readers]) release();
    this.#core._qv_close(this.#handle);
    this.#release();
    this.#handle = 0;
  }
}

// A Blob where it cannot be read synchronously (a page's main thread, Node)
// is opened by a worker of this module's own, which the Blob reaches by
// structured clone without its bytes: in a browser the worker reads it with
// FileReaderSync; in Node, which has no synchronous read of a Blob, the
// worker asks this thread for each slice and waits on a SharedArrayBuffer
// until it is there. The archive here forwards every call to the worker.

// The worker, in a browser or in Node, behind one small interface; null
// when none can be started (a page whose scripts are inlined has no module
// file to start).
async function startWorker() {
  const url = new URL(import.meta.url);
  let worker;
  let link;
  if (isNode) {
    const threads = await import('node:worker_threads');
    worker = new threads.Worker(url, { workerData: WORKER_MARK });
    worker.unref(); // held only while a call waits (see RemoteArchive#call)
    link = {
      post: (message, transfer) => worker.postMessage(message, transfer),
      listen: (on, fail) => {
        worker.on('message', on);
        worker.on('error', fail);
        worker.on('exit', () => fail(new Error('the archive\'s worker ended')));
      },
      hold: (held) => (held ? worker.ref() : worker.unref()),
    };
  } else {
    if (typeof Worker !== 'function') return null;
    try {
      worker = new Worker(url, { type: 'module', name: WORKER_MARK });
    } catch {
      return null;
    }
    link = {
      post: (message, transfer) => worker.postMessage(message, transfer),
      listen: (on, fail) => {
        worker.onmessage = (event) => on(event.data);
        worker.onerror = (event) => {
          event.preventDefault?.();
          fail(new Error(event.message || 'the archive\'s worker failed'));
        };
      },
      hold: () => {},
    };
  }
  link.end = () => worker.terminate();
  return link;
}

// Answers the Node worker's requests for slices of `blob` through `shared`:
// [state, length] as two Int32s, then the bytes.
function sliceServer(blob, shared) {
  const control = new Int32Array(shared, 0, 2);
  const data = new Uint8Array(shared, 8);
  return async ([from, to]) => {
    try {
      const bytes = new Uint8Array(await blob.slice(from, to).arrayBuffer());
      data.set(bytes);
      control[1] = bytes.length;
    } catch {
      control[1] = -1;
    }
    Atomics.store(control, 0, 1);
    Atomics.notify(control, 0);
  };
}

// In the Node worker: the Blob's bytes asked of the thread that holds it.
function sharedReader(port, size, shared) {
  const control = new Int32Array(shared, 0, 2);
  const data = new Uint8Array(shared, 8);
  return windowReader(size, (from, to) => {
    Atomics.store(control, 0, 0);
    port.postMessage({ slice: [from, to] });
    Atomics.wait(control, 0, 0);
    if (control[1] < 0) throw new Error('cannot read the Blob');
    return data.slice(0, control[1]);
  });
}

// A failure as it crosses between threads, where an Error keeps only its message.
const errorOf = (error) => ({ status: error?.status ?? 0, message: String(error?.message ?? error) });

function errorFrom(sent) {
  return sent.status ? new QuorvaneError(sent.status, sent.message) : new Error(sent.message);
}

/** An archive opened by the module's own worker, with the same methods. */
class RemoteArchive {
  #blob;
  #link = null; // the worker; null once stopped
  #calls = new Map(); // id -> {resolve, reject, progress}
  #next = 1;
  #slices = null;
  #closed = false;

  constructor(blob) {
    this.#blob = blob;
  }

  /** The archive opened by a worker; null when no worker can be started. */
  static async open(blob) {
    const archive = new RemoteArchive(blob);
    return (await archive.#start()) ? archive : null;
  }

  // Starts the worker and opens the archive in it: false when no worker could
  // be started.
  async #start() {
    const link = await startWorker();
    if (!link) return false;
    this.#link = link;
    const started = new Promise((resolve, reject) => {
      let ready = false;
      link.listen((message) => {
        if (this.#link !== link) return; // a worker stopped since
        if (message.slice) return this.#slices(message.slice);
        ready = true;
        this.#answer(message);
      }, (error) => {
        if (this.#link !== link) return;
        if (!ready) resolve(false); // the module could not run as a worker
        this.#stop(error);
      });
      const init = { blob: this.#blob, assets };
      if (isNode) {
        init.blob = null;
        init.size = this.#blob.size;
        init.shared = new SharedArrayBuffer(8 + WINDOW);
        this.#slices = sliceServer(this.#blob, init.shared);
      }
      this.#call('open', [init]).then((entries) => {
        this.entries = entries.map((entry) => Object.freeze(entry));
        resolve(true);
      }, (error) => {
        this.#stop(error);
        reject(error);
      });
    });
    return started;
  }

  #answer({ id, value, error, progress }) {
    const call = this.#calls.get(id);
    if (!call) return;
    if (progress) {
      if (call.progress?.(progress) === false) {
        // The worker is busy testing and hears nothing until it is done:
        // stopping it is the one way to cancel. The next call starts another.
        this.#stop(new QuorvaneError(9, 'cancelled'));
      }
      return;
    }
    this.#calls.delete(id);
    if (!this.#calls.size) this.#link?.hold(false);
    if (error) call.reject(errorFrom(error));
    else call.resolve(value);
  }

  // Ends the worker; every waiting call fails with `error`.
  #stop(error) {
    if (!this.#link) return;
    this.#link.end();
    this.#link = null;
    for (const call of this.#calls.values()) call.reject(error);
    this.#calls.clear();
  }

  async #call(op, args, progress) {
    if (this.#closed) throw new QuorvaneError(1, 'the archive is closed');
    if (!this.#link && !(await this.#start())) throw new Error('the archive\'s worker cannot start');
    const id = this.#next++;
    return new Promise((resolve, reject) => {
      this.#calls.set(id, { resolve, reject, progress });
      this.#link.hold(true);
      this.#link.post({ id, op, args });
    });
  }

  #entry(index) {
    if (this.#closed) throw new QuorvaneError(1, 'the archive is closed');
    if (!this.entries[index]) throw new QuorvaneError(1, `there is no entry ${index}`);
  }

  async readAll(index) {
    this.#entry(index);
    return this.#call('readAll', [index]);
  }

  read(index) {
    this.#entry(index);
    const stream = this.#next++;
    let reading = null; // the worker that holds the stream's place
    return new ReadableStream({
      type: 'bytes',
      autoAllocateChunkSize: STEP,
      pull: async (controller) => {
        const request = controller.byobRequest;
        try {
          if (reading && reading !== this.#link) {
            throw new QuorvaneError(9, 'the reading was cancelled with a test'); // the worker was stopped
          }
          const chunk = await this.#call('readChunk', [stream, index, Math.min(request.view.byteLength, STEP)]);
          reading ??= this.#link;
          if (!chunk) {
            controller.close();
            request.respond(0);
          } else {
            const view = request.view;
            new Uint8Array(view.buffer, view.byteOffset, chunk.length).set(chunk);
            request.respond(chunk.length);
          }
        } catch (error) {
          controller.error(error);
        }
      },
      cancel: () => this.#link?.post({ op: 'readClose', args: [stream] }),
    });
  }

  async test(progress) {
    return this.#call('test', [], progress);
  }

  close() {
    this.#stop(new QuorvaneError(1, 'the archive is closed'));
    this.#closed = true;
  }
}

// The module as its own worker: opens the archive it is sent and answers
// each call on it.
function serveArchive(port) {
  let archive = null;
  const readers = new Map(); // stream id -> a BYOB reader of archive.read
  const ops = {
    async open({ blob, size, shared, assets: given }) {
      if (given) Quorvane.configure(given);
      archive = blob ? await Quorvane.open(blob)
        : openSource(await core(), size, sharedReader(port, size, shared));
      return archive.entries;
    },
    readAll: (index) => archive.readAll(index),
    async readChunk(stream, index, room) {
      if (!readers.has(stream)) readers.set(stream, archive.read(index).getReader({ mode: 'byob' }));
      const { value, done } = await readers.get(stream).read(new Uint8Array(room));
      if (done) readers.delete(stream);
      return done ? null : value;
    },
    readClose(stream) {
      readers.get(stream)?.cancel();
      readers.delete(stream);
    },
    test: (id) => archive.test((progress) => port.postMessage({ id, progress })),
  };
  const serve = async ({ id, op, args }) => {
    try {
      const value = await ops[op](...args, id);
      if (id) port.postMessage({ id, value }, value?.buffer ? [value.buffer] : []);
    } catch (error) {
      if (id) port.postMessage({ id, error: errorOf(error) });
    }
  };
  if (isNode) port.on('message', serve);
  else port.onmessage = (event) => serve(event.data);
}

if (isNode) {
  import('node:worker_threads').then((threads) => {
    if (threads.workerData === WORKER_MARK) serveArchive(threads.parentPort);
  });
} else if (typeof WorkerGlobalScope === 'function' && self.name === WORKER_MARK) {
  serveArchive(self);
}

/** Opening and making archives. */
export const Quorvane = {
  /** Gives the module's bytes and the stub instead of loading them from
   * beside this file (a page that carries them inline). */
  configure({ wasm, stub } = {}) {
    assets = { wasm, stub };
  },

  /** The library's version string. */
  async version() {
    const c = await core();
    return c.UTF8ToString(c._qv_version_string());
  },

  /** Opens a self-extracting archive or a bare payload from a Uint8Array,
   * an ArrayBuffer or a Blob/File; in Node also from a path or a FileHandle.
   * A Blob in a worker and a file in Node are read where the library asks;
   * a Blob elsewhere is handed to a worker of this module's own, which reads
   * it so (and the copy in whole is left only for where no worker starts,
   * such as a page whose scripts are inlined). The whole archive is
   * validated first; a refusal throws a QuorvaneError QV_E_REFUSED with the
   * reason. */
  async open(source) {
    const blob = typeof Blob === 'function' && source instanceof Blob;
    if (blob && typeof FileReaderSync !== 'function') {
      const archive = await RemoteArchive.open(source);
      if (archive) return archive;
    }
    const c = await core();
    if (blob && typeof FileReaderSync === 'function') return openSource(c, source.size, blobReader(source));
    if (isNode && (typeof source === 'string' || source instanceof URL || typeof source?.fd === 'number')) {
      return openFileInNode(c, source);
    }
    const bytes = await bytesOf(source);
    const pointer = copyIn(c, bytes);
    try {
      return new Archive(c, openWith(c, (box, error) => c._qv_open_memory(pointer, bytes.length, box, error)),
        () => c._free(pointer));
    } catch (error) {
      c._free(pointer);
      throw error;
    }
  },

  /** Makes a self-extracting archive of `files`: items {name, data,
   * modified, attributes}, a folder when `name` ends in '/' or `kind` is
   * 'folder'. `options.stub` replaces the packaged extractor stub;
   * `options.mtime` (a Date) gives every entry that time. Answers a Blob. */
  async create(files, options = {}) {
    const c = await core();
    const stub = await bytesOf(options.stub ?? assets?.stub ?? (await loadAsset('quorvane-sfx.exe')));
    const mtime = options.mtime == null ? NaN : +options.mtime;
    // The archive arrives in order as the writer finishes; it is gathered
    // into Blob parts, whose bytes the browser keeps outside the page, so
    // that no more than a part of it is held here at once.
    const token = c.nextToken++;
    const parts = [];
    const staging = new Uint8Array(BLOB_PART);
    let filled = 0;
    const seal = () => {
      if (filled) parts.push(new Blob([staging.subarray(0, filled)]));
      filled = 0;
    };
    c.sinks.set(token, {
      bytes: (chunk) => {
        for (let at = 0; at < chunk.length;) {
          const size = Math.min(chunk.length - at, BLOB_PART - filled);
          staging.set(chunk.subarray(at, at + size), filled);
          filled += size;
          at += size;
          if (filled === BLOB_PART) seal();
        }
        return true;
      },
    });
    const held = [copyIn(c, stub)];
    let writer = 0;
    try {
      checked(c, (error) => {
        writer = c._qvw_writer_open(token, held[0], stub.length, mtime, error);
        return writer ? 0 : c._qvw_error_code(error);
      });
      for (const file of files) {
        const folder = file.kind === 'folder' || /\/$/.test(file.name);
        const data = folder ? new Uint8Array(0) : await bytesOf(file.data);
        const pointer = copyIn(c, data);
        held.push(pointer); // the writer reads these bytes when it finishes
        const modified = file.modified == null ? Date.now() : +file.modified;
        const attributes = file.attributes ?? (folder ? QV_ATTR_DIRECTORY : 0);
        checked(c, (error) => withString(c, file.name.replace(/\/$/, ''), (name) =>
          c._qvw_writer_add(writer, name, pointer, data.length, modified, attributes,
            folder ? 1 : 0, error)));
      }
      checked(c, (error) => c._qv_writer_finish(writer, error));
      seal();
      return new Blob(parts, { type: 'application/vnd.microsoft.portable-executable' });
    } finally {
      c.sinks.delete(token);
      c._qv_writer_free(writer);
      for (const pointer of held) c._free(pointer);
    }
  },
};

export default Quorvane;
