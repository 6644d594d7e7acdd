// The camera in the page: how many frames a second each of the site's engines (scalar, simd,
// simd-threads) judges in headless chromium, at each frame size given, against the native
// vetrix-audit on the same pictures; and the time from the passing frame that is taken to the
// page's verdict with the photo to save. The page is served cross-origin isolated, as
// vetrix-serve serves it, and each engine is asked for by name (?engine=).
//
// Chromium's fake camera plays a clip of the camera test's three scenes (a face too small, too
// low, well framed; web/test/camera-clip.mjs), each for SECONDS; the page judges frames as fast
// as its worker allows, until the well-framed scene has passed for three seconds and the frame
// is taken. The native figure is the time per photo of `vetrix-audit --jobs 1` over 40 copies
// of each scene as a PNG file (minus a run over one copy: the start-up and the cascade).
//
// Usage: node bench/web-camera.mjs [WxH]...   (default: 480x640 360x480). VETRIX_ENGINES
// (e.g. "scalar simd-threads") limits the engines. Needs scripts/build-web.sh,
// build/bin/vetrix-audit (or VETRIX_NATIVE_BIN) and chromium.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { drawScenes, fakeCameraArgs, SCENES, writeClip } from '../web/test/camera-clip.mjs';
import { launchChromium, nativeBin, serve, site, siteEngines } from '../web/test/support.mjs';

const SECONDS = 4;
const FPS = 15;
const COPIES = 40;
const sizes = (process.argv.slice(2).length > 0 ? process.argv.slice(2) : ['480x640', '360x480'])
  .map((text) => {
    const [width, height] = text.split('x').map(Number);
    return { width, height, text };
  });

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'vetrix-camera-bench-'));
const server = await serve(site, () => {}, { isolate: true });
const engines = process.env.VETRIX_ENGINES ? process.env.VETRIX_ENGINES.split(/\s+/)
  : Object.keys(siteEngines());
const mean = (list) => list.reduce((a, b) => a + b, 0) / Math.max(list.length, 1);

// Milliseconds per photo of the native command on `file`.
function nativeMs(file) {
  const dir = fs.mkdtempSync(path.join(work, 'native-'));
  const copies = [];
  for (let i = 0; i < COPIES; i++) {
    copies.push(path.join(dir, `${i}.png`));
    fs.copyFileSync(file, copies.at(-1));
  }
  const time = (files) => {
    const start = process.hrtime.bigint();
    // Status 1 is a rejected photo, which two of the scenes are.
    const { status } = spawnSync(path.join(nativeBin, 'vetrix-audit'), ['--jobs', '1', ...files],
                                 { stdio: 'ignore' });
    if (status > 1) throw new Error(`vetrix-audit failed (${status}) on ${file}`);
    return Number(process.hrtime.bigint() - start) / 1e6;
  };
  const best = (files) => Math.min(time(files), time(files), time(files));
  return (best(copies) - best(copies.slice(0, 1))) / (COPIES - 1);
}

