// Parameter encoders: each command's parameters are described by a small
// schema (JavaScript name -> element and encoding) and turned into the XML of
// the request's Params element by one builder.
import { bytesToBase64, textToBase64, toBytes } from './bytes.js';
import { escapeAttr, escapeText } from './xml.js';

function pad2(n) { return String(n).padStart(2, '0'); }

/** A Date as the service's local time text "dd.mm.yyyy hh:mm:ss". */
export function formatTime(date) {
  return `${pad2(date.getDate())}.${pad2(date.getMonth() + 1)}.${date.getFullYear()} ` +
    `${pad2(date.getHours())}:${pad2(date.getMinutes())}:${pad2(date.getSeconds())}`;
}

function integer(value, name) {
  if (typeof value === 'bigint') value = Number(value);
  if (!Number.isSafeInteger(value)) throw new TypeError(`${name} must be an integer`);
  return String(value);
}

// Value encoders: JavaScript value -> element text (already escaped).
const ENCODE = {
  text: (v) => escapeText(v),
  utf8b64: (v) => textToBase64(String(v)),  // passwords, SQL, names: Base64 of the UTF-8 text
  bytes: (v, name) => bytesToBase64(toBytes(v, name)),
  bool: (v) => (v ? 'true' : 'false'),
  int: (v, name) => integer(v, name),
  intList: (v, name) => Array.from(v, (n) => integer(n, name)).join(','),
  time: (v) => escapeText(v instanceof Date ? formatTime(v) : v),
  // A certificate of a listing: its entry (the `ref`) or that text itself.
  certRef: (v, name) => {
    const ref = typeof v === 'string' ? v : v?.ref;
    if (typeof ref !== 'string') throw new TypeError(`${name} must be a certificate entry or its ref text`);
    return escapeText(ref);
  },
};

/** One element whose text is the value in the given encoding. */
export const el = (name, kind) => ({ type: 'el', name, kind });
/** An attribute of the element of another parameter (its JavaScript name); the element is written empty when that parameter is absent. */
export const attr = (of, name, kind = 'bool', extra = '') => ({ type: 'attr', of, name, kind, extra });
/** An element holding the elements of a nested schema. */
export const group = (name, schema) => ({ type: 'group', name, schema });
/** An array of values, one element (field) each, directly in the parent. */
export const each = (field) => ({ type: 'each', field });
/** An array of values, one element (field) each, inside a wrapper element. */
export const wrapped = (name, field) => ({ type: 'wrapped', name, field });
/** Custom XML for one value. */
export const custom = (build) => ({ type: 'custom', build });

function attrText(kind, value) {
  return kind === 'bool' ? (value ? 'true' : 'false') : escapeAttr(kind === 'utf8b64' ? textToBase64(String(value)) : value);
}

function element(field, value, path, attrs = '') {
  if (field.type === 'group') return `<${field.name}${attrs}>${buildParams(field.schema, value, `${path}.`)}</${field.name}>`;
  const text = ENCODE[field.kind](value, path);
  return `<${field.name}${attrs}>${text}</${field.name}>`;
}

function listOf(value, path) {
  if (value == null || typeof value === 'string' || typeof value[Symbol.iterator] !== 'function') {
    throw new TypeError(`${path} must be an array`);
  }
  return Array.from(value);
}

/** The XML of the parameters given in values, in schema order; unknown names are refused. */
export function buildParams(schema, values = {}, prefix = '') {
  if (values === null || typeof values !== 'object') throw new TypeError(`${prefix || 'params'} must be an object`);
  for (const key of Object.keys(values)) {
    if (!(key in schema)) throw new TypeError(`unknown parameter ${prefix}${key}`);
  }
  // Attributes attach to the element of the parameter they belong to.
  const attrsOf = {};
  for (const [key, field] of Object.entries(schema)) {
    if (field.type !== 'attr' || values[key] === undefined || values[key] === null) continue;
    attrsOf[field.of] = (attrsOf[field.of] ?? '') + `${field.extra} ${field.name}="${attrText(field.kind, values[key])}"`;
  }
  let xml = '';
  for (const [key, field] of Object.entries(schema)) {
    const value = values[key];
    const path = prefix + key;
    if (field.type === 'attr') continue;
    if (value === undefined || value === null) {
      if (attrsOf[key]) xml += `<${field.name}${attrsOf[key]}/>`;
      continue;
    }
    if (field.type === 'each') {
      for (const item of listOf(value, path)) xml += element(field.field, item, `${path}[]`);
    } else if (field.type === 'wrapped') {
      xml += `<${field.name}>${listOf(value, path).map((item) => element(field.field, item, `${path}[]`)).join('')}</${field.name}>`;
    } else if (field.type === 'custom') {
      xml += field.build(value, path);
    } else {
      xml += element(field, value, path, attrsOf[key]);
    }
  }
  return xml;
}

/** The XML of the request's Data element for a value of the given kind. */
export function encodeData(kind, value) {
  return ENCODE[kind](value, 'data');
}
