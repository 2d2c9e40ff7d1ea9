// The built page (build/web/quorvane.html) in Debian's Chromium, opened from
// disk and used as a person uses it: archives made by the native tool go in
// through the file input; the table, the downloads and the messages are read
// back. QUORVANE_PAGE overrides the page's path; QUORVANE_SCREENSHOT, when
// set, is where a picture of the page with an archive open is saved.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { createServer } from 'node:http';
import { mkdtempSync, readFileSync, rmSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';
import { unzipSync } from 'fflate';
import { EMPTY_FOLDERS, Scratch, TREE, tool } from '../../js/test/fixtures.mjs';

const root = resolve(fileURLToPath(import.meta.url), '../../..');
const pagePath = process.env.QUORVANE_PAGE ?? join(root, 'build/web/quorvane.html');
const pageUrl = pathToFileURL(pagePath).href;

// Chromium's own networking stays off: no background services, and a fresh
// profile each run.
const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

let scratch, archive, context, profile;
const requests = []; // every request any page of the run made

before(async () => {
  scratch = new Scratch();
  archive = scratch.makeArchive();
  profile = mkdtempSync(join(tmpdir(), 'quorvane-chromium-'));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, args: FLAGS,
    acceptDownloads: true, locale: 'ja-JP', viewport: { width: 1100, height: 760 },
  });
  context.on('request', (request) => requests.push(request.url()));
});

after(async () => {
  await context?.close();
  rmSync(profile, { recursive: true, force: true });
  scratch?.remove();
});

async function openPage() {
  const page = await context.newPage();
  await page.goto(pageUrl);
  return page;
}

async function openArchive(page, path) {
  await page.setInputFiles('#open-input', path);
  await page.waitForFunction(() => document.querySelector('#message').textContent !== '開いています…' &&
    document.querySelector('#message').textContent !== '');
}

async function rows(page) {
  return page.$$eval('#entries tbody tr', (trs) => trs.map((tr) => ({
    name: tr.querySelector('td.name').title,
    cells: [...tr.querySelectorAll('td')].map((td) => td.textContent.trim()),
    hidden: tr.hidden,
  })));
}

async function download(page, click) {
  const [saved] = await Promise.all([page.waitForEvent('download'), click()]);
  return { name: saved.suggestedFilename(), bytes: readFileSync(await saved.path()) };
}

test('the table lists every entry with Japanese names, sizes, times and attributes', async () => {
  const page = await openPage();
  await openArchive(page, archive);
  const listed = await rows(page);
  const expected = ['in', 'in/plain.txt', 'in/はじめに.txt', 'in/空.txt', 'in/空のフォルダ', 'in/資料',
    'in/資料/表～一覧.csv', 'in/資料/録音', 'in/資料/録音/narrow.bin'];
  assert.deepEqual(listed.map((r) => r.name), expected);
  const csv = listed.find((r) => r.name.endsWith('.csv')).cells;
  assert.equal(csv[0], '表～一覧.csv');
  assert.equal(csv[1], TREE['資料/表～一覧.csv'].length.toLocaleString('ja'));
  assert.match(csv[4], /^2024-05-0[67] \d\d:08:09$/);
  assert.equal(csv[5], '-A---');
  assert.equal(listed[0].cells[5], 'D----');
  assert.equal(await page.textContent('#message'), `${'sample.exe'}: ファイル 5 個、フォルダ 4 個`);
  if (process.env.QUORVANE_SCREENSHOT) await page.screenshot({ path: process.env.QUORVANE_SCREENSHOT });

  // Folding a folder hides what is inside it; the filter keeps the folders
  // on the way to a match.
  await page.click('tr[data-index="5"] .toggle');
  assert.deepEqual((await rows(page)).filter((r) => r.hidden).map((r) => r.name),
    ['in/資料/表～一覧.csv', 'in/資料/録音', 'in/資料/録音/narrow.bin']);
  await page.click('tr[data-index="5"] .toggle');
  await page.fill('#filter', 'narrow');
  assert.deepEqual((await rows(page)).filter((r) => !r.hidden).map((r) => r.name),
    ['in', 'in/資料', 'in/資料/録音', 'in/資料/録音/narrow.bin']);

  // window.Quorvane is the module's own object, usable from the console.
  const kinds = await page.evaluate(async () => {
    const bytes = new Uint8Array(await document.querySelector('#open-input').files[0].arrayBuffer());
    const opened = await window.Quorvane.open(bytes);
    return opened.entries.map((e) => e.kind);
  });
  assert.deepEqual(kinds, ['folder', 'file', 'file', 'file', 'folder', 'folder', 'file', 'folder', 'file']);
  await page.close();
});

