// The demo page: everything it does goes through the ZelkorH client.
import { ZelkorClient, ZelkorConnectionError, ZelkorError, parseServiceTime } from '../../clients/js/src/index.js';
import { formatDate, formatSize, language, setLanguage, t, translate } from './i18n.js';

const $ = (id) => document.getElementById(id);

// ?https=PORT&http=PORT point the page at a service on other ports than the default ones.
function serviceUrls() {
  const query = new URLSearchParams(location.search);
  const urls = [];
  for (const scheme of ['https', 'http']) {
    const port = query.get(scheme);
    if (port && /^\d{1,5}$/.test(port)) urls.push(`${scheme}://127.0.0.1:${port}`);
  }
  return urls.length ? urls : undefined;
}

const zk = new ZelkorClient({ urls: serviceUrls() });
let certificates = [];

// ---- status lines --------------------------------------------------------
// A line's text is kept as functions of the language, so that switching the
// language rewrites every line already shown.

const lines = new Map();

function render(element) {
  const { state, text, detail } = lines.get(element);
  element.dataset.state = state;
  element.textContent = text();
  const more = detail();
  if (more) {
    const span = document.createElement('span');
    span.className = 'detail';
    span.textContent = more;
    element.appendChild(span);
  }
}

/** Shows state ('ok', 'warn', 'error', 'busy') with text and detail: functions giving the words, or fixed words. */
function show(element, state, text, detail = '') {
  const words = (w) => (typeof w === 'function' ? w : () => w);
  lines.set(element, { state, text: words(text), detail: words(detail) });
  render(element);
}

const DETAILING = { 1: 'detailing1', 2: 'detailing2', 3: 'detailing3' };

function showError(element, error) {
  if (error instanceof ZelkorError) {
    element.dataset.code = String(error.code);
    // The service's own message stays as it is (Ukrainian); the rest follows the page's language.
    show(element, 'error', () => `${error.message} (${t('code', { code: error.code })})`, () => {
      const details = [];
      if (error.code === 56) details.push(t('refused56'));
      if (error.detailing in DETAILING) details.push(t('keySearch', { what: t(DETAILING[error.detailing]) }));
      if (error.cspMessage) details.push(t('provider', { message: error.cspMessage, code: error.cspCode }));
      return details.join(' ');
    });
  } else if (error instanceof ZelkorConnectionError && error.reason === 'aborted') {
    element.dataset.code = '';
    show(element, 'warn', () => t('cancelled'));
  } else if (error instanceof ZelkorConnectionError) {
    element.dataset.code = '';
    show(element, 'error', error.message, () => (error.reason === 'unreachable' ? t('startHint') : ''));
    if (error.reason === 'unreachable') watchConnection(0);  // the header tells it at once
  } else {
    element.dataset.code = '';
    show(element, 'error', error.message || String(error));
  }
}

// ---- work in progress ----------------------------------------------------
// Under a status line while its command runs: how far the request went out
// and the answer came in, and a button that cancels it (the request is
// closed; the service drops a command whose client has gone).

function workFor(status) {
  let box = status.nextElementSibling;
  if (!box?.classList.contains('work')) {
    box = $('work-template').content.firstElementChild.cloneNode(true);
    translate(box);
    status.after(box);
  }
  return box;
}

