// The operator page in real headless Chromium against a local run (service, simulator, nginx).
// The tests share one page and build on each other: register first, deregister last.
import { after, before, test as nodeTest } from 'node:test';

// Node 18's runner has no --test-timeout: each test carries its own limit.
const test = (name, fn) => nodeTest(name, { timeout: 300_000 }, fn);
import assert from 'node:assert/strict';
import { readFile, writeFile } from 'node:fs/promises';
import { BASE_URL, SETUP_KEY, connectWithSetupKey, launchBrowser } from './operator_page.mjs';

const IPERF_PORT = '5299';
const PHONE = { width: 390, height: 844 };
const DESKTOP = { width: 1440, height: 900 };

let browser;
let context;
let page;
const requestedUrls = [];
const posted = [];

before(async () => {
  browser = await launchBrowser();
  context = await browser.newContext({ acceptDownloads: true, viewport: DESKTOP });
  context.setDefaultTimeout(20000);
  await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: new URL(BASE_URL).origin });
  page = await context.newPage();
  page.on('request', (request) => {
    requestedUrls.push(request.url());
    if (request.method() === 'POST') posted.push(new URL(request.url()).pathname);
  });
  await page.goto(BASE_URL);
});

after(() => browser?.close());

const showing = (selector, text, on = page) => on.locator(selector, { hasText: text }).waitFor();
// The page's own commands and saves; the tests' direct requests are not among them.
const sentTo = (suffix) => posted.filter((path) => path.endsWith(suffix)).length;
const api = (path) => new URL(`api/vpn/${path}`, BASE_URL).href;

// Another operator, or the test itself, talking to the service directly.
async function post(path, form = {}) {
  const response = await page.request.post(api(path), { form });
  assert.equal(response.status(), 200, `${path}: ${await response.text()}`);
  return response.json();
}
const setOverride = (name, value) => post('env', { name, value });

async function download(trigger) {
  const [file] = await Promise.all([page.waitForEvent('download', { timeout: 70000 }), trigger.click()]);
  return { name: file.suggestedFilename(), bytes: await readFile(await file.path()) };
}

// The badge's tone as a word: good, warn, bad or neutral.
const badgeTone = (on = page) => on.locator('#state-badge').evaluate((badge) => badge.className.replace(/.*badge--/, ''));

// Every badge label shown until `done` holds, sampled as the operator would glance at it.
async function labelsUntil(done, limitMs = 60000) {
  const labels = new Set();
  const deadline = Date.now() + limitMs;
  while (!(await done()) && Date.now() < deadline) {
    labels.add(await page.locator('#state-badge').textContent());
    await page.waitForTimeout(250);
  }
  assert.ok(await done(), `still waiting after ${limitMs} ms; seen: ${[...labels].join()}`);
  return labels;
}

async function mainActions() {
  const visible = [];
  for (const name of ['Register', 'Connect', 'Disconnect']) {
    if (await page.getByRole('button', { name, exact: true }).isVisible()) visible.push(name);
  }
  return visible;
}

test('an unregistered camera asks for login, offers Register only, and refuses an empty key or a URL without scheme', async () => {
  await showing('#state-badge', 'Login required');
  assert.notEqual(await badgeTone(), 'good');
  assert.deepEqual(await mainActions(), ['Register']);
  assert.ok(await page.getByRole('button', { name: 'Reconnect' }).first().isDisabled());
  assert.ok(await page.getByRole('button', { name: 'Deregister…' }).isDisabled());

  await page.getByRole('button', { name: 'Register', exact: true }).click();
  await showing('#setup-key-message', 'Enter the setup key');
  assert.equal(await page.getByLabel('Setup key').getAttribute('aria-invalid'), 'true');

  const url = page.getByLabel('Management URL');
  await url.fill('api.netbird.io:443');
  await page.getByLabel('Setup key').fill(SETUP_KEY);
  await page.getByRole('button', { name: 'Register', exact: true }).click();
  await showing('#management-url-message', 'must start with https:// or http://');
  assert.equal(await url.getAttribute('aria-invalid'), 'true');
  await page.locator('#management-url-save').click();
  // Nothing went out: the page refused the key and the URL before sending.
  assert.equal(sentTo('/up') + sentTo('/config'), 0);

  // Typing again clears what no longer holds.
  await url.fill('https://api.netbird.io:443');
  assert.equal(await url.getAttribute('aria-invalid'), null);
  assert.equal(await page.locator('#management-url-message').textContent(), '');
});

