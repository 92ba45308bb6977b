// The reference: a bare ordered data channel between the same two pages, on a peer
// connection of its own made with the session's own ICE servers, moving the same bytes
// with the same back-pressure as a file, the receiver only counting them.

/** The ICE configuration of a page's open session. */
function sessionConfig(page) {
  return page.evaluate(() => {
    const s = typeof kelvora.HSES === 'object' && kelvora.HSES ? kelvora.HSES : [...kelvora.TS.values()][0];
    const c = s.pc.getConfiguration();
    return { iceServers: c.iceServers, iceTransportPolicy: c.iceTransportPolicy };
  });
}

/** Sets up the pair: window.__bare in both pages, one channel between them. */
export async function bareChannel(a, b) {
  const config = await sessionConfig(a);
  const make = (page, offerer) => page.evaluate(([config, offerer]) => {
    const pc = new RTCPeerConnection(config);
    const bare = { pc, got: 0, first: 0, last: 0, ch: null, open: null };
    // @ts-ignore
    window.__bare = bare;
    const wire = (ch) => {
      ch.binaryType = 'arraybuffer';
      bare.ch = ch;
      ch.onmessage = (e) => {
        if (!bare.got) bare.first = Date.now();
        bare.got += e.data.byteLength;
        bare.last = Date.now();
      };
      bare.open = new Promise((r) => (ch.readyState === 'open' ? r() : (ch.onopen = r)));
    };
    if (offerer) wire(pc.createDataChannel('bare', { ordered: true }));
    else pc.ondatachannel = (e) => wire(e.channel);
    return true;
  }, [config, offerer]);
  await make(a, true);
  await make(b, false);
  // Whole descriptions once gathering ended: no trickle to relay.
  const gathered = (page, what) => page.evaluate(async (what) => {
    const { pc } = window.__bare;
    if (what === 'offer') await pc.setLocalDescription(await pc.createOffer());
    else await pc.setLocalDescription(await pc.createAnswer());
    if (pc.iceGatheringState !== 'complete') await new Promise((r) => pc.addEventListener('icegatheringstatechange', () => pc.iceGatheringState === 'complete' && r()));
    return { type: pc.localDescription.type, sdp: pc.localDescription.sdp };
  }, what);
  const offer = await gathered(a, 'offer');
  await b.evaluate((d) => window.__bare.pc.setRemoteDescription(d), offer);
  const answer = await gathered(b, 'answer');
  await a.evaluate((d) => window.__bare.pc.setRemoteDescription(d), answer);
  await b.waitForFunction(() => window.__bare.ch, null, { timeout: 30000 });
  await Promise.all([a.evaluate(() => window.__bare.open), b.evaluate(() => window.__bare.open)]);
}

/** Sends `bytes` from page `from` to page `to` over the bare channel; MB/s as received. */
export async function bareSend(from, to, bytes, chunk, high, low) {
  await to.evaluate(() => { Object.assign(window.__bare, { got: 0, first: 0, last: 0 }); });
  const t0 = await from.evaluate(async ([bytes, chunk, high, low]) => {
    const ch = window.__bare.ch;
    ch.bufferedAmountLowThreshold = low;
    const block = new Uint8Array(chunk);
    const t0 = Date.now();
    for (let at = 0; at < bytes; at += chunk) {
      while (ch.bufferedAmount > high) await new Promise((r) => { const t = setTimeout(r, 500); ch.addEventListener('bufferedamountlow', () => { clearTimeout(t); r(); }, { once: true }); });
      ch.send(at + chunk <= bytes ? block : block.subarray(0, bytes - at));
    }
    return t0;
  }, [bytes, chunk, high, low]);
  await moving(() => to.evaluate(() => window.__bare.got), (got) => got >= bytes, 'the bare channel');
  const last = await to.evaluate(() => window.__bare.last);
  return bytes / 1e6 / ((last - t0) / 1000);
}

export function bareClose(pages) {
  return Promise.all(pages.map((p) => p.evaluate(() => window.__bare?.pc.close()).catch(() => {})));
}

/**
 * Until done(progress()) holds, polling once a second; fails when progress() has not grown
 * for stallMs (a loaded machine may be slow, but never still for minutes).
 */
export async function moving(progress, done, what, stallMs = 3 * 60 * 1000) {
  let last = -1, since = Date.now();
  for (;;) {
    const now = await progress();
    if (await done(now)) return;
    if (now > last) [last, since] = [now, Date.now()];
    else if (Date.now() - since > stallMs) throw new Error(`${what}: nothing moved for ${stallMs / 1000} s (at ${last} bytes)`);
    await new Promise((r) => setTimeout(r, 1000));
  }
}
