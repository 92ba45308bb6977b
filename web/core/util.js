// Small rules every layer uses: waiting, settings switches, the browser's storage, times
// and IDs as the page shows them.

export const sleep = (/** @type {number} */ ms) => new Promise((r) => setTimeout(r, ms));

/** A settings switch: off only for "no", "0", "false" or "off", in any case and spacing. */
export function yes(/** @type {unknown} */ v) {
  return !['no', '0', 'false', 'off'].includes(String(v ?? '').trim().toLowerCase());
}

/**
 * The browser's storage of the page; a test hands in stand-ins.
 * @type {{local: () => Storage, session: () => Storage}}
 */
export const storage = { local: () => localStorage, session: () => sessionStorage };

/** localStorage / sessionStorage that never throws (storage can be disabled or full). */
export function store(/** @type {string} */ key, /** @type {string=} */ value, session = false) {
  try {
    const st = session ? storage.session() : storage.local();
    if (value === undefined) return st.getItem(key);
    st.setItem(key, value);
  } catch {}
  return null;
}

// Small helpers -------------------------------------------------------------------------

/** m:ss, or h:mm:ss from one hour on. */
export function mmss(/** @type {number} */ seconds) {
  const s = Math.max(0, Math.floor(seconds || 0));
  const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60), r = s % 60;
  const p = (/** @type {number} */ n) => String(n).padStart(2, '0');
  return h ? `${h}:${p(m)}:${p(r)}` : `${m}:${p(r)}`;
}

/** Nine digits as "123 456 789"; anything else as its digits. */
export function prettyId(/** @type {unknown} */ s) {
  const d = String(s ?? '').replace(/\D/g, '');
  return d.length === 9 ? `${d.slice(0, 3)} ${d.slice(3, 6)} ${d.slice(6)}` : d;
}

/** An object from the local API with its fields unchecked, or null for anything else. */
export function record(/** @type {unknown} */ v) {
  return v && typeof v === 'object' && !Array.isArray(v) ? /** @type {Record<string, unknown>} */ (v) : null;
}

/** The objects of a list from the local API; anything else (not a list, a bare value) drops out. */
export function records(/** @type {unknown} */ list) {
  if (!Array.isArray(list)) return [];
  return /** @type {Record<string, unknown>[]} */ (list.filter((r) => r && typeof r === 'object'));
}

/** An error as one line of text for the log. */
export function errText(/** @type {unknown} */ x) {
  if (!x) return 'error';
  if (typeof x === 'string') return x;
  const e = /** @type {{name?: unknown, message?: unknown}} */ (x);
  return [e.name && e.name !== 'Error' ? e.name : '', e.message || ''].filter(Boolean).join(': ') || String(e);
}
