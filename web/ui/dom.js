// The page's document, the one way ui/ reaches it, so that a test can hand in a stand-in.

/** @type {{document: () => Document}} */
export const dom = { document: () => document };

/** The first element that matches sel (null when none). */
// Loose: each caller knows which element its selector finds (an input, a select, a video).
export const $ = (/** @type {string} */ sel) => /** @type {any} */ (dom.document().querySelector(sel));
