// The session's pure rules: SDP adjustment, codec order, statistics line, failure line,
// how an end is told to the other side and to the user, what the wire lets through.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load } from '../../lib/web_modules.mjs';

const page = await load(['net/session.js', 'net/peer.js', 'net/wire.js']);
const sdp = (...lines) => lines.join('\r\n') + '\r\n';

// A session offer as Chromium makes it: video, PC audio, voice.
const OFFER = sdp(
  'v=0', 'o=- 1 2 IN IP4 127.0.0.1', 's=-', 't=0 0',
  'm=video 9 UDP/TLS/RTP/SAVPF 96', 'a=rtpmap:96 VP8/90000',
  'm=audio 9 UDP/TLS/RTP/SAVPF 111 63', 'a=rtpmap:111 opus/48000/2', 'a=fmtp:111 minptime=10;useinbandfec=0', 'a=rtpmap:63 red/48000/2',
  'm=audio 9 UDP/TLS/RTP/SAVPF 109', 'a=rtpmap:109 OPUS/48000/2', 'a=rtcp-fb:109 transport-cc',
  'm=audio 9 UDP/TLS/RTP/SAVPF 0', 'a=rtpmap:0 PCMU/8000',
  'm=application 9 UDP/DTLS/SCTP webrtc-datachannel');

test('mungeOpus: PC audio in stereo at a high rate, voice with short frames, other sections untouched', () => {
  const out = page.mungeOpus(OFFER).split('\r\n');
  // An existing fmtp line keeps its parameters and their order; new ones are appended.
  assert.ok(out.includes('a=fmtp:111 minptime=10;useinbandfec=1;stereo=1;sprop-stereo=1;maxaveragebitrate=192000'));
  // Without a fmtp line one is inserted right after the rtpmap line (any case of "opus").
  const i = out.indexOf('a=rtpmap:109 OPUS/48000/2');
  assert.equal(out[i + 1], 'a=fmtp:109 minptime=10;useinbandfec=1;usedtx=0');
  // No Opus: unchanged; video and data too.
  assert.ok(out.includes('a=rtpmap:0 PCMU/8000'));
  assert.equal(out.filter((l) => l.startsWith('a=fmtp')).length, 2);
  assert.equal(page.mungeOpus(OFFER).replace(/a=fmtp:[^\r]*\r\n/g, '').replace('minptime', ''), OFFER.replace(/a=fmtp:[^\r]*\r\n/g, '').replace('minptime', ''));
});

test('mungeVoice gives every audio section the voice form, and a second run changes nothing', () => {
  const once = page.mungeVoice(OFFER);
  assert.match(once, /a=fmtp:111 minptime=10;useinbandfec=1;usedtx=0\r\n/);
  assert.match(once, /a=fmtp:109 minptime=10;useinbandfec=1;usedtx=0\r\n/);
  assert.equal(page.mungeVoice(once), once);
  assert.equal(page.mungeOpus(page.mungeOpus(OFFER)), page.mungeOpus(OFFER));
});

test('mungeVideoStart: every video codec starts at the session rate; retransmission, FEC and audio untouched', () => {
  const answer = sdp(
    'v=0', 'm=video 9 UDP/TLS/RTP/SAVPF 96 97 98 99 100',
    'a=rtpmap:96 VP8/90000', 'a=rtpmap:97 rtx/90000', 'a=fmtp:97 apt=96',
    'a=rtpmap:98 H264/90000', 'a=fmtp:98 level-asymmetry-allowed=1;packetization-mode=1;x-google-start-bitrate=300',
    'a=rtpmap:99 red/90000', 'a=rtpmap:100 ulpfec/90000',
    'm=audio 9 UDP/TLS/RTP/SAVPF 111', 'a=rtpmap:111 opus/48000/2', 'a=fmtp:111 minptime=10');
  const out = page.mungeVideoStart(answer).split('\r\n');
  const start = `x-google-start-bitrate=${page.VIDEO_START_KBPS}`;
  assert.equal(out[out.indexOf('a=rtpmap:96 VP8/90000') + 1], `a=fmtp:96 ${start}`);
  assert.ok(out.includes(`a=fmtp:98 level-asymmetry-allowed=1;packetization-mode=1;${start}`), 'an existing value is replaced in place');
  assert.ok(out.includes('a=fmtp:97 apt=96'));
  assert.equal(out.filter((l) => l.includes('x-google')).length, 2);
  assert.ok(out.includes('a=fmtp:111 minptime=10'));
  assert.equal(page.mungeVideoStart(page.mungeVideoStart(answer)), page.mungeVideoStart(answer));
});

