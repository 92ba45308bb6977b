// The recent list over the real API, alone and under overlapping changes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readState } from '../lib/kelvora.mjs';
import { finish, startAs } from '../lib/records_env.mjs';

const nine = (i) => String(100000000 + i);

test('adding and removing recent PCs', async () => {
  const k = await startAs();
  try {
    const add = async (id, nombre) => (await k.post('/api/recientes/agregar', { id, nombre })).json;
    assert.deepEqual(await add('12345678', 'x'), []);
    assert.equal(readState(k.home, 'recientes.json'), null, 'nothing written for a bad id');

    const list = await add('123 456 789', 'Caja');
    assert.equal(list.length, 1);
    assert.deepEqual({ ...list[0], fecha: undefined }, { id: '123456789', nombre: 'Caja', fecha: undefined });
    assert.match(list[0].fecha, /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);

    for (let i = 1; i <= 12; i++) await add(nine(i), `PC ${i}`);
    let ids = (await add(nine(4), 'Otra vez')).map((e) => e.id);
    assert.equal(ids.length, 12);
    assert.equal(ids[0], nine(4));
    assert.equal(ids.filter((id) => id === nine(4)).length, 1);
    assert.ok(!ids.includes('123456789'), 'the oldest went');

    ids = (await k.post('/api/recientes/quitar', { id: nine(4) })).json.map((e) => e.id);
    assert.ok(!ids.includes(nine(4)));
    assert.deepEqual((await k.get('/api/estado')).json.recientes.map((e) => e.id), ids);
    assert.deepEqual(readState(k.home, 'recientes.json').map((e) => e.id), ids);
  } finally {
    await finish(k);
  }
});

test('overlapping changes lose none and leave a valid file', async () => {
  const k = await startAs();
  try {
    // Rounds of twelve additions at once: each round's twelve must all be listed after it.
    for (let round = 0; round < 8; round++) {
      const ids = Array.from({ length: 12 }, (_, i) => nine(round * 100 + i));
      await Promise.all(ids.map((id) => k.post('/api/recientes/agregar', { id, nombre: id })));
      const file = readState(k.home, 'recientes.json');
      assert.ok(Array.isArray(file), 'recientes.json parses');
      assert.deepEqual(file.map((e) => e.id).sort(), ids, `round ${round}`);
    }

    // Removals and additions together: every removal sticks, every addition lands.
    const kept = readState(k.home, 'recientes.json').map((e) => e.id);
    await Promise.all([
      ...kept.slice(0, 6).map((id) => k.post('/api/recientes/quitar', { id })),
      ...[1, 2, 3].map((i) => k.post('/api/recientes/agregar', { id: nine(i), nombre: 'n' })),
    ]);
    assert.deepEqual(readState(k.home, 'recientes.json').map((e) => e.id).sort(),
      [nine(1), nine(2), nine(3), ...kept.slice(6)].sort());
  } finally {
    await finish(k);
  }
});
