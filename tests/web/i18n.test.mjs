// The page's texts: both languages hold exactly the page's keys, in the same order, with the
// same placeholders, and every key the page's markup and code asks for exists.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import { join, relative } from 'node:path';
import { I18N } from '../../web/i18n.js';

const LANGS = ['es', 'en'];
const WEB = join(process.cwd(), 'web');

// Every key of the page, in the order the tables keep them.
const KEYS = [
  'histBtn', 'histTitle', 'histTxt', 'editKey', 'keyEyeTip', 'newKeyAsk', 'keyEditT', 'keyEditTxt',
  'keySave', 'keySaved', 'denNeedPass', 'reqMons', 'uaTitle', 'uaTxt', 'uaFull', 'uaAud', 'uaGo',
  'uaHost', 'monMain', 'monTip', 'monSwitching', 'monFail', 'sUA', 'sUAHint', 'sMons', 'sMonsHint',
  'sesTitle', 'sesHint', 'sesView', 'sesEnd', 'sesHost', 'sesChip', 'sesChip1', 'sesDup', 'sesMax',
  'sesWaiting', 'sesConnecting', 'sesNewChat', 'sesNewHint', 'vtNew', 'vtMin', 'vtKeys', 'lnTitle',
  'lnSub', 'lnHold', 'lnResume', 'lnMerge', 'lnSplit', 'lnMergeAll', 'lnHeld', 'lnConf',
  'lnPeerHold', 'lnDup', 'lnMax', 'lnCalls', 'lnAnsHold', 'lnAnsMerge', 'lnRingBusy', 'lnOffer',
  'lnTake', 'lnSesTag', 'lnVoiceHeld', 'lnMerged', 'lnMergeNeed', 'lnConfInfo', 'lnDevs', 'verTip',
  'subtitle', 'tabConnect', 'tabCall', 'tabSettings', 'tabHelp', 'quit', 'thisPc', 'yourId',
  'copy', 'tempKey', 'newKey', 'newKeyTip', 'copyBoth', 'connecting', 'availLbl', 'hostTip',
  'adminNote', 'otherPc', 'peerId', 'peerKey', 'keyPh', 'connect', 'wantCtl', 'connectHint',
  'recents', 'noRecents', 'history', 'historyHint', 'noHistory', 'callTitle', 'callSub',
  'callCreate', 'callJoin', 'callJoinBtn', 'callTip', 'inCall', 'code', 'leave',
  'myMic', 'callKeep', 'setGeneral', 'setReceive', 'setCall', 'setAdvanced', 'save', 'log',
  'dataFolder', 'print', 'keys', 'clipboard', 'typeTxt', 'sendFile', 'quality', 'fullTip', 'end',
  'cancel', 'volRemote', 'chatPh', 'send', 'updating', 'updatingTxt', 'online', 'offlineSrv',
  'unavailable', 'srvTaken', 'srvReplaced', 'reconnect', 'pillSrvOk', 'pillPortable', 'portTip',
  'pillSrvBad', 'pillNoAdmin', 'pillAdmin', 'pillRelay', 'pillNoRelay', 'relayTip', 'noRelayTip',
  'tryRelay', 'sConn', 'sConnAuto', 'sConnRelay', 'sConnHint', 'reqTitle', 'reqWho', 'reqWarn',
  'reqCtl', 'reqAudio', 'reqCall', 'reqPicker', 'accept', 'reject', 'reqLeft', 'pickerCancelled',
  'badKeyTry', 'lockedMsg', 'reqCancelled', 'hbLive', 'hbCtl', 'hbAudio', 'hbChat', 'hbFile',
  'hbEnd', 'hbScreen', 'waitAccept', 'waitSecs', 'connectingPeer', 'waitScreen', 'denBadKey',
  'denDenied', 'denTimeout', 'denCancelled', 'denBusy', 'denRate', 'denOffline', 'denLocked',
  'denUnavailable', 'badId', 'selfId', 'srvDown', 'ended', 'connFail', 'connFailTurn', 'endedPeer',
  'endedLost', 'endedStop', 'ctlOn', 'ctlOff', 'ctlDenied', 'audOn', 'audOff', 'audNone', 'audNoneTip', 'callOn', 'callOff',
  'peerCallOn', 'keysHd', 'kTaskmgr', 'kWin', 'kRun', 'kDesk', 'kAltTab', 'kAltF4', 'kLock',
  'kExplorer', 'kSettings', 'kPrt', 'kCad', 'clipHd', 'clipSend', 'clipGet', 'clipSent', 'clipGot',
  'clipEmpty', 'clipBig', 'typeTitle', 'typeHint', 'typeBtn', 'qualHd', 'qAuto', 'qText', 'qMotion', 'fpsHd',
  'noCtlYet', 'fileSending', 'fileRecv', 'fileDone', 'fileOpenFolder', 'fileSent', 'fileTooBig', 'fileAsk', 'fileNo',
  'fileOffer', 'fileWants', 'fileRisky', 'fileWhere', 'fileNoSession', 'chatSys', 'you',
  'callMuted', 'callUnmuted', 'callDeafOn', 'callDeafOff', 'callFull', 'callNotFound',
  'callKicked', 'callBadCode', 'callHost', 'callKick', 'callYou', 'callPeople', 'micErr', 'sName',
  'sNameHint', 'sLang', 'sLinks', 'sLinksBtn', 'sLinksHint', 'linksOk', 'linksFail', 'sAutostart',
  'sAutostartHint', 'sUpd', 'sAvail', 'sCtl', 'sAud', 'sQual', 'sFps', 'sSound', 'sNewId',
  'sNewIdBtn', 'sNewIdHint', 'sNewIdAsk', 'sMic', 'sMicTest', 'sProc', 'sServer', 'sServerHint',
  'sTest', 'yes', 'no', 'saved', 'srvOk', 'srvBad', 'copied', 'copyFail', 'quitAsk', 'closedTxt',
  'sUninst', 'sUninstBtn', 'sUninstHint', 'uninstOpen', 'uninstFail', 'ringWord', 'micSilent',
  'micBlocked', 'micPrivBtn', 'micSoundBtn', 'micOk', 'ringHint', 'ringTitle', 'ringSub',
  'ringTxt', 'audioTitle', 'audioTxt', 'dkDef', 'spkSet', 'micSet', 'micDenied2', 'micNone',
  'micBusy', 'micFallback', 'micBack', 'micLost', 'devGone', 'spkFallback', 'phNoAnswer', 'phBusy',
  'phLimit', 'phOffline', 'phUnavailable', 'phDeclined', 'phFrom', 'phIncoming', 'phDecline',
  'phAnswer', 'phOnlyVoice', 'phClaimed', 'phMissed', 'phLost', 'phFail', 'phEnded', 'phCalling', 'phRinging',
  'phConnecting', 'phActive', 'dkPeerMuted', 'dkHang', 'dkHangSes', 'dkMax', 'dkMin', 'dkMicOn',
  'dkMicOff', 'dkVol', 'dkSpk', 'dkMic', 'dkConnect', 'dkConnectHint', 'spkTest', 'devsHint',
  'sCalls', 'sCallsHint', 'histRecv', 'histGave', 'histCtl', 'histView', 'recon', 'reconTip',
  'reconAsk', 'newKeyDone', 'removeRecent', 'updOk', 'updFail', 'updBusy', 'updAvail', 'updNews',
  'updNow', 'updSite', 'updLater', 'updTitle', 'updInstalled', 'updLast', 'updNever', 'updNew',
  'updAuto', 'updCheck', 'updChecking', 'updStale', 'updSystem', 'updBack', 'updNowBig', 'newsTitle', 'noNotes', 'close', 'searching',
  'downloading', 'screenBtn', 'scaleHd', 'scaleFit', 'scaleReal', 'resHd', 'resAdaptive',
  'resOriginal', 'resOrigTag', 'resNeedCtl', 'resHint', 'resChanged', 'resBack', 'resFail',
  'resNow', 'resAdaptOn', 'pcState',
];

