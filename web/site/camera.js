// The camera: a live view whose frames the engine judges one at a time, with the face, the
// head-top line and the crop drawn over it and the engine's hint under it; a frame that keeps
// passing for three seconds is taken (or the shutter takes the next one), and the page then
// opens the taken frame's file exactly as it opens a chosen photo. Where there is no camera,
// or it is refused, the system's camera takes the photo through a file input instead.
'use strict';

self.VetrixCamera = (env) => {
  const params = new URLSearchParams(location.search);
  // What is judged and taken: the largest centred part of the camera's picture of this shape,
  // at this size (see docs/camera.md for the choice). ?frame=WxH sets another, for measuring.
  const FRAME = (() => {
    const m = /^(\d{3,4})x(\d{3,4})$/.exec(params.get('frame') || '');
    const [width, height] = m ? [Number(m[1]), Number(m[2])] : [480, 640];
    return width <= 1440 && height <= 1920 ? { width, height } : { width: 480, height: 640 };
  })();
  const COUNTDOWN_MS = 3000;
  const WHY = '拍照需要使用摄像头：画面只在本设备上审核，照片不会上传。';

  const $ = (id) => document.getElementById(id);
  const view = $('camera');
  const video = $('cameraVideo');
  const overlay = $('cameraOverlay');
  const hint = $('cameraHint');
  const count = $('cameraCount');
  const fps = $('cameraFps');
  const fallback = $('cameraFallback');
  const grab = document.createElement('canvas');
  grab.width = FRAME.width;
  grab.height = FRAME.height;
  const grabContext = grab.getContext('2d', { willReadFrequently: true });
  overlay.width = FRAME.width;
  overlay.height = FRAME.height;
  const showFps = params.has('fps');
  fps.hidden = !showFps;

  let session = null;  // the open camera: { stream, live, facing }
  let facing = 'user';

  const available = () => Boolean(navigator.mediaDevices && navigator.mediaDevices.getUserMedia);

  // The camera is not to be had: the message, and the system's camera through the file input.
  function useFallback(message) {
    view.hidden = false;
    view.dataset.mode = 'fallback';
    $('cameraWhy').textContent = message;
    $('cameraFallbackButton').hidden = false;
    $('cameraFallbackButton').focus();
    env.signal('vetrix:camerafallback', message);
  }

  function refusal(error) {
    const name = error && error.name;
    if (name === 'NotAllowedError' || name === 'SecurityError') {
      return '未获准使用摄像头。可以点击下面的按钮用系统相机拍照，或在浏览器设置中允许本页使用摄像头后重试。';
    }
    if (name === 'NotFoundError' || name === 'OverconstrainedError') {
      return '没有找到摄像头。可以点击下面的按钮用系统相机拍照，或用“打开照片”选择照片。';
    }
    return `摄像头无法打开（${name || error}）。可以点击下面的按钮用系统相机拍照。`;
  }

  async function open() {
    if (session) return;
    view.hidden = false;
    view.dataset.mode = 'asking';
    delete view.dataset.verdict;
    overlay.getContext('2d').clearRect(0, 0, overlay.width, overlay.height);
    $('cameraWhy').textContent = WHY;
    $('closeCamera').focus();
    $('cameraFallbackButton').hidden = true;
    hint.textContent = '';
    if (!available()) {
      useFallback('此浏览器不能在页面中使用摄像头。请点击下面的按钮用系统相机拍照。');
      return;
    }
    let stream;
    try {
      stream = await navigator.mediaDevices.getUserMedia({
        audio: false,
        video: { facingMode: facing, width: { ideal: 960 }, height: { ideal: 720 } },
      });
    } catch (error) {
      useFallback(refusal(error));
      return;
    }
    if (view.hidden) {  // closed while the browser asked
      stream.getTracks().forEach((track) => track.stop());
      return;
    }
    session = { stream, live: true, passingSince: 0, shot: false, judged: [] };
    const settings = stream.getVideoTracks()[0].getSettings();
    // A selfie is shown mirrored, as in a mirror; the frames are judged and taken unmirrored.
    view.classList.toggle('mirrored', (settings.facingMode || facing) === 'user');
    view.dataset.mode = 'live';
    $('shutter').focus();
    video.srcObject = stream;
    try {
      await video.play();
    } catch {
      // Autoplay of a muted inline video is allowed; a refusal shows as a still view.
    }
    env.signal('vetrix:camera', { width: settings.width, height: settings.height });
    judgeLoop(session);
  }

  function stop() {
    if (!session) return;
    session.live = false;
    session.stream.getTracks().forEach((track) => track.stop());
    session = null;
    video.srcObject = null;
    count.textContent = '';
  }

  function close() {
    stop();
    view.hidden = true;
    $('takePhoto').focus();
  }

  // The newest picture of the camera, cropped and scaled as a capture keeps it.
  function grabFrame() {
    const w = video.videoWidth;
    const h = video.videoHeight;
    const aspect = FRAME.width / FRAME.height;
    const sw = Math.min(w, Math.round(h * aspect));
    const sh = Math.min(h, Math.round(w / aspect));
    grabContext.drawImage(video, Math.floor((w - sw) / 2), Math.floor((h - sh) / 2), sw, sh,
                          0, 0, FRAME.width, FRAME.height);
    return grabContext.getImageData(0, 0, FRAME.width, FRAME.height).data;
  }

  function nextVideoFrame() {
    return new Promise((resolve) => {
      if (video.requestVideoFrameCallback) video.requestVideoFrameCallback(() => resolve());
      else requestAnimationFrame(() => resolve());
    });
  }

  // One frame at a time: the next is grabbed when the last verdict is in, so only the newest
  // picture is ever judged and nothing waits in the worker behind the camera.
  async function judgeLoop(own) {
    while (own.live) {
      if (video.readyState < 2 || video.videoWidth === 0) {
        await nextVideoFrame();
        continue;
      }
      const pixels = grabFrame();
      const keep = own.shot;
      const reply = await env.ask('frame', { pixels: pixels.buffer, keep, ...FRAME },
                                  [pixels.buffer]);
      if (!own.live) return;
      if (!reply.ok || reply.state < 0) {
        hint.textContent = reply.ok ? reply.failure : reply.error;
        own.passingSince = 0;
        await nextVideoFrame();
        continue;
      }
      countFrame(own);
      showFrame(reply);
      const passed = reply.state === 1;
      const now = performance.now();
      env.signal('vetrix:frame', { state: reply.state, cause: reply.details.why.cause,
                                   hint: reply.details.why.hint, face: reply.details.face,
                                   judgeMs: reply.judgeMs,
                                   encodeMs: reply.encodeMs, at: now });
      if (keep) {
        take(reply, 'shutter');
        return;
      }
      if (!passed) {
        if (own.passingSince) env.signal('vetrix:countdown', { restarted: true });
        own.passingSince = 0;
        count.textContent = '';
        continue;
      }
      if (!own.passingSince) {
        own.passingSince = now;
        env.signal('vetrix:countdown', { restarted: false });
      }
      const left = COUNTDOWN_MS - (now - own.passingSince);
      if (left <= 0) {
        take(reply, 'auto');
        return;
      }
      count.textContent = String(Math.ceil(left / 1000));
    }
  }

  function countFrame(own) {
    const now = performance.now();
    own.judged.push(now);
    while (own.judged.length > 0 && own.judged[0] < now - 2000) own.judged.shift();
    if (showFps && own.judged.length > 1) {
      const span = (now - own.judged[0]) / 1000;
      fps.textContent = `${((own.judged.length - 1) / span).toFixed(1)} 帧/秒`;
    }
  }

  // The verdict of the frame: the hint (or that it passes) and the engine's facts drawn over
  // the view, in the frame's own pixels.
  function showFrame(reply) {
    const details = reply.details;
    const passed = reply.state === 1;
    view.dataset.verdict = passed ? 'passed' : 'rejected';
    hint.textContent = passed ? '符合要求，请保持不动…' : details.why.hint || details.message;
    const c = overlay.getContext('2d');
    c.clearRect(0, 0, overlay.width, overlay.height);
    c.lineWidth = 3;
    const framing = details.why.framing;
    if (details.face) {
      const [x, y, w, h] = details.face;
      c.strokeStyle = passed ? '#2ecc40' : '#ffb300';
      c.strokeRect(x, y, w, h);
      if (framing && framing.headTop != null) {
        c.strokeStyle = '#00bcd4';
        c.beginPath();
        c.moveTo(x - w / 4, framing.headTop + 0.5);
        c.lineTo(x + w + w / 4, framing.headTop + 0.5);
        c.stroke();
      }
    }
    // The accepted crop is given in the scaled photo's pixels; a rejected one in the frame's.
    const crop = details.crop ? details.crop.map((n) => n / details.scale)
      : framing && framing.tried;
    if (crop) {
      const [x, y, w, h] = crop;
      c.strokeStyle = passed ? '#2ecc40' : '#e53935';
      c.setLineDash(passed ? [] : [10, 6]);
      c.strokeRect(x + 1.5, y + 1.5, w - 3, h - 3);
      c.setLineDash([]);
    }
  }

  // The taken frame's file is opened as a chosen photo is: the same audit, verdict and save.
  function take(reply, how) {
    const own = session;
    if (!own || !reply.file) return;
    const stamp = new Date().toISOString().replace(/[-:]/g, '').replace('T', '_').slice(0, 15);
    const file = new File([reply.file], `拍照_${stamp}.png`, { type: 'image/png' });
    env.signal('vetrix:captured', { how, state: reply.state, bytes: reply.file.length,
                                    at: performance.now() });
    close();
    env.openFile(file, { captured: true });
  }

  $('takePhoto').addEventListener('click', open);
  $('closeCamera').addEventListener('click', close);
  $('shutter').addEventListener('click', () => {
    if (session) session.shot = true;
  });
  $('switchCamera').addEventListener('click', () => {
    facing = facing === 'user' ? 'environment' : 'user';
    stop();
    open();
  });
  $('cameraFallbackButton').addEventListener('click', () => {
    fallback.value = '';
    fallback.click();
  });
  fallback.addEventListener('change', () => {
    if (fallback.files.length === 0) return;
    const file = fallback.files[0];
    close();
    env.openFile(file, { captured: true });
  });
  // A page out of sight keeps no camera open.
  document.addEventListener('visibilitychange', () => {
    if (document.hidden && !view.hidden) close();
  });
  view.addEventListener('keydown', (event) => {
    if (event.key === 'Escape') {
      event.stopPropagation();
      close();
    }
  });

  return { open, close, get live() { return Boolean(session); } };
};
