// Drives the demo page (web/demo) in Chromium like a person would: the list of
// certificates, signing a file with the demo certificate (the downloaded
// signature is checked with `openssl cms`), verifying, encrypting and opening,
// and the token list. Every step must succeed.
// Usage: node demo.mjs <user data dir> <page URL> <CA PEM> <artifacts dir>
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { launch } from './chromium.mjs';

const [userDataDir, pageUrl, caPem, artifacts] = process.argv.slice(2);
const DOCUMENT = Buffer.from('Документ для підпису: demo page test\n', 'utf8');

const context = await launch(userDataDir, { acceptDownloads: true });
const page = await context.newPage();
page.on('pageerror', (e) => console.error(`page error: ${e}`));

/** Clicks a button and waits for its status line to settle; returns {state, code, text}. */
async function press(button, status) {
  await page.click(`#${button}`);
  const line = page.locator(`#${status}`);
  await page.waitForFunction((id) => ['ok', 'error'].includes(document.getElementById(id).dataset.state), status, { timeout: 60000 });
  return { state: await line.getAttribute('data-state'), code: await line.getAttribute('data-code'), text: await line.innerText() };
}

async function download(resultId, name) {
  const [file] = await Promise.all([page.waitForEvent('download'), page.click(`#${resultId} a`)]);
  const saved = path.join(artifacts, name);
  await file.saveAs(saved);
  return saved;
}

function expectDone(result, what) {
  assert.equal(result.state, 'ok', `${what}: ${result.text}`);
  assert.equal(result.code, '0');
}

try {
  await page.goto(pageUrl);
  await page.waitForFunction(() => document.getElementById('connection').dataset.state !== 'busy', null, { timeout: 30000 });
  assert.match(await page.innerText('#connection'), /^Connected to ZelkorH \d+\.\d+\.\d+\.\d+ at https:\/\/127\.0\.0\.1:\d+ \(direct\)/);

  // 1. The list, loaded at start; the demo user is chosen as the signer.
  await page.waitForFunction(() => document.getElementById('cert-status').dataset.state === 'ok', null, { timeout: 30000 });
  const row = page.locator('#cert-table tbody tr', { hasText: 'Демо Користувач' });
  assert.equal(await row.count(), 1);
  assert.match(await row.innerText(), /1234567890\s+12345678\s+Демо ЦСК ZelkorH/);
  await row.locator('input[type=radio]').check();
  await page.fill('#password', 'wrong');
  await page.setInputFiles('#sign-file', { name: 'letter.txt', mimeType: 'text/plain', buffer: DOCUMENT });

  // 2. A wrong password is told; then signing, checked by OpenSSL.
  const refused = await press('sign-container', 'sign-status');
  assert.equal(refused.state, 'error');
  assert.match(refused.text, /\(code 8\)[\s\S]*the password is wrong/);
  await page.fill('#password', 'demo1234');
  expectDone(await press('sign-container', 'sign-status'), 'signing');
  const container = await download('sign-result', 'letter.txt.p7s');
  const inside = execFileSync('openssl', ['cms', '-verify', '-binary', '-inform', 'DER', '-in', container, '-CAfile', caPem],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  assert.deepEqual(inside, DOCUMENT);
  expectDone(await press('sign-detached', 'sign-status'), 'detached signing');
  const detached = await download('sign-result', 'letter.txt.sig.p7s');

  // 3. Verification: the detached signature against the file, then the container.
  await page.setInputFiles('#verify-file', detached);
  expectDone(await press('verify-detached', 'verify-status'), 'detached verification');
  assert.match(await page.innerText('#verify-result'), /Signer: Демо Користувач, ТОВ "Демо" \(DRFO 1234567890\)/);
  await page.setInputFiles('#verify-file', container);
  expectDone(await press('verify-container', 'verify-status'), 'container verification');
  assert.match(await page.innerText('#verify-result'), /Signature 1: valid/);

  // 4. Encryption for the demo user itself, and opening it again.
  await page.selectOption('#recipient', { label: 'Демо Користувач (1234567890)' });
  expectDone(await press('encrypt-file', 'encrypt-status'), 'encryption');
  const sealed = await download('encrypt-result', 'letter.txt.p7e');
  assert.notDeepEqual(readFileSync(sealed), DOCUMENT);
  await page.setInputFiles('#open-file', sealed);
  expectDone(await press('open', 'open-status'), 'opening');
  assert.deepEqual(readFileSync(await download('open-result', 'letter.txt')), DOCUMENT);

  // 5. Tokens.
  expectDone(await press('list-tokens', 'tokens-status'), 'token listing');
  assert.match(await page.innerText('#tokens-status'), /token\(s\) found|No hardware key tokens found/);

  const shot = path.join(artifacts, 'demo.png');
  await page.screenshot({ path: shot, fullPage: true });
  console.log(`demo page checked; screenshot: ${shot}`);
} finally {
  await context.close();
}
