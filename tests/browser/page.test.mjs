// The operator page in real headless Chromium against a local run (service, simulator, nginx).
// The tests share one page and build on each other: connect first, deregister last.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { BASE_URL, connectWithSetupKey, launchBrowser } from './operator_page.mjs';

const IPERF_PORT = '5299';
const PHONE = { width: 390, height: 844 };

let browser;
let page;
const requestedUrls = [];

before(async () => {
  browser = await launchBrowser();
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
  await connectWithSetupKey(page);
  await showing('#fact-registered', 'Yes');
  assert.equal(await page.getByLabel('Setup key').inputValue(), '');
  assert.equal(await page.evaluate(() => localStorage.length + sessionStorage.length), 0);
  // The form was disabled while the command ran: the keyboard focus is back where it was.
  assert.equal(await page.evaluate(() => document.activeElement.id), 'setup-key');
});

test('the versions shown are the ones the service and the client report', async () => {
  const doc = await (await page.request.get(new URL('api/vpn/status', BASE_URL).href)).json();
  assert.equal(await page.locator('#fact-app-version').textContent(), doc.app_version);
  assert.equal(await page.locator('#fact-netbird-version').textContent(), doc.netbird_version);
  const client = `CLI ${doc.status.cliVersion} · daemon ${doc.status.daemonVersion}`;
  assert.equal(await page.locator('#fact-client-versions').textContent(), client);
});

test('at phone width nothing is wider than the screen, tables included', async () => {
  const desktop = page.viewportSize();
  await page.setViewportSize(PHONE);
  const overflowing = await page.evaluate(() => [document.documentElement, ...document.querySelectorAll('.table-scroll')]
    .filter((element) => element.scrollWidth > element.clientWidth)
    .map((element) => element.className || element.tagName));
  await page.setViewportSize(desktop);
  assert.deepEqual(overflowing, []);
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

test('an uploaded bundle shows the key that support needs', async () => {
  const [answer] = await Promise.all([
    page.waitForResponse((response) => new URL(response.url()).pathname.endsWith('/debug-bundle/upload')),
    page.getByRole('button', { name: 'Upload bundle' }).click(),
  ]);
  const { key } = await answer.json();
  assert.ok(key);
  await showing('#bundle-message', 'Bundle uploaded.');
  assert.equal(await page.getByLabel('Upload key (give it to support)').inputValue(), key);
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
