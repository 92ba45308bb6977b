
export const $ = (/** @type {string} */ sel) => /** @type {any} */ (document.querySelector(sel));