test('a failed registration says why in a sentence, keeps the key, and has the raw output behind Details', async () => {
  await setOverride('NB_SIM_UP_FAIL', '1');
  try {
    await page.getByRole('button', { name: 'Register', exact: true }).click();
    await showing('#command-summary', 'Connect failed.');
    assert.doesNotMatch(await page.locator('#command-summary').textContent(), /exit code 1,|simulated/);
    assert.equal(await page.getByLabel('Setup key').inputValue(), SETUP_KEY);
    const details = page.locator('#command-details');
    assert.equal(await details.isVisible(), true);
    assert.equal(await page.locator('#command-output').isVisible(), false);
    await details.locator('summary').click();
    await showing('#command-output', 'simulated failure');
  } finally {
    await setOverride('NB_SIM_UP_FAIL', '');
  }
});

test('registering shows the VPN connected, Disconnect as the main action, the server in use, and forgets the key', async () => {
  await connectWithSetupKey(page);
  await showing('#fact-registered', 'Yes');
  assert.deepEqual(await mainActions(), ['Disconnect']);
  assert.equal(await page.getByLabel('Setup key').isVisible(), false);
  assert.equal(await page.getByLabel('Setup key').inputValue(), '');
  assert.equal(await page.evaluate(() => localStorage.length + sessionStorage.length), 0);
  assert.match(await page.locator('#fact-server').textContent(), /^https?:\/\/\S+/);
  assert.equal(await badgeTone(), 'good');
});

test('text, controls and the focus ring meet WCAG AA contrast', async (t) => {
  await page.getByLabel('Management URL').focus();
  await page.keyboard.press('Shift+Tab');
  await page.keyboard.press('Tab');
  const ratios = await page.evaluate(() => {
    const rgb = (color) => color.match(/[\d.]+/g).slice(0, 3).map(Number);
    const luminance = (color) => {
      const [r, g, b] = rgb(color).map((v) => v / 255).map((v) => (v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4));
      return 0.2126 * r + 0.7152 * g + 0.0722 * b;
    };
    const ratio = (a, b) => {
      const [x, y] = [luminance(a), luminance(b)].sort((p, q) => q - p);
      return (x + 0.05) / (y + 0.05);
    };
    const style = (selector) => getComputedStyle(document.querySelector(selector));
    const card = style('.card').backgroundColor;
    const focused = getComputedStyle(document.activeElement);
    // Every badge tone, whichever states the page shows now.
    const badges = Object.fromEntries(['good', 'warn', 'bad', 'neutral'].map((tone) => {
      const sample = document.createElement('span');
      sample.className = `badge badge--${tone}`;
      document.querySelector('.card').append(sample);
      const { color, backgroundColor } = getComputedStyle(sample);
      sample.remove();
      return [`${tone} badge`, ratio(color, backgroundColor)];
    }));
    return {
      ...badges,
      'connected badge': ratio(style('#state-badge').color, style('#state-badge').backgroundColor),
      'hint text': ratio(style('.hint').color, card),
      'table heading': ratio(style('th').color, card),
      'input border': ratio(style('#management-url').borderTopColor, card),
      'button border': ratio(style('#action-reconnect').borderTopColor, card),
      'danger border': ratio(style('#action-deregister').borderTopColor, card),
      'primary button': ratio(style('#action-disconnect').color, style('#action-disconnect').backgroundColor),
      'focus ring': focused.outlineStyle === 'none' ? 0 : ratio(focused.outlineColor, card),
    };
  });
  const controls = ['input border', 'button border', 'danger border', 'focus ring'];
  for (const [name, value] of Object.entries(ratios)) {
    t.diagnostic(`${name}: ${value.toFixed(2)}:1`);
    assert.ok(value >= (controls.includes(name) ? 3 : 4.5), `${name}: ${value.toFixed(2)}:1`);
  }
});

