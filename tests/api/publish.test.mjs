// The publisher's tool end to end: a new key from `kelvora-publish keygen`, the programs
// built with it, a release made from them and served by a real HTTPS update channel, and
// the older build that trusts the key updating itself to that release. Then what the tool
// refuses, and a published folder that was tampered with.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import {
  chmodSync, copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, statSync, writeFileSync,
} from 'node:fs';
import { createHash } from 'node:crypto';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { BUILD, Kelvora, readState, tempHome, waitFor } from '../lib/kelvora.mjs';
import { startUpdateServer } from '../lib/update_server.mjs';
import { WIN_BUILD } from '../lib/wine.mjs';

const TOOL = join(BUILD, 'kelvora-publish');
const skip = !existsSync(TOOL) ? `${TOOL} is not built`
  : !existsSync(join(WIN_BUILD, 'CMakeCache.txt')) ? `${WIN_BUILD} is not configured (make build-win)` : false;
const sha = (b) => createHash('sha256').update(b).digest('hex');

let dir;
let srv;
let key; // the public key keygen printed
const programs = {}; // linux, windows, prior: built with that key

/** kelvora-publish with args: { code, out, err }. */
function publish(...args) {
  const r = spawnSync(TOOL, args, { encoding: 'utf8', timeout: 120000 });
  return { code: r.status, out: r.stdout, err: r.stderr };
}

/** Builds targets of a build folder whose key unit takes hex. */
function buildWithKey(buildDir, hex, targets) {
  mkdirSync(join(buildDir, 'publicar'), { recursive: true });
  writeFileSync(join(buildDir, 'publicar', 'update_key.hex'), `${hex}\n`);
  execFileSync('nice', ['-n', '5', 'cmake', '--build', buildDir, '-j2', '--target', ...targets],
    { stdio: ['ignore', 'ignore', 'inherit'], timeout: 1200000 });
}

const NOTES = `# Historial

## v1.3.2 — 2026-12-10

- **Versión de prueba** del publicador.

## v1.3.1 — 2026-12-01

- La anterior.
`;

/** The release request for version into out, with the given programs and key folder. */
const releaseArgs = ({ version = '1.3.2', keyDir = join(dir, 'llave'), linux = programs.linux, windows = programs.windows, out = join(dir, 'publicada') } = {}) => [
  'release', '--key', keyDir, '--version', version, '--notes', join(dir, 'notas.md'),
  '--linux', linux, '--windows', windows, '--out', out, '--url', `${srv.base}/kelvora/`,
];

before(async () => {
  if (skip) return;
  dir = mkdtempSync(join(tmpdir(), 'kelvora-publicar-'));
  writeFileSync(join(dir, 'notas.md'), NOTES);
  srv = await startUpdateServer();
});

after(async () => {
  await srv?.close();
  if (dir) rmSync(dir, { recursive: true, force: true });
});

test('keygen makes a private key only its user reads and prints only the public half', { skip }, () => {
  const r = publish('keygen', join(dir, 'llave'));
  assert.equal(r.code, 0, r.err);
  key = r.out.trim();
  assert.match(key, /^[0-9a-f]{64}$/);
  assert.equal(statSync(join(dir, 'llave')).mode & 0o777, 0o700);
  assert.equal(statSync(join(dir, 'llave', 'llave_privada.txt')).mode & 0o777, 0o600);
  const seed = readFileSync(join(dir, 'llave', 'llave_privada.txt'), 'utf8').match(/^[0-9a-f]{64}$/m)[0];
  assert.ok(!(r.out + r.err).includes(seed), 'the private key is never printed');
  assert.equal(publish('public-key', join(dir, 'llave')).out.trim(), key);

  // An existing folder is never overwritten, and a key others can read is refused.
  const again = publish('keygen', join(dir, 'llave'));
  assert.equal(again.code, 1);
  assert.match(again.err, /ya existe/);
  assert.equal(publish('public-key', join(dir, 'llave')).out.trim(), key);
  const shared = join(dir, 'compartida');
  assert.equal(publish('keygen', shared).code, 0);
  chmodSync(join(shared, 'llave_privada.txt'), 0o644);
  const loose = publish('public-key', shared);
  assert.equal(loose.code, 1);
  assert.match(loose.err, /los pueden leer otros usuarios/);
});

