// References for bench/signal.sh, the plainest WebSocket servers on loopback (ws), in one
// process; prints its port on stdout.
//   any path: echoes every message back;
//   /pair/<key>: the first two sockets on one key are linked, and each message goes to the
//   other one. A relay round trip crosses four TCP hops and a client's bounce where an
//   echo crosses two; this is the same path with nothing but forwarding in the server.
import { WebSocketServer } from 'ws';

const wss = new WebSocketServer({ host: '127.0.0.1', port: 0, perMessageDeflate: false });
const waiting = new Map();
wss.on('connection', (ws, req) => {
    const key = /^\/pair\/(.+)$/.exec(req.url ?? '')?.[1];
    if (key === undefined) {
        ws.on('message', (d, binary) => ws.send(d, { binary }));
        return;
    }
    const other = waiting.get(key);
    if (!other) {
        waiting.set(key, ws);
        ws.on('close', () => waiting.get(key) === ws && waiting.delete(key));
        return;
    }
    waiting.delete(key);
    ws.on('message', (d, binary) => other.send(d, { binary }));
    other.on('message', (d, binary) => ws.send(d, { binary }));
});
wss.on('listening', () => console.log(wss.address().port));
