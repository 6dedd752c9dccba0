// The command table: every command of the service, in the service's own
// order, with what its request carries and how its answer reads. The client
// turns each row into one method (GET_CERT_FILES -> getCertFiles).
import { base64ToBytes, base64ToText } from './bytes.js';
import { attr, custom, each, el, group, wrapped } from './params.js';
import {
  bytesList, bytesOrNull, certDetails, certEntry, containerCert, dongle, isTrue, networkAnswer, ocspInfo,
  originalSigns, recipientEntries, signatureInfo, timestampInfo, toInt, verifyResults,
} from './shapes.js';
import { child, children, childText, escapeAttr, escapeText, parseXml } from './xml.js';

const text = (name) => el(name, 'text');
const secret = (name) => el(name, 'utf8b64');
const bytes = (name) => el(name, 'bytes');
const bool = (name) => el(name, 'bool');
const int = (name) => el(name, 'int');

// The signer block: who signs (or, for opening commands, whose key opens).
const KEY_SOURCE = {
  drfo: text('DRFO'), type: int('Type'), serial: text('Serial'),
  pass: secret('Pass'), preserve: attr('pass', 'Preserve'),
  senderCert: bytes('SenderCert'), senderSK: bytes('SenderSK'),
  dongleProviderName: text('DongleProviderName'), dongleSlotId: int('DongleSlotId'),
};
const SIGNER = { lib: text('Lib'), ...KEY_SOURCE };
const RECIPIENT = {
  drfo: text('DRFO'), type: int('Type'), serial: text('Serial'),
  pass: secret('Pass'), preserve: attr('pass', 'Preserve'),
  senderCert: bytes('SenderCert'), recipientCert: bytes('RecipientCert'), recipientSK: bytes('RecipientSK'),
  dongleProviderName: text('DongleProviderName'), dongleSlotId: int('DongleSlotId'),
};
const CERT_FILTER = {
  edrpou: text('EDRPOU'), drfo: text('DRFO'), serial: text('Serial'), issuerSN: text('IssuerSN'), sn: text('SN'),
  types: el('Types', 'intList'), keyUsage: int('KeyUsage'), extKeyUsage: int('ExtKeyUsage'), exceeded: bool('Exceeded'),
};
const HOST = { host: group('Host', { address: text('Address'), port: int('Port'), timeout: int('Timeout') }) };
const PROXY = {
  proxy: group('Proxy', { address: text('Address'), port: text('Port'), user: text('User'), password: text('Password') }),
};
const ADDITIONAL = {
  additional: group('Additional', {
    contentTimestamp: bytes('ContentTimestamp'), signingTime: el('SigningTime', 'time'),
    sigPolicy: bytes('SigPolicy'), sigPolicyURI: bytes('SigPolicyURI'), sigPolicyMessage: bytes('SigPolicyMessage'),
  }),
};
const CERT_SOURCE = { drfo: text('DRFO'), type: int('Type'), serial: text('Serial'), senderCert: bytes('SenderCert') };
const TOKEN = { providerName: text('ProviderName'), slotId: int('SlotId') };
const SUBJECT = {
  signingSchema: int('SigningSchema'), edrpou: text('EDRPOU'), drfo: text('DRFO'), name: text('Name'),
  email: text('Email'), title: text('Title'), postalCode: text('PostalCode'), obl: text('Obl'), rayon: text('Rayon'),
  adres: text('Adres'), tel: text('Tel'), qualifier: text('Qualifier'), surname: text('Surname'),
  givenName: text('GivenName'), serialNumber: text('SerialNumber'), organizationName: text('OrganizationName'),
  organizationalUnitName: text('OrganizationalUnitName'), eddru: text('EDDRU'), keyUsage: int('KeyUsage'),
  extKeyUsage: int('ExtKeyUsage'), isQualified: bool('IsQualified'), isKeyInDevice: bool('IsKeyInDevice'),
  currencyCode: text('CurrencyCode'),
  transactionLimit: group('TransactionLimit', { amount: int('Amount'), exponent: int('Exponent') }),
  extKeyUsageExt: wrapped('ExtKeyUsageExt', text('OID')),
};