const PC_STATES = ['new', 'connecting', 'connected', 'disconnected', 'failed', 'closed'];
// Texts inserted as markup; every other text is plain.
const MARKUP = ['updOk', 'updFail', 'updBusy', 'updAvail'];

const placeholders = (/** @type {string} */ s) => [...new Set(s.match(/\{\d+\}/g) || [])].sort();

test('both tables hold exactly the page keys, in order', () => {
  assert.equal(new Set(KEYS).size, KEYS.length, 'the key list names no key twice');
  for (const lang of LANGS) assert.deepEqual(Object.keys(I18N[lang]), KEYS, lang);
});

test('every text is a non-empty string; pcState names all six connection states', () => {
  for (const lang of LANGS) {
    for (const k of KEYS) {
      if (k === 'pcState') continue;
      const v = I18N[lang][k];
      assert.equal(typeof v, 'string', `${lang}.${k}`);
      assert.ok(v.trim() !== '', `${lang}.${k} is empty`);
    }
    const m = I18N[lang].pcState;
    assert.deepEqual(Object.keys(m).sort(), [...PC_STATES].sort(), `${lang}.pcState`);
    for (const st of PC_STATES) assert.ok(typeof m[st] === 'string' && m[st] !== '', `${lang}.pcState.${st}`);
  }
});

