// A store that cannot be read right now (Redis down, or refusing reads) answers "unknown"
// about a binding. That must never count as "not bound" (the SIGHUP re-check would close
// healthy PCs as revoked) nor as "bound" (a ring's caller ID would pass as proven). Once the store reads again, each answer is the real one.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { test } from 'node:test';
import { launchRedis, missingRedis } from '../lib/redis_server.mjs';
import { KEY, missingBin, registerHost, sleep, startServer, within } from './helpers.mjs';

const KEPT = '640000001';
const REVOKED = '640000002';
const CALLER = '640000003';

/** The first frame of `c` named one of `kinds`; fails after `ms`. */
async function firstOf(c, kinds, ms) {
    for (const until = Date.now() + ms; ; await sleep(50)) {
        const f = c.frames.find((x) => kinds.includes(x.t));
        if (f) return f;
        if (Date.now() > until) throw new Error(`none of ${kinds} within ${ms} ms; got ${JSON.stringify(c.frames)}`);
    }
}

/** Redis on its own, and one node on it. */
async function redisBed(t) {
    const redis = await launchRedis();
    t.after(() => redis.cleanup());
    const srv = await startServer(t, ['--redis', redis.url]);
    await srv.waitLog(/ev=cluster-up/);
    return { srv, redis };
}
const redisCli = (bed, ...args) => execFileSync('redis-cli', ['-p', String(bed.redis.port), ...args], { stdio: 'ignore' });

// SQLite keeps the bindings in WAL mode, where another process's lock never stops a read,
// so its unknown answer (a failing disk) cannot be made from outside; Redis gives both
// kinds: gone altogether, and up but refusing every read of a binding.
const stores = [
    {
        name: 'Redis down',
        start: redisBed,
        unreadable: (bed) => bed.redis.stop(),
        async readable(bed) {
            await bed.redis.start();
            await bed.srv.waitLog(/ev=cluster-up[^]*ev=cluster-down[^]*ev=cluster-up/, 10000);
        },
        // Nothing can be counted while Redis is away: the ring is refused as over a limit.
        ringWhileUnreadable: 'declined',
    },
    {
        name: 'Redis refusing reads',
        start: redisBed,
        unreadable: (bed) => redisCli(bed, 'ACL', 'SETUSER', 'default', '-get'),
        readable: (bed) => redisCli(bed, 'ACL', 'SETUSER', 'default', '+get'),
        ringWhileUnreadable: 'unverified',
    },
];

for (const s of stores) {
    test(`an unreadable store revokes no PC and proves no caller: ${s.name}`, { skip: missingBin || missingRedis, timeout: 90000 }, async (t) => {
        const bed = await s.start(t);
        const { srv } = bed;
        await (await registerHost(srv, CALLER, KEY('c'))).close();
        const kept = await registerHost(srv, KEPT, KEY('k'));
        const revoked = await registerHost(srv, REVOKED, KEY('r'));
        redisCli(bed, 'DEL', `kv:id:${REVOKED}`);

        await s.unreadable(bed);
        let rechecks = 0;
        const recheck = async () => {
            srv.proc.kill('SIGHUP');
            rechecks += 1;
            await srv.waitLog(new RegExp(`(ev=rechecked[^]*){${rechecks}}`), 15000);
        };
        await recheck();
        const ring = async () => {
            const caller = srv.ws(`/ring/${KEPT}`);
            await caller.send({ t: 'ring', name: 'Beto', from: CALLER, key: KEY('c') });
            const first = await firstOf(caller, ['ringing', 'declined'], 12000);
            if (first.t === 'declined') return { caller, result: 'declined' };
            const r = await kept.next('ring', 4000);
            await caller.send({ t: 'hangup' });
            await kept.next('ringcancel');
            return { caller, result: r.verified ? 'verified' : 'unverified', r };
        };
        const during = await ring();
        assert.equal(during.result, s.ringWhileUnreadable);
        if (during.r) {
            assert.equal(during.r.from, '');
            assert.equal(during.r.claimed, CALLER);
        }
        await s.readable(bed);
        // Nobody was closed while the store could not say.
        assert.doesNotMatch(srv.log(), /ev=revoked/);
        assert.equal(revoked.seen('replaced').length + kept.seen('replaced').length, 0);

        // Readable again: the revoked binding closes its PC, the other stays and is proven.
        await recheck();
        assert.match((await within(revoked.closed, 8000, 'the revoked PC closed')).reason, /revoked/);
        const after = await ring();
        assert.equal(after.result, 'verified');
        assert.equal(after.r.from, CALLER);
        const tech = srv.ws(`/join/${KEPT}`);
        await tech.send({ t: 'join', name: 'Ana', pass: '' });
        await tech.next('waiting');
        await kept.next('req');
    });
}