// GET_VERSION registers OCSP servers: <OCSPServers><Address IssuerSN="...">address</Address>...</OCSPServers>.
const OCSP_SERVERS = custom((list) => '<OCSPServers>' + Array.from(list, ({ issuerSN, address }) =>
  `<Address IssuerSN="${escapeAttr(issuerSN)}">${escapeText(address)}</Address>`).join('') + '</OCSPServers>');

// Answer readers.
const none = () => undefined;
const dataBytes = (data) => base64ToBytes(data.text);

function dbRows(data) {
  const result = childText(data, 'Result');
  const rows = result ? children(parseXml(base64ToText(result)), 'ROW') : [];
  return {
    base: childText(data, 'Base') ?? '',
    rows: rows.map((row) => Object.fromEntries(children(row, 'FIELD').map((f) =>
      [f.attrs.NAME, f.attrs['xsi:nil'] === 'true' ? null : f.text]))),
  };
}

function original(data) {
  const plain = child(data, 'Original');
  if (!plain && !child(data, 'Certs')) return { original: base64ToBytes(data.text), signerCerts: [] };
  return { original: bytesOrNull(plain?.text) ?? new Uint8Array(0), signerCerts: bytesList(child(data, 'Certs'), 'Cert') };
}

function ctxOriginal(data) {
  return {
    signed: bytesOrNull(childText(data, 'Signed')),
    content: bytesOrNull(childText(data, 'Content')),
    contentTimestamp: bytesOrNull(childText(data, 'ContentTimestamp')),
    signs: originalSigns(data),
    decrypted: bytesOrNull(childText(data, 'Decrypted')),
    recipients: children(child(data, 'Recipients'), 'Cert').map(containerCert),
  };
}

function containerInfo(data) {
  return {
    content: bytesOrNull(childText(data, 'Content')),
    contentTimestamp: bytesOrNull(childText(data, 'ContentTimestamp')),
    ...signatureInfo(data),
  };
}

/**
 * [command, {data, params, parse, failure, codes}]:
 * - data: the encoding of the request's Data ('bytes' or 'text'), absent when the command takes none;
 *   dataOptional: the method accepts null for it;
 * - params: the schema of Params, absent when the command takes none;
 * - parse(data, envelope): the answer of code 0; failure(data): what a failed answer still carries;
 * - codes: other codes that are answers rather than errors ({code: value}).
 */
