// Where the signalling server is: this PC's identity names it, else the stored state.

import { ST } from './state.js';

/** The signalling server's address with http(s) turned into ws(s), plus path. */
export function wsUrl(/** @type {string} */ path) {
  return String(ST.ID && ST.ID.servidor ? ST.ID.servidor : ST.S.servidor || '').replace(/^http/, 'ws') + path;
}
export function srvUrl(/** @type {string} */ path) {
  return String(ST.ID && ST.ID.servidor ? ST.ID.servidor : ST.S.servidor || '') + path;
}
