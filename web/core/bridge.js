// Page functions the lower layers still call by name; app.js fills it.
/** @type {any} */
export const UI = {};
