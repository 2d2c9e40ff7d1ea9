// Builds the page into one self-contained file: the library's module, the
// worker, fflate, the WebAssembly module and the stub are all inlined, so the
// page works from disk or any static host and asks the network for nothing.
//   node web/build.mjs CORE_DIR STUB OUT_HTML
// CORE_DIR holds quorvane-core.mjs and quorvane-core.wasm (build/wasm/wasm).
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const [coreDir, stubPath, outPath] = process.argv.slice(2);
if (!outPath) {
  console.error('usage: node web/build.mjs CORE_DIR STUB OUT_HTML');
  process.exit(2);
}
const read = (path) => readFileSync(path, 'utf8');

// One module as a script: its imports go, and its body runs in a scope of
// its own that hands its exported names to the script around it. The modules
// are joined in an order where each comes after those it imports from.
function unmodule(text, from) {
  const names = new Set();
  const body = text
    .replace(/^import [^;]* from '[^']*';\n/gm, '')
    .replace(/^export default ([A-Za-z_$][\w$]*);?\s*$/gm, (_, name) => (names.add(name), ''))
    .replace(/^export (class|const|function|async function|let) ([A-Za-z_$][\w$]*)/gm,
      (_, kind, name) => (names.add(name), `${kind} ${name}`));
  const left = body.match(/^\s*(import|export)\b[^(]/m);
  if (left) throw new Error(`${from}: a module statement this build cannot join: ${left[0]}`);
  const exported = [...names].join(', ');
  return `const { ${exported} } = (() => {\n${body}\nreturn { ${exported} };\n})();`;
}

const library = [
  unmodule(read(join(coreDir, 'quorvane-core.mjs')), 'quorvane-core.mjs'),
  unmodule(read(join(here, '../js/quorvane.mjs')), 'quorvane.mjs'),
].join('\n');
// A classic worker script: Chromium starts no module worker from a blob: URL
// when the page was opened from disk. import.meta is a module's only; the
// worker never needs it, since the page hands it the assets.
const blobs = unmodule(read(join(here, 'blobs.mjs')), 'blobs.mjs');
const fflate = read(join(here, 'node_modules/fflate/umd/index.js'));
const workerSource = [fflate, library, blobs, unmodule(read(join(here, 'worker.mjs')), 'worker.mjs')].join('\n')
  .replace(/import\.meta\.url/g, 'self.location.href');
const assets = {
  wasm: readFileSync(join(coreDir, 'quorvane-core.wasm')).toString('base64'),
  stub: readFileSync(stubPath).toString('base64'),
};
const script = [
  `const QUORVANE_ASSETS = ${JSON.stringify(assets)};`,
  `const WORKER_SOURCE = ${JSON.stringify(workerSource)};`,
  library,
  unmodule(read(join(here, 'texts.mjs')), 'texts.mjs'),
  unmodule(read(join(here, 'names.mjs')), 'names.mjs'),
  unmodule(read(join(here, 'page.mjs')), 'page.mjs'),
].join('\n')
  // Nothing inside may end the script element early.
  .replace(/<\/(script)/gi, '<\\/$1');

const html = read(join(here, 'index.html'))
  .replace('/*STYLE*/', () => read(join(here, 'page.css')))
  .replace('/*SCRIPT*/', () => script);
mkdirSync(dirname(resolve(outPath)), { recursive: true });
writeFileSync(outPath, html);
console.log(`${outPath}: ${html.length} bytes`);
