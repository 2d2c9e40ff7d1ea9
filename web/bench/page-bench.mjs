// Times the page's test of an archive in Debian's Chromium, best of ROUNDS,
// in seconds of the clock and of the renderers' CPU (the page and its worker;
// the second is less disturbed by other work on the machine), and samples
// the memory of that Chromium's processes (proportional set size, so shared
// pages count once) while it decodes. With `download`, each round downloads
// the first file entry instead, as a Blob (until the browser has saved it);
// with `save`, it saves that entry through the save picker, which here
// points into the page's private folder (the page is then served from
// loopback, where the browser grants one).
//   node web/bench/page-bench.mjs ARCHIVE [ROUNDS] [PAGE] [test|download|save]
import { readFileSync, readdirSync, mkdtempSync, rmSync, statSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

const [archive, rounds = '3', pagePath, mode = 'test'] = process.argv.slice(2);
const page_ = pagePath ?? resolve(fileURLToPath(import.meta.url), '../../../build/web/quorvane.html');
const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// Proportional set size in bytes of the processes started with this
// profile: all of them, and the largest renderer, which is the page's (the
// page and its worker; Chromium keeps other, small renderers besides).
function profileMemory(profile) {
  const memory = { all: 0, renderer: 0 };
  for (const pid of readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      const command = readFileSync(`/proc/${pid}/cmdline`, 'utf8');
      if (!command.includes(profile)) continue;
      const pss = readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8').match(/^Pss:\s+(\d+) kB/m);
      if (!pss) continue;
      memory.all += Number(pss[1]) * 1024;
      if (command.includes('--type=renderer')) memory.renderer = Math.max(memory.renderer, Number(pss[1]) * 1024);
    } catch {
      // the process ended meanwhile
    }
  }
  return memory;
}

// CPU seconds the renderers (the page and its worker, and the idle others)
// have used so far.
function rendererCpu(profile) {
  let ticks = 0;
  for (const pid of readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      const command = readFileSync(`/proc/${pid}/cmdline`, 'utf8');
      if (!command.includes(profile) || !command.includes('--type=renderer')) continue;
      const fields = readFileSync(`/proc/${pid}/stat`, 'utf8').replace(/^.*\) /, '').split(' ');
      ticks += Number(fields[11]) + Number(fields[12]); // utime, stime
    } catch {
      // the process ended meanwhile
    }
  }
  return ticks / 100; // clock ticks of 10 ms
}

const profile = mkdtempSync(join(tmpdir(), 'quorvane-bench-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium', headless: true, args: FLAGS, locale: 'en-US',
  acceptDownloads: true, downloadsPath: profile,
});
const page = await context.newPage();
let server = null;
if (mode === 'save') {
  server = createServer((request, response) => {
    response.writeHead(200, { 'content-type': 'text/html; charset=utf-8' });
    response.end(readFileSync(page_));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  await page.goto(`http://127.0.0.1:${server.address().port}/quorvane.html`);
  await page.evaluate(() => {
    window.showSaveFilePicker = async ({ suggestedName }) =>
      (await navigator.storage.getDirectory()).getFileHandle(suggestedName, { create: true });
  });
} else {
  await page.goto(pathToFileURL(page_).href);
  await page.evaluate(() => { window.showSaveFilePicker = undefined; });
}
await page.setInputFiles('#open-input', archive);
await page.waitForFunction(() => /files,/.test(document.querySelector('#message').textContent));
const bytes = statSync(archive).size;
const idle = profileMemory(profile); // the archive open, nothing decoding
let best = Infinity, bestCpu = Infinity;
const peak = { all: 0, renderer: 0 };
for (let round = 0; round < Number(rounds); round++) {
  await page.evaluate(() => { document.querySelector('#message').textContent = ''; });
  const started = performance.now();
  const cpuBefore = rendererCpu(profile);
  const sampler = setInterval(() => {
    const now = profileMemory(profile);
    peak.all = Math.max(peak.all, now.all);
    peak.renderer = Math.max(peak.renderer, now.renderer);
  }, 200);
  if (mode === 'download') {
    const [download] = await Promise.all([page.waitForEvent('download', { timeout: 0 }),
      page.click('#entries tbody tr.file button')]);
    await download.path(); // once the browser has saved all of it
    await download.delete();
  } else if (mode === 'save') {
    // The progress bar shows while the worker writes, and hides once the file is closed.
    const saved = page.evaluate(() => new Promise((resolve) => {
      const bar = document.querySelector('#progress');
      let shown = false;
      new MutationObserver((_, observer) => {
        if (!bar.hidden) shown = true;
        else if (shown) observer.disconnect(), resolve();
      }).observe(bar, { attributes: true, attributeFilter: ['hidden'] });
    }));
    await page.click('#entries tbody tr.file button');
    await saved;
  } else {
    // Told by the page when the message changes: polling would add its own
    // work to the renderer's time, or its interval to the clock's.
    const tested = page.evaluate(() => new Promise((resolve) => {
      const message = document.querySelector('#message');
      new MutationObserver((_, observer) => {
        if (/Test finished/.test(message.textContent)) observer.disconnect(), resolve();
      }).observe(message, { childList: true, characterData: true, subtree: true });
    }));
    await page.click('#test');
    await tested;
  }
  clearInterval(sampler);
  best = Math.min(best, (performance.now() - started) / 1000);
  bestCpu = Math.min(bestCpu, rendererCpu(profile) - cpuBefore);
}
const message = await page.textContent('#message');
const decoded = await page.$$eval('#entries tbody tr.file td:nth-child(2)', (cells, only) => cells
  .slice(0, only ? 1 : cells.length)
  .reduce((sum, cell) => sum + Number(cell.textContent.replace(/[^\d]/g, '')), 0), mode === 'download');
console.log(JSON.stringify({ archive, archiveBytes: bytes, decodedBytes: decoded, bestSeconds: best,
  mibPerSecond: decoded / 1048576 / best, cpuSeconds: bestCpu, mibPerCpuSecond: decoded / 1048576 / bestCpu,
  idleMiB: { all: idle.all / 1048576, page: idle.renderer / 1048576 },
  peakMiB: { all: peak.all / 1048576, page: peak.renderer / 1048576 }, message }));
await context.close();
server?.close();
rmSync(profile, { recursive: true, force: true });
