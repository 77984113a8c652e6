// The phone app in a real browser (Debian's chromium) against a real quillet-server on
// loopback, the test playing the agent and the account through the API.
import assert from 'node:assert/strict';
import { after, before, test } from 'node:test';
import { Relay } from './relay.mjs';

const relay = new Relay();
before(() => relay.start());
after(() => relay.stop());

test('the server serves the app with its types, caching and policy', async () => {
  const index = await fetch(relay.base + '/');
  const html = await index.text();
  const csp = index.headers.get('content-security-policy');
  assert.match(csp, /script-src 'self';/);
  assert.doesNotMatch(csp, /unsafe-inline|unsafe-eval/);
  assert.doesNotMatch(html, /<script(?![^>]*\bsrc=)[^>]*>/, 'no inline script');
  const script = /src="(\/assets\/[^"]+\.js)"/.exec(html)[1];
  const style = /href="(\/assets\/[^"]+\.css)"/.exec(html)[1];
  const rows = [
    // path, status, content type, cache control
    ['/', 200, /^text\/html/, /^no-cache$/],
    [script, 200, /^text\/javascript/, /immutable/],
    [style, 200, /^text\/css/, /immutable/],
    ['/sw.js', 200, /^text\/javascript/, /^no-cache$/],
    ['/manifest.webmanifest', 200, /^application\/manifest\+json$/, /^no-cache$/],
    ['/icon-192.png', 200, /^image\/png$/, /^no-cache$/],
    ['/assets/missing.js', 404, /json/, /no-store/],
    ['/assets/', 404, /json/, /no-store/],
    ['/api/unknown', 404, /json/, /no-store/],
    ['/api/health', 200, /json/, /no-store/],
  ];
  for (const [path, status, type, cache] of rows) {
    const response = await fetch(relay.base + path);
    assert.equal(response.status, status, path);
    assert.match(response.headers.get('content-type'), type, path);
    assert.match(response.headers.get('cache-control'), cache, path);
  }
  assert.equal((await fetch(relay.base + '/', { method: 'POST' })).status, 405);
  const manifest = await (await fetch(relay.base + '/manifest.webmanifest')).json();
  for (const icon of manifest.icons) assert.equal((await fetch(relay.base + icon.src)).status, 200, icon.src);
});
