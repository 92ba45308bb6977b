// The test bed reaches both pages through Playwright, which turns on the DevTools network
// agent of every page it sees. That agent keeps the body of every request the page has
// made (for Network.getRequestPostData) for as long as the page lives: a received file
// posted to the native host piece by piece would stay whole in the browser process, as a
// page without DevTools never holds it. The bench turns the agent off on Playwright's own
// connection to the page: nothing the bench uses needs network events.

/** Playwright's own DevTools session of a page (in-process Playwright only). */
function pageSession(page) {
  const impl = page._connection?.toImpl?.(page);
  const client = impl?.delegate?._mainFrameSession?._client;
  if (!client) throw new Error('bench/files: no se alcanza la sesión DevTools de Playwright para apagar su agente de red');
  return client;
}

/** Turns the page's DevTools network agent off, dropping what it kept. */
export async function networkAgentOff(page) {
  await pageSession(page).send('Network.disable');
}