test('testing shows a result per entry, and every downloaded file has the original bytes', async () => {
  const page = await openPage();
  await openArchive(page, archive);
  await page.click('#test');
  await page.waitForFunction(() => /テスト完了/.test(document.querySelector('#message').textContent));
  const results = (await rows(page)).map((r) => r.cells[6]);
  assert.deepEqual(results, Array(9).fill('正常'));

  // Where the browser refuses the save picker (as without one), a file downloads as a Blob.
  await page.evaluate(() => {
    window.showSaveFilePicker = () => Promise.reject(new DOMException('not here', 'SecurityError'));
  });
  for (const [relative, bytes] of Object.entries(TREE)) {
    const saved = await download(page, () => page.click(`td.name[title="in/${relative}"] ~ td button`));
    assert.equal(saved.name, relative.split('/').pop());
    assert.ok(Buffer.from(bytes).equals(saved.bytes), `${relative}: downloaded bytes differ`);
  }

  // Without a folder picker, "Extract all" downloads the tree as a .zip.
  await page.evaluate(() => { window.showDirectoryPicker = undefined; });
  const zip = await download(page, () => page.click('#extract-all'));
  assert.equal(zip.name, 'sample.zip');
  const unzipped = unzipSync(new Uint8Array(zip.bytes));
  for (const [relative, bytes] of Object.entries(TREE)) {
    assert.ok(Buffer.from(bytes).equals(Buffer.from(unzipped[`in/${relative}`])), relative);
  }
  for (const folder of EMPTY_FOLDERS) assert.ok(`in/${folder}/` in unzipped);
  await page.close();
});

test('a damaged entry fails its test and its read; a refused archive says why', async () => {
  const page = await openPage();
  await openArchive(page, scratch.makeDamaged(archive));
  await page.click('#test');
  await page.waitForFunction(() => /テスト完了/.test(document.querySelector('#message').textContent));
  assert.equal(await page.textContent('#message'), 'テスト完了: 1 個が破損、8 個は正常です。');
  assert.equal((await rows(page)).at(-1).cells[6], '破損');
  const thrown = await page.evaluate(async () => {
    const bytes = new Uint8Array(await document.querySelector('#open-input').files[0].arrayBuffer());
    const opened = await window.Quorvane.open(bytes);
    try {
      await opened.readAll(8);
      return null;
    } catch (error) {
      return { name: error.name, code: error.code };
    }
  });
  assert.deepEqual(thrown, { name: 'QuorvaneError', code: 'QV_E_DAMAGED' });

  await openArchive(page, scratch.makeTruncated(archive));
  const message = await page.textContent('#message');
  assert.match(message, /^この書庫は開けません。壊れているか安全でないため、中身は使いません。/);
  assert.match(message, /its stored bytes run past the end of the file/);
  assert.equal(await page.getAttribute('#message', 'role'), 'alert');
  assert.equal(await page.isHidden('#entries'), true);
  await page.close();
});

test('an archive made in the page extracts byte for byte with the native tool', async () => {
  const page = await openPage();
  const files = [
    { name: 'メモ.txt', mimeType: 'text/plain', buffer: Buffer.from(TREE['はじめに.txt']) },
    { name: '空.txt', mimeType: 'text/plain', buffer: Buffer.alloc(0) },
    { name: 'narrow.bin', mimeType: 'application/octet-stream', buffer: Buffer.from(TREE['資料/録音/narrow.bin']) },
  ];
  await page.setInputFiles('#create-input', files);
  await page.fill('#create-name', 'made.exe');
  const made = await download(page, () => page.click('#create'));
  assert.equal(made.name, 'made.exe');
  const exe = scratch.path('made.exe');
  (await import('node:fs')).writeFileSync(exe, made.bytes);
  execFileSync(tool, ['extract', '-q', exe, '-d', scratch.path('made')]);
  for (const file of files) {
    assert.ok(readFileSync(scratch.path('made', file.name)).equals(file.buffer), file.name);
  }
  await page.close();
});

