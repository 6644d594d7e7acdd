// The service worker: keeps every file of the site in one cache named by the site's version,
// so that the page opens and audits without a network after the first visit. assemble-site.js
// fills in the cache name and the file list.
'use strict';

const CACHE = {{CACHE}};
const FILES = {{FILES}};

self.addEventListener('install', (event) => {
  // The page itself is asked for afresh; the other names carry their content's hash, so a copy
  // the browser already holds is the right one.
  event.waitUntil(caches.open(CACHE).then((cache) => cache.addAll(
    FILES.map((url) => new Request(url, { cache: url === './' ? 'no-cache' : 'default' })))));
});

// A new version takes over once no page of the old one is open; then the old caches go.
self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys()
    .then((keys) => Promise.all(keys.filter((key) => key.startsWith('vetrix-') && key !== CACHE)
      .map((key) => caches.delete(key))))
    .then(() => self.clients.claim()));
});

self.addEventListener('fetch', (event) => {
  const request = event.request;
  if (request.method !== 'GET' || new URL(request.url).origin !== self.location.origin) return;
  event.respondWith((async () => {
    const cache = await caches.open(CACHE);
    const cached = request.mode === 'navigate'
      ? await cache.match('./')
      : await cache.match(request, { ignoreSearch: true });
    return cached || fetch(request);
  })());
});
