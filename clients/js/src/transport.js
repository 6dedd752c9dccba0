// How a request document reaches the service: fetch() straight to the
// service's port, or through the exchange frame (/xchgframe.html in an iframe,
// spoken to with postMessage) for pages that cannot fetch it themselves.
import { base64ToText, bytesToBase64, utf8Encode } from './bytes.js';
import { ZelkorConnectionError } from './errors.js';

/**
 * An AbortSignal that fires on the caller's signal or after timeoutMs.
 * Returns {signal, done(): void, timedOut(): boolean}.
 */
export function deadline(timeoutMs, outer) {
  const controller = new AbortController();
  let expired = false;
  const onAbort = () => controller.abort(outer.reason);
  if (outer) {
    if (outer.aborted) controller.abort(outer.reason);
    else outer.addEventListener('abort', onAbort, { once: true });
  }
  const timer = timeoutMs > 0 ? setTimeout(() => { expired = true; controller.abort(); }, timeoutMs) : null;
  return {
    signal: controller.signal,
    done() { if (timer) clearTimeout(timer); outer?.removeEventListener('abort', onAbort); },
    timedOut: () => expired,
  };
}

function stopped(url, d, cause) {
  return d.timedOut()
    ? new ZelkorConnectionError(`no answer from ${url} in time`, { reason: 'timeout', url, cause })
    : new ZelkorConnectionError(`the request to ${url} was aborted`, { reason: 'aborted', url, cause });
}

/** POSTs the page form (data, nativedata=1, encodeOutput=0) and returns the envelope text. */
export class FetchTransport {
  constructor(url, fetchImpl) {
    this.url = url;
    this.kind = 'fetch';
    this.fetch = fetchImpl;
  }

  /**
   * onProgress({phase: 'upload'|'download', loaded, total}) is called while the
   * request goes out and the answer comes in, where the platform tells
   * (XMLHttpRequest in browsers); total is null when unknown.
   */
  async send(xml, timeoutMs, signal, onProgress) {
    // The flags follow the data: the service takes the data value up to the end of the body.
    const body = 'data=' + encodeURIComponent(bytesToBase64(utf8Encode(xml))) + '&nativedata=1&encodeOutput=0';
    const d = deadline(timeoutMs, signal);
    try {
      const { status, text } = onProgress && typeof XMLHttpRequest === 'function'
        ? await postWatched(this.url, body, d.signal, onProgress)
        : await this.post(body, d.signal);
      if (status !== 200) {
        throw new ZelkorConnectionError(`${this.url} answered HTTP ${status}`,
          { reason: 'http-status', url: this.url, status });
      }
      return text;
    } catch (error) {
      if (error instanceof ZelkorConnectionError) throw error;
      if (d.signal.aborted) throw stopped(this.url, d, error);
      throw new ZelkorConnectionError(`cannot reach ${this.url}`, { reason: 'unreachable', url: this.url, cause: error });
    } finally {
      d.done();
    }
  }

  async post(body, signal) {
    const response = await this.fetch(`${this.url}/`, {
      method: 'POST',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
      body,
      signal,
      credentials: 'omit',
      cache: 'no-store',
    });
    return { status: response.status, text: await response.text() };
  }

  close() {}
}

// The same POST through XMLHttpRequest, whose events tell how far the body
// went out and the answer came in (fetch tells neither). Watching the upload
// makes the browser ask the service first (a CORS preflight).
function postWatched(url, body, signal, onProgress) {
  return new Promise((resolve, reject) => {
    const xhr = new XMLHttpRequest();
    const report = (phase) => (event) => {
      try {
        onProgress({ phase, loaded: event.loaded, total: event.lengthComputable ? event.total : null });
      } catch { /* the page's callback does not decide the request */ }
    };
    const onAbort = () => xhr.abort();
    xhr.open('POST', `${url}/`);
    xhr.setRequestHeader('Content-Type', 'application/x-www-form-urlencoded');
    xhr.upload.addEventListener('progress', report('upload'));
    xhr.upload.addEventListener('load', report('upload'));
    xhr.addEventListener('progress', report('download'));
    xhr.addEventListener('loadend', () => signal.removeEventListener('abort', onAbort));
    xhr.addEventListener('load', () => resolve({ status: xhr.status, text: xhr.responseText }));
    xhr.addEventListener('error', () => reject(new TypeError('network error')));
    xhr.addEventListener('abort', () => reject(new DOMException('the request was aborted', 'AbortError')));
    if (signal.aborted) return reject(new DOMException('the request was aborted', 'AbortError'));
    signal.addEventListener('abort', onAbort, { once: true });
    xhr.send(body);
  });
}

