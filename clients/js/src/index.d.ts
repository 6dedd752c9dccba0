// Types of the ZelkorH client. Every command of the service has one method,
// named after the command in lower camel case (GET_CERT_FILES -> getCertFiles).
// Commands that take a document get (data, params?, options?), the others
// (params?, options?). Bytes travel as Uint8Array (an ArrayBuffer is accepted
// too); passwords and other texts as strings, which the client encodes.

/** Bytes given to the client. */
export type Bytes = Uint8Array | ArrayBuffer | ArrayBufferView;
/** Commands that take no parameters. */
export type NoParams = Record<string, never>;
/** A certificate of a listing, or its `ref` text (Base64 of its file path). */
export type CertRef = CertEntry | string;

export interface ClientOptions {
  /** Service addresses to try, in order. Default: https://127.0.0.1:20026, then http://127.0.0.1:19744. */
  urls?: string[];
  /** Transports to try for every address, in order. Default: fetch, then (in a browser) the exchange frame. */
  transports?: Array<'fetch' | 'frame'>;
  /** Refuse a service older than this version ("1.0.0.0"). */
  minVersion?: string;
  /** Time allowed for one command, in milliseconds (0: no limit). Default: 10 minutes. */
  timeoutMs?: number;
  /** Time allowed for one address while connecting. Default: 5 seconds. */
  connectTimeoutMs?: number;
  /** The fetch function to use. Default: globalThis.fetch. */
  fetch?: typeof fetch;
}

export interface Progress {
  /** 'upload': the request going out; 'download': the answer coming in. */
  phase: 'upload' | 'download';
  loaded: number;
  /** null when the size is not known. */
  total: number | null;
}

export interface CallOptions {
  /** Aborting closes the request; the service drops a command whose client has gone. */
  signal?: AbortSignal;
  timeoutMs?: number;
  /** Called as the request goes out and the answer comes in (fetch transport in a browser). */
  onProgress?: (progress: Progress) => void;
}

/** Why an address tried before the one that answered was passed over. */
export interface ConnectionDiagnostic {
  url: string;
  /** 'https-untrusted': this browser (or process) does not accept the service's certificate,
   * which browsers report as a CORS or network error. */
  reason: 'https-untrusted';
  message: string;
}

export interface ConnectionInfo {
  url: string;
  transport: 'fetch' | 'frame';
  /** The service's version, "major.minor.build.revision". */
  version: string;
  diagnostics: ConnectionDiagnostic[];
}

/** A parsed element of an answer. */
export interface XmlElement {
  name: string;
  attrs: Record<string, string>;
  children: XmlElement[];
  text: string;
}

/** A parsed answer envelope. */
export interface Envelope {
  /** The command the answer names; null in the bare envelope of codes 55 and 56. */
  command: string | null;
  code: number;
  message: string;
  cspCode: number | null;
  cspMessage: string | null;
  detailing: number | null;
  data: XmlElement;
  /** The answer as the service sent it. */
  text: string;
}

/** The service answered with a non-zero return code. `message` is the service's own (Ukrainian) message. */
export class ZelkorError extends Error {
  readonly name: 'ZelkorError';
  readonly command: string | null;
  readonly code: number;
  readonly cspCode: number | null;
  readonly cspMessage: string | null;
  /** Detail of the key search: 1 no key file, 2 wrong password, 3 key of another certificate. */
  readonly detailing: number | null;
  /** What a failed answer still carries (the recipients of an encrypted document, ...). */
  readonly details: unknown;
  readonly envelope: Envelope;
}

export type ConnectionFailure = 'unreachable' | 'http-status' | 'bad-answer' | 'timeout' | 'aborted' | 'version';

/** No usable answer: the service is not running, too old, or answered something else. */
export class ZelkorConnectionError extends Error {
  readonly name: 'ZelkorConnectionError';
  readonly reason: ConnectionFailure;
  readonly url: string | null;
  readonly status: number | null;
  readonly attempts: Array<{ url: string; transport: 'fetch' | 'frame'; error: unknown }>;
}

// ---- answer shapes -------------------------------------------------------

