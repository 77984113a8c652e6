// The service worker: opens the app without a network from its cached shell, and turns the
// relay's pushes into notifications that open their question.
const sw = self as unknown as ServiceWorkerGlobalScope;
declare const SHELL_FILES: string[];
declare const SHELL_VERSION: string;

const cacheName = `quillet-${SHELL_VERSION}`;

sw.addEventListener('install', (event) => {
  event.waitUntil(caches.open(cacheName).then((cache) => cache.addAll(SHELL_FILES)).then(() => sw.skipWaiting()));
});

sw.addEventListener('activate', (event) => {
  event.waitUntil(
    caches
      .keys()
      .then((names) => Promise.all(names.filter((name) => name !== cacheName).map((name) => caches.delete(name))))
      .then(() => sw.clients.claim()),
  );
});

sw.addEventListener('fetch', (event) => {
  const url = new URL(event.request.url);
  if (event.request.method !== 'GET' || url.origin !== sw.location.origin || url.pathname.startsWith('/api/')) return;
  if (event.request.mode === 'navigate') {
    // The newest page when the server answers, the cached one when it does not.
    event.respondWith(fetch(event.request).catch(() => caches.match('/') as Promise<Response>));
    return;
  }
  event.respondWith(caches.match(event.request).then((cached) => cached ?? fetch(event.request)));
});

type QuestionPush = {
  type: string;
  question_id: string;
  project_name?: string;
  pane_target?: string;
  question_text?: string;
};

sw.addEventListener('push', (event) => {
  let message: QuestionPush;
  try {
    message = event.data?.json();
  } catch {
    return;
  }
  if (message?.type !== 'question.posted') return;
  event.waitUntil(
    sw.registration.showNotification(message.project_name || message.pane_target || 'Quillet', {
      body: message.question_text ?? '',
      tag: message.question_id,
      icon: '/icon-192.png',
      data: { url: `/#/questions/${message.question_id}` },
    }),
  );
});

sw.addEventListener('notificationclick', (event) => {
  event.notification.close();
  const url = new URL(event.notification.data?.url ?? '/', sw.location.origin).href;
  event.waitUntil(
    sw.clients.matchAll({ type: 'window', includeUncontrolled: true }).then(async (windows: readonly WindowClient[]) => {
      for (const client of windows) {
        if (new URL(client.url).origin === sw.location.origin) {
          await client.focus();
          return client.navigate(url);
        }
      }
      return sw.clients.openWindow(url);
    }),
  );
});
