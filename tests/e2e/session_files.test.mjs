// Files between real pages land in the receiving PC's downloads folder as they arrive:
// 50 MB each way byte for byte with no .part left, a transfer cancelled from either side
// leaves nothing, a full disk (a small tmpfs as the downloads folder) is said and leaves
// nothing, and names that try to leave the folder stay inside it.
import { test, before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { existsSync, mkdtempSync, readdirSync, rmSync, statSync, truncateSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { waitFor } from '../lib/kelvora.mjs';
import { SessionBed, bedMissing } from '../lib/session_bed.mjs';

const skip = bedMissing();
let bed, ana, tech, k, dir;
const mounts = [];

before(async () => {
  if (skip) return;
  dir = mkdtempSync(join(tmpdir(), 'kelvora-files-e2e-'));
  bed = await SessionBed.start({ display: 84 });
  [ana, tech] = await Promise.all([bed.host('PC de Ana'), bed.tech('Técnico Beto')]);
  k = await tech.connect(ana.id);
  await ana.accept();
  await tech.waitPicture(k);
});

after(async () => {
  await bed?.stop();
  for (const m of mounts) {
    spawnSync('umount', [m]);
    rmSync(m, { recursive: true, force: true });
  }
  if (dir) rmSync(dir, { recursive: true, force: true });
});

// A failed test must not leave a transfer or a question behind for the next one.
afterEach(async () => {
  if (skip) return;
  for (const pc of [ana, tech]) {
    await pc.eval(() => {
      for (const s of [...kelvora.TS.values(), ...(kelvora.HSES ? [kelvora.HSES] : [])]) {
        if (s.rx) kelvora.rxFail(s, s.rx, '');
        for (const [id] of s.tx ?? []) kelvora.xferCancel(id);
      }
      kelvora.closeModal();
    }).catch(() => {});
  }
});

/**
 * Bytes made the same way here and in a page: 1 MiB of random bytes, each MiB of the file
 * that block with its index mixed in. The app window's browser is reached over CDP, which
 * can't hand it a large file, so its page sends one made on demand.
 */
const BLOCK = 1048576;
const seed = randomBytes(BLOCK);
function madeBytes(n) {
  const out = Buffer.alloc(n);
  for (let at = 0; at < n; at += BLOCK) {
    const idx = at / BLOCK;
    for (let i = 0; i < BLOCK && at + i < n; i++) out[at + i] = seed[i] ^ (idx & 255);
  }
  return out;
}

/** Makes pc's page send a file of n such bytes named name; gives its SHA-256. */
async function sendMade(pc, name, n) {
  await pc.eval(([seed, name, n, BLOCK]) => {
    const block = Uint8Array.from(atob(seed), (c) => c.charCodeAt(0));
    const slice = (a, b) => {
      b = Math.min(n, b);
      const out = new Uint8Array(Math.max(0, b - a));
      for (let i = a; i < b; i++) out[i - a] = block[i % BLOCK] ^ (Math.floor(i / BLOCK) & 255);
      return new Blob([out]);
    };
    kelvora.sendFile(/** @type {any} */ ({ name, size: n, slice }), kelvora.HSES);
  }, [seed.toString('base64'), name, n, BLOCK]);
  return createHash('sha256').update(madeBytes(n)).digest('hex');
}

/** A file of n random bytes; gives its path and SHA-256. */
function randomFile(name, n) {
  const path = join(dir, name);
  const bytes = randomBytes(n);
  writeFileSync(path, bytes);
  return { path, name, size: n, sha256: createHash('sha256').update(bytes).digest('hex') };
}

/** Offers files from the technician's viewer. */
async function fromTech(paths) {
  await tech.eval((k) => kelvora.showSes(k), k);
  await tech.pickFiles(() => tech.page.click('#vFile'), paths);
}

/** Answers yes to the offer on pc. */
async function acceptOn(pc) {
  await pc.page.waitForSelector('#fileYesBtn', { timeout: 20000 });
  await pc.page.click('#fileYesBtn');
}

/** The incoming transfer of pc's session, as plain fields; null when there is none. */
function incoming(pc) {
  return pc.eval((k) => {
    const s = typeof kelvora.HSES === 'object' && kelvora.HSES ? kelvora.HSES : kelvora.TS.get(k);
    const rx = s && s.rx;
    return rx ? { ok: rx.ok, got: rx.got, written: rx.written, size: rx.size } : null;
  }, k);
}

/** Waits until pc's toast showed a text that matches re. */
async function toastLike(pc, re, ms = 30000) {
  await pc.page.waitForFunction((src) => window.__toasts.some((x) => new RegExp(src).test(x)), re.source, { timeout: ms, polling: 50 });
}

/**
 * pc.received(name) for a large file: waited for as long as its .part keeps growing (a
 * loaded machine moves well under a MB a second), failing after a minute without a byte.
 */
async function receivedWhole(pc, name) {
  const part = join(pc.downloads, `${name}.part`);
  let last = -1, since = Date.now();
  while (existsSync(part) || !existsSync(join(pc.downloads, name))) {
    let now = 0;
    try { now = statSync(part).size; } catch { /* renamed or not made yet */ }
    if (now > last) [last, since] = [now, Date.now()];
    else if (Date.now() - since > 60000) throw new Error(`${pc.name}: ${name} stopped at ${last} bytes`);
    await new Promise((r) => setTimeout(r, 500));
  }
  return pc.received(name, 10000);
}

/**
 * Presses a transfer box's cancel button inside the page: the box is drawn again with each
 * piece, so a click from outside may land on a button that was just replaced.
 */
function pressCancel(pc) {
  return pc.page.waitForFunction(() => {
    const b = /** @type {HTMLElement|null} */ (document.querySelector('#xfer .xc'));
    if (b) b.click();
    return !!b;
  }, null, { timeout: 30000, polling: 100 });
}

/** A small tmpfs of its own, unmounted in after(). */
function smallDisk(mb) {
  const m = mkdtempSync(join(tmpdir(), 'kelvora-files-disk-'));
  const r = spawnSync('mount', ['-t', 'tmpfs', '-o', `size=${mb}m`, 'tmpfs', m], { encoding: 'utf8' });
  if (r.status !== 0) {
    rmSync(m, { recursive: true, force: true });
    return null;
  }
  mounts.push(m);
  return m;
}

test('50 MB each way lands in the downloads folder byte for byte, nothing left half written', { skip }, async () => {
  const toAna = randomFile('instalador grande.bin', 50 * 1048576);
  await fromTech([toAna.path]);
  await acceptOn(ana);
  assert.deepEqual(await receivedWhole(ana, toAna.name), { name: toAna.name, size: toAna.size, sha256: toAna.sha256 });

  const size = 50 * 1048576 + 3;
  const sha256 = await sendMade(ana, 'registro completo.log', size);
  await acceptOn(tech);
  assert.deepEqual(await receivedWhole(tech, 'registro completo.log'), { name: 'registro completo.log', size, sha256 });
  assert.deepEqual(ana.downloaded(), [toAna.name]);
  assert.deepEqual(tech.downloaded(), ['registro completo.log']);
  // The box says where the file went and offers its folder.
  await tech.page.waitForSelector('#xfer .xopen', { timeout: 10000 });
});

test('a transfer cancelled by either side leaves no file', { skip }, async () => {
  // Sparse: large enough to be still on its way when cancelled, and nothing on the disk.
  const big = join(dir, 'pelicula.mkv');
  writeFileSync(big, '');
  truncateSync(big, 1500 * 1048576);
  const before = ana.downloaded();

  for (const side of ['receiver', 'sender']) {
    await fromTech([big]);
    await acceptOn(ana);
    await waitFor(async () => (await incoming(ana))?.written > 0, 'the first piece on disk', 30000);
    assert.ok(ana.downloaded().includes('pelicula.mkv.part'), 'the file is written as it arrives');
    const pc = side === 'receiver' ? ana : tech;
    await pressCancel(pc);
    // The sender's word goes after what its channel already holds (up to 8 MiB), which a
    // loaded machine takes tens of seconds to move.
    await waitFor(async () => !(await incoming(ana)), `${side}: the transfer over`, 90000);
    await waitFor(() => !ana.downloaded().some((n) => n.startsWith('pelicula')), `${side}: no file left`, 10000);
    await tech.page.waitForFunction(() => kelvora.TS.size && [...kelvora.TS.values()].every((s) => !s.tx || s.tx.size === 0), null, { timeout: 20000 });
  }
  assert.deepEqual(ana.downloaded(), before);
});

test('a full disk is said and leaves no partial file', { skip }, async (t) => {
  const disk = smallDisk(16);
  if (!disk) return t.skip('a small tmpfs can\'t be mounted here (root is needed)');
  ana.setDownloads(disk);
  try {
    await ana.clearToasts();
    // Larger than the free space: refused when accepted, before anything is sent.
    const big = randomFile('copia.zip', 20 * 1048576);
    await fromTech([big.path]);
    await acceptOn(ana);
    await toastLike(ana, /^No hay espacio suficiente en el disco para guardar «copia\.zip»/);
    assert.deepEqual(readdirSync(disk), []);

    // It fitted when accepted; then something else filled the disk.
    await ana.clearToasts();
    const mid = randomFile('fotos.zip', 12 * 1048576);
    await fromTech([mid.path]);
    await acceptOn(ana);
    await waitFor(() => existsSync(join(disk, 'fotos.zip.part')), 'the .part on the small disk', 20000);
    writeFileSync(join(disk, 'relleno'), Buffer.alloc(8 * 1048576));
    // The disk fills once the next pieces come, which on a loaded machine takes a while.
    await toastLike(ana, /^No hay espacio suficiente en el disco para guardar «fotos\.zip»/, 120000);
    await waitFor(() => !(readdirSync(disk).some((n) => n.startsWith('fotos'))), 'no partial file', 10000);
    assert.deepEqual(readdirSync(disk), ['relleno']);
  } finally {
    ana.setDownloads(ana.downloads);
  }
});

test('names that try to leave the folder land inside it', { skip }, async () => {
  const before = ana.downloaded();
  // A sender's page can offer any name; this one plays a hostile peer.
  await tech.eval((k) => {
    const bytes = new TextEncoder().encode('hola');
    kelvora.sendFile(/** @type {any} */ ({ name: '../../x', size: bytes.length, slice: (a, b) => new Blob([bytes.slice(a, b)]) }), kelvora.TS.get(k));
  }, k);
  await acceptOn(ana);
  await ana.received('_.._x');
  const con = randomFile('CON', 1000);
  await fromTech([con.path]);
  await acceptOn(ana);
  assert.equal((await ana.received('_CON')).sha256, con.sha256);
  assert.deepEqual(ana.downloaded(), [...before, '_.._x', '_CON'].sort());
  assert.equal(existsSync(join(ana.downloads, '..', '..', 'x')), false);
});
