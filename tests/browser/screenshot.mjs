// Pictures the page as an operator sees it once the camera is connected (docs/screenshot.png).
import { BASE_URL, connectWithSetupKey, launchBrowser } from './operator_page.mjs';

const OUTPUT = process.env.SCREENSHOT ?? 'screenshot.png';

const browser = await launchBrowser();
try {
  const page = await browser.newPage({ viewport: { width: 1440, height: 900 } });
  page.setDefaultTimeout(20000);
  await page.goto(BASE_URL);
  await connectWithSetupKey(page);
  // Right after connecting no traffic has passed yet; the next refresh shows some.
  await page.waitForFunction(() => !document.querySelector('#peers-body td:last-child').textContent.startsWith('0 B'));
  // The focus ring of the keyboard-sent form is no part of the picture.
  await page.evaluate(() => document.activeElement.blur());
  await page.screenshot({ path: OUTPUT, fullPage: true });
} finally {
  await browser.close();
}
