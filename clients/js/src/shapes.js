// Answer shapes: the XML the service answers with, turned into plain objects.
import { base64ToBytes, base64ToText } from './bytes.js';
import { child, children, childText } from './xml.js';

/** "dd.mm.yyyy hh:mm:ss" (the service's local time) as a Date; null for empty or malformed text. */
export function parseServiceTime(text) {
  const m = /^(\d{2})\.(\d{2})\.(\d{4}) (\d{2}):(\d{2}):(\d{2})$/.exec(text ?? '');
  if (!m) return null;
  const [, d, mo, y, h, mi, s] = m.map(Number);
  return new Date(y, mo - 1, d, h, mi, s);
}

const isTrue = (text) => (text ?? '').toLowerCase() === 'true';
const toInt = (text) => (text === null || text === undefined || text === '' ? null : Number.parseInt(text, 10));
/** Base64 element text as bytes; null when the element is missing or empty. */
export const bytesOrNull = (text) => (text ? base64ToBytes(text) : null);
/** The Base64 texts of every child called name, as bytes, skipping empty ones. */
export const bytesList = (element, name) => children(element, name).filter((c) => c.text).map((c) => base64ToBytes(c.text));

// Field tables: [JavaScript name, XML name, kind]. 'b' = boolean, 'i' = integer, 'f' = flag "1"/"0", '' = text.
function fields(source, table, read) {
  const out = {};
  for (const [key, name, kind] of table) {
    const text = read(source, name);
    out[key] = kind === 'b' ? isTrue(text) : kind === 'i' ? toInt(text) : kind === 'f' ? text === '1' : (text ?? '');
  }
  return out;
}
const attrOf = (e, name) => e.attrs[name] ?? null;

const CERT_ENTRY = [
  ['drfo', 'DRFO'], ['edrpou', 'EDRPOU'], ['name', 'Name'], ['orgNm', 'OrgNm'], ['type', 'Type', 'i'],
  ['serial', 'Serial'], ['issuer', 'Issuer'], ['issuerSN', 'IssuerSN'], ['sn', 'SN'], ['dateBeg', 'DateBeg'],
  ['dateEnd', 'DateEnd'], ['canCrypt', 'CanCrypt', 'f'], ['canSign', 'CanSign', 'f'],
  ['isQualified', 'IsQualified', 'b'], ['isKeyInDevice', 'IsKeyInDevice', 'b'],
];

/** A list entry `Cert` (attributes; text = Base64 of the file path, sent back as `cert`). */
export function certEntry(e) {
  const entry = fields(e, CERT_ENTRY, attrOf);
  entry.ref = e.text;
  try { entry.path = base64ToText(e.text); } catch { entry.path = ''; }
  return entry;
}

const CERT_DETAILS_HEAD = [
  ['drfo', 'DRFO'], ['edrpou', 'EDRPOU'], ['name', 'Name'], ['orgNm', 'OrgNm'], ['issuer', 'Issuer'],
  ['email', 'Email'], ['title', 'Title'], ['postalCode', 'PostalCode'], ['obl', 'Obl'], ['rayon', 'Rayon'],
  ['adres', 'Adres'], ['tel', 'Tel'], ['sn', 'SN'], ['issuerSN', 'IssuerSN'], ['unitName', 'UnitName'],
  ['eddru', 'EDDRU'], ['serial', 'Serial'],
];
const CERT_DETAILS_TAIL = [
  ['type', 'Type', 'i'], ['dtBeg', 'DtBeg'], ['dtEnd', 'DtEnd'], ['canCrypt', 'CanCrypt', 'b'],
  ['canSign', 'CanSign', 'b'], ['isQualified', 'IsQualified', 'b'], ['isKeyInDevice', 'IsKeyInDevice', 'b'],
];

/** The detailed description of GET_INFO_CERT (children of Data). */
export function certDetails(e) {
  const d = { ...fields(e, CERT_DETAILS_HEAD, childText), ...fields(e, CERT_DETAILS_TAIL, childText) };
  d.extKeyUsage = children(child(e, 'ExtKeyUsageExt'), 'OID').map((o) => o.text);
  return d;
}

/** The certificate element of the signed-container commands (with AccessOCSP). */
export function containerCert(e) {
  return {
    ...fields(e, CERT_DETAILS_HEAD, childText),
    accessOCSP: childText(e, 'AccessOCSP') ?? '',
    ...fields(e, CERT_DETAILS_TAIL, childText),
  };
}

/** Recipient entries of GET_ORIGINAL/GET_SIGNED failures: `Recipients`/`Cert` with Num, SK, SN, IS. */
export function recipientEntries(data) {
  return children(child(data, 'Recipients'), 'Cert').map((c) => ({
    num: toInt(c.attrs.Num),
    serial: c.attrs.SK ?? '',
    sn: c.attrs.SN ?? '',
    issuerSN: c.attrs.IS ?? '',
    cert: bytesOrNull(c.text),
  }));
}

/** The `Results` list of the verification commands: code of each signature, by Num. */
export function verifyResults(data) {
  const out = [];
  for (const r of children(child(data, 'Results'), 'Result')) out[toInt(r.attrs.Num)] = toInt(r.text);
  return out;
}

const SIGNATURE_PARTS = [
  ['sigPolicy', 'SigPolicy'], ['sigPolicyURI', 'SigPolicyURI'], ['sigPolicyMessage', 'SigPolicyMessage'],
  ['cert', 'Cert'], ['signature', 'Signature'], ['timestamp', 'Timestamp'],
];

