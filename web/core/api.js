// The local API of the native host: one function per endpoint, through a fetch a test can
// hand in; a token gone stale after a restart reloads the page (never mid-session).

import { anySession } from './state.js';
import { store } from './util.js';

/** The values the local server writes into index.html (empty where no page was served, as in tests). */
export const PAGE = {
  token: typeof TOKEN === 'string' ? TOKEN : '',
  version: typeof VER === 'string' ? VER : '',
};

/**
 * What the local API goes through. The page uses the browser's fetch and reloads itself;
 * a test hands in stand-ins.
 */
export const http = {
  fetch: (/** @type {string} */ url, /** @type {RequestInit=} */ init) => fetch(url, init),
  reload: () => location.reload(),
};

async function get(/** @type {string} */ url) {
  const r = await http.fetch(url, { cache: 'no-store' });
  return r.json();
}

/**
 * @param {string} url
 * @param {any} [body] the JSON body; the endpoints without one get {}
 * @param {boolean} [keepalive] the note must reach the native side even as the page goes
 *   (a session or a call ended by a reload would otherwise hold updates back for good)
 */
async function post(url, body, keepalive = false) {
  const r = await http.fetch(url, {
    method: 'POST',
    keepalive,
    headers: { 'Content-Type': 'application/json', 'X-Token': PAGE.token },
    body: JSON.stringify(body ?? {}),
  });
  if (r.status === 403 && reloadAfter403(Date.now(), Number(store('kv403', undefined, true)) || 0, anySession())) {
    store('kv403', String(Date.now()), true);
    http.reload();
  }
  return r.json();
}

/**
 * A page left open from an earlier run holds a dead token: reload for the new one, but
 * never in the middle of a session and at most once a minute (a reload loop would hide
 * whatever keeps refusing).
 */
export function reloadAfter403(/** @type {number} */ now, /** @type {number} */ last, /** @type {boolean} */ busy) {
  return !busy && now - last > 60000;
}

/** Writes one line to kelvora.log; the line starts with its area tag. */
export function diag(/** @type {string} */ line) {
  return post('/api/diag', { texto: line }).catch(() => {});
}

export function openUrl(/** @type {string} */ u) { post('/api/abrir', { what: 'url', url: u }).catch(() => {}); }
export function openWhat(/** @type {string} */ w) { post('/api/abrir', { what: w }).catch(() => {}); }

// One function per endpoint; the answers are the JSON the local server gives.

/** The PC's state: admin, portable, recents, sessions, update, server, monitors, autostart. */
export function getStatus() {
  return get('/api/estado');
}

/** The stored settings by section. */
export function readSettings() {
  return get('/api/ajustes');
}

/** Stores the settings given (sections of name → text); answers the stored ones. */
export function putSettings(/** @type {any} */ body) {
  return post('/api/ajustes', body);
}

/** This PC's ID, password, key, name and server, made on first use. */
export function identity() {
  return post('/api/identidad');
}

/** A new ID for this PC. */
export function newIdentity() {
  return post('/api/id/nuevo');
}

/** The monitors of this PC. */
export function getMonitors() {
  return get('/api/monitores');
}

/** Brings the app window to the front. */
export function showWindow() {
  return get('/api/show');
}

/** A desktop notification from Kelvora. */
export function notice(/** @type {string} */ text) {
  return post('/api/aviso', { titulo: 'Kelvora', texto: text });
}

/** Tells the native side that a session opened, changed or ended. */
export function noteSession(/** @type {any} */ body) {
  return post('/api/sesion', body, true);
}

/** Tells the native side that a call started or ended (it holds updates back meanwhile). */
export function noteCall(/** @type {any} */ body) {
  return post('/api/llamada', body, true);
}

/** Adds a PC to the recents; answers the list. */
export function addRecent(/** @type {any} */ body) {
  return post('/api/recientes/agregar', body);
}

/** Removes a PC from the recents; answers the list. */
export function forgetRecent(/** @type {any} */ body) {
  return post('/api/recientes/quitar', body);
}

