// Bytes, Base64 and UTF-8 as the service's protocol needs them. Written with
// the platform's own atob/btoa/TextEncoder so that the package runs unchanged
// in browsers and in Node without any dependency.

const encoder = new TextEncoder();
const decoder = new TextDecoder('utf-8');
// btoa/atob take and give one character per byte; chunks keep each call
// within every engine's limit on the number of arguments.
const CHUNK = 8192 * 3;

/** Uint8Array view of bytes given as Uint8Array, another typed array, a DataView or an ArrayBuffer. */
export function toBytes(value, what = 'value') {
  if (value instanceof Uint8Array) return value;
  if (value instanceof ArrayBuffer) return new Uint8Array(value);
  if (ArrayBuffer.isView(value)) return new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
  throw new TypeError(`${what} must be a Uint8Array or an ArrayBuffer`);
}

// Node's Buffer (when present) is many times faster than its btoa/atob; the
// platforms' own Uint8Array Base64 methods are used where they exist.
const NodeBuffer = globalThis.Buffer;

export function bytesToBase64(bytes) {
  bytes = toBytes(bytes);
  if (typeof bytes.toBase64 === 'function') return bytes.toBase64();
  if (NodeBuffer) return NodeBuffer.from(bytes.buffer, bytes.byteOffset, bytes.byteLength).toString('base64');
  return btoaChunks(bytes);
}

export function base64ToBytes(text) {
  const clean = String(text).replace(/[\t\n\v\f\r ]+/g, '');
  if (typeof Uint8Array.fromBase64 === 'function') return Uint8Array.fromBase64(clean);
  if (NodeBuffer) return new Uint8Array(NodeBuffer.from(clean, 'base64'));  // a copy: never a view of Node's pool
  return atobChunks(clean);
}

/** Base64 through btoa, chunk by chunk (the path of browsers without Uint8Array.prototype.toBase64). */
export function btoaChunks(bytes) {
  const parts = [];
  for (let i = 0; i < bytes.length; i += CHUNK) {
    parts.push(btoa(String.fromCharCode.apply(null, bytes.subarray(i, i + CHUNK))));
  }
  return parts.join('');
}

/** Bytes of Base64 text (without blanks) through atob, chunk by chunk. */
export function atobChunks(clean) {
  const out = new Uint8Array(Math.floor(clean.length / 4) * 3 + 3);
  let length = 0;
  const step = CHUNK / 3 * 4;  // a multiple of 4: every chunk but the last is unpadded
  for (let i = 0; i < clean.length; i += step) {
    const binary = atob(clean.slice(i, i + step));
    for (let j = 0; j < binary.length; j++) out[length++] = binary.charCodeAt(j);
  }
  return out.slice(0, length);
}

export function utf8Encode(text) {
  return encoder.encode(text);
}

export function utf8Decode(bytes) {
  return decoder.decode(bytes);
}

export function textToBase64(text) {
  return bytesToBase64(encoder.encode(text));
}

export function base64ToText(text) {
  return decoder.decode(base64ToBytes(text));
}
