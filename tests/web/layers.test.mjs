// The page's module graph, read from the import lines of every file under web/: imports go
// one way (app.js → ui/ → net/, media/ → core/ → i18n.js), nothing imports in a circle,
// protocol and state code never touches the page, and the page never builds a socket or a
// peer connection itself.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import { join, dirname, normalize, relative } from 'node:path';

const WEB = join(process.cwd(), 'web');

function modules(dir = WEB) {
  return readdirSync(dir, { withFileTypes: true }).flatMap((e) => {
    const p = join(dir, e.name);
    if (e.isDirectory()) return modules(p);
    return e.name.endsWith('.js') ? [relative(WEB, p)] : [];
  });
}

/** The file's code without comments and string contents, so a word in a comment or a text is no use. */
function code(text) {
  return text
    .replace(/\/\*[\s\S]*?\*\//g, ' ')
    .replace(/(^|[^:\\])\/\/.*$/gm, '$1')
    .replace(/'(?:[^'\\\n]|\\.)*'|"(?:[^"\\\n]|\\.)*"/g, "''");
}

const FILES = new Map(modules().map((m) => [m, readFileSync(join(WEB, m), 'utf8')]));
const IMPORTS = new Map([...FILES].map(([m, text]) => [m, [...text.matchAll(/^\s*(?:import|export)\s[^;]*?from\s+'([^']+)';/gms)].map((x) => normalize(join(dirname(m), x[1])))]));

/** Layers by rank: a module may import only from a lower rank (media and net from core, not each other upward). */
function rank(m) {
  if (m === 'i18n.js') return 0;
  if (m.startsWith('core/')) return 1;
  if (m.startsWith('media/')) return 2;
  if (m.startsWith('net/')) return 3;
  if (m.startsWith('ui/')) return 4;
  if (m === 'app.js') return 5;
  return -1;
}

test('every module lives in a layer and imports only files that exist', () => {
  for (const [m, deps] of IMPORTS) {
    assert.notEqual(rank(m), -1, `${m} is in no layer`);
    for (const d of deps) assert.ok(FILES.has(d), `${m} imports ${d}, which is not under web/`);
  }
  assert.ok(FILES.has('net/peer.js') && FILES.has('net/signal_socket.js'), 'one negotiation engine, one signalling socket');
});

test('imports go down the layers, never up or sideways into another layer', () => {
  const wrong = [];
  for (const [m, deps] of IMPORTS) {
    for (const d of deps) {
      const same = dirname(m) === dirname(d) && dirname(m) !== '.';
      if (!same && rank(d) >= rank(m)) wrong.push(`${m} → ${d}`);
    }
  }
  assert.deepEqual(wrong, []);
});

test('no module imports itself back through others', () => {
  const cycles = [];
  const state = new Map();
  const walk = (m, path) => {
    if (state.get(m) === 'done') return;
    if (state.get(m) === 'open') {
      cycles.push([...path.slice(path.indexOf(m)), m].join(' → '));
      return;
    }
    state.set(m, 'open');
    for (const d of IMPORTS.get(m) || []) walk(d, [...path, m]);
    state.set(m, 'done');
  };
  for (const m of IMPORTS.keys()) walk(m, []);
  assert.deepEqual(cycles, []);
});

test('core/, net/ and media/ touch no page; ui/ builds no socket or peer connection; one file builds each', () => {
  // The page's own names; media may play through elements handed in, but never finds them.
  const DOM = /\bdocument\b|\bwindow\.|\bHTMLElement\b|\bquerySelector|\binnerHTML\b|\bnew (Audio|Image)\b|\$\(/;
  const wrong = [];
  for (const [m, text] of FILES) {
    const c = code(text);
    if (/^(core|net)\//.test(m) && DOM.test(c)) wrong.push(`${m} reaches the page: ${c.match(DOM)[0]}`);
    if (/^(core|net|media)\//.test(m) && /from\s+'[^']*ui\//.test(text)) wrong.push(`${m} imports the page`);
    if (m.startsWith('ui/') && /new (WebSocket|RTCPeerConnection)\b/.test(c)) wrong.push(`${m} builds ${c.match(/new (WebSocket|RTCPeerConnection)/)[1]}`);
  }
  assert.deepEqual(wrong, []);
  const builders = (re) => [...FILES].filter(([, text]) => re.test(code(text))).map(([m]) => m);
  assert.deepEqual(builders(/new WebSocket\b/), ['net/signal_socket.js']);
  assert.deepEqual(builders(/new RTCPeerConnection\b/), ['net/peer.js']);
});

test('i18n.js is data only and app.js is the only module that starts anything', () => {
  assert.deepEqual(IMPORTS.get('i18n.js'), []);
  assert.doesNotMatch(code(FILES.get('i18n.js')), /\bfunction\b|=>/);
  for (const [m, text] of FILES) {
    if (m === 'app.js') continue;
    assert.doesNotMatch(code(text), /^(addEventListener|window\.addEventListener|document\.addEventListener)\(/m, `${m} wires itself at load`);
  }
});

test('every name a module assigns into at its top level is its own or imported', () => {
  // The type check takes `x.y = z` in a script for a declaration of x, so a callback table
  // set from a module that forgot to import it would only fail in the browser.
  const wrong = [];
  for (const [m, text] of FILES) {
    const own = new Set([...text.matchAll(/^(?:export )?(?:const|let|function|class|async function) ([\w$]+)/gm)].map((x) => x[1]));
    for (const x of text.matchAll(/^import \{([^}]*)\}/gm)) for (const n of x[1].split(',')) own.add(n.trim());
    for (const x of code(text).matchAll(/^([A-Za-z_$][\w$]*)\.[\w$.]+\s*=[^=]/gm))
      if (!own.has(x[1]) && !['Object', 'globalThis'].includes(x[1])) wrong.push(`${m}: ${x[1]}`);
  }
  assert.deepEqual(wrong, []);
});
