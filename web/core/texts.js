// The page's texts: t(key, ...args) in the page's language, and esc for markup.

import { I18N } from '../i18n.js';
import { ST } from './state.js';

/** @type {Object<string, string>} */
const ESC = { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' };

/** Text for markup: every value put into HTML passes through here. */
export function esc(/** @type {unknown} */ v) {
  if (v === null || v === undefined) return '';
  return String(v).replace(/[&<>"']/g, (c) => ESC[c] || c);
}

// Texts ---------------------------------------------------------------------------------

/**
 * The text of key in the page's language, else Spanish, else the key; "{n}" → args[n].
 * A table that is no text (pcState, the connection states' names) comes back as it is,
 * which is why the tables and the answer stay loosely typed here.
 */
export function t(/** @type {string} */ key, /** @type {unknown[]} */ ...args) {
  // Loose: a key may name a table (pcState) rather than a text, and its callers read it as one.
  /** @type {any} */
  const tables = typeof I18N === 'undefined' ? {} : I18N;
  let v = tables[ST.LANG] && key in tables[ST.LANG] ? tables[ST.LANG][key] : tables.es && key in tables.es ? tables.es[key] : key;
  if (typeof v !== 'string') return v;
  return v.replace(/\{(\d+)\}/g, (m, i) => (Number(i) < args.length ? String(args[Number(i)]) : m));
}