function startWork(status) {
  const box = workFor(status);
  const bar = box.querySelector('progress');
  const controller = new AbortController();
  const cancel = box.querySelector('.cancel');
  cancel.onclick = () => controller.abort();
  cancel.disabled = false;
  box.hidden = false;
  box.dataset.phase = 'prepare';
  box.dataset.sent = box.dataset.received = '';
  let words = () => t('preparing');
  const say = (text, value) => {
    words = text;
    box.querySelector('.work-text').textContent = text();
    if (value === null) bar.removeAttribute('value'); else bar.value = value;
  };
  say(words, null);
  const onProgress = ({ phase, loaded, total }) => {
    const percent = total ? Math.floor((loaded / total) * 100) : null;
    const sizes = () => ({ percent, done: formatSize(loaded), total: formatSize(total ?? loaded) });
    if (phase === 'upload') {
      box.dataset.sent = `${loaded}/${total ?? ''}`;
      box.dataset.phase = total && loaded >= total ? 'work' : 'upload';
      if (box.dataset.phase === 'work') say(() => t('serviceWorking'), null);
      else say(() => t('uploading', sizes()), percent);
    } else {
      box.dataset.received = `${loaded}/${total ?? ''}`;
      // The whole answer in: the client reads it (a large one takes a moment).
      box.dataset.phase = total && loaded >= total ? 'read' : 'download';
      if (box.dataset.phase === 'read') say(() => t('reading'), null);
      else say(() => t(percent === null ? 'downloadingSome' : 'downloading', sizes()), percent);
    }
  };
  return {
    options: { signal: controller.signal, onProgress },
    end: () => { box.hidden = true; cancel.disabled = true; },
    relabel: () => { if (!box.hidden) say(words, bar.hasAttribute('value') ? bar.value : null); },
    box,
  };
}

const running = new Set();

/** Runs action for a button: the button waits, the status line tells the outcome, the result of an earlier run goes. */
function onClick(buttonId, statusId, resultId, action) {
  const button = $(buttonId);
  const status = $(statusId);
  button.addEventListener('click', async () => {
    button.disabled = true;
    if (resultId) $(resultId).replaceChildren();
    delete status.dataset.code;
    show(status, 'busy', () => t('working'));
    const work = startWork(status);
    running.add(work);
    try {
      // An outcome: the words of a success, or {state, text, detail}.
      const outcome = await action(work.options);
      const { state = 'ok', text = outcome, detail = '' } = typeof outcome === 'object' ? outcome : {};
      show(status, state, text, detail);
      status.dataset.code = '0';
    } catch (error) {
      showError(status, error);
    } finally {
      running.delete(work);
      work.end();
      button.disabled = false;
    }
  });
}

// ---- helpers -------------------------------------------------------------

function chosenCert() {
  const checked = document.querySelector('input[name="cert"]:checked');
  if (!checked) throw new Error(t('chooseCert'));
  return certificates[Number(checked.value)];
}

function signer() {
  return { serial: chosenCert().serial, pass: $('password').value };
}

async function chosenFile(inputId, missing) {
  const file = $(inputId).files[0];
  if (!file) throw new Error(t(missing));
  return { name: file.name, bytes: new Uint8Array(await file.arrayBuffer()) };
}

const links = new Map();
/** Offers bytes for download as name in the element with id. */
function offerDownload(id, bytes, name, type = 'application/octet-stream') {
  const target = $(id);
  if (links.has(id)) URL.revokeObjectURL(links.get(id));
  const url = URL.createObjectURL(new Blob([bytes], { type }));
  links.set(id, url);
  const a = document.createElement('a');
  a.href = url;
  a.download = name;
  a.dataset.i18nDownload = name;
  a.textContent = t('download', { name });
  const size = document.createElement('span');
  size.dataset.bytes = String(bytes.length);
  size.textContent = ` (${t('bytes', { n: bytes.length })})`;
  target.replaceChildren(a, size);
}

function relabelResults() {
  for (const a of document.querySelectorAll('a[data-i18n-download]')) a.textContent = t('download', { name: a.dataset.i18nDownload });
  for (const span of document.querySelectorAll('span[data-bytes]')) span.textContent = ` (${t('bytes', { n: Number(span.dataset.bytes) })})`;
  for (const p of document.querySelectorAll('[data-words]')) p.textContent = JSON.parse(p.dataset.words).map(([k, v]) => t(k, v)).join('');
}

/** An element whose text is made of texts by key (so that it follows the language). */
function wordsElement(tag, ...parts) {
  const element = document.createElement(tag);
  element.dataset.words = JSON.stringify(parts);
  element.textContent = parts.map(([k, v]) => t(k, v)).join('');
  return element;
}

const sameBytes = (a, b) => a.length === b.length && a.every((byte, i) => byte === b[i]);

// ---- 1. certificates -----------------------------------------------------

