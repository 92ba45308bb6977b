// The local server's wall: Host, token and Origin checks, fixed headers, embedded files.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Kelvora, request } from '../lib/kelvora.mjs';

const SECURITY_HEADERS = {
  'cache-control': 'no-store',
  'x-frame-options': 'DENY',
  'content-security-policy': "frame-ancestors 'none'",
  'x-content-type-options': 'nosniff',
  'referrer-policy': 'no-referrer',
};

let k;
before(async () => { k = await new Kelvora({ env: { PATH: '/nonexistent' } }).start(); });
after(async () => { await k.stop(); k.cleanup(); });

test('refusals', async () => {
  const p = k.port;
  const cases = [
    ['Host without port', () => k.get('/api/estado', { hostHeader: '127.0.0.1' }), 403, '{}'],
    ['Host [::1]', () => k.get('/api/estado', { hostHeader: `[::1]:${p}` }), 403, '{}'],
    ['no Host at all', () => k.get('/', { hostHeader: null }), 403, '{}'],
    ['POST without token', () => k.post('/api/diag', {}, { headers: { 'X-Token': '' } }), 403, '{"ok":false}'],
    ['POST with Origin null', () => k.post('/api/diag', {}, { headers: { Origin: 'null' } }), 403, '{"ok":false}'],
    ['POST from a web page', () => k.post('/api/salir', {}, { headers: { Origin: 'https://evil.example' } }), 403, '{"ok":false}'],
    ['audio without t', () => k.get('/api/audio'), 403, '{}'],
    ['capture page with a wrong t', () => k.get('/captura?t=0000'), 403, '{}'],
    ['unknown file', () => k.get('/app.min.js'), 404, '{"ok":false}'],
    // Only what web/ embeds is served, and its pages only through their templates.
    ['a script outside web/', () => k.get('/../tests/web/core.test.mjs'), 404, '{"ok":false}'],
    ['a source file of the program', () => k.get('/http/handler.cpp'), 404, '{"ok":false}'],
    ['a path that climbs out', () => k.get('/net/../../CMakeLists.txt'), 404, '{"ok":false}'],
    ['the page template raw', () => k.get('/captura.html'), 404, '{"ok":false}'],
  ];
  for (const [name, send, status, body] of cases) {
    const r = await send();
    assert.equal(r.status, status, name);
    assert.equal(r.body, body, name);
    assert.equal(r.headers['content-type'], 'application/json', name);
  }
  assert.equal(k.proc.exitCode, null, 'a refused /api/salir leaves the program running');
});

test('every response carries the security headers and no CORS header', async () => {
  const replies = [
    await k.get('/'),
    await k.get('/api/version'),
    await k.get('/font/plex.woff2'),
    await k.post('/api/diag', { texto: '[CONEXION] prueba' }),
    await k.post('/api/diag', {}, { headers: { 'X-Token': 'x' } }),
    await k.get('/nada'),
  ];
  for (const r of replies) {
    for (const [h, v] of Object.entries(SECURITY_HEADERS)) assert.equal(r.headers[h], v, `${h} on ${r.status}`);
    assert.ok(!Object.keys(r.headers).some((h) => h.startsWith('access-control-')));
  }
});

test('pages and files', async () => {
  const page = await k.get('/index.html?lang=en');
  assert.equal(page.status, 200);
  assert.equal(page.headers['content-type'], 'text/html; charset=utf-8');
  assert.ok(!page.body.includes('__TOKEN__') && !page.body.includes('__VERSION__'));
  assert.match(page.body, /<title>Kelvora/);
  assert.equal((await k.get('/')).body, page.body, 'the query does not change the page');
  assert.match(k.token, /^[0-9a-f]{32}$/);

  const js = 'text/javascript; charset=utf-8';
  const files = [
    ['/app.js', js, (b) => b.includes("from './ui/shell.js'")],
    ['/i18n.js', js, (b) => b.includes('export const I18N')],
    // Every module under web/ by its path, without a list kept by hand.
    ['/net/peer.js', js, (b) => b.includes('export ')],
    ['/core/state.js', js, (b) => b.includes('export ')],
    ['/img/kelvora.svg', 'image/svg+xml', (b) => b.includes('<svg')],
    ['/font/archivo.woff2', 'font/woff2', (b) => b.startsWith('wOF2')],
    ['/font/plex.woff2', 'font/woff2', (b) => b.startsWith('wOF2')],
  ];
  for (const [path, type, looksRight] of files) {
    const r = await k.get(path);
    assert.equal(r.status, 200, path);
    assert.equal(r.headers['content-type'], type, path);
    assert.ok(looksRight(r.body), path);
  }
});

test('HEAD is routed like GET without a body', async () => {
  const get = await k.get('/');
  const head = await request(k.port, 'HEAD', '/');
  assert.equal(head.status, 200);
  assert.equal(head.body, '');
  assert.equal(head.headers['content-length'], String(Buffer.byteLength(get.body)));
});

test('a POST without Origin is served; the localhost origin too', async () => {
  assert.equal((await k.post('/api/diag', { texto: 'x' })).json.ok, true);
  const r = await k.post('/api/diag', { texto: 'x' }, { headers: { Origin: `http://localhost:${k.port}` }, hostHeader: `localhost:${k.port}` });
  assert.deepEqual(r.json, { ok: true });
});

test('a slow request never holds up the others', async () => {
  // A connection that sends half a request and waits must not block a second client.
  const net = await import('node:net');
  const sock = net.connect(k.port, '127.0.0.1');
  await new Promise((r) => sock.on('connect', r));
  sock.write(`POST /api/diag HTTP/1.1\r\nHost: 127.0.0.1:${k.port}\r\nX-Token: ${k.token}\r\nContent-Length: 100\r\n\r\n{"te`);
  const r = await k.get('/api/version');
  assert.equal(r.json.app, 'kelvora');
  sock.destroy();
});
