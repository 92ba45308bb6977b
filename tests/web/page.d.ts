// What the page's scripts see besides the DOM: the values the local server writes into
// index.html, and the hooks of sections that later work adds (called through typeof
// guards until then; remove a name here when its section lands).
declare const TOKEN: string;
declare const VER: string;

