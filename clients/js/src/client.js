// The client: finds the running service, sends commands and reads answers.
import { COMMANDS, methodName } from './commands.js';
import { parseEnvelope, requestXml } from './envelope.js';
import { ZelkorConnectionError, ZelkorError } from './errors.js';
import { buildParams, encodeData } from './params.js';
import { FetchTransport, FrameTransport, deadline } from './transport.js';

/** Where the service listens by default: HTTPS first, then plain HTTP. */
export const DEFAULT_URLS = Object.freeze(['https://127.0.0.1:20026', 'http://127.0.0.1:19744']);
/** The oldest service version this client speaks to. */
export const MIN_SERVICE_VERSION = '1.0.0.0';

/** "1.2.3.4" -> [1, 2, 3, 4]; null for anything else. */
export function parseVersion(text) {
  const parts = /^\d+(\.\d+){0,3}$/.test(text ?? '') ? text.split('.').map(Number) : null;
  if (!parts) return null;
  while (parts.length < 4) parts.push(0);
  return parts;
}

/** Negative, zero or positive as version a is older than, equal to or newer than b. */
export function compareVersions(a, b) {
  const x = parseVersion(a), y = parseVersion(b);
  if (!x || !y) throw new TypeError(`not a version: ${x ? b : a}`);
  for (let i = 0; i < 4; i++) if (x[i] !== y[i]) return x[i] - y[i];
  return 0;
}

const PROBE = requestXml('GET_VERSION', null, null);
// What Node's TLS reports for a certificate it does not accept.
const TLS_REFUSALS = new Set(['UNABLE_TO_VERIFY_LEAF_SIGNATURE', 'SELF_SIGNED_CERT_IN_CHAIN', 'DEPTH_ZERO_SELF_SIGNED_CERT',
  'UNABLE_TO_GET_ISSUER_CERT_LOCALLY', 'UNABLE_TO_GET_ISSUER_CERT', 'CERT_UNTRUSTED', 'CERT_HAS_EXPIRED',
  'CERT_SIGNATURE_FAILURE', 'ERR_TLS_CERT_ALTNAME_INVALID']);
const ROWS = new Map(COMMANDS.map(([command, row]) => [command, row]));

export class ZelkorClient {
  /**
   * @param {object} [options]
   * @param {string[]} [options.urls] service addresses to try, in order (default: HTTPS then HTTP on 127.0.0.1)
   * @param {('fetch'|'frame')[]} [options.transports] transports to try for every address, in order
   *   (default: fetch, then the exchange frame in a browser)
   * @param {string} [options.minVersion] refuse services older than this
   * @param {number} [options.timeoutMs] time allowed for one command (0: no limit)
   * @param {number} [options.connectTimeoutMs] time allowed for one address while connecting
   * @param {typeof fetch} [options.fetch] the fetch function to use
   */
  constructor(options = {}) {
    const browser = typeof document !== 'undefined';
    this.urls = (options.urls ?? DEFAULT_URLS).map((u) => String(u).replace(/\/+$/, ''));
    this.transports = options.transports ?? (browser ? ['fetch', 'frame'] : ['fetch']);
    this.minVersion = options.minVersion ?? MIN_SERVICE_VERSION;
    this.timeoutMs = options.timeoutMs ?? 10 * 60 * 1000;
    this.connectTimeoutMs = options.connectTimeoutMs ?? 5000;
    this.fetch = options.fetch ?? globalThis.fetch?.bind(globalThis);
    for (const t of this.transports) {
      if (t !== 'fetch' && t !== 'frame') throw new TypeError(`unknown transport ${t}`);
    }
    if (!parseVersion(this.minVersion)) throw new TypeError(`not a version: ${this.minVersion}`);
    this.linking = null;  // promise of {transport, info} while connecting or connected
    this.found = null;    // its value once connected
  }

  /**
   * Finds the service: tries every transport on every address in order, asks
   * GET_VERSION and checks the version. Resolves to {url, transport, version,
   * diagnostics}: diagnostics tell why HTTPS addresses tried first were passed over.
   * Commands connect by themselves; call this to learn early whether the service runs.
   */
  async connect({ signal } = {}) {
    return (await this.link(signal)).info;
  }

