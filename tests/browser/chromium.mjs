// Debian's Chromium, headless with a fresh profile, driven by playwright-core.
// Certificates are never ignored: HTTPS pages of the service load only when
// the user's NSS database ($HOME/.pki/nssdb) trusts the service's local CA.
import { chromium } from 'playwright-core';

export const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

export function launch(userDataDir, options = {}) {
  return chromium.launchPersistentContext(userDataDir, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: CHROMIUM_ARGS,
    ...options,
  });
}
