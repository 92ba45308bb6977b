// Files and chat lines of a session. Files go on the session's `file` channel: an offer
// (fs), the other side's answer (fa), binary chunks only after a yes, then the end (fe).
// Everything that arrives on the channel is checked: a chunk nobody accepted is dropped,
// and a transfer never grows past the size it announced.

import { filesCall, writeFilePiece } from '../core/api.js';
import { manySessions, sesByKey, XFER } from '../core/state.js';
import { t } from '../core/texts.js';
import { sleep } from '../core/util.js';
import { wireMsg } from './wire.js';
import { BUSY_CHUNK, BUSY_RATE, useWatch } from './file_pace.js';

/** @typedef {import('../core/state.js').Session} Session */
/** @typedef {import('../core/state.js').FileRx} FileRx */
/** @typedef {import('../core/state.js').FileTx} FileTx */
/** @typedef {import('../core/state.js').ChatLine} ChatLine */
/** @typedef {import('../core/state.js').WireMsg} WireMsg */

const CHAT_MAX = 300;
export const CHAT_IN_MAX = 2000;
const FILE_MAX = 2000000000;
const CHUNK = 65536;
/**
 * The sender keeps at most this much in the channel's queue, refilled below BUF_LOW: what
 * is queued still goes at full speed once the person starts using the session, so it is
 * kept short.
 */
const BUF_HIGH = 1048576;
const BUF_LOW = 262144;
const BUF_RECHECK = 500;
export const OFFER_WAIT = 90000;
const NAME_MAX = 180;
/** The file is read from disk in blocks of this many chunks. */
const READ_CHUNKS = 16;
/**
 * Received chunks go to the native host, which writes them to the downloads folder, in
 * pieces of about this size: one piece per request keeps the requests few and the page's
 * share of the file small.
 */
const SINK_PIECE = 1048576;
/**
 * Chunks that make no piece yet (a file trickling while the session is in use) wait this
 * long for more before they go to disk: one request a second, not one per chunk (ms).
 */
const GATHER_MS = 1000;
/**
 * The bytes a sender may have sent beyond what the receiver has written to disk (the
 * receiver's `fk`); the receiver's page never holds more of a file than this.
 */
const RX_WINDOW = 4194304;
const RISKY = /\.(exe|msi|msix|appx|bat|cmd|ps1|psm1|vbs|js|jse|wsf|scr|com|pif|cpl|msc|lnk|url|reg|hta|jar|dll|desktop|sh|run|appimage|iso|img|vhd|html|svg)$/i;
/** Bidi controls: they can make "fotoexe.jpg" show while the name ends in .exe. */
const BIDI = /[\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]/g;

// Pure rules ----------------------------------------------------------------------------------

/** Adds a line, dropping the oldest beyond the cap. */
export function chatPush(/** @type {ChatLine[]} */ list, /** @type {ChatLine} */ line) {
  list.push(line);
  if (list.length > CHAT_MAX) list.splice(0, list.length - CHAT_MAX);
  return list;
}

