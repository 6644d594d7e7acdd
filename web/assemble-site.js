// Writes the static site folder from scratch:
//   index.html                       the page (version and file names filled in)
//   sw.js                            the service worker: precaches every other file
//   <name>.<hash>.<ext>              everything else, named by its content, so that a host may
//                                    let browsers keep it for a year (see docs/web.md)
// The window's geometry and skin list come from the C++ layout header (--layout): they are
// written into layout.css (custom properties and the button boxes) and site.js (for the
// scripts), so that the numbers live in one place.
'use strict';

const crypto = require('crypto');
const fs = require('fs');
const path = require('path');

function fail(message) {
  console.error(`assemble-site: ${message}`);
  process.exit(1);
}

// --key value, or --key=value (which may be empty).
const args = {};
for (let i = 2; i < process.argv.length; i++) {
  const [, key, value] = process.argv[i].match(/^--([\w-]+)(?:=(.*))?$/s) ?? [];
  if (!key) fail(`unexpected argument ${process.argv[i]}`);
  args[key] = value ?? process.argv[++i];
}
for (const key of ['source', 'pictures', 'icons', 'cascade', 'engine', 'layout', 'version', 'out']) {
  if (!args[key]) {
    console.error(`assemble-site: --${key} is missing`);
    process.exit(2);
  }
}

// The layout header ------------------------------------------------------------------------

// Reads the constexpr values this page needs from the header: ints, boxes (whose fields may
// name ints), and the skin file list. Anything missing stops the build, so a renamed constant
// cannot leave a stale number behind.
function readLayout(file) {
  const text = fs.readFileSync(file, 'utf8').replace(/\/\/[^\n]*/g, '');
  const ints = {};
  for (const m of text.matchAll(/constexpr\s+int\s+(k\w+)\s*=\s*(-?\d+)\s*;/g)) {
    ints[m[1]] = Number(m[2]);
  }
  const value = (token) => {
    token = token.trim();
    if (/^-?\d+$/.test(token)) return Number(token);
    if (token in ints) return ints[token];
    return fail(`${file}: ${token} is not a known int`);
  };
  const boxes = {};
  for (const m of text.matchAll(/constexpr\s+Box\s+(k\w+)\s*\{([^}]*)\}\s*;/g)) {
    const [x, y, width, height] = m[2].split(',').map(value);
    boxes[m[1]] = { x, y, width, height };
  }
  const strings = {};
  for (const m of text.matchAll(/constexpr\s+const\s+char\s*\*\s*(k\w+)\s*=\s*"([^"]*)"\s*;/g)) {
    strings[m[1]] = m[2];
  }
  const skinList = text.match(/kSkinFiles\s*\{([^}]*)\}/);
  const scaleList = text.match(/kPictureScalesPercent\s*\{([^}]*)\}/);
  const need = (table, name) => (name in table ? table[name] : fail(`${file}: no ${name}`));
  if (!skinList || !scaleList) fail(`${file}: no kSkinFiles or kPictureScalesPercent`);
  return {
    window: { width: need(ints, 'kWindowWidth'), height: need(ints, 'kWindowHeight') },
    buttons: {
      open: need(boxes, 'kOpenButton'),
      save: need(boxes, 'kSaveButton'),
      exit: need(boxes, 'kExitButton'),
    },
    photoFrame: need(boxes, 'kResultPhotoFrame'),
    skins: [...skinList[1].matchAll(/"([^"]+)"/g)].map((m) => m[1]),
    buttonFiles: {
      open: need(strings, 'kButtonOpenFile'),
      save: need(strings, 'kButtonSaveFile'),
      saveGrey: need(strings, 'kButtonSaveGreyFile'),
      exit: need(strings, 'kButtonExitFile'),
    },
    icon: need(strings, 'kIconFile'),
    scales: scaleList[1].split(',').map(value),
  };
}