/** Puts text on this PC's clipboard. */
export function writeLocalClipboard(/** @type {string} */ text) {
  return post('/api/portapapeles/escribir_local', { texto: text });
}

/** This PC's clipboard as text. */
export function readClipboard(/** @type {any} */ body) {
  return post('/api/portapapeles/leer', body);
}

/** Puts text from the technician on this PC's clipboard. */
export function setClipboard(/** @type {string} */ text) {
  return post('/api/portapapeles/poner', { texto: text });
}

/** A message for the capture window's page (or from it). */
export function mailboxPut(/** @type {any} */ body) {
  return post('/api/buzon/poner', body);
}

/** The messages waiting in a box of the mailbox. */
export function mailboxRead(/** @type {any} */ body) {
  return post('/api/buzon/leer', body);
}

/** Starts the capture window for a screen number, or ends it. */
export function captureWindow(/** @type {any} */ body) {
  return post('/api/captura', body);
}

/** Input events of the technician for a monitor. */
export function sendInput(/** @type {any} */ body) {
  return post('/api/input', body);
}

/** Whether a password for unattended access is right. */
export function checkPassword(/** @type {string} */ pass) {
  return post('/api/verificar', { clave: pass });
}

/** The resolutions a monitor offers and the one in use. */
export function getResolution(/** @type {any} */ body) {
  return post('/api/resolucion', body);
}

/** Sets a monitor's resolution, or puts the original back. */
export function setResolution(/** @type {any} */ body) {
  return post('/api/resolucion/poner', body);
}

/** Whether Kelvora starts with the system. */
export function setAutostart(/** @type {any} */ body) {
  return post('/api/inicio_windows', body);
}

/** Creates the shortcuts. */
export function makeShortcuts() {
  return post('/api/accesos');
}

/** Starts the uninstaller. */
export function uninstallProgram() {
  return post('/api/desinstalar');
}

/** An action of the updater: check, download, install, keep, revert. */
export function updateAction(/** @type {any} */ body) {
  return post('/api/update', body);
}

/** Stores a chosen password for unattended access. */
export function setPassword(/** @type {any} */ body) {
  return post('/api/clave/poner', body);
}

/** Draws a new password for unattended access. */
export function newPassword() {
  return post('/api/clave/nueva');
}

/** Ends the program. */
export function quitProgram() {
  return post('/api/salir');
}

/** The release history. */
export function getNews() {
  return get('/api/novedades');
}

/** The manual in a language, as HTML. */
export function getManual(/** @type {string} */ lang) {
  return get('/api/manual?lang=' + lang);
}

/** An endpoint of the received-files sink (abrir, cerrar, cancelar, carpeta). */
export function filesCall(/** @type {string} */ what, /** @type {any} */ body) {
  return post('/api/archivos/' + what, body);
}

/** One piece of a received file, as raw bytes, starting at byte `from`. */
export function writeFilePiece(/** @type {string} */ id, /** @type {number} */ from, /** @type {Blob} */ piece) {
  return http.fetch(`/api/archivos/escribir?id=${encodeURIComponent(id)}&desde=${from}`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/octet-stream', 'X-Token': PAGE.token },
    body: piece,
  }).then((r) => r.json());
}

/** The PC's sound as a stream of raw samples, for as long as signal allows. */
export function openSound(/** @type {AbortSignal} */ signal) {
  return http.fetch('/api/audio?t=' + encodeURIComponent(PAGE.token), { cache: 'no-store', signal });
}

/** The updater's state, given up on when signal aborts. */
export async function getUpdate(/** @type {AbortSignal} */ signal) {
  return (await http.fetch('/api/update', { cache: 'no-store', signal })).json();
}

/** As the page goes: no session (or call) runs any more; keepalive lets the note leave with the page. */
export function endedAsPageGoes(/** @type {'sesion'|'llamada'} */ what) {
  try {
    http.fetch('/api/' + what, { method: 'POST', keepalive: true, headers: { 'Content-Type': 'application/json', 'X-Token': PAGE.token }, body: '{"activa":false}' });
  } catch {}
}
