// Reference for bench/signal.sh: the plainest WebSocket echo server on loopback (ws).
// Prints its port on stdout.
import { WebSocketServer } from 'ws';

const wss = new WebSocketServer({ host: '127.0.0.1', port: 0, perMessageDeflate: false });
wss.on('connection', (ws) => ws.on('message', (d, binary) => ws.send(d, { binary })));
wss.on('listening', () => console.log(wss.address().port));
