// The session registry over the real API: the state it shows, its log and history lines,
// overlapping reports, and what exit does with open sessions.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { dataDir, waitFor } from '../lib/kelvora.mjs';
import { finish, logMessages, startAs } from '../lib/records_env.mjs';

function historyLines(k) {
  let text = '';
  try {
    text = readFileSync(join(dataDir(k.home), 'sesiones.jsonl'), 'utf8');
  } catch {}
  return text.split('\n').filter(Boolean).map((l) => JSON.parse(l));
}

test('a host session from start to end', async () => {
  const k = await startAs();
  try {
    const sesion = (body) => k.post('/api/sesion', body).then((r) => r.json);
    const state = async () => (await k.get('/api/estado')).json;
    assert.deepEqual((await state()).sesion,
      { activa: false, con: '', control: false, lista: [], llamadas: 0, rol: '' });

    assert.deepEqual(await sesion({ k: 's1', activa: true, rol: 'host', control: true, con: 'Ana', id: '123-456-789' }), { ok: true });
    let s = await state();
    assert.equal(s.sesion.activa, true);
    assert.equal(s.sesion.rol, 'host');
    assert.equal(s.sesion.control, true);
    assert.equal(s.sesion.con, 'Ana');

    await sesion({ k: 's1', activa: true, rol: 'host', control: false, con: 'Ana', id: '123456789' });
    assert.equal((await state()).sesion.control, false);
    await sesion({ k: 's1', activa: false });
    s = await state();
    assert.equal(s.sesion.activa, false);
    assert.equal(s.sesiones.length, 1);
    assert.deepEqual({ ...s.sesiones[0], fecha: undefined, segundos: undefined },
      { con: 'Ana', control: false, fecha: undefined, id: '123456789', rol: 'recibi', segundos: undefined });
    assert.ok(Number.isInteger(s.sesiones[0].segundos));

    const lines = logMessages(k).filter((l) => l.startsWith('[SESION]'));
    // A new session's first report logs its start, not a change of control.
    assert.equal(lines.length, 3);
    assert.equal(lines[0], '[SESION] empieza (recibo soporte) con Ana 123456789');
    assert.equal(lines[1], '[SESION] control quitado');
    assert.match(lines[2], /^\[SESION\] termina \(recibi\) con Ana 123456789 · \d+ s$/);
  } finally {
    await finish(k);
  }
});

test('calls are counted and logged', async () => {
  const k = await startAs();
  try {
    const llamada = (body) => k.post('/api/llamada', body).then((r) => r.json);
    assert.deepEqual(await llamada({ k: 'l1', activa: true, tipo: 'telefono', con: 'Eva' }), { ok: true });
    await llamada({ activa: true });
    let s = (await k.get('/api/estado')).json;
    assert.equal(s.llamada, true);
    assert.equal(s.sesion.llamadas, 2);
    await llamada({ k: 'nunca', activa: false });
    await llamada({ k: 'l1', activa: false });
    await llamada({ activa: false });
    s = (await k.get('/api/estado')).json;
    assert.equal(s.llamada, false);
    assert.deepEqual(logMessages(k).filter((l) => l.startsWith('[LLAMADA]')),
      ['[LLAMADA] empieza l1', '[LLAMADA] empieza grupo', '[LLAMADA] termina l1', '[LLAMADA] termina grupo']);

    // A page reloaded mid-call starts by saying it has none: whatever it left ends, and the
    // updater no longer waits for it.
    await llamada({ k: 'l3', activa: true, tipo: 'telefono', con: 'Eva' });
    await llamada({ activa: true });
    await llamada({ k: '', activa: false });
    s = (await k.get('/api/estado')).json;
    assert.equal(s.llamada, false);
    assert.equal(s.sesion.llamadas, 0);
    assert.equal(logMessages(k).filter((l) => l === '[LLAMADA] terminan todas').length, 1);
  } finally {
    await finish(k);
  }
});

test('overlapping session reports lose nothing', async () => {
  const k = await startAs();
  try {
    const names = Array.from({ length: 40 }, (_, i) => `PC-${i}`);
    await Promise.all(names.map((con, i) =>
      k.post('/api/sesion', { k: `k${i}`, activa: true, rol: i % 2 ? 'host' : 'tech', control: true, con, id: '' })));
    let s = (await k.get('/api/estado')).json;
    assert.equal(s.sesion.lista.length, 40);
    assert.equal(s.sesion.control, true);

    await Promise.all(names.map((_, i) => k.post('/api/sesion', { k: `k${i}`, activa: false })));
    const history = historyLines(k);
    assert.deepEqual(history.map((h) => h.con).sort(), [...names].sort());
    for (const h of history) assert.equal(h.rol, Number(h.con.slice(3)) % 2 ? 'recibi' : 'di');
    s = (await k.get('/api/estado')).json;
    assert.equal(s.sesion.activa, false);
    assert.equal(s.sesiones.length, 40);
  } finally {
    await finish(k);
  }
});

test('an end without key, and exit, end every open session', async () => {
  const k = await startAs();
  try {
    for (const [key, rol] of [['a', 'host'], ['b', 'tech']])
      await k.post('/api/sesion', { k: key, activa: true, rol, con: key });
    await k.post('/api/sesion', { activa: false });
    assert.deepEqual(historyLines(k).map((h) => h.con), ['a', 'b']);

    await k.post('/api/sesion', { k: 'c', activa: true, rol: 'host', control: true, con: 'c' });
    assert.deepEqual((await k.post('/api/salir')).json, { ok: true });
    await waitFor(() => k.proc.exitCode !== null, 'the exit');
    assert.deepEqual(historyLines(k).map((h) => h.con), ['a', 'b', 'c']);
    assert.ok(logMessages(k).some((l) => l.startsWith('[SESION] termina (recibi) con c ')));
  } finally {
    await finish(k);
  }
});
