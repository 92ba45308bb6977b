// The manual, its printable page and the release notes, served by the real binary.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Kelvora } from '../lib/kelvora.mjs';

let k;
before(async () => { k = await new Kelvora().start(); });
after(async () => { await k.stop(); k.cleanup(); });

test('only lang=en chooses the English manual', async () => {
  const cases = [
    ['/api/manual', 'es'],
    ['/api/manual?lang=es', 'es'],
    ['/api/manual?lang=EN', 'es'],
    ['/api/manual?lang=fr', 'es'],
    ['/api/manual?lang=', 'es'],
    ['/api/manual?x=1&lang=en', 'en'],
    ['/api/manual?lang=en', 'en'],
  ];
  for (const [path, lang] of cases) {
    const r = await k.get(path);
    assert.equal(r.status, 200, path);
    assert.match(r.headers['content-type'], /^application\/json/);
    const m = r.json;
    assert.equal(m.lang, lang, path);
    assert.equal(m.ok, true);
    assert.equal(m.version, 'v1.3.2');
    assert.equal(m.author, 'Arquena');
    assert.match(m.contact, /^[^@\s]+@[^@\s]+\.[a-z]+$/);
    assert.deepEqual(Object.keys(m.txt).sort(), ['by', 'title', 'toc', 'ver']);
    assert.equal(m.txt.title, lang === 'en' ? 'User manual' : 'Manual de usuario', path);
    assert.match(m.html, lang === 'en' ? /<h1 id="kelvora-manual">Kelvora manual<\/h1>/ : /<h1 id="manual-de-kelvora">Manual de Kelvora<\/h1>/);
  }
});

test('the contents point at the anchors of the HTML', async () => {
  const m = (await k.get('/api/manual?lang=es')).json;
  assert.equal(m.toc.length, 17);
  assert.equal(m.toc[2].id, 'recibir-soporte-esta-pc');
  assert.equal(m.toc[7].id, 'llamar-a-un-id-como-telefono');
  assert.equal(m.toc[14].id, 'que-hacer-si-quiero-desinstalar-kelvora');
  for (const e of m.toc) {
    assert.ok(m.html.includes(`<h2 id="${e.id}">`), e.id);
    for (const s of e.sub) assert.ok(m.html.includes(`<h3 id="${s.id}">`), s.id);
  }
  assert.doesNotMatch(m.html, /<strong>|<blockquote>/);
  assert.match(m.html, /<div class="mnote">/);
});

test('the printable page prints itself and keeps its button off the paper', async () => {
  for (const lang of ['es', 'en']) {
    const r = await k.get(`/manual/imprimir?lang=${lang}`);
    assert.equal(r.status, 200);
    assert.equal(r.headers['content-type'], 'text/html; charset=utf-8');
    assert.equal(r.headers['x-frame-options'], 'DENY');
    const p = r.body;
    assert.ok(p.startsWith('<!doctype html>'));
    assert.match(p, new RegExp(`<html lang="${lang}">`));
    assert.match(p, /<meta charset="utf-8">/);
    const title = lang === 'en' ? 'Kelvora · User manual' : 'Kelvora · Manual de usuario';
    assert.ok(p.includes(`<title>${title}</title>`));
    assert.ok(p.includes(`<h1>${title}</h1>`));
    assert.ok(p.includes(lang === 'en' ? 'Manual for v1.3.2' : 'Manual de la v1.3.2'));
    assert.match(p, /<img src="\/img\/kelvora.svg"/);
    assert.match(p, /@media print\{\.noprint\{display:none\}\}/);
    assert.match(p, /<p class="noprint"><button onclick="print\(\)">🖨 (Imprimir \/ Guardar como PDF|Print \/ Save as PDF)<\/button><\/p>/);
    assert.match(p, /setTimeout\(\(\)=>print\(\),600\)/);
    assert.match(p, /<div class="sign">[^]*Arquena[^]*kelvora\.app[^]*@/);
    assert.match(p, /<div class="mnote">/);
  }
});

test('the release notes open with the newest version', async () => {
  const n = (await k.get('/api/novedades')).json;
  assert.equal(n.ok, true);
  assert.equal(n.version, '1.3.2');
  assert.equal(n.fecha, '2026-11-04');
  assert.ok(n.html.startsWith('<h2>v1.3.2 — 2026-11-04</h2>'), n.html.slice(0, 60));
  assert.doesNotMatch(n.html, /Historial de versiones de Kelvora|Formato:/);
  assert.match(n.html, /<strong>/);
  assert.doesNotMatch(n.html, /<b>|id="/);
});
