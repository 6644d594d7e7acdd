// The site as assemble-site.js writes it, and the page's texts against the window's: what the
// candidate reads in the browser must be what the window and the engine say.
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { test } from 'node:test';

import { root, site } from './support.mjs';

const TEXTS = createRequire(import.meta.url)(path.join(root, 'web/site/texts.js'));
const source = (file) => fs.readFileSync(path.join(root, file), 'utf8');

// The C++ string literal that `pattern` (with one capture group) finds in `file`.
function literal(file, pattern) {
  const match = source(file).match(pattern);
  assert.ok(match, `${file}: ${pattern} not found`);
  return match[1];
}

test('the page\'s texts are the window\'s and the engine\'s', () => {
  assert.equal(TEXTS.cascadeMissing, literal('shell/VetrixDlg.cpp', /tr\("(文件缺失[^"]*)"\)/));
  const cannot = literal('shell/VetrixDlg.cpp', /tr\("(照片“%1”无法审核：%2)"\)/);
  assert.equal(TEXTS.cannotAudit('a.jpg', '内存不足'),
               cannot.replace('%1', 'a.jpg').replace('%2', '内存不足'));
  assert.equal(TEXTS.outOfMemory, literal('web/src/PageAudit.cpp', /g_failure = "([^"]*)"/));
  assert.equal(TEXTS.outOfMemory, literal('shell/VetrixDlg.cpp', /failure = tr\("([^"]*)"\)/));
  assert.equal(TEXTS.saveName, literal('shell/UserPrompts.h',
                                       /kSaveInitialName = QStringLiteral\("([^"]*)"\)/));
  assert.equal(TEXTS.logName, literal('log/Log.h', /Open\(const char\* fileName = "([^"]*)"\)/));
  assert.equal(TEXTS.reasonLabel, literal('tools/skingen/SkinLayout.h', /kReasonLabel = "([^"]*)"/));
  assert.equal(TEXTS.guideHeading, literal('tools/skingen/SkinLayout.h', /kGuideHeading = "([^"]*)"/));
  const guide = literal('tools/skingen/SkinLayout.h', /kGuide\{([^}]*(?:\}[^}]*)*?)\};/s);
  assert.deepEqual(TEXTS.guide, [...guide.matchAll(/((?:"[^"]*"\s*)+),/g)]
    .map((m) => m[1].replace(/"\s*"/g, '').replace(/^"|"\s*$/g, '')));

  // Each verdict: the engine's state name; the caption and reason drawn on its skin.
  const states = [...source('engine/ResultState.cpp').matchAll(/\{"(\w+)", "[^"]*"\}/g)]
    .map((m) => m[1]);
  assert.deepEqual(TEXTS.verdicts.map((v) => v.state), states);
  const skins = source('tools/skingen/SkinLayout.h');
  const specs = [...skins.slice(skins.indexOf('kSkins{'))
    .matchAll(/SkinContent\{[^,]+, FrameContent::(\w+),\s*"((?:[^"]|"\s*")*)",\s*"([^"]*)"\}/g)];
  assert.equal(specs.length, states.length, 'one skin per verdict');
  specs.forEach(([, content, text, caption], code) => {
    assert.equal(TEXTS.verdicts[code].caption, caption, `${states[code]}: caption`);
    assert.equal(TEXTS.verdicts[code].reason, content === 'Reason' ? text.replace(/"\s*"/g, '') : '',
                 `${states[code]}: reason`);
  });
});

test('the window\'s numbers are written once, in the layout header', () => {
  // The page's own sources carry no geometry: a number of the window's would mean a copy that
  // can go stale when the header changes.
  for (const file of ['vetrix.css', 'vetrix.js', 'camera.js', 'worker.js', 'engines.js',
                      'index.html']) {
    const text = source(`web/site/${file}`);
    for (const number of ['800', '600', '520', '197', '188', '276', '177', '228']) {
      assert.doesNotMatch(text, new RegExp(`\\b${number}(px)?\\b`), `${file} repeats ${number}`);
    }
    assert.doesNotMatch(text, /skin_\w+\.png/, `${file} names a skin`);
  }
  const layoutCss = fs.readdirSync(site).find((name) => /^layout\.[0-9a-f]+\.css$/.test(name));
  assert.ok(layoutCss, 'the site has its layout.css');
  assert.match(fs.readFileSync(path.join(site, layoutCss), 'utf8'),
               /#savePhoto \{ left: 520px; top: 188px; width: 197px; height: 48px; \}/);
  // The camera's button is the page's own: below the window, under the window's buttons.
  assert.match(fs.readFileSync(path.join(site, layoutCss), 'utf8'),
               /#takePhoto \{ left: 520px; top: 608px; width: 197px; height: 48px; \}/);
});

test('every file but the page and its service worker is named by its content', () => {
  const files = [];
  const walk = (dir) => {
    for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
      const file = path.join(dir, entry.name);
      if (entry.isDirectory()) walk(file);
      else files.push(path.relative(site, file));
    }
  };
  walk(site);
  const sw = fs.readFileSync(path.join(site, 'sw.js'), 'utf8');
  const precached = JSON.parse(sw.match(/const FILES = (\[[^\]]*\]);/)[1]);
  const engines = JSON.parse(sw.match(/const ENGINE_FILES = (\{[^}]*\});/)[1]);
  assert.ok('scalar' in engines, 'the site has the scalar engine, which runs everywhere');
  assert.deepEqual([...precached, ...Object.values(engines).flat()].sort(),
                   ['./', ...files.filter((f) => f !== 'index.html' && f !== 'sw.js')].sort(),
                   'the service worker knows every file, each once');
  for (const file of files) {
    if (file === 'index.html' || file === 'sw.js') continue;
    const hash = file.match(/\.([0-9a-f]{10})\.\w+$/);
    assert.ok(hash, `${file} carries no hash`);
    const bytes = fs.readFileSync(path.join(site, file));
    const sha = crypto.createHash('sha256').update(bytes).digest('hex');
    assert.equal(sha.slice(0, 10), hash[1], `${file}: the name does not match the content`);
  }
});
