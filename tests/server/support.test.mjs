import assert from 'node:assert/strict';
import { test } from 'node:test';
import { KEY, missingBin, registerHost, sleep, startServer } from './helpers.mjs';

const ID = '555666777';

/** A technician's /join/ socket that has sent `join`; with `host`, also the host's `req`. */
async function join(srv, host, pass = '', name = 'Técnica Ana') {
    const tech = srv.ws(`/join/${ID}`);
    await tech.send({ t: 'join', name, pass });
    if (!host) return { tech };
    const waiting = await tech.next('waiting');
    const req = await host.next('req');
    return { tech, waiting, req };
}

async function accepted(srv, host) {
    const r = await join(srv, host);
    await host.send({ t: 'answer', sid: r.req.sid, ok: true });
    await r.tech.next('accepted');
    return r;
}

test('a support request from join to the end of the session', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--stun', 'stun:127.0.0.1:3478']);
    const host = await registerHost(srv, ID, undefined, 'PC de Luis');
    const { tech, waiting, req } = await join(srv, host, 'secreto-123');

    assert.equal(waiting.timeout, 60);
    assert.equal(req.name, 'Técnica Ana');
    assert.equal(req.pass, 'secreto-123');
    assert.match(req.sid, /^[0-9a-f]+$/);
    assert.deepEqual(req.iceServers, [{ urls: ['stun:127.0.0.1:3478'] }]);
    assert.ok(!srv.log().includes('secreto-123'), 'passwords never reach the log');

    // Signals before acceptance are not relayed: nothing may reach an unaccepted host.
    await tech.send({ t: 'signal', data: { early: 1 } });
    // The server reads a socket's frames in order and answers a ping only on the read after
    // the signal's: once the pong is back, the signal was handled before the answer came.
    await new Promise((resolve) => { tech.ws.once('pong', resolve); tech.ws.ping(); });
    await host.send({ t: 'answer', sid: req.sid, ok: true });
    const acc = await tech.next('accepted');
    assert.equal(acc.name, 'PC de Luis');
    assert.ok(Array.isArray(acc.iceServers));

    const sdp = { sdp: { type: 'offer', sdp: 'v=0\r\n…ñ' } };
    await host.send({ t: 'signal', sid: req.sid, data: sdp });
    assert.deepEqual((await tech.next('signal')).data, sdp);
    await tech.send({ t: 'signal', data: { ice: { candidate: 'c1' } } });
    assert.deepEqual(await host.next('signal'), { t: 'signal', sid: req.sid, data: { ice: { candidate: 'c1' } } });
    assert.equal(host.seen('signal').length, 0, 'the early signal was dropped');

    await tech.send({ t: 'bye', why: 'bye' });
    assert.deepEqual(await host.next('left'), { t: 'left', sid: req.sid, reason: 'bye' });
});

// A signal's `data` is passed on as it came; whatever its text, the other side must read
// the value the sender meant (for a key given twice, the last one, as JSON.parse keeps).
test('signals arrive with their data intact however the frame is written', { skip: missingBin }, async (t) => {
    const srv = await startServer(t);
    const host = await registerHost(srv, ID);
    const { tech, req } = await accepted(srv, host);
    const cases = [
        ['escapes and characters beyond ASCII', '{"t":"signal","data":{"s":"a\\"b\\\\c\\u00e9\\n}{][,:","ñ€😀":[1,-2.5e3,true,null,{}]}}'],
        ['"data" inside strings and nested objects before it', '{"t":"signal","x":{"data":1},"y":"\\"data\\":2,","data":{"ok":3}}'],
        ['"data" given twice', '{"t":"signal","data":{"old":1},"data":{"new":2}}'],
        ['whitespace everywhere', ' { "t" : "signal" ,\n "data" :\t[ 1 , { "a" : "b" } ] \r\n } '],
        ['a scalar data', '{"data":12.50,"t":"signal"}'],
        ['a string data', '{"t":"signal","data":"x,}y"}'],
        ['the key written with an escape', '{"t":"signal","d\\u0061ta":{"esc":1}}'],
        ['a key written with an escape next to data', '{"t":"signal","data":{"a":1},"\\u0064ata":{"b":2}}'],
        ['numbers the parser converts', '{"t":"signal","data":[1e2,-0.0,0.5,12345678901234567890123,1E-3,-7]}'],
        ['surrogate pairs and other escapes', '{"t":"signal","data":"\\ud83d\\ude00 \\u00e9\\/\\b\\f\\r\\t"}'],
        ['nesting up to the cap', `{"t":"signal","data":${'['.repeat(31)}${']'.repeat(31)}}`],
        ['null and empty data', '{"t":"signal","data":{"a":null,"b":[],"c":{},"d":""}}'],
        ['long plain runs broken by escapes at every offset', JSON.stringify({ t: 'signal',
            data: Array.from({ length: 9 }, (_, i) => 'x'.repeat(8 + i) + '"\\/\n' + 'é'.repeat(i) + 'y'.repeat(17)) })],
    ];
    for (const [what, text] of cases) {
        const data = JSON.parse(text).data;
        await tech.send(text);
        assert.deepEqual(await host.next('signal'), { t: 'signal', sid: req.sid, data }, `to the host: ${what}`);
        await host.send(text.replace('"t"', `"sid":"${req.sid}","t"`));
        assert.deepEqual(await tech.next('signal'), { t: 'signal', data }, `to the technician: ${what}`);
    }
});

