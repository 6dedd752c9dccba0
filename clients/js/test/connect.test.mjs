// Finding the service: HTTPS first (trusted only through the local CA), then
// HTTP; addresses that answer something else are passed over; the version
// check; time limits; finding the service again after it restarted.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { createServer } from 'node:http';
import { once } from 'node:events';
import { promisify } from 'node:util';
import { ZelkorClient, ZelkorConnectionError } from '../src/index.js';
import { startService } from './service.mjs';

let svc;
before(async () => { svc = await startService({ demo: true }); });
after(async () => { assert.equal(await svc?.stop(), 0); });

/** A local HTTP server answering every request with status and body; resolves to {url, close()}. */
async function otherServer(status, body) {
  const server = createServer((req, res) => { req.resume(); res.writeHead(status).end(body); });
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  return { url: `http://127.0.0.1:${server.address().port}`, close: () => server.close() };
}

async function deadUrl() {
  const s = await otherServer(200, '');
  s.close();
  return s.url;
}

test('HTTPS is passed over while its certificate is not trusted, then HTTP is used', async () => {
  const zk = new ZelkorClient({ urls: [svc.https, svc.http] });
  const info = await zk.connect();
  assert.deepEqual(info, {
    url: svc.http, transport: 'fetch', version: info.version,
    diagnostics: [{ url: svc.https, reason: 'https-untrusted', message: info.diagnostics[0]?.message }],
  });
  assert.match(info.version, /^\d+\.\d+\.\d+\.\d+$/);
  assert.match(info.diagnostics[0].message,
    new RegExp(`^HTTPS \\(${svc.https}\\) was not trusted by this process: .*; fell back to HTTP \\(${svc.http}\\)$`));
  // Once trusted (next test), over HTTP alone, or past an HTTPS address where
  // nothing listens, nothing is noted.
  assert.deepEqual((await new ZelkorClient({ urls: [svc.http] }).connect()).diagnostics, []);
  const nobody = (await deadUrl()).replace('http:', 'https:');
  assert.deepEqual((await new ZelkorClient({ urls: [nobody, svc.http] }).connect()).diagnostics, []);
});

test('HTTPS is used first once the local CA is trusted', async () => {
  // Node reads its extra CA file at start only, so this runs in a process of its own.
  const script = `
    import { ZelkorClient } from ${JSON.stringify(new URL('../src/index.js', import.meta.url).href)};
    const zk = new ZelkorClient({ urls: ${JSON.stringify([svc.https, svc.http])} });
    const info = await zk.connect();
    const signed = await zk.setSign(new TextEncoder().encode('tls'), { drfo: '1234567890', pass: 'demo1234' });
    console.log(JSON.stringify({ url: info.url, diagnostics: info.diagnostics, signed: signed.length }));`;
  const { stdout } = await promisify(execFile)(process.execPath, ['--input-type=module', '-e', script],
    { env: { ...process.env, NODE_EXTRA_CA_CERTS: svc.ca } });
  const result = JSON.parse(stdout);
  assert.equal(result.url, svc.https);
  assert.deepEqual(result.diagnostics, []);
  assert.ok(result.signed > 100);
});

test('addresses that are not the service are passed over; none at all is "unreachable"', async () => {
  const hello = await otherServer(200, 'hello');
  const forbidden = await otherServer(403, 'Forbidden');
  try {
    const zk = new ZelkorClient({ urls: [hello.url, forbidden.url, svc.http] });
    assert.equal((await zk.connect()).url, svc.http);

    const nothing = new ZelkorClient({ urls: [await deadUrl(), hello.url, forbidden.url] });
    const error = await nothing.getVersion().catch((e) => e);
    assert.ok(error instanceof ZelkorConnectionError, String(error));
    assert.equal(error.reason, 'unreachable');
    assert.deepEqual(error.attempts.map((a) => a.error.reason), ['unreachable', 'bad-answer', 'http-status']);
    assert.equal(error.attempts[2].error.status, 403);
  } finally {
    hello.close();
    forbidden.close();
  }
});

test('a service older than the page needs is refused', async () => {
  const old = new ZelkorClient({ urls: [svc.http], minVersion: '99.0' });
  const error = await old.getCertFiles().catch((e) => e);
  assert.ok(error instanceof ZelkorConnectionError);
  assert.equal(error.reason, 'version');
  assert.match(error.message, /needs 99\.0 or newer/);
  assert.ok((await new ZelkorClient({ urls: [svc.http], minVersion: '1.0' }).connect()).version);
  assert.throws(() => new ZelkorClient({ minVersion: 'new' }), TypeError);
});

test('time limits and aborts end a command that takes too long', async () => {
  const slow = await startService({ env: { ZELKORH_TEST_COMMAND_DELAY_MS: '1500' } });
  try {
    const zk = new ZelkorClient({ urls: [slow.http], connectTimeoutMs: 20000 });
    await zk.connect();
    const late = await zk.getRandom({ length: 4 }, { timeoutMs: 200 }).catch((e) => e);
    assert.ok(late instanceof ZelkorConnectionError);
    assert.equal(late.reason, 'timeout');

    const controller = new AbortController();
    const pending = zk.getRandom({ length: 4 }, { signal: controller.signal });
    controller.abort();
    assert.equal((await pending.catch((e) => e)).reason, 'aborted');
    assert.equal((await zk.getRandom({ length: 4 })).length, 4, 'the client still works after both');
  } finally {
    assert.equal(await slow.stop(), 0);
  }
});

test('after the service restarts, the next command finds it again', async () => {
  const first = await startService();
  const port = first.port;
  const zk = new ZelkorClient({ urls: [first.http] });
  await zk.getRandom({ length: 1 });
  assert.equal(await first.stop(), 0);
  const gone = await zk.getRandom({ length: 1 }).catch((e) => e);
  assert.equal(gone.reason, 'unreachable');

  const second = await startService({ port });
  try {
    assert.equal((await zk.getRandom({ length: 2 })).length, 2);
  } finally {
    assert.equal(await second.stop(), 0);
  }
});
