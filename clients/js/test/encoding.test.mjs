// Request documents and answer reading, checked without the service: element
// names, encodings and escaping of every kind of parameter, refusals of bad
// arguments, and the answers of commands whose shapes have nesting.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { ZelkorClient, ZelkorError, ZelkorConnectionError, COMMAND_NAMES, methodName } from '../src/index.js';
import { parseXml } from '../src/xml.js';
import { atobChunks, base64ToBytes, btoaChunks, bytesToBase64 } from '../src/bytes.js';
import { envelope, fakeFetch } from './fake.mjs';

const HEAD = '<?xml version="1.0" encoding="utf-8"?><Request><Command>';
const bytes = (...b) => new Uint8Array(b);

function client(answer = (xml) => envelope(/<Command>(\w+)/.exec(xml)[1], 0)) {
  const fake = fakeFetch(answer);
  return { zk: new ZelkorClient({ urls: ['http://127.0.0.1:1'], fetch: fake.fetch }), sent: fake.sent };
}

test('every command of the service has its method, and the types declare each one', () => {
  assert.equal(COMMAND_NAMES.length, 68);
  const types = readFileSync(new URL('../src/index.d.ts', import.meta.url), 'utf8');
  for (const command of COMMAND_NAMES) {
    const name = methodName(command);
    assert.equal(typeof ZelkorClient.prototype[name], 'function', command);
    assert.match(types, new RegExp(`\\n  ${name}\\(`), `index.d.ts declares ${name}`);
  }
  assert.equal(methodName('CTX_ADD_COMPLETEINFO'), 'ctxAddCompleteinfo');
});

test('request documents: names, encodings and escaping', async () => {
  const when = new Date(2020, 1, 1, 10, 11, 0);
  const cases = [
    [(zk) => zk.getCertFiles({ drfo: ' 123 ', types: [1, 3], exceeded: false, pass: 'пароль', preserve: true }),
      'GET_CERT_FILES</Command><Params><DRFO> 123 </DRFO><Types>1,3</Types><Exceeded>false</Exceeded>' +
      '<Pass Preserve="true">0L/QsNGA0L7Qu9GM</Pass></Params></Request>'],
    [(zk) => zk.setSign(bytes(0, 1, 2, 255), { drfo: '1234567890', pass: 'demo1234' }),
      'SET_SIGN</Command><Params><DRFO>1234567890</DRFO><Pass>ZGVtbzEyMzQ=</Pass></Params><Data>AAEC/w==</Data></Request>'],
    // The password may be the cached one: Preserve without Pass still writes the element.
    [(zk) => zk.setExternalSign(bytes(1).buffer, { serial: 'A<B', preserve: true }),
      'SET_EXTERNAL_SIGN</Command><Params><Serial>A&lt;B</Serial><Pass Preserve="true"/></Params><Data>AQ==</Data></Request>'],
    [(zk) => zk.ctxCreateContainer(bytes(7), { serial: 'S', pass: 'p', storeContent: false,
      additional: { signingTime: when, sigPolicy: bytes(1, 2) } }),
      'CTX_CREATE_CONTAINER</Command><Params><Serial>S</Serial><Pass>cA==</Pass><StoreContent>false</StoreContent>' +
      '<Additional><SigningTime>01.02.2020 10:11:00</SigningTime><SigPolicy>AQI=</SigPolicy></Additional></Params><Data>Bw==</Data></Request>'],
    [(zk) => zk.ctxGetOriginal(bytes(7), { acquireSigned: true,
      ocsp: { enabled: true, timeout: 3, proxy: { address: 'proxy', port: 3128, user: 'u', password: 'p&q' } } }),
      'CTX_GET_ORIGINAL</Command><Params><AcquireSigned>true</AcquireSigned><OCSP><Enabled>true</Enabled><Timeout>3</Timeout>' +
      '<Proxy><Address>proxy</Address><Port>3128</Port><User>u</User><Password>p&amp;q</Password></Proxy></OCSP></Params>' +
      '<Data>Bw==</Data></Request>'],
    [(zk) => zk.ctxAddCompleteinfo(bytes(7), { signIndex: 0, objects: [{ cert: bytes(1), crls: [bytes(2), bytes(3)], ocsps: [] }] }),
      'CTX_ADD_COMPLETEINFO</Command><Params><SignIndex>0</SignIndex><Objects><Object><Cert>AQ==</Cert>' +
      '<CRLs><CRL>Ag==</CRL><CRL>Aw==</CRL></CRLs><OCSPs></OCSPs></Object></Objects></Params><Data>Bw==</Data></Request>'],
    [(zk) => zk.encrypt(bytes(7), { certs: [bytes(1), bytes(2)], drfo: 'd', pass: 'p' }),
      'ENCRYPT</Command><Params><Cert>AQ==</Cert><Cert>Ag==</Cert><DRFO>d</DRFO><Pass>cA==</Pass></Params><Data>Bw==</Data></Request>'],
    [(zk) => zk.ctxEncrypt(bytes(7), { certs: [bytes(1)], serial: 's' }),
      'CTX_ENCRYPT</Command><Params><Serial>s</Serial><Certs><Cert>AQ==</Cert></Certs></Params><Data>Bw==</Data></Request>'],
    [(zk) => zk.getVersion({ ocspServers: [{ issuerSN: 'UA-1"<', address: 'http://a/?b=1&c=2' }] }),
      'GET_VERSION</Command><Params><OCSPServers><Address IssuerSN="UA-1&quot;&lt;">http://a/?b=1&amp;c=2</Address>' +
      '</OCSPServers></Params></Request>'],
    [(zk) => zk.dbCommand({ base: 'db1', key: 'k', query: 'select 1' }),
      'DB_COMMAND</Command><Params><Base TYPE="PROT" KEY="aw==">ZGIx</Base><Query>c2VsZWN0IDE=</Query></Params></Request>'],
    // Carriage returns would be lost to line-end normalisation unless written as references.
    [(zk) => zk.saveData('a\r\nb <&> "x"\t'), 'SAVE_DATA</Command><Data>a&#13;\nb &lt;&amp;&gt; "x"\t</Data></Request>'],
    [(zk) => zk.saveData(null), 'SAVE_DATA</Command></Request>'],
    [(zk) => zk.loadData(), 'LOAD_DATA</Command></Request>'],
    // GET_SK_FILES is refused without a Pass element; commands with Params always send the element.
    [(zk) => zk.getSkFiles(), 'GET_SK_FILES</Command><Params><Pass></Pass></Params></Request>'],
    [(zk) => zk.donglesList(), 'DONGLES_LIST</Command><Params></Params></Request>'],
    [(zk) => zk.checkCertKey({ cert: { ref: 'L3Q=' }, pass: 'x' }),
      'CHECK_CERT_KEY</Command><Params><Cert>L3Q=</Cert><Pass>eA==</Pass></Params></Request>'],
    [(zk) => zk.genCertifRequest({ pass: 'p', subject1: { name: 'Ім\'я', transactionLimit: { amount: 5, exponent: 2 },
      extKeyUsageExt: ['1.2.3', '1.2.4'] } }),
      'GEN_CERTIF_REQUEST</Command><Params><Pass>cA==</Pass><Subject1><Name>Ім\'я</Name><TransactionLimit><Amount>5</Amount>' +
      '<Exponent>2</Exponent></TransactionLimit><ExtKeyUsageExt><OID>1.2.3</OID><OID>1.2.4</OID></ExtKeyUsageExt></Subject1>' +
      '</Params></Request>'],
    [(zk) => zk.donglesFileSet(null, { providerName: 'P', slotId: 2, pass: '1', fileName: 'ф' }),
      'DONGLES_FILE_SET</Command><Params><ProviderName>P</ProviderName><SlotId>2</SlotId><Pass>MQ==</Pass>' +
      '<FileName>0YQ=</FileName></Params></Request>'],
  ];
  for (const [run, expected] of cases) {
    const { zk, sent } = client();
    await run(zk);
    assert.equal(sent[0], HEAD + expected);
  }
});

