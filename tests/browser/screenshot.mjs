// Pictures the page as an operator sees it: docs/screenshot.png once the camera is connected, and
// beside it the states a remote operator meets, at desktop (1280x800) and phone (390x844) size.
import { readFile, writeFile } from 'node:fs/promises';
import path from 'node:path';
import { BASE_URL, connectWithSetupKey, launchBrowser } from './operator_page.mjs';

const OUTPUT = process.env.SCREENSHOT ?? 'screenshot.png';
const DOCS = path.dirname(OUTPUT);
const SIZES = { desktop: { width: 1280, height: 800 }, phone: { width: 390, height: 844 } };
const api = (page, route, form) => page.request.post(new URL(`api/vpn/${route}`, BASE_URL).href, { form });
const badGateway = (route) => route.fulfill({ status: 502, contentType: 'text/html', body: '<h1>502 Bad Gateway</h1>' });

// The focus ring of the keyboard-sent form is no part of the picture.
const blur = (page) => page.evaluate(() => document.activeElement?.blur());

async function pictureAtBothSizes(browser, state, prepare, restore = async () => {}) {
  for (const [name, viewport] of Object.entries(SIZES)) {
    const page = await browser.newPage({ viewport });
    page.setDefaultTimeout(30000);
    try {
      await page.goto(BASE_URL);
      await page.locator('#state-badge', { hasText: /^Connected$/ }).waitFor();
      await prepare(page);
      await blur(page);
      await page.screenshot({ path: path.join(DOCS, `screenshot-${state}-${name}.png`) });
      await restore(page);
    } finally {
      await page.close();
    }
  }
}

const browser = await launchBrowser();
try {
  const page = await browser.newPage({ viewport: { width: 1440, height: 900 } });
  page.setDefaultTimeout(20000);
  await page.goto(BASE_URL);
  await connectWithSetupKey(page);
  // Right after connecting no traffic has passed yet; the next refresh shows some.
  await page.waitForFunction(() => [...document.querySelectorAll('#peers-body td:last-child')]
    .some((cell) => !cell.textContent.startsWith('0 B')));
  await blur(page);
  await page.screenshot({ path: OUTPUT, fullPage: true });

  await pictureAtBothSizes(browser, 'history', (tab) => tab.locator('#journal-title').scrollIntoViewIfNeeded());
  await pictureAtBothSizes(browser, 'no-answer', async (tab) => {
    await tab.route('**/api/vpn/**', badGateway);
    await tab.locator('#no-answer').waitFor();
    await tab.locator('#status-updated', { hasText: /from/ }).waitFor();
  });
  // A slow client: after Disconnect the page waits for the client's new state instead of
  // repainting the old one.
  await api(page, 'env', { name: 'NB_SIM_DELAY_MS', value: '6000' });
  await pictureAtBothSizes(browser, 'checking', async (tab) => {
    await tab.getByRole('button', { name: 'Disconnect' }).click();
    await tab.locator('#state-badge', { hasText: 'Checking…' }).waitFor();
    await tab.locator('#command-summary', { hasText: 'Disconnected.' }).waitFor();
  }, (tab) => api(tab, 'up', {}));
  await api(page, 'env', { name: 'NB_SIM_DELAY_MS', value: '' });

  // Management lost while the tunnels keep working: the why line names the server and the peers.
  await pictureAtBothSizes(browser, 'management-lost', async (tab) => {
    await api(tab, 'env', { name: 'NB_SIM_MANAGEMENT_DOWN', value: '1' });
    await tab.locator('#state-badge', { hasText: 'Management unreachable' }).waitFor();
  }, (tab) => api(tab, 'env', { name: 'NB_SIM_MANAGEMENT_DOWN', value: '' }));
  // A configuration file emptied by a power cut: the service cannot start, and the page says why.
  const config = `${process.env.APP_DIR}/localdata/config.json`;
  const intact = await readFile(config);
  await pictureAtBothSizes(browser, 'cannot-start', async (tab) => {
    await writeFile(config, '');
    await api(tab, 'restart');
    // The next start may wait for the back-off of the one before.
    await tab.locator('#state-badge', { hasText: 'Service cannot start' }).waitFor({ timeout: 60000 });
  }, async (tab) => {
    await writeFile(config, intact);
    await api(tab, 'restart');
  });
} finally {
  await browser.close();
}
