// Kelvora.exe updating itself under Wine: Kelvora-anterior.exe (1.3.1, trusting the test
// key) fetches a signed manifest and a package through WinINet from a plain-http loopback
// channel, test-runs the new Kelvora.exe, swaps it in and hands over to it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { chmodSync, copyFileSync, existsSync, mkdirSync, readFileSync, readdirSync, writeFileSync } from 'node:fs';
import { createHash } from 'node:crypto';
import { join } from 'node:path';
import { WIN_BUILD, WIN_EXE, WineKelvora, readState, taskkill, tempHome, waitFor, wineMissing } from '../lib/wine.mjs';
import { startUpdateServer, makeZip } from '../lib/update_server.mjs';

const PRIOR = join(WIN_BUILD, 'Kelvora-anterior.exe');
const skip = wineMissing() || (existsSync(PRIOR) ? false : `${PRIOR} no existe: corre make build-win`);
const sha = (b) => createHash('sha256').update(b).digest('hex');

// How the copy that updates was started: as Kelvora.exe, or as the Kelvora.old.exe a swap
// cut short left with no program file, which takes the name back as it starts; Windows keeps
// calling the running program by its first name, so the update must act on the name taken.
const starts = [
  { as: 'Kelvora.exe', log: null },
  { as: 'Kelvora.old.exe', log: /\[ACTUALIZAR\] una actualización quedó a medias: .*Kelvora\.exe vuelve a ser el programa/ },
];

for (const c of starts) test(`started as ${c.as}, Kelvora.exe is swapped for the new version, which reports the update`, { skip, timeout: 300000 }, async (t) => {
  const srv = await startUpdateServer({ plain: true });
  const program = join(tempHome(), 'Programa');
  mkdirSync(program, { recursive: true });
  copyFileSync(PRIOR, join(program, c.as));
  chmodSync(join(program, c.as), 0o755);
  const k = new WineKelvora({ exe: join(program, c.as) });
  let next;
  t.after(async () => {
    await k.stop();
    if (next) taskkill(next);
    await srv.close();
    k.cleanup();
  });
  mkdirSync(k.data, { recursive: true });
  writeFileSync(join(k.data, 'kelvora.ini'), `[general]\r\ncanal_actualizaciones=${srv.channel}\r\nbuscar_actualizaciones=no\r\n`);
  await k.start();
  assert.deepEqual(readdirSync(program), ['Kelvora.exe'], c.as);
  if (c.log) assert.match(k.log(), c.log);

  const fresh = readFileSync(WIN_EXE);
  // Backslashes and capitals in a sub-folder: still the program's entry.
  srv.publish(srv.package('/Kelvora-1.3.2.zip', makeZip([{ name: 'LEEME.txt', data: Buffer.from('hola') },
    { name: 'Kelvora\\KELVORA.EXE', data: fresh }]), { version: '1.3.2' }));
  await k.post('/api/update', { action: 'check' });
  const found = await waitFor(async () => { const s = (await k.get('/api/update')).json; return s.phase !== 'checking' && s; }, 'the check', 60000);
  assert.equal(found.msg, 'Hay una versión nueva: v1.3.2', JSON.stringify(found));
  assert.equal(found.can_install, true);
  const r = await k.post('/api/update', { action: 'install' });
  assert.equal(r.json.ok, true, r.json.msg);

  await k.exited;
  next = await waitFor(() => { const s = readState(k.home, 'instancia.json'); return s?.version === '1.3.2' && s.pid; }, 'the new version', 120000);
  const rec = await waitFor(() => { const a = readState(k.home, 'actualizacion.json'); return a?.result && a; }, 'the report', 30000);
  assert.deepEqual(rec.result, { ok: true, version: '1.3.2', from: '1.3.1' }, `${c.as}: ${k.log()}`);
  assert.equal(sha(readFileSync(join(program, 'Kelvora.exe'))), sha(fresh));
  // The previous version is kept beside it as the way back; nothing runnable in the data folder.
  await waitFor(() => readdirSync(program).sort().join() === 'Kelvora.exe,Kelvora.old.exe' && !existsSync(join(k.data, 'update')), `the clean-up: ${readdirSync(program)}`, 60000);
  assert.equal(sha(readFileSync(join(program, 'Kelvora.old.exe'))), sha(readFileSync(PRIOR)));
  assert.match(k.log(), /\[ACTUALIZAR\] Kelvora se actualizó de la v1\.3\.1 a la v1\.3\.2/);
});
