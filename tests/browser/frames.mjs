// The exchange frame in one browser: the sites of each origins case
// (frame_origins.mjs), then each page that embeds the frame (xchgframe.mjs).
// Usage: node frames.mjs <chromium|firefox> <profile dir> <plan JSON>
//   plan: {"origins": [{"service", "pageA", "pageB", "allowed"}], "frames": [page URL, ...]}
import { launch } from './browsers.mjs';
import { checkOrigins } from './frame_origins.mjs';
import { checkFrame } from './xchgframe.mjs';

const [browserName, userDataDir, planText] = process.argv.slice(2);
const plan = JSON.parse(planText);
const browser = await launch(browserName, userDataDir);
try {
  for (const c of plan.origins) await checkOrigins(browser, c.service, c.pageA, c.pageB, c.allowed);
  for (const url of plan.frames) await checkFrame(browser, url);
} finally {
  await browser.close();
}
