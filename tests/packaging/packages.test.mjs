// The Debian packages of this build, made by CPack as `make package` makes them: what
// lintian says of them, what they hold and with which modes, their control fields, the
// service unit as systemd reads it, and the programs run from the unpacked files.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { copyFileSync, cpSync, existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { BUILD } from '../lib/kelvora.mjs';

const VERSION = readFileSync(join(import.meta.dirname, '..', '..', 'base', 'version.hpp'), 'utf8').match(/kVersion = "([0-9.]+)"/)[1];
const has = (tool) => spawnSync('sh', ['-c', `command -v ${tool}`]).status === 0;
const skip = !existsSync(join(BUILD, 'CPackConfig.cmake')) ? `${BUILD} has no CPack configuration`
  : !has('lintian') || !has('dpkg-deb') ? 'lintian and dpkg-deb are not installed (scripts/install-deps.sh)' : false;

let dir;
const deb = {}; // package name → .deb path
const root = {}; // package name → unpacked root

const run = (cmd, args, opts = {}) => execFileSync(cmd, args, { encoding: 'utf8', maxBuffer: 64 << 20, ...opts });

before(() => {
  if (skip) return;
  dir = mkdtempSync(join(tmpdir(), 'kelvora-paquetes-'));
  run('nice', ['-n', '5', 'cpack', '-G', 'DEB', '-B', dir, '--config', join(BUILD, 'CPackConfig.cmake')], { cwd: BUILD, timeout: 900000, stdio: ['ignore', 'pipe', 'pipe'] });
  for (const name of ['kelvora', 'kelvora-signal']) {
    deb[name] = join(dir, `${name}_${VERSION}_amd64.deb`);
    assert.ok(existsSync(deb[name]), `${deb[name]} among ${readdirSync(dir)}`);
    root[name] = join(dir, `raiz-${name}`);
    run('dpkg-deb', ['-x', deb[name], root[name]]);
  }
});

after(() => {
  if (dir) rmSync(dir, { recursive: true, force: true });
});

// Lintian's notes (I:) are left: bind-now and fortify hardening, which the build doesn't
// ask of the compiler, and a menu entry without Keywords.
test('lintian finds no error and no warning', { skip, timeout: 900000 }, () => {
  const r = spawnSync('nice', ['-n', '5', 'lintian', '--tag-display-limit', '0', '--display-info', deb.kelvora, deb['kelvora-signal']],
    { encoding: 'utf8', maxBuffer: 64 << 20, timeout: 900000 });
  assert.ok(r.status !== null, 'lintian ran to its end');
  assert.deepEqual(`${r.stdout}${r.stderr}`.split('\n').filter((l) => /^[EW]: /.test(l)), [], `${r.stdout}${r.stderr}`);
});

