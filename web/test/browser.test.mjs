// The page in a real browser: Debian's chromium, headless, driven by puppeteer-core, with the
// site served on 127.0.0.1. The page's pictures and saved bytes are compared with the native
// window's; every request that reaches the server is recorded.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import {
  launchChromium, nativeBin, run, runNativeAudit, serve, site, tempDir, testData,
} from './support.mjs';

const PASSING = path.join(testData, 'pass_white_test3_295x413.jpg');
const SCALED = path.join(testData, 'pass_white_test1_358x441.jpg');
const REJECTED = path.join(testData, 'bg_green_test3.jpg');
const PHONE = { width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true };

// The picture the native window shows after auditing `photo`, as RGBA.
function windowPicture(photo, dir) {
  const out = path.join(dir, path.basename(photo) + '.rgba');
  const result = run(path.join(nativeBin, 'vetrix-window-picture'), [photo, out]);
  assert.equal(result.status, 0, `${photo}: ${result.stderr}`);
  return { state: result.stdout.trim(), rgba: fs.readFileSync(out) };
}

// The native command's JSON for `photo`, without the keys of the command's own (the file, where
// it saved and the decoder's warnings), and its saved bytes.
function nativeAudit(photo, dir) {
  const saveDir = fs.mkdtempSync(path.join(dir, 'saved-'));
  const result = runNativeAudit(['--json', '--jobs', '1', '--save', saveDir, photo]);
  const {
    file: _file, saved: _saved, save_error: _saveError, warnings: _warnings, ...details
  } = JSON.parse(result.stdout);
  const saved = fs.readdirSync(saveDir);
  return { details, saved: saved.length === 1 ? fs.readFileSync(path.join(saveDir, saved[0])) : null };
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

  // A fresh tab on the site, loaded, its engine ready, and its own events recorded.
  async function openPage(viewport) {
    const tab = await browser.newPage();
    tab.on('request', (request) => requested.push(request.url()));
    tab.on('pageerror', (error) => pageErrors.push(error));
    await tab.evaluateOnNewDocument(() => {
      window.vetrixEvents = [];
      for (const type of ['vetrix:ready', 'vetrix:verdict', 'vetrix:saved', 'vetrix:idle',
                          'vetrix:notice']) {
        document.addEventListener(type, (event) => {
          window.vetrixEvents.push({ type, detail: event.detail ?? null });
        });
      }
    });
    await tab.setViewport(viewport);
    await tab.goto(server.url, { waitUntil: 'load' });
    await tab.waitForFunction(() => window.vetrixEvents.some((e) => e.type === 'vetrix:ready'));
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
    page = await openPage({ width: 1024, height: 768 });
    idlePicture = await picture();
  });

  after(async () => {
    await browser?.close();
    await server?.close();
    if (work) fs.rmSync(work, { recursive: true, force: true });
  });

  // Does `action` and returns the detail of the page event `type` that follows it.
  async function expectEvent(type, action) {
    const count = await page.evaluate(
      (t) => window.vetrixEvents.filter((e) => e.type === t).length, type);
    await action();
    await page.waitForFunction(
      (t, c) => window.vetrixEvents.filter((e) => e.type === t).length > c, {}, type, count);
    return page.evaluate((t) => window.vetrixEvents.filter((e) => e.type === t).at(-1).detail,
                         type);
  }

  async function picture() {
    const base64 = await page.evaluate(() => {
      const data = document.getElementById('picture').getContext('2d')
        .getImageData(0, 0, 800, 600).data;
      let text = '';
      for (let i = 0; i < data.length; i += 0x8000) {
        text += String.fromCharCode(...data.subarray(i, i + 0x8000));
      }
      return btoa(text);
    });
    return Buffer.from(base64, 'base64');
  }

  function nextDownload() {
    return new Promise((resolve, reject) => {
      let name = null;
      const begin = (event) => { name = event.suggestedFilename; };
      const progress = (event) => {
        if (event.state === 'inProgress') return;
        cdp.off('Browser.downloadWillBegin', begin);
        cdp.off('Browser.downloadProgress', progress);
        if (event.state === 'completed') {
          resolve({ name, bytes: fs.readFileSync(path.join(work, 'downloads', event.guid)) });
        } else {
          reject(new Error(`download ${event.state}`));
        }
      };
      cdp.on('Browser.downloadWillBegin', begin);
      cdp.on('Browser.downloadProgress', progress);
    });
  }

  // Drops files on the window as a drag from the desktop would, all in one task.
  function drop(...files) {
    return page.evaluate((list) => {
      const target = document.getElementById('window');
      for (const { name, base64 } of list) {
        const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
        const transfer = new DataTransfer();
        transfer.items.add(new File([bytes], name));
        target.dispatchEvent(new DragEvent('dragover', { dataTransfer: transfer, bubbles: true,
                                                         cancelable: true }));
        target.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true,
                                                     cancelable: true }));
      }
    }, files.map(({ name, bytes }) => ({ name, base64: bytes.toString('base64') })));
  }
  const fileOf = (photo) => ({ name: path.basename(photo), bytes: fs.readFileSync(photo) });

  test('a passing photo opened through the chooser shows the window\'s picture and saves its bytes', async () => {
    const expected = nativeAudit(PASSING, work);
    const input = await page.$('#chooser');
    const details = await expectEvent('vetrix:verdict', () => input.uploadFile(PASSING));
    assert.deepEqual(details, expected.details, `${PASSING}: audit details`);
    const window_ = windowPicture(PASSING, work);
    assert.equal(window_.state, 'Passed', PASSING);
    assertSamePixels(await picture(), window_.rgba, PASSING);
    assert.equal(await page.$eval('#savePhoto', (b) => b.disabled), false, 'save is offered');

    const download = nextDownload();
    await expectEvent('vetrix:saved', () => page.click('#savePhoto'));
    const { name, bytes } = await download;
    assert.equal(name, '报名照片.jpg', 'the window\'s default name');
    assert.ok(bytes.equals(expected.saved), `${PASSING}: downloaded bytes differ from the native save`);
    // Saved: back to idle, and the photo cannot be saved twice.
    assert.equal(await page.$eval('body', (b) => b.dataset.state), 'Idle');
    assert.equal(await page.$eval('#savePhoto', (b) => b.disabled), true);
    assertSamePixels(await picture(), idlePicture, 'idle after saving');
  });

  test('a rejected photo shows its verdict\'s picture, and exit returns to idle', async () => {
    const input = await page.$('#chooser');
    await expectEvent('vetrix:verdict', () => input.uploadFile(REJECTED));
    const window_ = windowPicture(REJECTED, work);
    assert.equal(window_.state, 'BadBackground', REJECTED);
    assert.equal(await page.$eval('body', (b) => b.dataset.state), 'BadBackground');
    assertSamePixels(await picture(), window_.rgba, REJECTED);
    assert.equal(await page.$eval('#savePhoto', (b) => b.disabled), true, 'nothing to save');
    assert.equal(await page.$eval('#hint', (h) => (h.hidden ? '' : h.textContent)),
                 '背景颜色不对，请使用红色、蓝色或白色背景', `${REJECTED}: the hint says what to change`);

    await expectEvent('vetrix:idle', () => page.click('#exitSystem'));
    assertSamePixels(await picture(), idlePicture, 'idle after exit');
    assert.equal(await page.$eval('#hint', (h) => h.hidden), true, 'no hint when idle');
  });

  test('a dropped photo is audited; a second one during the audit is refused', async () => {
    const expected = nativeAudit(SCALED, work);
    const notice = expectEvent('vetrix:notice', async () => {});
    const details = await expectEvent('vetrix:verdict', () => drop(fileOf(SCALED), fileOf(REJECTED)));
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
      const details = await expectEvent('vetrix:verdict', () => drop({ name, bytes }));
      assert.deepEqual(details, nativeAudit(file, work).details, `${name}: verdict`);
      assertSamePixels(await picture(), windowPicture(file, work).rgba, name);
    }
  });

  test('the context menu opens the about box and downloads the run log', async () => {
    await page.click('#picture', { button: 'right' });
    assert.equal(await page.$eval('#menu', (m) => m.hidden), false);
    await page.click('#menuAbout');
    assert.equal(await page.$eval('#about', (d) => d.open), true);
    assert.match(await page.$eval('#about', (d) => d.textContent), /Vetrix，1\.0 版/);
    await page.click('#about .close-dialog');

    await page.click('#picture', { button: 'right' });
    const download = nextDownload();
    await page.click('#menuLog');
    const { name, bytes } = await download;
    assert.equal(name, 'Test.log');
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

  test('after loading the page makes no request', async () => {
    const csp = await page.$eval('meta[http-equiv="Content-Security-Policy"]', (m) => m.content);
    assert.match(csp, /default-src 'none'/);
    assert.match(csp, /connect-src 'self'/);
    assert.deepEqual(served.slice(servedAtLoad), [], 'requests that reached the server');
    const network = requested.slice(requestedAtLoad).filter((url) => !/^(data|blob):/.test(url));
    assert.deepEqual(network, [], 'requests the page made');
    for (const url of requested) {
      assert.match(url, /^(data:|blob:|http:\/\/127\.0\.0\.1:\d+\/)/, 'loaded from the site only');
    }
    assert.ok(served.includes('/vetrix-engine.wasm') && served.includes('/worker.js'),
              'the server saw the loading requests');
    assert.deepEqual(pageErrors, [], 'errors in the page');
  });
  test('on a phone the window fits the width and its buttons answer to touch', async () => {
    await page.close();
    page = await openPage(PHONE);
    const layout = await page.evaluate(() => ({
      scrollWidth: document.documentElement.scrollWidth,
      window: document.getElementById('window').getBoundingClientRect().toJSON(),
    }));
    assert.ok(layout.scrollWidth <= PHONE.width, `no sideways scrolling (${layout.scrollWidth})`);
    assert.ok(Math.abs(layout.window.width - PHONE.width) < 1, 'the window takes the width');
    if (process.env.VETRIX_SCREENSHOT) {
      await page.screenshot({ path: process.env.VETRIX_SCREENSHOT });
    }
    // A tap just below the open button's picture still opens the chooser.
    const open = await page.$eval('#openPhoto', (b) => b.getBoundingClientRect().toJSON());
    const [chooser] = await Promise.all([
      page.waitForFileChooser(),
      page.touchscreen.tap(open.x + open.width / 2, open.y + open.height + 6),
    ]);
    assert.equal(chooser.isMultiple(), false);
    const details = await expectEvent('vetrix:verdict', () => chooser.accept([PASSING]));
    assert.equal(details.state, 'Passed');
    assert.deepEqual(served.slice(servedAtLoad), [], 'no request after loading on the phone');
    assert.deepEqual(pageErrors, [], 'errors in the page');
  });

});
