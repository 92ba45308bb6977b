// What the page's modules see besides the DOM: the values the local server writes into
// index.html's first script (core/api.js reads them once, as PAGE).
declare const TOKEN: string;
declare const VER: string;
