// The resources compiled into Kelvora.exe, read back from the built file with icoutils'
// wrestool: the icon group the shell and the tray use, the version block Explorer shows,
// and the manifest the loader reads.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync } from 'node:fs';
import { WIN_EXE } from '../lib/wine.mjs';

const missing = !existsSync(WIN_EXE) ? `${WIN_EXE} no existe: corre make build-win` : false;

function resource(type, name = 1) {
  return execFileSync('wrestool', ['-x', '--raw', `--type=${type}`, `--name=${name}`, WIN_EXE], {
    maxBuffer: 1 << 24,
  });
}

test('icon group 1 holds nine 32-bit PNG pictures, one per size', { skip: missing }, () => {
  // GRPICONDIR: 6-byte header, then 14-byte entries naming RT_ICON resources by id.
  const group = resource(14);
  const count = group.readUInt16LE(4);
  const seen = [];
  for (let i = 0; i < count; i++) {
    const e = group.subarray(6 + 14 * i, 20 + 14 * i);
    const png = resource(3, e.readUInt16LE(12));
    assert.equal(png.subarray(0, 8).toString('hex'), '89504e470d0a1a0a', `icon ${i} is not a PNG`);
    const width = png.readUInt32BE(16);
    const height = png.readUInt32BE(20);
    assert.equal(width, height);
    // Byte 0 of the entry is the width, with 0 standing for 256.
    assert.equal(e[0] || 256, width);
    // 8 bits per channel, colour type 6: RGBA, 32 bits a pixel.
    assert.deepEqual([png[24], png[25]], [8, 6], `icon ${width} is not 32-bit RGBA`);
    seen.push(width);
  }
  assert.deepEqual(seen, [16, 20, 24, 32, 40, 48, 64, 128, 256]);
});

test('version block: 1.3.2 and the names Explorer shows', { skip: missing }, () => {
  const v = resource(16);
  const fixed = v.indexOf(Buffer.from([0xbd, 0x04, 0xef, 0xfe]));
  assert.ok(fixed > 0, 'VS_FIXEDFILEINFO missing');
  const word = (o) => v.readUInt32LE(fixed + o);
  // dwFileVersionMS/LS, dwProductVersionMS/LS.
  assert.deepEqual([word(8), word(12), word(16), word(20)], [0x10003, 0x20000, 0x10003, 0x20000]);
  const text = v.toString('utf16le');
  const value = (key) => {
    const m = text.match(new RegExp(`${key}\\0+([^\\0]*)`));
    return m && m[1];
  };
  for (const [key, want] of [
    ['FileVersion', '1.3.2'],
    ['ProductVersion', '1.3.2'],
    ['InternalName', 'Kelvora'],
    ['OriginalFilename', 'Kelvora.exe'],
    ['FileDescription', 'Kelvora - soporte remoto multisesion'],
  ])
    assert.equal(value(key), want, key);
});

test('manifest: identity, asInvoker, per-monitor DPI v2, common controls 6, Windows 10/11', { skip: missing }, () => {
  const m = resource(24).toString('utf8');
  for (const want of [
    /<assemblyIdentity[^>]*name="Arquena\.Kelvora"[^>]*version="1\.3\.2\.0"/,
    /<requestedExecutionLevel level="asInvoker" uiAccess="false"\/>/,
    /<dpiAwareness[^>]*>PerMonitorV2<\/dpiAwareness>/,
    /name="Microsoft\.Windows\.Common-Controls" version="6\.0\.0\.0"/,
    /<supportedOS Id="\{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a\}"\/>/,
  ])
    assert.match(m, want);
});
