// The relay's event stream, read with fetch() so the device token goes in a header (an
// EventSource cannot send one). After a drop it reconnects with the last id it saw, and the
// server replays everything after it: nothing is missed and nothing is fetched twice.
import { authHeaders, deviceToken, setDeviceToken } from './api';

export type Connection = { state: 'connecting' | 'live' | 'reconnecting' | 'offline'; since?: number };
export type RelayEvent = { id: string; type: string; data: any };

const lastIdKey = 'quillet.lastEventId';

export class EventFeed {
  private stopped = false;
  private controller?: AbortController;
  private failures = 0;
  private droppedAt?: number;

  constructor(
    private readonly onEvent: (event: RelayEvent) => void,
    private readonly onConnection: (connection: Connection) => void,
    private readonly onReady: (caughtUp: boolean) => void,
    private readonly onUnpaired: () => void,
  ) {}

  start() {
    this.run();
  }

  stop() {
    this.stopped = true;
    this.controller?.abort();
  }

  // A retry now, e.g. when the phone comes back online, instead of at the end of the back-off.
  retryNow() {
    this.wake?.();
  }
  private wake?: () => void;

  private async run() {
    while (!this.stopped && deviceToken()) {
      try {
        await this.once();
      } catch {
        // a network failure; counted below
      }
      if (this.stopped) return;
      this.failures += 1;
      this.droppedAt ??= Date.now();
      const offline = this.failures > 2 || !navigator.onLine;
      this.onConnection({ state: offline ? 'offline' : 'reconnecting', since: this.droppedAt });
      const wait = Math.min(1000 * 2 ** Math.min(this.failures - 1, 3), 8000);
      await new Promise<void>((resolve) => {
        const timer = setTimeout(resolve, wait);
        this.wake = () => {
          clearTimeout(timer);
          resolve();
        };
      });
    }
  }

  private async once() {
    this.controller = new AbortController();
    const lastId = localStorage.getItem(lastIdKey);
    const headers: Record<string, string> = { ...authHeaders(), Accept: 'text/event-stream' };
    if (lastId) headers['Last-Event-ID'] = lastId;
    const response = await fetch('/api/events', { headers, signal: this.controller.signal, cache: 'no-store' });
    if (response.status === 401) {
      setDeviceToken(null);
      this.onUnpaired();
      this.stopped = true;
      return;
    }
    if (!response.ok || !response.body) throw new Error(`event stream: ${response.status}`);
    const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
    let buffer = '';
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      buffer += value;
      let end;
      while ((end = buffer.indexOf('\n\n')) >= 0) {
        this.dispatch(buffer.slice(0, end), lastId !== null);
        buffer = buffer.slice(end + 2);
      }
    }
  }

  private dispatch(block: string, resumed: boolean) {
    let id = '';
    let type = 'message';
    const data: string[] = [];
    for (const line of block.split('\n')) {
      if (line.startsWith(':')) continue;
      const colon = line.indexOf(':');
      const field = colon < 0 ? line : line.slice(0, colon);
      const value = colon < 0 ? '' : line.slice(colon + 1).replace(/^ /, '');
      if (field === 'id') id = value;
      else if (field === 'event') type = value;
      else if (field === 'data') data.push(value);
    }
    if (!id && data.length === 0) return;
    if (type === 'ready') {
      this.failures = 0;
      this.droppedAt = undefined;
      this.onConnection({ state: 'live' });
      // The relay no longer has every event after our position (away too long, or another
      // database): it starts from now, and the lists are read whole again.
      const caughtUp = resumed && !JSON.parse(data.join('\n') || '{}').reload;
      if (!caughtUp && id) localStorage.setItem(lastIdKey, id);
      this.onReady(caughtUp);
      return;
    }
    this.onEvent({ id, type, data: data.length ? JSON.parse(data.join('\n')) : null });
    if (id) localStorage.setItem(lastIdKey, id);
  }
}

export function forgetEventPosition() {
  localStorage.removeItem(lastIdKey);
}
