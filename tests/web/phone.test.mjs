// The phone app in a real browser (Debian's chromium) against a real quillet-server on
// loopback, the test playing the agent and the account through the API.
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { after, before, test } from 'node:test';
import { freePort, Relay } from './relay.mjs';

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
});

const chromium = '/usr/bin/chromium';
const noChromium = !existsSync(chromium) && `no ${chromium}: install Debian's chromium`;
const screenshots = process.env.QUILLET_SCREENSHOTS; // a folder: the README's pictures

// A phone-sized page in a headless chromium that closes with the test, and a wait for an element
// whose text matches.
async function phone(t, { timeout = 20_000 } = {}) {
  const puppeteer = (await import('puppeteer-core')).default;
  const browser = await puppeteer.launch({ executablePath: chromium, headless: true, args: ['--no-sandbox'] });
  t.after(() => browser.close());
  const page = await browser.newPage();
  await page.setViewport({ width: 390, height: 844, isMobile: true, hasTouch: true });
  const waitText = (selector, pattern) => page.waitForFunction(
    (s, p) => [...document.querySelectorAll(s)].some((e) => new RegExp(p).test(e.textContent)),
    { timeout }, selector, pattern.source);
  return { browser, page, waitText };
}

test('a phone pairs, answers, drives a pane and a project, survives a drop and is unpaired', {
  skip: noChromium,
  timeout: 240_000,
}, async (t) => {
  const { browser, page, waitText } = await phone(t);
  await browser.defaultBrowserContext().overridePermissions(relay.base, ['notifications']);
  // Screens render from events and fetches that race the test: wait for a control before using it.
  const click = async (selector) => {
    await page.waitForSelector(selector, { visible: true, timeout: 20_000 });
    await page.click(selector);
  };
  const shoot = async (name) => screenshots && page.screenshot({ path: `${screenshots}/${name}.png` });

  await relay.register('phone-user');
  const session = (await relay.agent('POST', '/api/sessions', { agent_label: 'Quillet', project_name: 'webshop', pane_target: 'work:0.1' })).data;
  await relay.agent('PUT', '/api/projects', {
    projects: [{ id: 'p1', name: 'webshop', directory: '/src/webshop', tmux_session_name: 'webshop', launch_command: 'claude', tool: 'claude', auto_launch: false, is_running: false }],
  });

  // The first questions list read after pairing answers, empty, only once questions came by
  // the stream: a list older than those events must not drop them.
  let releaseLists;
  const listsHeld = new Promise((resolve) => (releaseLists = resolve));
  let firstList = true;
  await page.setRequestInterception(true);
  page.on('request', (r) => {
    if (!r.url().endsWith('/api/questions?status=pending') || !firstList) return r.continue();
    firstList = false;
    listsHeld.then(() => r.respond({ status: 200, contentType: 'application/json', body: '[]' }));
  });

  // 1. Pairing with the code typed in lower case, with the blank; the device shows at once.
  await page.goto(relay.base + '/');
  const code = await relay.pairingCode();
  await page.type('#code', `${code.slice(0, 3)} ${code.slice(3)}`.toLowerCase());
  await shoot('phone-pair');
  await click('#pair');
  await waitText('#connection', /Live/);
  const devices = (await relay.call('GET', '/api/paired-devices', relay.access)).data;
  assert.equal(devices.length, 1);

  // 2. Questions appear without a reload, newest first, with the quick answers their screen offers.
  const yesNo = (await relay.agent('POST', `/api/sessions/${session.id}/questions`, {
    question_text: 'Deploy to production? (y/n)',
    context: '$ ./deploy.sh\nBuilding… done\nDeploy to production? (y/n)',
  })).data;
  const menu = (await relay.agent('POST', `/api/sessions/${session.id}/questions`, {
    question_text: 'Make auto mode your default permission mode?',
    context: ' Make auto mode your default permission mode?\n\n ❯ Yes, make it the default\n   No, keep manual mode\n\n Enter to confirm · Esc to cancel',
  })).data;
  const numbered = (await relay.agent('POST', `/api/sessions/${session.id}/questions`, {
    question_text: 'Do you want to make this edit to app.ts?',
    context: ' Do you want to make this edit to app.ts?\n ❯ 1. Yes\n   2. Yes, allow all edits during this session\n   3. No, and tell Claude what to do differently (esc)',
  })).data;
  await waitText('article h2', /make this edit/);
  const listsRead = page.waitForResponse((r) => r.url().endsWith('/api/questions?status=pending'));
  releaseLists();
  await listsRead;
  await new Promise((resolve) => setTimeout(resolve, 200));
  assert.deepEqual(await page.$$eval('article h2', (all) => all.map((h) => h.textContent)),
    ['Do you want to make this edit to app.ts?', 'Make auto mode your default permission mode?', 'Deploy to production? (y/n)']);
  assert.deepEqual(await page.$$eval(`article[data-id="${numbered.id}"] .quick button`, (all) => all.map((b) => b.textContent)),
    ['1. Yes', '2. Yes, allow all edits during this session', '3. No, and tell Claude what to do differently (esc)']);
  assert.deepEqual(await page.$$eval(`article[data-id="${menu.id}"] .quick button`, (all) => all.map((b) => b.textContent)),
    ['Yes, make it the default', 'No, keep manual mode']);
  await shoot('phone-inbox');

  // The service worker shows a pushed question; answering it closes that notification.
  const cdp = await page.createCDPSession();
  const registration = new Promise((resolve) =>
    cdp.on('ServiceWorker.workerRegistrationUpdated', ({ registrations }) => registrations[0] && resolve(registrations[0].registrationId)));
  await cdp.send('ServiceWorker.enable');
  const registrationId = await registration;
  const push = JSON.stringify({ type: 'question.posted', question_id: yesNo.id, session_id: session.id, project_name: 'webshop', pane_target: 'work:0.1', question_text: yesNo.question_text });
  // The push's notification, once its tag is shown (or gone). A worker that is still starting may
  // miss a push that the test injects, so the push is repeated: its tag keeps it one notification.
  const notifications = async (count, deliver) => {
    for (let tries = 0; tries < 100; ++tries) {
      if (deliver && tries % 10 === 0) await cdp.send('ServiceWorker.deliverPushMessage', { origin: relay.base, registrationId, data: push });
      const shown = await page.evaluate(async (tag) =>
        (await (await navigator.serviceWorker.ready).getNotifications({ tag })).map((n) => [n.title, n.body, n.data.url]), yesNo.id);
      if (shown.length === count) return shown;
      await new Promise((resolve) => setTimeout(resolve, 200));
    }
    assert.fail(`not ${count} notifications`);
  };
  assert.deepEqual(await notifications(1, true), [['webshop', 'Deploy to production? (y/n)', `/#/questions/${yesNo.id}`]]);

  await click(`article[data-id="${yesNo.id}"] button[aria-label="Answer Yes"]`);
  await waitText(`article[data-id="${yesNo.id}"] .state`, /Sent/);
  const reply = await relay.agent('GET', `/api/sessions/${session.id}/questions/${yesNo.id}/reply`);
  assert.equal(reply.data.reply_text, 'y');
  await notifications(0);
  await relay.agent('POST', `/api/sessions/${session.id}/stream`, { content: '$ ./deploy.sh\nDeploy to production? (y/n) y\nDeploying…' });
  await waitText(`article[data-id="${yesNo.id}"] .state`, /Typed into the pane/);
  await click(`article[data-id="${menu.id}"] button[aria-label="Answer No, keep manual mode"]`);
  await waitText(`article[data-id="${menu.id}"] .state`, /Sent/);
  assert.equal((await relay.agent('GET', `/api/sessions/${session.id}/questions/${menu.id}/reply`)).data.reply_text, '2');

  // 3. The session's screen follows the stream; keys go as keys, text as text.
  await page.goto(`${relay.base}/#/sessions/${session.id}`);
  await waitText('#screen', /Deploying…/);
  await relay.agent('POST', `/api/sessions/${session.id}/stream`, { content: '$ ./deploy.sh\nDeploying… done\n$ ' });
  await waitText('#screen', /done/);
  await click('button[data-key="Escape"]');
  await page.type('#input-text', 'npm test');
  await page.keyboard.press('Enter');
  await waitText('.sent li', /npm test.*sent$/);
  const inputs = (await relay.agent('GET', `/api/sessions/${session.id}/inputs`)).data;
  assert.deepEqual(inputs.map((i) => i.key ?? i.input_text), ['Escape', 'npm test']);
  for (const input of inputs) await relay.agent('PATCH', `/api/sessions/${session.id}/inputs/${input.id}`, { status: 'delivered' });
  await waitText('.sent li', /npm test.*typed/);
  await shoot('phone-session');

  // 4. A drop: the state shows, what is typed waits, and the events missed are caught up.
  await relay.stop();
  await waitText('#connection', /Offline since \d\d:\d\d/);
  await page.setOfflineMode(true);
  await page.type('#input-text', 'typed offline');
  await page.keyboard.press('Enter');
  await waitText('.sent li', /typed offline.*Waiting for the connection/);
  await relay.start();
  const burst = ['Run the migrations?', 'Seed the database?', 'Open the browser?'];
  const missed = [];
  for (const question_text of burst)
    missed.push((await relay.agent('POST', `/api/sessions/${session.id}/questions`, { question_text, context: question_text })).data);
  await page.setOfflineMode(false);
  await waitText('#connection', /Live/);
  await waitText('.sent li', /typed offline.*sent/);
  const resent = (await relay.agent('GET', `/api/sessions/${session.id}/inputs`)).data;
  assert.deepEqual(resent.map((i) => i.input_text), ['typed offline']);
  await click('nav a[href="#/inbox"]');
  await waitText('article h2', /Open the browser\?/);
  assert.deepEqual((await page.$$eval('article h2', (all) => all.map((h) => h.textContent))).slice(0, 3), burst.reverse());
  await relay.agent('PATCH', `/api/sessions/${session.id}/questions/${missed[0].id}`, { status: 'expired' });
  await waitText(`article[data-id="${missed[0].id}"] .state`, /Expired/);

  // 5. Projects: launch, stop after confirming, and the agent's failure message.
  await click('nav a[href="#/projects"]');
  await click('button[aria-label="Launch webshop"]');
  await waitText('.project .state', /Launch: Sent to your computer/);
  let [command] = (await relay.agent('GET', '/api/commands/pending')).data;
  assert.equal(command.command_type, 'launch');
  await relay.agent('PATCH', `/api/commands/${command.id}`, { status: 'success' });
  await waitText('.project .state', /Done/);
  await click('button[aria-label="Stop webshop"]');
  assert.equal((await relay.agent('GET', '/api/commands/pending')).data.length, 0, 'Stop asks first');
  await click('#confirm-stop');
  await waitText('.project .state', /Stop: Sent/);
  [command] = (await relay.agent('GET', '/api/commands/pending')).data;
  assert.equal(command.command_type, 'stop');
  await relay.agent('PATCH', `/api/commands/${command.id}`, { status: 'failed', error_message: 'no tmux session "webshop"' });
  await waitText('.project .state', /Failed: no tmux session "webshop"/);
  await shoot('phone-projects');

  // 6. Unpaired from the computer: the page says so and returns to pairing.
  await relay.call('DELETE', `/api/paired-devices/${devices[0].id}`, relay.access);
  await waitText('#notice', /disconnected/);
  await page.waitForSelector('#code');
});

