// The audit engine, run off the page's thread so that the page stays responsive. The page
// starts it from a blob: URL after setting self.VETRIX_BASE (the site's address),
// self.VETRIX_SITE (site.js's table), self.VETRIX_ENGINE_WISH (an engine asked for by name,
// or null) and self.VETRIX_NO_THREADS, and loading texts.js and engines.js. Requests run one at a time, in
// order; every reply carries the request's id. Besides
// replies the worker posts {type: 'progress'} while loading and {type: 'picture'} with the
// window's picture after every change of state.
'use strict';

const SITE = self.VETRIX_SITE;
const BASE = self.VETRIX_BASE;
const SKINS = SITE.layout.skins;  // by verdict code
const CASCADE = 'haarcascade_frontalface_alt2.xml';
const DIR = '/vetrix';

// The module's memory as bytes. A threads engine's memory may have grown on another thread,
// which leaves module.HEAPU8 viewing the old, shorter memory until the module notices; its
// memory (which only a threads engine exports) always has the current length.
function heap(module) {
  const memory = module.wasmMemory;
  if (!memory || memory.buffer.byteLength === module.HEAPU8.byteLength) return module.HEAPU8;
  return new Uint8Array(memory.buffer);
}

// Runs `use(address, length)` with a copy of `bytes` in the module's memory, freed after.
function inModuleMemory(module, bytes, use) {
  const view = new Uint8Array(bytes);
  const at = module._malloc(Math.max(view.length, 1));
  try {
    heap(module).set(view, at);
    return use(at, view.length);
  } finally {
    module._free(at);
  }
}

// Every call into the engine module, in one place.
const calls = {
  start(module, cascadeBytes) {
    module.FS.mkdir(DIR);
    module.FS.writeFile(`${DIR}/${CASCADE}`, cascadeBytes);
    return module.ccall('vetrix_start', 'number', ['string', 'string'],
                        [`${DIR}/${CASCADE}`, `${DIR}/${self.VETRIX_TEXTS.logName}`]) === 1;
  },
  // The verdict code, or -1 with the reason when no verdict was reached.
  // The photo is audited where it lies in the module's memory; it is never made a file.
  audit(module, bytes, name) {
    const state = inModuleMemory(module, bytes, (at, length) =>
      module.ccall('vetrix_audit', 'number', ['number', 'number', 'string'], [at, length, name]));
    if (state < 0) return { state, failure: module.ccall('vetrix_failure', 'string', [], []) };
    return { state, details: JSON.parse(module.ccall('vetrix_audit_json', 'string', [], [])) };
  },
  // Judges a camera frame (RGBA pixels): the engine encodes it once as a PNG file and audits
  // that file. The file comes back when `keep` is set or the frame passed (a capture keeps it).
  frame(module, pixels, width, height, keep) {
    const state = inModuleMemory(module, pixels, (at) =>
      module.ccall('vetrix_judge_frame', 'number', ['number', 'number', 'number'],
                   [at, width, height]));
    if (state < 0) return { state, failure: module.ccall('vetrix_failure', 'string', [], []) };
    const details = JSON.parse(module.ccall('vetrix_frame_json', 'string', [], []));
    const encodeMs = module.ccall('vetrix_frame_encode_ms', 'number', [], []);
    let file = null;
    if (keep || state === 1) {
      const lengthAt = module._malloc(4);
      try {
        const fileAt = module.ccall('vetrix_frame_file', 'number', ['number'], [lengthAt]);
        file = heap(module).slice(fileAt, fileAt + module.getValue(lengthAt, 'i32'));
      } finally {
        module._free(lengthAt);
      }
    }
    return { state, details, file, encodeMs };
  },
  // The bytes a save writes for the current Passed verdict, or null.
  savedBytes(module) {
    const lengthAt = module._malloc(4);
    try {
      const at = module.ccall('vetrix_saved_bytes', 'number', ['number'], [lengthAt]);
      const length = module.getValue(lengthAt, 'i32');
      return at === 0 ? null : heap(module).slice(at, at + length);
    } finally {
      module._free(lengthAt);
    }
  },
  // The window's picture for the current state, drawn on `skinBytes`, as RGBA pixels.
  picture(module, skinName, skinBytes) {
    const skin = `${DIR}/${skinName}`;
    module.FS.writeFile(skin, skinBytes);
    const size = module._malloc(8);
    try {
      const pixels = module.ccall('vetrix_picture', 'number', ['string', 'number', 'number'],
                                  [skin, size, size + 4]);
      if (pixels === 0) throw new Error(`the picture ${skinName} does not decode`);
      const width = module.getValue(size, 'i32');
      const height = module.getValue(size + 4, 'i32');
      return { width, height, data: heap(module).slice(pixels, pixels + width * height * 4) };
    } finally {
      module._free(size);
      module.FS.unlink(skin);
    }
  },
  reset(module) {
    module.ccall('vetrix_reset', null, [], []);
  },
  // Lets OpenCV run `count` threads (the workers the module started with).
  threads(module, count) {
    module.ccall('vetrix_threads', 'number', ['number'], [count]);
  },
  log(module) {
    return module.FS.readFile(`${DIR}/${self.VETRIX_TEXTS.logName}`);
  },
};

