// Whether a session is in use, from its statistics: the picture's bytes and the messages
// on the input channels, as the file sender reads them to know when to yield.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load } from '../../lib/web_modules.mjs';

const page = await load(['net/file_pace.js']);

test('what a statistics report says about use, in either role', () => {
  const report = (...xs) => new Map(xs.map((x, i) => [String(i), x]));
  for (const [what, r, want] of [
    ['helped PC: the picture sent, input received', report(
      { type: 'outbound-rtp', kind: 'video', bytesSent: 5000 },
      { type: 'outbound-rtp', kind: 'audio', bytesSent: 90000 },
      { type: 'data-channel', label: 'ctl', messagesSent: 2, messagesReceived: 7 },
      { type: 'data-channel', label: 'mov', messagesSent: 0, messagesReceived: 40 },
      { type: 'data-channel', label: 'file', messagesSent: 900, messagesReceived: 3 },
    ), { video: 5000, input: 49 }],
    ['technician: the picture received, input sent', report(
      { type: 'inbound-rtp', kind: 'video', bytesReceived: 7000 },
      { type: 'data-channel', label: 'mov', messagesSent: 12, messagesReceived: 0 },
    ), { video: 7000, input: 12 }],
    ['no connection yet, junk entries', report(null, 5, { type: 'data-channel' }, { type: 'inbound-rtp', kind: 'video' }), { video: 0, input: 0 }],
  ]) assert.deepEqual(page.useCounts(r), want, what);
});

test('a moving picture against a still one with its refresh frames', () => {
  // Video bytes per look (a quarter second): a still screen sends about a hundred, with a
  // larger refresh frame every few seconds; a changing one sends thousands, often.
  const still = Array(20).fill(88);
  for (const [what, grew, moving] of [
    ['a still screen', still, false],
    ['a still screen and its refresh frame', [...still.slice(0, 19), 10616], false],
    ['refresh frames 5 s apart', [10616, ...still.slice(0, 18), 10616], false],
    ['a change every second', [...still.slice(0, 12), 6500, 88, 88, 88, 6500, 88, 88, 88], true],
    ['a picture that keeps changing', Array(8).fill(30000), true],
    ['small changes: the remote pointer moving', [...still.slice(0, 12), ...Array(8).fill(290)], false],
    ['one look', [50000], false],
    ['a change every second for long', Array(40).fill(0).map((_, i) => (i % 4 ? 88 : 6500)), true],
  ]) assert.equal(page.pictureMoving(grew), moving, what);
});
