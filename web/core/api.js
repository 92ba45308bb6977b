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

// The JSON the local server takes and gives. Its replies come from another process: a
// reader checks each field it uses, so fields it only passes on stay unknown.

/**
 * What every reply may hold: whether it went, and a refusal's Spanish message.
 * @typedef {{ok?: boolean, msg?: string}} Reply
 */

/** @typedef {{general?: Object<string, string>, recibir?: Object<string, string>, llamada?: Object<string, string>}} SettingsSections */

/**
 * GET /api/estado.
 * @typedef {Object} Status
 * @property {boolean} [admin]
 * @property {boolean} [portatil]
 * @property {unknown} [recientes] recent PCs: {id, nombre, fecha}
 * @property {unknown} [sesiones] the session history: {fecha, rol, con, id, segundos, control}
 * @property {unknown} [actualizacion] the updater's state (see cleanUpd)
 * @property {string} [servidor] the default signalling server
 * @property {unknown} [monitores]
 * @property {boolean} [inicio_windows] starts with the system
 */

/**
 * POST /api/identidad: this PC as the others reach it.
 * @typedef {Object} Identity
 * @property {string} id nine digits
 * @property {string} [id_bonito] the ID in groups of three
 * @property {string} [clave] the password for unattended access
 * @property {string} llave the key the signalling server knows this PC by
 * @property {string} [nombre] the name others see
 * @property {string} [servidor] the signalling server chosen in the settings
 */

/** @typedef {{w: number, h: number, hz?: number}} Mode */

/**
 * POST /api/resolucion and /api/resolucion/poner.
 * @typedef {Reply & {actual?: Mode, original?: Mode, modos?: unknown, cambiada?: boolean}} ResReply
 */

/**
 * A change of resolution: the original back, or a size (w×h, or the one nearest a fit).
 * @typedef {{original?: boolean, mon?: number, w?: number, h?: number, ajustar_w?: number, ajustar_h?: number}} ResSet
 */

/**
 * The received-files sink's answer: a refusal's msg, else what the call gives (abrir: the
 * sink's id; escribir: bytes on disk so far; terminar: the file's name and folder).
 * @typedef {{ok: true, msg?: string, id: string, recibido: number, nombre: string, carpeta: string}|{ok: false, msg: string}} FilesReply
 */

/** @typedef {{k?: string, activa: boolean, rol?: 'host'|'tech', control?: boolean, con?: string, id?: string}} SessionNote */
/** @typedef {{k?: string, activa: boolean, tipo?: 'sesion'|'telefono', con?: string}} CallNote */

async function get(/** @type {string} */ url) {
  const r = await http.fetch(url, { cache: 'no-store' });
  return r.json();
}

/**
 * @param {string} url
 * @param {unknown} [body] the JSON body; the endpoints without one get {}
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
/** @returns {Promise<Status>} */
export function getStatus() {
  return get('/api/estado');
}

/**
 * The stored settings by section.
 * @returns {Promise<SettingsSections & Reply>}
 */
export function readSettings() {
  return get('/api/ajustes');
}

/**
 * Stores the settings given (sections of name → text); answers the stored ones.
 * @returns {Promise<Reply & {ajustes?: SettingsSections}>}
 */
export function putSettings(/** @type {SettingsSections} */ body) {
  return post('/api/ajustes', body);
}

/**
 * This PC's ID, password, key, name and server, made on first use.
 * @returns {Promise<Identity & Reply>}
 */
export function identity() {
  return post('/api/identidad');
}

/**
 * A new ID for this PC.
 * @returns {Promise<Reply & Partial<Identity>>}
 */
export function newIdentity() {
  return post('/api/id/nuevo');
}

/**
 * The monitors of this PC (see cleanMons).
 * @returns {Promise<unknown>}
 */
export function getMonitors() {
  return get('/api/monitores');
}

/**
 * Brings the app window to the front.
 * @returns {Promise<Reply>}
 */
export function showWindow() {
  return get('/api/show');
}

/**
 * A desktop notification from Kelvora.
 * @returns {Promise<Reply>}
 */
export function notice(/** @type {string} */ text) {
  return post('/api/aviso', { titulo: 'Kelvora', texto: text });
}

/**
 * Tells the native side that a session opened, changed or ended.
 * @returns {Promise<Reply>}
 */
export function noteSession(/** @type {SessionNote} */ body) {
  return post('/api/sesion', body, true);
}

/**
 * Tells the native side that a call started or ended (it holds updates back meanwhile).
 * @returns {Promise<Reply>}
 */
export function noteCall(/** @type {CallNote} */ body) {
  return post('/api/llamada', body, true);
}

/**
 * Adds a PC to the recents; answers the list.
 * @returns {Promise<unknown>}
 */
export function addRecent(/** @type {{id: string, nombre: string}} */ body) {
  return post('/api/recientes/agregar', body);
}

/**
 * Removes a PC from the recents; answers the list.
 * @returns {Promise<unknown>}
 */
export function forgetRecent(/** @type {{id: string}} */ body) {
  return post('/api/recientes/quitar', body);
}

/**
 * Puts text on this PC's clipboard.
 * @returns {Promise<Reply>}
 */
