// The npm package on a page's main thread in Debian's Chromium: a large
// archive chosen as a File is opened by the module's own worker, and the
// page's renderer never holds it whole. QUORVANE_PACKAGE is the staged
// package folder (build/wasm/package by default), served from loopback
// (Chromium starts no module worker for a page opened from disk).
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { createServer } from 'node:http';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { extname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';
import { Scratch, quorvane } from '../../js/test/fixtures.mjs';
import { rendererPeak } from './renderers.mjs';

const root = resolve(fileURLToPath(import.meta.url), '../../..');
const packageDir = process.env.QUORVANE_PACKAGE ?? join(root, 'build/wasm/package');
const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
const BIG = 96 << 20; // incompressible, so that the archive is as large
const TYPES = { '.mjs': 'text/javascript', '.wasm': 'application/wasm' };
const PAGE = `<!doctype html><meta charset="utf-8"><input type="file" id="archive">
<script type="module">import { Quorvane } from './quorvane.mjs'; window.Quorvane = Quorvane;</script>`;

let scratch, archive, big, server, context, profile;

before(async () => {
  scratch = new Scratch();
  mkdirSync(scratch.path('in'));
  big = randomBytes(BIG);
  writeFileSync(scratch.path('in', 'random.bin'), big);
  writeFileSync(scratch.path('in', 'small.txt'), 'a small entry\n');
  archive = scratch.path('big.exe');
  quorvane('create', '-q', '-o', archive, scratch.path('in'));
  server = createServer((request, response) => {
    const name = request.url === '/' ? null : request.url.slice(1);
    let body = PAGE;
    try {
      if (name) body = readFileSync(join(packageDir, name));
    } catch {
      response.writeHead(404);
      response.end();
      return;
    }
    response.writeHead(200, { 'content-type': name ? TYPES[extname(name)] ?? 'application/octet-stream' : 'text/html' });
    response.end(body);
  });
  await new Promise((done) => server.listen(0, '127.0.0.1', done));
  profile = mkdtempSync(join(tmpdir(), 'quorvane-chromium-'));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, args: FLAGS,
  });
});

after(async () => {
  await context?.close();
  server?.close();
  rmSync(profile, { recursive: true, force: true });
  scratch?.remove();
});

test('a large File opened on a page\'s main thread is read in slices by the module\'s worker', async () => {
  const page = await context.newPage();
  await page.goto(`http://127.0.0.1:${server.address().port}/`);
  await page.waitForFunction(() => window.Quorvane);
  await page.setInputFiles('#archive', archive);
  const size = statSync(archive).size;
  const before = rendererPeak(profile);
  const seen = await page.evaluate(async () => {
    const archive = await window.Quorvane.open(document.querySelector('#archive').files[0]);
    const byName = (name) => archive.entries.find((entry) => entry.name.endsWith(name));
    const small = new TextDecoder().decode(await archive.readAll(byName('small.txt').index));
    const reader = archive.read(byName('random.bin').index).getReader();
    const first = (await reader.read()).value;
    await reader.cancel();
    const results = await archive.test();
    archive.close();
    return { names: archive.entries.map((e) => e.name), small, length: first.length,
      first: Array.from(first.subarray(0, 4096)), results,
      closed: await archive.readAll(0).catch((error) => error.code) };
  });
  // Copied in, the archive would be held twice (the Blob's bytes, then the
  // module's memory: 2.3 times its size here). Read in slices, the rise is
  // the worker and its module (about 35 MB here); the test reads every
  // slice, each freed as the next comes (left to the collector, they
  // brought the rise to 0.9 to 1.05 times the archive's size).
  const rise = rendererPeak(profile) - before;
  assert.ok(rise < 0.6 * size, `the renderer grew by ${rise} bytes for an archive of ${size}`);
  assert.deepEqual(seen.names.sort(), ['in', 'in/random.bin', 'in/small.txt']);
  assert.equal(seen.small, 'a small entry\n');
  assert.ok(seen.length >= 4096 && Buffer.from(seen.first).equals(big.subarray(0, 4096)));
  assert.ok(seen.results.every((r) => r.ok) && seen.results.length === 3);
  assert.equal(seen.closed, 'QV_E_INVALID');
  await page.close();
});
