// The npm package against archives of the native tool: QUORVANE_PACKAGE is
// the staged package folder (build/wasm/package by default).
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import * as fs from 'node:fs';
import { readFileSync, writeFileSync } from 'node:fs';
import { join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { Scratch, TREE, pseudoRandomBytes, quorvane, tool } from './fixtures.mjs';

const root = resolve(fileURLToPath(import.meta.url), '../../..');
const packageDir = process.env.QUORVANE_PACKAGE ?? join(root, 'build/wasm/package');
const { Quorvane, QuorvaneError } = await import(pathToFileURL(join(packageDir, 'quorvane.mjs')).href);

let scratch, archivePath, archiveBytes;
before(() => {
  scratch = new Scratch();
  archivePath = scratch.makeArchive();
  archiveBytes = new Uint8Array(readFileSync(archivePath));
});
after(() => scratch.remove());

async function collect(stream) {
  const chunks = [];
  for await (const chunk of stream) chunks.push(chunk);
  return chunks;
}

test('entries carry what the native tool lists, from bytes, an ArrayBuffer, a Blob, a path or a FileHandle', async () => {
  const listed = JSON.parse(quorvane('list', '--json', archivePath)).entries;
  // A Blob backed by the file where this Node has them (20 and later).
  const blob = fs.openAsBlob ? await fs.openAsBlob(archivePath) : new Blob([archiveBytes]);
  const handle = await fs.promises.open(archivePath);
  const sources = [archiveBytes, archiveBytes.slice().buffer, blob, archivePath, pathToFileURL(archivePath), handle];
  for (const source of sources) {
    const archive = await Quorvane.open(source);
    assert.equal(archive.entries.length, listed.length);
    archive.entries.forEach((entry, i) => {
      const native = listed[i];
      assert.equal(entry.index, i);
      assert.equal(entry.name, native.name.replace(/\/$/, ''));
      assert.equal(Buffer.from(entry.nameBytes).toString('hex'), native.name_hex);
      assert.equal(entry.kind, native.kind);
      assert.equal(entry.size, native.original_size);
      assert.equal(entry.storedSize, native.stored_size);
      assert.equal(entry.attributes, native.attribute_bits);
      assert.equal(entry.rescaleRule, native.rescale_rule ?? 'normal');
      for (const [field, key] of [['created', 'creation_time'], ['accessed', 'last_access_time'],
        ['modified', 'last_write_time']]) {
        assert.equal(entry[field].toISOString(), '2024-05-06T07:08:09.000Z', `${entry.name} ${key}`);
      }
    });
    archive.close();
  }
  await handle.close();
});

test('readAll and read give every file its bytes; the stream steps are at most 1 MiB', async () => {
  const big = pseudoRandomBytes(7, 3 * 1024 * 1024 + 5).map((b, i) => (i % 7 ? b & 3 : b));
  const made = await Quorvane.create([{ name: 'big.bin', data: big }, { name: 'a/空.txt', data: '' }],
    { mtime: new Date('2024-01-02T03:04:05Z') });
  const archive = await Quorvane.open(made);
  const chunks = await collect(archive.read(0));
  assert.ok(chunks.length >= 4 && chunks.every((c) => c.length <= 1 << 20), `${chunks.length} chunks`);
  assert.ok(Buffer.concat(chunks).equals(Buffer.from(big)));
  assert.equal((await archive.readAll(1)).length, 0);
  // A BYOB reader has the bytes copied into its own buffer, used over and over.
  const byob = archive.read(0).getReader({ mode: 'byob' });
  const copies = [];
  for (let view = new Uint8Array(300000); ;) {
    const step = await byob.read(view);
    if (step.done) break;
    copies.push(Buffer.from(step.value));
    view = new Uint8Array(step.value.buffer);
  }
  assert.ok(copies.length > 10 && Buffer.concat(copies).equals(Buffer.from(big)));
  // A stream read in part and cancelled, and one still open when the archive closes.
  const partial = archive.read(0).getReader();
  const first = (await partial.read()).value;
  assert.ok(first.length > 0 && first.length <= 1 << 20 && Buffer.from(first).equals(Buffer.from(big.subarray(0, first.length))));
  await partial.cancel();
  const left = archive.read(0).getReader();
  archive.close();
  await assert.rejects(left.read(), { name: 'QuorvaneError', code: 'QV_E_INVALID' });

  const sample = await Quorvane.open(archiveBytes);
  for (const [relative, bytes] of Object.entries(TREE)) {
    const entry = sample.entries.find((e) => e.name === `in/${relative}`);
    assert.ok(Buffer.from(await sample.readAll(entry.index)).equals(Buffer.from(bytes)), relative);
    assert.ok(Buffer.concat(await collect(sample.read(entry.index))).equals(Buffer.from(bytes)), relative);
  }
  sample.close();
  await assert.rejects(sample.readAll(1), { name: 'QuorvaneError', code: 'QV_E_INVALID' });
});

test('test decodes every entry with progress; a damaged one fails alone, a progress false cancels', async () => {
  // Bytes are decoded here; a Blob by the module's worker, which a cancel
  // stops and the next call starts again.
  for (const source of [archiveBytes, new Blob([archiveBytes])]) {
    const archive = await Quorvane.open(source);
    const seen = [];
    const results = await archive.test((p) => { seen.push(p); });
    assert.ok(results.every((r) => r.ok) && results.length === 9);
    const last = seen.at(-1);
    assert.equal(last.done, last.total);
    assert.equal(last.total, Object.values(TREE).reduce((sum, b) => sum + b.length, 0));
    await assert.rejects(archive.test(() => false), { code: 'QV_E_CANCELLED' });
    assert.equal((await archive.test()).filter((r) => r.ok).length, 9);
    archive.close();
  }

  const damaged = await Quorvane.open(readFileSync(scratch.makeDamaged(archivePath)));
  const failed = (await damaged.test()).filter((r) => !r.ok);
  assert.deepEqual(failed.map((r) => [r.name, r.code]), [['in/資料/録音/narrow.bin', 'QV_E_DAMAGED']]);
  await assert.rejects(damaged.readAll(8), (error) => error instanceof QuorvaneError &&
    error.code === 'QV_E_DAMAGED' && /narrow\.bin: the stored data does not decode/.test(error.message));
});

test('a refused archive, and a file that is none, throw with the library\'s reason', async () => {
  await assert.rejects(Quorvane.open(readFileSync(scratch.makeTruncated(archivePath))),
    (error) => error instanceof QuorvaneError && error.code === 'QV_E_REFUSED' && error.status === 3 &&
      /entry 9 .*: its stored bytes run past the end of the file/.test(error.message));
  await assert.rejects(Quorvane.open(new TextEncoder().encode('MZ but nothing more')),
    { name: 'QuorvaneError', code: 'QV_E_REFUSED' });
  await assert.rejects(Quorvane.open(scratch.path('no-such.exe')), { name: 'QuorvaneError', code: 'QV_E_OPEN' });
});

test('create makes the same archive as the native tool, which extracts it', async () => {
  const time = new Date('2024-05-06T07:08:09Z');
  const files = [{ name: 'in/', attributes: 0x10 }];
  for (const [relative, bytes] of Object.entries(TREE)) files.push({ name: `in/${relative}`, data: bytes, attributes: 0x20 });
  for (const folder of ['in/空のフォルダ/', 'in/資料/', 'in/資料/録音/']) files.push({ name: folder, attributes: 0x10 });
  // In the tool's order: each folder's contents in code page 932 byte order.
  const listed = JSON.parse(quorvane('list', '--json', archivePath));
  const order = listed.entries.map((e) => e.name);
  files.sort((a, b) => order.indexOf(a.name) - order.indexOf(b.name));
  const stub = archiveBytes.subarray(0, listed.payload_start); // the tool's own
  const made = new Uint8Array(await (await Quorvane.create(files, { mtime: time, stub })).arrayBuffer());
  assert.ok(Buffer.from(made).equals(Buffer.from(archiveBytes)), 'the archives differ');

  const exe = scratch.path('made.exe');
  writeFileSync(exe, made);
  execFileSync(tool, ['extract', '-q', exe, '-d', scratch.path('out')]);
  for (const [relative, bytes] of Object.entries(TREE)) {
    assert.ok(readFileSync(scratch.path('out', 'in', relative)).equals(Buffer.from(bytes)), relative);
  }
  await assert.rejects(Quorvane.create([{ name: 'smile-😀.txt', data: 'x' }]),
    { name: 'QuorvaneError', code: 'QV_E_CANNOT_STORE' });
});