export const COMMANDS = [
  ['GET_VERSION', { params: { ocspServers: OCSP_SERVERS },
    parse: (d) => { const v = child(d, 'Version'); return { version: v?.text ?? '', isDll: isTrue(v?.attrs.IsDLL) }; } }],
  ['GET_CERT_FILES', { params: { ...CERT_FILTER, pass: secret('Pass'), preserve: attr('pass', 'Preserve') },
    parse: (d) => children(d, 'Cert').map(certEntry) }],
  ['GET_SK_FILES', { params: { keyUsage: int('KeyUsage'), extKeyUsage: int('ExtKeyUsage'), exceeded: bool('Exceeded'),
    types: el('Types', 'intList'), excludeKeysWithFilteredCerts: bool('ExcludeKeysWithFilteredCerts'), pass: secret('Pass') },
    defaults: { pass: '' },
    parse: (d) => children(d, 'Key').map((k) => ({ serial: k.attrs.Serial ?? '', certs: children(k, 'Cert').map(certEntry) })) }],
  ['CHECK_CERT_KEY', { params: { lib: text('Lib'), cert: el('Cert', 'certRef'), pass: secret('Pass'), preserve: attr('pass', 'Preserve') },
    parse: none }],
  ['CHANGE_KEY_PASS', { params: { lib: text('Lib'), cert: el('Cert', 'certRef'), oldPass: secret('OldPass'), newPass: secret('NewPass') },
    parse: none }],
  ['SET_SIGN', { data: 'bytes', params: SIGNER, parse: dataBytes }],
  ['ENCRYPT', { data: 'bytes', params: { certs: each(bytes('Cert')), ...SIGNER }, parse: dataBytes }],
  ['GET_ORIGINAL', { data: 'bytes', params: { toUTF8: bool('ToUTF8'), returnSigns: bool('ReturnSigns'), ...RECIPIENT },
    parse: original, failure: (d) => ({ recipients: recipientEntries(d) }) }],
  ['GET_SIGNED', { data: 'bytes', params: { keepTransHd: bool('KeepTransHd'), ...RECIPIENT },
    parse: dataBytes, failure: (d) => ({ recipients: recipientEntries(d) }) }],
  ['CLEAN', { params: { edrpou: text('EDRPOU'), drfo: text('DRFO') }, parse: none }],
  ['SYMMETRIC', { data: 'bytes', params: { dir: int('DIR'), key: bytes('KEY'), seed: bytes('SEED') }, parse: dataBytes }],
  ['GET_CERT', { params: { cert: el('Cert', 'certRef'), serial: text('Serial'), issuerSN: text('IssuerSN'), sn: text('SN') },
    parse: dataBytes }],
  ['GET_INFO_CERT', { params: { certBlk: bytes('CertBlk'), cert: el('Cert', 'certRef'), serial: text('Serial'),
    issuerSN: text('IssuerSN'), sn: text('SN') }, parse: certDetails }],
  ['GET_RANDOM', { params: { length: int('Length') }, parse: dataBytes }],
  ['SAVE_DATA', { data: 'text', dataOptional: true, parse: none }],
  ['LOAD_DATA', { parse: (d) => d.text }],
  ['SAVE_PASSWORD', { params: { pass: text('Pass') }, parse: none }],
  ['RETRIEVE_PASSWORD', { parse: (d) => childText(d, 'Pass') ?? '', codes: { 1: null } }],
  ['CLEAN_PASSWORD', { parse: none }],
  ['GET_UPDATE_INFO', { parse: (d) => {
    const a = child(d, 'Info')?.attrs ?? {};
    return { isNew: isTrue(a.isNew), autoUpdate: isTrue(a.autoUpdate), restarting: isTrue(a.restarting),
      lastRun: a.lastRun || null, lastRunOk: isTrue(a.lastRunOk) };
  } }],
  ['DO_UPDATE', { parse: none }],
  ['ONLOAD', { parse: none }],
  ['PARENT_XCHG', { data: 'bytes', parse: (d) => bytesOrNull(d.text) }],
  ['SAVE_CERT', { params: { certBlk: each(bytes('CertBlk')), certUrl: each(text('CertUrl')) }, parse: none }],
  ['KEY_FOLDER', { params: { keyFolder: text('KeyFolder') }, parse: none }],
  ['SELECT_KEY_FOLDER', { parse: none }],
  ['SET_EXTERNAL_SIGN', { data: 'bytes', params: KEY_SOURCE, parse: dataBytes }],
  ['CHECK_EXTERNAL_SIGN', { data: 'bytes', params: { sign: bytes('Sign'), returnSigns: bool('ReturnSigns') },
    parse: (d) => ({ signerCert: bytesOrNull(childText(d, 'Cert')) }) }],
  ['GET_SUBJ_KEY_ID', { params: { sk: bytes('SK'), pass: secret('Pass') },
    parse: (d) => ({ id1: childText(d, 'Id1'), id2: childText(d, 'Id2') }) }],
  ['GEN_CERTIF_REQUEST', { params: { pass: secret('Pass'), subject1: group('Subject1', SUBJECT),
    subject2: group('Subject2', SUBJECT), dongleProviderName: text('DongleProviderName'), dongleSlotId: int('DongleSlotId') },
    parse: (d) => {
      const request = (name) => { const r = child(d, name); return r ? { subjectKeyIdentifier: r.attrs.subjectKeyIdentifier ?? '', request: base64ToBytes(r.text) } : null; };
      return { privateKey: bytesOrNull(childText(d, 'PrivateKey')), request1: request('Request1'), request2: request('Request2') };
    } }],
  ['DB_COMMAND', { params: { base: secret('Base'), key: attr('base', 'KEY', 'utf8b64', ' TYPE="PROT"'), query: secret('Query') },
    parse: dbRows }],
  ['DB_DROP', { params: { base: secret('Base') }, parse: none }],
  ['CTX_CREATE_CONTAINER', { data: 'bytes', params: { ...KEY_SOURCE, storeContent: bool('StoreContent'), ...ADDITIONAL },
    parse: dataBytes }],
  ['CTX_ADD_SIGNATURE', { data: 'bytes', params: { ...KEY_SOURCE, content: bytes('Content'), ...ADDITIONAL }, parse: dataBytes }],
  ['CTX_REQUEST_TIMESTAMP', { data: 'bytes', params: { ...CERT_SOURCE, ...HOST, ...PROXY },
    parse: (d) => networkAnswer(d, timestampInfo) }],
  ['CTX_ADD_TIMESTAMP', { data: 'bytes', params: { ...CERT_SOURCE, signIndex: int('SignIndex'), ...HOST, ...PROXY },
    parse: (d) => networkAnswer(d, timestampInfo) }],
  ['CTX_GET_TIMESTAMP_INFO', { data: 'bytes', parse: (d) => timestampInfo(child(d, 'Info')) }],
  ['CTX_REMOVE_SIGNATURE', { data: 'bytes', params: { signIndex: int('SignIndex'), options: int('Options') }, parse: dataBytes }],
  ['CTX_REQUEST_OCSP', { params: { ...KEY_SOURCE, certs: wrapped('Certs', bytes('Cert')), ...HOST, ...PROXY },
    parse: (d) => networkAnswer(d, ocspInfo) }],
  ['CTX_GET_OCSP_INFO', { data: 'bytes', parse: (d) => ocspInfo(child(d, 'Info')) }],
  ['CTX_REQUEST_CMP', { params: { subjectKeyId1: text('SubjectKeyId1'), subjectKeyId2: text('SubjectKeyId2'),
    acquireChain: bool('AcquireChain'), ...HOST, ...PROXY },
    parse: (d) => ({ wsaResponse: toInt(childText(d, 'WSAResponse')), certs: bytesList(child(d, 'Certs'), 'Cert') }) }],
  ['CTX_ADD_COMPLETEINFO', { data: 'bytes', params: { signIndex: int('SignIndex'),
    objects: wrapped('Objects', group('Object', { cert: bytes('Cert'), crls: wrapped('CRLs', bytes('CRL')), ocsps: wrapped('OCSPs', bytes('OCSP')) })) },
    parse: dataBytes }],
  ['CTX_GET_CONTAINER_INFO', { data: 'bytes', params: { signIndex: int('SignIndex'), skipContent: bool('SkipContent') },
    parse: containerInfo }],
  ['CTX_MERGE_CONTAINER', { params: { containers: wrapped('Containers', bytes('Container')), checkHash: bool('CheckHash') },
    parse: dataBytes }],
  ['CTX_VERIFY_SIGNS', { data: 'bytes', parse: verifyResults }],
  ['CTX_VERIFY_EXTERNAL_SIGNS', { data: 'bytes', params: { content: bytes('Content') }, parse: verifyResults }],
  ['CTX_REMOVE_CONTENT', { data: 'bytes', parse: dataBytes }],
  ['CTX_ADD_CONTENT', { data: 'bytes', params: { content: bytes('Content') }, parse: dataBytes }],
  ['CTX_ENCRYPT', { data: 'bytes', params: { ...KEY_SOURCE, certs: wrapped('Certs', bytes('Cert')) }, parse: dataBytes }],
  ['CTX_DECRYPT', { data: 'bytes', params: RECIPIENT, parse: dataBytes }],
  ['CTX_GET_ENVELOPE_TYPE', { data: 'bytes', parse: (d) => toInt(childText(d, 'EnvelopeType')) }],
  ['CTX_GET_SENDER_CERT', { data: 'bytes', params: { certIndex: int('CertIndex') }, parse: dataBytes }],
  ['CTX_GET_RECIPIENTS', { data: 'bytes', parse: (d) => children(child(d, 'Recipients'), 'Cert').map(containerCert) }],
  ['CTX_VERIFY_CERT_SIGN', { data: 'bytes', params: { issuerCert: bytes('IssuerCert') }, parse: none }],
  ['CTX_GET_SIGNER_CERT', { data: 'bytes', params: { certIndex: int('CertIndex') }, parse: dataBytes }],
  ['CTX_GET_ORIGINAL', { data: 'bytes', params: { ...RECIPIENT, acquireDecrypted: bool('AcquireDecrypted'),
    acquireSigned: bool('AcquireSigned'),
    ocsp: group('OCSP', { enabled: bool('Enabled'), ...KEY_SOURCE, timeout: int('Timeout'), ...PROXY }) },
    parse: ctxOriginal, failure: ctxOriginal }],
  ['CTX_GET_JKS_CERTS', { data: 'bytes', params: { onlyUserCerts: bool('OnlyUserCerts') },
    parse: (d) => children(child(d, 'Certs'), 'Cert').map((c) => ({ data: base64ToBytes(childText(c, 'Data') ?? ''), ...containerCert(c) })) }],
  ['CTX_GET_JKS_KEYS', { data: 'bytes', params: { edrpou: text('EDRPOU'), drfo: text('DRFO'), serial: text('Serial'),
    issuerSN: text('IssuerSN'), sn: text('SN'), exceeded: bool('Exceeded'), pass: secret('Pass'),
    preserve: attr('pass', 'Preserve'), certs: wrapped('Certs', bytes('Cert')) },
    parse: (d) => ({
      keys: children(child(d, 'Keys'), 'Key').map((k) => ({ key: base64ToBytes(k.text), serial1: k.attrs.Serial1 ?? null, serial2: k.attrs.Serial2 ?? null })),
      unprocessed: children(child(d, 'Unprocessed'), 'Serial').map((s) => s.text),
    }) }],
  ['CTX_GET_HASH', { data: 'bytes', params: { hashAlgOID: text('HashAlgOID'), ...CERT_SOURCE }, parse: dataBytes }],
  ['DONGLES_LIST', { params: { keys: bool('Keys'), namedKeys: bool('NamedKeys') }, parse: (d) => children(d, 'Dongle').map(dongle) }],
  ['DONGLES_INIT', { params: { ...TOKEN, adminPass: secret('AdminPass'), userPass: secret('UserPass'), label: text('Label') },
    parse: none }],
  ['DONGLES_CHANGE_PASS', { params: { ...TOKEN, oldPass: secret('OldPass'), newPass: secret('NewPass'),
    namedKeyDevicePass: secret('NamedKeyDevicePass'), namedKeyName: secret('NamedKeyName'),
    namedKeySubjectKeyId: text('NamedKeySubjectKeyId') }, parse: none }],
  ['DONGLES_UNLOCK', { params: { ...TOKEN, adminPass: secret('AdminPass'), userPass: secret('UserPass') }, parse: none }],
  ['DONGLES_KEY_SET_LABEL', { params: { ...TOKEN, pass: secret('Pass'), keyId: text('KeyId'), label: text('Label') }, parse: none }],
  ['DONGLES_KEY_DELETE', { params: { ...TOKEN, pass: secret('Pass'), keyId: text('KeyId') }, parse: none }],
  ['DONGLES_FILES_ENUM', { params: { ...TOKEN, pass: secret('Pass') },
    parse: (d) => children(d, 'FileName').map((f) => base64ToText(f.text)) }],
  ['DONGLES_FILE_GET', { params: { ...TOKEN, pass: secret('Pass'), fileName: secret('FileName') },
    parse: (d) => base64ToBytes(d.text) }],
  ['DONGLES_FILE_SET', { data: 'bytes', dataOptional: true, params: { ...TOKEN, pass: secret('Pass'), fileName: secret('FileName') },
    parse: none }],
];

/** GET_CERT_FILES -> getCertFiles. */
export function methodName(command) {
  return command.toLowerCase().replace(/_([a-z])/g, (_, c) => c.toUpperCase());
}

/** Every command name, in the service's order. */
export const COMMAND_NAMES = Object.freeze(COMMANDS.map(([command]) => command));