async function listCertificates(options) {
  certificates = await zk.getCertFiles({}, options);
  const rows = certificates.map((cert, i) => {
    const tr = document.createElement('tr');
    const pick = document.createElement('input');
    Object.assign(pick, { type: 'radio', name: 'cert', value: String(i), disabled: !cert.canSign && !cert.canCrypt });
    pick.setAttribute('aria-label', cert.name);
    const uses = [cert.canSign && ['useSigning', {}], cert.canCrypt && ['useEncryption', {}]].filter(Boolean);
    const use = uses.length ? wordsElement('span', ...uses.flatMap((u, k) => (k ? [['sep', {}], u] : [u]))) : '—';
    const cells = [pick, cert.name, cert.drfo, cert.edrpou, cert.issuer, formatDate(parseServiceTime(cert.dateEnd)), use];
    for (const cell of cells) {
      const td = document.createElement('td');
      td.append(cell);
      tr.appendChild(td);
    }
    return tr;
  });
  $('cert-table').tBodies[0].replaceChildren(...rows);
  const firstSigner = certificates.findIndex((c) => c.canSign);
  if (firstSigner >= 0) document.querySelector(`input[name="cert"][value="${firstSigner}"]`).checked = true;

  const recipients = certificates.map((cert, i) => [cert, i]).filter(([cert]) => cert.canCrypt);
  $('recipient').replaceChildren(...recipients.map(([cert, i]) => new Option(`${cert.name} (${cert.drfo || cert.edrpou})`, String(i))));
  const n = certificates.length;
  // An empty list is no success: it tells how to add a certificate.
  if (!n) return { state: 'warn', text: () => t('noCerts'), detail: () => t('noCertsHint') };
  return () => t('certsFound', { n });
}
onClick('refresh', 'cert-status', null, listCertificates);

// ---- 2. signing ----------------------------------------------------------

onClick('sign-container', 'sign-status', 'sign-result', async (options) => {
  const file = await chosenFile('sign-file', 'chooseFileToSign');
  const signed = await zk.setSign(file.bytes, signer(), options);
  offerDownload('sign-result', signed, `${file.name}.p7s`, 'application/pkcs7-signature');
  const name = chosenCert().name;
  return () => t('signed', { name });
});

onClick('sign-detached', 'sign-status', 'sign-result', async (options) => {
  const file = await chosenFile('sign-file', 'chooseFileToSign');
  const signature = await zk.setExternalSign(file.bytes, signer(), options);
  offerDownload('sign-result', signature, `${file.name}.sig.p7s`, 'application/pkcs7-signature');
  const name = chosenCert().name;
  return () => t('signedDetached', { name });
});

// ---- 3. verification -----------------------------------------------------

onClick('verify-container', 'verify-status', 'verify-result', async (options) => {
  const signature = await chosenFile('verify-file', 'chooseSignature');
  const results = await zk.ctxVerifySigns(signature.bytes, {}, options);
  $('verify-result').replaceChildren(...results.map((code, i) =>
    wordsElement('p', code === 0 ? ['signatureValid', { i: i + 1 }] : ['signatureInvalid', { i: i + 1, code }])));
  if (!results.length || results.some((code) => code !== 0)) throw new Error(t('notAllValid'));
  const n = results.length;
  return () => t('validSignatures', { n });
});

onClick('verify-detached', 'verify-status', 'verify-result', async (options) => {
  const signature = await chosenFile('verify-file', 'chooseSignature');
  const file = await chosenFile('sign-file', 'chooseSignedFile');
  const { signerCert } = await zk.checkExternalSign(file.bytes, { sign: signature.bytes, returnSigns: true }, options);
  const who = await zk.getInfoCert({ certBlk: signerCert });
  $('verify-result').replaceChildren(wordsElement('p', ['signer',
    { who: `${who.name}${who.orgNm ? `, ${who.orgNm}` : ''}`, drfo: who.drfo || '—', issuer: who.issuer }]));
  return () => t('fileSignatureValid', { name: file.name });
});

// ---- 4. encryption -------------------------------------------------------