/** A certificate as listings show it. Times are the service's local time text "dd.mm.yyyy hh:mm:ss". */
export interface CertEntry {
  drfo: string;
  edrpou: string;
  name: string;
  orgNm: string;
  type: number;
  /** Pairs the certificate with its private key. */
  serial: string;
  issuer: string;
  issuerSN: string;
  sn: string;
  dateBeg: string;
  dateEnd: string;
  canCrypt: boolean;
  canSign: boolean;
  isQualified: boolean;
  isKeyInDevice: boolean;
  /** The certificate file's path. */
  path: string;
  /** The text that names this certificate in later commands (`cert` parameters). */
  ref: string;
}

interface CertFacts {
  drfo: string;
  edrpou: string;
  name: string;
  orgNm: string;
  issuer: string;
  email: string;
  title: string;
  postalCode: string;
  obl: string;
  rayon: string;
  adres: string;
  tel: string;
  sn: string;
  issuerSN: string;
  unitName: string;
  eddru: string;
  serial: string;
  type: number;
  dtBeg: string;
  dtEnd: string;
  canCrypt: boolean;
  canSign: boolean;
  isQualified: boolean;
  isKeyInDevice: boolean;
}

/** GET_INFO_CERT's description of one certificate. */
export interface CertDetails extends CertFacts {
  /** Extended key usage identifiers (dotted form). */
  extKeyUsage: string[];
}

/** A certificate as the signed-container commands describe it. */
export interface ContainerCert extends CertFacts {
  accessOCSP: string;
}

export interface KeyEntry {
  serial: string;
  certs: CertEntry[];
}

export interface RecipientEntry {
  num: number;
  serial: string;
  sn: string;
  issuerSN: string;
  cert: Uint8Array | null;
}

export interface SignatureInfo {
  signingTime: string;
  sigPolicy: Uint8Array | null;
  sigPolicyURI: Uint8Array | null;
  sigPolicyMessage: Uint8Array | null;
  cert: Uint8Array | null;
  signature: Uint8Array | null;
  timestamp: Uint8Array | null;
  certs: Uint8Array[];
  crls: Uint8Array[];
  ocsps: Uint8Array[];
}

export interface ContainerInfo extends SignatureInfo {
  content: Uint8Array | null;
  contentTimestamp: Uint8Array | null;
}

export interface TimestampInfo {
  status: number;
  failInfo: number;
  /** The message imprint, 64 hexadecimal digits. */
  hash: string;
  timeValue: string;
  cert: Uint8Array | null;
}

export interface OcspInfo {
  status: number;
  producedAt: string;
  signerKeyIdentifier: string;
  signerSubjectInfo: {
    drfo: string; edrpou: string; name: string; orgNm: string; email: string; title: string; postalCode: string;
    obl: string; rayon: string; adres: string; tel: string; sn: string; unitName: string; eddru: string;
  };
  certs: Array<{ certId: string; status: number; reason: number; revocationDate: string | null; thisUpdate: string }>;
}

export interface NetworkAnswer<Info> {
  response: Uint8Array | null;
  wsaResponse: number;
  info: Info | null;
}

export interface OriginalSign extends SignatureInfo {
  num: number;
  verifyResult: number | null;
  verifyCertCode: number | null;
  certInfo: (ContainerCert & { ocsp: (NetworkAnswer<OcspInfo> & { code: number }) | null }) | null;
}

export interface CtxOriginal {
  signed: Uint8Array | null;
  content: Uint8Array | null;
  contentTimestamp: Uint8Array | null;
  signs: OriginalSign[];
  decrypted: Uint8Array | null;
  recipients: ContainerCert[];
}

export interface TokenKey {
  id: string;
  index: string;
  label: string;
  certs: CertEntry[];
}