const layout = readLayout(args.layout);
// The window is shown as it is only where it fits whole; any narrower or lower screen gets the
// page's own layout.
layout.wideQuery = `(min-width: ${layout.window.width}px) and (min-height: ${layout.window.height}px)`;

// Writing ----------------------------------------------------------------------------------

const out = args.out;
fs.rmSync(out, { recursive: true, force: true });
fs.mkdirSync(out, { recursive: true });

const named = {};  // logical name (as the sources write it) -> name in the site
const sizes = {};  // name in the site -> bytes

// Writes `bytes` under a name carrying its content hash; returns that name.
function put(logical, bytes) {
  const hash = crypto.createHash('sha256').update(bytes).digest('hex').slice(0, 10);
  const ext = path.extname(logical);
  const name = `${logical.slice(0, logical.length - ext.length)}.${hash}${ext}`;
  fs.mkdirSync(path.join(out, path.dirname(name)), { recursive: true });
  fs.writeFileSync(path.join(out, name), bytes);
  named[logical] = name;
  sizes[name] = bytes.length;
  return name;
}
const file = (logical) => named[logical] ?? fail(`${logical} was not written`);

// Replaces {{file:logical}} with the site name; {{...}} names the caller gives in `values`.
function fill(text, values = {}) {
  return text.replace(/\{\{(\w+)(?::([^}]+))?\}\}/g, (whole, key, arg) => {
    if (key === 'file') return file(arg);
    if (key === 'srcset') {
      // The button picture at each scale the generator drew, for the screen's pixel ratio.
      return layout.scales.map((s) => `${file(s === 100 ? `res/${arg}` : `res/${s}/${arg}`)} ${s / 100}x`)
        .join(', ');
    }
    if (key in values) return values[key];
    return fail(`unknown placeholder ${whole}`);
  });
}

const source = (name) => fs.readFileSync(path.join(args.source, name));

// The pictures, at every scale, and the app icons.
for (const scale of layout.scales) {
  const dir = scale === 100 ? args.pictures : path.join(args.pictures, String(scale));
  const prefix = scale === 100 ? 'res/' : `res/${scale}/`;
  for (const name of fs.readdirSync(dir).sort()) {
    if (name.endsWith('.png')) put(prefix + name, fs.readFileSync(path.join(dir, name)));
  }
}
for (const size of [192, 512]) {
  put(`icon-${size}.png`, fs.readFileSync(path.join(args.icons, `icon-${size}.png`)));
}
put(path.basename(args.cascade), fs.readFileSync(args.cascade));
// The engines: the scalar one, which runs everywhere, and those of the other variants
// (vetrix-engine-VARIANT.js), which the worker picks by what the browser offers (engines.js).
// A threads engine has a third file, the script of its threads' workers.
const engines = {};
const engineScripts = [path.join(args.engine, 'vetrix-engine.js'),
                       ...(args['more-engines'] ?? '').split(';').filter(Boolean)];
for (const script of engineScripts) {
  const stem = path.basename(script, '.js');
  const variant = stem === 'vetrix-engine' ? 'scalar' : stem.replace(/^vetrix-engine-/, '');
  if (!/^[a-z-]+$/.test(variant) || variant in engines) fail(`${script}: not an engine's script`);
  const engine = {};
  for (const [part, ext] of [['js', '.js'], ['wasm', '.wasm'], ['threads', '.worker.js']]) {
    const built = path.join(path.dirname(script), stem + ext);
    if (!fs.existsSync(built)) {
      if (part === 'threads') continue;
      fail(`${stem + ext} is missing in ${path.dirname(script)}`);
    }
    put(stem + ext, fs.readFileSync(built));
    engine[part] = stem + ext;
  }
  engines[variant] = engine;
}
put('texts.js', source('texts.js'));
put('engines.js', source('engines.js'));
put('worker.js', source('worker.js'));

const px = (n) => `${n}px`;
const box = ({ x, y, width, height }) =>
  `left: ${px(x)}; top: ${px(y)}; width: ${px(width)}; height: ${px(height)};`;
