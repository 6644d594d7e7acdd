// The engine built for the web against the native one: vetrix-audit.js must print, save and
// log exactly what the native vetrix-audit does; so must the node command of every other
// variant the site ships (simd, simd-threads), built from the same code and libraries as its
// engine.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { nodeCommands, runNativeAudit, runNodeAudit, tempDir, testData } from './support.mjs';

// Every file of a folder, by name, with its bytes.
function filesOf(dir) {
  return Object.fromEntries(fs.readdirSync(dir).sort()
    .map((name) => [name, fs.readFileSync(path.join(dir, name))]));
}

// Log entries without their time stamps, which differ between the runs.
function logEntries(file) {
  return fs.readFileSync(file, 'utf8').split('\r\n')
    .map((line) => line.replace(/^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t/, ''));
}

// Standard output with the run's own folder written as DIR. The native engine keeps libjpeg's
// warnings with their photo (the JSON key "warnings"); the web build's libjpeg prints them on
// standard error instead, so that key is left out of the comparison.
function comparable(stdout, dir) {
  const text = dir ? stdout.split(dir).join('DIR') : stdout;
  return text.replace(/, "warnings": \[[^\]]*\]/g, '');
}

function assertSameRun(native, web, what, dirs = {}) {
  assert.equal(comparable(web.stdout, dirs.web), comparable(native.stdout, dirs.native),
               `${what}: standard output`);
  assert.equal(web.status, native.status, `${what}: exit status`);
  // The summary line ends with the time taken, which differs. (The web build's libjpeg also
  // prints its warnings there, which the native engine keeps with the photo.)
  const counts = (r) => r.stderr.trim().split('\n').at(-1).replace(/ in [\d.]+ s/, '');
  assert.equal(counts(web), counts(native), `${what}: summary`);
}

for (const { variant, command } of nodeCommands()) {
  test(`${variant}: the example photos give the same JSON, saved bytes and log lines`, (t) => {
    const dirs = { native: tempDir(t, 'native'), web: tempDir(t, 'web') };
    const results = {};
    for (const [which, dir] of Object.entries(dirs)) {
      fs.mkdirSync(path.join(dir, 'saved'));
      const args = ['--json', '--save', path.join(dir, 'saved'), '--log', path.join(dir, 'Test.log'),
                    testData];
      results[which] = which === 'native' ? runNativeAudit(['--jobs', '1', ...args])
                                          : runNodeAudit(args, {}, command);
    }
    assertSameRun(results.native, results.web, 'tests/data --json', dirs);
    assert.ok(results.web.stdout.split('\n').length > 15, 'every example photo is reported');

    const saved = { native: filesOf(path.join(dirs.native, 'saved')),
                    web: filesOf(path.join(dirs.web, 'saved')) };
    assert.deepEqual(Object.keys(saved.web), Object.keys(saved.native), 'the same photos saved');
    assert.ok(Object.keys(saved.web).length >= 5, 'several example photos pass');
    for (const name of Object.keys(saved.native)) {
      assert.ok(saved.web[name].equals(saved.native[name]), `${name}: saved bytes differ`);
    }
    assert.deepEqual(logEntries(path.join(dirs.web, 'Test.log')),
                     logEntries(path.join(dirs.native, 'Test.log')), 'log lines');
  });

  test(`${variant}: the text output and bad input match the native command`, (t) => {
    const dir = tempDir(t, 'bad');
    const photo = fs.readFileSync(path.join(testData, 'pass_white_test3_295x413.jpg'));
    const files = {
      'empty.jpg': Buffer.alloc(0),
      'text.jpg': Buffer.from('not a photo at all\n'.repeat(2000)),
      'truncated.jpg': photo.subarray(0, photo.length >> 1),
      'header-only.jpg': photo.subarray(0, 600),
      // A PNG header announcing 100000 x 100000 pixels, with no pixels behind it.
      'bomb.png': Buffer.from('89504e470d0a1a0a0000000d49484452000186a0000186a00802000000' +
                              '27309c9f', 'hex'),
      'tiff.jpg': Buffer.from('49492a0008000000' + '00'.repeat(64), 'hex'),
    };
    for (const [name, bytes] of Object.entries(files)) fs.writeFileSync(path.join(dir, name), bytes);
    const names = Object.keys(files).map((name) => path.join(dir, name));
    const missing = path.join(dir, 'missing.jpg');
    const args = [...names, missing, path.join(testData, 'pass_red_test2_295x413.jpg')];
    assertSameRun(runNativeAudit(['--jobs', '1', ...args]), runNodeAudit(args, {}, command),
                  'bad input, text');
    assertSameRun(runNativeAudit(['--jobs', '1', '--json', ...args]),
                  runNodeAudit(['--json', ...args], {}, command), 'bad input, --json');
  });
}

test('usage errors are refused as the native command refuses them', (t) => {
  const dir = tempDir(t, 'usage');
  const file = path.join(dir, 'file');
  fs.writeFileSync(file, '');
  for (const args of [[], ['--nonsense', testData], ['--save'], ['--save', file, testData]]) {
    const web = runNodeAudit(args);
    assert.equal(web.status, 2, `${args.join(' ')}: status`);
    assert.equal(web.stdout, '', `${args.join(' ')}: nothing audited`);
    assert.equal(runNativeAudit(args).status, 2, `${args.join(' ')}: native status`);
  }
  assert.equal(runNodeAudit(['--jobs', '2', testData]).status, 2, '--jobs is not offered');
  const help = runNodeAudit(['--help']);
  assert.equal(help.status, 0);
  for (const option of ['--json', '--save', '--log', '--cascade']) {
    assert.ok(help.stdout.includes(option), `--help mentions ${option}`);
  }
});
