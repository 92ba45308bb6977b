import assert from 'node:assert/strict';
import { test } from 'node:test';
import { KEY, missingBin, registerHost, startServer } from './helpers.mjs';

test('an ID binds to the first key, refuses others and survives a restart', { skip: missingBin }, async (t) => {
    const srv = await startServer(t);
    const first = await registerHost(srv, '123456789', KEY('a'), 'Caja 1');

    const thief = srv.ws('/host/123456789');
    await thief.send({ t: 'hello', key: KEY('b'), name: 'otro', ver: '1' });
    await thief.next('taken');
    await thief.closed;

    // The same key again: the newcomer wins, the old socket is told and closed.
    const again = await registerHost(srv, '123456789', KEY('a'));
    await first.next('replaced');
    assert.equal((await first.closed).code, 1000);

    // The old socket's end must not unregister the new one: a join still reaches it.
    const tech = srv.ws('/join/123456789');
    await tech.send({ t: 'join', name: 'tec', pass: '' });
    await tech.next('waiting');
    await again.next('req');

    assert.ok(!/a{64}|b{64}/.test(srv.log()), 'keys never reach the log');
    await srv.stop();

    const srv2 = await startServer(t, [], { data: srv.data });
    const thief2 = srv2.ws('/host/123456789');
    await thief2.send({ t: 'hello', key: KEY('b'), name: 'otro', ver: '1' });
    await thief2.next('taken');
    await registerHost(srv2, '123456789', KEY('a'));
});

test('a registered host stays while it pings and is closed when silent', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--idle-timeout', '0.6']);
    const h = await registerHost(srv, '222333444');
    const pinger = setInterval(() => h.send({ t: 'ping' }), 150);
    await new Promise((r) => setTimeout(r, 1200));
    clearInterval(pinger);
    assert.equal(h.ws.readyState, h.ws.OPEN);
    const { code } = await h.closed;
    assert.equal(code, 1000);
    const tech = srv.ws('/join/222333444');
    await tech.send({ t: 'join', name: 'tec', pass: '' });
    await tech.next('offline');
});
