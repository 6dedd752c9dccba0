// Drives a browser headless: a page of another origin embeds the service's
// exchange frame, posts GET_VERSION through it and checks the answers.
// checkFrame(browser, page URL); frames.mjs runs it. HTTPS frames must be
// trusted by the browser's profile (no certificate errors are ignored).
import { newPage, waitFor } from './browsers.mjs';
import assert from 'node:assert/strict';

const xml = '<?xml version="1.0" encoding="utf-8"?><Request><Command>GET_VERSION</Command></Request>';
const request = Buffer.from(xml, 'utf8').toString('base64');

export async function checkFrame(browser, pageUrl) {
  const page = await newPage(browser);
  await page.goto(pageUrl);
  await waitFor(page, () => window.frameLoaded === true);
  await page.evaluate(([request]) => {
    const frame = document.getElementById('frame').contentWindow;
    frame.postMessage('alert("not evaluated")', '*');                      // not JSON: ignored
    frame.postMessage({ request }, '*');                                   // no reqid: ignored
    frame.postMessage({ reqid: 'r-1', request }, '*');                     // a message object
    frame.postMessage(JSON.stringify({ reqid: 42, request }), '*');        // its JSON text
  }, [request]);
  await waitFor(page, () => window.answers.length >= 2);
  const answers = await page.evaluate(() => window.answers);
  assert.equal(answers.length, 2, JSON.stringify(answers));
  const frameOrigin = new URL(await page.evaluate(() => document.getElementById('frame').src)).origin;
  const byReqid = {};
  for (const { origin, data } of answers) {
    assert.equal(origin, frameOrigin);
    assert.equal(typeof data, 'string');
    // Exactly the posted-back text: members in order, one space after each colon and comma.
    assert.match(data, /^\{"success": true, "reqid": "[^"]+", "data": "[A-Za-z0-9+/=]+"\}$/);
    const answer = JSON.parse(data);
    byReqid[answer.reqid] = answer;
  }
  assert.deepEqual(Object.keys(byReqid).sort(), ['42', 'r-1']);
  for (const answer of Object.values(byReqid)) {
    assert.equal(answer.success, true);
    const envelope = Buffer.from(answer.data, 'base64').toString('utf8');
    assert.match(envelope, /^<\?xml version="1\.0" encoding="utf-8"\?>\n<Result /);
    assert.match(envelope, /<Command>GET_VERSION<\/Command>/);
    assert.match(envelope, /<Code>0<\/Code>/);
    assert.match(envelope, /<Message>Успішно<\/Message>/);
    assert.match(envelope, /<Version IsDLL="false">\d+\.\d+\.\d+\.\d+<\/Version>/);
  }
  await page.close();
  console.log(`${frameOrigin}/xchgframe.html: 2 answers checked`);
}