// However a signal is read, what the parser refuses closes the sender's socket as any
// malformed frame does, from either end of a session.
test('a malformed signal in a session closes its sender', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--pair-burst', '1000']);
    const cases = [
        ['a lone high surrogate', '{"t":"signal","data":"\\ud800"}'],
        ['a lone low surrogate', '{"t":"signal","data":"\\udc00x"}'],
        ['a high surrogate before a non-surrogate', '{"t":"signal","data":"\\ud800\\u0041"}'],
        ['an unknown escape', '{"t":"signal","data":"\\x41"}'],
        ['a short unicode escape', '{"t":"signal","data":"\\u00e"}'],
        ['a raw control character', '{"t":"signal","data":"a\u0001b"}'],
        ['a raw control character after a long run', '{"t":"signal","data":"abcdefghijklmnopq\u001frs"}'],
        ['an unterminated long string', '{"t":"signal","data":"abcdefghijklmnopqrstuvwxyz}'],
        ['a trailing comma', '{"t":"signal","data":[1,2,]}'],
        ['a leading zero', '{"t":"signal","data":01}'],
        ['a number out of range', '{"t":"signal","data":1e400}'],
        ['a bare minus', '{"t":"signal","data":-}'],
        ['a word that is not a literal', '{"t":"signal","data":tru}'],
        ['text after the object', '{"t":"signal","data":1} x'],
        ['an unterminated string', '{"t":"signal","data":"abc}'],
        ['a missing colon', '{"t":"signal","data" 1}'],
        ['nesting past the cap', `{"t":"signal","data":${'['.repeat(32)}${']'.repeat(32)}}`],
    ];
    for (const [what, text] of cases) {
        const host = await registerHost(srv, ID);
        const { tech, req } = await accepted(srv, host);
        await tech.send(text);
        assert.equal((await tech.closed).code, 1008, `from the technician: ${what}`);
        const again = await accepted(srv, host);
        await host.send(text.replace('"t"', `"sid":"${again.req.sid}","t"`));
        assert.equal((await host.closed).code, 1008, `from the host: ${what}`);
    }
});

