// A PATH on which `chromium` starts Debian's Chromium in a way that works for these tests:
// the tests run as root, and Chromium refuses root without --no-sandbox.
import { mkdtempSync, writeFileSync, chmodSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export const CHROMIUM = '/usr/bin/chromium';

export function chromiumPath() {
  const dir = mkdtempSync(join(tmpdir(), 'kelvora-browser-'));
  const wrapper = join(dir, 'chromium');
  const extra = process.getuid() === 0 ? ' --no-sandbox' : '';
  writeFileSync(wrapper, `#!/bin/sh\nexec ${CHROMIUM}${extra} --disable-gpu --disable-component-update "$@"\n`);
  chmodSync(wrapper, 0o755);
  return `${dir}:/usr/local/bin:/usr/bin:/bin`;
}
