// The shell's small rules that need no page.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { load } from '../../lib/web_modules.mjs';

test('fmtIdInput keeps nine digits in groups of three', async () => {
  const page = await load(['ui/shell.js']);
  for (const [v, want] of [['1', '1'], ['1234', '123 4'], ['123456789012', '123 456 789'], ['12a-34 5', '123 45'], ['', '']]) {
    const input = { value: v };
    page.fmtIdInput(input);
    assert.equal(input.value, want);
  }
});

