// Drives a browser: pages of another origin use the ZelkorH client
// (clients/js) to reach the service by fetch (HTTPS first, trusted through the
// profile), through the exchange frame, and through the frame by themselves
// when their content security policy forbids fetching the service. Signatures
// made in the browser are checked with `openssl cms`. Then a browser whose
// profile does not trust the service's CA: the client falls back to HTTP and
// says why.
// Usage: node client.mjs <chromium|firefox> <profile dir> <page base URL> <service HTTP URL> <service HTTPS URL>
//        <CA PEM> <dead URL> <untrusting profile dir> <its HOME>
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { launch, newPage, waitFor } from './browsers.mjs';

const [browserName, userDataDir, pageBase, httpUrl, httpsUrl, caPem, deadUrl, strangerProfile, strangerHome] = process.argv.slice(2);
const DEMO = { drfo: '1234567890', pass: 'demo1234' };
const work = mkdtempSync(path.join(tmpdir(), 'zk-client-'));

function opensslVerify(signatureB64, content) {
  const sig = path.join(work, 'sig.p7s');
  writeFileSync(sig, Buffer.from(signatureB64, 'base64'));
  const args = ['cms', '-verify', '-binary', '-inform', 'DER', '-in', sig, '-CAfile', caPem];
  if (content !== undefined) {
    writeFileSync(path.join(work, 'content'), content);
    args.push('-content', path.join(work, 'content'));
  }
  return execFileSync('openssl', args, { stdio: ['ignore', 'pipe', 'pipe'] }).toString('utf8');
}

async function openPage(browser, name) {
  const page = await newPage(browser);
  await page.goto(`${pageBase}/tests/browser/${name}`);
  await waitFor(page, () => window.clientLoaded === true);
  return page;
}

// In the page: connect with the options, list, sign (following its progress),
// sign detached and check; returns what Node checks.
async function signInPage(page, options) {
  return page.evaluate(async ([options, demo]) => {
    const { ZelkorClient, bytesToBase64 } = window.ZK;
    const zk = new ZelkorClient(options);
    const info = await zk.connect();
    const certs = await zk.getCertFiles({ drfo: demo.drfo });
    const doc = new TextEncoder().encode(`signed in ${location.origin} через ${info.transport}`);
    const progress = [];
    const signed = await zk.setSign(doc, demo, { onProgress: (p) => progress.push(p) });
    const detached = await zk.setExternalSign(doc, demo);
    const checked = await zk.checkExternalSign(doc, { sign: detached, returnSigns: true });
    const frames = document.querySelectorAll('iframe').length;
    zk.close();
    return {
      info, names: certs.map((c) => c.name), text: new TextDecoder().decode(doc),
      signed: bytesToBase64(signed), detached: bytesToBase64(detached), signerCert: checked.signerCert.length, progress,
      framesWhileConnected: frames, framesAfterClose: window.document.querySelectorAll('iframe').length,
    };
  }, [options, DEMO]);
}

function checkSigned(result, url, transport) {
  assert.equal(result.info.url, url);
  assert.equal(result.info.transport, transport);
  assert.match(result.info.version, /^\d+\.\d+\.\d+\.\d+$/);
  assert.deepEqual(result.info.diagnostics, []);
  if (transport === 'fetch') {
    // The whole request went out and the whole answer came in, as the events told.
    const last = (phase) => result.progress.filter((p) => p.phase === phase).at(-1);
    const [up, down] = [last('upload'), last('download')];
    assert.ok(up && up.total > result.text.length && up.loaded === up.total, JSON.stringify(result.progress));
    assert.ok(down && down.loaded > 0 && down.loaded === (down.total ?? down.loaded), JSON.stringify(result.progress));
  } else {
    assert.deepEqual(result.progress, []);  // the frame tells only the outcome
  }
  assert.deepEqual(result.names, ['Демо Користувач']);
  assert.equal(opensslVerify(result.signed), result.text);
  opensslVerify(result.detached, result.text);
  assert.ok(result.signerCert > 100);
  assert.equal(result.framesWhileConnected, transport === 'frame' ? 1 : 0);
  assert.equal(result.framesAfterClose, 0);
  console.log(`${transport} ${url}: signed and checked`);
}

const browser = await launch(browserName, userDataDir);
try {
  const page = await openPage(browser, 'client-page.html');

  // Default order: HTTPS (the local CA is trusted through NSS), then HTTP.
  checkSigned(await signInPage(page, { urls: [httpsUrl, httpUrl] }), httpsUrl, 'fetch');
  checkSigned(await signInPage(page, { urls: [deadUrl, httpUrl] }), httpUrl, 'fetch');
  for (const url of [httpsUrl, httpUrl]) checkSigned(await signInPage(page, { urls: [url], transports: ['frame'] }), url, 'frame');

  // Errors in the page are the client's own classes with the service's answer.
  const refused = await page.evaluate(async ([url, dead]) => {
    const zk = new window.ZK.ZelkorClient({ urls: [url] });
    const e = await zk.getRandom({ length: 0 }).catch((error) => error);
    const gone = await new window.ZK.ZelkorClient({ urls: [dead], transports: ['fetch'] }).connect().catch((error) => error);
    return { zelkor: e instanceof window.ZK.ZelkorError, code: e.code, message: e.message,
      connection: gone instanceof window.ZK.ZelkorConnectionError, reason: gone.reason };
  }, [httpUrl, deadUrl]);
  assert.deepEqual(refused, { zelkor: true, code: 56, message: 'Некоректні параметри запиту', connection: true, reason: 'unreachable' });

  // A page that may not fetch the service: the client falls back to the exchange frame by itself.
  const strict = await openPage(browser, 'client-csp-page.html');
  checkSigned(await signInPage(strict, { urls: [httpsUrl, httpUrl] }), httpsUrl, 'frame');
} finally {
  await browser.close();
}

// A profile that does not trust the local CA: the browser reports the HTTPS
// failure as a CORS error; the client says what it was and that it used HTTP.
const stranger = await launch(browserName, strangerProfile, { env: { ...process.env, HOME: strangerHome } });
try {
  const page = await openPage(stranger, 'client-page.html');
  const warnings = [];
  page.on('console', (m) => { if (m.type() === 'warn' || m.type() === 'warning') warnings.push(m.text()); });
  const info = await page.evaluate(async (urls) => new window.ZK.ZelkorClient({ urls }).connect(), [httpsUrl, httpUrl]);
  assert.equal(info.url, httpUrl);
  assert.equal(info.transport, 'fetch');
  assert.equal(info.diagnostics.length, 1, JSON.stringify(info));
  assert.equal(info.diagnostics[0].url, httpsUrl);
  assert.equal(info.diagnostics[0].reason, 'https-untrusted');
  const said = new RegExp(`^HTTPS \\(${httpsUrl}\\) was not trusted by this browser: .*CORS.*; fell back to HTTP \\(${httpUrl}\\)$`);
  assert.match(info.diagnostics[0].message, said);
  await waitFor(page, () => true);  // the console message has been delivered by now
  assert.ok(warnings.some((w) => w === `ZelkorH: ${info.diagnostics[0].message}`), JSON.stringify(warnings));
  console.log('untrusting profile: HTTPS passed over as not trusted, HTTP used');
} finally {
  await stranger.close();
  rmSync(work, { recursive: true, force: true });
}
