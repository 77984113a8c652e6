// A real quillet-server on loopback for the browser tests, and the agent's and account's sides
// of the API that the tests play: a registered user (through the software authenticator), an
// agent key, a pairing code.
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

const authenticator = fileURLToPath(new URL('../support/authenticator/authenticator.mjs', import.meta.url));

export const freePort = () =>
  new Promise((resolve) => {
    const server = createServer().listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });

export class Relay {
  constructor() {
    this.folder = mkdtempSync(join(tmpdir(), 'quillet-web-'));
  }

  get base() {
    return `http://127.0.0.1:${this.port}`;
  }

  // Starts the server; again after stop() on the same port and database.
  async start() {
    this.port ??= await freePort();
    const env = { ...process.env, XDG_DATA_HOME: this.folder, XDG_CONFIG_HOME: this.folder, XDG_CACHE_HOME: this.folder };
    this.process = spawn(
      process.env.QUILLET_SERVER_BINARY,
      ['--listen', '127.0.0.1', '--port', String(this.port), '--quiet', '--database', join(this.folder, 'relay.sqlite'),
        '--public-url', 'http://localhost'],
      { env, stdio: ['ignore', 'ignore', 'pipe'] },
    );
    let log = '';
    await new Promise((resolve, reject) => {
      this.process.stderr.on('data', (chunk) => {
        log += chunk;
        if (/listening on/.test(log)) resolve();
      });
      this.process.on('exit', (code) => reject(new Error(`quillet-server exited (${code}): ${log}`)));
    });
  }

  async stop() {
    if (!this.process || this.process.exitCode !== null) return;
    const exited = new Promise((resolve) => this.process.once('exit', resolve));
    this.process.kill('SIGTERM');
    await exited;
  }

  async call(method, path, token, body) {
    const headers = token ? { Authorization: `Bearer ${token}` } : {};
    if (body !== undefined) headers['Content-Type'] = 'application/json';
    const response = await fetch(this.base + path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body) });
    const text = await response.text();
    return { status: response.status, data: text ? JSON.parse(text) : null };
  }

  // A user with an agent key, as `quillet register` and the agent's sign-in leave one.
  async register(username) {
    const options = (await this.call('POST', '/api/auth/passkey/register/options', null, { username })).data;
    const made = JSON.parse(
      spawnSync('node', [authenticator], {
        input: JSON.stringify({ ceremony: 'create', rpId: options.rp.id, origin: 'https://localhost', challenge: options.challenge }),
      }).stdout,
    );
    const credential = {
      id: made.credentialId,
      rawId: made.credentialId,
      type: 'public-key',
      response: { clientDataJSON: made.clientDataJSON, attestationObject: made.attestationObject },
    };
    this.access = (await this.call('POST', '/api/auth/passkey/register/complete', null, { credential })).data.access_token;
    this.agentKey = (await this.call('POST', '/api/auth/api-keys', this.access, { label: 'web test' })).data.key;
  }

  async pairingCode() {
    return (await this.call('POST', '/api/pair/initiate', this.access, {})).data.code;
  }

  agent(method, path, body) {
    return this.call(method, path, this.agentKey, body);
  }
}
