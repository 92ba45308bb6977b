// The chat panel, which serves every session, and the file boxes and questions.

import { curSes, sesByKey, ST, XFER } from '../core/state.js';
import { esc, t } from '../core/texts.js';
import { CHAT_IN_MAX, chatPush, fileAnswer, fmtSize, OFFER_WAIT, riskyName, sendFiles, sinkCall, xferCancel } from '../net/files.js';
import { ctl } from '../net/session.js';
import { $, dom } from './dom.js';
import { closeModal, modal, regions, toast, viewerOpen } from './shell.js';

/** @typedef {import('../core/state.js').Session} Session */


/** The session in the viewer while it is open, else the helped session, else the shown technician one. */
function chatTarget() {
  const cur = curSes();
  if (viewerOpen() && cur) return cur;
  if (ST.HSES && !ST.HSES.dead) return ST.HSES;
  return cur || null;
}

/** The session the panel shows: the one opened last while it still fits, else the target. */
export function chatShown() {
  const s = sesByKey(ST.CHATS);
  if (s && !s.dead && (s === chatTarget() || !viewerOpen())) return s;
  return chatTarget();
}

function chatOpen() {
  return !!$('#chat') && !$('#chat').hidden;
}


// Chat ------------------------------------------------------------------------------------------

/** A chat line of a session: its own (me) or the peer's; a peer's line the user can't see now is counted. */
export function chatAdd(/** @type {Session} */ s, /** @type {string} */ who, /** @type {string} */ text, /** @type {boolean} */ me) {
  if (!s || typeof text !== 'string' || !text) return;
  chatPush(s.chat, { who: String(who || ''), text: text.slice(0, CHAT_IN_MAX), me: !!me });
  if (!me) {
    if (s === chatTarget() && !chatOpen()) {
      ST.CHATS = s.k;
      // Opened by the other side: the keyboard stays where the user is typing (maybe the remote PC).
      chatShow(false);
      return;
    }
    if (!chatOpen() || chatShown() !== s) {
      s.unread = (s.unread || 0) + 1;
      toast(t('sesNewChat', s.peer, text.slice(0, 80)), 5000);
      chatBadges();
    }
  }
  renderChat();
}

/** A system line (the session started, and the like). */
export function chatSys(/** @type {Session} */ s, /** @type {string} */ text) {
  if (!s || typeof text !== 'string') return;
  chatPush(s.chat, { sys: true, text });
  renderChat();
}

/** Where unread counts show: host bar, sessions list, viewer. */
function chatBadges() {
  regions.hostBar();
  regions.sessions(false);
  regions.viewerBar();
}

/** Opens (true), closes (false) or flips the panel. */
export function toggleChat(/** @type {boolean=} */ on) {
  const el = $('#chat');
  if (!el) return;
  if (on === undefined ? el.hidden : on) chatShow(true);
  else el.hidden = true;
}

/** Opens the panel on the session it should show; focus takes the keyboard to its input. */
function chatShow(/** @type {boolean} */ focus) {
  const el = $('#chat');
  if (!el) return;
  el.hidden = false;
  const s = chatShown();
  if (s) ST.CHATS = s.k;
  renderChat();
  if (focus) setTimeout(() => { if (chatOpen()) $('#chatIn').focus(); }, 30);
}


function sendChat() {
  const s = chatShown();
  const input = $('#chatIn');
  const text = String(input.value || '').trim().slice(0, CHAT_IN_MAX);
  if (!text || !s || s.dead) return;
  const c = s.dc && s.dc.ctl;
  if (!c || c.readyState !== 'open') return;
  ctl(s, { t: 'chat', text });
  input.value = '';
  chatAdd(s, '', text, true);
}

export function renderChat() {
  xferSweep();
  if (!chatOpen()) return;
  const s = chatShown();
  $('#chatWho').textContent = '💬 ' + (s ? s.peer : 'Chat');
  if (s && s.unread) {
    s.unread = 0;
    chatBadges();
  }
  const log = $('#chatlog');
  log.innerHTML = (s ? s.chat : [])
    .map((l) => l.sys
      ? `<div class="cl sys">${esc(l.text)}</div>`
      : `<div class="cl${l.me ? ' me' : ''}"><b>${esc(l.me ? t('you') : l.who)}</b><span>${esc(l.text)}</span></div>`)
    .join('');
  log.scrollTop = log.scrollHeight;
  $('#chatIn').disabled = $('#chatSend').disabled = !s || s.dead;
}

// Transfer boxes --------------------------------------------------------------------------------

/**
 * The box of transfer id, replaced in place. With a percentage it shows a bar and stays;
 * without one it goes after 6 s.
 */