// Plays the clip to the page running `engine`, and prints its figures against the native ones.
async function judgeClip(context, engine, size, scenes, files) {
  const tab = await context.newPage();
  await tab.evaluateOnNewDocument(() => {
    window.benchEvents = [];
    for (const type of ['vetrix:frame', 'vetrix:captured', 'vetrix:verdict']) {
      document.addEventListener(type, (e) => {
        window.benchEvents.push({ type, detail: e.detail, at: performance.now() });
      });
    }
  });
  await tab.setViewport({ width: 390, height: 844, deviceScaleFactor: 2, isMobile: true,
                          hasTouch: true });
  await tab.goto(`${server.url}?fps&frame=${size.text}&engine=${engine}`, { waitUntil: 'load' });
  await tab.waitForFunction(() => document.body.dataset.ready === '1', { timeout: 60000 });
  const running = await tab.evaluate(() => document.body.dataset.engine);
  if (running !== engine) {
    throw new Error(`asked for the ${engine} engine, the page runs ${running}`);
  }
  await tab.click('#takePhoto');
  await tab.waitForFunction(
    () => window.benchEvents.some((e) => e.type === 'vetrix:verdict'), { timeout: 120000 });
  const events = await tab.evaluate(() => window.benchEvents);
  const frames = events.filter((e) => e.type === 'vetrix:frame');
  const line = (...columns) => `${size.text.padEnd(9)} ${engine.padEnd(13)} ${columns.join(' ')}`;
  for (const [i, scene] of scenes.entries()) {
    const mine = frames.filter((e) => e.detail.cause === scene.expect);
    if (mine.length < 2) {
      console.log(line(scene.name.padEnd(12), `(no frame judged ${scene.expect} at this size: ${
        [...new Set(frames.map((e) => e.detail.cause))]})`));
      continue;
    }
    const span = (mine.at(-1).at - mine[0].at) / 1000;
    const worker = mean(mine.map((e) => e.detail.judgeMs));
    if (!natives.has(files[i])) natives.set(files[i], nativeMs(files[i]));
    const native = natives.get(files[i]);
    console.log(line(scene.name.padEnd(12), ((mine.length - 1) / span).toFixed(1).padStart(8),
                     worker.toFixed(1).padStart(10),
                     `(${mean(mine.map((e) => e.detail.encodeMs)).toFixed(1)})`.padStart(9),
                     native.toFixed(1).padStart(10), (worker / native).toFixed(2).padStart(11)));
  }
  const captured = events.find((e) => e.type === 'vetrix:captured');
  const verdict = events.find((e) => e.type === 'vetrix:verdict');
  console.log(line(`taken frame to the verdict and photo to save: ${
    (verdict.at - captured.at).toFixed(0)} ms (${verdict.detail.state}; the taken PNG ${
    captured.detail.bytes} bytes)`));
}

console.log(`load average at the start: ${os.loadavg().map((n) => n.toFixed(2)).join(' ')}`);
console.log('frame     engine        scene        judged/s  worker ms  (encode)  native ms' +
            '  web/native');
const natives = new Map();  // file -> native ms
try {
  for (const size of sizes) {
    const clip = path.join(work, `clip-${size.text}.y4m`);
    const k = size.width / 480;
    const scenes = SCENES.map((s) => ({ ...s, scale: s.scale * k, x: Math.round(s.x * k),
                                        y: Math.round(s.y * k) }));
    const browser = await launchChromium(path.join(work, `profile-${size.text}`),
                                         fakeCameraArgs(clip));
    try {
      const pictures = await drawScenes(browser, scenes, size);
      writeClip(clip, pictures, scenes.map(() => SECONDS * FPS), { fps: FPS, size });
      // The scenes as PNG files for the native command.
      const tab = await browser.newPage();
      const files = [];
      for (const [i, rgba] of pictures.entries()) {
        const base64 = await tab.evaluate(async (data, w, h) => {
          const bytes = Uint8ClampedArray.from(atob(data), (c) => c.charCodeAt(0));
          const canvas = new OffscreenCanvas(w, h);
          canvas.getContext('2d').putImageData(new ImageData(bytes, w, h), 0, 0);
          const png = new Uint8Array(await (await canvas.convertToBlob()).arrayBuffer());
          let text = '';
          for (let j = 0; j < png.length; j += 0x8000) {
            text += String.fromCharCode(...png.subarray(j, j + 0x8000));
          }
          return btoa(text);
        }, rgba.toString('base64'), size.width, size.height);
        files.push(path.join(work, `scene-${size.text}-${i}.png`));
        fs.writeFileSync(files.at(-1), Buffer.from(base64, 'base64'));
      }
      await tab.close();
      for (const engine of engines) {
        // A context of its own: no service worker or cache of the engine before.
        const context = await browser.createBrowserContext();
        try {
          await judgeClip(context, engine, size, scenes, files);
        } finally {
          await context.close();
        }
      }
    } finally {
      await browser.close();
    }
  }
} finally {
  await server.close();
  fs.rmSync(work, { recursive: true, force: true });
}