// Loading ----------------------------------------------------------------------------------

const urlOf = (logical) => BASE + SITE.files[logical];

// Fetches a site file whole: a transfer that breaks off or comes short is an error. Each chunk
// is counted by `onBytes`.
async function fetchBytes(logical, onBytes = () => {}) {
  const name = SITE.files[logical];
  const response = await fetch(BASE + name);
  if (!response.ok) throw new Error(`${name}: ${response.status} ${response.statusText}`);
  const chunks = [];
  let length = 0;
  const reader = response.body.getReader();
  for (;;) {
    const { done, value } = await reader.read();
    if (done) break;
    chunks.push(value);
    length += value.length;
    onBytes(value.length);
  }
  if (length !== SITE.sizes[name]) {
    throw new Error(`${name}: ${length} of ${SITE.sizes[name]} bytes arrived`);
  }
  const bytes = new Uint8Array(length);
  let at = 0;
  for (const chunk of chunks) {
    bytes.set(chunk, at);
    at += chunk.length;
  }
  return bytes;
}

// The engine this browser runs (engines.js).
const ENGINES = self.VETRIX_ENGINES;
// The page asks for an engine without threads after a threads engine failed to start in time.
const OFFERED = { ...ENGINES.detect(), ...(self.VETRIX_NO_THREADS ? { shared: false } : {}) };
const VARIANT = ENGINES.choose(SITE.engines, OFFERED, self.VETRIX_ENGINE_WISH);

// Loads and starts the engine `variant`. An engine that arrived whole but cannot start (its
// module does not compile or instantiate here, e.g. a shared memory the device cannot reserve)
// fails with `cannotStart` set.
async function loadEngine(variant) {
  const engine = SITE.engines[variant];
  // What the engine needs before the first audit; the window's pictures come afterwards.
  const essential = [engine.wasm, CASCADE, engine.js, ...(engine.threads ? [engine.threads] : [])];
  const total = essential.reduce((sum, logical) => sum + SITE.sizes[SITE.files[logical]], 0);
  let loaded = 0;
  const count = (n) => {
    loaded += n;
    self.postMessage({ type: 'progress', loaded, total });
  };
  self.postMessage({ type: 'progress', loaded, total });
  const wasm = fetchBytes(engine.wasm, count);
  const cascade = fetchBytes(CASCADE, count);
  const threadScript = engine.threads ? fetchBytes(engine.threads, count) : null;
  // The transfers are under way while the engine's script loads (which blocks this thread).
  importScripts(urlOf(engine.js));
  count(SITE.sizes[SITE.files[engine.js]]);
  const options = {};
  if (threadScript) {
    // The threads' workers start from a blob: URL, as this worker does, so that they run under
    // the page's policies (its Content Security Policy, its isolation); each loads the
    // engine's script from the site, as this worker did.
    const threadUrl = URL.createObjectURL(
      new Blob([await threadScript], { type: 'text/javascript' }));
    options.mainScriptUrlOrBlob = urlOf(engine.js);
    options.locateFile = (name, prefix) =>
      (name.endsWith('.worker.js') ? threadUrl : prefix + name);
    options.vetrixThreads = ENGINES.threads(OFFERED);
  }
  options.wasmBinary = await wasm;
  await cascade;  // a transfer that failed is a failure to load, not to start
  // Everything has arrived: from here on, the page gives a threads engine a deadline to start
  // (its threads' workers may never answer, which leaves this thread waiting for good).
  self.postMessage({ type: 'starting', variant, threads: Boolean(engine.threads) });
  let module;
  try {
    module = await createVetrixEngine(options);
  } catch (error) {
    throw Object.assign(new Error(`${variant}: ${(error && error.message) || error}`),
                        { cannotStart: true });
  }
  const cascadeLoaded = calls.start(module, await cascade);
  if (engine.threads) calls.threads(module, options.vetrixThreads);
  return { module, cascadeLoaded, variant };
}

