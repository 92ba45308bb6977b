import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { missingBin, startServer } from './helpers.mjs';

/** A /call/ member from loopback address `from`; `extra` goes into its join (create, rejoin, token). */
async function member(srv, code, name, from, extra = {}) {
    const c = srv.ws(`/call/${code}`, { localAddress: from });
    await c.send({ t: 'join', name, ...extra });
    return c;
}

async function welcomed(srv, code, name, from, extra) {
    const c = await member(srv, code, name, from, extra);
    c.welcome = await c.next('welcome');
    c.id = c.welcome.id;
    return c;
}

test('a kick keeps the kicked person out, not the colleagues behind the same address', { skip: missingBin }, async (t) => {
    const srv = await startServer(t);
    const code = 'OFI123';
    const host = await welcomed(srv, code, 'anfitriona', '127.0.0.2', { create: true });
    assert.match(host.welcome.token, /^[0-9a-f]{32}$/);
    // Two colleagues behind one office NAT.
    const ana = await welcomed(srv, code, 'ana', '127.0.0.5');
    const beto = await welcomed(srv, code, 'beto', '127.0.0.5');
    assert.notEqual(ana.welcome.token, beto.welcome.token);

    await host.send({ t: 'kick', id: ana.id });
    await ana.next('kicked');
    await ana.closed;
    await beto.next('peer-leave');

    const cases = [
        // [who comes back, from where, with what, what they get]
        ['ana with her token, from mobile data', 'ana', '127.0.0.6', { rejoin: true, token: ana.welcome.token }, 'kicked'],
        ['ana with her token and another name', 'Ana M.', '127.0.0.5', { rejoin: true, token: ana.welcome.token }, 'kicked'],
        ['ana from a fresh page, same address and name', 'ana', '127.0.0.5', {}, 'kicked'],
        ['beto rejoining with his own token', 'beto', '127.0.0.5', { rejoin: true, token: beto.welcome.token }, 'welcome'],
        ['a new colleague from the same address', 'carla', '127.0.0.5', {}, 'welcome'],
        ['a token made up by the client', 'dora', '127.0.0.5', { token: 'f'.repeat(32) }, 'welcome'],
    ];
    for (const [what, name, from, extra, want] of cases) {
        const c = await member(srv, code, name, from, extra);
        const got = await Promise.race([c.next('kicked'), c.next('welcome')]);
        assert.equal(got.t, want, what);
    }
    assert.match(srv.log(), /ev=refused why=kicked code=OFI123 addr=127.0.0.6/);
});

test('after a restart the room\'s host is the one who was host, once they come back', { skip: missingBin }, async (t) => {
    const data = mkdtempSync(path.join(tmpdir(), 'kvsig-kick-'));
    t.after(() => rmSync(data, { recursive: true, force: true }));
    const first = await startServer(t, [], { data });
    const code = 'RST456';
    const host = await welcomed(first, code, 'anfitriona', '127.0.0.2', { create: true });
    const guest = await welcomed(first, code, 'invitado', '127.0.0.3');
    assert.equal(guest.welcome.host, host.id);

    // SIGTERM: every member is told "server going away" and will rejoin.
    first.proc.kill('SIGTERM');
    assert.equal((await guest.closed).code, 1001);
    await first.exited;

    const srv = await startServer(t, [], { data });
    // The guest comes back first: it must not become host and ban everyone.
    const g2 = await welcomed(srv, code, 'invitado', '127.0.0.3', { rejoin: true, token: guest.welcome.token });
    assert.equal(g2.welcome.host, '');
    const h2 = await welcomed(srv, code, 'anfitriona', '127.0.0.2', { rejoin: true, token: host.welcome.token });
    assert.equal(h2.welcome.host, h2.id);
    assert.equal(h2.welcome.token, host.welcome.token, 'the token is kept across the rejoin');
    assert.deepEqual(await g2.next('host'), { t: 'host', id: h2.id });

    // Only the restored host may kick.
    await g2.send({ t: 'kick', id: h2.id });
    await h2.send({ t: 'kick', id: g2.id });
    await g2.next('kicked');
    assert.equal(h2.seen('kicked').length, 0);
});