// The whole path a new user takes: `quillet up` starts the relay on this computer, makes the
// account and shows a pairing code; the code typed on the phone; a program in a real tmux pane
// asks; the phone's Yes is typed into that pane by the monitor that `quillet up` runs.
test('quillet up, a phone, and a question from a real pane answered into it', {
  skip: noChromium || (!process.env.QUILLET_BINARY && 'QUILLET_BINARY is not set'),
  timeout: 180_000,
}, async (t) => {
  const { spawn, spawnSync } = await import('node:child_process');
  const { mkdtempSync, writeFileSync } = await import('node:fs');
  const { tmpdir } = await import('node:os');
  const { join } = await import('node:path');
  const home = mkdtempSync(join(tmpdir(), 'quillet-web-up-'));
  const env = {
    ...process.env, HOME: home, XDG_CONFIG_HOME: join(home, 'config'), XDG_DATA_HOME: join(home, 'data'),
    XDG_STATE_HOME: join(home, 'state'), XDG_CACHE_HOME: join(home, 'cache'), XDG_RUNTIME_DIR: home,
    TMUX_TMPDIR: home, QUILLET_CREDENTIAL_STORE: 'file', QT_QPA_PLATFORM: 'offscreen',
  };
  delete env.TMUX;
  const quillet = (...args) => {
    const run = spawnSync(process.env.QUILLET_BINARY, args, { env, encoding: 'utf8', timeout: 30_000 });
    assert.equal(run.status, 0, `quillet ${args.join(' ')}: ${run.stdout}${run.stderr}`);
  };
  const tmux = (...args) => spawnSync('tmux', args, { env, encoding: 'utf8' });
  t.after(() => tmux('kill-server'));

  quillet('config', 'set', 'pollInterval', '1');
  quillet('config', 'set', 'idleThreshold', '3');
  quillet('projects', 'add', '--name', 'demo', '--directory', home, '--tool', 'generic', '--command', 'true');
  writeFileSync(join(home, 'ask.sh'), 'echo Working\nwhile [ ! -e go ]; do sleep 0.1; done\n' +
    "printf 'Deploy to production? (y/n) '\nread -r a\necho \"answer=[$a]\"\nsleep 600\n");
  assert.equal(tmux('new-session', '-d', '-s', 'demo', '-c', home, 'sh ask.sh').status, 0);

  const port = await freePort();
  const up = spawn(process.env.QUILLET_BINARY, ['up', '--listen', '127.0.0.1', '--port', String(port)], { env });
  const exited = new Promise((resolve) => up.on('exit', resolve));
  t.after(async () => {
    up.kill('SIGTERM');
    await exited;
  });
  let out = '';
  up.stderr.on('data', (chunk) => (out += chunk));
  const code = await new Promise((resolve, reject) => {
    up.stdout.on('data', (chunk) => {
      out += chunk;
      const shown = /manually: ([A-Z0-9]{3}) ([A-Z0-9]{3})/.exec(out);
      if (shown) resolve(shown[1] + shown[2]);
    });
    up.on('exit', () => reject(new Error(`quillet up ended before showing a code: ${out}`)));
  });

  const { page, waitText } = await phone(t, { timeout: 60_000 });
  await page.goto(`http://127.0.0.1:${port}/`);
  await page.type('#code', code);
  await page.click('#pair');
  await waitText('#connection', /Live/);

  // The monitor opens a session for the pane; only then does the program ask, so the question
  // is a new one.
  await page.goto(`http://127.0.0.1:${port}/#/sessions`);
  await waitText('body', /demo/);
  writeFileSync(join(home, 'go'), '');
  await page.click('nav a[href="#/inbox"]');
  await waitText('article h2', /Deploy to production\? \(y\/n\)/);
  await page.click('button[aria-label="Answer Yes"]');
  const deadline = Date.now() + 60_000;
  while (!/answer=\[y\]/.test(tmux('capture-pane', '-p', '-t', 'demo').stdout)) {
    assert.ok(Date.now() < deadline, tmux('capture-pane', '-p', '-t', 'demo').stdout + out);
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
});