export function xferBox(/** @type {string} */ id, /** @type {Session|null} */ s, /** @type {string} */ name, /** @type {string} */ text, /** @type {number|undefined} */ p = undefined) {
  const wrap = $('#xfer');
  if (!wrap) return;
  let x = XFER.get(id);
  if (!x) {
    const el = dom.document().createElement('div');
    el.className = 'xf';
    el.onclick = (/** @type {MouseEvent} */ e) => { if (e.target instanceof Element && e.target.closest('.xc')) xferCancel(id); };
    wrap.appendChild(el);
    x = { el, k: s ? s.k : '', busy: false, timer: 0 };
    XFER.set(id, x);
  }
  clearTimeout(x.timer);
  x.busy = p !== undefined;
  x.el.classList.toggle('done', !x.busy);
  x.el.innerHTML = `<div class="xn" title="${esc(name)}">📁 ${esc(name)}</div><div class="xt">${esc(text)}</div>`
    + (x.busy ? `<div class="xbar"><i style="width:${Math.max(0, Math.min(100, Number(p) || 0))}%"></i></div><button class="xc">${esc(t('cancel'))}</button>` : '');
  if (!x.busy) {
    const box = x;
    x.timer = setTimeout(() => {
      box.el.remove();
      if (XFER.get(id) === box) XFER.delete(id);
      wrap.hidden = !wrap.children.length;
    }, 6000);
  }
  wrap.hidden = false;
}

/** Transfers of sessions that ended stop showing progress. */
function xferSweep() {
  for (const [id, x] of XFER) {
    const s = sesByKey(x.k);
    if (x.busy && (!s || s.dead)) {
      const n = x.el.querySelector('.xn');
      xferBox(id, null, n ? n.textContent.replace(/^📁 /, '') : '', t('fileNo'));
    }
  }
}

/** The file picker for a session. */
export function pickFile(/** @type {Session} */ s) {
  ST.PICKS = s;
  const input = $('#filePick');
  input.value = '';
  input.click();
}

/** Any dialog up: a file offer would hide it or be hidden. */
export function dialogUp() {
  return ['#modal', '#reqModal', '#ringModal'].some((sel) => { const el = $(sel); return !!el && !el.hidden; });
}

/** Asks whether to take the file the other side offers; closing the dialog says no. */
export function fileQuestion(/** @type {Session} */ s, /** @type {import('../core/state.js').FileRx} */ rx) {
  const id = rx.id, name = rx.name, size = rx.size;
  modal(`<h3>${esc(t('fileOffer'))}</h3>
<div><b>${esc(s.peer)}</b>${esc(t('fileWants'))}</div>
<div class="fileName"><b>${esc(name)}</b> <span class="muted">(${esc(fmtSize(size))})</span></div>
${riskyName(name) ? `<div class="fileRisky">${esc(t('fileRisky'))}</div>` : ''}
<div class="hint">${esc(t('fileWhere'))}</div>
<div class="actions"><button id="fileNoBtn">${esc(t('reject'))}</button><button id="fileYesBtn" class="primary">${esc(t('accept'))}</button></div>`,
  () => {
    clearInterval(watch);
    fileAnswer(s.k, id, false);
  });
  $('#fileNoBtn').onclick = closeModal;
  $('#fileYesBtn').onclick = () => {
    fileAnswer(s.k, id, true);
    closeModal();
  };
  $('#fileNoBtn').focus();
  // The sender gives up after 90 s and with the session; so does the question.
  const until = Date.now() + OFFER_WAIT;
  const watch = setInterval(() => {
    if (s.dead || Date.now() > until || !s.rx || s.rx.id !== id) {
      clearInterval(watch);
      if (s.rx && s.rx.id === id && !s.rx.ok && $('#fileNoBtn')) closeModal();
    }
  }, 1000);
}

/** The box of a file saved: where it went, and a button that opens the folder. */
export function xferSaved(/** @type {string} */ id, /** @type {Session} */ s, /** @type {string} */ name, /** @type {string} */ folder) {
  xferBox(id, s, name, t('fileDone', folder));
  const x = XFER.get(id);
  if (!x || typeof x.el.appendChild !== 'function') return;
  const b = dom.document().createElement('button');
  b.className = 'xopen';
  b.textContent = t('fileOpenFolder');
  b.onclick = () => { sinkCall('carpeta', {}).then((r) => { if (!r.ok && r.msg) toast(r.msg); }); };
  x.el.appendChild(b);
}

// Wiring ----------------------------------------------------------------------------------------

export function wireChat() {
  $('#chatClose').onclick = () => toggleChat(false);
  $('#chatSend').onclick = sendChat;
  $('#chatIn').addEventListener('keydown', (/** @type {KeyboardEvent} */ e) => {
    if (e.key === 'Enter' && !e.shiftKey && !e.isComposing) {
      e.preventDefault();
      sendChat();
    } else if (e.key === 'Escape') toggleChat(false);
  });
  $('#filePick').addEventListener('change', () => {
    const input = $('#filePick');
    const files = input.files ? [...input.files] : [];
    const s = ST.PICKS;
    ST.PICKS = null;
    input.value = '';
    if (files.length && s && !s.dead) sendFiles(files, s);
  });
}
