// An update channel for tests: a loopback HTTP(S) server publishing a manifest signed with
// the test key (the one the kelvora-anterior builds trust) and packages zipped by the test.
import { createPrivateKey, sign, createHash } from 'node:crypto';
import http from 'node:http';
import https from 'node:https';
import { deflateRawSync, crc32 } from 'node:zlib';
import { readFileSync } from 'node:fs';
import { testCert } from './signal_server.mjs';

/** The private half of the key in tests/api/prior/prior_trust.hpp, as a PKCS#8 seed. */
const TEST_SEED = 'c911cc6d685f01c0f2e631928b9a9ddb76fb1d1eabf3267af70fc8b9d91a0aae';
const testKey = createPrivateKey({
  key: Buffer.concat([Buffer.from('302e020100300506032b657004220420', 'hex'), Buffer.from(TEST_SEED, 'hex')]),
  format: 'der',
  type: 'pkcs8',
});

/** Compact JSON with members in byte order at every level: the text the publisher signs. */
export function signedText(v) {
  if (Array.isArray(v)) return `[${v.map(signedText).join(',')}]`;
  if (v && typeof v === 'object') {
    const keys = Object.keys(v).sort((a, b) => Buffer.compare(Buffer.from(a), Buffer.from(b)));
    return `{${keys.map((k) => `${JSON.stringify(k)}:${signedText(v[k])}`).join(',')}}`;
  }
  return JSON.stringify(v);
}

/** The manifest document for manifest, signed with the test key (or as given). */
export function signedDocument(manifest, { sig } = {}) {
  const s = sig ?? sign(null, Buffer.from(signedText(manifest)), testKey).toString('hex');
  return JSON.stringify({ manifest, sig: s });
}

/**
 * A zip archive of entries [{name, data, store}] (Deflate unless store), written the way
 * common tools write them: local headers, then the central directory.
 */
export function makeZip(entries) {
  const locals = [];
  const centrals = [];
  let offset = 0;
  for (const { name, data, store } of entries) {
    const body = store ? data : deflateRawSync(data);
    const method = store ? 0 : 8;
    const nameBuf = Buffer.from(name);
    const crc = crc32(data);
    const local = Buffer.alloc(30);
    local.writeUInt32LE(0x04034b50, 0);
    local.writeUInt16LE(20, 4);
    local.writeUInt16LE(0x0800, 6);
    local.writeUInt16LE(method, 8);
    local.writeUInt32LE(crc, 14);
    local.writeUInt32LE(body.length, 18);
    local.writeUInt32LE(data.length, 22);
    local.writeUInt16LE(nameBuf.length, 26);
    const central = Buffer.alloc(46);
    central.writeUInt32LE(0x02014b50, 0);
    central.writeUInt16LE(0x0314, 4);
    central.writeUInt16LE(20, 6);
    central.writeUInt16LE(0x0800, 8);
    central.writeUInt16LE(method, 10);
    central.writeUInt32LE(crc, 16);
    central.writeUInt32LE(body.length, 20);
    central.writeUInt32LE(data.length, 24);
    central.writeUInt16LE(nameBuf.length, 28);
    central.writeUInt32LE((0o100755 << 16) >>> 0, 38);
    central.writeUInt32LE(offset, 42);
    locals.push(local, nameBuf, body);
    centrals.push(central, nameBuf);
    offset += local.length + nameBuf.length + body.length;
  }
  const dir = Buffer.concat(centrals);
  const end = Buffer.alloc(22);
  end.writeUInt32LE(0x06054b50, 0);
  end.writeUInt16LE(entries.length, 8);
  end.writeUInt16LE(entries.length, 10);
  end.writeUInt32LE(dir.length, 12);
  end.writeUInt32LE(offset, 16);
  return Buffer.concat([...locals, dir, end]);
}

/**
 * The channel: `routes` maps a path to a Buffer/string body (or a function (req,res)).
 * `publish(manifest)` serves it signed at /version.json. Over https with the run's test
 * certificate unless { plain: true }.
 */
export async function startUpdateServer({ plain = false } = {}) {
  const routes = new Map();
  const handler = (req, res) => {
    const r = routes.get(req.url.split('?')[0]);
    if (typeof r === 'function') return r(req, res);
    if (r === undefined) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'Content-Type': 'application/octet-stream', 'Content-Length': Buffer.byteLength(r) });
    res.end(r);
  };
  const tls = testCert();
  const server = plain ? http.createServer(handler)
    : https.createServer({ cert: readFileSync(tls.cert), key: readFileSync(tls.key) }, handler);
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const base = `${plain ? 'http' : 'https'}://127.0.0.1:${server.address().port}`;
  return {
    base,
    channel: `${base}/version.json`,
    caFile: tls.cert,
    routes,
    /** Serves package bytes at path and returns the matching manifest fields. */
    package(path, bytes, extra = {}) {
      routes.set(path, bytes);
      return { app: 'kelvora', size: bytes.length, sha256: createHash('sha256').update(bytes).digest('hex'), url: `${base}${path}`, ...extra };
    },
    publish(manifest, opts) {
      routes.set('/version.json', signedDocument(manifest, opts));
    },
    close() {
      server.closeAllConnections?.();
      return new Promise((r) => server.close(r));
    },
  };
}
