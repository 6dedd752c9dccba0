// The demo page: everything it does goes through the ZelkorH client.
import { ZelkorClient, ZelkorError, parseServiceTime } from '../../clients/js/src/index.js';

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

function show(element, state, text, detail = '') {
  element.dataset.state = state;
  element.textContent = text;
  if (detail) {
    const span = document.createElement('span');
    span.className = 'detail';
    span.textContent = detail;
    element.appendChild(span);
  }
}

const DETAILING = { 1: 'no key file was found', 2: 'the password is wrong', 3: 'the key belongs to another certificate' };

function showError(element, error) {
  if (error instanceof ZelkorError) {
    element.dataset.code = String(error.code);
    const details = [];
    if (error.code === 56) details.push('The service refused the request: this version may not offer the command yet.');
    if (error.detailing in DETAILING) details.push(`Key search: ${DETAILING[error.detailing]}.`);
    if (error.cspMessage) details.push(`Provider: ${error.cspMessage} (${error.cspCode}).`);
    show(element, 'error', `${error.message} (code ${error.code})`, details.join(' '));
  } else {
    element.dataset.code = '';
    show(element, 'error', error.message || String(error), error.reason === 'unreachable'
      ? 'Is ZelkorH running? Start it (for example with "systemctl --user start zelkorh") and reload the page.' : '');
  }
}

/** Runs action for a button: the button waits, the status line tells the outcome, the result of an earlier run goes. */
function onClick(buttonId, statusId, resultId, action) {
  const button = $(buttonId);
  const status = $(statusId);
  button.addEventListener('click', async () => {
    button.disabled = true;
    if (resultId) $(resultId).replaceChildren();
    delete status.dataset.code;
    show(status, 'busy', 'Working…');
    try {
      show(status, 'ok', await action());
      status.dataset.code = '0';
    } catch (error) {
      showError(status, error);
    } finally {
      button.disabled = false;
    }
  });
}

// ---- helpers -------------------------------------------------------------

function chosenCert() {
  const checked = document.querySelector('input[name="cert"]:checked');
  if (!checked) throw new Error('Choose a certificate in step 1 first.');
  return certificates[Number(checked.value)];
}

function signer() {
  return { serial: chosenCert().serial, pass: $('password').value };
}

async function chosenFile(inputId, what) {
  const file = $(inputId).files[0];
  if (!file) throw new Error(`Choose ${what} first.`);
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
  a.textContent = `Download ${name}`;
  target.replaceChildren(a, ` (${bytes.length} bytes)`);
}

function validUntil(cert) {
  const end = parseServiceTime(cert.dateEnd);
  return end ? end.toLocaleDateString() : '—';
}

// ---- 1. certificates -----------------------------------------------------

async function listCertificates() {
  certificates = await zk.getCertFiles();
  const rows = certificates.map((cert, i) => {
    const tr = document.createElement('tr');
    const pick = document.createElement('input');
    Object.assign(pick, { type: 'radio', name: 'cert', value: String(i), disabled: !cert.canSign && !cert.canCrypt });
    pick.setAttribute('aria-label', cert.name);
    const uses = [cert.canSign && 'signing', cert.canCrypt && 'encryption'].filter(Boolean).join(', ') || '—';
    const cells = [pick, cert.name, cert.drfo, cert.edrpou, cert.issuer, validUntil(cert), uses];
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
  return certificates.length ? `${certificates.length} certificate(s) found.` : 'No certificates found on this computer.';
}
onClick('refresh', 'cert-status', null, listCertificates);

// ---- 2. signing ----------------------------------------------------------

onClick('sign-container', 'sign-status', 'sign-result', async () => {
  const file = await chosenFile('sign-file', 'a file to sign');
  const signed = await zk.setSign(file.bytes, signer());
  offerDownload('sign-result', signed, `${file.name}.p7s`, 'application/pkcs7-signature');
  return `Signed by ${chosenCert().name}.`;
});

onClick('sign-detached', 'sign-status', 'sign-result', async () => {
  const file = await chosenFile('sign-file', 'a file to sign');
  const signature = await zk.setExternalSign(file.bytes, signer());
  offerDownload('sign-result', signature, `${file.name}.sig.p7s`, 'application/pkcs7-signature');
  return `Detached signature by ${chosenCert().name}.`;
});

// ---- 3. verification -----------------------------------------------------

onClick('verify-container', 'verify-status', 'verify-result', async () => {
  const signature = await chosenFile('verify-file', 'a signature');
  const results = await zk.ctxVerifySigns(signature.bytes);
  $('verify-result').replaceChildren(...results.map((code, i) => {
    const p = document.createElement('p');
    p.textContent = `Signature ${i + 1}: ${code === 0 ? 'valid' : `not valid (code ${code})`}`;
    return p;
  }));
  if (!results.length || results.some((code) => code !== 0)) throw new Error('Not every signature is valid.');
  return `${results.length} valid signature(s).`;
});

onClick('verify-detached', 'verify-status', 'verify-result', async () => {
  const signature = await chosenFile('verify-file', 'a signature');
  const file = await chosenFile('sign-file', 'the signed file in step 2');
  const { signerCert } = await zk.checkExternalSign(file.bytes, { sign: signature.bytes, returnSigns: true });
  const who = await zk.getInfoCert({ certBlk: signerCert });
  const p = document.createElement('p');
  p.textContent = `Signer: ${who.name}${who.orgNm ? `, ${who.orgNm}` : ''} (DRFO ${who.drfo || '—'}), certificate issued by ${who.issuer}.`;
  $('verify-result').replaceChildren(p);
  return `The signature of ${file.name} is valid.`;
});

// ---- 4. encryption -------------------------------------------------------

onClick('encrypt-file', 'encrypt-status', 'encrypt-result', async () => {
  const file = await chosenFile('sign-file', 'a file in step 2');
  const recipient = certificates[Number($('recipient').value)];
  if (!recipient) throw new Error('No certificate for encryption was found.');
  const recipientCert = await zk.getCert({ cert: recipient });
  const sealed = await zk.encrypt(file.bytes, { certs: [recipientCert], ...signer() });
  offerDownload('encrypt-result', sealed, `${file.name}.p7e`);
  return `Encrypted for ${recipient.name}.`;
});

onClick('open', 'open-status', 'open-result', async () => {
  const sealed = await chosenFile('open-file', 'an encrypted file');
  try {
    const { original } = await zk.getOriginal(sealed.bytes, signer());
    offerDownload('open-result', original, sealed.name.replace(/\.p7e$/i, '') || 'original');
    return 'Opened.';
  } catch (error) {
    const recipients = error?.details?.recipients ?? [];
    $('open-result').textContent = recipients.length
      ? `The file is encrypted for: ${recipients.map((r) => r.serial || r.sn).join(', ')}` : '';
    throw error;
  }
});

// ---- 5. tokens -----------------------------------------------------------

onClick('list-tokens', 'tokens-status', null, async () => {
  const dongles = await zk.donglesList({ keys: true });
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
  return dongles.length ? `${dongles.length} token(s) found.` : 'No hardware key tokens found.';
});

// ---- start ---------------------------------------------------------------

(async () => {
  const connection = $('connection');
  try {
    const info = await zk.connect();
    show(connection, 'ok', `Connected to ZelkorH ${info.version} at ${info.url} (${info.transport === 'frame' ? 'exchange frame' : 'direct'}).`);
  } catch (error) {
    showError(connection, error);
    return;
  }
  $('refresh').click();
})();
