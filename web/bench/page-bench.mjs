// Times the page's test of an archive in Debian's Chromium, best of ROUNDS,
// and samples the memory of all of that Chromium's processes (proportional
// set size, so shared pages count once) while it decodes.
//   node web/bench/page-bench.mjs ARCHIVE [ROUNDS] [PAGE]
import { readFileSync, readdirSync, mkdtempSync, rmSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

const [archive, rounds = '3', pagePath] = process.argv.slice(2);
const page_ = pagePath ?? resolve(fileURLToPath(import.meta.url), '../../../build/web/quorvane.html');
const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// Proportional set size in bytes of every process started with this profile.
function profileMemory(profile) {
  let total = 0;
  for (const pid of readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      if (!readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes(profile)) continue;
      const pss = readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8').match(/^Pss:\s+(\d+) kB/m);
      if (pss) total += Number(pss[1]) * 1024;
    } catch {
      // the process ended meanwhile
    }
  }
  return total;
}

const profile = mkdtempSync(join(tmpdir(), 'quorvane-bench-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium', headless: true, args: FLAGS, locale: 'en-US',
});
const page = await context.newPage();
await page.goto(pathToFileURL(page_).href);
await page.setInputFiles('#open-input', archive);
await page.waitForFunction(() => /files,/.test(document.querySelector('#message').textContent));
const bytes = statSync(archive).size;
let best = Infinity, peak = 0;
for (let round = 0; round < Number(rounds); round++) {
  await page.evaluate(() => { document.querySelector('#message').textContent = ''; });
  const started = performance.now();
  await page.click('#test');
  const sampler = setInterval(() => { peak = Math.max(peak, profileMemory(profile)); }, 200);
  await page.waitForFunction(() => /Test finished/.test(document.querySelector('#message').textContent),
    null, { timeout: 0, polling: 100 });
  clearInterval(sampler);
  best = Math.min(best, (performance.now() - started) / 1000);
}
const message = await page.textContent('#message');
const decoded = await page.$$eval('#entries tbody tr.file td:nth-child(2)',
  (cells) => cells.reduce((sum, cell) => sum + Number(cell.textContent.replace(/[^\d]/g, '')), 0));
console.log(JSON.stringify({ archive, archiveBytes: bytes, decodedBytes: decoded, bestSeconds: best,
  mibPerSecond: decoded / 1048576 / best, peakMemoryMiB: peak / 1048576, message }));
await context.close();
rmSync(profile, { recursive: true, force: true });
