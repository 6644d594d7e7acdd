// The audit engine, run off the page's thread so that the page stays responsive. The page
// sends one request at a time; every reply carries the request's id.
'use strict';

importScripts('vetrix-engine.js');

// The window's pictures, by verdict code (Idle, Passed, BadBackground, BadFormat,
// NoSinglePortrait, BadProportion, BadSize).
const SKINS = [
  'skin_idle.png', 'skin_passed.png', 'skin_bad_background.png', 'skin_bad_format.png',
  'skin_no_single_portrait.png', 'skin_bad_proportion.png', 'skin_bad_size.png',
];
const CASCADE = 'haarcascade_frontalface_alt2.xml';
const DIR = '/vetrix';
const LOG = DIR + '/Test.log';

async function fetchBytes(url) {
  const response = await fetch(url);
  if (!response.ok) {
    throw new Error(`${url}: ${response.status} ${response.statusText}`);
  }
  return new Uint8Array(await response.arrayBuffer());
}

// Everything is fetched now, while the page loads; no request is made after this.
const engine = (async () => {
  const names = [CASCADE, ...SKINS];
  const [module, ...files] = await Promise.all([
    createVetrixEngine(),
    ...names.map((name) => fetchBytes(name === CASCADE ? name : 'res/' + name)),
  ]);
  module.FS.mkdir(DIR);
  names.forEach((name, i) => module.FS.writeFile(`${DIR}/${name}`, files[i]));
  const cascadeLoaded = module.ccall('vetrix_start', 'number', ['string', 'string'],
                                     [`${DIR}/${CASCADE}`, LOG]) === 1;
  return { module, cascadeLoaded };
})();

// The picture of the current state, as RGBA pixels.
function picture(module, state) {
  const skin = `${DIR}/${SKINS[state] ?? SKINS[0]}`;
  const size = module._malloc(8);
  try {
    const pixels = module.ccall('vetrix_picture', 'number', ['string', 'number', 'number'],
                                [skin, size, size + 4]);
    if (pixels === 0) {
      throw new Error('the picture ' + skin + ' does not decode');
    }
    const width = module.getValue(size, 'i32');
    const height = module.getValue(size + 4, 'i32');
    const data = module.HEAPU8.slice(pixels, pixels + width * height * 4);
    return { width, height, data };
  } finally {
    module._free(size);
  }
}

function reset(module) {
  module.ccall('vetrix_reset', null, [], []);
  return picture(module, 0);
}

const handlers = {
  start(module, request, extra) {
    return { cascadeLoaded: extra.cascadeLoaded, picture: picture(module, 0) };
  },
  audit(module, request) {
    // The photo is audited where it lies in the module's memory; it is never made a file.
    const bytes = new Uint8Array(request.bytes);
    const at = module._malloc(Math.max(bytes.length, 1));
    let state;
    try {
      module.HEAPU8.set(bytes, at);
      state = module.ccall('vetrix_audit', 'number', ['number', 'number', 'string'],
                           [at, bytes.length, request.name]);
    } finally {
      module._free(at);
    }
    if (state < 0) {
      return { failure: module.ccall('vetrix_failure', 'string', [], []), picture: picture(module, 0) };
    }
    const details = JSON.parse(module.ccall('vetrix_audit_json', 'string', [], []));
    return { state, details, picture: picture(module, state) };
  },
  save(module) {
    const lengthAt = module._malloc(4);
    let bytes = null;
    try {
      const at = module.ccall('vetrix_saved_bytes', 'number', ['number'], [lengthAt]);
      const length = module.getValue(lengthAt, 'i32');
      bytes = at === 0 ? null : module.HEAPU8.slice(at, at + length);
    } finally {
      module._free(lengthAt);
    }
    // Saved or not, the photo cannot be saved again until it passes a new audit.
    return { bytes, picture: reset(module) };
  },
  reset(module) {
    return { picture: reset(module) };
  },
  log(module) {
    return { bytes: module.FS.readFile(LOG) };
  },
};

self.onmessage = async (event) => {
  const request = event.data;
  let reply;
  try {
    const { module, cascadeLoaded } = await engine;
    const handler = handlers[request.type];
    if (!handler) {
      throw new Error('unknown request ' + request.type);
    }
    reply = { id: request.id, ok: true, ...handler(module, request, { cascadeLoaded }) };
  } catch (error) {
    reply = { id: request.id, ok: false, error: String(error && error.message || error) };
  }
  const transfer = [];
  if (reply.picture) transfer.push(reply.picture.data.buffer);
  if (reply.bytes) transfer.push(reply.bytes.buffer);
  self.postMessage(reply, transfer);
};
