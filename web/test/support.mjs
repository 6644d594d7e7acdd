// What the web tests share: where things are, a static server for the site on 127.0.0.1, and
// Debian's chromium driven through puppeteer-core.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import zlib from 'node:zlib';

export const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const nativeBin = process.env.VETRIX_NATIVE_BIN || path.join(root, 'build/bin');
export const webBuild = process.env.VETRIX_WEB_BUILD || path.join(root, 'build-web');
export const site = path.join(webBuild, 'site');
export const testData = path.join(root, 'tests/data');

export function tempDir(t, name) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), `vetrix-${name}-`));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// Runs a command to its end and returns its status and output.
export function run(command, args, options = {}) {
  const result = spawnSync(command, args, { encoding: 'utf8', maxBuffer: 64 << 20, ...options });
  if (result.error) throw result.error;
  return result;
}

// The command-line audit for node, as users run it (`command`: another variant's).
export function runNodeAudit(args, options = {},
                             command = path.join(webBuild, 'bin/vetrix-audit.js')) {
  return run(process.execPath, [command, ...args], options);
}

export function runNativeAudit(args, options = {}) {
  return run(path.join(nativeBin, 'vetrix-audit'), args, options);
}

// The native command's JSON for `photo`, without the keys of the command's own (the file, where
// it saved and the decoder's warnings), and its saved bytes.
export function nativeAudit(photo, dir) {
  const saveDir = fs.mkdtempSync(path.join(dir, 'saved-'));
  const result = runNativeAudit(['--json', '--jobs', '1', '--save', saveDir, photo]);
  const {
    file: _file, saved: _saved, save_error: _saveError, warnings: _warnings, ...details
  } = JSON.parse(result.stdout);
  const saved = fs.readdirSync(saveDir);
  return { details, saved: saved.length === 1 ? fs.readFileSync(path.join(saveDir, saved[0])) : null };
}

// The engines the site offers (site.js's table), by variant: scalar, and simd and simd-threads
// when they were built.
export function siteEngines() {
  const name = fs.readdirSync(site).find((file) => /^site\.[0-9a-f]+\.js$/.test(file));
  const text = fs.readFileSync(path.join(site, name), 'utf8');
  return JSON.parse(text.slice(text.indexOf('{'), text.lastIndexOf('}') + 1)).engines;
}

// The node command of each variant the site offers: the scalar one in build-web/bin, the
// others in build-web-VARIANT/bin (built with the same code and libraries as its engine).
export function nodeCommands() {
  return Object.keys(siteEngines()).map((variant) => ({
    variant,
    command: path.join(variant === 'scalar' ? webBuild : `${webBuild}-${variant}`,
                       'bin/vetrix-audit.js'),
  }));
}

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.wasm': 'application/wasm',
  '.png': 'image/png',
  '.xml': 'application/xml',
  '.webmanifest': 'application/manifest+json',
};

// Serves `dir` on 127.0.0.1 at a free port, telling `onRequest` the path of every request;
// resolves to { url, close, options }. While the server runs, its `options` may be changed:
//   down   every connection is dropped at once (the network is gone)
//   cut    (pathname) => a byte count or null: the file's transfer breaks off after so many
//          bytes
//   gzip   responses are compressed when the browser accepts it
//   onBytes  (count) => told the length of every response body
//   isolate  the page is made cross-origin isolated (COOP and COEP headers), as vetrix-serve
//            does
export function serve(dir, onRequest = () => {}, options = {}) {
  const server = http.createServer((request, response) => {
    const pathname = decodeURIComponent(new URL(request.url, 'http://127.0.0.1').pathname);
    onRequest(pathname);
    if (options.down) {
      request.socket.destroy();
      return;
    }
    const file = path.join(dir, pathname === '/' ? 'index.html' : pathname);
    if (request.method !== 'GET' || !file.startsWith(dir + path.sep) || !fs.existsSync(file) ||
        !fs.statSync(file).isFile()) {
      response.writeHead(404).end();
      return;
    }
    let body = fs.readFileSync(file);
    const headers = {
      'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream',
      'Cache-Control': 'no-store',
      ...(options.isolate ? { 'Cross-Origin-Opener-Policy': 'same-origin',
                              'Cross-Origin-Embedder-Policy': 'require-corp' } : {}),
    };
    if (options.gzip && /\bgzip\b/.test(request.headers['accept-encoding'] || '')) {
      body = zlib.gzipSync(body, { level: 9 });
      headers['Content-Encoding'] = 'gzip';
    }
    response.writeHead(200, { ...headers, 'Content-Length': body.length });
    options.onBytes?.(body.length);
    const cut = options.cut && options.cut(pathname);
    if (cut != null) {
      // The whole length announced, part of the body sent, and the connection dropped.
      response.write(body.subarray(0, cut), () => request.socket.destroy());
      return;
    }
    response.end(body);
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => {
      resolve({
        url: `http://127.0.0.1:${server.address().port}/`,
        options,
        close: () => new Promise((done) => { server.closeAllConnections(); server.close(done); }),
      });
    });
  });
}

// Debian's chromium, headless, with a profile of its own that is thrown away afterwards, and
// any further command-line switches in `extraArgs`.
export async function launchChromium(profileDir, extraArgs = []) {
  const { default: puppeteer } = await import('puppeteer-core');
  return puppeteer.launch({
    executablePath: process.env.VETRIX_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--user-data-dir=${profileDir}`, ...extraArgs,
    ],
  });
}

// The next download the browser of `cdp` completes into `folder` (set up with
// Browser.setDownloadBehavior, allowAndName, events enabled): its suggested name and bytes.
export function waitForDownload(cdp, folder) {
  return new Promise((resolve, reject) => {
    let name = null;
    const begin = (event) => { name = event.suggestedFilename; };
    const progress = (event) => {
      if (event.state === 'inProgress') return;
      cdp.off('Browser.downloadWillBegin', begin);
      cdp.off('Browser.downloadProgress', progress);
      if (event.state === 'completed') {
        resolve({ name, bytes: fs.readFileSync(path.join(folder, event.guid)) });
      } else {
        reject(new Error(`download ${event.state}`));
      }
    };
    cdp.on('Browser.downloadWillBegin', begin);
    cdp.on('Browser.downloadProgress', progress);
  });
}