export function writeLocalClipboard(/** @type {string} */ text) {
  return post('/api/portapapeles/escribir_local', { texto: text });
}

/**
 * This PC's clipboard as text; propio: this PC's user asks (not the technician).
 * @returns {Promise<Reply & {texto?: unknown}>}
 */
export function readClipboard(/** @type {{propio?: boolean}} */ body) {
  return post('/api/portapapeles/leer', body);
}

/**
 * Puts text from the technician on this PC's clipboard.
 * @returns {Promise<Reply>}
 */
export function setClipboard(/** @type {string} */ text) {
  return post('/api/portapapeles/poner', { texto: text });
}

/**
 * A message for a box of the mailbox: "cap" is the capture window's page, "main" this one.
 * @returns {Promise<Reply>}
 */
export function mailboxPut(/** @type {{a: string, m: unknown}} */ body) {
  return post('/api/buzon/poner', body);
}

/**
 * The messages waiting in a box of the mailbox.
 * @returns {Promise<Reply & {m?: unknown}>}
 */
export function mailboxRead(/** @type {{de: string}} */ body) {
  return post('/api/buzon/leer', body);
}

/**
 * Starts the capture window for a screen number, starts the other monitors' windows ahead
 * of need (precalentar), links one of them ahead (enlazar), or ends it (off).
 * @returns {Promise<Reply>}
 */
export function captureWindow(/** @type {{pantalla?: number, precalentar?: boolean, enlazar?: boolean, off?: boolean, cerrar?: boolean}} */ body) {
  return post('/api/captura', body);
}

/**
 * Input events of the technician for a monitor.
 * @returns {Promise<Reply>}
 */
export function sendInput(/** @type {{mon: number, ev: unknown[]}} */ body) {
  return post('/api/input', body);
}

/**
 * Whether a password for unattended access is right.
 * @returns {Promise<Reply>}
 */
export function checkPassword(/** @type {string} */ pass) {
  return post('/api/verificar', { clave: pass });
}

/**
 * The resolutions a monitor offers and the one in use.
 * @returns {Promise<ResReply>}
 */
export function getResolution(/** @type {{mon: number}} */ body) {
  return post('/api/resolucion', body);
}

/**
 * Sets a monitor's resolution, or puts the original back.
 * @returns {Promise<ResReply>}
 */
export function setResolution(/** @type {ResSet} */ body) {
  return post('/api/resolucion/poner', body);
}

/**
 * Whether Kelvora starts with the system.
 * @returns {Promise<Reply>}
 */
export function setAutostart(/** @type {{on: boolean}} */ body) {
  return post('/api/inicio_windows', body);
}

/**
 * Creates the shortcuts.
 * @returns {Promise<Reply>}
 */
export function makeShortcuts() {
  return post('/api/accesos');
}

/**
 * Starts the uninstaller.
 * @returns {Promise<Reply>}
 */
export function uninstallProgram() {
  return post('/api/desinstalar');
}

/**
 * An action of the updater (check, install, seen, dismiss, revert, auto with on); answers
 * its state (see cleanUpd).
 * @returns {Promise<unknown>}
 */
export function updateAction(/** @type {{action: string, on?: boolean}} */ body) {
  return post('/api/update', body);
}

/**
 * Stores a chosen password for unattended access.
 * @returns {Promise<Reply & {clave?: unknown}>}
 */
export function setPassword(/** @type {{clave: string}} */ body) {
  return post('/api/clave/poner', body);
}

/**
 * Draws a new password for unattended access.
 * @returns {Promise<Reply & {clave?: unknown}>}
 */
export function newPassword() {
  return post('/api/clave/nueva');
}

/**
 * Ends the program.
 * @returns {Promise<Reply>}
 */
export function quitProgram() {
  return post('/api/salir');
}

/**
 * The release history.
 * @returns {Promise<unknown>}
 */
export function getNews() {
  return get('/api/novedades');
}

/**
 * The manual in a language, as HTML with its contents.
 * @returns {Promise<unknown>}
 */
export function getManual(/** @type {string} */ lang) {
  return get('/api/manual?lang=' + lang);
}

/**
 * An endpoint of the received-files sink (abrir, terminar, cancelar, carpeta).
 * @returns {Promise<FilesReply>}
 */
export function filesCall(/** @type {string} */ what, /** @type {Object<string, unknown>} */ body) {
  return post('/api/archivos/' + what, body);
}

/**
 * One piece of a received file, as raw bytes, starting at byte `from`.
 * @returns {Promise<FilesReply>}
 */
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

/**
 * The updater's state (see cleanUpd), given up on when signal aborts.
 * @returns {Promise<unknown>}
 */
export async function getUpdate(/** @type {AbortSignal} */ signal) {
  return (await http.fetch('/api/update', { cache: 'no-store', signal })).json();
}

/** As the page goes: no session (or call) runs any more; keepalive lets the note leave with the page. */
export function endedAsPageGoes(/** @type {'sesion'|'llamada'} */ what) {
  try {
    http.fetch('/api/' + what, { method: 'POST', keepalive: true, headers: { 'Content-Type': 'application/json', 'X-Token': PAGE.token }, body: '{"activa":false}' });
  } catch {}
}
