import { anySession } from './state.js';
import { store } from './util.js';

// Local API -----------------------------------------------------------------------------

/** The values the local server writes into index.html (empty where no page was served, as in tests). */
export const PAGE = {
  token: typeof TOKEN === 'string' ? TOKEN : '',
  version: typeof VER === 'string' ? VER : '',
};

export async function get(/** @type {string} */ url) {
  const r = await fetch(url, { cache: 'no-store' });
  return r.json();
}

export async function post(/** @type {string} */ url, /** @type {any=} */ body) {
  const r = await fetch(url, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json', 'X-Token': PAGE.token },
    body: JSON.stringify(body ?? {}),
  });
  if (r.status === 403 && reloadAfter403(Date.now(), Number(store('kv403', undefined, true)) || 0, anySession())) {
    store('kv403', String(Date.now()), true);
    location.reload();
  }
  return r.json();
}

/**
 * A page left open from an earlier run holds a dead token: reload for the new one, but
 * never in the middle of a session and at most once a minute (a reload loop would hide
 * whatever keeps refusing).
 */
function reloadAfter403(/** @type {number} */ now, /** @type {number} */ last, /** @type {boolean} */ busy) {
  return !busy && now - last > 60000;
}

/** Writes one line to kelvora.log; the line starts with its area tag. */
export function diag(/** @type {string} */ line) {
  return post('/api/diag', { texto: line }).catch(() => {});
}

export function openUrl(/** @type {string} */ u) { post('/api/abrir', { what: 'url', url: u }).catch(() => {}); }
export function openWhat(/** @type {string} */ w) { post('/api/abrir', { what: w }).catch(() => {}); }
