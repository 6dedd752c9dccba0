// Drives the demo page (web/demo) like a person would, in Ukrainian first:
// the list of certificates (dates as dd.mm.yyyy), signing a file with the demo
// certificate (the downloaded signature is checked with `openssl cms`),
// verifying, encrypting and opening, a file that is neither encrypted nor
// signed, the token list; a larger file with its progress, and one whose
// command the service holds, cancelled (the service drops it); then English,
// remembered across a reload; a service without certificates; the service
// stopping and coming back. Screenshots go to the artifacts folder.
// Usage: node demo.mjs <chromium|firefox> <profile dir> <page URL> <CA PEM> <artifacts dir> <service log>
//        <held from (bytes)>
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { startService } from '../../clients/js/test/service.mjs';
import { launch, newPage, waitFor } from './browsers.mjs';

const [browserName, userDataDir, pageUrl, caPem, artifacts, serviceLog, heldFrom] = process.argv.slice(2);
const DOCUMENT = Buffer.from('Документ для підпису: demo page test\n', 'utf8');

const browser = await launch(browserName, userDataDir);
const page = await newPage(browser);

const text = (selector) => page.$eval(selector, (e) => e.innerText);
const state = (selector) => page.$eval(selector, (e) => e.dataset.state);
const shot = async (name) => {
  const file = path.join(artifacts, `demo-${browserName}-${name}.png`);
  await page.screenshot({ path: file, fullPage: true });
  return file;
};

/** Clicks a button and waits for its status line to settle; returns {state, code, text}. */
async function press(button, status, timeout = 60000) {
  await page.$eval(`#${status}`, (e) => { e.dataset.state = ''; });
  await page.click(`#${button}`);
  await waitFor(page, (id) => ['ok', 'warn', 'error'].includes(document.getElementById(id).dataset.state), status, timeout);
  return page.$eval(`#${status}`, (e) => ({ state: e.dataset.state, code: e.dataset.code ?? null, text: e.innerText }));
}

/** Puts a file into a file input as a person choosing it would: bytes given, or size zero bytes made in the page. */
async function choose(input, name, { bytes, size } = {}) {
  await page.$eval(`#${input}`, (element, name, b64, size) => {
    const content = b64 ? Uint8Array.from(atob(b64), (c) => c.charCodeAt(0)) : new Uint8Array(size);
    const files = new DataTransfer();
    files.items.add(new File([content], name));
    element.files = files.files;
    element.dispatchEvent(new Event('change', { bubbles: true }));
  }, name, bytes ? Buffer.from(bytes).toString('base64') : null, size ?? 0);
}

/** The bytes behind the download link in the element with id, saved as name in the artifacts. */
async function download(resultId, name) {
  const b64 = await page.$eval(`#${resultId} a`, async (a) => {
    const bytes = new Uint8Array(await (await fetch(a.href)).arrayBuffer());
    let binary = '';
    for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(binary);
  });
  const saved = path.join(artifacts, `${browserName}-${name}`);
  writeFileSync(saved, Buffer.from(b64, 'base64'));
  return saved;
}

function expectDone(result, what) {
  assert.equal(result.state, 'ok', `${what}: ${result.text}`);
  assert.equal(result.code, '0');
}

const waitConnected = () => waitFor(page, () => document.getElementById('connection').dataset.state === 'ok');
const waitListed = () => waitFor(page, () => ['ok', 'warn'].includes(document.getElementById('cert-status').dataset.state));