let frameCounter = 0;

/** The exchange frame of one service address, in a hidden iframe of this page. */
export class FrameTransport {
  constructor(url, loadTimeoutMs) {
    if (typeof document === 'undefined' || typeof window === 'undefined') {
      throw new ZelkorConnectionError('the exchange frame needs a browser page', { reason: 'unreachable', url });
    }
    this.url = url;
    this.kind = 'frame';
    this.origin = new URL(url).origin;
    this.prefix = `zk${Date.now().toString(36)}-${++frameCounter}-`;
    this.counter = 0;
    this.pending = new Map();
    this.loadTimeoutMs = loadTimeoutMs;
    this.onMessage = (event) => this.receive(event);
    this.ready = null;
  }

  load() {
    if (this.ready) return this.ready;
    this.ready = new Promise((resolve, reject) => {
      const iframe = document.createElement('iframe');
      iframe.style.display = 'none';
      iframe.title = 'ZelkorH exchange frame';
      const timer = setTimeout(() => {
        reject(new ZelkorConnectionError(`the exchange frame of ${this.url} did not load`, { reason: 'timeout', url: this.url }));
      }, this.loadTimeoutMs);
      iframe.addEventListener('load', () => { clearTimeout(timer); resolve(); }, { once: true });
      iframe.src = `${this.url}/xchgframe.html`;
      this.iframe = iframe;
      window.addEventListener('message', this.onMessage);
      (document.body ?? document.documentElement).appendChild(iframe);
    });
    this.ready.catch(() => this.close());
    return this.ready;
  }

  receive(event) {
    // Only the frame itself answers; anything else on the page's message channel is not ours.
    if (!this.iframe || event.source !== this.iframe.contentWindow || event.origin !== this.origin) return;
    let answer;
    try { answer = typeof event.data === 'string' ? JSON.parse(event.data) : event.data; } catch { return; }
    const waiter = answer && this.pending.get(String(answer.reqid));
    if (!waiter) return;
    this.pending.delete(String(answer.reqid));
    if (answer.success === true && typeof answer.data === 'string') {
      try { waiter.resolve(base64ToText(answer.data)); } catch (error) {
        waiter.reject(new ZelkorConnectionError('the exchange frame sent an answer that is not Base64', { reason: 'bad-answer', url: this.url, cause: error }));
      }
    } else {
      waiter.reject(new ZelkorConnectionError(`the exchange frame could not reach ${this.url}: ${answer.status ?? ''} ${answer.error ?? ''}`.trim(),
        { reason: 'unreachable', url: this.url }));
    }
  }

  async send(xml, timeoutMs, signal) {  // no progress: the frame tells only the outcome
    await this.load();
    const reqid = this.prefix + (++this.counter);
    const d = deadline(timeoutMs, signal);
    try {
      return await new Promise((resolve, reject) => {
        this.pending.set(reqid, { resolve, reject });
        d.signal.addEventListener('abort', () => { this.pending.delete(reqid); reject(stopped(this.url, d)); }, { once: true });
        this.iframe.contentWindow.postMessage({ reqid, request: bytesToBase64(utf8Encode(xml)) }, this.origin);
      });
    } finally {
      d.done();
    }
  }

  close() {
    window.removeEventListener('message', this.onMessage);
    this.iframe?.remove();
    this.iframe = null;
    this.ready = null;
    for (const waiter of this.pending.values()) {
      waiter.reject(new ZelkorConnectionError('the client was closed', { reason: 'aborted', url: this.url }));
    }
    this.pending.clear();
  }
}
