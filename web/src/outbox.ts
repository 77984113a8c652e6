// What the user sent, kept in the browser's storage until the relay took it: typed while
// offline, it goes out when the connection returns; refused by the relay, it stays visible as
// not sent, with the reason.
import { call, HttpError, Unpaired } from './api';

export type Item = {
  id: string;
  kind: 'reply' | 'input';
  target: string; // question id or session id
  body: { reply_text?: string; input_text?: string; key?: string };
  state: 'waiting' | 'sending' | 'sent' | 'failed';
  error?: string;
  createdAt: number;
  serverId?: string; // the input's id once the relay took it
};

const storageKey = 'quillet.outbox';

export class Outbox {
  items: Item[] = JSON.parse(localStorage.getItem(storageKey) ?? '[]');
  private flushing = false;

  constructor(private readonly changed: () => void) {
    // A send cut off by a reload may or may not have arrived: try again rather than drop it
    // silently. Each send carries its item's id, so the relay answers a repeat as it answered
    // the first and types nothing twice.
    for (const item of this.items) if (item.state === 'sending') item.state = 'waiting';
  }

  add(kind: Item['kind'], target: string, body: Item['body']) {
    this.items.push({ id: crypto.randomUUID(), kind, target, body, state: 'waiting', createdAt: Date.now() });
    this.save();
    void this.flush();
  }

  // What a device typed belongs to its pairing: another pairing (maybe another account) never sends it.
  clear() {
    this.items = [];
    this.save();
  }

  dismiss(id: string) {
    this.items = this.items.filter((item) => item.id !== id);
    this.save();
  }

  // Sends every waiting item in order; stops at the first network failure (offline).
  async flush() {
    if (this.flushing) return;
    this.flushing = true;
    try {
      for (const item of this.items) {
        if (item.state !== 'waiting') continue;
        item.state = 'sending';
        this.save();
        try {
          const path =
            item.kind === 'reply' ? `/api/questions/${item.target}/reply` : `/api/sessions/${item.target}/inputs`;
          const answer = await call('POST', path, item.body, { 'Idempotency-Key': item.id });
          item.state = 'sent';
          item.serverId = answer?.id;
        } catch (error) {
          if (error instanceof HttpError || error instanceof Unpaired) {
            item.state = 'failed';
            item.error = error.message;
          } else {
            item.state = 'waiting';
            this.save();
            return;
          }
        }
        this.save();
      }
    } finally {
      this.flushing = false;
    }
  }

  // Sent items are kept a while to show their progress ("typed"), not forever.
  prune(now = Date.now()) {
    this.items = this.items.filter((item) => item.state !== 'sent' || now - item.createdAt < 10 * 60_000);
    this.save();
  }

  private save() {
    localStorage.setItem(storageKey, JSON.stringify(this.items));
    this.changed();
  }
}
