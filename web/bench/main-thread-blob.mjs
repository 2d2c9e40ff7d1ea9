// The memory of a page that opens and tests an archive given as a File on its
// main thread, with the npm package: the rise of the highest resident memory
// (VmHWM) of Chromium's renderer, where the page and its workers live, from
// the loaded page to the end of the test, and the test's time.
//   node web/bench/main-thread-blob.mjs ARCHIVE [PACKAGE_DIR]
// PACKAGE_DIR is build/wasm/package by default; another package folder
// measures another version.
import { createServer } from 'node:http';
import { mkdtempSync, readFileSync, rmSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { extname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';
import { rendererPeak } from '../test/renderers.mjs';

const root = resolve(fileURLToPath(import.meta.url), '../../..');
const [archive, packageDir = join(root, 'build/wasm/package')] = process.argv.slice(2);
const PAGE = `<!doctype html><meta charset="utf-8"><input type="file" id="archive">
<script type="module">import { Quorvane } from './quorvane.mjs'; window.Quorvane = Quorvane;</script>`;
const TYPES = { '.mjs': 'text/javascript', '.wasm': 'application/wasm' };

const server = createServer((request, response) => {
  const name = request.url === '/' ? null : request.url.slice(1);
  try {
    const body = name ? readFileSync(join(packageDir, name)) : PAGE;
    response.writeHead(200, { 'content-type': name ? TYPES[extname(name)] ?? 'application/octet-stream' : 'text/html' });
    response.end(body);
  } catch {
    response.writeHead(404);
    response.end();
  }
});
await new Promise((done) => server.listen(0, '127.0.0.1', done));
const profile = mkdtempSync(join(tmpdir(), 'quorvane-chromium-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium', headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'],
});
try {
  const page = await context.newPage();
  await page.goto(`http://127.0.0.1:${server.address().port}/`);
  await page.waitForFunction(() => window.Quorvane);
  await page.setInputFiles('#archive', archive);
  const before = rendererPeak(profile);
  const seen = await page.evaluate(async () => {
    const start = performance.now();
    const archive = await window.Quorvane.open(document.querySelector('#archive').files[0]);
    const opened = performance.now() - start;
    const results = await archive.test();
    archive.close();
    return { opened, seconds: (performance.now() - start) / 1000, sound: results.every((r) => r.ok) };
  });
  const mib = (bytes) => (bytes / 2 ** 20).toFixed(0);
  const size = statSync(archive).size;
  console.log(`${archive}: ${mib(size)} MiB, opened in ${seen.opened.toFixed(0)} ms, tested in ` +
    `${seen.seconds.toFixed(1)} s (${seen.sound ? 'all sound' : 'FAILED'}); renderer peak ` +
    `${mib(before)} -> ${mib(rendererPeak(profile))} MiB`);
} finally {
  await context.close();
  server.close();
  rmSync(profile, { recursive: true, force: true });
}