// The chosen engine, or, when it cannot start, the one chosen without shared memory (the
// threads engine's), or else the scalar one.
async function loadAnyEngine() {
  const tried = new Set();
  for (const variant of [VARIANT, ENGINES.choose(SITE.engines, { ...OFFERED, shared: false }, null),
                         'scalar']) {
    if (tried.has(variant)) continue;
    tried.add(variant);
    try {
      return await loadEngine(variant);
    } catch (error) {
      if (!error.cannotStart || variant === 'scalar') throw error;
    }
  }
  throw new Error('no engine starts');
}

// The window's pictures, each fetched once, when first needed or after loading.
const skins = new Map();
function skin(state) {
  const name = SKINS[state] ?? SKINS[0];
  if (!skins.has(name)) {
    const bytes = fetchBytes(`res/${name}`);
    bytes.catch(() => skins.delete(name));  // asked again next time
    skins.set(name, bytes);
  }
  return skins.get(name);
}

let engine = null;

async function postPicture(module, state) {
  const name = SKINS[state] ?? SKINS[0];
  const picture = calls.picture(module, name, await skin(state));
  self.postMessage({ type: 'picture', picture }, [picture.data.buffer]);
}

// Requests ---------------------------------------------------------------------------------

const handlers = {
  async start() {
    engine = loadAnyEngine();
    const { module, cascadeLoaded, variant } = await engine;
    // The idle picture first, the others in the background, once the reply is on its way.
    after(() => postPicture(module, 0));
    after(() => {
      Promise.allSettled(SKINS.map((_, state) => skin(state)))
        .then(() => self.postMessage({ type: 'pictures' }));
    });
    // When the engine became ready, on the clock the page shares (for bench/web-load.mjs).
    return { cascadeLoaded, engine: variant, readyAt: performance.timeOrigin + performance.now() };
  },
  async audit(module, request) {
    const result = calls.audit(module, request.bytes, request.name);
    if (result.state < 0) {
      after(() => postPicture(module, 0));
      return { failure: result.failure };
    }
    const saved = result.state === 1 ? calls.savedBytes(module) : null;
    after(() => postPicture(module, result.state));
    return { state: result.state, details: result.details, saved };
  },
  async frame(module, request) {
    const start = performance.now();
    const result = calls.frame(module, request.pixels, request.width, request.height,
                               request.keep);
    return { ...result, judgeMs: performance.now() - start };
  },
  async reset(module) {
    calls.reset(module);
    after(() => postPicture(module, 0));
    return {};
  },
  async log(module) {
    return { bytes: calls.log(module) };
  },
};

// One request at a time, in order; work queued with after() runs before the next request, so
// a picture always shows the state it was asked for.
let queue = Promise.resolve();
function after(job) {
  queue = queue.then(job).catch(() => {});
}

self.onmessage = (event) => {
  const request = event.data;
  after(async () => {
    let reply;
    try {
      const handler = handlers[request.type];
      if (!handler) throw new Error('unknown request ' + request.type);
      const module = request.type === 'start' ? null : (await engine).module;
      reply = { id: request.id, ok: true, ...(await handler(module, request)) };
    } catch (error) {
      reply = { id: request.id, ok: false, error: String((error && error.message) || error) };
    }
    const transfer = [];
    if (reply.bytes) transfer.push(reply.bytes.buffer);
    if (reply.saved) transfer.push(reply.saved.buffer);
    if (reply.file) transfer.push(reply.file.buffer);
    self.postMessage(reply, transfer);
  });
};