test('every way a request or session ends reaches the other side', { skip: missingBin }, async (t) => {
    const srv = await startServer(t);
    const cases = [
        // [what happens, before or after acceptance, what the other side gets]
        { name: 'tech bye', acc: true, act: (c) => c.tech.send({ t: 'bye', why: 'stopped' }), host: { t: 'left', reason: 'stopped' } },
        { name: 'tech socket lost', acc: true, act: (c) => c.tech.ws.terminate(), host: { t: 'left', reason: 'closed' } },
        { name: 'tech cancel', acc: false, act: (c) => c.tech.send({ t: 'cancel', why: 'bye' }), host: { t: 'cancel' } },
        { name: 'tech gone while waiting', acc: false, act: (c) => c.tech.close(), host: { t: 'cancel' } },
        { name: 'host bye failed', acc: true, act: (c, h) => h.send({ t: 'bye', sid: c.req.sid, why: 'failed' }), tech: { t: 'ended', reason: 'failed' } },
        { name: 'host bye stopped', acc: true, act: (c, h) => h.send({ t: 'bye', sid: c.req.sid, why: 'stopped' }), tech: { t: 'ended', reason: 'stopped' } },
        { name: 'host bye other', acc: true, act: (c, h) => h.send({ t: 'bye', sid: c.req.sid, why: 'bye' }), tech: { t: 'ended', reason: 'other' } },
        { name: 'host gone', acc: true, act: (c, h) => h.ws.terminate(), tech: { t: 'ended', reason: 'hostgone' } },
        { name: 'host gone while waiting', acc: false, act: (c, h) => h.ws.terminate(), tech: { t: 'ended', reason: 'hostgone' } },
    ];
    for (const k of cases) {
        const host = await registerHost(srv, ID);
        const c = k.acc ? await accepted(srv, host) : await join(srv, host);
        await k.act(c, host);
        if (k.host) {
            const got = await host.next(k.host.t);
            assert.deepEqual(got, { ...k.host, sid: c.req.sid }, k.name);
        } else {
            const got = await c.tech.next(k.tech.t);
            assert.deepEqual(got, k.tech, k.name);
            await c.tech.closed;
        }
        host.ws.terminate();
        await host.closed;
    }
});

test('refusals: each denial reason, offline, busy and the server deadline', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--request-timeout', '1', '--request-grace', '0.5', '--max-pending', '2', '--lock-per-id', '100']);
    const nobody = srv.ws('/join/999999999');
    await nobody.send({ t: 'join', name: 'x', pass: '' });
    await nobody.next('offline');
    assert.equal((await nobody.closed).code, 1000);

    const host = await registerHost(srv, ID);
    const reasons = [
        ['badkey', 'badkey'], ['denied', 'denied'], ['timeout', 'timeout'], ['cancelled', 'cancelled'],
        ['busy', 'busy'], ['unavailable', 'unavailable'], ['<b>hola</b>', 'denied'], [undefined, 'denied'],
    ];
    for (const [sent, expected] of reasons) {
        const { tech, req } = await join(srv, host);
        await host.send({ t: 'answer', sid: req.sid, ok: false, reason: sent });
        assert.equal((await tech.next('denied')).reason, expected, `host said ${sent}`);
        await tech.closed;
    }

    // A host that never answers: the server denies with "timeout" and withdraws the req.
    const a = await join(srv, host);
    const b = await join(srv, host);
    const c = await join(srv);
    await c.tech.next('busy');
    assert.equal((await a.tech.next('denied', 3000)).reason, 'timeout');
    const cancels = [await host.next('cancel'), await host.next('cancel')].map((m) => m.sid).sort();
    assert.deepEqual(cancels, [a.req.sid, b.req.sid].sort());
    // A late answer to a withdrawn request reaches nobody and breaks nothing.
    await host.send({ t: 'answer', sid: a.req.sid, ok: true });
    await join(srv, host);
});

test('names of 32 characters arrive whole, however many bytes they take', { skip: missingBin }, async (t) => {
    const srv = await startServer(t);
    const emoji32 = '😀'.repeat(32); // 128 bytes
    const host = await registerHost(srv, ID, undefined, emoji32 + '😀');
    const { tech, req } = await join(srv, host, '', 'ñ'.repeat(31) + '🛠️');
    // 31 + "🛠" + the variation selector would be 33: the selector is cut, nothing else.
    assert.equal(req.name, 'ñ'.repeat(31) + '🛠');
    await host.send({ t: 'answer', sid: req.sid, ok: true });
    assert.equal((await tech.next('accepted')).name, emoji32);
    const second = await join(srv, host, '', emoji32);
    assert.equal(second.req.name, emoji32);
});

test('a host that accepts in the seconds the technician still waits is put through', { skip: missingBin }, async (t) => {
    // Scaled down: the page counts down `timeout` and gives up 3 s past it (60 + 3 s by
    // default); the server holds the request for the same grace.
    const srv = await startServer(t, ['--request-timeout', '2']);
    const host = await registerHost(srv, ID);
    const late = await join(srv, host);
    assert.equal(late.waiting.timeout, 2);
    await sleep(4000);
    await host.send({ t: 'answer', sid: late.req.sid, ok: true });
    await late.tech.next('accepted');

    const never = await join(srv, host);
    assert.equal((await never.tech.next('denied', 7000)).reason, 'timeout');
});

