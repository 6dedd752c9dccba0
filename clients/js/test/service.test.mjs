// The client against the real service (HTTP; HTTPS is covered in connect.test.mjs):
// listing and signing with the build's demo certificate, checked with OpenSSL,
// detached signatures, the local data commands with texts that need escaping,
// and the error answers.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { ZelkorClient, ZelkorError, parseServiceTime } from '../src/index.js';
import { startService } from './service.mjs';

const DEMO = { drfo: '1234567890', pass: 'demo1234' };
const utf8 = (text) => new TextEncoder().encode(text);
let svc, zk, work;

before(async () => {
  svc = await startService({ demo: true });
  zk = new ZelkorClient({ urls: [svc.http] });
  work = mkdtempSync(path.join(tmpdir(), 'zk-js-'));
});
after(async () => {
  rmSync(work, { recursive: true, force: true });
  assert.equal(await svc?.stop(), 0, 'the service ends cleanly');
});

async function demoEntry() {
  const entries = await zk.getCertFiles({ drfo: DEMO.drfo });
  assert.equal(entries.length, 1);
  return entries[0];
}

/** openssl cms -verify of a DER signature (with the content inside, or detached from content); returns the content. */
function opensslVerify(signature, content) {
  const sig = path.join(work, 'sig.p7s');
  writeFileSync(sig, signature);
  const args = ['cms', '-verify', '-binary', '-inform', 'DER', '-in', sig, '-CAfile', path.join(svc.folder, 'Cert/demo-ca.pem')];
  if (content) {
    writeFileSync(path.join(work, 'content'), content);
    args.push('-content', path.join(work, 'content'));
  }
  return execFileSync('openssl', args, { stdio: ['ignore', 'pipe', 'pipe'] });
}

test('lists the demo certificate and names it back in later commands', async () => {
  const entry = await demoEntry();
  assert.equal(entry.name, 'Демо Користувач');
  assert.equal(entry.edrpou, '12345678');
  assert.equal(entry.canSign, true);
  assert.equal(entry.isKeyInDevice, false);
  assert.equal(typeof entry.type, 'number');
  assert.equal(entry.path, path.join(svc.folder, 'Cert/demo-user.cer'));
  assert.ok(parseServiceTime(entry.dateEnd) > parseServiceTime(entry.dateBeg));

  // The entry itself names the certificate: its file, its description, its key.
  assert.deepEqual(await zk.getCert({ cert: entry }), new Uint8Array(readFileSync(entry.path)));
  const details = await zk.getInfoCert({ cert: entry });
  assert.equal(details.name, entry.name);
  assert.equal(details.canSign, true);
  assert.deepEqual(await zk.getInfoCert({ certBlk: readFileSync(entry.path) }), details);
  await zk.checkCertKey({ cert: entry, pass: DEMO.pass });
  const wrong = await zk.checkCertKey({ cert: entry.ref, pass: 'wrong' }).catch((e) => e);
  assert.ok(wrong instanceof ZelkorError);
  assert.deepEqual([wrong.command, wrong.code, wrong.detailing], ['CHECK_CERT_KEY', 8, 2]);
  assert.equal(wrong.message, 'Помилка підпису/шифрувания, можливо вказано невірний пароль');

  assert.deepEqual(await zk.getSkFiles(), [], 'key files are read with a password');
  const keys = await zk.getSkFiles({ pass: DEMO.pass });
  assert.ok(keys.some((k) => k.serial === entry.serial && k.certs.some((c) => c.ref === entry.ref)));
});

test('signs a document: OpenSSL verifies the container and finds the document in it', async () => {
  const document = utf8('Підписаний документ <&>\n'.repeat(100));
  const signed = await zk.setSign(document, DEMO);
  assert.ok(signed instanceof Uint8Array);
  assert.deepEqual(new Uint8Array(opensslVerify(signed)), document);
});

test('detached signature: made, checked by the service and by OpenSSL, and refused for other bytes', async () => {
  const document = new Uint8Array(70000).map((_, i) => i * 7);
  const sign = await zk.setExternalSign(document.buffer, DEMO);
  opensslVerify(sign, document);
  const checked = await zk.checkExternalSign(document, { sign, returnSigns: true });
  assert.deepEqual(checked.signerCert, await zk.getCert({ cert: await demoEntry() }));
  assert.deepEqual(await zk.checkExternalSign(document, { sign }), { signerCert: null });

  const other = document.slice();
  other[5] ^= 1;
  const refused = await zk.checkExternalSign(other, { sign }).catch((e) => e);
  assert.ok(refused instanceof ZelkorError, String(refused));
  assert.notEqual(refused.code, 0);
  assert.equal(refused.command, 'CHECK_EXTERNAL_SIGN');
});