test('at phone width nothing is wider than the screen, section links lead to each part, and identities do not break inside a label', async () => {
  await page.setViewportSize(PHONE);
  try {
    const overflowing = await page.evaluate(() => [document.documentElement, ...document.querySelectorAll('.table-scroll')]
      .filter((element) => element.scrollWidth > element.clientWidth)
      .map((element) => element.className || element.tagName));
    assert.deepEqual(overflowing, []);

    const nav = page.getByRole('navigation', { name: 'Sections' });
    await nav.getByRole('link', { name: 'Logs' }).click();
    await page.waitForFunction(() => {
      const box = document.getElementById('logs-title').getBoundingClientRect();
      return box.top >= 0 && box.bottom <= innerHeight;
    });
    // The links stay in reach while scrolling, and an arrow shows that the row scrolls sideways.
    assert.ok(await nav.isVisible());
    assert.ok(await nav.evaluate((row) => row.scrollWidth > row.clientWidth &&
      getComputedStyle(row, '::after').content === '"›"'));

    const fqdn = page.locator('#fact-fqdn');
    const labels = await fqdn.evaluate((element) => [...element.querySelectorAll('.nowrap')]
      .map((part) => part.getClientRects().length));
    assert.ok(labels.length >= 2);
    assert.ok(labels.every((lines) => lines === 1), String(labels));
    assert.equal(await page.locator('#fact-ip .nowrap').evaluate((address) => address.getClientRects().length), 1);

    await page.getByRole('button', { name: 'Copy the FQDN' }).click();
    assert.equal(await page.evaluate(() => navigator.clipboard.readText()), await fqdn.textContent());
  } finally {
    await page.setViewportSize(DESKTOP);
  }
  assert.equal(await page.getByRole('navigation', { name: 'Sections' }).isVisible(), false);
});

test('the versions shown are the ones the service and the client report', async () => {
  const doc = await (await page.request.get(api('status'))).json();
  assert.equal(await page.locator('#fact-app-version').textContent(), doc.app_version);
  assert.equal(await page.locator('#fact-netbird-version').textContent(), doc.netbird_version);
  const client = `CLI ${doc.status.cliVersion} · daemon ${doc.status.daemonVersion}`;
  assert.equal(await page.locator('#fact-client-versions').textContent(), client);
});

test('a slow command shows as running with its time, on a reloaded page and in a second tab, with the other commands disabled', async () => {
  await setOverride('NB_SIM_DELAY_MS', '8000');
  const second = await context.newPage();
  try {
    await page.getByRole('button', { name: 'Disconnect' }).click();
    await showing('#state-badge', 'Disconnecting…');
    await page.reload();
    for (const tab of [page, second]) {
      if (tab === second) await second.goto(BASE_URL);
      await showing('#activity', /Disconnect running for \d+ s\. This usually takes a few seconds\./, tab);
      await showing('#state-badge', 'Disconnecting…', tab);
      await showing('#header-badge', 'Disconnecting…', tab);
      for (const name of ['Reconnect', 'Restart service', 'Deregister…', 'Download bundle', 'Upload bundle']) {
        assert.ok(await tab.getByRole('button', { name, exact: true }).first().isDisabled(), name);
      }
    }
    // The time goes on while it runs.
    await showing('#activity', /running for [1-9]/, second);
    // Both tabs see its end, and never the state from before it while the client is asked again
    // (its status answer is as slow as the command).
    const shown = new Set();
    await second.waitForFunction(() => document.querySelector('#state-badge').textContent === 'Checking…');
    while (!shown.has('Disconnected')) {
      for (const tab of [page, second]) shown.add(await tab.locator('#state-badge').textContent());
      await page.waitForTimeout(100);
    }
    assert.ok(!shown.has('Connected'), [...shown].join());
    for (const tab of [page, second]) await showing('#state-badge', /^Disconnected$/, tab);
    assert.match(await second.title(), /· Disconnected · Ovra VPN$/);
    assert.equal(await page.locator('#activity').isVisible(), false);
    assert.ok(await page.getByRole('button', { name: 'Connect', exact: true }).isEnabled());
  } finally {
    await second.close();
    await setOverride('NB_SIM_DELAY_MS', '');
  }
  assert.deepEqual(await mainActions(), ['Connect']);
});

