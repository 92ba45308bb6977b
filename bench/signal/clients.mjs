// Plain WebSocket clients of the cross-node benchmarks: a socket that queues frames, a
// wait for one frame by name (bounded), a PC with a technician connected to it, and the
// CPU time and memory of a process.
import { readFileSync } from 'node:fs';
import WebSocket from 'ws';

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// CPU seconds a process has used so far (user and system, all threads).
export const cpu = (pid) => {
    const f = readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
    return (Number(f[11]) + Number(f[12])) / 100;
};
export const rss = (pid) => Number(/VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'))[1]) * 1024;

export function open(url) {
    const ws = new WebSocket(url, { perMessageDeflate: false });
    ws.inbox = [];
    ws.on('message', (d) => {
        const m = JSON.parse(d);
        if (ws.onframe) ws.onframe(m);
        else ws.inbox.push(m);
    });
    return new Promise((res, rej) => { ws.once('open', () => res(ws)); ws.once('error', rej); });
}

export const frame = (ws, t, ms = 15000) => new Promise((res, rej) => {
    const i = ws.inbox.findIndex((m) => m.t === t);
    if (i >= 0) return res(ws.inbox.splice(i, 1)[0]);
    const timer = setTimeout(() => rej(new Error(`no ${t} within ${ms} ms`)), ms);
    ws.onframe = (m) => {
        if (m.t !== t) return ws.inbox.push(m);
        clearTimeout(timer);
        ws.onframe = null;
        res(m);
    };
});

/** A PC registered on `hostBase` and a technician on `techBase` connected to it; the PC
 * bounces every signal back. */
export async function pair(hostBase, techBase, id) {
    const host = await open(`${hostBase}/host/${id}`);
    host.send(JSON.stringify({ t: 'hello', key: 'k'.repeat(64) + id, name: 'bench', ver: '0' }));
    await frame(host, 'ready');
    const tech = await open(`${techBase}/join/${id}`);
    tech.send(JSON.stringify({ t: 'join', name: 'bench', pass: '' }));
    const req = await frame(host, 'req');
    host.send(JSON.stringify({ t: 'answer', sid: req.sid, ok: true }));
    await frame(tech, 'accepted');
    host.onframe = (m) => m.t === 'signal' && host.send(JSON.stringify({ t: 'signal', sid: req.sid, data: m.data }));
    return { host, tech };
}

export const signal = JSON.stringify({ t: 'signal', data: { ice: { candidate: 'candidate:1 1 udp 2122260223 192.168.1.20 54321 typ host generation 0', sdpMid: '0' } } });