/** One signature's description (CTX_GET_CONTAINER_INFO's Data, or a `Sign` of CTX_GET_ORIGINAL). */
export function signatureInfo(e) {
  const info = { signingTime: childText(e, 'SigningTime') ?? '' };
  for (const [key, name] of SIGNATURE_PARTS) info[key] = bytesOrNull(childText(e, name));
  info.certs = bytesList(child(e, 'Certs'), 'Cert');
  info.crls = bytesList(child(e, 'CRLs'), 'CRL');
  info.ocsps = bytesList(child(e, 'OCSPs'), 'OCSP');
  return info;
}

/** The timestamp information element `Info`. */
export function timestampInfo(e) {
  return {
    status: toInt(childText(e, 'Status')),
    failInfo: toInt(childText(e, 'FailInfo')),
    hash: childText(e, 'Hash') ?? '',
    timeValue: childText(e, 'TimeValue') ?? '',
    cert: bytesOrNull(childText(e, 'Cert')),
  };
}

const OCSP_SUBJECT = [
  ['drfo', 'DRFO'], ['edrpou', 'EDRPOU'], ['name', 'Name'], ['orgNm', 'OrgNm'], ['email', 'Email'],
  ['title', 'Title'], ['postalCode', 'PostalCode'], ['obl', 'Obl'], ['rayon', 'Rayon'], ['adres', 'Adres'],
  ['tel', 'Tel'], ['sn', 'SN'], ['unitName', 'UnitName'], ['eddru', 'EDDRU'],
];

/** The OCSP information element `Info`. */
export function ocspInfo(e) {
  return {
    status: toInt(childText(e, 'Status')),
    producedAt: childText(e, 'ProducedAt') ?? '',
    signerKeyIdentifier: childText(e, 'SignerKeyIdentifier') ?? '',
    signerSubjectInfo: fields(child(e, 'SignerSubjectInfo'), OCSP_SUBJECT, childText),
    certs: children(child(e, 'Certs'), 'Cert').map((c) => {
      const revoked = child(c, 'RevocationDate');
      return {
        certId: childText(c, 'CertID') ?? '',
        status: toInt(childText(c, 'Status')),
        reason: toInt(childText(c, 'Reason')),
        revocationDate: revoked && revoked.attrs['xsi:nil'] !== 'true' ? revoked.text : null,
        thisUpdate: childText(c, 'ThisUpdate') ?? '',
      };
    }),
  };
}

/** `Response`, `WSAResponse` and `Info` of the network commands. */
export function networkAnswer(data, info) {
  const infoElement = child(data, 'Info');
  return {
    response: bytesOrNull(childText(data, 'Response')),
    wsaResponse: toInt(childText(data, 'WSAResponse')),
    info: infoElement ? info(infoElement) : null,
  };
}

const DONGLE = [
  ['providerName', 'ProviderName'], ['slotId', 'SlotId', 'i'], ['slotDescription', 'SlotDescription'],
  ['slotManufacturerID', 'SlotManufacturerID'], ['slotFlags', 'SlotFlags', 'i'],
  ['slotHardwareVersionMajor', 'SlotHardwareVersionMajor', 'i'], ['slotHardwareVersionMinor', 'SlotHardwareVersionMinor', 'i'],
  ['slotFirmwareVersionMajor', 'SlotFirmwareVersionMajor', 'i'], ['slotFirmwareVersionMinor', 'SlotFirmwareVersionMinor', 'i'],
  ['tokenLabel', 'TokenLabel'], ['tokenManufacturerID', 'TokenManufacturerID'], ['tokenModel', 'TokenModel'],
  ['tokenSerialNumber', 'TokenSerialNumber'], ['tokenFlags', 'TokenFlags', 'i'],
  ['tokenHardwareVersionMajor', 'TokenHardwareVersionMajor', 'i'], ['tokenHardwareVersionMinor', 'TokenHardwareVersionMinor', 'i'],
  ['tokenFirmwareVersionMajor', 'TokenFirmwareVersionMajor', 'i'], ['tokenFirmwareVersionMinor', 'TokenFirmwareVersionMinor', 'i'],
  ['maxPinLen', 'MaxPinLen', 'i'], ['minPinLen', 'MinPinLen', 'i'], ['stationary', 'Stationary', 'b'], ['tokenOID', 'TokenOID'],
];

function tokenKeys(e) {
  return children(e, 'Key').map((k) => ({
    id: k.attrs.Id ?? '', index: k.attrs.Index ?? '', label: k.attrs.Label ?? '',
    certs: children(k, 'Cert').map(certEntry),
  }));
}

/** A `Dongle` of DONGLES_LIST with its keys and named keys. */
export function dongle(e) {
  const d = fields(e, DONGLE, attrOf);
  d.keys = tokenKeys(e);
  d.namedKeys = children(child(e, 'NamedKeys'), 'NamedKey').map((n) => ({ name: n.attrs.Name ?? '', keys: tokenKeys(n) }));
  return d;
}

/** The `Signs` of CTX_GET_ORIGINAL. */
export function originalSigns(data) {
  return children(child(data, 'Signs'), 'Sign').map((s) => {
    const info = signatureInfo(s);
    const certInfo = child(s, 'CertInfo');
    let signer = null;
    if (certInfo) {
      signer = containerCert(certInfo);
      const ocsp = child(certInfo, 'OCSP');
      signer.ocsp = ocsp ? { code: toInt(childText(ocsp, 'Code')), ...networkAnswer(ocsp, ocspInfo) } : null;
    }
    return {
      num: toInt(s.attrs.Num),
      verifyResult: toInt(childText(s, 'VerifyResult')),
      verifyCertCode: toInt(childText(s, 'VerifyCertCode')),
      ...info,
      certInfo: signer,
    };
  });
}

export { toInt, isTrue };