export interface Dongle {
  providerName: string;
  slotId: number;
  slotDescription: string;
  slotManufacturerID: string;
  slotFlags: number;
  slotHardwareVersionMajor: number;
  slotHardwareVersionMinor: number;
  slotFirmwareVersionMajor: number;
  slotFirmwareVersionMinor: number;
  tokenLabel: string;
  tokenManufacturerID: string;
  tokenModel: string;
  tokenSerialNumber: string;
  tokenFlags: number;
  tokenHardwareVersionMajor: number;
  tokenHardwareVersionMinor: number;
  tokenFirmwareVersionMajor: number;
  tokenFirmwareVersionMinor: number;
  maxPinLen: number;
  minPinLen: number;
  /** A token that holds named keys. */
  stationary: boolean;
  tokenOID: string;
  keys: TokenKey[];
  namedKeys: Array<{ name: string; keys: TokenKey[] }>;
}

// ---- parameters ----------------------------------------------------------

/** Who signs: a listed certificate (drfo, serial, type), key bytes from the page, or a hardware token. */
export interface KeySource {
  /** DRFO or EDRPOU of the certificate's owner. */
  drfo?: string;
  /** Certificate type; -1 or absent: any. */
  type?: number;
  /** The certificate's `serial` (pairs it with its key). */
  serial?: string;
  /** The key's password (for a token: the PIN, or "PIN\r\nkey password"). */
  pass?: string;
  /** Keep the password in the service's memory, so later commands may send an empty one. */
  preserve?: boolean;
  senderCert?: Bytes;
  senderSK?: Bytes;
  dongleProviderName?: string;
  dongleSlotId?: number;
}

export interface SignerParams extends KeySource {
  /** The provider's crypto library: "QLB", "USC" or "UA1". */
  lib?: string;
}

export interface RecipientParams {
  drfo?: string;
  type?: number;
  serial?: string;
  pass?: string;
  preserve?: boolean;
  senderCert?: Bytes;
  recipientCert?: Bytes;
  recipientSK?: Bytes;
  dongleProviderName?: string;
  dongleSlotId?: number;
}

export interface CertFilter {
  edrpou?: string;
  drfo?: string;
  serial?: string;
  issuerSN?: string;
  sn?: string;
  types?: number[];
  keyUsage?: number;
  extKeyUsage?: number;
  /** false hides expired certificates (default true). */
  exceeded?: boolean;
}

export interface HostParams {
  host?: { address?: string; port?: number; timeout?: number };
  proxy?: { address?: string; port?: string | number; user?: string; password?: string };
}

export interface CertSource {
  drfo?: string;
  type?: number;
  serial?: string;
  senderCert?: Bytes;
}

export interface AdditionalAttributes {
  additional?: {
    contentTimestamp?: Bytes;
    /** A Date (written in local time) or the text "dd.mm.yyyy hh:mm:ss". */
    signingTime?: Date | string;
    sigPolicy?: Bytes;
    sigPolicyURI?: Bytes;
    sigPolicyMessage?: Bytes;
  };
}

export interface Subject {
  signingSchema?: number;
  edrpou?: string;
  drfo?: string;
  name?: string;
  email?: string;
  title?: string;
  postalCode?: string;
  obl?: string;
  rayon?: string;
  adres?: string;
  tel?: string;
  qualifier?: string;
  surname?: string;
  givenName?: string;
  serialNumber?: string;
  organizationName?: string;
  organizationalUnitName?: string;
  eddru?: string;
  keyUsage?: number;
  extKeyUsage?: number;
  isQualified?: boolean;
  isKeyInDevice?: boolean;
  currencyCode?: string;
  transactionLimit?: { amount?: number; exponent?: number };
  extKeyUsageExt?: string[];
}

export interface TokenParams {
  providerName: string;
  slotId?: number;
}

// ---- the client ----------------------------------------------------------

export const DEFAULT_URLS: readonly string[];
export const MIN_SERVICE_VERSION: string;
/** Every command name, in the service's order. */
export const COMMAND_NAMES: readonly string[];
/** GET_CERT_FILES -> getCertFiles. */
export function methodName(command: string): string;
export function parseVersion(text: string): [number, number, number, number] | null;
export function compareVersions(a: string, b: string): number;
/** The service's time text as a Date (local time); null when empty. */
export function parseServiceTime(text: string): Date | null;
/** A Date as the service's time text "dd.mm.yyyy hh:mm:ss" (local time). */
export function formatTime(date: Date): string;
export function bytesToBase64(bytes: Bytes): string;
export function base64ToBytes(text: string): Uint8Array;

