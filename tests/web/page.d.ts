// What the page's scripts see besides the DOM: the values the local server writes into
// index.html, and the hooks of sections that later work adds (called through typeof
// guards until then; remove a name here when its section lands).
declare const TOKEN: string;
declare const VER: string;

declare var endLine: ((line: any) => void) | undefined;
declare var startSesLine: ((s: any) => void) | undefined;
declare var sesVoiceToggle: ((s: any) => void) | undefined;
declare var renderDock: (() => void) | undefined;
declare var reloadManual: (() => void) | undefined;
declare var renderSettings: (() => void) | undefined;
declare var loadDevices: (() => void) | undefined;
declare var updateShow: ((st: any) => void) | undefined;
declare var updateStartPolling: ((st: any) => void) | undefined;
declare var applySink: ((el: HTMLMediaElement, quiet?: boolean) => void) | undefined;
declare var dockMin: ((on: boolean) => void) | undefined;
declare var LINES: any;
declare var onRing: ((m: any) => void) | undefined;
declare var onRingMsg: ((m: any) => void) | undefined;
declare var declineRing: (() => void) | undefined;
declare var sesVoiceMsg: ((s: any, m: any) => void) | undefined;
