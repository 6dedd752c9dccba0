// Compiled by `tsc --noEmit` only: the declared types accept the calls a page
// makes and refuse the mistakes it could make.
import { ZelkorClient, ZelkorError, ZelkorConnectionError, type CertEntry } from 'zelkorh-client';

async function page(file: ArrayBuffer, pfx: Uint8Array): Promise<void> {
  const zk = new ZelkorClient({ urls: ['http://127.0.0.1:19744'], transports: ['fetch'] });
  const certs: CertEntry[] = await zk.getCertFiles({ drfo: '1234567890', exceeded: false, types: [1, 3] });
  const signed: Uint8Array = await zk.setSign(file, { drfo: certs[0].drfo, pass: 'demo1234', preserve: true });
  const detached = await zk.setExternalSign(new Uint8Array(file), { senderCert: await zk.getCert({ cert: certs[0] }), senderSK: pfx, pass: 'x' });
  const { signerCert } = await zk.checkExternalSign(file, { sign: detached, returnSigns: true });
  const text: string | null = await zk.retrievePassword();
  const { rows } = await zk.dbCommand({ base: 'notes', query: 'select 1' });
  const first: string | null | undefined = rows[0]?.one;
  const results: number[] = await zk.ctxVerifySigns(signed);
  const original = await zk.ctxGetOriginal(signed, { ocsp: { enabled: true, proxy: { address: 'p', port: 8080 } } });
  const dongles = await zk.donglesList({ keys: true });
  await zk.donglesFileSet(null, { providerName: 'P', pass: '1', fileName: 'f' });
  await zk.ctxCreateContainer(file, { serial: 's', additional: { signingTime: new Date() } });
  void [signerCert, text, first, results, original.signs[0]?.certInfo?.ocsp?.code, dongles[0]?.namedKeys];
  const stop = new AbortController();
  await zk.setSign(file, { drfo: '1', pass: 'p' }, {
    signal: stop.signal,
    onProgress: ({ phase, loaded, total }) => { const shown: string = `${phase} ${loaded}/${total ?? '?'}`; void shown; },
  });
  const untrusted: string[] = (await zk.connect()).diagnostics.filter((d) => d.reason === 'https-untrusted').map((d) => d.message);
  void untrusted;

  try {
    await zk.loadData();
  } catch (e) {
    if (e instanceof ZelkorError) { const n: number = e.code; const c: number | null = e.cspCode; void [n, c]; }
    if (e instanceof ZelkorConnectionError) { const r: 'unreachable' | 'http-status' | 'bad-answer' | 'timeout' | 'aborted' | 'version' = e.reason; void r; }
  }

  // @ts-expect-error: documents are bytes, not text
  await zk.setSign('text', { drfo: '1' });
  // @ts-expect-error: misspelt parameter
  await zk.setSign(file, { password: 'x' });
  // @ts-expect-error: commands without parameters take none
  await zk.loadData({ x: 1 });
  // @ts-expect-error: dir is 0 or 1
  await zk.symmetric(file, { dir: 2, key: file });
  // @ts-expect-error: checkCertKey needs the certificate
  await zk.checkCertKey({ pass: 'x' });
}
void page;