test('an archive dropped on the page opens; files and folders dropped or chosen become an .exe the tool extracts', async () => {
  const page = await openPage();
  // A drop as the browser dispatches it, with a File made in the page.
  await page.evaluate(async (bytes) => {
    const transfer = new DataTransfer();
    transfer.items.add(new File([new Uint8Array(bytes)], 'dropped.exe'));
    document.querySelector('#open-drop').dispatchEvent(
      new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
  }, Array.from(readFileSync(archive)));
  await page.waitForFunction(() => /^dropped\.exe: ファイル 5 個/.test(document.querySelector('#message').textContent));
  assert.equal((await rows(page)).length, 9);

  // A dropped folder reaches the page as entries (webkitGetAsEntry), which a
  // page cannot make of its own DataTransfer: these stand-ins answer as the
  // browser's do, a folder's reader in batches until an empty one.
  const dropped = { 'メモ.txt': TREE['はじめに.txt'], 'docs/narrow.bin': TREE['資料/録音/narrow.bin'],
    'docs/sub/空.txt': TREE['空.txt'] };
  await page.evaluate((files) => {
    const file = (name, bytes) => ({ isFile: true, isDirectory: false, name,
      file: (done) => done(new File([new Uint8Array(bytes)], name)) });
    const folder = (name, children) => ({ isFile: false, isDirectory: true, name, createReader() {
      let given = false;
      return { readEntries: (done) => { done(given ? [] : children); given = true; } };
    } });
    const entries = [file('メモ.txt', files['メモ.txt']), folder('docs', [
      file('narrow.bin', files['docs/narrow.bin']), folder('sub', [file('空.txt', files['docs/sub/空.txt'])]),
      folder('empty', [])])];
    const drop = new Event('drop', { bubbles: true, cancelable: true });
    drop.dataTransfer = { items: entries.map((entry) => ({ webkitGetAsEntry: () => entry })), files: [] };
    document.querySelector('#create-drop').dispatchEvent(drop);
  }, Object.fromEntries(Object.entries(dropped).map(([name, bytes]) => [name, Array.from(bytes)])));
  // And a folder chosen with the folder picker.
  await page.setInputFiles('#create-folder-input', scratch.path('in'));
  await page.waitForFunction(() => /^11 /.test(document.querySelector('#create-summary').textContent));
  const made = await download(page, () => page.click('#create'));
  const exe = scratch.path('dropped-made.exe');
  (await import('node:fs')).writeFileSync(exe, made.bytes);
  execFileSync(tool, ['extract', '-q', exe, '-d', scratch.path('dropped-made')]);
  const expected = { ...dropped };
  for (const [relative, bytes] of Object.entries(TREE)) expected[`in/${relative}`] = bytes;
  for (const [name, bytes] of Object.entries(expected)) {
    assert.ok(readFileSync(scratch.path('dropped-made', name)).equals(Buffer.from(bytes)), name);
  }
  assert.ok(statSync(scratch.path('dropped-made', 'docs', 'empty')).isDirectory());
  await page.close();
});

test('from a static host, "Extract all" writes the tree into the folder the browser gives', async () => {
  // Served from loopback, where the browser grants a private folder (origin
  // private file system) that stands in for the one showDirectoryPicker asks for.
  const server = createServer((request, response) => {
    response.writeHead(200, { 'content-type': 'text/html; charset=utf-8' });
    response.end(readFileSync(pagePath));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const page = await context.newPage();
  try {
    await page.goto(`http://127.0.0.1:${server.address().port}/quorvane.html`);
    await page.evaluate(() => { window.showDirectoryPicker = () => navigator.storage.getDirectory(); });
    await page.setInputFiles('#open-input', archive);
    await page.waitForFunction(() => /ファイル 5 個/.test(document.querySelector('#message').textContent));
    await page.click('#extract-all');
    await page.waitForFunction(() => /書き出しました/.test(document.querySelector('#message').textContent));
    const written = await page.evaluate(async () => {
      const found = {};
      async function walk(folder, path) {
        for await (const [name, handle] of folder.entries()) {
          if (handle.kind === 'directory') {
            found[`${path}${name}/`] = null;
            await walk(handle, `${path}${name}/`);
          } else {
            found[path + name] = Array.from(new Uint8Array(await (await handle.getFile()).arrayBuffer()));
          }
        }
      }
      await walk(await navigator.storage.getDirectory(), '');
      return found;
    });
    for (const [relative, bytes] of Object.entries(TREE)) {
      assert.ok(Buffer.from(bytes).equals(Buffer.from(written[`in/${relative}`])), relative);
    }
    for (const folder of EMPTY_FOLDERS) assert.ok(`in/${folder}/` in written);
    assert.equal(Object.keys(written).filter((name) => !name.endsWith('/')).length, 5);

    // One file, saved where the save picker points, is written there step by step.
    await page.evaluate(() => {
      window.showSaveFilePicker = async ({ suggestedName }) =>
        (await navigator.storage.getDirectory()).getFileHandle(`saved-${suggestedName}`, { create: true });
    });
    await page.click('td.name[title="in/資料/録音/narrow.bin"] ~ td button');
    let saved = null;
    for (let tries = 0; !saved && tries < 200; tries++) {
      saved = await page.evaluate(async () => {
        try {
          const root = await navigator.storage.getDirectory();
          const file = await (await root.getFileHandle('saved-narrow.bin')).getFile();
          return file.size > 0 ? Array.from(new Uint8Array(await file.arrayBuffer())) : null;
        } catch {
          return null; // not written yet
        }
      });
      if (!saved) await new Promise((resolve) => setTimeout(resolve, 50));
    }
    assert.ok(saved && Buffer.from(TREE['資料/録音/narrow.bin']).equals(Buffer.from(saved)));
  } finally {
    await page.close();
    server.close();
  }
});

test('the page asks the network for nothing', () => {
  const foreign = requests.filter((url) =>
    url !== pageUrl && !/^(blob|data):/.test(url) && !/^http:\/\/127\.0\.0\.1:\d+\/quorvane\.html$/.test(url));
  assert.deepEqual(foreign, []);
  assert.ok(requests.includes(pageUrl));
});
