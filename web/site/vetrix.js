// The page: the Vetrix window in a browser. The audit runs in worker.js; this script shows its
// pictures, lets the candidate open, drop or paste a photo, save the normalised photo, and
// reach the about box and the run log from the context menu.
'use strict';

(() => {
  const STATE_NAMES = ['Idle', 'Passed', 'BadBackground', 'BadFormat', 'NoSinglePortrait',
                       'BadProportion', 'BadSize'];
  const PASSED = 1;
  const WINDOW_WIDTH = 800;
  const SAVE_NAME = '报名照片.jpg';  // the name the window's save chooser proposes
  const LONG_PRESS_MS = 550;

  const $ = (id) => document.getElementById(id);
  const win = $('window');
  const canvas = $('picture');
  const buttons = { open: $('openPhoto'), save: $('savePhoto'), exit: $('exitSystem') };
  const chooser = $('chooser');
  const menu = $('menu');

  let state = 0;
  let busy = true;  // until the engine is ready
  let ready = false;
  let nextId = 1;
  const waiting = new Map();

  // The engine ---------------------------------------------------------------------------

  const worker = new Worker('worker.js');
  worker.onmessage = (event) => {
    const reply = event.data;
    const settle = waiting.get(reply.id);
    waiting.delete(reply.id);
    if (settle) settle(reply);
  };
  worker.onerror = (event) => {
    event.preventDefault();
    for (const settle of waiting.values()) settle({ ok: false, error: event.message });
    waiting.clear();
  };

  function ask(type, fields = {}, transfer = []) {
    const id = nextId++;
    return new Promise((resolve) => {
      waiting.set(id, resolve);
      worker.postMessage({ id, type, ...fields }, transfer);
    });
  }

  // The window ---------------------------------------------------------------------------

  function show(picture) {
    const image = new ImageData(new Uint8ClampedArray(picture.data.buffer), picture.width,
                                picture.height);
    canvas.getContext('2d').putImageData(image, 0, 0);
  }

  // The engine's hint for a rejection (one fixed table, shared with the window); nothing for a
  // passed photo or the idle window.
  function showHint(text) {
    const hint = document.getElementById('hint');
    hint.textContent = text || '';
    hint.hidden = !text;
  }

  function setState(code) {
    state = code;
    document.body.dataset.state = STATE_NAMES[code] || 'Idle';
    if (code !== PASSED) showHint('');
  }

  function setBusy(value) {
    busy = value;
    win.setAttribute('aria-busy', String(value));
    buttons.open.disabled = value || !ready;
    buttons.exit.disabled = value || !ready;
    if (value) buttons.save.disabled = true;
  }

  function notice(text) {
    $('noticeText').textContent = text;
    const dialog = $('notice');
    if (!dialog.open) dialog.showModal();
    document.body.dataset.notice = text;
    document.dispatchEvent(new CustomEvent('vetrix:notice', { detail: text }));
  }

  function engineFailed(reply) {
    setBusy(false);
    buttons.open.disabled = true;
    notice('审核引擎出错，请重新载入本页：' + reply.error);
  }

  function fit() {
    // Scaled to the width on a narrower screen, at its own size otherwise.
    const scale = Math.min(1, document.documentElement.clientWidth / WINDOW_WIDTH);
    win.style.transform = scale < 1 ? `scale(${scale})` : '';
    $('frame').style.width = `${WINDOW_WIDTH * scale}px`;
    $('frame').style.height = `${600 * scale}px`;
  }
  window.addEventListener('resize', fit);
  fit();

  async function auditFile(file) {
    if (!ready) return;
    if (busy) {
      // One photo at a time, as in the window: the one under way keeps its verdict.
      notice(`正在审核上一张照片，请稍候再打开“${file.name}”。`);
      return;
    }
    setBusy(true);
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
    if (reply.failure) {
      // No verdict was reached; the window says so in the same words.
      show(reply.picture);
      setState(0);
      setBusy(false);
      notice(`照片“${file.name}”无法审核：${reply.failure}`);
      return;
    }
    show(reply.picture);
    setState(reply.state);
    showHint(reply.state !== PASSED && reply.details.why ? reply.details.why.hint : '');
    setBusy(false);
    buttons.save.disabled = reply.state !== PASSED;
    document.dispatchEvent(new CustomEvent('vetrix:verdict', { detail: reply.details }));
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

  async function savePhoto() {
    if (busy || state !== PASSED) return;
    setBusy(true);
    const reply = await ask('save');
    if (!reply.ok) {
      engineFailed(reply);
      return;
    }
    if (reply.bytes) download(reply.bytes, SAVE_NAME, 'image/jpeg');
    // Saved: this photo cannot be saved again until it passes a new audit.
    show(reply.picture);
    setState(0);
    setBusy(false);
    document.dispatchEvent(new CustomEvent('vetrix:saved'));
  }

  async function exitToIdle() {
    if (busy) return;
    setBusy(true);
    const reply = await ask('reset');
    if (!reply.ok) {
      engineFailed(reply);
      return;
    }
    show(reply.picture);
    setState(0);
    setBusy(false);
    document.dispatchEvent(new CustomEvent('vetrix:idle'));
  }

  async function downloadLog() {
    const reply = await ask('log');
    if (!reply.ok) {
      engineFailed(reply);
      return;
    }
    download(reply.bytes, 'Test.log', 'text/plain;charset=utf-8');
  }

  buttons.open.addEventListener('click', () => {
    if (busy) return;
    buttons.save.disabled = true;  // as in the window, before the chooser opens
    chooser.value = '';
    chooser.click();
  });
  chooser.addEventListener('change', () => {
    if (chooser.files.length > 0) auditFile(chooser.files[0]);
  });
  buttons.save.addEventListener('click', savePhoto);
  buttons.exit.addEventListener('click', exitToIdle);

  // Dropping or pasting a photo opens it as the chooser does.
  win.addEventListener('dragover', (event) => {
    event.preventDefault();
    win.classList.add('drop-target');
  });
  win.addEventListener('dragleave', () => win.classList.remove('drop-target'));
  win.addEventListener('drop', (event) => {
    event.preventDefault();
    win.classList.remove('drop-target');
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
  function closeMenu() {
    menu.hidden = true;
  }

  win.addEventListener('contextmenu', (event) => {
    event.preventDefault();
    if (!menu.hidden) return;  // already opened by a long press
    const x = event.clientX || win.getBoundingClientRect().left + 20;
    const y = event.clientY || win.getBoundingClientRect().top + 20;
    openMenu(x, y);
  });

  // Touch screens without a context menu gesture: a long press on the window opens it.
  let pressTimer = 0;
  let pressStart = null;
  let pressOpened = false;
  win.addEventListener('pointerdown', (event) => {
    if (event.pointerType === 'mouse') return;
    pressStart = { x: event.clientX, y: event.clientY };
    pressOpened = false;
    clearTimeout(pressTimer);
    pressTimer = setTimeout(() => {
      pressOpened = true;
      openMenu(pressStart.x, pressStart.y);
    }, LONG_PRESS_MS);
  });
  win.addEventListener('pointermove', (event) => {
    if (pressStart && Math.hypot(event.clientX - pressStart.x, event.clientY - pressStart.y) > 10) {
      clearTimeout(pressTimer);
    }
  });
  for (const type of ['pointerup', 'pointercancel']) {
    win.addEventListener(type, () => {
      clearTimeout(pressTimer);
      pressStart = null;
    });
  }
  // The press that opened the menu does not also press a button.
  win.addEventListener('click', (event) => {
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
      if (event.key === 'Escape') closeMenu();
      else if (event.key === 'a' || event.key === 'A') $('menuAbout').click();
      else if (event.key === 'l' || event.key === 'L') $('menuLog').click();
      return;
    }
    // Escape leaves, as in the window (an open dialog takes it for itself).
    if (event.key === 'Escape' && !document.querySelector('dialog[open]')) exitToIdle();
  });

  // Start --------------------------------------------------------------------------------

  ask('start').then((reply) => {
    if (!reply.ok) {
      engineFailed(reply);
      return;
    }
    show(reply.picture);
    ready = true;
    setBusy(false);
    document.body.dataset.ready = '1';
    if (!reply.cascadeLoaded) notice('文件缺失，请重新下载！');
    document.dispatchEvent(new CustomEvent('vetrix:ready'));
  });
})();