test('a message stops showing once the state it reported has changed', async () => {
  await page.getByRole('button', { name: 'Connect', exact: true }).click();
  await showing('#command-summary', 'Connected.');
  await showing('#state-badge', /^Connected$/);
  // Someone else disconnects: "Connected." is no longer true.
  await post('down');
  await showing('#state-badge', /^Disconnected$/);
  await page.locator('#command-summary').filter({ hasText: /.+/ }).waitFor({ state: 'hidden' });
  await page.getByRole('button', { name: 'Connect', exact: true }).click();
  await showing('#state-badge', /^Connected$/);
});

test('a command the client did not finish in time reads as timed out', async () => {
  // The service's own limit takes a minute; its answer is what the page has to word.
  await page.route('**/api/vpn/reconnect', (route) => route.fulfill({
    contentType: 'application/json',
    body: JSON.stringify({ exit_code: 124, ok: false, output: 'Command timed out' }),
  }));
  try {
    await page.getByRole('button', { name: 'Reconnect' }).first().click();
    await showing('#command-summary', 'Reconnect failed. Timed out after 60 s.');
    assert.doesNotMatch(await page.locator('#command-summary').textContent(), /124/);
  } finally {
    await page.unroute('**/api/vpn/reconnect');
  }
});

// As the camera's web server answers while the application is down.
const badGateway = (route) => route.fulfill({ status: 502, contentType: 'text/html', body: '<h1>502 Bad Gateway</h1>' });

test('when the service stops answering, the state says so, the facts turn grey and the actions wait for it', async () => {
  await page.route('**/api/vpn/**', badGateway);
  try {
    await showing('#state-badge', 'No answer');
    assert.notEqual(await badgeTone(), 'good');
    assert.match(await page.locator('#facts').getAttribute('class'), /\bstale\b/);
    assert.match(await page.locator('#peers-section').getAttribute('class'), /\bstale\b/);
    await showing('#no-answer', 'The application is not answering');
    for (const name of ['Disconnect', 'Reconnect', 'Save: MTU', 'Start server']) {
      assert.ok(await page.getByRole('button', { name, exact: true }).first().isDisabled(), name);
    }
    // The age of what is shown goes on counting.
    await showing('#status-updated', /Client state from ([7-9]|\d\d+) s ago/);
  } finally {
    await page.unroute('**/api/vpn/**', badGateway);
  }
  await showing('#state-badge', /^Connected$/);
  assert.doesNotMatch(await page.locator('#facts').getAttribute('class'), /\bstale\b/);
  assert.ok(await page.locator('#no-answer').isHidden());
  assert.ok(await page.getByRole('button', { name: 'Save: MTU' }).isEnabled());
});

test('a page opened while the application does not answer loads its settings once it does, and saves nothing before', async () => {
  const late = await context.newPage();
  try {
    await late.route('**/api/vpn/**', badGateway);
    await late.goto(BASE_URL);
    await showing('#no-answer', 'not answering', late);
    assert.ok(await late.getByRole('button', { name: 'Save: MTU' }).isDisabled());
    assert.equal(await late.getByLabel('MTU', { exact: true }).inputValue(), '');
    await late.unroute('**/api/vpn/**', badGateway);
    await late.waitForFunction(() => document.querySelector('#setting-mtu').value !== '');
    await late.waitForFunction(() => !document.querySelector('#settings-fields').disabled);
    assert.notEqual(await late.locator('#env-preset option').count(), 1);
  } finally {
    await late.close();
  }
});

