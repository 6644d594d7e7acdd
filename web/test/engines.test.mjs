// The site's engines in chromium: the page picks the threads engine where it is cross-origin
// isolated, the SIMD one where not, the scalar one when asked; and every engine the site ships
// gives the native command's verdict, why facts and saved bytes on every example photo.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import {
  launchChromium, nativeAudit, serve, site, siteEngines, testData, waitForDownload,
} from './support.mjs';

const ENGINES = Object.keys(siteEngines());
const PHOTOS = fs.readdirSync(testData).filter((name) => /\.(jpe?g|png|bmp)$/i.test(name)).sort()
  .map((name) => path.join(testData, name));

describe('the engines in chromium', () => {
  let work;
  let browser;
  let cdp;
  let plain;     // a host that sends no headers of its own
  let isolating; // a host that makes the page cross-origin isolated, as vetrix-serve does
  const natives = new Map();

  before(async () => {
    work = fs.mkdtempSync(path.join(fs.realpathSync('/tmp'), 'vetrix-engines-'));
    plain = await serve(site);
    isolating = await serve(site, () => {}, { isolate: true });
    browser = await launchChromium(path.join(work, 'profile'));
    cdp = await browser.target().createCDPSession();
  });

  after(async () => {
    await browser?.close();
    await plain?.close();
    await isolating?.close();
    if (work) fs.rmSync(work, { recursive: true, force: true });
  });

  // A page of `url` in a context of its own (no service worker from before), ready; with the
  // page's errors and the engine it runs.
  async function open(context, url, { startDeadlineMs } = {}) {
    const tab = await context.newPage();
    const errors = [];
    tab.on('pageerror', (error) => errors.push(error));
    await tab.evaluateOnNewDocument((deadline) => {
      if (deadline) window.VETRIX_START_DEADLINE_MS = deadline;
      window.verdicts = [];
      document.addEventListener('vetrix:verdict', (e) => window.verdicts.push(e.detail));
      document.addEventListener('vetrix:saved', () => window.verdicts.push('saved'));
    }, startDeadlineMs);
    await tab.goto(url, { waitUntil: 'load' });
    await tab.waitForFunction(() => document.body.dataset.ready === '1');
    const facts = await tab.evaluate(() => ({
      engine: document.body.dataset.engine, isolated: window.crossOriginIsolated,
    }));
    return { tab, errors, ...facts };
  }

  async function inContext(use) {
    const context = await browser.createBrowserContext();
    try {
      return await use(context);
    } finally {
      await context.close();
    }
  }

  test('the page runs the fastest engine the browser allows, or the one asked for', async () => {
    assert.ok(ENGINES.includes('scalar'), 'the scalar engine ships');
    const fastestShared = ['simd-threads', 'simd', 'scalar'].find((e) => ENGINES.includes(e));
    const fastestAlone = ['simd', 'scalar'].find((e) => ENGINES.includes(e));
    const cases = [
      [isolating.url, true, fastestShared],
      [plain.url, false, fastestAlone],
      [`${isolating.url}?engine=scalar`, true, 'scalar'],
      // Without isolation there is no shared memory: the threads engine cannot run.
      [`${plain.url}?engine=simd-threads`, false, fastestAlone],
    ];
    for (const [url, isolated, engine] of cases) {
      await inContext(async (context) => {
        const page = await open(context, url);
        assert.equal(page.isolated, isolated, `${url}: cross-origin isolated`);
        assert.equal(page.engine, engine, `${url}: the engine`);
        assert.deepEqual(page.errors, [], `${url}: page errors`);
      });
    }
  });

  test('a plain host\'s page is isolated by its service worker from the next load on', async () => {
    await inContext(async (context) => {
      const first = await open(context, plain.url);
      assert.equal(first.isolated, false, 'the first visit: not isolated');
      await first.tab.waitForFunction(() => navigator.serviceWorker.controller !== null);
      await first.tab.reload({ waitUntil: 'load' });
      await first.tab.waitForFunction(() => document.body.dataset.ready === '1');
      const again = await first.tab.evaluate(() => ({
        engine: document.body.dataset.engine, isolated: window.crossOriginIsolated,
      }));
      assert.deepEqual(again, {
        engine: ['simd-threads', 'simd', 'scalar'].find((e) => ENGINES.includes(e)),
        isolated: true,
      });
    });
  });

  // Each break is a copy of the site with the threads engine's file `pattern` changed by
  // `spoil`; the page must still come up on the next engine and audit with it.
  const threadsBreaks = [
    ['arrives whole but does not compile', /^vetrix-engine-simd-threads\.\w+\.wasm$/,
     (bytes) => { bytes.fill(0, 0, 8); return bytes; }],
    ['has threads whose workers never answer', /^vetrix-engine-simd-threads\.worker\.\w+\.js$/,
     // As long as the real script, or the page would take it for a transfer cut short.
     (bytes) => Buffer.from('self.onmessage = () => {};\n'.padEnd(bytes.length, ' '))],
  ];
  for (const [index, [what, pattern, spoil]] of threadsBreaks.entries()) {
    test(`a threads engine that ${what} gives way to the next engine`, {
      skip: !ENGINES.includes('simd-threads') && 'the site has no threads engine',
    }, async () => {
      const copy = path.join(work, `site-broken-threads-${index}`);
      fs.cpSync(site, copy, { recursive: true });
      const file = fs.readdirSync(copy).find((n) => pattern.test(n));
      assert.ok(file, `the site has a file like ${pattern}`);
      fs.writeFileSync(path.join(copy, file), spoil(fs.readFileSync(path.join(copy, file))));
      const host = await serve(copy, () => {}, { isolate: true });
      try {
        await inContext(async (context) => {
          const page = await open(context, host.url, { startDeadlineMs: 3000 });
          assert.equal(page.isolated, true);
          assert.equal(page.engine, ENGINES.includes('simd') ? 'simd' : 'scalar');
          const photo = path.join(testData, 'pass_white_test3_295x413.jpg');
          await (await page.tab.$('#chooser')).uploadFile(photo);
          await page.tab.waitForFunction(() => window.verdicts.length > 0);
          assert.deepEqual(await page.tab.evaluate(() => window.verdicts[0]),
                           nativeAudit(photo, work).details, 'the next engine audits');
          assert.deepEqual(page.errors, [], 'page errors');
        });
      } finally {
        await host.close();
      }
    });
  }

  for (const engine of ENGINES) {
    test(`the ${engine} engine gives the native verdicts and saved bytes on every photo`, async () => {
      await inContext(async (context) => {
        const downloads = path.join(work, `downloads-${engine}`);
        await cdp.send('Browser.setDownloadBehavior', {
          behavior: 'allowAndName', downloadPath: downloads, browserContextId: context.id,
          eventsEnabled: true,
        });
        const page = await open(context, `${isolating.url}?engine=${engine}`);
        assert.equal(page.engine, engine);
        const input = await page.tab.$('#chooser');
        let passed = 0;
        for (const photo of PHOTOS) {
          if (!natives.has(photo)) natives.set(photo, nativeAudit(photo, work));
          const expected = natives.get(photo);
          const count = await page.tab.evaluate(() => window.verdicts.length);
          await input.uploadFile(photo);
          await page.tab.waitForFunction((c) => window.verdicts.length > c, {}, count);
          const details = await page.tab.evaluate(() => window.verdicts.at(-1));
          assert.deepEqual(details, expected.details,
                           `${engine}, ${path.basename(photo)}: details`);
          if (!expected.saved) continue;
          passed++;
          const download = waitForDownload(cdp, downloads);
          await page.tab.click('#savePhoto');
          await page.tab.waitForFunction(() => window.verdicts.at(-1) === 'saved');
          assert.ok((await download).bytes.equals(expected.saved),
                    `${engine}, ${path.basename(photo)}: saved bytes`);
        }
        assert.ok(passed >= 5, 'several example photos pass and are saved');
        assert.deepEqual(page.errors, [], 'page errors');
      });
    });
  }
});