put('layout.css', Buffer.from(
  '/* Written by assemble-site.js from the window layout header; do not edit. */\n' +
  `:root { --window-width: ${px(layout.window.width)}; --window-height: ${px(layout.window.height)}; }\n` +
  `@media ${layout.wideQuery} {\n` +
  `  #openPhoto { ${box(layout.buttons.open)} }\n` +
  `  #savePhoto { ${box(layout.buttons.save)} }\n` +
  `  #exitSystem { ${box(layout.buttons.exit)} }\n` +
  // The page's own camera button: below the window, under the window's buttons, beside the
  // verdict's text (the window's panel has no room for a fourth button).
  `  #takePhoto { ${box({ ...layout.buttons.exit, y: layout.window.height + 8 })} }\n` +
  `  #result { max-width: ${px(layout.buttons.exit.x - 16)}; min-height: ${px(layout.buttons.exit.height)}; }\n` +
  '}\n'));

// What the scripts need to know about the site: the layout, and each file's name and size (the
// sizes let the page count the bytes of its loading even when the host sends no length).
const shortVersion = args.version.split('.').slice(0, 2).join('.');
const siteFiles = {};
for (const [logical, name] of Object.entries(named)) {
  if (logical !== 'texts.js' && logical !== 'layout.css') siteFiles[logical] = name;
}
put('site.js', Buffer.from(
  '// Written by assemble-site.js; do not edit.\n' +
  `self.VETRIX_SITE = ${JSON.stringify({
    version: args.version,
    layout,
    engines,
    files: siteFiles,
    sizes: Object.fromEntries(Object.values(siteFiles).map((name) => [name, sizes[name]])),
  }, null, 1)};\n`));

put('camera.js', source('camera.js'));
put('vetrix.js', source('vetrix.js'));
put('vetrix.css', Buffer.from(
  source('vetrix.css').toString('utf8').replaceAll('@media --wide', `@media ${layout.wideQuery}`)
    .replaceAll('@media --narrow', `@media not all and ${layout.wideQuery}`)));

// The web app manifest: what a browser needs to offer installing the page.
put('manifest.webmanifest', Buffer.from(JSON.stringify({
  name: 'Vetrix 报名照片审核',
  short_name: 'Vetrix',
  description: '报名照片上传前的审核与规范化工具，照片只在本设备上审核。',
  lang: 'zh-CN',
  dir: 'ltr',
  start_url: './',
  scope: './',
  display: 'standalone',
  background_color: '#ffffff',
  theme_color: '#1876d6',
  icons: [192, 512].map((size) => ({
    src: file(`icon-${size}.png`), sizes: `${size}x${size}`, type: 'image/png', purpose: 'any',
  })),
}, null, 1)));

const page = fill(source('index.html').toString('utf8'), { VERSION: shortVersion });
fs.writeFileSync(path.join(out, 'index.html'), page);

// The service worker's cache is named by the hash of every file it holds: any change to the
// site gives a new name, and the new worker replaces the old cache. It fetches the engine that
// its pages will run ahead, and any other when asked for.
const engineFiles = Object.fromEntries(Object.entries(engines).map(([variant, engine]) =>
  [variant, Object.values(engine).map(file)]));
const engineNames = new Set(Object.values(engineFiles).flat());
const precached = ['./', ...Object.values(named).filter((name) => !engineNames.has(name)).sort()];
const version = crypto.createHash('sha256')
  .update(page)
  .update([...precached, ...[...engineNames].sort()].join('\n'))
  .digest('hex').slice(0, 16);
fs.writeFileSync(path.join(out, 'sw.js'), fill(source('sw.js').toString('utf8'), {
  CACHE: JSON.stringify(`vetrix-${version}`),
  FILES: JSON.stringify(precached, null, 1),
  ENGINE_FILES: JSON.stringify(engineFiles, null, 1),
  ENGINES_SCRIPT: JSON.stringify(file('engines.js')),
}));