/** A received file name that is safe to save: no path or reserved characters, bounded length. */
export function cleanName(/** @type {unknown} */ v) {
  const s = typeof v === 'string' ? v.replace(BIDI, '').replace(/[\\/:*?"<>|\u0000-\u001f]/g, '_') : '';
  return [...s].slice(0, NAME_MAX).join('') || 'archivo';
}

/** 7 random base-36 characters. */
export function fileId() {
  const abc = '0123456789abcdefghijklmnopqrstuvwxyz';
  const r = typeof crypto !== 'undefined' && crypto.getRandomValues ? crypto.getRandomValues(new Uint8Array(7)) : Array.from({ length: 7 }, () => Math.floor(Math.random() * 256));
  return Array.from(r, (b) => abc[b % 36]).join('');
}

/**
 * A transfer id from the channel: exactly what fileId makes.
 * @returns {v is string}
 */
export function validId(/** @type {unknown} */ v) {
  return typeof v === 'string' && /^[0-9a-z]{7}$/.test(v);
}

/**
 * An offered size: a whole number of bytes above 0 and within the limit.
 * @returns {n is number}
 */
export function sizeOk(/** @type {unknown} */ n) {
  return typeof n === 'number' && Number.isInteger(n) && n > 0 && n <= FILE_MAX;
}

/** "1.50 GB", "3.2 MB" or whole KB (at least 1). */
export function fmtSize(/** @type {number} */ n) {
  if (n >= 1e9) return (n / 1e9).toFixed(2) + ' GB';
  if (n >= 1e6) return (n / 1e6).toFixed(1) + ' MB';
  return Math.max(1, Math.round(n / 1000)) + ' KB';
}

/** Names of files that can run programs when opened. */
export function riskyName(/** @type {string} */ name) {
  return RISKY.test(name.replace(BIDI, '').replace(/[. ]+$/, ''));
}

/** The byte ranges [start, end) of the chunks of a file. */
export function chunkRanges(/** @type {number} */ size) {
  /** @type {[number, number][]} */
  const out = [];
  for (let at = 0; at < size; at += CHUNK) out.push([at, Math.min(size, at + CHUNK)]);
  return out;
}

/** Whether the sender must wait before the next chunk: too much is queued in the channel. */
export function mustWait(/** @type {number} */ buffered) {
  return buffered > BUF_HIGH;
}

/** What to do with n bytes of file data: "drop" (nothing accepted), "cut" (past the announced size) or "keep". */
export function rxTake(/** @type {FileRx|null|undefined} */ rx, /** @type {number} */ n) {
  if (!rx || !rx.ok) return 'drop';
  return rx.got + n > rx.size ? 'cut' : 'keep';
}

/** Whole percentage of done out of size. */
function pct(/** @type {number} */ done, /** @type {number} */ size) {
  return size > 0 ? Math.min(100, Math.floor((done * 100) / size)) : 0;
}

/**
 * What transfers tell the page; app.js sets these.
 * @type {{
 *   onnotice: (text: string, ms?: number) => void,
 *   ontransfer: (id: string, s: Session, name: string, text: string, percent?: number) => void,
 *   onsaved: (id: string, s: Session, name: string, folder: string) => void,
 *   onmessage: (s: Session, who: string, text: string, mine: boolean) => void,
 *   canask: () => boolean,
 *   onoffer: (s: Session, rx: FileRx) => void,
 * }}
 * ontransfer: a transfer's line (a percent while it runs); onsaved: a received file is in
 * its folder; onmessage: the chat line of a file sent or received; canask: whether an
 * offer may be asked now (no other question up); onoffer: ask whether to take s.rx, the
 * answer goes to fileAnswer.
 */
export const filesOn = {
  onnotice: () => {}, ontransfer: () => {}, onsaved: () => {}, onmessage: () => {}, canask: () => false, onoffer: () => {},
};

// Sending -------------------------------------------------------------------------------------


/** Files of one pick or drop, one after another; later picks wait for earlier ones. */
export function sendFiles(/** @type {FileList|File[]} */ files, /** @type {Session} */ s) {
  const list = [...files];
  if (!s || !list.length) return Promise.resolve();
  s.fileChain = (s.fileChain || Promise.resolve()).then(async () => {
    for (const f of list) await sendFile(f, s).catch((e) => console.warn('archivo', e));
  });
  return s.fileChain;
}

/** A JSON message on the file channel; false when it is not open. */
function fileSend(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
  const ch = s && s.dc && s.dc.file;
  if (!ch || ch.readyState !== 'open') return false;
  try {
    ch.send(JSON.stringify(m));
    return true;
  } catch {
    return false;
  }
}

/** Resolves true on a yes for offer id, false on a no, after 90 s or when the session ends. */
function offerAnswer(/** @type {Session} */ s, /** @type {string} */ id) {
  const asks = s.ask || (s.ask = new Map());
  return new Promise((resolve) => {
    const done = (/** @type {boolean} */ ok) => {
      clearTimeout(wait);
      clearInterval(alive);
      asks.delete(id);
      resolve(ok);
    };
    const wait = setTimeout(() => done(false), OFFER_WAIT);
    const alive = setInterval(() => { if (s.dead) done(false); }, 1000);
    asks.set(id, done);
  });
}

/** Until the channel's queue runs low, or 500 ms at the latest. */
function drained(/** @type {RTCDataChannel} */ ch) {
  return new Promise((resolve) => {
    const done = () => {
      clearTimeout(timer);
      ch.removeEventListener('bufferedamountlow', done);
      ch.removeEventListener('close', done);
      resolve(undefined);
    };
    const timer = setTimeout(done, BUF_RECHECK);
    ch.addEventListener('bufferedamountlow', done);
    ch.addEventListener('close', done);
  });
}

/**
 * The file in order, in blocks of up to READ_CHUNKS chunks; each block is valid until the
 * next is asked for. Where the browser reads a file into a buffer it is given, one buffer
 * serves the whole file: a slice read whole leaves a block of garbage per read, and the
 * page's memory grew by tens of MB before the collector ran.
 */
async function* fileBlocks(/** @type {Blob} */ f) {
  const want = CHUNK * READ_CHUNKS;
  /** @type {ReadableStreamBYOBReader|null} */
  let reader = null;
  try {
    reader = f.stream().getReader({ mode: 'byob' });
  } catch {}
  if (!reader) {
    for (let at = 0; at < f.size; at += want) {
      const block = new Uint8Array(await f.slice(at, at + want).arrayBuffer());
      if (!block.length) return;
      yield block;
    }
    return;
  }
  let buf = new ArrayBuffer(want);
  try {
    for (;;) {
      let got = 0, done = false;
      // A read may give less than asked: the block is filled before it goes.
      while (got < want && !done) {
        const r = await reader.read(new Uint8Array(buf, got, want - got));
        done = r.done;
        if (r.value) {
          buf = r.value.buffer;
          got += r.value.byteLength;
        }
      }
      if (got) yield new Uint8Array(buf, 0, got);
      if (done) return;
    }
  } finally {
    reader.cancel().catch(() => {});
  }
}

export async function sendFile(/** @type {File} */ f, /** @type {Session} */ s) {
  const ch = s && !s.dead && s.dc && s.dc.file;
  if (!ch || ch.readyState !== 'open') return filesOn.onnotice(t('fileNoSession'));
  if (f.size > FILE_MAX) return filesOn.onnotice(t('fileTooBig'));
  const id = fileId();
  const to = manySessions() ? ' → ' + s.peer : '';
  filesOn.ontransfer(id, s, f.name, t('fileAsk') + to, 0);
  const ok = fileSend(s, { t: 'fs', id, name: f.name, size: f.size }) && (await offerAnswer(s, id));
  // A receiver that gave no window holds the whole file in its page: only the channel's
  // queue paces the sender then.
  const tx = (s.tx && s.tx.get(id)) || txStart(s, id, Infinity);
  if (!ok || s.dead) {
    s.tx?.delete(id);
    return filesOn.ontransfer(id, s, f.name, t('fileNo') + to);
  }
  ch.bufferedAmountLowThreshold = BUF_LOW;
  const use = useWatch(s);
  let n = 0, at = 0;
  try {
    for await (const block of fileBlocks(f)) {
      for (let i = 0; i < block.length;) {
        await use.look();
        const busy = use.inUse();
        const end = Math.min(block.length, i + (busy ? BUSY_CHUNK : CHUNK));
        while (!txMaySend(tx, at + i) && !tx.stop && !s.dead && ch.readyState === 'open') await tx.acked();
        while (mustWait(ch.bufferedAmount) && !s.dead && ch.readyState === 'open' && !tx.stop) await drained(ch);
        if (s.dead || ch.readyState !== 'open' || tx.stop) {
          s.tx?.delete(id);
          return filesOn.ontransfer(id, s, f.name, t('fileNo') + to);
        }
        ch.send(block.subarray(i, end));
        if (++n % 32 === 0) filesOn.ontransfer(id, s, f.name, t('fileSending', pct(at + end, f.size)) + to, pct(at + end, f.size));
        // While the person uses the session the file trickles: one small message, then a pause.
        if (busy) await sleep(((end - i) / BUSY_RATE) * 1000);
        i = end;
      }
      at += block.length;
    }
    if (at < f.size) throw new Error('el archivo se acortó');
  } catch (e) {
    // The file could not be read to the end: the end mark tells the other side to drop what it got.
    console.warn('archivo', e);
    s.tx?.delete(id);
    fileSend(s, { t: 'fe', id });
    return filesOn.ontransfer(id, s, f.name, t('fileNo') + to);
  }
  s.tx?.delete(id);
  fileSend(s, { t: 'fe', id });
  filesOn.ontransfer(id, s, f.name, t('fileSent') + to);
  filesOn.onmessage(s, '', '📁 ' + f.name, true);
}

// Receiving -------------------------------------------------------------------------------------

/** Everything on a session's file channel. */
export function fileMsg(/** @type {Session} */ s, /** @type {unknown} */ data) {
  if (!s || s.dead) return;
  if (typeof data !== 'string') {
    if (Object.prototype.toString.call(data) === '[object ArrayBuffer]') fileData(s, /** @type {ArrayBuffer} */ (data));
    return;
  }
  const m = wireMsg(data, 4096);
  if (!m) return;
  switch (m.t) {
    case 'fa': {
      if (!validId(m.id)) break;
      const done = s.ask && s.ask.get(m.id);
      // A receiver that writes to disk says how far ahead of its disk the sender may go.
      if (done && m.ok === true && Number.isInteger(m.win) && /** @type {number} */ (m.win) >= SINK_PIECE) txStart(s, /** @type {string} */ (m.id), /** @type {number} */ (m.win));
      if (done) done(m.ok === true);
      // A yes that came after this side gave up: the end mark frees the other side's slot.
      else if (m.ok === true) fileSend(s, { t: 'fe', id: m.id });
      break;
    }
    case 'fs':
      fileOffer(s, m);
      break;
    case 'fe':
      fileEnd(s, m);
      break;
    case 'fk':
    case 'fc':
      txAnswer(s, m);
      break;
    default:
      console.log('file: mensaje desconocido', m.t);
  }
}


function fileOffer(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
  if (!validId(m.id)) return;
  const id = m.id;
  const size = typeof m.size === 'string' && m.size.trim() !== '' ? Number(m.size) : m.size;
  if (s.rx || !sizeOk(size) || !filesOn.canask()) return void fileSend(s, { t: 'fa', id, ok: false });
  const name = cleanName(m.name);
  s.rx = rxRecord(id, name, size);
  filesOn.onoffer(s, s.rx);
}

/** The answer to the pending offer id of session key (the dialog's buttons; a dialog closed otherwise says no). */
export function fileAnswer(/** @type {string} */ key, /** @type {string} */ id, /** @type {boolean} */ ok) {
  const s = sesByKey(key);
  const rx = s && s.rx;
  if (!rx || rx.id !== id || rx.ok || rx.opening) return;
  if (!ok || s.dead) {
    s.rx = null;
    return void fileSend(s, { t: 'fa', id, ok: false });
  }
  // The file on disk is opened first: a full disk or a folder that can't be written is
  // said now, before anything is sent.
  rx.opening = true;
  filesOn.ontransfer(id, s, rx.name, t('fileRecv', 0), 0);
  return sinkCall('abrir', { nombre: rx.name, tamano: rx.size }).then((r) => {
    rx.opening = false;
    if (s.rx !== rx || s.dead || !r.ok) {
      if (r.ok) sinkCall('cancelar', { id: r.id });
      if (s.rx === rx) s.rx = null;
      if (!r.ok && r.msg) filesOn.onnotice(r.msg);
      filesOn.ontransfer(id, s, rx.name, t('fileNo'));
      return void fileSend(s, { t: 'fa', id, ok: false });
    }
    rx.ok = true;
    rx.sink = r.id;
    fileSend(s, { t: 'fa', id, ok: true, win: RX_WINDOW });
  });
}

function fileData(/** @type {Session} */ s, /** @type {ArrayBuffer} */ data) {
  const rx = s.rx;
  const what = rxTake(rx, data.byteLength);
  if (!rx || what === 'drop') return;
  if (what === 'cut') return rxFail(s, rx, '');
  rx.q.push(data);
  rx.got += data.byteLength;
  if (rx.pumping || rx.got - rx.written >= SINK_PIECE) return void rxPump(s, rx);
  if (!rx.gather) rx.gather = setTimeout(() => { rx.gather = null; rxPump(s, rx); }, GATHER_MS);
}

function fileEnd(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
  const rx = s.rx;
  if (!rx || !rx.ok || m.id !== rx.id) return;
  // An end before all the announced bytes came is a broken transfer, not a smaller file.
  if (rx.got !== rx.size) return rxFail(s, rx, '');
  rx.ended = true;
  rxPump(s, rx);
}

/** A new incoming transfer, not yet accepted. */
function rxRecord(/** @type {string} */ id, /** @type {string} */ name, /** @type {number} */ size) {
  return {
    id, name, size, ok: false, opening: false, ended: false, failed: false, pumping: false, gather: null,
    /** @type {ArrayBuffer[]} chunks received, not yet written */ q: [],
    got: 0, written: 0, sink: '',
  };
}

/**
 * Writes what has arrived to the native host, one piece at a time, and tells the sender
 * how far the disk has got; once the end came and everything is written, the file is
 * finished under its name.
 */
async function rxPump(/** @type {Session} */ s, /** @type {FileRx} */ rx) {
  if (rx.pumping) return;
  rx.pumping = true;
  try {
    while (rx.q.length && s.rx === rx && !rx.failed) {
      const parts = [];
      let n = 0;
      while (rx.q.length && n < SINK_PIECE) {
        const b = /** @type {ArrayBuffer} */ (rx.q.shift());
        parts.push(b);
        n += b.byteLength;
      }
      const r = await sinkWrite(rx.sink, rx.written, new Blob(parts));
      if (s.rx !== rx || rx.failed) return;
      if (!r.ok) return rxFail(s, rx, r.msg);
      rx.written = r.recibido;
      fileSend(s, { t: 'fk', id: rx.id, got: rx.written });
      filesOn.ontransfer(rx.id, s, rx.name, t('fileRecv', pct(rx.written, rx.size)), pct(rx.written, rx.size));
    }
    if (!rx.ended || s.rx !== rx || rx.failed || rx.q.length) return;
    s.rx = null;
    const r = await sinkCall('terminar', { id: rx.sink });
    if (!r.ok) return rxFail(s, rx, r.msg);
    filesOn.onsaved(rx.id, s, r.nombre, r.carpeta);
    filesOn.onmessage(s, s.peer, '📁 ' + r.nombre, false);
  } finally {
    rx.pumping = false;
  }
}

/** Ends a transfer that went wrong: the partial file goes, the sender stops, the person is told why. */
export function rxFail(/** @type {Session} */ s, /** @type {FileRx} */ rx, /** @type {string} */ msg) {
  if (rx.failed) return;
  rx.failed = true;
  if (s.rx === rx) s.rx = null;
  if (rx.sink) sinkCall('cancelar', { id: rx.sink });
  fileSend(s, { t: 'fc', id: rx.id });
  if (msg) filesOn.onnotice(msg);
  filesOn.ontransfer(rx.id, s, rx.name, t('fileNo'));
}

/** A session that ends drops its incoming file. */
export function rxDrop(/** @type {Session} */ s) {
  const rx = s && s.rx;
  if (!rx) return;
  s.rx = null;
  rx.failed = true;
  if (rx.sink) sinkCall('cancelar', { id: rx.sink });
}

/**
 * A file endpoint of the native host; a failed request is a refusal without text.
 * @returns {Promise<import('../core/api.js').FilesReply>}
 */
export function sinkCall(/** @type {string} */ what, /** @type {Object<string, unknown>} */ body) {
  return filesCall(what, body).catch(() => ({ ok: false, msg: '' }));
}

/**
 * One piece of a received file, as raw bytes, starting at byte `from`; a failed request is a refusal without text.
 * @returns {Promise<import('../core/api.js').FilesReply>}
 */
function sinkWrite(/** @type {string} */ id, /** @type {number} */ from, /** @type {Blob} */ piece) {
  return writeFilePiece(id, from, piece).catch(() => ({ ok: false, msg: '' }));
}

/** The sender's side of the receiver's window: how much it has written, and a way to wait for more. */
function txStart(/** @type {Session} */ s, /** @type {string} */ id, /** @type {number} */ win) {
  if (!s.tx) s.tx = new Map();
  /** @type {{win: number, got: number, stop: boolean, wake: (() => void)|null, acked: () => Promise<void>}} */
  const tx = {
    win, got: 0, stop: false, wake: null,
    // Until the next word from the receiver, or 500 ms (the session may end meanwhile).
    acked: () => new Promise((resolve) => {
      const timer = setTimeout(() => { tx.wake = null; resolve(); }, BUF_RECHECK);
      tx.wake = () => { clearTimeout(timer); tx.wake = null; resolve(); };
    }),
  };
  s.tx.set(id, tx);
  return tx;
}

/** Whether `sent` bytes may go out: the receiver's disk is less than a window behind. */
function txMaySend(/** @type {FileTx} */ tx, /** @type {number} */ sent) {
  return !tx.stop && sent - tx.got < tx.win;
}

/** The receiver wrote up to `got` (fk); either side gave up (fc). */
function txAnswer(/** @type {Session} */ s, /** @type {WireMsg} */ m) {
  if (m.t === 'fc' && s.rx && s.rx.id === m.id) return rxFail(s, s.rx, '');
  const tx = validId(m.id) && s.tx && s.tx.get(m.id);
  if (!tx) return;
  if (m.t === 'fc') tx.stop = true;
  else if (typeof m.got === 'number' && Number.isInteger(m.got) && m.got > tx.got) tx.got = m.got;
  if (tx.wake) tx.wake();
}

/** The cancel button of a transfer box: either side may stop a file on its way. */
export function xferCancel(/** @type {string} */ id) {
  const x = XFER.get(id);
  const s = x && sesByKey(x.k);
  if (!s) return;
  if (s.rx && s.rx.id === id) return rxFail(s, s.rx, '');
  const tx = s.tx && s.tx.get(id);
  if (!tx) return;
  tx.stop = true;
  fileSend(s, { t: 'fc', id });
  if (tx.wake) tx.wake();
}

