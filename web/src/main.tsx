import { render } from 'preact';
import { useEffect, useLayoutEffect, useRef, useState } from 'preact/hooks';
import { call, defaultDeviceName, deviceToken, pair, setDeviceToken, whenUnpaired } from './api';
import { Connection, EventFeed, forgetEventPosition } from './events';
import { disablePush, enablePush, canScan, pushStatus, PushStatus, scanPairingCode } from './notifications';
import { Item, Outbox } from './outbox';
import { quickAnswers } from './quickAnswers';
import { Command, Project, Question, Session, Store } from './store';

let redraw = () => {};
const store = new Store(() => redraw());
const outbox = new Outbox(() => redraw());
let connection: Connection = { state: 'connecting' };
let feed: EventFeed | null = null;
let notice = '';

const route = () => location.hash.replace(/^#\/?/, '').split('/');
const clock = (ms: number) => new Date(ms).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', hour12: false });

function startFeed() {
  let loaded = false;
  connection = { state: 'connecting' };
  feed = new EventFeed(
    (event) => {
      const [screen, id] = route();
      store.apply(event, screen === 'sessions' ? id ?? null : null);
    },
    (state) => {
      connection = state;
      redraw();
    },
    (caughtUp) => {
      void outbox.flush();
      // Once per page the lists are read whole; after a drop the replayed events catch up,
      // unless the relay could not replay them all.
      if (!loaded || !caughtUp) {
        loaded = true;
        void store.load().catch(() => {});
      }
    },
    () => unpaired(),
  );
  feed.start();
}

function unpaired(message = 'This phone was disconnected from Quillet. Pair it again with a new code.') {
  feed?.stop();
  feed = null;
  store.clear();
  outbox.clear();
  forgetEventPosition();
  notice = message;
  redraw();
}
whenUnpaired(() => unpaired());
addEventListener('online', () => feed?.retryNow());

function ConnectionBar() {
  const text =
    connection.state === 'live'
      ? 'Live'
      : connection.state === 'connecting'
        ? 'Connecting…'
        : connection.state === 'reconnecting'
          ? 'Reconnecting…'
          : `Offline since ${clock(connection.since ?? Date.now())}`;
  return (
    <div class={`connection ${connection.state}`} role="status" aria-live="polite" id="connection">
      {text}
    </div>
  );
}

function Pairing() {
  const [code, setCode] = useState('');
  const [name, setName] = useState(defaultDeviceName());
  const [error, setError] = useState('');
  const [busy, setBusy] = useState(false);
  const [scanning, setScanning] = useState<AbortController | null>(null);
  const video = useRef<HTMLVideoElement>(null);
  const [scannable, setScannable] = useState(false);
  useEffect(() => void canScan().then(setScannable, () => {}), []);

  const submit = async (event: Event) => {
    event.preventDefault();
    setBusy(true);
    setError('');
    try {
      await pair(code, name);
      notice = '';
      localStorage.setItem('quillet.deviceName', name);
      forgetEventPosition();
      startFeed();
      location.hash = '#/inbox';
      redraw();
    } catch (e) {
      setError((e as Error).message);
    } finally {
      setBusy(false);
    }
  };

  const scan = async () => {
    const controller = new AbortController();
    setScanning(controller);
    try {
      const found = await scanPairingCode(video.current!, controller.signal);
      if (!found) return;
      if (found.server && new URL(found.server).origin !== location.origin)
        setError(`This code belongs to the server at ${found.server}: open that address to pair.`);
      else setCode(found.code);
    } catch (e) {
      setError(`The camera could not be used: ${(e as Error).message}`);
    } finally {
      setScanning(null);
    }
  };

  return (
    <main class="pairing">
      <img src="/icon.svg" alt="" width={64} height={64} />
      <h1>Pair this phone</h1>
      {notice && (
        <p class="notice" role="alert" id="notice">
          {notice}
        </p>
      )}
      <p>
        On your computer, run <code>quillet pair</code> or choose Pair Device in the Quillet menu, then type the code it
        shows.
      </p>
      <form onSubmit={submit}>
        <label>
          Pairing code
          <input
            id="code"
            value={code}
            onInput={(e) => setCode(e.currentTarget.value)}
            autocomplete="one-time-code"
            autocapitalize="characters"
            spellcheck={false}
            placeholder="ABC 123"
            required
          />
        </label>
        <label>
          Device name
          <input id="device-name" value={name} onInput={(e) => setName(e.currentTarget.value)} required />
        </label>
        {error && (
          <p class="error" role="alert">
            {error}
          </p>
        )}
        <button type="submit" id="pair" disabled={busy}>
          {busy ? 'Pairing…' : 'Pair'}
        </button>
      </form>
      <video ref={video} class="scanner" hidden={!scanning} muted playsInline aria-label="Camera view" />
      {scannable ? (
        scanning ? (
          <button onClick={() => scanning.abort()}>Stop scanning</button>
        ) : (
          <button class="secondary" onClick={scan}>
            Scan the QR code
          </button>
        )
      ) : (
        !window.isSecureContext && (
          <p class="hint" id="https-hint">
            Scanning the QR code and notifications need this page over HTTPS.
          </p>
        )
      )}
    </main>
  );
}

function Context({ text }: { text: string }) {
  const box = useRef<HTMLPreElement>(null);
  useLayoutEffect(() => {
    if (box.current) box.current.scrollTop = box.current.scrollHeight;
  }, [text]);
  return (
    <pre class="screen context" ref={box} tabIndex={0} aria-label="Screen context">
      {text}
    </pre>
  );
}

function itemState(item: Item | undefined) {
  if (!item) return null;
  if (item.state === 'waiting' || item.state === 'sending') return 'Waiting for the connection: it goes out when the phone is back online.';
  if (item.state === 'failed') return `Not sent: ${item.error}`;
  return null;
}

function QuestionCard({ q, focused }: { q: Question; focused: boolean }) {
  const [text, setText] = useState('');
  const card = useRef<HTMLElement>(null);
  useEffect(() => {
    if (focused) card.current?.scrollIntoView({ block: 'start' });
  }, [focused]);
  const item = outbox.items.filter((i) => i.kind === 'reply' && i.target === q.id).at(-1);
  const answer = (reply: string) => outbox.add('reply', q.id, { reply_text: reply });
  const pending = q.status === 'pending' && (!item || item.state === 'failed');
  let state: string | null = itemState(item);
  if (q.status === 'expired') state = 'Expired: the screen moved on, so it can no longer be answered.';
  else if (q.status === 'answered' || item?.state === 'sent')
    state = q.typed ? 'Typed into the pane.' : 'Sent: waiting for the agent to type it.';
  return (
    <article class={`question ${q.status} ${focused ? 'focused' : ''}`} ref={card} data-id={q.id} aria-label={q.question_text}>
      <header>
        <strong>{q.project_name || 'Session'}</strong> <span class="muted">{q.pane_target}</span>
      </header>
      <h2>{q.question_text}</h2>
      <Context text={q.context} />
      {state && (
        <p class="state" role="status">
          {state}
        </p>
      )}
      {item?.state === 'failed' && (
        <button class="link" onClick={() => outbox.dismiss(item.id)}>
          Dismiss
        </button>
      )}
      {pending && (
        <>
          <div class="quick">
            {quickAnswers(q.context, q.question_text).map((a) => (
              <button class="answer" onClick={() => answer(a.reply)} aria-label={`Answer ${a.label}`}>
                {a.label}
              </button>
            ))}
          </div>
          <form
            class="send"
            onSubmit={(e) => {
              e.preventDefault();
              answer(text);
              setText('');
            }}
          >
            <input value={text} onInput={(e) => setText(e.currentTarget.value)} placeholder="Type an answer" aria-label="Answer text" />
            <button type="submit">Send</button>
          </form>
        </>
      )}
    </article>
  );
}

function Inbox({ focus }: { focus?: string }) {
  const questions = Object.values(store.questions).sort((a, b) => b.created_at.localeCompare(a.created_at));
  if (questions.length === 0) return <p class="empty">No questions waiting. Your agents are busy or idle.</p>;
  return (
    <div>
      {questions.map((q) => (
        <QuestionCard key={q.id} q={q} focused={q.id === focus} />
      ))}
    </div>
  );
}

const keys = ['Escape', 'Ctrl-C', 'Enter', 'Up', 'Down', 'Left', 'Right', 'Tab'];
const keyLabels: Record<string, string> = { Escape: 'Esc', Up: '↑', Down: '↓', Left: '←', Right: '→' };

function SessionScreen({ session }: { session: Session }) {
  const [text, setText] = useState('');
  const box = useRef<HTMLPreElement>(null);
  const atBottom = useRef(true);
  useEffect(() => {
    void store.loadScreen(session.id).catch(() => {});
  }, [session.id]);
  useLayoutEffect(() => {
    if (box.current && atBottom.current) box.current.scrollTop = box.current.scrollHeight;
  }, [session.content]);
  const sent = outbox.items.filter((i) => i.kind === 'input' && i.target === session.id).slice(-5);
  const closed = session.status === 'closed';
  return (
    <div class="session">
      <header>
        <a href="#/sessions">‹ Sessions</a> <strong>{session.project_name || session.agent_label}</strong>{' '}
        <span class="muted">{session.pane_target}</span>
      </header>
      <pre
        class="screen pane"
        id="screen"
        ref={box}
        tabIndex={0}
        aria-label="Live screen"
        onScroll={(e) => {
          const el = e.currentTarget;
          atBottom.current = el.scrollTop + el.clientHeight >= el.scrollHeight - 8;
        }}
      >
        {session.content ?? ''}
      </pre>
      {closed ? (
        <p class="state">This session has ended.</p>
      ) : (
        <>
          <form
            class="send"
            onSubmit={(e) => {
              e.preventDefault();
              if (!text) return;
              outbox.add('input', session.id, { input_text: text });
              setText('');
            }}
          >
            <input id="input-text" value={text} onInput={(e) => setText(e.currentTarget.value)} placeholder="Text for the pane" aria-label="Text for the pane" />
            <button type="submit">Send</button>
          </form>
          <div class="keys">
            {keys.map((key) => (
              <button data-key={key} aria-label={`Press ${key}`} onClick={() => outbox.add('input', session.id, { key })}>
                {keyLabels[key] ?? key}
              </button>
            ))}
          </div>
        </>
      )}
      <ul class="sent" aria-label="Sent to the pane">
        {sent.map((item) => (
          <li class={item.state}>
            <code>{item.body.key ? `[${item.body.key}]` : item.body.input_text}</code>{' '}
            {itemState(item) ??
              (item.serverId && store.deliveredInputs.has(item.serverId) ? 'typed' : 'sent')}
            {item.state === 'failed' && (
              <button class="link" onClick={() => outbox.dismiss(item.id)}>
                Dismiss
              </button>
            )}
          </li>
        ))}
      </ul>
    </div>
  );
}

function Sessions({ id }: { id?: string }) {
  const sessions = Object.values(store.sessions).sort((a, b) => Number(a.status === 'closed') - Number(b.status === 'closed'));
  if (id && store.sessions[id]) return <SessionScreen session={store.sessions[id]} />;
  if (sessions.length === 0) return <p class="empty">No sessions yet. Start the Quillet agent on your computer.</p>;
  return (
    <ul class="list">
      {sessions.map((s) => (
        <li>
          <a href={`#/sessions/${s.id}`}>
            <strong>{s.project_name || s.agent_label}</strong> <span class="muted">{s.pane_target}</span>
            <span class={`badge ${s.status}`}>{s.status === 'closed' ? 'ended' : 'active'}</span>
          </a>
        </li>
      ))}
    </ul>
  );
}

const commandText: Record<string, string> = {
  pending: 'Sent to your computer…',
  delivered: 'The agent is working on it…',
  success: 'Done.',
};

function ProjectRow({ project }: { project: Project }) {
  const [confirming, setConfirming] = useState(false);
  const [commandId, setCommandId] = useState<string | null>(null);
  const [error, setError] = useState('');
  const command: Command | undefined = commandId ? store.commands[commandId] : undefined;
  const send = async (type: 'launch' | 'stop') => {
    setConfirming(false);
    setError('');
    try {
      const created = await call<Command>('POST', '/api/commands', { project_id: project.id, command_type: type });
      store.commands[created.id] ??= created;
      setCommandId(created.id);
    } catch (e) {
      setError(e instanceof TypeError ? 'Not sent: the phone is offline.' : `Not sent: ${(e as Error).message}`);
    }
  };
  const busy = command && (command.status === 'pending' || command.status === 'delivered');
  return (
    <li class="project" data-name={project.name}>
      <div>
        <strong>{project.name}</strong> <span class={`badge ${project.is_running ? 'running' : ''}`}>{project.is_running ? 'running' : 'stopped'}</span>
      </div>
      <div class="actions">
        {confirming ? (
          <>
            <span>Stop {project.name}?</span>
            <button class="danger" onClick={() => send('stop')} id="confirm-stop">
              Stop
            </button>
            <button class="secondary" onClick={() => setConfirming(false)}>
              Cancel
            </button>
          </>
        ) : (
          <>
            <button onClick={() => send('launch')} disabled={!!busy} aria-label={`Launch ${project.name}`}>
              Launch
            </button>
            <button class="secondary" onClick={() => setConfirming(true)} disabled={!!busy} aria-label={`Stop ${project.name}`}>
              Stop
            </button>
          </>
        )}
      </div>
      {(command || error) && (
        <p class={`state ${command?.status ?? 'failed'}`} role="status">
          {error ||
            (command!.status === 'failed'
              ? `Failed: ${command!.error_message || 'the agent gave no reason.'}`
              : `${command!.command_type === 'stop' ? 'Stop' : 'Launch'}: ${commandText[command!.status] ?? command!.status}`)}
        </p>
      )}
    </li>
  );
}

function Projects() {
  if (store.projects.length === 0) return <p class="empty">No projects yet: the agent sends your project list when it starts.</p>;
  return (
    <ul class="list">
      {store.projects.map((p) => (
        <ProjectRow key={p.id} project={p} />
      ))}
    </ul>
  );
}

function Device() {
  const [push, setPush] = useState<PushStatus | null>(null);
  const [error, setError] = useState('');
  const refresh = () => void pushStatus().then(setPush, (e) => setError(String(e)));
  useEffect(refresh, []);
  const toggle = async (on: boolean) => {
    setError('');
    try {
      if (on && push && 'key' in push) await enablePush(push.key);
      else await disablePush();
    } catch (e) {
      setError((e as Error).message);
    }
    refresh();
  };
  return (
    <div class="device">
      <h2>Notifications</h2>
      {push?.kind === 'insecure' && (
        <p id="push-state">Notifications and QR scanning need this page over HTTPS (for example behind a reverse proxy). Everything else works while the page is open.</p>
      )}
      {push?.kind === 'unsupported' && (
        <p id="push-state">
          {push.ios
            ? 'On iPhone and iPad, add this page to the Home Screen (Share, then Add to Home Screen) and open it from there to get notifications.'
            : 'This browser cannot receive notifications.'}
        </p>
      )}
      {push?.kind === 'unavailable' && <p id="push-state">{push.reason}</p>}
      {push?.kind === 'denied' && <p id="push-state">Notifications are blocked for this site in the browser's settings.</p>}
      {push?.kind === 'off' && (
        <button id="push-on" onClick={() => toggle(true)}>
          Turn on notifications
        </button>
      )}
      {push?.kind === 'on' && (
        <>
          <p id="push-state">Notifications are on: each new question shows on this phone.</p>
          <button class="secondary" onClick={() => toggle(false)}>
            Turn off notifications
          </button>
        </>
      )}
      {error && (
        <p class="error" role="alert">
          {error}
        </p>
      )}
      <h2>This phone</h2>
      <p>Paired as {localStorage.getItem('quillet.deviceName') ?? 'a phone'}.</p>
      <button
        class="danger"
        onClick={async () => {
          await disablePush().catch(() => {});
          await call('DELETE', '/api/devices/me').catch(() => {});
          setDeviceToken(null);
          unpaired('');
        }}
      >
        Unpair this phone
      </button>
    </div>
  );
}

function App() {
  const [, setVersion] = useState(0);
  useEffect(() => {
    redraw = () => setVersion((v) => v + 1);
    addEventListener('hashchange', redraw);
  }, []);
  if (!deviceToken()) return <Pairing />;
  const [screen, id] = route();
  const tabs = [
    ['inbox', 'Inbox'],
    ['sessions', 'Sessions'],
    ['projects', 'Projects'],
    ['device', 'Phone'],
  ];
  const current = screen === 'questions' ? 'inbox' : tabs.some(([t]) => t === screen) ? screen : 'inbox';
  const waiting = Object.values(store.questions).filter((q) => q.status === 'pending').length;
  return (
    <>
      <ConnectionBar />
      <main>
        {current === 'inbox' && <Inbox focus={screen === 'questions' ? id : undefined} />}
        {current === 'sessions' && <Sessions id={id} />}
        {current === 'projects' && <Projects />}
        {current === 'device' && <Device />}
      </main>
      <nav aria-label="Screens">
        {tabs.map(([tab, label]) => (
          <a href={`#/${tab}`} aria-current={tab === current ? 'page' : undefined}>
            {label}
            {tab === 'inbox' && waiting > 0 && <span class="count">{waiting}</span>}
          </a>
        ))}
      </nav>
    </>
  );
}

if ('serviceWorker' in navigator && window.isSecureContext) void navigator.serviceWorker.register('/sw.js');
if (deviceToken()) startFeed();
setInterval(() => outbox.prune(), 60_000);
render(<App />, document.getElementById('app')!);
