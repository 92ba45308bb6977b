// Module resolution for web_modules.mjs: a module loaded with ?fresh=N loads the modules it
// imports with the same tag, so each tag is a whole graph of its own.
export async function resolve(specifier, context, next) {
  const r = await next(specifier, context);
  const tag = context.parentURL ? new URL(context.parentURL).searchParams.get('fresh') : null;
  if (tag && r.url.startsWith('file:') && (specifier.startsWith('./') || specifier.startsWith('../'))) {
    const u = new URL(r.url);
    u.searchParams.set('fresh', tag);
    return { ...r, url: u.href };
  }
  return r;
}