test('a release of the programs built with the key installs on the older build that trusts it', { skip, timeout: 1800000 }, async () => {
  assert.ok(key, 'keygen ran');
  buildWithKey(BUILD, key, ['kelvora-publicable', 'kelvora-anterior-publicable']);
  buildWithKey(WIN_BUILD, key, ['Kelvora-publicable']);
  programs.linux = join(BUILD, 'kelvora-publicable');
  programs.windows = join(WIN_BUILD, 'Kelvora-publicable.exe');
  programs.prior = join(BUILD, 'kelvora-anterior-publicable');

  const r = publish(...releaseArgs());
  assert.equal(r.code, 0, r.err);
  const out = join(dir, 'publicada');
  assert.deepEqual(readdirSync(out).sort(), ['Kelvora-1.3.2-windows.zip', 'linux', 'version.json']);
  assert.deepEqual(readdirSync(join(out, 'linux')).sort(), ['kelvora-1.3.2-linux.zip', 'version.json']);
  const doc = JSON.parse(readFileSync(join(out, 'linux', 'version.json'), 'utf8'));
  const zip = readFileSync(join(out, 'linux', 'kelvora-1.3.2-linux.zip'));
  assert.equal(doc.manifest.version, '1.3.2');
  assert.equal(doc.manifest.sha256, sha(zip));
  assert.equal(doc.manifest.size, zip.length);
  assert.equal(doc.manifest.url, `${srv.base}/kelvora/linux/kelvora-1.3.2-linux.zip`);
  assert.ok(Math.abs(doc.manifest.published - Date.now() / 1000) < 600, 'published is now');
  assert.deepEqual(doc.manifest.changes.map((c) => c.version), ['1.3.2', '1.3.1']);
  const v = publish('verify', out, '--public-key', key);
  assert.equal(v.code, 0, v.err);
  assert.match(v.out, /canal linux: v1\.3\.2, publicada .* firma válida/);

  // The folder served as it is, the older program pointed at its Linux channel.
  for (const f of ['version.json', 'Kelvora-1.3.2-windows.zip', 'linux/version.json', 'linux/kelvora-1.3.2-linux.zip'])
    srv.routes.set(`/kelvora/${f}`, readFileSync(join(out, f)));
  const appDir = join(tempHome(), 'programa');
  mkdirSync(appDir, { recursive: true });
  copyFileSync(programs.prior, join(appDir, 'kelvora'));
  chmodSync(join(appDir, 'kelvora'), 0o755);
  const k = new Kelvora({ bin: join(appDir, 'kelvora'), env: { CURL_CA_BUNDLE: srv.caFile } });
  mkdirSync(k.data, { recursive: true });
  writeFileSync(join(k.data, 'kelvora.ini'),
    `[general]\ncanal_actualizaciones=${srv.base}/kelvora/linux/version.json\nbuscar_actualizaciones=no\n`);
  let inst;
  try {
    await k.start();
    await k.post('/api/update', { action: 'check' });
    const s = await waitFor(async () => { const st = (await k.get('/api/update')).json; return st.phase !== 'checking' && st; }, 'the check', 30000);
    assert.equal(s.msg, 'Hay una versión nueva: v1.3.2', JSON.stringify(s));
    assert.equal((await k.post('/api/update', { action: 'install' })).json.ok, true);
    await k.exited;
    inst = await waitFor(() => { const st = readState(k.home, 'instancia.json'); return st?.version === '1.3.2' && st; }, 'the new version', 60000);
    assert.equal(sha(readFileSync(join(appDir, 'kelvora'))), sha(readFileSync(programs.linux)), 'the released program is in place');
  } finally {
    if (inst?.pid) try { process.kill(inst.pid, 'SIGKILL'); } catch {}
    await k.stop();
    k.cleanup();
  }
});

test('the tool refuses a release the programs would not take', { skip, timeout: 600000 }, () => {
  assert.ok(programs.linux, 'the programs were built');
  const other = join(dir, 'otra');
  assert.equal(publish('keygen', other).code, 0);
  const cases = [
    { name: 'the version already published', args: releaseArgs(), err: /no es más nueva que la v1\.3\.2/ },
    { name: 'an older version', args: releaseArgs({ version: '1.3.1' }), err: /no es más nueva/ },
    { name: 'another key than the one the programs carry', args: releaseArgs({ keyDir: other, out: join(dir, 'otra-publicada') }), err: /acepta otra llave/ },
    { name: 'programs of the test build, trusting the test key', args: releaseArgs({ linux: join(BUILD, 'kelvora'), out: join(dir, 'prueba-publicada') }), err: /acepta otra llave/ },
    { name: 'programs of another version', args: releaseArgs({ version: '1.4.0', out: join(dir, 'nueva-publicada') }), err: /es la v1\.3\.2, no la v1\.4\.0/ },
    { name: 'the programs swapped', args: releaseArgs({ linux: programs.windows, windows: programs.linux, out: join(dir, 'cruzada') }), err: /no es el programa de windows/ },
    { name: 'a version that is not three numbers', args: releaseArgs({ version: '1.3', out: join(dir, 'mala') }), err: /tres números/ },
  ];
  for (const c of cases) {
    const r = publish(...c.args);
    assert.equal(r.code, 1, `${c.name}: ${r.out}${r.err}`);
    assert.match(r.err, c.err, c.name);
  }
  for (const empty of ['otra-publicada', 'prueba-publicada', 'nueva-publicada', 'cruzada', 'mala'])
    assert.equal(existsSync(join(dir, empty)), false, `${empty}: nothing written`);
});

test('verify refuses a folder the programs would refuse', { skip }, () => {
  assert.ok(programs.linux, 'the release was made');
  const out = join(dir, 'publicada');
  const other = publish('public-key', join(dir, 'otra')).out.trim();
  assert.match(publish('verify', out, '--public-key', other).err, /firma/i, 'another key');

  const cases = [
    { name: 'a package changed after signing', file: 'linux/kelvora-1.3.2-linux.zip', change: (b) => { b[b.length - 30] ^= 1; return b; }, err: /SHA-256/ },
    { name: 'a manifest changed after signing', file: 'version.json', change: (b) => Buffer.from(b.toString().replace('"1.3.2"', '"1.3.3"')), err: /firma/i },
    { name: 'a missing package', file: 'Kelvora-1.3.2-windows.zip', change: null, err: /falta Kelvora-1\.3\.2-windows\.zip/ },
  ];
  for (const c of cases) {
    const copy = join(dir, 'alterada');
    rmSync(copy, { recursive: true, force: true });
    execFileSync('cp', ['-r', out, copy]);
    if (c.change) writeFileSync(join(copy, c.file), c.change(readFileSync(join(copy, c.file))));
    else rmSync(join(copy, c.file));
    const r = publish('verify', copy, '--public-key', key);
    assert.equal(r.code, 1, c.name);
    assert.match(r.err, c.err, `${c.name}: ${r.err}`);
  }
});
