// A kelvora on the X test bed with a controlling host session open, for the desktop tests.
import { Kelvora } from './kelvora.mjs';

export const HOST_SESSION = { k: 'h1', activa: true, rol: 'host', control: true, con: 'Técnico', id: '123456789' };

/** Starts kelvora on the display and opens the controlling host session. */
export async function startControlled(x, { home } = {}) {
  const k = new Kelvora({ env: { DISPLAY: x.display }, home });
  await k.start();
  const r = await k.post('/api/sesion', HOST_SESSION);
  if (!r.json?.ok) throw new Error(`no se pudo abrir la sesión: ${r.body}`);
  return k;
}

export function endSession(k) {
  return k.post('/api/sesion', { ...HOST_SESSION, activa: false });
}
