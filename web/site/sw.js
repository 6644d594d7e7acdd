// The service worker: keeps the files of the site in one cache named by the site's version,
// so that the page opens and audits without a network after the first visit. assemble-site.js
// fills in the cache name and the file lists.
//
// It also makes the pages it serves cross-origin isolated, by adding the two headers a host
// would send (COOP and COEP): that lets the page run the threads engine, whose memory is
// shared between threads, on a host that cannot send headers. A page is controlled from its
// next load on; the first visit runs the engine it can without isolation.
'use strict';

const CACHE = {{CACHE}};
const FILES = {{FILES}};  // every file but the engines
const ENGINE_FILES = {{ENGINE_FILES}};  // each engine's files, by variant
importScripts({{ENGINES_SCRIPT}});

// Of the engines, only the one that its (isolated) pages will choose is fetched ahead; another
// one that a page asks for anyway is kept when it arrives.
const PRECACHED_ENGINE = self.VETRIX_ENGINES.choose(
  ENGINE_FILES, { ...self.VETRIX_ENGINES.detect(self), shared: true }, null);
const ENGINE_NAMES = new Set(Object.values(ENGINE_FILES).flat());

self.addEventListener('install', (event) => {
  // The page itself is asked for afresh; the other names carry their content's hash, so a copy
  // the browser already holds is the right one.
  const urls = [...FILES, ...ENGINE_FILES[PRECACHED_ENGINE]];
  event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(
    urls.map((url) => new Request(url, { cache: url === './' ? 'no-cache' : 'default' })))));
});

// A new version takes over once no page of the old one is open; then the old caches go.
self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys()
    .then((keys) => Promise.all(keys.filter((key) => key.startsWith('vetrix-') && key !== CACHE)
      .map((key) => caches.delete(key))))
    .then(() => self.clients.claim()));
});

// The response with the headers of cross-origin isolation added.
function isolated(response) {
  if (response.type === 'opaque' || response.status === 0) return response;
  const headers = new Headers(response.headers);
  headers.set('Cross-Origin-Opener-Policy', 'same-origin');
  headers.set('Cross-Origin-Embedder-Policy', 'require-corp');
  return new Response(response.body, {
    status: response.status, statusText: response.statusText, headers,
  });
}

self.addEventListener('fetch', (event) => {
  const request = event.request;
  const url = new URL(request.url);
  if (request.method !== 'GET' || url.origin !== self.location.origin) return;
  event.respondWith((async () => {
    const cache = await caches.open(CACHE);
    const cached = request.mode === 'navigate'
      ? await cache.match('./')
      : await cache.match(request, { ignoreSearch: true });
    if (cached) return isolated(cached);
    const response = await fetch(request);
    const name = url.pathname.slice(url.pathname.lastIndexOf('/') + 1);
    if (response.ok && ENGINE_NAMES.has(name)) await cache.put(request, response.clone());
    return isolated(response);
  })());
});