test('video codecs: H.264 with packetization 1, other H.264, VP9, AV1, VP8, the rest; order kept within a rank', () => {
  const c = (mimeType, sdpFmtpLine = '') => ({ mimeType, sdpFmtpLine });
  const codecs = [c('video/VP8'), c('video/rtx'), c('video/H264', 'packetization-mode=0'), c('video/AV1'),
    c('video/H264', 'level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42001f'), c('video/VP9', 'profile-id=0'),
    c('video/VP9', 'profile-id=2'), c('video/H264', 'packetization-mode=1;profile-level-id=640034'), c('video/red')];
  const order = page.sortCodecs(codecs).map((x) => `${x.mimeType} ${x.sdpFmtpLine}`.trim());
  assert.deepEqual(order, [
    'video/H264 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=42001f',
    'video/H264 packetization-mode=1;profile-level-id=640034',
    'video/H264 packetization-mode=0',
    'video/VP9 profile-id=0', 'video/VP9 profile-id=2', 'video/AV1', 'video/VP8', 'video/rtx', 'video/red',
  ]);
});

test('the statistics line leaves out what is unknown', () => {
  for (const [x, want] of [
    [{ path: true, relay: true, rtt: 12.4, fps: 29.7, w: 1920, h: 1080, kbps: 2345 }, 'TURN · 12 ms · 30 fps · 1920×1080 · 2.3 Mbps'],
    [{ path: true, relay: false, rtt: 0.6, kbps: 640.4 }, 'P2P · 1 ms · 640 kbps'],
    [{ fps: 0, w: 0, h: 720, kbps: -5 }, ''],
    [{ path: true, kbps: 1000 }, 'P2P · 1.0 Mbps'],
  ]) assert.equal(page.statText(x), want);
});

test('TURN servers are told apart from STUN ones in any list shape', () => {
  for (const [list, want] of [
    [[{ urls: 'stun:a' }, { urls: ['stun:b', 'turn:c?transport=udp'] }], true],
    [[{ urls: 'TURNS:x' }], true], [[{ url: 'turn:y' }], true],
    [[{ urls: 'stun:a' }], false], [[], false], [null, false], [[null, 3], false],
  ]) assert.equal(page.hasTurn(list), want, JSON.stringify(list));
});

test('how an end is told: to the peer and to the user', () => {
  for (const [why, connected, wire] of [['lost', false, 'failed'], ['lost', true, 'closed'], ['stopped', true, 'stopped'], ['local', true, 'bye'], ['peer', false, 'bye']])
    assert.equal(page.wireWhy(why, connected), wire, `${why} ${connected}`);
  for (const [why, connected, turn, key] of [
    ['lost', false, true, 'connFailTurn'], ['failed', false, false, 'connFail'], ['local', false, false, null],
    ['peer', false, false, 'endedPeer'], ['peer', true, false, 'endedPeer'], ['lost', true, true, 'endedLost'],
    ['stopped', true, false, 'endedStop'], ['local', true, false, 'ended'],
  ]) assert.equal(page.endToast(why, connected, turn), key, `${why} ${connected}`);
});

