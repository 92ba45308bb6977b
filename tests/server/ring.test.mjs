import assert from 'node:assert/strict';
import { test } from 'node:test';
import { missingBin, registerHost, startServer } from './helpers.mjs';

const CALLEE = '300400500';

async function ring(srv, callee) {
    const caller = srv.ws(`/ring/${CALLEE}`);
    await caller.send({ t: 'ring', name: 'Marta', from: '700800900' });
    if (!callee) return { caller };
    const ringing = await caller.next('ringing');
    const inbound = await callee.next('ring');
    return { caller, ringing, inbound };
}

test('a ring answered, talked over and hung up', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--stun', 'stun:127.0.0.1:3478']);
    const callee = await registerHost(srv, CALLEE, undefined, 'Recepción');
    const { caller, ringing, inbound } = await ring(srv, callee);
    assert.equal(ringing.timeout, 45);
    assert.equal(inbound.name, 'Marta');
    assert.equal(inbound.from, '700800900');
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
