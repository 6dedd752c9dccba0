// The request document and the answer envelope.
import { parseXml, child, childText, escapeText, XmlSyntaxError } from './xml.js';

/** The request document for command with ready XML for Params (or null) and Data (or null). */
export function requestXml(command, paramsXml, dataXml) {
  let xml = `<?xml version="1.0" encoding="utf-8"?><Request><Command>${escapeText(command)}</Command>`;
  if (paramsXml !== null) xml += `<Params>${paramsXml}</Params>`;
  if (dataXml !== null && dataXml !== '') xml += `<Data>${dataXml}</Data>`;
  return xml + '</Request>';
}

function intOrNull(text) {
  if (text === null || text === '') return null;
  const n = Number(text);
  return Number.isInteger(n) ? n : null;
}

/**
 * Parses an answer envelope. Throws XmlSyntaxError when the text is not XML
 * and TypeError when it is not an envelope.
 */
export function parseEnvelope(text) {
  const root = parseXml(text);
  const ret = child(root, 'Return');
  const code = intOrNull(childText(ret, 'Code'));
  if (root.name !== 'Result' || code === null) throw new TypeError('the answer is not a ZelkorH envelope');
  return {
    command: childText(root, 'Command'),
    code,
    message: childText(ret, 'Message') ?? '',
    cspCode: intOrNull(childText(ret, 'CSPCode')),
    cspMessage: childText(ret, 'CSPMessage'),
    detailing: intOrNull(childText(root, 'Detailing')),
    data: child(root, 'Data') ?? { name: 'Data', attrs: {}, children: [], text: '' },
    text,
  };
}

export { XmlSyntaxError };
