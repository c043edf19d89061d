// What the tests and the screenshot share: the browser, the page's address, and the way an
// operator registers the camera.
import { chromium } from 'playwright-core';

export const BASE_URL = process.env.BASE_URL ?? 'http://127.0.0.1:8080/local/ovra_vpn/';
export const SETUP_KEY = 'A1B2C3D4-0000-4000-8000-000000000001';
const CHROMIUM = process.env.CHROMIUM ?? '/usr/bin/chromium';

// No sandbox: CI runs as root.
export const launchBrowser = () => chromium.launch({ executablePath: CHROMIUM, args: ['--no-sandbox', '--disable-gpu'] });

// Types the key and sends the form from the keyboard, then waits for the client to report the tunnel up.
export async function connectWithSetupKey(page) {
  const key = page.getByLabel('Setup key');
  await key.fill(SETUP_KEY);
  await key.press('Enter');
  await page.locator('#command-summary', { hasText: 'Connected.' }).waitFor();
  await page.locator('#state-badge', { hasText: /^Connected$/ }).waitFor();
  await page.locator('#peers-body tr').first().waitFor();
}
