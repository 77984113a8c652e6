// Everything the screens show, kept up to date by the event stream and saved in the browser so
// the app opens offline with its last data.
import { call } from './api';
import { closeNotification } from './notifications';
import type { RelayEvent } from './events';

export type Question = {
  id: string;
  session_id: string;
  question_text: string;
  context: string;
  status: 'pending' | 'answered' | 'expired';
  reply_text?: string | null;
  created_at: string;
  project_name?: string;
  pane_target?: string;
  typed?: boolean;
  settledAt?: number; // when this page saw it answered or expired
};
export type Session = {
  id: string;
  agent_label: string;
  project_name?: string;
  pane_target?: string;
  status: string;
  content_updated_at?: string;
  content?: string;
};
export type Project = { id: string; name: string; is_running: boolean; directory?: string };
export type Command = { id: string; project_id: string; command_type: string; status: string; error_message?: string | null };

const snapshotKey = 'quillet.snapshot';

export class Store {
  questions: Record<string, Question> = {};
  sessions: Record<string, Session> = {};
  projects: Project[] = [];
  commands: Record<string, Command> = {};
  deliveredInputs = new Set<string>();

  constructor(private readonly changed: () => void) {
    const saved = JSON.parse(localStorage.getItem(snapshotKey) ?? 'null');
    if (saved) Object.assign(this, { questions: saved.questions, sessions: saved.sessions, projects: saved.projects });
  }

  clear() {
    this.questions = {};
    this.sessions = {};
    this.projects = [];
    this.commands = {};
    localStorage.removeItem(snapshotKey);
    this.changed();
  }

  // Events that arrive while the lists are read, one record per read in flight: the lists may
  // predate them.
  private arrivingDuringLoads = new Set<Array<[RelayEvent, string | null]>>();

  async load() {
    const arrived: Array<[RelayEvent, string | null]> = [];
    this.arrivingDuringLoads.add(arrived);
    let lists;
    try {
      lists = await Promise.all([
        call<Question[]>('GET', '/api/questions?status=pending'),
        call<Session[]>('GET', '/api/sessions'),
        call<Project[]>('GET', '/api/projects'),
      ]);
    } finally {
      this.arrivingDuringLoads.delete(arrived);
    }
    const [questions, sessions, projects] = lists;
    // Questions this page saw answered or expired keep their state for a while; every pending
    // one comes from the relay.
    const kept = Object.values(this.questions).filter((q) => q.settledAt && Date.now() - q.settledAt < 3_600_000);
    this.questions = {};
    for (const q of [...kept, ...questions]) this.questions[q.id] = q;
    this.sessions = {};
    for (const s of sessions) this.sessions[s.id] = s;
    this.projects = projects;
    // A question posted while the lists were read may be missing from them: replaying what the
    // stream brought meanwhile puts it back (every event can be applied twice).
    for (const [event, openSession] of arrived) this.apply(event, openSession);
    this.save();
  }

  // One read of a screen at a time: a pane that changes faster than the phone can fetch gets
  // one more read when the current one ends, not one per change.
  private screenReads = new Map<string, boolean>();
  async loadScreen(sessionId: string): Promise<void> {
    if (this.screenReads.has(sessionId)) {
      this.screenReads.set(sessionId, true);
      return;
    }
    this.screenReads.set(sessionId, false);
    try {
      const session = await call<Session>('GET', `/api/sessions/${sessionId}`);
      this.sessions[session.id] = session;
      this.changed();
    } finally {
      const again = this.screenReads.get(sessionId);
      this.screenReads.delete(sessionId);
      if (again) await this.loadScreen(sessionId);
    }
  }

  apply(event: RelayEvent, openSession: string | null) {
    for (const record of this.arrivingDuringLoads) record.push([event, openSession]);
    const d = event.data ?? {};
    switch (event.type) {
      case 'question.posted':
        this.questions[d.id] = { ...this.questions[d.id], ...d };
        break;
      case 'question.answered':
      case 'question.expired': {
        const q = this.questions[d.question_id];
        if (q) {
          q.status = event.type === 'question.answered' ? 'answered' : 'expired';
          q.settledAt = Date.now();
        }
        void closeNotification(d.question_id);
        break;
      }
      case 'session.opened':
        this.sessions[d.id] = { ...this.sessions[d.id], ...d };
        break;
      case 'session.closed':
        if (this.sessions[d.session_id]) this.sessions[d.session_id].status = 'closed';
        for (const q of Object.values(this.questions))
          if (q.session_id === d.session_id && q.status === 'pending') {
            q.status = 'expired';
            q.settledAt = Date.now();
          }
        break;
      case 'session.screen': {
        const s = this.sessions[d.session_id];
        if (s) s.content_updated_at = d.content_updated_at;
        // The relay does not report when the agent typed a reply; the pane's screen changing
        // after the answer is the sign that it did.
        for (const q of Object.values(this.questions))
          if (q.session_id === d.session_id && q.status === 'answered') q.typed = true;
        if (d.session_id === openSession) void this.loadScreen(d.session_id).catch(() => {});
        break;
      }
      case 'input.delivered':
        this.deliveredInputs.add(d.input_id);
        break;
      case 'projects.uploaded':
        void call<Project[]>('GET', '/api/projects')
          .then((projects) => {
            this.projects = projects;
            this.save();
          })
          .catch(() => {});
        break;
      case 'command.status':
        this.commands[d.id] = d;
        break;
    }
    this.save();
  }

  private save() {
    const { questions, sessions, projects } = this;
    const light = Object.fromEntries(Object.entries(sessions).map(([id, s]) => [id, { ...s, content: undefined }]));
    localStorage.setItem(snapshotKey, JSON.stringify({ questions, sessions: light, projects }));
    this.changed();
  }
}
