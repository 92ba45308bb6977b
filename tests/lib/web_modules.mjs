// The page's modules in Node, as tests/web imports them: each load() is a graph of its own
// (its own state records), so one test's sessions, sockets and settings never reach the
// next. Stand-ins are handed in through the modules' own doors (sockets.make, peers.make,
// http.fetch, the on… callbacks), never by patching globals the page reads.
import { register } from 'node:module';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';

register('./fresh_modules_hooks.mjs', import.meta.url);

const WEB = join(process.cwd(), 'web');
let tag = 0;

/**
 * The exports of the modules named by their paths under web/, merged in one object, from a
 * fresh graph. Without texts, t(key) gives the key itself, so tests can name what the page
 * says by its key.
 */
export async function load(paths, { texts = false } = {}) {
  const n = ++tag;
  const url = (p) => `${pathToFileURL(join(WEB, p)).href}?fresh=${n}`;
  const all = ['core/state.js', 'core/texts.js', 'core/api.js', 'i18n.js', ...paths];
  const mods = await Promise.all(all.map((p) => import(url(p))));
  const page = Object.assign({}, ...mods);
  if (!texts) {
    page.I18N.es = {};
    page.I18N.en = {};
  }
  return page;
}

/** A fetch stand-in for http.fetch: answers with the JSON reply(url, body) gives, and records the calls. */
export function fakeFetch(reply = () => ({ ok: true })) {
  const calls = [];
  const fetch = async (url, init = {}) => {
    const body = typeof init.body === 'string' ? JSON.parse(init.body) : init.body;
    calls.push({ url, body, init });
    const r = await reply(url, body);
    return { status: 200, ok: true, headers: new Map(), json: async () => r };
  };
  return { fetch, calls };
}

/** Records the timers the modules set instead of running them (a test runs them by hand). */
export function recordTimers(t) {
  const timers = [];
  t.mock.method(globalThis, 'setTimeout', (f, ms) => timers.push({ f, ms }));
  t.mock.method(globalThis, 'setInterval', (f, ms) => timers.push({ f, ms, every: true }));
  t.mock.method(globalThis, 'clearTimeout', () => {});
  t.mock.method(globalThis, 'clearInterval', () => {});
  return timers;
}

/** A WebSocket stand-in that records what is sent and lets the test drive its events. */
export class FakeSocket {
  constructor(url) {
    this.url = url;
    this.readyState = 0;
    this.sent = [];
  }
  send(x) { this.sent.push(JSON.parse(x)); }
  close() { this.readyState = 3; }
  open() { this.readyState = 1; this.onopen(); }
  msg(m) { this.onmessage({ data: typeof m === 'string' ? m : JSON.stringify(m) }); }
  drop(code = 1006, reason = '') { this.readyState = 3; this.onclose({ code, reason }); }
}

/** Hands the modules FakeSockets (or what make(url) gives); the list of those made. */
export function fakeSockets(p, make = (url) => new FakeSocket(url)) {
  const made = [];
  p.sockets.make = (url) => {
    const ws = make(url);
    made.push(ws);
    return ws;
  };
  return made;
}

/** An RTCPeerConnection stand-in that records what the engine does with it. */
export class FakePeer {
  constructor(cfg) {
    Object.assign(this, { cfg, tracks: [], signalingState: 'stable', connectionState: 'new', remoteDescription: null, localDescription: null, cands: [], closed: false, channels: [] });
  }
  addTrack(tr) { this.tracks.push(tr); }
  getSenders() { return this.tracks.map((tr, i) => ({ track: tr, replaceTrack: async (n) => { this.tracks[i] = n; } })); }
  getConfiguration() { return this.cfg; }
  setConfiguration(c) { this.cfg = c; }
  createDataChannel(label) { const ch = { label, readyState: 'connecting' }; this.channels.push(ch); return ch; }
  async createOffer(o) { return { type: 'offer', sdp: o && o.iceRestart ? 'restart' : 'offer' }; }
  async createAnswer() { return { type: 'answer', sdp: 'answer' }; }
  async setLocalDescription(d) { this.localDescription = { ...d, toJSON: () => ({ type: d.type, sdp: d.sdp }) }; this.signalingState = d.type === 'offer' ? 'have-local-offer' : 'stable'; }
  async setRemoteDescription(d) { this.remoteDescription = d; this.signalingState = d.type === 'offer' ? 'have-remote-offer' : 'stable'; }
  async addIceCandidate(c) { this.cands.push(c); }
  async getStats() { return new Map(); }
  close() { this.closed = true; }
  /** The connection's state changes as the browser would report it. */
  state(s) { this.connectionState = s; this.onconnectionstatechange(); }
}

/** Hands the modules FakePeers; the list of those made. */
export function fakePeers(p) {
  const made = [];
  p.peers.make = (cfg) => {
    const pc = new FakePeer(cfg);
    made.push(pc);
    return pc;
  };
  return made;
}

/** A Storage stand-in over a Map. */
export function fakeStorage(entries = {}) {
  const m = new Map(Object.entries(entries));
  return { getItem: (k) => (m.has(k) ? m.get(k) : null), setItem: (k, v) => m.set(k, String(v)), removeItem: (k) => m.delete(k) };
}

/** A stand-in element: what the page reads and writes on the real ones. */
export function fakeElement() {
  return {
    hidden: true, value: '', disabled: false, checked: false, innerHTML: '', textContent: '', scrollTop: 0, scrollHeight: 0,
    style: {}, dataset: {}, children: [],
    classList: { toggle() {}, add() {}, remove() {}, contains: () => false },
    focus() {}, click() {}, remove() {}, appendChild(c) { this.children.push(c); }, addEventListener() {},
    querySelector: () => null, querySelectorAll: () => [], closest: () => null,
    getBoundingClientRect: () => ({ left: 0, top: 0, width: 0, height: 0, right: 0, bottom: 0 }),
  };
}

/**
 * A stand-in document for ui/ (handed in through dom.document): one element per selector,
 * made on first use; what the toast showed and what the dialog held are recorded.
 */
export function fakeDocument() {
  const els = {};
  const toasts = [];
  const modals = [];
  const toast = fakeElement();
  Object.defineProperty(toast, 'textContent', { get: () => toasts.at(-1) ?? '', set: (v) => toasts.push(v) });
  const box = fakeElement();
  Object.defineProperty(box, 'innerHTML', { get: () => modals.at(-1) ?? '', set: (v) => { if (v) modals.push(v); } });
  els['#toast'] = toast;
  els['#modalBox'] = box;
  return {
    els, toasts, modals,
    querySelector: (sel) => (els[sel] ??= fakeElement()),
    querySelectorAll: () => [],
    getElementById: (id) => (els['#' + id] ??= fakeElement()),
    createElement: () => fakeElement(),
    body: fakeElement(),
    documentElement: { lang: '', style: { setProperty() {} } },
  };
}
