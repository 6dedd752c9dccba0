// The browsers the tests drive through puppeteer-core: Debian's Chromium (over
// the DevTools protocol) and Debian's Firefox ESR (over WebDriver BiDi), both
// headless, each with the profile folder it is given. Certificates are never
// ignored: HTTPS pages of the service load only when the profile trusts the
// service's local CA (Chromium: the user's NSS database $HOME/.pki/nssdb;
// Firefox: the profile's own cert9.db, which the service fills at its start).
import puppeteer from 'puppeteer-core';

export const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

// Beside puppeteer's own automation preferences: nothing reaches the network
// by itself (this machine has none, and a test must not wait for it), nothing
// is updated or reported, and downloads land without a dialog.
export const FIREFOX_PREFS = {
  'app.update.auto': false,
  'app.update.enabled': false,
  'browser.download.always_ask_before_handling_new_types': false,
  'browser.download.manager.showWhenStarting': false,
  'browser.region.network.url': '',
  'browser.region.update.enabled': false,
  'browser.safebrowsing.provider.google4.updateURL': '',
  'browser.safebrowsing.provider.mozilla.updateURL': '',
  'browser.topsites.contile.enabled': false,
  'captivedetect.canonicalURL': '',
  'datareporting.usage.uploadEnabled': false,
  'extensions.blocklist.enabled': false,
  'network.captive-portal-service.enabled': false,
  'network.connectivity-service.enabled': false,
  'network.dns.disablePrefetch': true,
  'network.prefetch-next': false,
  'network.trr.mode': 5,
  'security.OCSP.enabled': 0,
  'security.remote_settings.crlite_filters.enabled': false,
  'services.settings.server': 'data:,',
  'toolkit.telemetry.enabled': false,
  'toolkit.telemetry.server': 'data:,',
  'toolkit.telemetry.unified': false,
};

export const EXECUTABLES = { chromium: '/usr/bin/chromium', firefox: '/usr/bin/firefox-esr' };

/** Starts browser name ('chromium' or 'firefox') with profileDir; env: the browser's environment. */
export function launch(name, profileDir, { env = process.env } = {}) {
  const common = { executablePath: EXECUTABLES[name], headless: true, userDataDir: profileDir, env,
    protocolTimeout: 120000 };
  if (name === 'chromium') return puppeteer.launch({ ...common, browser: 'chrome', args: CHROMIUM_ARGS });
  if (name === 'firefox') return puppeteer.launch({ ...common, browser: 'firefox', extraPrefsFirefox: FIREFOX_PREFS });
  throw new Error(`unknown browser ${name}`);
}

/** Waits until fn(arg) is true in the page (checked every 100 ms, up to timeout ms). */
export function waitFor(page, fn, arg = null, timeout = 30000) {
  return page.waitForFunction(fn, { polling: 100, timeout }, arg);
}

/** A new page that reports its script errors on the driver's standard error. */
export async function newPage(browser) {
  const page = await browser.newPage();
  page.on('pageerror', (e) => console.error(`page error: ${e}`));
  return page;
}
