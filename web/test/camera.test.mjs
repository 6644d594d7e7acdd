// The camera in a real browser: chromium's fake camera plays a clip made from the example
// photos (a face too small, then too low, then well framed); the page must judge it live,
// take a frame only once it is well framed, and save what the native command saves for the
// taken file. A refused camera and a browser without one get the system camera's file input.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { drawScenes, fakeCameraArgs, SCENES, writeClip } from './camera-clip.mjs';
import { launchChromium, runNativeAudit, serve, site, testData, waitForDownload } from './support.mjs';

const PHONE = { width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true };
const EVENTS = ['vetrix:ready', 'vetrix:verdict', 'vetrix:saved', 'vetrix:camera',
                'vetrix:frame', 'vetrix:countdown', 'vetrix:captured', 'vetrix:camerafallback'];
// The clip, 10 frames a second: [scene, seconds]. Every stretch but the last is shorter than
// the countdown, so a frame taken before the last shows a fault in the countdown; the short
// return to "too low" must stop it, and it must start again.
const CLIP = [[0, 2], [1, 2], [2, 1.5], [1, 1], [2, 5]];
const AXE = fs.readFileSync(
  createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');

async function assertAccessible(tab, what) {
  await tab.evaluate(AXE);
  const violations = await tab.evaluate(async () => (await window.axe.run(document))
    .violations.map((v) => `${v.id} (${v.impact}): ${v.nodes.map((n) => n.target).join(' ')}`));
  assert.deepEqual(violations, [], `${what}: axe-core violations`);
}

describe('the camera in chromium', () => {
  let work;
  let server;
  let browser;
  let cdp;
  const served = [];
  const requested = [];

  before(async () => {
    work = fs.mkdtempSync(path.join(fs.realpathSync('/tmp'), 'vetrix-camera-'));
    const clip = path.join(work, 'clip.y4m');
    // Served as vetrix-serve serves it, cross-origin isolated: the page runs its fastest engine.
    server = await serve(site, (url) => served.push(url), { isolate: true });
    // The clip is read when the camera starts, so it can be written by this same browser.
    browser = await launchChromium(path.join(work, 'profile'), fakeCameraArgs(clip));
    const scenes = await drawScenes(browser);
    writeClip(clip, CLIP.map(([scene]) => scenes[scene]), CLIP.map(([, seconds]) => seconds * 10));
    cdp = await browser.target().createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', {
      behavior: 'allowAndName', downloadPath: path.join(work, 'downloads'), eventsEnabled: true,
    });
  });

  after(async () => {
    await browser?.close();
    await server?.close();
    if (work) fs.rmSync(work, { recursive: true, force: true });
  });

  async function openPage({ query = '', context = browser.defaultBrowserContext(),
                            before: prepare = null } = {}) {
    const tab = await context.newPage();
    tab.on('request', (request) => requested.push(request.url()));
    await tab.evaluateOnNewDocument((types) => {
      window.vetrixEvents = [];
      for (const type of types) {
        document.addEventListener(type, (event) => {
          window.vetrixEvents.push({ type, detail: event.detail ?? null, at: performance.now() });
        });
      }
    }, EVENTS);
    if (prepare) await tab.evaluateOnNewDocument(prepare);
    await tab.setViewport(PHONE);
    await tab.goto(server.url + query, { waitUntil: 'load' });
    await waitEvent(tab, 'vetrix:ready');
    return tab;
  }

  const waitEvent = (tab, type, count = 0, timeout = 60000) => tab.waitForFunction(
    (t, c) => window.vetrixEvents.filter((e) => e.type === t).length > c, { timeout }, type,
    count);
  const events = (tab) => tab.evaluate(() => window.vetrixEvents);

  const nextDownload = () => waitForDownload(cdp, path.join(work, 'downloads'));

  test('the clip is judged live, and only its well-framed part is taken and saved', async () => {
    const tab = await openPage({ query: '?fps' });
    await tab.evaluate(() => navigator.serviceWorker.ready.then(() => true));
    const servedBefore = served.length;
    const requestedBefore = requested.length;

    await tab.click('#takePhoto');
    const first = await waitEvent(tab, 'vetrix:frame').then(() => events(tab));
    assert.ok(first.some((e) => e.type === 'vetrix:camera'), 'the camera started');
    assert.equal(await tab.$eval('#camera', (el) => el.classList.contains('mirrored')), true,
                 'the front camera is shown as a mirror');
    // A passing frame: the overlay shows, the hint says so, the countdown runs.
    await tab.waitForFunction(() => document.getElementById('camera').dataset.verdict === 'passed',
                              { timeout: 60000 });
    if (process.env.VETRIX_SCREENSHOTS) {
      await tab.screenshot({ path: path.join(process.env.VETRIX_SCREENSHOTS, 'web-camera.png') });
    }
    assert.match(await tab.$eval('#cameraFps', (el) => el.textContent), /^\d+\.\d 帧\/秒$/);
    await assertAccessible(tab, 'the live view');

    await waitEvent(tab, 'vetrix:captured');
    await waitEvent(tab, 'vetrix:verdict');
    const log = await events(tab);
    const frames = log.filter((e) => e.type === 'vetrix:frame');
    const causes = frames.map((e) => e.detail.cause)
      .filter((cause, i, all) => i === 0 || cause !== all[i - 1]);
    assert.deepEqual(causes, CLIP.map(([scene]) => SCENES[scene].expect),
                     'the hints follow the clip: too small, too low, well framed, ...');
    const hints = frames.map((e) => e.detail.hint);
    assert.ok(hints.includes('人脸太小，请靠近镜头'), 'the engine\'s hint is shown for the frame');

    // The countdown starts only on passing frames, a failing one stops it, and the frame is
    // taken three seconds into the last well-framed stretch.
    const firstPass = log.findIndex((e) => e.type === 'vetrix:frame' && e.detail.state === 1);
    const countdowns = log.map((e, i) => [e, i]).filter(([e]) => e.type === 'vetrix:countdown');
    assert.ok(countdowns.every(([, i]) => i >= firstPass),
              'no countdown before the first passing frame');
    assert.deepEqual(countdowns.map(([e]) => e.detail.restarted), [false, true, false],
                     'started, stopped by the failing stretch, started again');
    const captured = log.find((e) => e.type === 'vetrix:captured');
    assert.deepEqual(captured.detail.how, 'auto');
    assert.equal(captured.detail.state, 1);
    const lastStart = countdowns.at(-1)[0];
    assert.ok(captured.at - lastStart.at >= 3000, 'taken after three seconds of passing');
    assert.ok(log.slice(log.indexOf(lastStart), log.indexOf(captured))
      .filter((e) => e.type === 'vetrix:frame').every((e) => e.detail.state === 1),
              'every frame of the countdown passed');
    assert.equal(await tab.$eval('#camera', (el) => el.hidden), true, 'the camera closed');

    // The taken file's verdict, photo and save are those of the native command on that file.
    const verdict = log.find((e) => e.type === 'vetrix:verdict').detail;
    assert.equal(verdict.state, 'Passed');
    const original = nextDownload();
    await tab.click('#keepOriginal');
    const { name, bytes: png } = await original;
    assert.match(name, /^拍照_\d{8}_\d{6}\.png$/);
    assert.deepEqual([...png.subarray(0, 8)], [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
    const savedDownload = nextDownload();
    await tab.click('#savePhoto');
    const saved = (await savedDownload).bytes;

    const originalFile = path.join(work, 'taken.png');
    fs.writeFileSync(originalFile, png);
    const saveDir = fs.mkdtempSync(path.join(work, 'native-'));
    const native = runNativeAudit(['--json', '--jobs', '1', '--save', saveDir, originalFile]);
    const nativeJson = JSON.parse(native.stdout);
    assert.equal(nativeJson.state, 'Passed', native.stderr);
    assert.deepEqual(verdict.why, nativeJson.why, 'the page\'s facts are the native ones');
    const nativeSaved = fs.readFileSync(path.join(saveDir, fs.readdirSync(saveDir)[0]));
    assert.ok(saved.equals(nativeSaved), 'the saved photo is the native save of the taken file');

    // Nothing left the device.
    assert.deepEqual(served.slice(servedBefore), [], 'requests that reached the server');
    assert.deepEqual(requested.slice(requestedBefore).filter((u) => !/^(data|blob):/.test(u)),
                     [], 'requests the page made');
    await tab.close();
  });

  test('the shutter takes the next frame whatever its verdict, and the page shows its verdict',
       async () => {
    const tab = await openPage();
    await tab.click('#takePhoto');
    await waitEvent(tab, 'vetrix:frame');
    assert.equal(await tab.evaluate(() => document.activeElement.id), 'shutter');
    await tab.click('#shutter');
    await waitEvent(tab, 'vetrix:captured');
    await waitEvent(tab, 'vetrix:verdict');
    const log = await events(tab);
    const at = log.findIndex((e) => e.type === 'vetrix:captured');
    assert.equal(log[at].detail.how, 'shutter');
    const taken = log.slice(0, at).findLast((e) => e.type === 'vetrix:frame').detail;
    const verdict = log.find((e) => e.type === 'vetrix:verdict').detail;
    // The clip starts with its failing scenes: the frame taken is a rejected one, and the page
    // says of the file what the live view said of the frame.
    assert.notEqual(taken.state, 1, 'a rejected frame was taken');
    assert.equal(verdict.code, taken.state);
    assert.equal(verdict.why.cause, taken.cause);
    assert.equal(await tab.$eval('#hint', (el) => el.textContent), taken.hint);
    assert.equal(await tab.$eval('#savePhoto', (el) => el.disabled), true);
    assert.equal(await tab.$eval('#keepOriginal', (el) => el.hidden), false);
    await tab.close();
  });

  test('a refused camera, or none, offers the system camera with a message', async (t) => {
    const refusing = await launchChromium(path.join(work, 'refusing'),
                                          fakeCameraArgs(path.join(work, 'clip.y4m'),
                                                         { refuse: true }));
    t.after(() => refusing.close());
    const refused = await openPage({ context: refusing.defaultBrowserContext() });
    await refused.click('#takePhoto');
    await waitEvent(refused, 'vetrix:camerafallback');
    assert.match(await refused.$eval('#cameraWhy', (el) => el.textContent), /^未获准使用摄像头/);
    assert.equal(await refused.$eval('#cameraFallbackButton', (el) => el.hidden), false);
    assert.deepEqual(
      await refused.$eval('#cameraFallback',
                          (el) => [el.type, el.accept, el.getAttribute('capture')]),
      ['file', 'image/*', 'user']);
    assert.ok(!(await events(refused)).some((e) => e.type === 'vetrix:frame'), 'nothing judged');
    await assertAccessible(refused, 'the refused camera');

    const none = await openPage({
      before: () => Object.defineProperty(navigator, 'mediaDevices', { value: undefined }),
    });
    await none.click('#takePhoto');
    await waitEvent(none, 'vetrix:camerafallback');
    assert.match(await none.$eval('#cameraWhy', (el) => el.textContent), /不能在页面中使用摄像头/);
    // The system camera's photo is opened as a chosen one.
    const chooser = none.waitForFileChooser();
    await none.click('#cameraFallbackButton');
    await (await chooser).accept([path.join(testData, 'pass_white_test3_295x413.jpg')]);
    await waitEvent(none, 'vetrix:verdict');
    const verdict = (await events(none)).find((e) => e.type === 'vetrix:verdict').detail;
    assert.equal(verdict.state, 'Passed');
    assert.equal(await none.$eval('#camera', (el) => el.hidden), true);
    await none.close();
  });
});
