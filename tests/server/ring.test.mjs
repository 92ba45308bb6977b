import assert from 'node:assert/strict';
import { test } from 'node:test';
import { KEY, missingBin, registerHost, startServer } from './helpers.mjs';

const CALLEE = '300400500';

async function ring(srv, callee, proof = {}) {
    const caller = srv.ws(`/ring/${CALLEE}`);
    await caller.send({ t: 'ring', name: 'Marta', from: '700800900', ...proof });
    if (!callee) return { caller };
    const ringing = await caller.next('ringing');
    const inbound = await callee.next('ring');
    return { caller, ringing, inbound };
}

test('a ring answered, talked over and hung up', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--stun', 'stun:127.0.0.1:3478']);
    const callee = await registerHost(srv, CALLEE, undefined, 'Recepción');
    await registerHost(srv, '700800900', KEY('c'), 'Marta');
    const { caller, ringing, inbound } = await ring(srv, callee, { key: KEY('c') });
    assert.equal(ringing.timeout, 45);
    assert.equal(inbound.name, 'Marta');
    assert.equal(inbound.from, '700800900');
    assert.equal(inbound.verified, true);
    assert.ok(!srv.log().includes(KEY('c')), 'the caller key never reaches the log');
    assert.deepEqual(inbound.iceServers, [{ urls: ['stun:127.0.0.1:3478'] }]);

    await callee.send({ t: 'ringans', cid: inbound.cid, ok: true });
    const ans = await caller.next('answered');
    assert.equal(ans.name, 'Recepción');

    await caller.send({ t: 'signal', data: { sdp: { type: 'offer' } } });
    assert.deepEqual(await callee.next('csignal'), { t: 'csignal', cid: inbound.cid, data: { sdp: { type: 'offer' } } });
    await callee.send({ t: 'csignal', cid: inbound.cid, data: { sdp: { type: 'answer' } } });
    assert.deepEqual(await caller.next('signal'), { t: 'signal', data: { sdp: { type: 'answer' } } });

    await caller.send({ t: 'hangup' });
    assert.deepEqual(await callee.next('hangup'), { t: 'hangup', cid: inbound.cid });

    // And from the callee's side.
    const second = await ring(srv, callee);
    await callee.send({ t: 'ringans', cid: second.inbound.cid, ok: true });
    await second.caller.next('answered');
    await callee.send({ t: 'hangup', cid: second.inbound.cid });
    await second.caller.next('hangup');
    await second.caller.closed;
});

test('a caller ID without its key is only a claim', { skip: missingBin }, async (t) => {
    const srv = await startServer(t);
    const callee = await registerHost(srv, CALLEE);
    await registerHost(srv, '700800900', KEY('c'));
    for (const proof of [{}, { key: KEY('d') }, { key: 'short' }]) {
        const { inbound } = await ring(srv, callee, proof);
        assert.equal(inbound.from, '', JSON.stringify(proof));
        assert.equal(inbound.verified, false);
        assert.equal(inbound.claimed, '700800900');
    }
});

test('a ring flood from one source is declined while another source gets through', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--open-burst', '3', '--open-rate', '1', '--max-pending-per-source', '2']);
    const callee = await registerHost(srv, CALLEE);
    const other = await registerHost(srv, '300400501', KEY('e'));
    const ringFrom = async (id, from) => {
        const c = srv.ws(`/ring/${id}`, { localAddress: from });
        await c.send({ t: 'ring', name: 'x', from: '' });
        return Promise.race([c.next('ringing'), c.next('declined')]);
    };
    // Two rings may wait from one source; the third is declined "limit" though the
    // callee has room, and after the burst even a free callee is out of reach.
    assert.equal((await ringFrom(CALLEE, '127.0.0.7')).t, 'ringing');
    assert.equal((await ringFrom('300400501', '127.0.0.7')).t, 'ringing');
    assert.deepEqual(await ringFrom(CALLEE, '127.0.0.7'), { t: 'declined', reason: 'limit' });
    assert.deepEqual(await ringFrom(CALLEE, '127.0.0.7'), { t: 'declined', reason: 'limit' });
    assert.equal((await ringFrom(CALLEE, '127.0.0.8')).t, 'ringing');
    for (const h of [callee, callee, other]) await h.next('ring');
    assert.equal(callee.seen('ring').length, 0);
});

test('declines, an offline callee, a withdrawn ring and the ring timeout', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--ring-timeout', '1']);
    const nobody = await ring(srv);
    await nobody.caller.next('offline');

    const callee = await registerHost(srv, CALLEE);
    const reasons = [['busy', 'busy'], ['limit', 'limit'], ['offline', 'offline'], ['timeout', 'timeout'],
        ['unavailable', 'unavailable'], ['other', 'other'], ['declined', 'other'], [42, 'other']];
    for (const [sent, expected] of reasons) {
        const r = await ring(srv, callee);
        await callee.send({ t: 'ringans', cid: r.inbound.cid, ok: false, reason: sent });
        assert.equal((await r.caller.next('declined')).reason, expected, `callee said ${sent}`);
        await r.caller.closed;
    }

    const withdrawn = await ring(srv, callee);
    await withdrawn.caller.send({ t: 'hangup' });
    assert.equal((await callee.next('ringcancel')).cid, withdrawn.inbound.cid);

    const unanswered = await ring(srv, callee);
    assert.equal((await unanswered.caller.next('declined', 3000)).reason, 'timeout');
    assert.equal((await callee.next('ringcancel')).cid, unanswered.inbound.cid);

    // The callee goes away while a ring is open: the caller hears "offline".
    const open = await ring(srv, callee);
    callee.ws.terminate();
    assert.equal((await open.caller.next('declined')).reason, 'offline');
});
