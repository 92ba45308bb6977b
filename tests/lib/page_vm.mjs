// Loads the page's scripts (i18n.js, then app.js) into a Node vm context, so that their pure
// rules can be tested without a browser. The page starts only on DOMContentLoaded, which
// never fires here.
import vm from 'node:vm';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';

const WEB = join(process.cwd(), 'web');

/**
 * A fresh context with the page's globals; ctx.run('expr') evaluates inside it. Without
 * texts, t(key) gives the key itself, so tests can name what the page says by its key.
 */
export function loadPage({ storage = {}, texts = false } = {}) {
  const store = new Map(Object.entries(storage));
  const storageApi = {
    getItem: (k) => (store.has(k) ? store.get(k) : null),
    setItem: (k, v) => store.set(k, String(v)),
    removeItem: (k) => store.delete(k),
  };
  const ctx = vm.createContext({
    console,
    setTimeout, clearTimeout, setInterval, clearInterval,
    TOKEN: '0'.repeat(32), VER: '0.0.0',
    document: { readyState: 'loading', querySelector: () => null, querySelectorAll: () => [], addEventListener() {} },
    addEventListener() {},
    localStorage: storageApi,
    sessionStorage: storageApi,
    location: { reload() { ctx.reloads = (ctx.reloads || 0) + 1; } },
    reloads: 0,
  });
  ctx.window = ctx;
  for (const f of ['i18n.js', 'app.js']) vm.runInContext(readFileSync(join(WEB, f), 'utf8'), ctx, { filename: f });
  ctx.run = (code) => vm.runInContext(code, ctx);
  if (!texts) ctx.run('I18N.es = {}; I18N.en = {};');
  return ctx;
}
