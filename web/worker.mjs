// The page's decoding thread: it holds the open archive and answers the
// page's requests, so that the page stays responsive. Cancelling ends this
// worker; the page then starts a new one.
import { Quorvane, QuorvaneError } from '../js/quorvane.mjs';
import { BlobBuilder } from './blobs.mjs';

const STEP = 1 << 20; // bytes decoded at a time for a download

let archive = null;
const streams = new Map(); // the readers of entries being read, by number
let nextStream = 1;

function failure(error) {
  return error instanceof QuorvaneError
    ? { code: error.code, message: error.message }
    : { code: 'ERROR', message: String(error?.message ?? error) };
}

function plainEntry(entry) {
  return { ...entry, nameBytes: Array.from(entry.nameBytes) };
}

// Decodes entry `index` a step at a time into one buffer, used over and
// over, handing each step to `take` (which may wait) and reporting progress.
async function eachStep(index, take, progress) {
  const reader = archive.read(index).getReader({ mode: 'byob' });
  const size = archive.entries[index].size;
  let view = new Uint8Array(STEP);
  let done = 0;
  try {
    for (;;) {
      const step = await reader.read(view);
      if (step.done) return;
      await take(step.value);
      done += step.value.length;
      progress({ entry: index, entryDone: done, entrySize: size, done, total: size });
      view = new Uint8Array(step.value.buffer);
    }
  } catch (error) {
    reader.cancel().catch(() => {}); // frees the library's reader
    throw error;
  }
}

const handlers = {
  init({ wasm, stub }) {
    Quorvane.configure({ wasm, stub });
  },

  async open({ file }) {
    streams.clear();
    archive?.close();
    archive = null;
    archive = await Quorvane.open(file);
    return { entries: archive.entries.map(plainEntry) };
  },

  async test(_, progress) {
    return { results: await archive.test((p) => progress(p)) };
  },

  // The bytes of one entry, a step of at most 1 MiB decoded for each
  // readNext the page sends: the page asks for more only as it takes them.
  readOpen({ index }) {
    const stream = nextStream++;
    streams.set(stream, archive.read(index).getReader());
    return { stream };
  },

  async readNext({ stream }) {
    const step = await streams.get(stream).read();
    if (step.done) {
      streams.delete(stream);
      return { chunk: null };
    }
    return { chunk: step.value };
  },

  // One entry written into a file the page has from the browser.
  async save({ index, file }, progress) {
    const writable = await file.createWritable();
    try {
      await eachStep(index, (bytes) => writable.write(bytes), progress);
      await writable.close();
    } catch (error) {
      await writable.abort().catch(() => {});
      throw error;
    }
  },

  // One entry as a Blob, to download.
  async blob({ index }, progress) {
    const builder = new BlobBuilder();
    await eachStep(index, (bytes) => builder.add(bytes), progress);
    return { blob: builder.blob() };
  },

  async create({ files, mtime }) {
    return { blob: await Quorvane.create(files, { mtime }) };
  },
};

self.onmessage = async ({ data }) => {
  const { id, type, ...request } = data;
  const progress = (p) => self.postMessage({ id, progress: p });
  try {
    const result = (await handlers[type](request, progress)) ?? {};
    self.postMessage({ id, result }, result.chunk ? [result.chunk.buffer] : []);
  } catch (error) {
    self.postMessage({ id, error: failure(error) });
  }
};
