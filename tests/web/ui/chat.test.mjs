// The chat panel and the file question on a stand-in document: which peer lines count as
// unread and are told, and what the question about a received file answers.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load, fakeDocument, fakeFetch } from '../../lib/web_modules.mjs';

const CHAT = ['ui/chat.js', 'ui/shell.js', 'ui/dom.js', 'net/files.js', 'net/session.js'];

/** The chat modules on a stand-in document; a helped session s, and another one o given help. */
async function panel({ helped }) {
  const p = await load(CHAT);
  p.doc = fakeDocument();
  p.dom.document = () => p.doc;
  p.http.fetch = fakeFetch().fetch;
  p.doc.els['#viewer'] = { ...p.doc.querySelector('#x'), hidden: true };
  const o = p.newSession('tech', { k: 't9', peer: 'otra' });
  p.TS.set(o.k, o);
  const s = p.newSession(helped ? 'host' : 'tech', { k: helped ? 'h1' : 't1', peer: 'PC de Ana' });
  if (helped) p.ST.HSES = s;
  else {
    p.TS.set(s.k, s);
    p.ST.CUR = o.k;
  }
  return { p, s, o };
}

test('which peer lines count as unread, and the toast that tells', async (t) => {
  t.mock.timers.enable({ apis: ['setTimeout'] });
  // [the session is the chat target, the panel is open, the panel shows this session] → [unread, toast, panel opened]
  for (const [target, open, shown, want] of [
    [true, false, false, [0, false, true]],
    [true, true, true, [0, false, false]],
    [true, true, false, [1, true, false]],
    [false, false, false, [1, true, false]],
    [false, true, false, [1, true, false]],
    [false, true, true, [0, false, false]],
  ]) {
    // The helped session is the target while the viewer is closed; a technician's one is
    // not while another is the current one.
    const { p, s, o } = await panel({ helped: target });
    const chat = p.doc.querySelector('#chat');
    chat.hidden = !open;
    p.ST.CHATS = shown ? s.k : o.k;
    p.chatAdd(s, 'PC de Ana', 'x'.repeat(100), false);
    const label = `target ${target}, open ${open}, shown ${shown}`;
    const opened = !open && !chat.hidden;
    assert.deepEqual([s.unread, p.doc.toasts.length > 0, opened], want, label);
    if (want[1]) assert.equal(p.doc.toasts[0], p.t('sesNewChat', 'PC de Ana', 'x'.repeat(80)), 'name and the first 80 characters');
    if (opened) assert.equal(p.ST.CHATS, s.k, 'opened on the session that wrote');
    p.chatAdd(s, '', 'mío', true);
    assert.equal(s.unread, want[0], `own lines never count (${label})`);
  }
});

test('the question about a received file: the name cleaned, the risk said; closing it answers no, yes answers yes', async (t) => {
  t.mock.timers.enable({ apis: ['setInterval', 'setTimeout'] });
  for (const [act, answer] of [['close', false], ['yes', true], ['no', false]]) {
    const { p, s } = await panel({ helped: true });
    const sent = [];
    s.dc.file = { readyState: 'open', bufferedAmount: 0, send: (m) => sent.push(JSON.parse(m)), addEventListener() {}, removeEventListener() {} };
    p.filesOn.canask = () => !p.dialogUp();
    p.filesOn.onoffer = p.fileQuestion;
    p.fileMsg(s, JSON.stringify({ t: 'fs', id: 'bbbbbbb', name: 'a/b:c?<d>\u0007.exe', size: 5 }));
    assert.match(p.doc.modals.at(-1), /a_b_c__d__\.exe/);
    assert.match(p.doc.modals.at(-1), /fileRisky/);
    assert.ok(p.dialogUp(), 'the question is up');
    // A second offer while it is up is refused without another question.
    p.fileMsg(s, JSON.stringify({ t: 'fs', id: 'ccccccc', name: 'b', size: 5 }));
    assert.equal(p.doc.modals.length, 1);
    if (act === 'close') p.closeModal();
    else p.doc.querySelector(act === 'yes' ? '#fileYesBtn' : '#fileNoBtn').onclick();
    await new Promise((r) => setImmediate(r));
    const answers = sent.filter((m) => m.t === 'fa' && m.id === 'bbbbbbb');
    if (answer) assert.deepEqual(answers.map((m) => m.ok), [true], 'yes, once the file is open on disk; closing after it takes nothing back');
    else assert.deepEqual(answers, [{ t: 'fa', id: 'bbbbbbb', ok: false }], act);
    assert.equal(p.dialogUp(), false);
  }
});