test('each package holds its files with Debian modes and the fields apt needs', { skip }, () => {
  const cases = [
    {
      name: 'kelvora',
      files: {
        './usr/bin/kelvora': '-rwxr-xr-x',
        './usr/share/applications/kelvora.desktop': '-rw-r--r--',
        './usr/share/icons/hicolor/scalable/apps/kelvora.svg': '-rw-r--r--',
        './usr/share/man/man1/kelvora.1.gz': '-rw-r--r--',
        './usr/share/man/es/man1/kelvora.1.gz': '-rw-r--r--',
        './usr/share/doc/kelvora/changelog.gz': '-rw-r--r--',
        './usr/share/doc/kelvora/copyright': '-rw-r--r--',
      },
      depends: [/(^|, )chromium($|,)/, /libsodium/, /libc6/],
    },
    {
      name: 'kelvora-signal',
      files: {
        './usr/sbin/kelvora-signal': '-rwxr-xr-x',
        './usr/lib/systemd/system/kelvora-signal.service': '-rw-r--r--',
        './etc/kelvora-signal/kelvora-signal.conf': '-rw-r--r--',
        './usr/share/man/man8/kelvora-signal.8.gz': '-rw-r--r--',
        './usr/share/doc/kelvora-signal/changelog.gz': '-rw-r--r--',
        './usr/share/doc/kelvora-signal/copyright': '-rw-r--r--',
        './usr/share/doc/kelvora-signal/examples/turnserver.conf': '-rw-r--r--',
      },
      depends: [/adduser/, /procps/, /libssl/, /libsqlite3/],
      control: { conffiles: '/etc/kelvora-signal/kelvora-signal.conf\n' },
    },
  ];
  for (const c of cases) {
    const listing = run('dpkg-deb', ['-c', deb[c.name]]).trim().split('\n').map((l) => l.split(/\s+/));
    const byPath = new Map(listing.map((f) => [f[5], f]));
    for (const [path, mode] of Object.entries(c.files)) {
      assert.ok(byPath.has(path), `${c.name}: ${path} in ${[...byPath.keys()]}`);
      assert.equal(byPath.get(path)[0], mode, `${c.name}: mode of ${path}`);
    }
    for (const f of listing) {
      assert.equal(f[1], 'root/root', `${c.name}: owner of ${f[5]}`);
      assert.ok(f[5] === './' || /^\.\/(usr|etc\/kelvora-signal)\//.test(f[5]) || f[5] === './etc/', `${c.name}: ${f[5]} outside the package's places`);
      if (f[0].startsWith('d')) assert.equal(f[0], 'drwxr-xr-x', `${c.name}: mode of ${f[5]}`);
    }
    const fields = run('dpkg-deb', ['-f', deb[c.name], 'Package', 'Version', 'Architecture', 'Maintainer', 'Depends', 'Section']);
    assert.match(fields, new RegExp(`Package: ${c.name}\\nVersion: ${VERSION}\\nArchitecture: amd64\\n`), fields);
    assert.match(fields, /Maintainer: Arquena <soporte@kelvora\.app>/);
    const depends = fields.match(/Depends: (.*)/)[1];
    for (const d of c.depends) assert.match(depends, d, `${c.name}: Depends ${depends}`);
    for (const [file, text] of Object.entries(c.control ?? {}))
      assert.equal(run('dpkg-deb', ['-I', deb[c.name], file]), text, `${c.name}: ${file}`);
  }
  // The packaged menu entry is the one the in-app shortcut writes, for /usr/bin/kelvora.
  const entry = readFileSync(join(root.kelvora, 'usr/share/applications/kelvora.desktop'), 'utf8');
  assert.match(entry, /^Exec=\/usr\/bin\/kelvora$/m);
  assert.match(entry, /^Icon=kelvora$/m);
  if (has('desktop-file-validate')) run('desktop-file-validate', [join(root.kelvora, 'usr/share/applications/kelvora.desktop')]);
});

test('the programs run from the unpacked packages', { skip }, () => {
  assert.match(run(join(root.kelvora, 'usr/bin/kelvora'), ['--version']), new RegExp(`Kelvora v?${VERSION.replaceAll('.', '\\.')}`));
  assert.match(run(join(root['kelvora-signal'], 'usr/sbin/kelvora-signal'), ['--version']), /kelvora-signal/);
  // The packaged settings are the server's own options, read by the server itself.
  const r = spawnSync(join(root['kelvora-signal'], 'usr/sbin/kelvora-signal'),
    ['--config', join(root['kelvora-signal'], 'etc/kelvora-signal/kelvora-signal.conf'), '--listen', '127.0.0.1:1', '--cert', '/nonexistent/cert.pem'],
    { encoding: 'utf8', timeout: 20000 });
  assert.doesNotMatch(`${r.stdout}${r.stderr}`, /unknown option|unexpected argument/, `${r.stdout}${r.stderr}`);
  assert.notEqual(r.status, 0, 'no certificate, no server');
});

test('the service unit is sandboxed, reloads on SIGHUP and passes systemd-analyze', { skip }, () => {
  const unitFile = join(root['kelvora-signal'], 'usr/lib/systemd/system/kelvora-signal.service');
  const unit = readFileSync(unitFile, 'utf8');
  for (const line of [
    'ProtectSystem=strict', 'NoNewPrivileges=yes', 'CapabilityBoundingSet=CAP_NET_BIND_SERVICE', 'Restart=on-failure',
    'ExecReload=/bin/kill -HUP $MAINPID', 'User=kelvora-signal', 'StateDirectory=kelvora-signal',
    'ExecStart=/usr/sbin/kelvora-signal --config /etc/kelvora-signal/kelvora-signal.conf',
  ]) assert.ok(unit.split('\n').includes(line), `${line} in the unit`);
  const conf = readFileSync(join(root['kelvora-signal'], 'etc/kelvora-signal/kelvora-signal.conf'), 'utf8');
  assert.match(conf, /^listen \[::\]:443$/m, 'port 443 is why the unit keeps CAP_NET_BIND_SERVICE');
  assert.match(conf, /^cert \/etc\/kelvora-signal\/tls\/fullchain\.pem$/m);
  assert.match(conf, /^data \/var\/lib\/kelvora-signal$/m);
  if (!has('systemd-analyze')) return;
  // systemd reads the unit inside the unpacked package, with the host's units (the
  // targets it orders against) and its kill (procps, a dependency) beside it.
  const verifyRoot = join(dir, 'raiz-systemd');
  cpSync(root['kelvora-signal'], verifyRoot, { recursive: true });
  cpSync('/lib/systemd/system', join(verifyRoot, 'usr/lib/systemd/system'), { recursive: true, force: false, dereference: false });
  mkdirSync(join(verifyRoot, 'bin'), { recursive: true });
  copyFileSync('/bin/kill', join(verifyRoot, 'bin/kill'));
  const r = spawnSync('systemd-analyze', ['verify', '--man=no', '--root', verifyRoot, '/usr/lib/systemd/system/kelvora-signal.service'],
    { encoding: 'utf8', timeout: 60000 });
  assert.equal(r.status, 0, `${r.stdout}${r.stderr}`);
  assert.equal(`${r.stdout}${r.stderr}`, '', 'no unknown key, no missing program');
});
