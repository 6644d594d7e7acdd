// The page in a real browser: Debian's chromium, headless, driven by puppeteer-core, with the
// site served on 127.0.0.1. The page's pictures and saved bytes are compared with the native
// window's and the reference files; every request that reaches the server is recorded.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import {
  launchChromium, nativeAudit, nativeBin, run, serve, site, tempDir, testData, waitForDownload,
} from './support.mjs';

const PASSING = path.join(testData, 'pass_white_test3_295x413.jpg');
const PASSING_SAVED = path.join(testData, 'expected-saved/pass_white_test3_295x413.jpg');
const PASSING_RED = path.join(testData, 'pass_red_test2_295x413.jpg');
const SCALED = path.join(testData, 'pass_white_test1_358x441.jpg');
const REJECTED = path.join(testData, 'bg_green_test3.jpg');
const REJECTED_HINT = '背景颜色不对，请使用红色、蓝色或白色背景';
const DESKTOP = { width: 1024, height: 768 };
const phone = (width, height) => ({ width, height, deviceScaleFactor: 2, isMobile: true,
                                    hasTouch: true });
const PHONES = [phone(390, 844), phone(360, 740)];
// The window's buttons, in CSS pixels where the window shows whole.
const WINDOW_BUTTONS = {
  openPhoto: { x: 520, y: 100, width: 197, height: 48 },
  savePhoto: { x: 520, y: 188, width: 197, height: 48 },
  exitSystem: { x: 520, y: 276, width: 197, height: 48 },
};
const AXE = fs.readFileSync(
  createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');

// The picture the native window shows after auditing `photo`, as RGBA.
function windowPicture(photo, dir) {
  const out = path.join(dir, path.basename(photo) + '.rgba');
  const result = run(path.join(nativeBin, 'vetrix-window-picture'), [photo, out]);
  assert.equal(result.status, 0, `${photo}: ${result.stderr}`);
  return { state: result.stdout.trim(), rgba: fs.readFileSync(out) };
}

function assertSamePixels(actual, expected, what) {
  assert.equal(actual.length, expected.length, `${what}: picture size`);
  if (!actual.equals(expected)) {
    let differing = 0;
    for (let i = 0; i < actual.length; i += 4) {
      if (actual.readUInt32BE(i) !== expected.readUInt32BE(i)) differing++;
    }
    assert.fail(`${what}: ${differing} of ${actual.length / 4} pixels differ from the window's`);
  }
}

const EVENTS = ['vetrix:ready', 'vetrix:verdict', 'vetrix:painted', 'vetrix:saved', 'vetrix:idle',
                'vetrix:notice', 'vetrix:loadfailed'];

describe('the page in chromium', () => {
  let server;
  let browser;
  let page;
  let cdp;
  let work;
  let idlePicture;
  const served = [];     // every request the server received, in order
  const requested = [];  // every request the page made, as the browser reports it
  let servedAtLoad = 0;
  let requestedAtLoad = 0;
  const pageErrors = [];

  // A new tab in `context`, recording the page's events, not yet loaded.
  async function newTab(viewport, context = browser.defaultBrowserContext()) {
    const tab = await context.newPage();
    tab.on('request', (request) => requested.push(request.url()));
    tab.on('pageerror', (error) => pageErrors.push(error));
    await tab.evaluateOnNewDocument((types) => {
      window.vetrixEvents = [];
      for (const type of types) {
        document.addEventListener(type, (event) => {
          window.vetrixEvents.push({ type, detail: event.detail ?? null });
        });
      }
    }, EVENTS);
    await tab.setViewport(viewport);
    return tab;
  }

  const eventCount = (tab, type) => tab.evaluate(
    (t) => window.vetrixEvents.filter((e) => e.type === t).length, type);
  const waitEvent = (tab, type, count = 0) => tab.waitForFunction(
    (t, c) => window.vetrixEvents.filter((e) => e.type === t).length > c, {}, type, count);

  // Ready, every picture of the window painted or fetched, and the service worker holding the
  // site: nothing more is loaded after this.
  async function settled(tab) {
    await waitEvent(tab, 'vetrix:ready');
    await waitEvent(tab, 'vetrix:painted');
    await tab.waitForFunction(() => document.body.dataset.pictures === '1');
    await tab.evaluate(() => navigator.serviceWorker.ready.then(() => true));
  }

  // A fresh tab on the site, loaded and settled.
  async function openPage(viewport, context) {
    const tab = await newTab(viewport, context);
    await tab.goto(server.url, { waitUntil: 'load' });
    await settled(tab);
    servedAtLoad = served.length;
    requestedAtLoad = requested.length;
    return tab;
  }

  before(async () => {
    work = fs.mkdtempSync(path.join(fs.realpathSync('/tmp'), 'vetrix-browser-'));
    server = await serve(site, (url) => served.push(url));
    browser = await launchChromium(path.join(work, 'profile'));
    cdp = await browser.target().createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', {
      behavior: 'allowAndName', downloadPath: path.join(work, 'downloads'), eventsEnabled: true,
    });
    page = await openPage(DESKTOP);
    idlePicture = await picture();
  });

  after(async () => {
    await browser?.close();
    await server?.close();
    if (work) fs.rmSync(work, { recursive: true, force: true });
  });

  // Does `action` and returns the detail of the page event `type` that follows it; with
  // `painted`, also waits for the window's picture that follows.
  async function expectEvent(type, action, { tab = page, painted = false } = {}) {
    const count = await eventCount(tab, type);
    const paints = await eventCount(tab, 'vetrix:painted');
    await action();
    await waitEvent(tab, type, count);
    if (painted) await waitEvent(tab, 'vetrix:painted', paints);
    return tab.evaluate((t) => window.vetrixEvents.filter((e) => e.type === t).at(-1).detail,
                        type);
  }

  async function picture(tab = page) {
    const base64 = await tab.evaluate(() => {
      const canvas = document.getElementById('picture');
      const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
      let text = '';
      for (let i = 0; i < data.length; i += 0x8000) {
        text += String.fromCharCode(...data.subarray(i, i + 0x8000));
      }
      return btoa(text);
    });
    return Buffer.from(base64, 'base64');
  }

  const nextDownload = () => waitForDownload(cdp, path.join(work, 'downloads'));

  // Drops files on `target` as a drag from the desktop would, all in one task; resolves to
  // whether the page took each drop for itself.
  function drop(files, { tab = page, target = '#window' } = {}) {
    return tab.evaluate((list, selector) => list.map(({ name, base64 }) => {
      const element = document.querySelector(selector);
      const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
      const transfer = new DataTransfer();
      transfer.items.add(new File([bytes], name));
      element.dispatchEvent(new DragEvent('dragover', { dataTransfer: transfer, bubbles: true,
                                                        cancelable: true }));
      const event = new DragEvent('drop', { dataTransfer: transfer, bubbles: true,
                                            cancelable: true });
      element.dispatchEvent(event);
      return event.defaultPrevented;
    }), files.map(({ name, bytes }) => ({ name, base64: bytes.toString('base64') })), target);
  }
  const fileOf = (photo) => ({ name: path.basename(photo), bytes: fs.readFileSync(photo) });

  // What a reader of the page sees: the texts of the result and where the focus is.
  const resultText = (tab = page) => tab.evaluate(() => {
    const text = (id) => {
      const element = document.getElementById(id);
      return element.hidden ? null : element.textContent;
    };
    return {
      verdict: text('verdict'), reason: text('reason'), hint: text('hint'),
      saved: text('savedNote'), nextStep: text('nextStep'),
      live: document.getElementById('announce').getAttribute('aria-live'),
      focus: document.activeElement.id,
    };
  });

  async function axeViolations(tab, what) {
    await tab.evaluate(AXE);
    const violations = await tab.evaluate(async () => (await window.axe.run(document))
      .violations.map((v) => `${v.id} (${v.impact}): ${v.nodes.map((n) => n.target).join(' ')}`));
    assert.deepEqual(violations, [], `${what}: axe-core violations`);
  }

  // With VETRIX_SCREENSHOTS=folder, the pictures of docs/web.md (the 390 px wide phone only).
  async function screenshot(tab, name) {
    if (process.env.VETRIX_SCREENSHOTS && tab.viewport().deviceScaleFactor === 2 &&
        Math.min(tab.viewport().width, tab.viewport().height) === 390) {
      await tab.screenshot({ path: path.join(process.env.VETRIX_SCREENSHOTS, `${name}.png`) });
    }
  }

  test('the window shows whole on a wide screen, its buttons where the window has them', async () => {
    const boxes = await page.evaluate((ids) => Object.fromEntries(ids.map((id) => {
      const window_ = document.getElementById('window').getBoundingClientRect();
      const box = document.getElementById(id).getBoundingClientRect();
      return [id, { x: box.x - window_.x, y: box.y - window_.y, width: box.width,
                    height: box.height }];
    })), Object.keys(WINDOW_BUTTONS));
    assert.deepEqual(boxes, WINDOW_BUTTONS);
    assert.deepEqual(await page.$eval('#picture', (c) => [c.clientWidth, c.clientHeight]),
                     [800, 600]);
    await axeViolations(page, 'desktop, idle');
  });

  test('a passing photo opened through the chooser shows the window\'s picture and saves once', async () => {
    const expected = nativeAudit(PASSING, work);
    const input = await page.$('#chooser');
    const details = await expectEvent('vetrix:verdict', () => input.uploadFile(PASSING),
                                      { painted: true });
    assert.deepEqual(details, expected.details, `${PASSING}: audit details`);
    const window_ = windowPicture(PASSING, work);
    assert.equal(window_.state, 'Passed', PASSING);
    const passedPicture = await picture();
    assertSamePixels(passedPicture, window_.rgba, PASSING);
    assert.equal(await page.$eval('#savePhoto', (b) => b.disabled), false, 'save is offered');
    assert.deepEqual(await resultText(), {
      verdict: '符合要求', reason: null, hint: null, saved: null,
      nextStep: '请点击“保存照片”，报名时上传保存的照片。', live: 'polite', focus: 'verdict',
    });
    await axeViolations(page, 'desktop, passed');

    const download = nextDownload();
    await page.focus('#savePhoto');
    await expectEvent('vetrix:saved', () => page.keyboard.press('Enter'));
    const { name, bytes } = await download;
    assert.equal(name, '报名照片.jpg', 'the window\'s default name');
    assert.ok(bytes.equals(expected.saved), `${PASSING}: downloaded bytes differ from the native save`);
    assert.ok(bytes.equals(fs.readFileSync(PASSING_SAVED)), `${PASSING}: differs from the reference`);
    // Saved: the result stays and says so; the photo cannot be saved twice.
    assert.equal(await page.$eval('body', (b) => b.dataset.state), 'Passed');
    assert.equal(await page.$eval('#savePhoto', (b) => b.disabled), true);
    assert.deepEqual(await resultText(), {
      verdict: '符合要求', reason: null, hint: null, saved: '已保存：报名照片.jpg',
      nextStep: null, live: 'polite', focus: 'savedNote',
    });
    assertSamePixels(await picture(), passedPicture, 'the passed picture stays after saving');
    await axeViolations(page, 'desktop, saved');
  });

  test('a rejected photo shows its verdict\'s picture, and exit returns to idle', async () => {
    const input = await page.$('#chooser');
    await expectEvent('vetrix:verdict', () => input.uploadFile(REJECTED), { painted: true });
    const window_ = windowPicture(REJECTED, work);
    assert.equal(window_.state, 'BadBackground', REJECTED);
    assert.equal(await page.$eval('body', (b) => b.dataset.state), 'BadBackground');
    assertSamePixels(await picture(), window_.rgba, REJECTED);
    assert.equal(await page.$eval('#savePhoto', (b) => b.disabled), true, 'nothing to save');
    assert.deepEqual(await resultText(), {
      verdict: '不符合要求',
      reason: '原因：打开的照片文件背景不符合要求，请选择红色、白色或蓝色背景的照片。',
      hint: REJECTED_HINT, saved: null, nextStep: null, live: 'polite', focus: 'verdict',
    });
    await axeViolations(page, 'desktop, rejected');

    await expectEvent('vetrix:idle', () => page.click('#exitSystem'), { painted: true });
    assertSamePixels(await picture(), idlePicture, 'idle after exit');
    assert.equal(await page.$eval('#hint', (h) => h.hidden), true, 'no hint when idle');
  });

  test('a photo dropped anywhere is audited; a second one during the audit is refused', async () => {
    const expected = nativeAudit(SCALED, work);
    const notice = expectEvent('vetrix:notice', async () => {});
    let taken;
    const details = await expectEvent('vetrix:verdict', async () => {
      taken = await drop([fileOf(SCALED), fileOf(REJECTED)], { target: '#footnote' });
    }, { painted: true });
    assert.deepEqual(taken, [true, true], 'the page keeps the browser from opening the files');
    assert.match(await notice, /正在审核/, 'the second photo is refused while the first runs');
    assert.deepEqual(details, expected.details, `${SCALED}: the verdict is the first photo's`);
    assertSamePixels(await picture(), windowPicture(SCALED, work).rgba, SCALED);
    await page.click('#notice .close-dialog');
    await expectEvent('vetrix:idle', () => page.keyboard.press('Escape'));
  });

  test('bad input gets the desktop\'s verdict', async () => {
    const bad = {
      'empty.jpg': Buffer.alloc(0),
      'photo.tif': Buffer.from('49492a00' + '00'.repeat(60), 'hex'),
      // A PNG header announcing 100000 x 100000 pixels, and nothing after it.
      'bomb.png': Buffer.from('89504e470d0a1a0a0000000d49484452000186a0000186a00802000000' +
                              '27309c9f', 'hex'),
    };
    for (const [name, bytes] of Object.entries(bad)) {
      const file = path.join(work, name);
      fs.writeFileSync(file, bytes);
      const details = await expectEvent('vetrix:verdict', () => drop([{ name, bytes }]),
                                        { painted: true });
      assert.deepEqual(details, nativeAudit(file, work).details, `${name}: verdict`);
      assertSamePixels(await picture(), windowPicture(file, work).rgba, name);
    }
  });

  test('the context menu opens the about box and downloads the run log, from the keyboard too', async () => {
    await page.click('#picture', { button: 'right' });
    assert.equal(await page.$eval('#menu', (m) => m.hidden), false);
    await page.click('#menuAbout');
    assert.equal(await page.$eval('#about', (d) => d.open), true);
    assert.match(await page.$eval('#about', (d) => d.textContent), /Vetrix，1\.0 版/);
    await page.click('#about .close-dialog');

    await page.focus('#openPhoto');
    await page.keyboard.down('Shift');
    await page.keyboard.press('F10');
    await page.keyboard.up('Shift');
    assert.equal(await page.$eval('#menu', (m) => m.hidden), false, 'Shift+F10 opens the menu');
    const download = nextDownload();
    await page.keyboard.press('ArrowDown');
    await page.keyboard.press('Enter');
    const { name, bytes } = await download;
    assert.equal(name, 'Test.log');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'openPhoto',
                 'the focus goes back where it was');
    const entries = bytes.toString('utf8').split('\r\n').filter(Boolean)
      .map((line) => line.replace(/^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t/, ''));
    assert.deepEqual(entries, [
      '系统启动',
      `${path.basename(PASSING)}图像审核成功！`,
      `${path.basename(REJECTED)}不是纯背景，或者不是红蓝白！`,
      `${path.basename(SCALED)}图像审核成功！`,
      'empty.jpg文件格式不符合要求！',
      'photo.tif文件格式不符合要求！',
      'bomb.png文件格式不符合要求！',  // a header without pixels: the desktop's verdict too
    ]);
  });

  test('after loading the page makes no request, and its worker cannot reach another origin', async () => {
    const csp = await page.$eval('meta[http-equiv="Content-Security-Policy"]', (m) => m.content);
    assert.match(csp, /default-src 'none'/);
    assert.match(csp, /connect-src 'self'/);
    assert.deepEqual(served.slice(servedAtLoad), [], 'requests that reached the server');
    const network = requested.slice(requestedAtLoad).filter((url) => !/^(data|blob):/.test(url));
    assert.deepEqual(network, [], 'requests the page made');
    for (const url of requested) {
      assert.match(url, /^(data:|blob:|http:\/\/127\.0\.0\.1:\d+\/)/, 'loaded from the site only');
    }
    assert.ok(served.some((url) => /^\/vetrix-engine(-[a-z-]+)?\.[0-9a-f]+\.wasm$/.test(url)) &&
              served.some((url) => /^\/worker\.[0-9a-f]+\.js$/.test(url)),
              'the server saw the loading requests');

    // The worker runs under the page's policy: a request to another origin is refused.
    const otherRequests = [];
    const other = await serve(work, (url) => otherRequests.push(url));
    try {
      const [worker] = page.workers();
      assert.ok(worker, 'the engine\'s worker');
      assert.match(worker.url(), /^blob:/);
      const outcome = await worker.evaluate((url) => fetch(url).then(
        (response) => `fetched ${response.status}`, (error) => `refused: ${error.message}`),
      other.url + 'probe');
      assert.match(outcome, /^refused/);
      assert.deepEqual(otherRequests, [], 'the other origin saw no request');
    } finally {
      await other.close();
    }
    assert.deepEqual(pageErrors, [], 'errors in the page');
  });

  test('chromium finds the page installable', async () => {
    const session = await page.createCDPSession();
    const { installabilityErrors } = await session.send('Page.getInstallabilityErrors');
    assert.deepEqual(installabilityErrors, []);
    const manifest = await session.send('Page.getAppManifest');
    assert.deepEqual(manifest.errors, []);
    const parsed = JSON.parse(manifest.data);
    assert.equal(parsed.display, 'standalone');
    assert.equal(parsed.lang, 'zh-CN');
    assert.deepEqual(parsed.icons.map((i) => i.sizes).sort(), ['192x192', '512x512']);
    await session.detach();
  });

  test('on a high-density wide screen the window is drawn at the screen\'s resolution', async () => {
    const tab = await openPage({ ...DESKTOP, deviceScaleFactor: 2 });
    const size = () => tab.$eval('#picture', (c) => [c.width, c.height, c.clientWidth, c.clientHeight]);
    assert.deepEqual(await size(), [1600, 1200, 800, 600], 'idle');
    const input = await tab.$('#chooser');
    await expectEvent('vetrix:verdict', () => input.uploadFile(PASSING_RED), { tab, painted: true });
    assert.deepEqual(await size(), [1600, 1200, 800, 600], 'passed');
    // The photo frame (280, 83, 177 x 228 at 100 %) holds the red photo, not the skin's white.
    const frame = await tab.evaluate(() => {
      const data = document.getElementById('picture').getContext('2d')
        .getImageData(560, 166, 354, 456).data;
      let white = 0;
      for (let i = 0; i < data.length; i += 4) {
        if (data[i] > 250 && data[i + 1] > 250 && data[i + 2] > 250) white++;
      }
      return white / (data.length / 4);
    });
    assert.ok(frame < 0.9, `the frame is ${Math.round(frame * 100)} % white`);
    await tab.close();
  });

  for (const viewport of PHONES) {
    const size = `${viewport.width}×${viewport.height}`;
    test(`on a ${size} phone the verdict is text, the buttons are large, the save is the window's`, async () => {
      const tab = await openPage(viewport);
      const layout = () => tab.evaluate(() => {
        const box = (e) => e.getBoundingClientRect().toJSON();
        return {
          scrollWidth: document.documentElement.scrollWidth,
          verdictFont: parseFloat(getComputedStyle(document.getElementById('verdict')).fontSize),
          buttons: [...document.querySelectorAll('.picture-button')].map(box),
          hint: box(document.getElementById('hint')),
          windowShown: document.getElementById('picture').getClientRects().length > 0,
        };
      });
      const checkLayout = (l, what) => {
        const { width } = tab.viewport();
        assert.ok(l.scrollWidth <= width, `${what}: no sideways scrolling (${l.scrollWidth})`);
        for (const b of l.buttons) {
          assert.ok(b.width >= 44 && b.height >= 44, `${what}: a ${b.width}×${b.height} button`);
          assert.ok(b.x >= 0 && b.x + b.width <= width, `${what}: a button off screen`);
        }
        assert.equal(l.windowShown, false, `${what}: the window's picture gives way to text`);
      };
      checkLayout(await layout(), `${size} idle`);
      await axeViolations(tab, `${size}, idle`);
      await screenshot(tab, 'web-phone-idle');

      const input = await tab.$('#chooser');
      await expectEvent('vetrix:verdict', () => input.uploadFile(PASSING), { tab });
      let l = await layout();
      checkLayout(l, `${size} passed`);
      assert.ok(l.verdictFont >= 16, `${size}: the verdict in ${l.verdictFont} px`);
      assert.deepEqual(await resultText(tab), {
        verdict: '符合要求', reason: null, hint: null, saved: null,
        nextStep: '请点击“保存照片”，报名时上传保存的照片。', live: 'polite', focus: 'verdict',
      });
      const photo = await tab.$eval('#photo', (img) => img.decode().then(
        () => [img.naturalWidth, img.clientHeight > 100, img.alt.length > 0]));
      assert.deepEqual(photo, [268, true, true], 'the normalised photo shows, with its text');
      await axeViolations(tab, `${size}, passed`);
      await screenshot(tab, 'web-phone-passed');
      const download = nextDownload();
      const save = await tab.$eval('#savePhoto', (b) => b.getBoundingClientRect().toJSON());
      await expectEvent('vetrix:saved', () => tab.touchscreen.tap(save.x + save.width / 2,
                                                                  save.y + save.height / 2), { tab });
      const { bytes } = await download;
      assert.ok(bytes.equals(fs.readFileSync(PASSING_SAVED)), `${size}: saved bytes differ`);
      assert.equal((await resultText(tab)).saved, '已保存：报名照片.jpg');

      await expectEvent('vetrix:verdict', () => input.uploadFile(REJECTED), { tab });
      l = await layout();
      checkLayout(l, `${size} rejected`);
      assert.equal((await resultText(tab)).hint, REJECTED_HINT);
      assert.ok(l.hint.y + l.hint.height <= viewport.height, `${size}: the hint shows unscrolled`);
      await axeViolations(tab, `${size}, rejected`);
      await screenshot(tab, 'web-phone-rejected');

      // On its side: the hint still shows without scrolling, nothing runs off sideways.
      await tab.setViewport({ ...viewport, width: viewport.height, height: viewport.width });
      l = await layout();
      checkLayout(l, `${size} on its side`);
      assert.ok(l.hint.y + l.hint.height <= viewport.width,
                `${size} on its side: the hint ends at ${l.hint.y + l.hint.height}`);
      await axeViolations(tab, `${size} on its side, rejected`);
      await screenshot(tab, 'web-phone-landscape');
      await tab.close();
    });
  }

  test('offline after the first visit: the page reloads, audits and saves', async () => {
    const context = await browser.createBrowserContext();
    const own = await serve(site);
    try {
      await cdp.send('Browser.setDownloadBehavior', {
        behavior: 'allowAndName', downloadPath: path.join(work, 'downloads'),
        browserContextId: context.id, eventsEnabled: true,
      });
      const tab = await newTab(DESKTOP, context);
      await tab.goto(own.url, { waitUntil: 'load' });
      await settled(tab);
      await tab.waitForFunction(() => navigator.serviceWorker.controller !== null);
      own.options.down = true;
      await tab.setOfflineMode(true);
      await tab.reload({ waitUntil: 'load' });
      await waitEvent(tab, 'vetrix:ready');
      const input = await tab.$('#chooser');
      await expectEvent('vetrix:verdict', () => input.uploadFile(PASSING), { tab, painted: true });
      const download = nextDownload();
      await expectEvent('vetrix:saved', () => tab.click('#savePhoto'), { tab });
      assert.ok((await download).bytes.equals(fs.readFileSync(PASSING_SAVED)), 'saved offline');
    } finally {
      await context.close();
      await own.close();
    }
  });

  test('a new version of the site replaces the cached one', async () => {
    // A copy of the site whose service worker is changed as a new build changes it.
    const copy = path.join(work, 'site-copy');
    fs.cpSync(site, copy, { recursive: true });
    const context = await browser.createBrowserContext();
    const own = await serve(copy);
    try {
      let tab = await newTab(DESKTOP, context);
      await tab.goto(own.url, { waitUntil: 'load' });
      await settled(tab);
      const cacheNames = (t) => t.evaluate(() => caches.keys());
      const [first] = await cacheNames(tab);
      assert.match(first, /^vetrix-[0-9a-f]{16}$/);
      const sw = path.join(copy, 'sw.js');
      fs.writeFileSync(sw, fs.readFileSync(sw, 'utf8').replace(first, 'vetrix-0123456789abcdef'));
      // The new worker takes over once no page of the old version is open.
      await tab.evaluate(async () => {
        const registration = await navigator.serviceWorker.getRegistration();
        await registration.update();
        // Installed beside the old one, the new worker waits.
        while (!registration.waiting) {
          await new Promise((resolve) => {
            registration.addEventListener('updatefound', resolve, { once: true });
            registration.installing?.addEventListener('statechange', resolve, { once: true });
          });
        }
      });
      await tab.close();
      tab = await newTab(DESKTOP, context);
      await tab.goto(own.url, { waitUntil: 'load' });
      await tab.waitForFunction(async () => {
        const keys = await caches.keys();
        return keys.length === 1 && keys[0] === 'vetrix-0123456789abcdef';
      });
      await waitEvent(tab, 'vetrix:ready');
    } finally {
      await context.close();
      await own.close();
    }
  });

  test('loading tells the truth: progress, a photo kept for later, and a retry after a cut', async () => {
    const context = await browser.createBrowserContext();
    const own = await serve(site);
    try {
      const tab = await newTab(phone(390, 844), context);
      // A transfer that breaks off: a message in Chinese and a retry.
      own.options.cut = (pathname) => (/\.wasm$/.test(pathname) ? 100000 : null);
      await tab.goto(own.url, { waitUntil: 'load' });
      await waitEvent(tab, 'vetrix:loadfailed');
      assert.match(await tab.$eval('#loadingText', (p) => p.textContent), /载入失败/);
      assert.equal(await tab.$eval('#retry', (b) => b.hidden), false);
      assert.equal(await tab.$eval('#openPhoto', (b) => b.disabled), true);
      await axeViolations(tab, 'load failed');

      // Slowed down, the bytes are counted; the buttons wait; a photo given now is audited
      // once the engine is ready.
      own.options.cut = null;
      const session = await tab.createCDPSession();
      await session.send('Network.enable');
      await session.send('Network.emulateNetworkConditions', {
        offline: false, latency: 20, downloadThroughput: 4 << 20, uploadThroughput: 1 << 20,
      });
      await tab.click('#retry');
      await tab.waitForFunction(() => /载入中… \d+\.\d MB \/ \d+\.\d MB/.test(
        document.getElementById('loadingText').textContent) &&
        Number(document.body.dataset.loaded) > 0 && document.body.dataset.ready === '0');
      assert.equal(await tab.$eval('#openPhoto', (b) => b.disabled), true, 'nothing to press yet');
      await drop([fileOf(REJECTED)], { tab, target: 'main' });
      await waitEvent(tab, 'vetrix:verdict');
      const details = await tab.evaluate(
        () => window.vetrixEvents.find((e) => e.type === 'vetrix:verdict').detail);
      assert.equal(details.state, 'BadBackground', 'the photo given while loading');
      assert.equal(await eventCount(tab, 'vetrix:ready'), 1);
      await session.detach();
    } finally {
      await context.close();
      await own.close();
    }
  });
});