test('bad arguments are refused before anything is sent', async () => {
  const cases = [
    [(zk) => zk.setSign('text', { drfo: '1', pass: 'p' }), /data must be a Uint8Array/],
    [(zk) => zk.setSign(bytes(1), { drfo: '1', password: 'p' }), /unknown parameter password/],
    [(zk) => zk.getRandom({ length: 1.5 }), /length must be an integer/],
    [(zk) => zk.getCertFiles({ types: '1,3' }), /types must be an integer/],
    [(zk) => zk.encrypt(bytes(1), { certs: bytes(1) }), /certs\[\] must be a Uint8Array/],
    [(zk) => zk.saveData('bell \u0007'), /control character/],
    [(zk) => zk.loadData({ x: 1 }), /takes no parameters/],
    [(zk) => zk.checkCertKey({ cert: 42, pass: 'p' }), /cert must be a certificate entry/],
    [(zk) => zk.call('NO_SUCH_COMMAND'), /unknown command/],
  ];
  for (const [run, message] of cases) {
    const { zk, sent } = client();
    await assert.rejects(run(zk), (e) => e instanceof TypeError && message.test(e.message));
    assert.equal(sent.length, 0);
  }
});

test('a failed answer is a ZelkorError carrying what the answer still says', async () => {
  const recipients = '<Recipients><Cert Num="1" SK="K1" SN="01" IS="UA-1">AQI=</Cert>' +
    '<Cert Num="2" SK="K2" xsi:nil="true"/></Recipients>';
  const { zk } = client(() => envelope('GET_ORIGINAL', 6, recipients, '<Detailing>3</Detailing>'));
  const error = await zk.getOriginal(bytes(1)).catch((e) => e);
  assert.ok(error instanceof ZelkorError && error instanceof Error);
  assert.equal(error.name, 'ZelkorError');
  assert.equal(error.code, 6);
  assert.equal(error.message, 'm');
  assert.equal(error.command, 'GET_ORIGINAL');
  assert.equal(error.cspCode, 0);
  assert.equal(error.cspMessage, '');
  assert.equal(error.detailing, 3);
  assert.deepEqual(error.details.recipients, [
    { num: 1, serial: 'K1', sn: '01', issuerSN: 'UA-1', cert: bytes(1, 2) },
    { num: 2, serial: 'K2', sn: '', issuerSN: '', cert: null },
  ]);
});

