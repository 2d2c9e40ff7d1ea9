// Archives made by the native tool for the JavaScript and page tests: the
// tool is QUORVANE_TOOL (build/native/bin/quorvane by default).
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const root = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
export const tool = process.env.QUORVANE_TOOL ?? join(root, 'build/native/bin/quorvane');

export function quorvane(...args) {
  return execFileSync(tool, args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
}

// xorshift64* as the C++ tests have it: seed 20420, 0x20000 bytes give an
// entry whose stream needs the narrow-interval rule under both rescale rules.
export function pseudoRandomBytes(seed, size) {
  const mask = (1n << 64n) - 1n;
  let state = (BigInt(seed) * 0x9E3779B97F4A7C15n + 1n) & mask;
  const out = new Uint8Array(size);
  for (let i = 0; i < size;) {
    let x = state;
    x ^= x >> 12n;
    x = (x ^ (x << 25n)) & mask;
    x ^= x >> 27n;
    state = x;
    let r = (x * 0x2545F4914F6CDD1Dn) & mask;
    for (let k = 0; k < 8 && i < size; k++, i++, r >>= 8n) out[i] = Number(r & 0xFFn);
  }
  return out;
}

// The tree every test archives: Japanese names, an empty file, folders (one
// empty), text and the narrow-interval entry, which comes last in the payload
// (folder contents go in code page 932 byte order). Paths relative to `in/`.
export const TREE = {
  'はじめに.txt': new TextEncoder().encode('この書庫のテストです。\n'.repeat(300)),
  '空.txt': new Uint8Array(0),
  '資料/表～一覧.csv': new TextEncoder().encode('番号,名前\n1,りんご\n2,みかん\n'.repeat(50)),
  '資料/録音/narrow.bin': pseudoRandomBytes(20420, 0x20000),
  'plain.txt': new TextEncoder().encode('plain text\n'),
};
export const EMPTY_FOLDERS = ['空のフォルダ'];

export class Scratch {
  constructor() {
    this.dir = mkdtempSync(join(tmpdir(), 'quorvane-js-'));
  }

  path(...parts) {
    return join(this.dir, ...parts);
  }

  // Writes TREE below in/ and archives it; answers the archive's path.
  makeArchive(name = 'sample.exe') {
    for (const [relative, bytes] of Object.entries(TREE)) {
      mkdirSync(dirname(this.path('in', relative)), { recursive: true });
      writeFileSync(this.path('in', relative), bytes);
    }
    for (const folder of EMPTY_FOLDERS) mkdirSync(this.path('in', folder), { recursive: true });
    const out = this.path(name);
    quorvane('create', '-q', '--mtime', '2024-05-06T07:08:09Z', '-o', out, this.path('in'));
    return out;
  }

  // A copy of the archive with a byte of the last entry's stored data (the
  // narrow one's) changed: it opens, and that entry fails to decode.
  makeDamaged(archive, name = 'damaged.exe') {
    const bytes = new Uint8Array(readFileSync(archive));
    bytes[bytes.length - 1000] ^= 0x5A;
    writeFileSync(this.path(name), bytes);
    return this.path(name);
  }

  // A copy cut short: the last record claims bytes that are not there, so
  // validation refuses the archive.
  makeTruncated(archive, name = 'truncated.exe') {
    const bytes = readFileSync(archive);
    writeFileSync(this.path(name), bytes.subarray(0, bytes.length - 10));
    return this.path(name);
  }

  remove() {
    rmSync(this.dir, { recursive: true, force: true });
  }
}
