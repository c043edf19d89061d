// The operator page in real headless Chromium against a local run (service, simulator, nginx).
// The tests share one page and build on each other: connect first, deregister last.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { chromium } from 'playwright-core';

const BASE_URL = process.env.BASE_URL ?? 'http://127.0.0.1:8080/local/ovra_vpn/';
const CHROMIUM = process.env.CHROMIUM ?? '/usr/bin/chromium';
const IPERF_PORT = '5299';

let browser;
let page;
const requestedUrls = [];

before(async () => {
  // No sandbox: CI runs as root. No QUIC: this machine's network is closed, so its probes only add noise.
  browser = await chromium.launch({ executablePath: CHROMIUM, args: ['--no-sandbox', '--disable-gpu', '--disable-quic'] });
  const context = await browser.newContext({ acceptDownloads: true });
  context.setDefaultTimeout(20000);
  page = await context.newPage();
  page.on('request', (request) => requestedUrls.push(request.url()));
  await page.goto(BASE_URL);
});

after(() => browser?.close());

const showing = (selector, text) => page.locator(selector, { hasText: text }).waitFor();

async function download(trigger) {
  const [file] = await Promise.all([page.waitForEvent('download', { timeout: 70000 }), trigger.click()]);
  return { name: file.suggestedFilename(), bytes: await readFile(await file.path()) };
}

test('connecting with a setup key shows the VPN connected with its peers, and forgets the key', async () => {
  await page.getByLabel('Setup key').fill('A1B2C3D4-0000-4000-8000-000000000001');
  await page.getByRole('button', { name: 'Connect', exact: true }).click();
  await showing('#command-summary', 'Connect: exit code 0');
  await showing('#state-badge', /^Connected$/);
  await page.locator('#peers-body tr').first().waitFor();
  await showing('#fact-registered', 'Yes');
  assert.equal(await page.getByLabel('Setup key').inputValue(), '');
});

test('deregister asks first, and cancelling sends nothing', async () => {
  await page.getByRole('button', { name: 'Deregister…' }).click();
  const dialog = page.getByRole('dialog');
  await dialog.waitFor();
  const text = await dialog.textContent();
  for (const deleted of ['registration', 'app.json', "NetBird's configuration", 'log']) assert.ok(text.includes(deleted), deleted);
  await dialog.getByRole('button', { name: 'Cancel' }).click();
  await dialog.waitFor({ state: 'hidden' });
  assert.equal(requestedUrls.filter((url) => url.endsWith('/deregister')).length, 0);
});

test('a rejected setting shows the service message beside the field and keeps the value', async () => {
  const mtu = page.getByLabel('MTU', { exact: true });
  await mtu.fill('100');
  await mtu.press('Enter');
  await showing('#setting-mtu-message', 'mtu must be an integer between 576 and 8192');
  await page.reload();
  await page.waitForFunction(() => document.querySelector('#setting-mtu').value !== '');
  assert.equal(await page.getByLabel('MTU', { exact: true }).inputValue(), '1280');
});

test('an environment override asks for a restart until the service restarts', async () => {
  await page.getByLabel('Preset').selectOption('NB_LOG_LEVEL');
  assert.equal(await page.getByLabel('Name', { exact: true }).inputValue(), 'NB_LOG_LEVEL');
  await page.getByLabel('Value', { exact: true }).fill('debug');
  await page.getByRole('button', { name: 'Add override' }).click();
  const banner = page.locator('#banner-restart');
  await banner.waitFor();
  assert.equal(await page.getByLabel('NB_LOG_LEVEL', { exact: true }).inputValue(), 'debug');
  await banner.getByRole('button', { name: 'Restart service' }).click();
  await banner.waitFor({ state: 'hidden' });
});

test('a listed log file downloads under its own name', async () => {
  await page.locator('#files-refresh').click();
  const link = page.locator('#files-body a').first();
  const expectedName = await link.getAttribute('download');
  const file = await download(link);
  assert.equal(file.name, expectedName);
  assert.ok(file.bytes.length > 0);
});

test('a throughput test starts, shows the server output and the client command, and stops', async () => {
  await page.getByLabel('Port', { exact: true }).fill(IPERF_PORT);
  await page.getByLabel('Stop after one client (one-off)').uncheck();
  await page.getByRole('button', { name: 'Start server' }).click();
  await showing('#iperf-state', `Running on port ${IPERF_PORT}`);
  await showing('#iperf-output', `Server listening on ${IPERF_PORT}`);
  const command = await page.getByLabel('Run on another peer').inputValue();
  assert.match(command, new RegExp(`^iperf3 -c \\d+\\.\\d+\\.\\d+\\.\\d+ -p ${IPERF_PORT}$`));
  await page.getByRole('button', { name: 'Stop', exact: true }).click();
  await showing('#iperf-state', 'Stopped');
});

test('a debug bundle downloads as a zip archive', async () => {
  const file = await download(page.getByRole('button', { name: 'Download bundle' }));
  assert.equal(file.name, 'netbird-debug-bundle.zip');
  assert.equal(file.bytes.subarray(0, 2).toString('latin1'), 'PK');
});

test('deregistering after confirmation leaves the camera unregistered', async () => {
  await page.getByRole('button', { name: 'Deregister…' }).click();
  await page.getByRole('dialog').getByRole('button', { name: 'Deregister' }).click();
  await showing('#command-summary', 'Deregister: exit code 0');
  await showing('#fact-registered', 'No');
});

test('every request of the page stays under the prefix it was served from', () => {
  const outside = requestedUrls.filter((url) => !url.startsWith(BASE_URL) && !url.startsWith('blob:'));
  assert.deepEqual(outside, []);
});