test('the connection history says since when the VPN is up and what happened, in every tab', async () => {
  await showing('#journal-summary', /^Connected since \d.* · \d+ drops? today$/);
  await showing('#journal-body', 'Command');
  await showing('#journal-body', 'up: done');
  await showing('#availability-day', / %$/);
  const second = await context.newPage();
  try {
    await second.goto(BASE_URL);
    await showing('#journal-body', 'up: done', second);
    assert.ok(await second.locator('#journal-body tr').count() <= 20);
  } finally {
    await second.close();
  }
});

test('peers show how they are reached, and the relays and STUN servers have a row of their own', async () => {
  await showing('#peers-body', /Direct|Relayed/);
  await showing('#peers-body', '→');
  await showing('#fact-relays', / of \d+ available/);
});

test('lost management with peers connected names the server, since when, and that tunnels still carry traffic', async () => {
  await setOverride('NB_SIM_MANAGEMENT_DOWN', '1');
  try {
    await showing('#state-badge', 'Management unreachable');
    assert.equal(await badgeTone(), 'warn');
    const why = await page.locator('#state-detail').textContent();
    const server = await page.locator('#fact-server').textContent();
    assert.ok(why.includes(`The management server ${server} has not answered since `), why);
    assert.match(why, /Tunnels still carry traffic: \d+ peers? connected/);
    assert.match(why, /Check the camera's internet access/);
  } finally {
    await setOverride('NB_SIM_MANAGEMENT_DOWN', '');
  }
  await showing('#state-badge', /^Connected$/);
});

test('a lazy-connection change or another server typed while connected says what it takes', async () => {
  const lazy = page.getByLabel(/Lazy connection/);
  await lazy.setChecked(!(await lazy.isChecked()));
  await showing('#lazy-connection-note', 'takes effect when you choose Reconnect');
  await lazy.setChecked(!(await lazy.isChecked()));
  assert.ok(await page.locator('#lazy-connection-note').isHidden());

  const url = page.getByLabel('Management URL');
  const saved = await url.inputValue();
  await url.fill('https://other.example.com:443');
  await showing('#management-url-note', 'Moving it needs a setup key made on the new server');
  assert.ok(await page.getByLabel('Setup key').isVisible());
  await page.locator('#management-url-save').click();
  await showing('#management-url-message', 'Not saved');
  assert.equal(sentTo('/config'), 0);
  await url.fill(saved);
  assert.ok(await page.locator('#management-url-note').isHidden());
  assert.equal(await page.getByLabel('Setup key').isVisible(), false);
});

test('deregister asks first, and cancelling sends nothing', async () => {
  await page.getByRole('button', { name: 'Deregister…' }).click();
  const dialog = page.getByRole('dialog');
  await dialog.waitFor();
  const text = await dialog.textContent();
  for (const deleted of ['registration', 'app.json', "NetBird's configuration", 'log']) assert.ok(text.includes(deleted), deleted);
  await dialog.getByRole('button', { name: 'Cancel' }).click();
  await dialog.waitFor({ state: 'hidden' });
  assert.equal(sentTo('/deregister'), 0);
});

test('a setting shows its range up front; a refused value is named by its label, marked invalid, and the saved value stated', async () => {
  const mtu = page.getByLabel('MTU', { exact: true });
  assert.ok(await page.locator('#setting-mtu-hint', { hasText: '576 to 8192' }).isVisible());
  await mtu.fill('100');
  await mtu.press('Enter');
  await showing('#setting-mtu-message', 'Not saved: MTU must be an integer between 576 and 8192. The saved value is still 1280.');
  assert.equal(await mtu.getAttribute('aria-invalid'), 'true');
  await mtu.fill('1300');
  assert.equal(await mtu.getAttribute('aria-invalid'), null);
  assert.equal(await page.locator('#setting-mtu-message').textContent(), '');
  await page.getByRole('button', { name: 'Default: MTU' }).click();
  await showing('#setting-mtu-message', 'Default restored.');
  assert.equal(await mtu.inputValue(), '1280');
});

test('an environment override raises one banner beside it, until the service restarts', async () => {
  // A name the service refuses is refused in the words of the form.
  await page.getByLabel('Name', { exact: true }).fill('lowercase');
  await page.getByLabel('Value', { exact: true }).fill('1');
  await page.getByRole('button', { name: 'Add override' }).click();
  await showing('#env-add-message', 'The name must start with NB_ and hold only capital letters, digits and _.');
  await page.getByLabel('Preset').selectOption('NB_LOG_LEVEL');
  assert.equal(await page.getByLabel('Name', { exact: true }).inputValue(), 'NB_LOG_LEVEL');
  await page.getByLabel('Value', { exact: true }).fill('debug');
  await page.getByRole('button', { name: 'Add override' }).click();
  const banner = page.locator('#env-notice');
  await banner.waitFor();
  await page.locator('#state-badge', { hasText: /^Connected$/ }).waitFor();
  assert.equal(await page.locator('.banner:visible').count(), 1);
  assert.equal(await page.locator('section:has(#env-title) .banner:visible').count(), 1);
  assert.equal(await page.getByLabel('NB_LOG_LEVEL', { exact: true }).inputValue(), 'debug');
  await banner.getByRole('button', { name: 'Restart service' }).click();
  await banner.waitFor({ state: 'hidden' });
});

test('the log tail leaves out the status polls, and the file list shows dates and downloads under the file name', async () => {
  await page.locator('#tail-refresh').click();
  await page.locator('#tail-output').filter({ hasText: /\S/ }).waitFor();
  assert.doesNotMatch(await page.locator('#tail-output').textContent(), /"command":"status"/);

  await page.locator('#files-refresh').click();
  const first = page.locator('#files-body tr').first();
  await first.waitFor();
  const modified = await first.locator('td').nth(2).textContent();
  assert.ok(!Number.isNaN(Date.parse(modified)) || /\d{1,4}[./-]\d{1,2}[./-]\d{1,4}/.test(modified), modified);
  const link = page.locator('#files-body a').first();
  const expectedName = await link.getAttribute('download');
  const file = await download(link);
  assert.equal(file.name, expectedName);
  assert.ok(file.bytes.length > 0);
});

test('a throughput test starts, shows the server output and the client command, and its buttons follow its state', async () => {
  const start = page.getByRole('button', { name: 'Start server' });
  const stop = page.getByRole('button', { name: 'Stop', exact: true });
  assert.ok(await stop.isDisabled());
  await page.getByLabel('Port', { exact: true }).fill(IPERF_PORT);
  await page.getByLabel('Stop after one client (one-off)').uncheck();
  await start.click();
  await showing('#iperf-state', `Running on port ${IPERF_PORT}`);
  await showing('#iperf-output', `Server listening on ${IPERF_PORT}`);
  assert.ok(await start.isDisabled());
  const command = await page.getByLabel('Run on another peer').inputValue();
  assert.match(command, new RegExp(`^iperf3 -c \\d+\\.\\d+\\.\\d+\\.\\d+ -p ${IPERF_PORT}$`));
  await stop.click();
  await showing('#iperf-state', 'Stopped');
  assert.ok(await start.isEnabled());
});

test('a debug bundle downloads as a zip named after the camera and the time', async () => {
  const camera = (await page.locator('#fact-fqdn').textContent()).split('.')[0];
  const file = await download(page.getByRole('button', { name: 'Download bundle' }));
  assert.match(file.name, new RegExp(`^${camera}-netbird-debug-\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d\\.zip$`));
  assert.equal(file.bytes.subarray(0, 2).toString('latin1'), 'PK');
});

test('a bundle upload asks first and says where it goes; once confirmed it shows the key that support needs', async () => {
  const dialog = page.getByRole('dialog', { name: 'Upload the debug bundle?' });
  await page.getByRole('button', { name: 'Upload bundle' }).click();
  assert.match(await dialog.textContent(), /upload\.debug\.netbird\.io/);
  await dialog.getByRole('button', { name: 'Cancel' }).click();
  assert.equal(sentTo('/debug-bundle/upload'), 0);

  await page.getByRole('button', { name: 'Upload bundle' }).click();
  const [answer] = await Promise.all([
    page.waitForResponse((response) => new URL(response.url()).pathname.endsWith('/debug-bundle/upload')),
    dialog.getByRole('button', { name: 'Upload' }).click(),
  ]);
  const { key } = await answer.json();
  assert.ok(key);
  await showing('#bundle-message', 'Bundle uploaded.');
  assert.equal(await page.getByLabel('Upload key (give it to support)').inputValue(), key);
});

test('a service in a crash loop never shows green and its restarts are named by cause; the operator\'s Restart is no alarm', async () => {
  await setOverride('NB_SIM_SERVICE_EXIT_AFTER_MS', '1500');
  try {
    await post('restart');
    // Up to its first crash the service is as healthy as it looks; from then on it is not.
    await showing('#fact-service', /\d+ restarts? after a failed start/);
    const tones = new Set();
    // Over several crashes and restarts by the watchdog, every state shown is sampled.
    const deadline = Date.now() + 60000;
    while (Date.now() < deadline) {
      tones.add(await badgeTone());
      if ((await page.locator('#state-badge').textContent()) === 'Service stopped') {
        assert.doesNotMatch(await page.locator('#fact-management').textContent(), /Connected/);
        assert.equal(await page.locator('#peers-body tr').count(), 0);
      }
      const service = await page.locator('#fact-service').textContent();
      if (/([3-9]|\d\d+) restarts after a failed start/.test(service)) break;
      await page.waitForTimeout(250);
    }
    assert.match(await page.locator('#fact-service').textContent(),
      /([3-9]|\d\d+) restarts after a failed start(, \d+ by the operator)? in the last hour/);
    assert.ok(!tones.has('good'), [...tones].join());
  } finally {
    await setOverride('NB_SIM_SERVICE_EXIT_AFTER_MS', '');
  }
  // The operator's own restart, after all those, reads as a restart, not as an unstable service.
  await page.getByRole('button', { name: 'Restart service' }).first().click();
  const labels = await labelsUntil(async () => (await page.locator('#state-badge').textContent()) === 'Connected');
  assert.ok(!labels.has('Service unstable'), [...labels].join());
  await showing('#fact-service', /by the operator in the last hour/);
});

test('a service that cannot start shows its fatal line and the way out, and Deregister resets the camera', async () => {
  // An empty configuration file, as a power cut can leave it.
  await writeFile(`${process.env.APP_DIR}/localdata/config.json`, '');
  await post('restart');
  await showing('#state-badge', 'Service cannot start');
  assert.equal(await badgeTone(), 'bad');
  const why = await page.locator('#state-detail').textContent();
  assert.match(why, /It last said: “failed to start daemon: failed to get config/);
  assert.match(why, /Deregister resets it/);
  await page.getByRole('button', { name: 'Deregister…' }).click();
  await page.getByRole('dialog').getByRole('button', { name: 'Deregister' }).click();
  await showing('#command-summary', 'Deregistered on this camera only');
  assert.match(await page.locator('#command-summary').textContent(), /Remove its peer in the NetBird dashboard/);
  await showing('#fact-registered', 'No');
  await showing('#state-badge', 'Login required');
  assert.deepEqual(await mainActions(), ['Register']);
});

test('every request of the page stays under the prefix it was served from', () => {
  const outside = requestedUrls.filter((url) => !url.startsWith(BASE_URL) && !url.startsWith('blob:'));
  assert.deepEqual(outside, []);
});
