// Reference for the TLS accept figure of bench/signal.sh: Node's own TLS server that
// answers one line per connection. Arguments: certificate and key files. Prints its port.
import { readFileSync } from 'node:fs';
import tls from 'node:tls';

const [cert, key] = process.argv.slice(2);
const srv = tls.createServer({ cert: readFileSync(cert), key: readFileSync(key) }, (s) => {
    s.on('error', () => {});
    s.once('data', () => s.end('HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n'));
});
srv.listen(0, '127.0.0.1', () => console.log(srv.address().port));
