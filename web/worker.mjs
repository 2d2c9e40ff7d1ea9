// The page's decoding thread: it holds the open archive and answers the
// page's requests, so that the page stays responsive. Cancelling ends this
// worker; the page then starts a new one.
import { Quorvane, QuorvaneError } from '../js/quorvane.mjs';

let archive = null;

function failure(error) {
  return error instanceof QuorvaneError
    ? { code: error.code, message: error.message }
    : { code: 'ERROR', message: String(error?.message ?? error) };
}

function plainEntry(entry) {
  return { ...entry, nameBytes: Array.from(entry.nameBytes) };
}

const handlers = {
  init({ wasm, stub }) {
    Quorvane.configure({ wasm, stub });
  },

  async open({ file }) {
    archive?.close();
    archive = null;
    archive = await Quorvane.open(file);
    return { entries: archive.entries.map(plainEntry) };
  },

  async test(_, progress) {
    return { results: await archive.test((p) => progress(p)) };
  },

  // The bytes of one entry, handed over in steps as they are decoded.
  async read({ index }, progress) {
    const reader = archive.read(index).getReader();
    const size = archive.entries[index].size;
    let done = 0;
    for (;;) {
      const step = await reader.read();
      if (step.done) return {};
      done += step.value.length;
      progress({ entry: index, entryDone: done, entrySize: size, done, total: size }, step.value);
    }
  },

  async create({ files, mtime }) {
    return { blob: await Quorvane.create(files, { mtime }) };
  },
};

self.onmessage = async ({ data }) => {
  const { id, type, ...request } = data;
  const progress = (p, chunk) => {
    if (chunk) self.postMessage({ id, progress: p, chunk }, [chunk.buffer]);
    else self.postMessage({ id, progress: p });
  };
  try {
    self.postMessage({ id, result: (await handlers[type](request, progress)) ?? {} });
  } catch (error) {
    self.postMessage({ id, error: failure(error) });
  }
};
