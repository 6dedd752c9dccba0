// A fake fetch that records what the client sends and answers with
// canned envelopes: for checking request documents and answer reading of
// commands without starting the service.
import { base64ToText } from '../src/bytes.js';

export const VERSION_ANSWER = '<?xml version="1.0" encoding="utf-8"?>\n<Result xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">\n' +
  '\t<Command>GET_VERSION</Command>\n\t<Return>\n\t\t<Code>0</Code>\n\t\t<Message>Успішно</Message>\n\t</Return>\n' +
  '\t<Data>\n\t\t<Version IsDLL="false">1.0.0.1</Version>\n\t</Data>\n</Result>\n';

/** An answer envelope for command with code and the inner XML of Data. */
export function envelope(command, code, dataXml = '', extra = '') {
  const csp = code ? '<CSPCode>0</CSPCode><CSPMessage></CSPMessage>' : '';
  return `<?xml version="1.0" encoding="utf-8"?><Result xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">` +
    `<Command>${command}</Command><Return><Code>${code}</Code><Message>m</Message>${csp}</Return><Data>${dataXml}</Data>${extra}</Result>`;
}

/** The request document inside a body the client posted. */
export function requestOf(body) {
  const m = /^data=([^&]*)&nativedata=1&encodeOutput=0$/.exec(body);
  if (!m) throw new Error(`unexpected body ${body.slice(0, 80)}`);
  return base64ToText(decodeURIComponent(m[1]));
}

/** A fake fetch: answer(xml) gives the envelope text for each request but the version probe. */
export function fakeFetch(answer) {
  const sent = [];
  const fetch = async (url, init) => {
    const xml = requestOf(init.body);
    if (xml.includes('<Command>GET_VERSION</Command>') && !xml.includes('<Params>')) {
      return new Response(VERSION_ANSWER, { status: 200 });
    }
    sent.push(xml);
    return new Response(answer(xml), { status: 200 });
  };
  return { fetch, sent };
}
