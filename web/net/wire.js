// What arrives from the signalling server or the other page, checked into the shapes the
// page uses: messages, monitor lists, ICE servers, names.

/** @typedef {import('../core/state.js').WireMsg} WireMsg */
/** @typedef {import('../core/state.js').IceServer} IceServer */

/** Does an ICE server list hold a TURN server (turn: or turns:). */
export function hasTurn(/** @type {unknown} */ list) {
  return Array.isArray(list) && list.some((srv) => [].concat((srv && (srv.urls || srv.url)) || []).some((u) => /^turns?:/i.test(String(u))));
}

// Wire input ----------------------------------------------------------------------------
// What arrives from the signalling server or the other page, in shapes the page can use.

/** A message from a socket or channel: a JSON object named by `t`, within max characters; else null. */
export function wireMsg(/** @type {unknown} */ data, /** @type {number} */ max) {
  if (typeof data !== 'string' || data.length > max) return null;
  try {
    const m = JSON.parse(data);
    return m && typeof m === 'object' && typeof m.t === 'string' ? /** @type {WireMsg} */ (m) : null;
  } catch {
    return null;
  }
}

/**
 * The monitor list from the local API, with only the fields the page uses and checked types.
 * @returns {import('../core/state.js').Monitor[]}
 */
export function cleanMons(/** @type {unknown} */ list) {
  if (!Array.isArray(list)) return [];
  return list
    .slice(0, 16)
    .filter((m) => m && typeof m === 'object' && Number.isInteger(m.i) && m.i >= 0)
    .map((m) => ({
      i: m.i,
      name: typeof m.name === 'string' ? m.name.slice(0, 64) : '',
      w: Number.isFinite(m.w) ? m.w : 0,
      h: Number.isFinite(m.h) ? m.h : 0,
      primary: m.primary === true,
    }));
}

/**
 * ICE servers from the signalling server in the shape RTCPeerConnection takes; anything
 * else would make the connection's constructor throw.
 * @returns {IceServer[]}
 */
export function cleanIce(/** @type {unknown} */ list) {
  if (!Array.isArray(list)) return [];
  const str = (/** @type {unknown} */ v) => typeof v === 'string' && v.length < 512;
  return list.slice(0, 16).flatMap((x) => {
    if (!x || typeof x !== 'object') return [];
    const urls = (Array.isArray(x.urls) ? x.urls : [x.urls]).filter(str).slice(0, 8);
    if (!urls.length) return [];
    /** @type {IceServer} */
    const out = { urls };
    if (str(x.username)) out.username = x.username;
    if (str(x.credential)) out.credential = x.credential;
    return [out];
  });
}

/** A name from the network as a short single line. */
export function peerName(/** @type {unknown} */ v, fallback = 'Kelvora') {
  const s = typeof v === 'string' ? v.replace(/[\u0000-\u001f\u007f]/g, ' ').trim().slice(0, 64) : '';
  return s || fallback;
}