test('nested answers: tokens with keys and named keys', async () => {
  const cert = '<Cert DRFO="1" EDRPOU="" Name="N" OrgNm="" Type="3" Serial="AB" Issuer="I" IssuerSN="UA-1" SN="01" ' +
    'DateBeg="" DateEnd="" CanCrypt="0" CanSign="1" IsQualified="true" IsKeyInDevice="true">L3Q=</Cert>';
  const dongle = (stationary, inner) => `<Dongle ProviderName="P" SlotId="4" SlotDescription="d" SlotManufacturerID="m" ` +
    `SlotFlags="7" SlotHardwareVersionMajor="1" SlotHardwareVersionMinor="2" SlotFirmwareVersionMajor="3" ` +
    `SlotFirmwareVersionMinor="4" TokenLabel="L" TokenManufacturerID="tm" TokenModel="M" TokenSerialNumber="S" ` +
    `TokenFlags="9" TokenHardwareVersionMajor="5" TokenHardwareVersionMinor="6" TokenFirmwareVersionMajor="7" ` +
    `TokenFirmwareVersionMinor="8" MaxPinLen="32" MinPinLen="4" Stationary="${stationary}" TokenOID="1.2">${inner}</Dongle>`;
  const data = dongle('false', `<Key Id="AB" Index="0" Label="k">${cert}</Key>`) +
    dongle('true', '<NamedKeys><NamedKey Name="n1"><Key Id="CD" Index="1" Label=""/></NamedKey></NamedKeys>');
  const { zk } = client(() => envelope('DONGLES_LIST', 0, data));
  const [ordinary, stationary] = await zk.donglesList({ keys: true, namedKeys: true });
  assert.equal(ordinary.slotId, 4);
  assert.equal(ordinary.stationary, false);
  assert.equal(ordinary.minPinLen, 4);
  assert.equal(ordinary.keys[0].certs[0].canSign, true);
  assert.equal(ordinary.keys[0].certs[0].isKeyInDevice, true);
  assert.equal(ordinary.keys[0].certs[0].path, '/t');
  assert.deepEqual(stationary.namedKeys, [{ name: 'n1', keys: [{ id: 'CD', index: '1', label: '', certs: [] }] }]);
  assert.equal(stationary.stationary, true);
});

test('answers that are not envelopes are connection errors, never parsed loosely', async () => {
  const bad = [
    'not xml at all',
    '<Result><Return><Code>x</Code></Return></Result>',
    '<?xml version="1.0"?><!DOCTYPE r [<!ENTITY a "aaaa">]><Result><Return><Code>0</Code></Return></Result>',
    '<Result><Return><Code>0</Code></Return>' + '<a>'.repeat(100) + '</a>'.repeat(100) + '</Result>',
    '<Result><Return><Code>0</Code></Return></Result><Result/>',
  ];
  for (const text of bad) {
    const { zk } = client(() => text);
    await assert.rejects(zk.onload(), (e) => e instanceof ZelkorConnectionError && e.reason === 'bad-answer', text);
  }
});

test('the parser reads what the service prints', () => {
  const root = parseXml('\ufeff<?xml version="1.0"?>\n<!-- c --><a x=\'1 &amp; 2\' y="&#x41;&#66;">t&lt;<b/><![CDATA[<raw>]]>&quot;</a>');
  assert.deepEqual(root.attrs, { x: '1 & 2', y: 'AB' });
  assert.equal(root.text, 't<<raw>"');
  assert.equal(root.children[0].name, 'b');
});

test('Base64 of every length, on the fast paths and on the browsers\' btoa/atob path alike', () => {
  const data = new Uint8Array(3 * 8192 * 2 + 7).map((_, i) => (i * 131 + 7) & 255);
  for (const length of [0, 1, 2, 3, 4, 24575, 24576, 24577, 49152, data.length]) {
    const bytes = data.subarray(1, 1 + length);  // a view that does not start its buffer
    const expected = Buffer.from(bytes).toString('base64');
    assert.equal(bytesToBase64(bytes), expected, `length ${length}`);
    assert.equal(btoaChunks(bytes), expected, `length ${length}`);
    assert.deepEqual(base64ToBytes(expected), new Uint8Array(bytes));
    assert.deepEqual(atobChunks(expected), new Uint8Array(bytes));
  }
  assert.deepEqual(base64ToBytes('AQ\nID\tBA =='), new Uint8Array([1, 2, 3, 4]));
});