onClick('encrypt-file', 'encrypt-status', 'encrypt-result', async (options) => {
  const file = await chosenFile('sign-file', 'chooseFileStep2');
  const recipient = certificates[Number($('recipient').value)];
  if (!recipient) throw new Error(t('noRecipient'));
  const recipientCert = await zk.getCert({ cert: recipient });
  const sealed = await zk.encrypt(file.bytes, { certs: [recipientCert], ...signer() }, options);
  offerDownload('encrypt-result', sealed, `${file.name}.p7e`);
  return () => t('encrypted', { name: recipient.name });
});

onClick('open', 'open-status', 'open-result', async (options) => {
  const sealed = await chosenFile('open-file', 'chooseEncrypted');
  try {
    const { original } = await zk.getOriginal(sealed.bytes, signer(), options);
    // Nothing was peeled off: the service found neither an envelope nor a signature.
    if (sameBytes(original, sealed.bytes)) return { state: 'warn', text: () => t('neither') };
    offerDownload('open-result', original, sealed.name.replace(/\.p7e$/i, '') || 'original');
    return () => t('opened');
  } catch (error) {
    const recipients = error?.details?.recipients ?? [];
    $('open-result').replaceChildren(recipients.length
      ? wordsElement('span', ['encryptedFor', { list: recipients.map((r) => r.serial || r.sn).join(', ') }]) : '');
    throw error;
  }
});

// ---- 5. tokens -----------------------------------------------------------

onClick('list-tokens', 'tokens-status', null, async (options) => {
  const dongles = await zk.donglesList({ keys: true }, options);
  const table = $('token-table');
  table.tBodies[0].replaceChildren(...dongles.map((d) => {
    const tr = document.createElement('tr');
    const keys = d.keys.map((k) => `${k.label || k.id}${k.certs.length ? ` (${k.certs.map((c) => c.name).join(', ')})` : ''}`);
    for (const text of [d.tokenLabel, `${d.providerName} ${d.slotId}`, d.tokenModel, d.tokenSerialNumber, keys.join('; ') || '—']) {
      const td = document.createElement('td');
      td.textContent = text;
      tr.appendChild(td);
    }
    return tr;
  }));
  table.hidden = dongles.length === 0;
  const n = dongles.length;
  return n ? () => t('tokensFound', { n }) : () => t('noTokens');
});

// ---- the connection ------------------------------------------------------
// The header tells the state as it is: the service is asked every few
// seconds; when it has gone the page says how to start it, and when it is
// back the page connects again and lists the certificates anew.

const WATCH_EVERY_MS = 3000;
let connected = false;
let watchTimer = null;

function showConnected(info) {
  show($('connection'), 'ok',
    () => t('connected', { version: info.version, url: info.url, transport: t(info.transport === 'frame' ? 'frame' : 'direct') }),
    () => info.diagnostics.filter((d) => d.reason === 'https-untrusted').map((d) => t('httpsUntrusted', { url: d.url })).join(' '));
}

async function checkConnection() {
  const connection = $('connection');
  try {
    const info = await zk.connect();
    await zk.getVersion({}, { timeoutMs: 10000 });  // the one found may have stopped since
    if (!connected) {
      connected = true;
      showConnected(info);
      if (!running.size) $('refresh').click();
    }
  } catch (error) {
    connected = false;
    const slow = error?.reason === 'timeout';
    if (!slow) zk.close();  // gone: found anew (another port, another road) next time
    connection.dataset.code = '';
    show(connection, 'error', () => t(slow ? 'notAnswering' : 'unreachable'), () => t('startHint'));
  }
}

function watchConnection(delay = WATCH_EVERY_MS) {
  clearTimeout(watchTimer);
  watchTimer = setTimeout(async () => {
    await checkConnection();
    watchConnection();
  }, delay);
}

// ---- start ---------------------------------------------------------------

function chooseLanguage(lang) {
  setLanguage(lang);
  for (const button of document.querySelectorAll('#languages button')) {
    button.setAttribute('aria-pressed', String(button.dataset.lang === language()));
  }
  for (const element of lines.keys()) render(element);
  for (const work of running) work.relabel();
  relabelResults();
}

for (const button of document.querySelectorAll('#languages button')) {
  button.addEventListener('click', () => chooseLanguage(button.dataset.lang));
}
chooseLanguage(language());
show($('connection'), 'busy', () => t('looking'));
watchConnection(0);
