// The group call card: creating or joining a room, the members, mute and volume.

import { ST } from '../core/state.js';
import { esc, t } from '../core/texts.js';
import { callCodeOf, callCreate, callDeaf, callKick, callLeave, callMute, callStart, callVol } from '../net/group_call.js';
import { peerName } from '../net/wire.js';
import { $ } from './dom.js';
import { copyText, toast } from './shell.js';

/**
 * Who the rows are: they are built again only when that changes, so that a drag on a
 * volume slider survives members who start and stop speaking; the rest is updated in place.
 */
let callDrawn = '';

/** Join: the code as typed. */
export function callJoin() {
  const code = callCodeOf($('#callCode').value);
  if (!code) {
    toast(t('callBadCode'));
    return;
  }
  callStart(code, false);
}

/** The own microphone's level in the call's meter. */
export function renderCallLevel(/** @type {number} */ level) {
  const meter = $('#callMeter');
  if (meter) meter.value = level;
}

export function renderCall() {
  const x = ST.CALLX;
  const dot = $('#calldot');
  if (!dot) return;
  dot.hidden = !x;
  $('#callSetup').hidden = !!x;
  $('#callRoom').hidden = !x;
  if (!x) {
    callDrawn = '';
    $('#callPeople').innerHTML = '';
    return;
  }
  $('#callCodeBig').textContent = x.code;
  $('#callCopyBtn').textContent = t('copy');
  $('#callInfo').textContent = x.joined ? t('callPeople', x.peers.size + 1) : t('connecting');
  $('#callMuteBtn').textContent = t(x.muted ? 'callMuted' : 'callUnmuted');
  $('#callMuteBtn').classList.toggle('off', x.muted);
  $('#callDeafBtn').textContent = t(x.deaf ? 'callDeafOn' : 'callDeafOff');
  $('#callDeafBtn').classList.toggle('off', x.deaf);
  const amHost = !!x.me && x.host === x.me;
  const myName = peerName(ST.ID && ST.ID.nombre, 'Kelvora');
  const peers = [...x.peers.values()];
  const who = JSON.stringify([ST.LANG, myName, amHost, x.host, peers.map((p) => [p.id, p.name])]);
  const box = $('#callPeople');
  if (who !== callDrawn) {
    callDrawn = who;
    const muted = (/** @type {string} */ tip) => `<span class="cmuted" title="${esc(t(tip))}" hidden>🔇</span>`;
    box.innerHTML =
      `<div class="item cme" data-id=""><span class="ctalk"></span><span class="grow"><b>${esc(myName)}</b> · ${esc(t('callYou'))}${amHost ? ' · ' + esc(t('callHost')) : ''}</span>${muted('callMuted')}</div>` +
      peers
        .map(
          (p) =>
            `<div class="item cpeer" data-id="${esc(p.id)}"><span class="ctalk"></span>` +
            `<span class="grow"><b>${esc(p.name)}</b>${p.id === x.host ? ' · ' + esc(t('callHost')) : ''}</span>` +
            muted('dkPeerMuted') +
            '<span class="cst muted"></span>' +
            `<input type="range" class="cvol" min="0" max="100" value="${Math.round(p.vol * 100)}" title="${esc(t('dkVol'))}" data-id="${esc(p.id)}">` +
            (amHost ? `<button class="small danger ckick" data-id="${esc(p.id)}">${esc(t('callKick'))}</button>` : '') +
            '</div>',
        )
        .join('');
  }
  const states = t('pcState');
  box.querySelectorAll('.item').forEach((/** @type {HTMLElement} */ row) => {
    const p = row.dataset.id ? x.peers.get(row.dataset.id) : null;
    const talk = p ? p.talk && !p.muted : x.talk;
    row.classList.toggle('talk', talk);
    const mark = row.querySelector('.cmuted');
    if (mark) /** @type {HTMLElement} */ (mark).hidden = !(p ? p.muted : x.muted);
    const st = row.querySelector('.cst');
    if (st && p) st.textContent = (states && typeof states === 'object' && states[p.pc.connectionState]) || p.pc.connectionState;
  });
}

export function wireCall() {
  $('#callCreateBtn').onclick = callCreate;
  $('#callJoinBtn').onclick = callJoin;
  $('#callCode').addEventListener('keydown', (/** @type {KeyboardEvent} */ e) => { if (e.key === 'Enter') callJoin(); });
  $('#callMuteBtn').onclick = callMute;
  $('#callDeafBtn').onclick = callDeaf;
  $('#callLeaveBtn').onclick = () => callLeave();
  // The code is there to be passed on: a copy button beside it (the code itself copies too).
  $('#callCodeBig').insertAdjacentHTML('afterend', '<button id="callCopyBtn" class="small"></button>');
  $('#callCodeBig').onclick = $('#callCopyBtn').onclick = () => { if (ST.CALLX) copyText(ST.CALLX.code); };
  $('#callPeople').addEventListener('input', (/** @type {Event} */ e) => {
    const el = /** @type {HTMLInputElement} */ (e.target);
    if (el.classList.contains('cvol')) callVol(el.dataset.id || '', Number(el.value));
  });
  $('#callPeople').addEventListener('click', (/** @type {MouseEvent} */ e) => {
    const b = /** @type {HTMLElement|null} */ (/** @type {HTMLElement} */ (e.target).closest('button.ckick'));
    if (b) callKick(b.dataset.id || '');
  });
  renderCall();
}
