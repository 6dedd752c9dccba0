// XML in both directions for the service's envelopes. The answers are small,
// regular documents that the service prints itself, so a compact parser is
// enough here, and it keeps the package free of dependencies (Node has no
// DOMParser, and a page's DOMParser would give different trees per browser).

const MAX_DEPTH = 64;
const NAMED = { lt: '<', gt: '>', amp: '&', quot: '"', apos: "'" };

/**
 * An element of a parsed document.
 * @typedef {{name: string, attrs: Record<string, string>, children: XmlElement[], text: string}} XmlElement
 */

export class XmlSyntaxError extends Error {
  constructor(message, at) {
    super(`${message} at offset ${at}`);
    this.name = 'XmlSyntaxError';
  }
}

function decodeEntities(raw, at) {
  if (raw.indexOf('&') < 0) return raw;
  return raw.replace(/&([^;&]{0,10});/g, (match, ref) => {
    if (ref[0] === '#') {
      const code = ref[1] === 'x' || ref[1] === 'X' ? parseInt(ref.slice(2), 16) : parseInt(ref.slice(1), 10);
      if (!Number.isFinite(code) || code < 0 || code > 0x10ffff) throw new XmlSyntaxError(`bad character reference ${match}`, at);
      return String.fromCodePoint(code);
    }
    if (!(ref in NAMED)) throw new XmlSyntaxError(`unknown entity ${match}`, at);
    return NAMED[ref];
  });
}

const NAME = /[A-Za-z_:][-A-Za-z0-9_.:]*/y;
const SPACE = /[ \t\r\n]*/y;
const ATTR_VALUE = /"([^"<]*)"|'([^'<]*)'/y;

/** Parses a document; returns its root element. */
export function parseXml(text) {
  let pos = 0;
  const stack = [];
  let root = null;

  function match(re) {
    re.lastIndex = pos;
    const m = re.exec(text);
    if (m) pos = re.lastIndex;
    return m;
  }
  function skipUntil(end, what) {
    const at = text.indexOf(end, pos);
    if (at < 0) throw new XmlSyntaxError(`unterminated ${what}`, pos);
    const body = text.slice(pos, at);
    pos = at + end.length;
    return body;
  }
  function addText(value) {
    if (stack.length) stack[stack.length - 1].text += value;
    else if (/[^ \t\r\n]/.test(value)) throw new XmlSyntaxError('text outside the root element', pos);
  }

  if (text.charCodeAt(0) === 0xfeff) pos = 1;
  while (pos < text.length) {
    const lt = text.indexOf('<', pos);
    if (lt < 0) { addText(decodeEntities(text.slice(pos), pos)); break; }
    if (lt > pos) addText(decodeEntities(text.slice(pos, lt), pos));
    pos = lt;
    if (text.startsWith('<?', pos)) { pos += 2; skipUntil('?>', 'declaration'); continue; }
    if (text.startsWith('<!--', pos)) { pos += 4; skipUntil('-->', 'comment'); continue; }
    if (text.startsWith('<![CDATA[', pos)) { pos += 9; addText(skipUntil(']]>', 'CDATA section')); continue; }
    if (text.startsWith('<!', pos)) throw new XmlSyntaxError('document type declarations are not accepted', pos);
    if (text.startsWith('</', pos)) {
      pos += 2;
      const name = match(NAME);
      match(SPACE);
      if (!name || text[pos] !== '>') throw new XmlSyntaxError('bad end tag', pos);
      pos++;
      const open = stack.pop();
      if (!open || open.name !== name[0]) throw new XmlSyntaxError(`end tag </${name[0]}> does not match`, pos);
      continue;
    }
    pos++;
    const name = match(NAME);
    if (!name) throw new XmlSyntaxError('bad start tag', pos);
    const element = { name: name[0], attrs: {}, children: [], text: '' };
    for (;;) {
      const space = match(SPACE);
      if (text[pos] === '>' || text.startsWith('/>', pos)) break;
      const attr = space && space[0] ? match(NAME) : null;
      if (!attr) throw new XmlSyntaxError(`bad attribute in <${element.name}>`, pos);
      match(SPACE);
      if (text[pos] !== '=') throw new XmlSyntaxError(`attribute ${attr[0]} without value`, pos);
      pos++;
      match(SPACE);
      const value = match(ATTR_VALUE);
      if (!value) throw new XmlSyntaxError(`bad value of attribute ${attr[0]}`, pos);
      element.attrs[attr[0]] = decodeEntities(value[1] ?? value[2], pos);
    }
    if (stack.length) stack[stack.length - 1].children.push(element);
    else if (root) throw new XmlSyntaxError('a second root element', pos);
    else root = element;
    if (text[pos] === '/') { pos += 2; continue; }
    pos++;
    if (stack.length >= MAX_DEPTH) throw new XmlSyntaxError('elements nested too deep', pos);
    stack.push(element);
  }
  if (stack.length) throw new XmlSyntaxError(`<${stack[stack.length - 1].name}> is not closed`, pos);
  if (!root) throw new XmlSyntaxError('no root element', pos);
  return root;
}

/** The first child element called name, or null. */
export function child(element, name) {
  return element?.children.find((c) => c.name === name) ?? null;
}

/** Every child element called name. */
export function children(element, name) {
  return element ? element.children.filter((c) => c.name === name) : [];
}

/** The text of the first child element called name, or null when it is missing. */
export function childText(element, name) {
  const c = child(element, name);
  return c ? c.text : null;
}

// Characters that XML 1.0 cannot carry at all.
const FORBIDDEN = /[\u0000-\u0008\u000b\u000c\u000e-\u001f\ufffe\uffff]/;

function checkChars(value) {
  if (FORBIDDEN.test(value)) throw new TypeError('text contains a control character that XML cannot carry');
  return value;
}

/** Escapes element text. Carriage returns are written as references so that they survive line-end normalisation. */
export function escapeText(value) {
  return checkChars(String(value)).replace(/[&<>\r]/g, (c) => (c === '\r' ? '&#13;' : c === '&' ? '&amp;' : c === '<' ? '&lt;' : '&gt;'));
}

const ATTR_ESCAPES = { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', '\t': '&#9;', '\n': '&#10;', '\r': '&#13;' };

/** Escapes an attribute value (double-quoted); whitespace is written as references so that it is not normalised. */
export function escapeAttr(value) {
  return checkChars(String(value)).replace(/[&<>"\t\n\r]/g, (c) => ATTR_ESCAPES[c]);
}