/**
 * One join from `from` (an address, or the client's options) to `id`: the first answer, with
 * a refusal's reason ("denied:rate").
 */
async function attempt(srv, id, from) {
    const c = srv.ws(`/join/${id}`, typeof from === 'string' ? { localAddress: from } : from);
    await c.send({ t: 'join', name: 'x', pass: '' });
    const m = await Promise.race(['waiting', 'busy', 'offline', 'denied'].map((k) => c.next(k)));
    return { c, answer: m.t === 'denied' ? `denied:${m.reason}` : m.t };
}

test('opening limits: per source, per (source, target) pair, and a wide ceiling per target', { skip: missingBin }, async (t) => {
    const srv = await startServer(t, ['--open-burst', '4', '--open-rate', '1', '--pair-burst', '2', '--pair-rate', '1',
        '--target-burst', '5', '--target-rate', '1', '--max-pending-per-source', '2', '--max-pending', '10']);
    const host = await registerHost(srv, ID);
    await registerHost(srv, '555666778', KEY('f'));
    const cases = [
        // [source, target, answer, why]
        ['127.0.0.21', ID, 'waiting', 'first request'],
        ['127.0.0.21', '555666778', 'waiting', 'second request waits too'],
        ['127.0.0.21', ID, 'busy', 'a third waiting request from one source'],
        ['127.0.0.21', '123000000', 'offline', 'an unknown ID is offline while the budget lasts'],
        ['127.0.0.21', '123000000', 'denied:rate', 'then the source is told it is over its rate, not that the ID is offline'],
        ['127.0.0.22', ID, 'waiting', 'another source still gets through'],
        ['127.0.0.22', ID, 'waiting', 'the pair 22→ID has a second opening'],
        ['127.0.0.22', ID, 'denied:rate', 'and then the pair is spent'],
        ['127.0.0.23', ID, 'waiting', 'while other sources reach the same PC'],
        ['127.0.0.24', ID, 'denied:rate', 'until the ID\'s own ceiling of 5 is reached'],
        ['127.0.0.24', '555666778', 'waiting', 'which holds for that ID only'],
    ];
    for (const [from, id, answer, why] of cases) assert.equal((await attempt(srv, id, from)).answer, answer, why);
    for (const why of ['pending per source', 'open rate', 'pair rate', 'target rate']) assert.match(srv.log(), new RegExp(`ev=refused why="${why}"`));
    host.close();
});

const xff = (addr) => ({ headers: { 'X-Forwarded-For': addr } });
const floods = [
    // [where the flood comes from, server options, the flood's i-th client, another technician]
    ['one address', [], () => '127.0.0.3', '127.0.0.2'],
    // Loopback holds one IPv6 address (::1), so a /64 of distinct addresses arrives the only
    // way it can here: as a trusted proxy hands it over, in X-Forwarded-For.
    ['one IPv6 /64, a new address each time', ['--trust-proxy'], (i) => xff(`2001:db8:7:1::${i + 1}`), xff('2001:db8:7:2::1')],
];
for (const [where, args, flooder, other] of floods) {
    test(`${where} opening and cancelling joins at the default limits cannot cut a PC off`, { skip: missingBin }, async (t) => {
        const srv = await startServer(t, args);
        const host = await registerHost(srv, ID);
        const answers = [];
        for (let i = 0; i < 16; i++) {
            const { c, answer } = await attempt(srv, ID, flooder(i));
            answers.push(answer);
            if (answer === 'waiting') await c.send({ t: 'cancel', why: 'bye' });
            await c.close();
        }
        assert.ok(answers.slice(0, 12).every((a) => a === 'waiting'), answers.join(' '));
        assert.equal(answers.at(-1), 'denied:rate', 'the flooding source is told it is over its rate');
        const tech = await attempt(srv, ID, other);
        assert.equal(tech.answer, 'waiting', 'a technician from another address still reaches the PC');
        assert.equal((await host.next('req')).name, 'x');
    });
}