test('the failure line counts candidates by type and the failed pairs', () => {
  const s = { role: 'tech', ice: [{ urls: 'turn:x' }], relayTried: true };
  const line = page.failureLine(s, 'lost', [
    { type: 'local-candidate', candidateType: 'host' }, { type: 'local-candidate', candidateType: 'host' },
    { type: 'local-candidate', candidateType: 'relay' }, { type: 'remote-candidate', candidateType: 'srflx' },
    { type: 'candidate-pair', state: 'failed' }, { type: 'candidate-pair', state: 'waiting' }, { type: 'codec' },
  ], 'failed');
  assert.equal(line, '[CONEXION] no se logró (lost, rol tech) · TURN sí (se probó el relevo) · locales {"host":2,"relay":1} · remotos {"srflx":1} · pares 2 (fallidos 1) · estado ICE failed');
});

test('messages from the wire: only JSON objects named by t, within the size', () => {
  for (const [data, ok] of [
    ['{"t":"hello","x":1}', true], ['{"t":1}', false], ['[{"t":"a"}]', false], ['null', false],
    ['{"t":"a"', false], [new ArrayBuffer(4), false], ['{"t":"' + 'a'.repeat(100) + '"}', false],
  ]) assert.equal(page.wireMsg(data, 64) !== null, ok, String(data).slice(0, 20));
});

test('what waits for the control channel is said once it opens, even when the channel had not arrived yet', async () => {
  const p = await load(['net/session.js', 'net/peer.js', 'net/wire.js']);
  const channel = () => ({ label: 'ctl', readyState: 'connecting', said: [], send(x) { this.said.push(JSON.parse(x)); } });
  for (const [name, early] of [['no channel yet', true], ['channel connecting', false], ['channel open', false]]) {
    const s = p.newSession('tech', { k: 't1' });
    const ch = channel();
    if (name === 'channel open') ch.readyState = 'open';
    if (!early) p.wireDC(s, ch);
    p.whenCtl(s, () => p.ctl(s, { t: 'call', on: true }));
    if (early) p.wireDC(s, ch);
    assert.deepEqual(ch.said, name === 'channel open' ? [{ t: 'call', on: true }] : [], `${name}: nothing before it opens`);
    if (ch.readyState !== 'open') {
      ch.readyState = 'open';
      ch.onopen();
    }
    assert.deepEqual(ch.said, [{ t: 'call', on: true }], `${name}: said once, on opening`);
  }
  // A session that ended says nothing when a late channel opens.
  const s = p.newSession('tech', { k: 't2' });
  p.whenCtl(s, () => p.ctl(s, { t: 'call', on: true }));
  p.endSession(s, 'local', false);
  const ch = channel();
  p.wireDC(s, ch);
  ch.readyState = 'open';
  ch.onopen();
  assert.deepEqual(ch.said, []);
});

test('the /ice answer is checked like every ICE list; a bad one stands a minute, a good one an hour', async (t) => {
  const TURN = { urls: ['turn:relay.example:3478'], username: 'u', credential: 'c' };
  for (const [name, reply, want, staysMs] of [
    ['good', { iceServers: [TURN, { urls: 'stun:s.example' }] }, [TURN, { urls: ['stun:s.example'] }], 3600000],
    ['entries without urls dropped', { iceServers: [{ username: 'x' }, 7, TURN] }, [TURN], 3600000],
    ['not a list', { iceServers: 'turn:x' }, null, 60000],
    ['entries all malformed', { iceServers: [{ urls: 5 }, null, { urls: ['x'.repeat(600)] }] }, null, 60000],
    ['no JSON', 'throw', null, 60000],
  ]) {
    const p = await load(['net/session.js', 'net/peer.js', 'net/wire.js']);
    let asked = 0;
    p.http.fetch = async () => {
      asked++;
      if (reply === 'throw') throw new SyntaxError('bad');
      return { status: 200, json: async () => reply };
    };
    const now = t.mock.method(Date, 'now', () => 1e12);
    const list = await p.iceServers();
    assert.deepEqual(list, want || p.FALLBACK_ICE, name);
    now.mock.mockImplementation(() => 1e12 + staysMs - 1000);
    await p.iceServers();
    assert.equal(asked, 1, `${name}: kept while fresh`);
    now.mock.mockImplementation(() => 1e12 + staysMs + 1000);
    await p.iceServers();
    assert.equal(asked, 2, `${name}: asked again after ${staysMs} ms`);
    now.mock.restore();
  }
});