test('placeholders match between the languages and are numbered from 0 without gaps', () => {
  for (const k of KEYS) {
    if (k === 'pcState') continue;
    const es = placeholders(I18N.es[k]);
    assert.deepEqual(placeholders(I18N.en[k]), es, k);
    assert.deepEqual(es, es.map((_, i) => `{${i}}`), `${k} skips a number`);
  }
});

test('only the update banner texts hold markup, and theirs is balanced bold', () => {
  for (const lang of LANGS) {
    for (const k of KEYS) {
      const v = I18N[lang][k];
      if (typeof v !== 'string') continue;
      if (!MARKUP.includes(k)) {
        assert.doesNotMatch(v, /[<>]/, `${lang}.${k} is plain text`);
        continue;
      }
      assert.match(v, /<b>/, `${lang}.${k}`);
      assert.equal(v.replace(/<b>[^<>]*<\/b>/g, '').match(/[<>]/), null, `${lang}.${k}: only <b>…</b>`);
    }
  }
});

test('no text names Windows: the same page runs on Linux', () => {
  for (const lang of LANGS)
    for (const k of KEYS)
      if (typeof I18N[lang][k] === 'string') assert.doesNotMatch(I18N[lang][k], /\bWindows\b/, `${lang}.${k}`);
});

test('the quoted texts are exact', () => {
  for (const [k, es, en] of [
    ['tabConnect', 'Conectar', 'Connect'],
    ['tabCall', 'Llamada', 'Call'],
    ['tabSettings', 'Ajustes', 'Settings'],
    ['tabHelp', 'Ayuda', 'Help'],
    ['subtitle', 'Soporte remoto multisesión', 'Multi-session remote support'],
    ['reqWho', '{0} quiere ver tu pantalla', '{0} wants to see your screen'],
    ['reqLeft', 'Quedan {0} s', '{0} s left'],
    ['sesMax', 'Máximo {0} sesiones a la vez.', 'Up to {0} sessions at once.'],
    ['quitAsk', '¿Cerrar Kelvora? Si hay una sesión o una llamada, se cortan.', 'Quit Kelvora? Any session or call will be cut.'],
    ['editKey', '✏️ Cambiar', null],
    ['newKey', '🔄 Generar otra', null],
  ]) {
    assert.equal(I18N.es[k], es, `es.${k}`);
    if (en !== null) assert.equal(I18N.en[k], en, `en.${k}`);
  }
  assert.deepEqual({ ...I18N.es.pcState }, {
    new: '…', connecting: 'Conectando…', connected: 'Conectado', disconnected: 'Reconectando…', failed: 'Sin conexión', closed: '—',
  });
  assert.deepEqual({ ...I18N.en.pcState }, {
    new: '…', connecting: 'Connecting…', connected: 'Connected', disconnected: 'Reconnecting…', failed: 'No connection', closed: '—',
  });
});

const modules = (dir) => readdirSync(dir, { withFileTypes: true }).flatMap((e) =>
  e.isDirectory() ? modules(join(dir, e.name)) : e.name.endsWith('.js') && e.name !== 'i18n.js' ? [join(dir, e.name)] : []);

test('every key the markup and the code ask for exists', () => {
  const html = readFileSync(join(WEB, 'index.html'), 'utf8');
  const code = modules(WEB).map((f) => [relative(WEB, f), readFileSync(f, 'utf8')]);
  /** @type {Map<string, string>} key → where it was asked */
  const wanted = new Map();
  // Static markup and markup built by the modules carry the same attributes.
  for (const [name, text] of [['index.html', html], ...code])
    for (const m of text.matchAll(/\bdata-i[pta]?\s*=\s*(["'])([A-Za-z0-9_]+)\1/g)) wanted.set(m[2], name);
  // t('key') and t("key") with a literal key, not x.t(…).
  for (const [name, text] of code)
    for (const m of text.matchAll(/(?<![\w$.])t\(\s*(["'])([A-Za-z0-9_]+)\1/g)) wanted.set(m[2], name);
  assert.ok(wanted.size > 20, 'the scan finds the page keys');
  const missing = [...wanted].filter(([k]) => !KEYS.includes(k)).map(([k, where]) => `${k} (${where})`);
  assert.deepEqual(missing, []);
});

test('every text of the tables is shown somewhere: the markup or a module names its key', () => {
  // Keys are also picked by a condition or from a table (t(ok ? 'micOk' : 'micSilent'),
  // { busy: 'phBusy' }), so any quoted mention counts; a key no file names is a dead row.
  const files = [readFileSync(join(WEB, 'index.html'), 'utf8'), ...modules(WEB).map((f) => readFileSync(f, 'utf8'))].join('\n');
  const named = new Set([...files.matchAll(/["'`]([A-Za-z0-9_]+)["'`]/g)].map((m) => m[1]));
  assert.deepEqual(KEYS.filter((k) => !named.has(k)), []);
});
