import assert from 'node:assert/strict';
import { test } from 'node:test';
import { KEY, missingBin, registerHost, startServer } from './helpers.mjs';

const deep = '{"t":"signal","data":' + '['.repeat(1500) + ']'.repeat(1500) + '}';

// Each case opens a socket on `path`, optionally registers first, sends `frames`, and
// expects the server to close with `code` (or, with code null, to ignore them and keep
// serving the socket).
const cases = [
    { name: 'not JSON', path: '/host/100200300', frames: ['hello'], code: 1008 },
    { name: 'JSON but not an object', path: '/join/100200300', frames: ['[1,2,3]'], code: 1008 },
    { name: 'no string t', path: '/ring/100200300', frames: ['{"t":5}'], code: 1008 },
    { name: 'nesting bomb', path: '/host/100200300', ready: true, frames: [deep], code: 1008 },
    { name: 'binary frame', path: '/call/ABCDEF', frames: [Buffer.from('{"t":"join"}')], code: 1008 },
    { name: 'frame over the size limit', path: '/host/100200300', ready: true, frames: [JSON.stringify({ t: 'signal', data: 'x'.repeat(5000) })], code: 1009 },
    { name: 'invalid UTF-8', path: '/host/100200300', frames: [Buffer.from([0x7b, 0x22, 0xff, 0xfe, 0x22, 0x7d])], text: true, code: 1007 },
    { name: 'host that does not say hello first', path: '/host/100200300', frames: [{ t: 'answer', sid: 'x', ok: true }], code: 1008 },
    { name: 'hello with a short key', path: '/host/100200300', frames: [{ t: 'hello', key: 'abc', name: 'x' }], code: 1008 },
    { name: 'join socket opened with something else', path: '/join/100200300', frames: [{ t: 'signal', data: {} }], code: 1008 },
    { name: 'flood over the rate limit', path: '/host/100200300', ready: true, frames: Array(40).fill({ t: 'ping' }), code: 1008 },
    { name: 'unknown kinds and wrong field types', path: '/host/100200300', ready: true, code: null,
        frames: [{ t: 'nope' }, { t: 'answer', sid: 5, ok: 'yes' }, { t: 'signal', sid: null }, { t: 'bye', sid: {} },
            { t: 'ringans', cid: [] }, { t: 'hello', key: KEY('z') }, { t: 'signal', sid: 'x'.repeat(70000 / 20) }] },
    { name: 'call frames with bad members', path: '/call/QWERTY', join: true, code: null,
        frames: [{ t: 'signal', to: 'nobody', data: 1 }, { t: 'kick', id: 7 }, { t: 'state', talk: 'yes' }, { t: 'join', create: true }] },
];

test('malformed and hostile frames get a clear close or are ignored', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--max-frame', '4096', '--msg-rate', '5', '--msg-burst', '20', '--idle-timeout', '30']);
    for (const k of cases) {
        const c = k.ready ? await registerHost(srv, '100200300') : srv.ws(k.path);
        if (k.join) {
            await c.send({ t: 'join', name: 'a', create: true });
            await c.next('welcome');
        }
        await c.opened;
        for (const f of k.frames) {
            if (k.text) c.ws.send(f, { binary: false });
            else await c.send(f);
        }
        if (k.code === null) {
            await c.send({ t: 'ping' });
            await new Promise((r) => setTimeout(r, 300));
            assert.equal(c.ws.readyState, c.ws.OPEN, k.name);
            c.ws.terminate();
        } else {
            assert.equal((await c.closed).code, k.code, k.name);
        }
    }
    assert.equal((await srv.get('/health')).body.app, 'kelvorasrv', 'the server is still serving');
});

test('sockets that never open, bad paths and too many connections', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--hello-timeout', '0.5', '--max-conn-per-addr', '4']);
    const silent = srv.ws('/host/100200300');
    assert.equal((await silent.closed).code, 1008);

    for (const p of ['/host/12345678', '/host/1234567890', '/join/12345678a', '/call/ABC', '/call/ABCDEF/x', '/other/123456789']) {
        await assert.rejects(srv.ws(p).opened, /HTTP 404/, p);
    }

    const held = [];
    for (let i = 0; i < 4; i++) {
        held.push(srv.ws('/call/ABCDEF'));
        await held[i].opened;
    }
    await assert.rejects(srv.ws('/call/ABCDEF').opened, /HTTP 429/);
    // Another source address has its own allowance.
    await srv.ws('/call/ABCDEF', { localAddress: '127.0.0.5' }).opened;
    for (const h of held) h.ws.terminate();
});
