// Which of the site's engines a browser runs. Every engine gives the same verdicts and saved
// bytes; they differ in speed and in what they need:
//   simd-threads  WebAssembly SIMD, and shared memory for its threads: the page must be
//                 cross-origin isolated (the host's headers, or the service worker's)
//   simd          WebAssembly SIMD
//   scalar        nothing: runs everywhere
// Loaded by the worker (which chooses) and by the service worker (which keeps the engine that
// its pages will choose).
'use strict';

self.VETRIX_ENGINES = (() => {
  // The smallest module using a SIMD instruction (i8x16.splat, i8x16.popcnt): it validates
  // only where WebAssembly SIMD is there.
  const SIMD_PROBE = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2,
                                     1, 0, 10, 10, 1, 8, 0, 65, 0, 253, 15, 253, 98, 11]);
  const THREADS_AT_MOST = 4;

  // What the browser here offers.
  function detect(scope = self) {
    let simd = false;
    try {
      simd = typeof WebAssembly === 'object' && WebAssembly.validate(SIMD_PROBE);
    } catch {
      simd = false;
    }
    return {
      simd,
      shared: scope.crossOriginIsolated === true && typeof SharedArrayBuffer === 'function',
      cores: Number(scope.navigator?.hardwareConcurrency) || 1,
    };
  }

  // The variant to run among `available` (the site's engines) for the facts `offered` (as
  // detect() gives them); `wish` names one to take when it is there and can run here (a
  // debugging switch).
  function choose(available, offered, wish) {
    const runs = {
      scalar: true, simd: offered.simd, 'simd-threads': offered.simd && offered.shared,
    };
    if (wish && wish in available && runs[wish]) return wish;
    if (offered.simd && offered.shared && offered.cores > 1 && 'simd-threads' in available) {
      return 'simd-threads';
    }
    if (offered.simd && 'simd' in available) return 'simd';
    return 'scalar';
  }

  // How many threads a threads engine runs: one per core, at most THREADS_AT_MOST (each is a
  // worker holding the module's code).
  const threads = (offered) => Math.max(1, Math.min(offered.cores, THREADS_AT_MOST));

  return { detect, choose, threads, SIMD_PROBE };
})();