  // The one discovery in progress (or its result) shared by every caller; a
  // caller's signal ends its own wait, not the discovery others wait for.
  link(signal) {
    if (!this.linking) {
      const linking = this.discover().then((found) => {
        // A discovery that close() abandoned still serves the commands that waited for it.
        if (this.linking === linking) this.found = found;
        return found;
      });
      this.linking = linking;
      linking.catch(() => { if (this.linking === linking) this.linking = null; });
    }
    return abortable(this.linking, signal);
  }

  async discover() {
    const attempts = [];
    for (const kind of this.transports) {
      for (const url of this.urls) {
        let transport;
        try {
          transport = kind === 'fetch' ? new FetchTransport(url, this.fetch) : new FrameTransport(url, this.connectTimeoutMs);
          const envelope = parseAnswer(await transport.send(PROBE, this.connectTimeoutMs), url);
          const version = envelope.data.children.find((c) => c.name === 'Version')?.text ?? '';
          if (envelope.code !== 0 || envelope.command !== 'GET_VERSION' || !parseVersion(version)) {
            throw new ZelkorConnectionError(`${url} is not a ZelkorH service`, { reason: 'bad-answer', url });
          }
          if (compareVersions(version, this.minVersion) < 0) {
            throw new ZelkorConnectionError(`the ZelkorH service at ${url} is version ${version}; this page needs ${this.minVersion} or newer`,
              { reason: 'version', url, attempts });
          }
          const diagnostics = kind === 'fetch' ? await this.diagnose(attempts, url) : [];
          for (const note of diagnostics) if (typeof document !== 'undefined') console.warn(`ZelkorH: ${note.message}`);
          return { transport, info: { url, transport: kind, version, diagnostics } };
        } catch (error) {
          transport?.close();
          if (error?.reason === 'version') throw error;
          attempts.push({ url, transport: kind, error });
        }
      }
    }
    throw new ZelkorConnectionError(`the ZelkorH service is not running or cannot be reached (tried ${attempts.map((a) => `${a.transport} ${a.url}`).join(', ')})`,
      { reason: 'unreachable', attempts });
  }

  /**
   * Why HTTPS addresses fetched before the one that answered by fetch (on the
   * same host) failed, where that can be told: a certificate this browser or
   * process does not trust. Browsers show such a failure as a CORS or network
   * error, which misleads; the page gets {url, reason: 'https-untrusted', message}.
   */
  async diagnose(attempts, answered) {
    const host = new URL(answered).hostname;
    const notes = [];
    for (const { url, transport, error } of attempts) {
      const target = new URL(url);
      if (transport !== 'fetch' || url === answered || target.protocol !== 'https:' || target.hostname !== host
        || error?.reason !== 'unreachable') continue;
      if (notes.some((n) => n.url === url) || !(await this.tlsRefused(url, error))) continue;
      const who = typeof document !== 'undefined' ? 'this browser' : 'this process';
      const fellBack = new URL(answered).protocol === 'http:' ? `fell back to HTTP (${answered})` : `used ${answered}`;
      notes.push({ url, reason: 'https-untrusted', message: `HTTPS (${url}) was not trusted by ${who}: it does not `
        + `trust the service's local CA${who === 'this browser' ? ' (the browser reports this as a CORS or network error)' : ''}`
        + `, or the service's HTTPS port is off; ${fellBack}` });
    }
    return notes;
  }

  // Whether the connection to url itself failed in TLS. Node names the
  // certificate error; a browser does not, so the address is asked again
  // without CORS: a certificate it refuses fails that too, a CORS refusal does not.
  async tlsRefused(url, error) {
    for (let e = error, depth = 0; e && depth < 6; e = e.cause, depth++) {
      if (typeof e.code === 'string' && TLS_REFUSALS.has(e.code)) return true;
    }
    if (typeof document === 'undefined' || !this.fetch) return false;
    const d = deadline(this.connectTimeoutMs);
    try {
      await this.fetch(`${url}/empty.html`, { mode: 'no-cors', credentials: 'omit', cache: 'no-store', signal: d.signal });
      return false;
    } catch {
      return !d.timedOut();
    } finally {
      d.done();
    }
  }

