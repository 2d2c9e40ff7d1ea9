// The page's decoding thread: it holds the open archive and answers the
// page's requests, so that the page stays responsive. Cancelling ends this
// worker; the page then starts a new one.
import { Quorvane, QuorvaneError } from '../js/quorvane.mjs';
import { BlobBuilder } from './blobs.mjs';

const STEP = 1 << 20; // bytes decoded at a time for a download

let archive = null;

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
    archive?.close();
    archive = null;
    archive = await Quorvane.open(file);
    return { entries: archive.entries.map(plainEntry) };
  },

  async test(_, progress) {
    return { results: await archive.test((p) => progress(p)) };
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

  // Entries as a .zip (fflate's streaming Zip, whose script is inlined
  // before this one) in Blob parts: `items` are {index, path}, in archive
  // order, their paths safe to unpack.
  async zip({ items }, progress) {
    const zipped = new BlobBuilder();
    let failed = null;
    const zip = new fflate.Zip((error, chunk) => {
      if (error) failed = error;
      else zipped.add(chunk);
    });
    const sizeOf = (item) => archive.entries[item.index].size;
    const total = items.reduce((sum, item) => sum + sizeOf(item), 0);
    let before = 0;
    for (const item of items) {
      const entry = archive.entries[item.index];
      const file = new fflate.ZipPassThrough(entry.kind === 'folder' ? `${item.path}/` : item.path);
      if (entry.modified && entry.kind === 'file') file.mtime = entry.modified;
      zip.add(file);
      // fflate hands each step on at once, so the buffer may be used again.
      if (entry.kind === 'file') {
        await eachStep(item.index, (bytes) => file.push(bytes),
          (p) => progress({ ...p, done: before + p.done, total }));
        before += entry.size;
      }
      file.push(new Uint8Array(0), true);
      if (failed) throw failed;
    }
    zip.end();
    if (failed) throw failed;
    return { blob: zipped.blob('application/zip') };
  },

  async create({ files, mtime }) {
    return { blob: await Quorvane.create(files, { mtime }) };
  },
};

self.onmessage = async ({ data }) => {
  const { id, type, ...request } = data;
  const progress = (p) => self.postMessage({ id, progress: p });
  try {
    self.postMessage({ id, result: (await handlers[type](request, progress)) ?? {} });
  } catch (error) {
    self.postMessage({ id, error: failure(error) });
  }
};