export class ZelkorClient {
  constructor(options?: ClientOptions);
  readonly urls: string[];
  readonly transports: Array<'fetch' | 'frame'>;
  readonly minVersion: string;

  /** Finds the service and checks its version; commands do this by themselves when needed. */
  connect(options?: { signal?: AbortSignal }): Promise<ConnectionInfo>;
  /** Forgets the connection (removing the exchange frame); the next command connects again. */
  close(): void;
  /** Sends a ready request document; resolves to the envelope whatever its code. */
  send(xml: string, options?: CallOptions): Promise<Envelope>;
  /** Runs a command by its name with the parameters its method takes. */
  call(command: string, params?: object, data?: unknown, options?: CallOptions): Promise<unknown>;

  // service
  getVersion(params?: { ocspServers?: Array<{ issuerSN: string; address: string }> }, options?: CallOptions): Promise<{ version: string; isDll: boolean }>;
  /** What the automatic update knows: isNew once a newer version was found and is not installed yet;
   * lastRun is a service time text ("dd.mm.yyyy hh:mm:ss"), null before the first run. */
  getUpdateInfo(params?: NoParams, options?: CallOptions): Promise<{
    isNew: boolean; autoUpdate: boolean; restarting: boolean; lastRun: string | null; lastRunOk: boolean;
  }>;
  /** Pages cannot start an update: the service answers code 50. */
  doUpdate(params?: NoParams, options?: CallOptions): Promise<void>;
  onload(params?: NoParams, options?: CallOptions): Promise<void>;
  /** The service has no hosting process: it answers code 50. */
  parentXchg(data: Bytes, params?: NoParams, options?: CallOptions): Promise<Uint8Array | null>;
  keyFolder(params: { keyFolder: string }, options?: CallOptions): Promise<void>;
  selectKeyFolder(params?: NoParams, options?: CallOptions): Promise<void>;

  // certificates and keys
  getCertFiles(params?: CertFilter & { pass?: string; preserve?: boolean }, options?: CallOptions): Promise<CertEntry[]>;
  getSkFiles(params?: { keyUsage?: number; extKeyUsage?: number; exceeded?: boolean; types?: number[]; excludeKeysWithFilteredCerts?: boolean; pass?: string }, options?: CallOptions): Promise<KeyEntry[]>;
  checkCertKey(params: { cert: CertRef; pass: string; preserve?: boolean; lib?: string }, options?: CallOptions): Promise<void>;
  changeKeyPass(params: { cert: CertRef; oldPass: string; newPass: string; lib?: string }, options?: CallOptions): Promise<void>;
  getSubjKeyId(params: { sk: Bytes; pass?: string }, options?: CallOptions): Promise<{ id1: string | null; id2: string | null }>;
  /** The certificate file's bytes. */
  getCert(params: { cert?: CertRef; serial?: string; issuerSN?: string; sn?: string }, options?: CallOptions): Promise<Uint8Array>;
  getInfoCert(params: { certBlk?: Bytes; cert?: CertRef; serial?: string; issuerSN?: string; sn?: string }, options?: CallOptions): Promise<CertDetails>;
  saveCert(params: { certBlk?: Bytes[]; certUrl?: string[] }, options?: CallOptions): Promise<void>;
  genCertifRequest(params: { pass: string; subject1: Subject; subject2?: Subject; dongleProviderName?: string; dongleSlotId?: number }, options?: CallOptions): Promise<{
    privateKey: Uint8Array | null;
    request1: { subjectKeyIdentifier: string; request: Uint8Array } | null;
    request2: { subjectKeyIdentifier: string; request: Uint8Array } | null;
  }>;