test('key identifiers, symmetric encryption and random bytes', async () => {
  const ids = await zk.getSubjKeyId({ sk: readFileSync(path.join(svc.folder, 'Cert/demo-user.pfx')), pass: DEMO.pass });
  assert.equal(ids.id1, (await demoEntry()).serial);
  assert.equal(ids.id2, null);

  const key = await zk.getRandom({ length: 32 });
  assert.equal(key.length, 32);
  const plain = utf8('секрет');
  const sealed = await zk.symmetric(plain, { dir: 1, key, seed: utf8('seed') });
  assert.notDeepEqual(sealed, plain);
  assert.deepEqual(await zk.symmetric(sealed, { dir: 0, key, seed: utf8('seed') }), plain);
});

test('local data keeps texts byte for byte, whatever markup or line ends they hold', async () => {
  const text = 'рядок 1\r\nline 2 <tag attr="x">&amp; \' </tag>\t]]> \n';
  await zk.saveData(text);
  assert.equal(await zk.loadData(), text);
  await zk.saveData(null);
  assert.equal(await zk.loadData(), '');

  await zk.savePassword({ pass: 'p <&> ключ' });
  assert.equal(await zk.retrievePassword(), 'p <&> ключ');
  await zk.cleanPassword();
  assert.equal(await zk.retrievePassword(), null);
});

test('SQL tables: rows with NULLs and texts that need escaping, protected databases, SQL errors', async () => {
  const { base, rows } = await zk.dbCommand({ base: 'JsTest', query:
    "create table t(a text, b integer, c blob); insert into t values('<&>\"Київ\"', NULL, x'00ff');" +
    "insert into t values('', 2, NULL); select a, b, c from t order by rowid" });
  assert.equal(base, 'jstest');
  assert.deepEqual(rows, [{ a: '<&>"Київ"', b: null, c: 'AP8=' }, { a: '', b: '2', c: null }]);
  assert.deepEqual((await zk.dbCommand({ base: 'jstest', query: 'select count(*) as n from t where b is null' })).rows, [{ n: '1' }]);

  await zk.dbCommand({ base: 'jsprot', key: 'ключ', query: "create table s(v); insert into s values('hidden')" });
  assert.deepEqual((await zk.dbCommand({ base: 'jsprot', key: 'ключ', query: 'select v from s' })).rows, [{ v: 'hidden' }]);
  const keyless = await zk.dbCommand({ base: 'jsprot', query: 'select v from s' }).catch((e) => e);
  assert.equal(keyless.code, 14, 'an open protected database serves only its key');
  const onDisk = readFileSync(path.join(svc.folder, 'Data/jsprot.db'));
  assert.equal(onDisk.includes('hidden'), false, 'a protected database is not readable on disk');

  const error = await zk.dbCommand({ base: 'jstest', query: 'select * from missing_table' }).catch((e) => e);
  assert.ok(error instanceof ZelkorError);
  assert.equal(error.code, 1);
  assert.match(error.message, /missing_table/);
  await zk.dbDrop({ base: 'all' });
  assert.deepEqual((await zk.dbCommand({ base: 'jstest', query: 'select 1 as one' })).rows, [{ one: '1' }]);
});

test('refusals: the bare envelope of code 56, and codes that are the command\'s answer', async () => {
  const refused = await zk.getRandom({ length: 0 }).catch((e) => e);
  assert.ok(refused instanceof ZelkorError);
  assert.deepEqual([refused.code, refused.command, refused.message], [56, null, 'Некоректні параметри запиту']);
  assert.equal(refused.cspCode, null);

  const update = await zk.doUpdate().catch((e) => e);
  assert.deepEqual([update.code, update.command], [50, 'DO_UPDATE']);
  const info = await zk.getUpdateInfo();
  assert.deepEqual([info.isNew, info.autoUpdate, info.restarting], [false, true, false]);
  assert.ok(info.lastRun === null || /^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d$/.test(info.lastRun));
  assert.equal(await zk.onload(), undefined);

  const raw = await zk.send('<?xml version="1.0"?><Request><Command>NO_SUCH</Command></Request>');
  assert.equal(raw.code, 56);
  assert.equal((await zk.send('<not xml')).code, 55);
});

test('commands run side by side over one client', async () => {
  const results = await Promise.all(Array.from({ length: 8 }, (_, i) => zk.getRandom({ length: i + 1 })));
  assert.deepEqual(results.map((r) => r.length), [1, 2, 3, 4, 5, 6, 7, 8]);
});
