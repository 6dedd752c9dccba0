// Bytes, Base64 and UTF-8 as the service's protocol needs them. Written with
// the platform's own atob/btoa/TextEncoder so that the package runs unchanged
// in browsers and in Node without any dependency.

const encoder = new TextEncoder();
const decoder = new TextDecoder('utf-8');
// btoa/atob take and give one character per byte; chunks keep each string
// small enough for String.fromCharCode's argument list.
const CHUNK = 0x8000 * 3;

/** Uint8Array view of bytes given as Uint8Array, another typed array, a DataView or an ArrayBuffer. */
export function toBytes(value, what = 'value') {
  if (value instanceof Uint8Array) return value;
  if (value instanceof ArrayBuffer) return new Uint8Array(value);
  if (ArrayBuffer.isView(value)) return new Uint8Array(value.buffer, value.byteOffset, value.byteLength);
  throw new TypeError(`${what} must be a Uint8Array or an ArrayBuffer`);
}

export function bytesToBase64(bytes) {
  bytes = toBytes(bytes);
  const parts = [];
  for (let i = 0; i < bytes.length; i += CHUNK) {
    parts.push(btoa(String.fromCharCode.apply(null, bytes.subarray(i, i + CHUNK))));
  }
  return parts.join('');
}

export function base64ToBytes(text) {
  const clean = String(text).replace(/[\t\n\v\f\r ]+/g, '');
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