  // signing and encryption
  /** CMS SignedData with the document inside. */
  setSign(data: Bytes, params: SignerParams, options?: CallOptions): Promise<Uint8Array>;
  /** A detached signature of the document. */
  setExternalSign(data: Bytes, params: KeySource, options?: CallOptions): Promise<Uint8Array>;
  /** Checks a detached signature of data; rejects with ZelkorError when it does not hold. */
  checkExternalSign(data: Bytes, params: { sign: Bytes; returnSigns?: boolean }, options?: CallOptions): Promise<{ signerCert: Uint8Array | null }>;
  /** Encrypts for the recipients' certificates, signed by the sender. */
  encrypt(data: Bytes, params: SignerParams & { certs: Bytes[] }, options?: CallOptions): Promise<Uint8Array>;
  /** Opens a protected document. A failure on a document for others carries `details.recipients`. */
  getOriginal(data: Bytes, params?: RecipientParams & { toUTF8?: boolean; returnSigns?: boolean }, options?: CallOptions): Promise<{ original: Uint8Array; signerCerts: Uint8Array[] }>;
  getSigned(data: Bytes, params?: RecipientParams & { keepTransHd?: boolean }, options?: CallOptions): Promise<Uint8Array>;
  clean(params?: { edrpou?: string; drfo?: string }, options?: CallOptions): Promise<void>;
  /** dir 1 encrypts, 0 decrypts. */
  symmetric(data: Bytes, params: { dir: 0 | 1; key: Bytes; seed?: Bytes }, options?: CallOptions): Promise<Uint8Array>;
  getRandom(params: { length: number }, options?: CallOptions): Promise<Uint8Array>;

  // local data
  /** Keeps one text; null or "" removes it. */
  saveData(data: string | null, params?: NoParams, options?: CallOptions): Promise<void>;
  loadData(params?: NoParams, options?: CallOptions): Promise<string>;
  savePassword(params: { pass: string }, options?: CallOptions): Promise<void>;
  /** The saved text, or null when none is saved. */
  retrievePassword(params?: NoParams, options?: CallOptions): Promise<string | null>;
  cleanPassword(params?: NoParams, options?: CallOptions): Promise<void>;
  /** Runs SQL against a local database; `key` makes it a protected one. Fields: text, or null for NULL (BLOBs as Base64). */
  dbCommand(params: { base: string; query: string; key?: string }, options?: CallOptions): Promise<{ base: string; rows: Array<Record<string, string | null>> }>;
  /** Deletes one database, or every one for "all". */
  dbDrop(params: { base: string }, options?: CallOptions): Promise<void>;

