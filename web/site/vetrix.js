// The page: the Vetrix window in a browser, or its verdict as text on a phone. The audit runs in
// worker.js; this script loads it (telling how far loading has got), lets the candidate open,
// drop or paste a photo, shows the verdict in both layouts, saves the normalised photo, and
// reaches the about box and the run log from the context menu.
'use strict';

(() => {
  const SITE = self.VETRIX_SITE;
  const TEXTS = self.VETRIX_TEXTS;
  const PASSED = 1;
  const LONG_PRESS_MS = 550;

  const $ = (id) => document.getElementById(id);
  const main = document.querySelector('main');
  const win = $('window');
  const canvas = $('picture');
  const buttons = { open: $('openPhoto'), save: $('savePhoto'), exit: $('exitSystem'),
                    camera: $('takePhoto') };
  const chooser = $('chooser');
  const menu = $('menu');

  let state = 0;
  let busy = true;  // until the engine is ready
  let ready = false;
  let saved = false;
  let savedBytes = null;  // what saving the current Passed verdict writes
  let photoUrl = '';
  let waitingFile = null;  // a photo given while the engine was loading
  let capturedFile = null;  // the camera's file whose verdict is on screen
  let nextId = 1;
  const waiting = new Map();
  let worker = null;

  function signal(type, detail = null) {
    document.dispatchEvent(new CustomEvent(type, { detail }));
  }

  // The engine ---------------------------------------------------------------------------

  // The worker starts from a blob: URL, so that it runs under this page's Content Security
  // Policy (a worker loaded from its own URL would get only the policy its response carries).
  // The site's table goes in with it, which saves the worker a round trip on a slow network.
  function startWorker(noThreads) {
    const base = new URL('./', location.href).href;
    const scripts = [$('textsScript').src, base + SITE.files['engines.js'],
                     base + SITE.files['worker.js']];
    // ?engine=scalar (or simd, simd-threads) runs that engine where the site has it.
    const wish = new URLSearchParams(location.search).get('engine');
    const boot = `self.VETRIX_BASE = ${JSON.stringify(base)};\n` +
                 `self.VETRIX_SITE = ${JSON.stringify(SITE)};\n` +
                 `self.VETRIX_ENGINE_WISH = ${JSON.stringify(wish)};\n` +
                 `self.VETRIX_NO_THREADS = ${noThreads};\n` +
                 `importScripts(${scripts.map((s) => JSON.stringify(s)).join(', ')});\n`;
    const url = URL.createObjectURL(new Blob([boot], { type: 'text/javascript' }));
    worker = new Worker(url);
    URL.revokeObjectURL(url);
    worker.onmessage = (event) => {
      const message = event.data;
      if (message.type === 'progress') {
        showProgress(message.loaded, message.total);
      } else if (message.type === 'starting') {
        clearTimeout(startDeadline);  // an engine that failed gave way to this one
        startDeadline = message.threads ? setTimeout(giveUpStarting, START_DEADLINE_MS) : null;
      } else if (message.type === 'picture') {
        show(message.picture);
      } else if (message.type === 'pictures') {
        document.body.dataset.pictures = '1';  // every picture of the window is here
      } else {
        const settle = waiting.get(message.id);
        waiting.delete(message.id);
        if (settle) settle(message);
      }
    };
    worker.onerror = (event) => {
      event.preventDefault();
      settleAll({ ok: false, error: event.message });
    };
  }

  function settleAll(reply) {
    for (const settle of waiting.values()) settle(reply);
    waiting.clear();
  }

  // A threads engine that has all its files but has not started by then is stopped: its
  // threads' workers may never start (a device or browser that refuses them, a script that
  // failed to arrive), and the engine then waits for them for good. The page starts again
  // with an engine that needs no threads. Tests shorten it through window.VETRIX_START_DEADLINE_MS.
  const START_DEADLINE_MS = window.VETRIX_START_DEADLINE_MS ?? 20000;
  let startDeadline = null;

  function giveUpStarting() {
    startDeadline = null;
    worker.terminate();
    settleAll({ ok: false, tooSlow: true });
  }

  function ask(type, fields = {}, transfer = []) {
    const id = nextId++;
    return new Promise((resolve) => {
      waiting.set(id, resolve);
      worker.postMessage({ id, type, ...fields }, transfer);
    });
  }

  // Loading ------------------------------------------------------------------------------

  const megabytes = (n) => (n / 1048576).toFixed(1);

  function showProgress(loaded, total) {
    $('loadingText').textContent = total > 0
      ? `载入中… ${megabytes(loaded)} MB / ${megabytes(total)} MB`
      : `载入中… ${megabytes(loaded)} MB`;
    const bar = $('loadingBar');
    bar.max = total || 1;
    bar.value = total ? Math.min(loaded, total) : 0;
    document.body.dataset.loaded = String(loaded);
  }

  function loadFailed() {
    $('loading').dataset.failed = '';
    $('loadingText').textContent = '载入失败：网络中断或文件未能下载，请检查网络后点击“重试”。';
    $('retry').hidden = false;
    $('window').setAttribute('aria-busy', 'false');
    signal('vetrix:loadfailed');
  }

  async function load(noThreads = false) {
    delete $('loading').dataset.failed;
    $('retry').hidden = true;
    showProgress(0, 0);
    startWorker(noThreads);
    const reply = await ask('start');
    clearTimeout(startDeadline);
    startDeadline = null;
    if (reply.tooSlow && !noThreads) {
      load(true);
      return;
    }
    if (!reply.ok) {
      worker.terminate();
      loadFailed();
      return;
    }
    ready = true;
    setBusy(false);
    document.body.dataset.engine = reply.engine;
    document.body.dataset.ready = '1';
    if (!reply.cascadeLoaded) notice(TEXTS.cascadeMissing);
    signal('vetrix:ready', { at: reply.readyAt });
    // Offline from the next visit on; registered once the page works, so that its own loading
    // comes first.
    if ('serviceWorker' in navigator) {
      navigator.serviceWorker.register('sw.js').catch(() => {});
    }
    if (waitingFile) {
      const file = waitingFile;
      waitingFile = null;
      auditFile(file);
    }
  }

  $('retry').addEventListener('click', () => {
    $('loadingText').focus();
    load();
  });

  // The window ---------------------------------------------------------------------------

  // The window's picture. At 100 % it is the engine's, pixel for pixel. On a high-density
  // screen the page draws it at the screen's resolution from the generator's rendering of the
  // skin at the nearest larger scale, with the photo to be saved in the photo frame, so that
  // it is sharp rather than stretched.
  const wide = matchMedia(SITE.layout.wideQuery);
  let lastPicture = null;
  let paintNumber = 0;

  function pictureScale() {
    const ratio = window.devicePixelRatio || 1;
    if (!wide.matches || ratio <= 1) return 1;
    const scales = SITE.layout.scales.map((percent) => percent / 100).filter((s) => s > 1);
    return scales.find((s) => s >= ratio - 0.01) ?? scales.at(-1);
  }

  function loadImage(logical) {
    const image = new Image();
    image.src = SITE.files[logical];
    return image.decode().then(() => image);
  }

  async function paintScaled(scale, number) {
    const percent = Math.round(scale * 100);
    const skinName = SITE.layout.skins[state] ?? SITE.layout.skins[0];
    const skin = await loadImage(`res/${percent}/${skinName}`);
    const photo = state === PASSED && savedBytes
      ? await createImageBitmap(new Blob([savedBytes], { type: 'image/jpeg' })) : null;
    if (number !== paintNumber) return;  // a newer picture is under way
    const device = (n) => Math.floor(n * scale + 0.5);
    canvas.width = device(SITE.layout.window.width);
    canvas.height = device(SITE.layout.window.height);
    const context = canvas.getContext('2d');
    context.drawImage(skin, 0, 0);
    if (photo) {
      const f = SITE.layout.photoFrame;
      const left = device(f.x);
      const top = device(f.y);
      context.imageSmoothingQuality = 'high';
      context.drawImage(photo, left, top, device(f.x + f.width) - left,
                        device(f.y + f.height) - top);
    }
  }

  async function paint() {
    const number = ++paintNumber;
    const scale = pictureScale();
    if (scale > 1) {
      try {
        await paintScaled(scale, number);
        if (number === paintNumber) signal('vetrix:painted');
        return;
      } catch {
        // The scaled picture did not load: the engine's own picture is shown.
      }
    }
    if (number !== paintNumber || !lastPicture) return;
    const picture = lastPicture;
    canvas.width = picture.width;
    canvas.height = picture.height;
    canvas.getContext('2d').putImageData(
      new ImageData(new Uint8ClampedArray(picture.data), picture.width, picture.height), 0, 0);
    signal('vetrix:painted');
  }

  function show(picture) {
    lastPicture = picture;
    paint();
  }
  let paintedScale = pictureScale();
  window.addEventListener('resize', () => {
    if (pictureScale() !== paintedScale) {
      paintedScale = pictureScale();
      paint();
    }
  });

  function setBusy(value) {
    busy = value;
    win.setAttribute('aria-busy', String(value));
    buttons.open.disabled = value || !ready;
    buttons.exit.disabled = value || !ready;
    buttons.camera.disabled = value || !ready;
    buttons.save.disabled = value || !ready || state !== PASSED || saved;
  }

  function notice(text) {
    $('noticeText').textContent = text;
    const dialog = $('notice');
    if (!dialog.open) dialog.showModal();
    document.body.dataset.notice = text;
    signal('vetrix:notice', text);
  }

  function engineFailed(reply) {
    setBusy(false);
    buttons.open.disabled = true;
    notice('审核引擎出错，请重新载入本页：' + reply.error);
  }

  // The idle window's instructions, for the layout that does not show the window's picture;
  // the parts the window draws in red are emphasised.
  $('guideHeading').textContent = TEXTS.guideHeading;
  for (const item of TEXTS.guide) {
    const li = document.createElement('li');
    item.split(/(\{[^}]*\})/).forEach((part) => {
      if (!part.startsWith('{')) {
        li.append(part);
        return;
      }
      const strong = document.createElement('strong');
      strong.textContent = part.slice(1, -1);
      li.append(strong);
    });
    $('guideItems').append(li);
  }

  // The result as text: the same in both layouts (the window's picture also shows it).
  function showResult({ code = 0, hint = '', photo = null }) {
    state = code;
    const verdict = TEXTS.verdicts[code] || TEXTS.verdicts[0];
    document.body.dataset.state = verdict.state;
    document.body.dataset.verdict = code === 0 ? '' : code === PASSED ? 'passed' : 'rejected';
    $('verdict').textContent = code === 0 ? '请打开照片' : verdict.caption;
    $('reason').textContent = verdict.reason ? TEXTS.reasonLabel + verdict.reason : '';
    $('reason').hidden = !verdict.reason;
    $('hint').textContent = hint;
    $('hint').hidden = !hint;
    $('savedNote').hidden = true;
    canvas.setAttribute('aria-label', code === 0 ? '审核结果显示区' : `审核结果：${verdict.caption}`);
    if (photoUrl) URL.revokeObjectURL(photoUrl);
    photoUrl = photo ? URL.createObjectURL(new Blob([photo], { type: 'image/jpeg' })) : '';
    $('photo').src = photoUrl;
    if (!photo) $('photo').removeAttribute('src');
    $('photoBox').hidden = !photo;
    $('nextStep').hidden = !photo;
    $('guide').hidden = code !== 0;
  }

  async function auditFile(file, { captured = false } = {}) {
    if (!ready) {
      // The engine is still loading: this photo is audited as soon as it is ready.
      waitingFile = file;
      $('verdict').textContent = `引擎载入后将审核“${file.name}”。`;
      return;
    }
    if (busy) {
      // One photo at a time, as in the window: the one under way keeps its verdict.
      notice(`正在审核上一张照片，请稍候再打开“${file.name}”。`);
      return;
    }
    if (camera.live) camera.close();
    setBusy(true);
    capturedFile = captured ? file : null;
    $('keepOriginal').hidden = true;
    $('verdict').textContent = '正在审核…';
    let bytes;
    try {
      bytes = await file.arrayBuffer();
    } catch (error) {
      setBusy(false);
      notice(`无法读取“${file.name}”：${error.message}`);
      return;
    }
    const reply = await ask('audit', { name: file.name || 'photo', bytes }, [bytes]);
    if (!reply.ok) {
      engineFailed(reply);
      return;
    }
    saved = false;
    if (reply.failure) {
      // No verdict was reached; the window says so in the same words.
      savedBytes = null;
      showResult({});
      setBusy(false);
      notice(TEXTS.cannotAudit(file.name, reply.failure));
      return;
    }
    savedBytes = reply.state === PASSED ? reply.saved : null;
    showResult({
      code: reply.state,
      hint: reply.state !== PASSED && reply.details.why ? reply.details.why.hint : '',
      photo: savedBytes,
    });
    $('keepOriginal').hidden = !capturedFile;
    setBusy(false);
    $('verdict').focus();
    signal('vetrix:verdict', reply.details);
  }

  function download(bytes, name, type) {
    const url = URL.createObjectURL(new Blob([bytes], { type }));
    const link = document.createElement('a');
    link.href = url;
    link.download = name;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
  }

  // Saves once: the result stays on screen, says where it went, and cannot be saved again
  // until a photo passes a new audit.
  function savePhoto() {
    if (busy || state !== PASSED || saved || !savedBytes) return;
    download(savedBytes, TEXTS.saveName, 'image/jpeg');
    saved = true;
    buttons.save.disabled = true;
    $('nextStep').hidden = true;
    $('savedNote').textContent = `已保存：${TEXTS.saveName}`;
    $('savedNote').hidden = false;
    $('savedNote').focus();
    signal('vetrix:saved');
  }

  async function exitToIdle() {
    if (busy || !ready) return;
    setBusy(true);
    const reply = await ask('reset');
    if (!reply.ok) {
      engineFailed(reply);
      return;
    }
    saved = false;
    savedBytes = null;
    capturedFile = null;
    $('keepOriginal').hidden = true;
    showResult({});
    setBusy(false);
    signal('vetrix:idle');
  }

  async function downloadLog() {
    if (!ready) return;
    const reply = await ask('log');
    if (!reply.ok) {
      engineFailed(reply);
      return;
    }
    download(reply.bytes, TEXTS.logName, 'text/plain;charset=utf-8');
  }

  buttons.open.addEventListener('click', () => {
    if (busy) return;
    chooser.value = '';
    chooser.click();
  });
  chooser.addEventListener('change', () => {
    if (chooser.files.length > 0) auditFile(chooser.files[0]);
  });
  buttons.save.addEventListener('click', savePhoto);
  // The photo the camera took, as it was audited.
  $('keepOriginal').addEventListener('click', () => {
    if (capturedFile) download(capturedFile, capturedFile.name, capturedFile.type);
  });
  buttons.exit.addEventListener('click', exitToIdle);

  // A photo dropped anywhere on the page is opened as the chooser does; nothing dropped makes
  // the browser leave the page for the file.
  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    if (event.dataTransfer) event.dataTransfer.dropEffect = 'copy';
    document.body.classList.add('drop-target');
  });
  document.addEventListener('dragleave', (event) => {
    if (!event.relatedTarget) document.body.classList.remove('drop-target');
  });
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    document.body.classList.remove('drop-target');
    const file = event.dataTransfer && event.dataTransfer.files[0];
    if (file) auditFile(file);
  });
  document.addEventListener('paste', (event) => {
    const file = event.clipboardData && event.clipboardData.files[0];
    if (file) {
      event.preventDefault();
      auditFile(file);
    }
  });

  // The context menu: the about box and the run log --------------------------------------

  function openMenu(x, y) {
    menu.hidden = false;
    const width = menu.offsetWidth;
    const height = menu.offsetHeight;
    menu.style.left = `${Math.max(0, Math.min(x, window.innerWidth - width))}px`;
    menu.style.top = `${Math.max(0, Math.min(y, window.innerHeight - height))}px`;
    $('menuAbout').focus();
  }
  let menuReturn = null;
  function closeMenu() {
    menu.hidden = true;
    if (menuReturn && menuReturn.isConnected) menuReturn.focus();
  }

  main.addEventListener('contextmenu', (event) => {
    event.preventDefault();
    if (!menu.hidden) return;  // already opened by a long press
    menuReturn = document.activeElement;
    const box = main.getBoundingClientRect();
    openMenu(event.clientX || box.left + 20, event.clientY || box.top + 20);
  });

  // Touch screens without a context menu gesture: a long press opens it.
  let pressTimer = 0;
  let pressStart = null;
  let pressOpened = false;
  main.addEventListener('pointerdown', (event) => {
    if (event.pointerType === 'mouse') return;
    pressStart = { x: event.clientX, y: event.clientY };
    pressOpened = false;
    clearTimeout(pressTimer);
    pressTimer = setTimeout(() => {
      pressOpened = true;
      menuReturn = document.activeElement;
      openMenu(pressStart.x, pressStart.y);
    }, LONG_PRESS_MS);
  });
  main.addEventListener('pointermove', (event) => {
    if (pressStart && Math.hypot(event.clientX - pressStart.x, event.clientY - pressStart.y) > 10) {
      clearTimeout(pressTimer);
    }
  });
  for (const type of ['pointerup', 'pointercancel']) {
    main.addEventListener(type, () => {
      clearTimeout(pressTimer);
      pressStart = null;
    });
  }
  // The press that opened the menu does not also press a button.
  main.addEventListener('click', (event) => {
    if (pressOpened) {
      event.stopPropagation();
      event.preventDefault();
      pressOpened = false;
    }
  }, true);

  document.addEventListener('pointerdown', (event) => {
    if (!menu.hidden && !menu.contains(event.target)) closeMenu();
  });
  $('menuAbout').addEventListener('click', () => {
    closeMenu();
    $('about').showModal();
  });
  $('menuLog').addEventListener('click', () => {
    closeMenu();
    downloadLog();
  });
  for (const button of document.querySelectorAll('.close-dialog')) {
    button.addEventListener('click', () => button.closest('dialog').close());
  }

  document.addEventListener('keydown', (event) => {
    if (!menu.hidden) {
      const items = [...menu.querySelectorAll('[role="menuitem"]')];
      const at = items.indexOf(document.activeElement);
      if (event.key === 'Escape') closeMenu();
      else if (event.key === 'a' || event.key === 'A') $('menuAbout').click();
      else if (event.key === 'l' || event.key === 'L') $('menuLog').click();
      else if (event.key === 'ArrowDown' || event.key === 'ArrowUp') {
        event.preventDefault();
        const step = event.key === 'ArrowDown' ? 1 : items.length - 1;
        items[(at + step) % items.length].focus();
      }
      return;
    }
    if (document.querySelector('dialog[open]')) return;  // a dialog takes its own keys
    // The keyboard's way to the context menu, at the focused control.
    if (event.key === 'ContextMenu' || (event.key === 'F10' && event.shiftKey)) {
      event.preventDefault();
      menuReturn = document.activeElement;
      const box = (main.contains(menuReturn) ? menuReturn : main).getBoundingClientRect();
      openMenu(box.left + 20, box.top + 20);
      return;
    }
    // Escape leaves, as in the window.
    if (event.key === 'Escape') exitToIdle();
  });

  const camera = self.VetrixCamera({ ask, signal, openFile: auditFile });

  // Start --------------------------------------------------------------------------------

  load();
})();
