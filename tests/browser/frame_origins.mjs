// Two sites (two loopback addresses, so two origins) talk to the service
// directly and through the exchange frame. The frame must not merge them into
// the service's own origin: what one site keeps serves that site only, by
// either road, and a site the service refuses is refused through the frame too.
// checkOrigins(browser, service URL, site A page, site B page, allowed: "all"|"A"); frames.mjs runs it.
import { newPage, waitFor } from './browsers.mjs';
import assert from 'node:assert/strict';

const request = (command, params = '') =>
  `<?xml version="1.0" encoding="utf-8"?><Request><Command>${command}</Command><Params>${params}</Params></Request>`;
const b64 = (text) => Buffer.from(text, 'utf8').toString('base64');

async function openSite(browser, url) {
  const page = await newPage(browser);
  await page.goto(url);
  await waitFor(page, () => window.frameLoaded === true);
  return page;
}

// One command by either road; the answer's code and Pass, or how it failed.
async function runOne(page, road, xml, serviceUrl) {
  return page.evaluate(async ([road, requestB64, serviceUrl]) => {
    const read = (envelope) => {
      const doc = new DOMParser().parseFromString(envelope, 'text/xml');
      return { code: Number(doc.querySelector('Return > Code').textContent),
               pass: doc.querySelector('Data > Pass')?.textContent ?? null };
    };
    if (road === 'direct') {
      try {
        const body = new URLSearchParams({ data: requestB64, nativedata: '1', encodeOutput: '0' });
        const reply = await fetch(serviceUrl, { method: 'POST', body });
        return read(await reply.text());
      } catch {
        return { failed: 'network' };  // refused: the browser shows the page nothing
      }
    }
    const reqid = String(Math.random());
    const answer = new Promise((resolve) => {
      window.addEventListener('message', function listen(e) {
        const message = JSON.parse(e.data);
        if (message.reqid !== reqid) return;
        window.removeEventListener('message', listen);
        resolve(message);
      });
    });
    document.getElementById('frame').contentWindow.postMessage({ reqid, request: requestB64 }, '*');
    const message = await answer;
    if (!message.success) return { failed: message.error };
    return read(new TextDecoder().decode(Uint8Array.from(atob(message.data), (c) => c.charCodeAt(0))));
  }, [road, b64(xml), serviceUrl]);
}

const save = (pass) => request('SAVE_PASSWORD', `<Pass>${b64(pass)}</Pass>`);
const retrieve = request('RETRIEVE_PASSWORD');

export async function checkOrigins(browser, serviceUrl, pageA, pageB, allowed) {
  const a = await openSite(browser, pageA), b = await openSite(browser, pageB);
  const run = (page, road, xml) => runOne(page, road, xml, serviceUrl);
  if (allowed === 'all') {
    // A keeps a password directly; A finds it through the frame, B by neither road.
    assert.deepEqual(await run(a, 'direct', save('secret of A')), { code: 0, pass: null });
    assert.deepEqual(await run(a, 'frame', retrieve), { code: 0, pass: b64('secret of A') });
    assert.deepEqual(await run(b, 'frame', retrieve), { code: 1, pass: null });
    assert.deepEqual(await run(b, 'direct', retrieve), { code: 1, pass: null });
    // And the other way round: kept through the frame, it is B's alone.
    assert.deepEqual(await run(b, 'frame', save('secret of B')), { code: 0, pass: null });
    assert.deepEqual(await run(b, 'direct', retrieve), { code: 0, pass: b64('secret of B') });
    assert.deepEqual(await run(a, 'frame', retrieve), { code: 1, pass: null });
    assert.deepEqual(await run(a, 'direct', retrieve), { code: 1, pass: null });
    console.log('password slot: each site by both roads, never the other');
  } else {
    // Only A is allowed: B learns nothing more through the frame than directly.
    const version = request('GET_VERSION');
    assert.equal((await run(a, 'direct', version)).code, 0);
    assert.equal((await run(a, 'frame', version)).code, 0);
    assert.deepEqual(await run(b, 'direct', version), { failed: 'network' });
    assert.deepEqual(await run(b, 'frame', version), { failed: 'Forbidden' });
    console.log('AllowedOrigins: A served by both roads, B refused by both');
  }
  await a.close();
  await b.close();
}