  // signed containers
  ctxCreateContainer(data: Bytes, params: KeySource & AdditionalAttributes & { storeContent?: boolean }, options?: CallOptions): Promise<Uint8Array>;
  ctxAddSignature(data: Bytes, params: KeySource & AdditionalAttributes & { content?: Bytes }, options?: CallOptions): Promise<Uint8Array>;
  ctxRemoveSignature(data: Bytes, params: { signIndex: number; options?: number }, options?: CallOptions): Promise<Uint8Array>;
  ctxRemoveContent(data: Bytes, params?: NoParams, options?: CallOptions): Promise<Uint8Array>;
  ctxAddContent(data: Bytes, params: { content: Bytes }, options?: CallOptions): Promise<Uint8Array>;
  ctxMergeContainer(params: { containers: Bytes[]; checkHash?: boolean }, options?: CallOptions): Promise<Uint8Array>;
  ctxGetContainerInfo(data: Bytes, params: { signIndex: number; skipContent?: boolean }, options?: CallOptions): Promise<ContainerInfo>;
  /** The verification code of every signature, by index (0: good). */
  ctxVerifySigns(data: Bytes, params?: NoParams, options?: CallOptions): Promise<number[]>;
  ctxVerifyExternalSigns(data: Bytes, params: { content: Bytes }, options?: CallOptions): Promise<number[]>;
  ctxGetSignerCert(data: Bytes, params: { certIndex: number }, options?: CallOptions): Promise<Uint8Array>;
  ctxVerifyCertSign(data: Bytes, params?: { issuerCert?: Bytes }, options?: CallOptions): Promise<void>;
  ctxGetHash(data: Bytes, params?: CertSource & { hashAlgOID?: string }, options?: CallOptions): Promise<Uint8Array>;
  ctxEncrypt(data: Bytes, params: KeySource & { certs: Bytes[] }, options?: CallOptions): Promise<Uint8Array>;
  ctxDecrypt(data: Bytes, params?: RecipientParams, options?: CallOptions): Promise<Uint8Array>;
  /** 0 not recognised, 1 signed container, 2 encrypted envelope. */
  ctxGetEnvelopeType(data: Bytes, params?: NoParams, options?: CallOptions): Promise<number>;
  ctxGetSenderCert(data: Bytes, params: { certIndex: number }, options?: CallOptions): Promise<Uint8Array>;
  ctxGetRecipients(data: Bytes, params?: NoParams, options?: CallOptions): Promise<ContainerCert[]>;
  /** Opens an envelope or a signed container. A failure (code 10, ...) carries a CtxOriginal in `details`. */
  ctxGetOriginal(data: Bytes, params?: RecipientParams & {
    acquireDecrypted?: boolean;
    acquireSigned?: boolean;
    ocsp?: KeySource & { enabled?: boolean; timeout?: number; proxy?: HostParams['proxy'] };
  }, options?: CallOptions): Promise<CtxOriginal>;
  ctxRequestTimestamp(data: Bytes, params: CertSource & HostParams, options?: CallOptions): Promise<NetworkAnswer<TimestampInfo>>;
  ctxAddTimestamp(data: Bytes, params: CertSource & HostParams & { signIndex: number }, options?: CallOptions): Promise<NetworkAnswer<TimestampInfo>>;
  ctxGetTimestampInfo(data: Bytes, params?: NoParams, options?: CallOptions): Promise<TimestampInfo>;
  ctxRequestOcsp(params: KeySource & HostParams & { certs: Bytes[] }, options?: CallOptions): Promise<NetworkAnswer<OcspInfo>>;
  ctxGetOcspInfo(data: Bytes, params?: NoParams, options?: CallOptions): Promise<OcspInfo>;
  ctxRequestCmp(params: HostParams & { subjectKeyId1: string; subjectKeyId2?: string; acquireChain?: boolean }, options?: CallOptions): Promise<{ wsaResponse: number; certs: Uint8Array[] }>;
  ctxAddCompleteinfo(data: Bytes, params: { signIndex: number; objects: Array<{ cert: Bytes; crls?: Bytes[]; ocsps?: Bytes[] }> }, options?: CallOptions): Promise<Uint8Array>;
  ctxGetJksCerts(data: Bytes, params?: { onlyUserCerts?: boolean }, options?: CallOptions): Promise<Array<ContainerCert & { data: Uint8Array }>>;
  ctxGetJksKeys(data: Bytes, params?: Omit<CertFilter, 'types' | 'keyUsage' | 'extKeyUsage'> & { pass?: string; preserve?: boolean; certs?: Bytes[] }, options?: CallOptions): Promise<{
    keys: Array<{ key: Uint8Array; serial1: string | null; serial2: string | null }>;
    unprocessed: string[];
  }>;

  // hardware key tokens
  donglesList(params?: { keys?: boolean; namedKeys?: boolean }, options?: CallOptions): Promise<Dongle[]>;
  donglesInit(params: TokenParams & { adminPass: string; userPass?: string; label?: string }, options?: CallOptions): Promise<void>;
  donglesChangePass(params: TokenParams & { oldPass: string; newPass: string; namedKeyDevicePass?: string; namedKeyName?: string; namedKeySubjectKeyId?: string }, options?: CallOptions): Promise<void>;
  donglesUnlock(params: TokenParams & { adminPass: string; userPass?: string }, options?: CallOptions): Promise<void>;
  donglesKeySetLabel(params: TokenParams & { pass: string; keyId: string; label: string }, options?: CallOptions): Promise<void>;
  donglesKeyDelete(params: TokenParams & { pass: string; keyId: string }, options?: CallOptions): Promise<void>;
  /** The names of the token's files. */
  donglesFilesEnum(params: TokenParams & { pass: string }, options?: CallOptions): Promise<string[]>;
  donglesFileGet(params: TokenParams & { pass: string; fileName: string }, options?: CallOptions): Promise<Uint8Array>;
  /** Writes a token file; null writes it empty. */
  donglesFileSet(data: Bytes | null, params: TokenParams & { pass: string; fileName: string }, options?: CallOptions): Promise<void>;
}