  /** Forgets the connection (and removes the exchange frame); the next command connects again. */
  close() {
    const found = this.found;
    this.found = null;
    this.linking = null;
    found?.transport.close();
  }

  /**
   * Sends a ready request document and returns the parsed answer envelope,
   * whatever its code: {command, code, message, cspCode, cspMessage, detailing, data, text}.
   * Options: signal (aborting closes the request: the service drops the command),
   * timeoutMs, onProgress({phase: 'upload'|'download', loaded, total}) where the
   * browser tells (fetch transport).
   */
  async send(xml, { signal, timeoutMs, onProgress } = {}) {
    const { transport } = await this.link(signal);
    let text;
    try {
      text = await transport.send(xml, timeoutMs ?? this.timeoutMs, signal, onProgress);
    } catch (error) {
      // The service may have stopped or moved: find it again on the next command.
      if (error.reason === 'unreachable') this.forget(transport);
      throw error;
    }
    return parseAnswer(text, transport.url);
  }

  // Drops the connection when it still is the one over transport (another
  // command may have found the service again meanwhile).
  forget(transport) {
    if (this.found?.transport === transport) this.close();
  }

  /**
   * Runs command (its name from the command table) with params (an object as
   * the command's method takes it) and data; resolves to the command's answer
   * and rejects with ZelkorError when the service answers a non-zero code.
   */
  async call(command, params, data, options) {
    const row = ROWS.get(command);
    if (!row) throw new TypeError(`unknown command ${command}`);
    if (!row.params && params != null && Object.keys(params).length) throw new TypeError(`${command} takes no parameters`);
    const paramsXml = row.params ? buildParams(row.params, { ...row.defaults, ...(params ?? {}) }) : null;
    let dataXml = null;
    if (row.data && !(row.dataOptional && (data === null || data === undefined))) dataXml = encodeData(row.data, data);
    const envelope = await this.send(requestXml(command, paramsXml, dataXml), options);
    try {
      if (envelope.code === 0) return row.parse(envelope.data, envelope);
      if (row.codes && envelope.code in row.codes) return row.codes[envelope.code];
    } catch (error) {
      throw new ZelkorConnectionError(`the answer to ${command} could not be read`, { reason: 'bad-answer', cause: error });
    }
    let details = null;
    try { details = row.failure && envelope.command ? row.failure(envelope.data, envelope) : null; } catch { details = null; }
    throw new ZelkorError(envelope, details);
  }
}

/** Rejects with reason 'aborted' as soon as signal fires, else settles as promise does. */
function abortable(promise, signal) {
  if (!signal) return promise;
  const aborted = () => new ZelkorConnectionError('the request was aborted', { reason: 'aborted', cause: signal.reason });
  if (signal.aborted) return Promise.reject(aborted());
  return new Promise((resolve, reject) => {
    const onAbort = () => reject(aborted());
    signal.addEventListener('abort', onAbort, { once: true });
    promise.then(resolve, reject).finally(() => signal.removeEventListener('abort', onAbort));
  });
}

function parseAnswer(text, url) {
  try {
    return parseEnvelope(text);
  } catch (error) {
    throw new ZelkorConnectionError(`${url} answered with something other than a ZelkorH envelope`, { reason: 'bad-answer', url, cause: error });
  }
}

// One method per command: commands that take Data get (data, params, options),
// the others (params, options).
for (const [command, row] of COMMANDS) {
  const name = methodName(command);
  const method = row.data
    ? function (data, params, options) { return this.call(command, params, data, options); }
    : function (params, options) { return this.call(command, params, undefined, options); };
  Object.defineProperty(method, 'name', { value: name });
  Object.defineProperty(ZelkorClient.prototype, name, { value: method, writable: true, configurable: true });
}
