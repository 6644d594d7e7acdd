// A clip for chromium's fake camera (--use-file-for-fake-video-capture): scenes made from the
// example photos, decoded and placed by chromium itself, written as an uncompressed Y4M file
// (4:2:0, BT.601 limited range), so the tests need no video tool.
import fs from 'node:fs';
import path from 'node:path';

import { testData } from './support.mjs';

export const CLIP_SIZE = { width: 480, height: 640 };

// The scenes of the camera test: a face too small, then too low, then well framed, each a
// photo of tests/data scaled by `scale` with its top-left corner at (x, y) on a background of
// the photo's own top-left colour. `expect` is the engine's cause for the scene.
export const SCENES = [
  { name: 'too small', photo: 'pass_white_test1_358x441.jpg', scale: 0.45, x: 159, y: 221,
    expect: 'FaceTooSmall' },
  { name: 'too low', photo: 'prop_face_low_white_test4.jpg', scale: 1, x: 0, y: 0,
    expect: 'NoRoomBelow' },
  { name: 'well framed', photo: 'pass_white_test3_295x413.jpg', scale: 640 / 413, x: 11, y: 0,
    expect: 'None' },
];

// Each scene's RGBA pixels at `size`, drawn in a page of `browser`.
export async function drawScenes(browser, scenes = SCENES, size = CLIP_SIZE) {
  const tab = await browser.newPage();
  try {
    const inputs = scenes.map((scene) => ({
      ...scene, base64: fs.readFileSync(path.join(testData, scene.photo)).toString('base64'),
    }));
    const drawn = await tab.evaluate(async (list, { width, height }) => {
      const out = [];
      for (const scene of list) {
        const bytes = Uint8Array.from(atob(scene.base64), (c) => c.charCodeAt(0));
        const image = await createImageBitmap(new Blob([bytes]));
        const canvas = new OffscreenCanvas(width, height);
        const context = canvas.getContext('2d');
        context.drawImage(image, 0, 0);
        const [r, g, b] = context.getImageData(0, 0, 1, 1).data;
        context.fillStyle = `rgb(${r}, ${g}, ${b})`;
        context.fillRect(0, 0, width, height);
        context.imageSmoothingQuality = 'high';
        context.drawImage(image, scene.x, scene.y, Math.round(image.width * scene.scale),
                          Math.round(image.height * scene.scale));
        const data = context.getImageData(0, 0, width, height).data;
        let text = '';
        for (let i = 0; i < data.length; i += 0x8000) {
          text += String.fromCharCode(...data.subarray(i, i + 0x8000));
        }
        out.push(btoa(text));
      }
      return out;
    }, inputs, size);
    return drawn.map((base64) => Buffer.from(base64, 'base64'));
  } finally {
    await tab.close();
  }
}

// One Y4M frame (the planes after the FRAME line) of RGBA pixels.
function i420(rgba, { width, height }) {
  const y = Buffer.alloc(width * height);
  const u = Buffer.alloc((width / 2) * (height / 2));
  const v = Buffer.alloc(u.length);
  const clamp = (n) => Math.max(0, Math.min(255, Math.round(n)));
  for (let row = 0; row < height; row++) {
    for (let col = 0; col < width; col++) {
      const at = (row * width + col) * 4;
      const [r, g, b] = [rgba[at] / 255, rgba[at + 1] / 255, rgba[at + 2] / 255];
      y[row * width + col] = clamp(16 + 65.481 * r + 128.553 * g + 24.966 * b);
    }
  }
  for (let row = 0; row < height; row += 2) {
    for (let col = 0; col < width; col += 2) {
      let r = 0;
      let g = 0;
      let b = 0;
      for (const [dr, dc] of [[0, 0], [0, 1], [1, 0], [1, 1]]) {
        const at = ((row + dr) * width + col + dc) * 4;
        r += rgba[at] / 1020;
        g += rgba[at + 1] / 1020;
        b += rgba[at + 2] / 1020;
      }
      const c = (row / 2) * (width / 2) + col / 2;
      u[c] = clamp(128 - 37.797 * r - 74.203 * g + 112 * b);
      v[c] = clamp(128 + 112 * r - 93.786 * g - 18.214 * b);
    }
  }
  return Buffer.concat([y, u, v]);
}

// Writes `file`: each picture of `pictures` for the given number of frames, in order, at `fps`.
export function writeClip(file, pictures, frameCounts, { fps = 10, size = CLIP_SIZE } = {}) {
  const out = fs.openSync(file, 'w');
  try {
    fs.writeSync(out, `YUV4MPEG2 W${size.width} H${size.height} F${fps}:1 Ip A1:1 C420jpeg\n`);
    pictures.forEach((rgba, i) => {
      const planes = i420(rgba, size);
      for (let n = 0; n < frameCounts[i]; n++) {
        fs.writeSync(out, 'FRAME\n');
        fs.writeSync(out, planes);
      }
    });
  } finally {
    fs.closeSync(out);
  }
}

// The flags that make chromium's camera play `clip` and grant it without asking (or, with
// `refuse`, refuse it as a candidate who says no would).
export const fakeCameraArgs = (clip, { refuse = false } = {}) => [
  '--use-fake-device-for-media-stream',
  refuse ? '--use-fake-ui-for-media-stream=deny' : '--use-fake-ui-for-media-stream',
  `--use-file-for-fake-video-capture=${clip}`,
];
