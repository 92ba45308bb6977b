// The one socket to the signalling server, for each of its four kinds: /host/ (this PC's
// registration), /join/ (a technician's session until the host answers), /ring/ (a phone
// call until it is answered) and /call/ (a group call's room). Its owner handles the
// messages in one switch; the socket only checks that each is a JSON object named by `t`
// and within the size its kind allows, keeps the connection alive with pings, and never
// writes to a socket that is not open.

import { wireMsg } from './wire.js';

/** @typedef {import('../core/state.js').WireMsg} WireMsg */

/**
 * How sockets are made. The page uses the browser's WebSocket; a test hands in a
 * stand-in with the same shape (readyState, send, close and the four on… handlers).
 * @type {{make: (url: string) => WebSocket}}
 */
export const sockets = { make: (url) => new WebSocket(url) };

const CONNECTING = 0;
const OPEN = 1;

export class SignalSocket {
  /**
   * Opens the socket; throws as the WebSocket constructor does (a malformed address).
   * @param {string} url
   * @param {number} max the longest message accepted, in characters
   */
  constructor(url, max) {
    /** @type {() => void} */
    this.onopen = () => {};
    /** @type {(m: WireMsg) => void} a checked message */
    this.onmessage = () => {};
    /** @type {(code: number, reason: string) => void} */
    this.onclose = () => {};
    /** @type {() => void} */
    this.onerror = () => {};
    /** @type {ReturnType<typeof setInterval>|undefined} */
    this.ping = undefined;
    const ws = sockets.make(url);
    this.ws = ws;
    ws.onopen = () => this.onopen();
    ws.onmessage = (e) => {
      const m = wireMsg(e.data, max);
      if (m) this.onmessage(m);
    };
    ws.onerror = () => this.onerror();
    ws.onclose = (e) => {
      this.stopPing();
      this.onclose(e.code, e.reason);
    };
  }

  /** Open, or still opening. */
  get live() {
    return this.ws.readyState === CONNECTING || this.ws.readyState === OPEN;
  }

  get open() {
    return this.ws.readyState === OPEN;
  }

  /** One message as JSON; dropped when the socket is not open. */
  send(/** @type {WireMsg} */ m) {
    if (this.open) this.ws.send(JSON.stringify(m));
  }

  /** A ping every ms from now on, so that the server and the proxies keep the socket. */
  keepAlive(/** @type {number} */ ms) {
    this.stopPing();
    this.ping = setInterval(() => this.send({ t: 'ping' }), ms);
  }

  stopPing() {
    clearInterval(this.ping);
    this.ping = undefined;
  }

  /**
   * Closes without reporting anything more; after ms, so that a goodbye just sent still
   * leaves.
   */
  close(ms = 0) {
    const ws = this.ws;
    this.stopPing();
    ws.onopen = ws.onclose = ws.onerror = ws.onmessage = null;
    const end = () => {
      try {
        ws.close();
      } catch {}
    };
    if (ms) setTimeout(end, ms);
    else end();
  }
}
