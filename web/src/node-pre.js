// Loaded before the engine's own loader. The WebAssembly binary is read from beside this
// script: the loader would otherwise fetch() it, which node's fetch cannot do for a file path.
// The face cascade is installed beside the script too; the command falls back to that copy
// when the working directory has none. A threads build also loads this script in each of its
// threads, which are handed the compiled module and run no program of their own.
if (!Module['ENVIRONMENT_IS_PTHREAD']) {
  Module['wasmBinary'] = require('fs').readFileSync(require('path').join(__dirname, 'vetrix-audit.wasm'));
  Module['preRun'] = Module['preRun'] || [];
  Module['preRun'].push(function () {
    ENV['VETRIX_SYSTEM_CASCADE'] = require('path').join(__dirname, 'haarcascade_frontalface_alt2.xml');
  });
}