try {
  // ---- Ukrainian, the first language of a fresh profile.
  await page.goto(pageUrl);
  await waitConnected();
  assert.equal(await page.$eval('html', (e) => e.lang), 'uk');
  assert.match(await text('#connection'), /^Підключено до ZelkorH \d+\.\d+\.\d+\.\d+ за адресою https:\/\/127\.0\.0\.1:\d+ \(напряму\)\./);

  // 1. The list, loaded at start; its dates are dd.mm.yyyy; the demo user is chosen as the signer.
  await waitListed();
  assert.equal(await text('#cert-status'), 'Знайдено 2 сертифікати.');  // the demo CA and user
  const row = await page.$$eval('#cert-table tbody tr', (rows) => rows.map((r) => r.innerText).find((t) => t.includes('Демо Користувач')));
  assert.match(row, /1234567890\s+12345678\s+Демо ЦСК ZelkorH\s+\d{2}\.\d{2}\.\d{4}\s+підпис, шифрування/);
  await page.click('#cert-table tbody tr input[type=radio]');
  await page.$eval('#password', (e) => { e.value = 'wrong'; });
  await choose('sign-file', 'letter.txt', { bytes: DOCUMENT });

  // 2. A wrong password is told; then signing, checked by OpenSSL.
  const refused = await press('sign-container', 'sign-status');
  assert.equal(refused.state, 'error');
  assert.match(refused.text, /\(код 8\)[\s\S]*неправильний пароль/);
  await page.$eval('#password', (e) => { e.value = 'demo1234'; });
  const signed = await press('sign-container', 'sign-status');
  expectDone(signed, 'signing');
  assert.equal(signed.text, 'Підписано: Демо Користувач.');
  const container = await download('sign-result', 'letter.txt.p7s');
  const inside = execFileSync('openssl', ['cms', '-verify', '-binary', '-inform', 'DER', '-in', container, '-CAfile', caPem],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  assert.deepEqual(inside, DOCUMENT);
  expectDone(await press('sign-detached', 'sign-status'), 'detached signing');
  const detached = await download('sign-result', 'letter.txt.sig.p7s');

  // 3. Verification: the detached signature against the file, then the container.
  await choose('verify-file', 'letter.txt.sig.p7s', { bytes: readFileSync(detached) });
  expectDone(await press('verify-detached', 'verify-status'), 'detached verification');
  assert.match(await text('#verify-result'), /Підписувач: Демо Користувач, ТОВ "Демо" \(ДРФО 1234567890\)/);
  await choose('verify-file', 'letter.txt.p7s', { bytes: readFileSync(container) });
  expectDone(await press('verify-container', 'verify-status'), 'container verification');
  assert.match(await text('#verify-result'), /Підпис 1: дійсний/);

  // 4. Encryption for the demo user itself, and opening it again.
  await page.$eval('#recipient', (select) => {
    select.value = [...select.options].find((o) => o.label === 'Демо Користувач (1234567890)').value;
  });
  expectDone(await press('encrypt-file', 'encrypt-status'), 'encryption');
  const sealed = await download('encrypt-result', 'letter.txt.p7e');
  assert.notDeepEqual(readFileSync(sealed), DOCUMENT);
  await choose('open-file', 'letter.txt.p7e', { bytes: readFileSync(sealed) });
  const opened = await press('open', 'open-status');
  expectDone(opened, 'opening');
  assert.equal(opened.text, 'Відкрито.');
  assert.deepEqual(readFileSync(await download('open-result', 'letter.txt')), DOCUMENT);
  // A file that was never encrypted or signed is said to be neither, and offered back to nobody.
  await choose('open-file', 'letter.txt', { bytes: DOCUMENT });
  const plain = await press('open', 'open-status');
  assert.equal(plain.state, 'warn');
  assert.equal(plain.text, 'Файл не зашифрований і не підписаний: відкривати нічого.');
  assert.equal(await page.$$eval('#open-result a', (links) => links.length), 0);

  // 5. Tokens.
  expectDone(await press('list-tokens', 'tokens-status'), 'token listing');
  assert.match(await text('#tokens-status'), /Знайдено \d+ апаратн|Апаратних ключів не знайдено\./);
  await shot('uk');

  // ---- A larger file: the request goes out and the answer comes in whole, as the progress told.
  const big = 2 << 20;
  await choose('sign-file', 'big.bin', { size: big });
  expectDone(await press('sign-container', 'sign-status'), 'signing a larger file');
  const work = await page.$eval('#sign-status + .work', (e) => ({ sent: e.dataset.sent, received: e.dataset.received, hidden: e.hidden }));
  const [sent, sentTotal] = work.sent.split('/').map(Number);
  const [received, receivedTotal] = work.received.split('/').map(Number);
  assert.ok(sent === sentTotal && sent > big * 4 / 3, JSON.stringify(work));
  assert.ok(received === receivedTotal && received > big * 4 / 3, JSON.stringify(work));
  assert.equal(work.hidden, true);

  // ---- A file whose command the service holds: the page shows it at work and cancels it.
  const logBefore = readFileSync(serviceLog, 'latin1').length;
  await choose('sign-file', 'held.bin', { size: Math.ceil(Number(heldFrom) * 3 / 4) + 4096 });
  await page.$eval('#sign-status', (e) => { e.dataset.state = ''; });
  await page.click('#sign-container');
  await waitFor(page, () => document.querySelector('#sign-status + .work')?.dataset.phase === 'work', null, 60000);
  assert.equal(await text('#sign-status + .work .work-text'), 'Служба обробляє запит…');
  await shot('progress');
  await page.click('#sign-status + .work .cancel');
  await waitFor(page, () => document.getElementById('sign-status').dataset.state === 'warn');
  assert.equal(await text('#sign-status'), 'Скасовано.');
  // The service saw its client go and dropped the command.
  for (let i = 0; ; i++) {
    const log = readFileSync(serviceLog, 'latin1').slice(logBefore);
    if (log.includes('Client closed the connection while its command ran')) break;
    assert.ok(i < 300, 'the service did not notice the cancelled request');
    await new Promise((resolve) => setTimeout(resolve, 100));
  }

  // ---- English, remembered across a reload.
  await page.click('#lang-en');
  assert.equal(await page.$eval('html', (e) => e.lang), 'en');
  assert.match(await text('#connection'), /^Connected to ZelkorH \d+\.\d+\.\d+\.\d+ at https:\/\/127\.0\.0\.1:\d+ \(direct\)\./);
  assert.equal(await text('#sign-status'), 'Cancelled.');
  assert.equal(await text('#open-status'), 'The file is neither encrypted nor signed: there is nothing to open.');
  await page.reload();
  await waitConnected();
  await waitListed();
  assert.equal(await text('#cert-status'), '2 certificates found.');
  assert.equal(await page.$eval('#sign-container', (e) => e.textContent), 'Sign (the file inside the signature)');
  await page.$eval('#password', (e) => { e.value = 'wrong'; });
  await choose('sign-file', 'letter.txt', { bytes: DOCUMENT });
  const wrong = await press('sign-container', 'sign-status');
  assert.match(wrong.text, /\(code 8\)[\s\S]*the password is wrong/);
  await shot('en');
  await page.click('#lang-uk');

  // ---- A service without certificates, which stops and comes back.
  let empty = await startService();
  try {
    const emptyPage = `${pageUrl.split('?')[0]}?http=${empty.port}`;
    await page.goto(emptyPage);
    await waitConnected();
    await waitListed();
    const none = await page.$eval('#cert-status', (e) => ({ state: e.dataset.state, text: e.innerText }));
    assert.equal(none.state, 'warn');  // not a success
    assert.match(none.text, /^На цьому комп'ютері не знайдено жодного сертифіката\.\n/);
    assert.match(none.text, /тек[уи] з ключами[\s\S]*«Каталог з ключами\.\.\.»[\s\S]*носій/);
    await shot('no-certificates');

    assert.equal(await empty.stop(), 0);
    await waitFor(page, () => document.getElementById('connection').dataset.state === 'error');
    const gone = await text('#connection');
    assert.match(gone, /^Служба ZelkorH недоступна\./);
    assert.ok(gone.includes('systemctl --user start zelkorh') && gone.includes('bash tools/run.sh'), gone);
    await shot('service-stopped');

    empty = await startService({ port: empty.port });
    await waitConnected();
    assert.match(await text('#connection'), /^Підключено до ZelkorH .* за адресою http:\/\/127\.0\.0\.1:\d+ \(напряму\)\./);
  } finally {
    assert.equal(await empty.stop(), 0);
  }
  console.log(`demo page checked in ${browserName}; screenshots in ${artifacts}`);
} finally {
  await browser.close();
}
