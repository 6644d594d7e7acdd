// Writes the static site folder: the page (with the version filled in), its
// script, style and worker, the window's pictures and the face cascade. The engine
// (vetrix-engine.js and .wasm) is linked straight into the folder.
'use strict';

const fs = require('fs');
const path = require('path');

const args = {};
for (let i = 2; i < process.argv.length; i += 2) {
  args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
}
for (const key of ['source', 'pictures', 'cascade', 'version', 'out']) {
  if (!args[key]) {
    console.error(`assemble-site: --${key} is missing`);
    process.exit(2);
  }
}

// The about box says "1.0 版" for version 1.0.0, as the window does.
const shortVersion = args.version.split('.').slice(0, 2).join('.');

fs.mkdirSync(path.join(args.out, 'res'), { recursive: true });
const page = fs.readFileSync(path.join(args.source, 'index.html'), 'utf8')
  .replaceAll('{{VERSION}}', shortVersion);
fs.writeFileSync(path.join(args.out, 'index.html'), page);
for (const name of ['vetrix.css', 'vetrix.js', 'worker.js']) {
  fs.copyFileSync(path.join(args.source, name), path.join(args.out, name));
}
for (const name of fs.readdirSync(args.pictures)) {
  if (name.endsWith('.png')) {
    fs.copyFileSync(path.join(args.pictures, name), path.join(args.out, 'res', name));
  }
}
fs.copyFileSync(args.cascade, path.join(args.out, path.basename(args.cascade)));
for (const name of ['vetrix-engine.js', 'vetrix-engine.wasm']) {
  if (!fs.existsSync(path.join(args.out, name))) {
    console.error(`assemble-site: ${name} is missing in ${args.out}`);
    process.exit(1);
  }
}
