// The page's first load on a slow phone network: the bytes a first visit transfers before the
// engine is ready, and the time until then, in headless chromium throttled to DevTools' "Fast
// 3G" (562.5 ms latency, 180 000 bytes/s down). The site is served from 127.0.0.1, gzipped as
// docs/web.md asks of a host. Prints one line per site folder given.
//
// Usage: node bench/web-load.mjs [SITE]...   (default: build-web/site). Needs
// scripts/setup.sh --web (chromium, puppeteer-core).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { launchChromium, serve, site as builtSite } from '../web/test/support.mjs';

const FAST_3G = { offline: false, latency: 562.5, downloadThroughput: 180000,
                  uploadThroughput: 84375 };
const sites = process.argv.slice(2).length > 0 ? process.argv.slice(2) : [builtSite];

for (const site of sites) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vetrix-load-'));
  const responses = [];  // [time the request arrived, body bytes]
  const server = await serve(path.resolve(site), () => {}, { gzip: true, onBytes: (n) => {
    responses.push([Date.now(), n]);
  } });
  const browser = await launchChromium(profile);
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 390, height: 844, deviceScaleFactor: 2, isMobile: true,
                             hasTouch: true });
    const session = await page.createCDPSession();
    await session.send('Network.enable');
    await session.send('Network.setCacheDisabled', { cacheDisabled: true });
    await session.send('Network.emulateNetworkConditions', FAST_3G);
    // Workers get the same throttling as the page.
    browser.on('targetcreated', async (target) => {
      if (target.type() !== 'worker') return;
      const worker = await target.createCDPSession().catch(() => null);
      await worker?.send('Network.emulateNetworkConditions', FAST_3G).catch(() => {});
    });
    await page.evaluateOnNewDocument(() => {
      document.addEventListener('vetrix:ready', (event) => {
        window.vetrixReadyAt = performance.now();
        // The engine's own moment of readiness, before it asks for the window's pictures.
        window.vetrixEngineReadyEpoch = event.detail?.at;
      });
    });
    const started = Date.now();
    await page.goto(server.url, { waitUntil: 'domcontentloaded', timeout: 0 });
    // The old page had no ready event; its body says so too.
    await page.waitForFunction(() => document.body.dataset.ready === '1',
                               { timeout: 0, polling: 50 });
    const [readyAt, readyEpoch] = await page.evaluate(() => {
      const at = window.vetrixReadyAt ?? performance.now();
      return [at, window.vetrixEngineReadyEpoch ?? performance.timeOrigin + at];
    });
    // What was asked for before the engine was ready; the service worker's copy of the site
    // and the window's pictures come afterwards.
    const servedBytes = responses.filter(([time]) => time <= readyEpoch)
      .reduce((sum, [, n]) => sum + n, 0);
    const allBytes = () => responses.reduce((sum, [, n]) => sum + n, 0);
    console.log(`${site}: first load ${(servedBytes / 1e6).toFixed(2)} MB transferred before ` +
                `ready; ready after ${(readyAt / 1000).toFixed(1)} s (wall ${
                  ((Date.now() - started) / 1000).toFixed(1)} s) on Fast 3G`);
    // Then everything the first visit fetches in the background, until the network is quiet.
    await page.waitForNetworkIdle({ idleTime: 2000, timeout: 0 });
    const estimate = await page.evaluate(async () => {
      const registration = await navigator.serviceWorker?.getRegistration();
      if (!registration) return null;
      await navigator.serviceWorker.ready;
      return (await navigator.storage.estimate()).usageDetails?.caches ?? null;
    });
    console.log(`  whole first visit ${(allBytes() / 1e6).toFixed(2)} MB transferred` +
                (estimate == null ? '' : `; service worker cache ${(estimate / 1e6).toFixed(2)} MB`));
  } finally {
    await browser.close();
    await server.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}
