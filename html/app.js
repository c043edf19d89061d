'use strict';

// Relative on purpose: the camera serves this page under a prefix that the page must not assume.
const API = 'api/vpn/';
const STATUS_INTERVAL_MS = 5000;
// The service polls the client right after each command; its fresh state is there a moment later.
const STATUS_SETTLE_MS = 1000;
const TAIL_INTERVAL_MS = 5000;
const FILES_INTERVAL_MS = 30000;
const IPERF_INTERVAL_MS = 1000;
const BUSY_MESSAGE = 'The VPN service is busy. Please retry in a moment.';

const LOG_LEVELS = ['trace', 'debug', 'info', 'warning', 'error', 'critical', 'off'];
const SETTINGS = [
  { name: 'management_url', label: 'Management URL', placeholder: 'https://api.netbird.io:443' },
  { name: 'wireguard_port', label: 'WireGuard port', numeric: true },
  { name: 'mtu', label: 'MTU', numeric: true },
  { name: 'interface_name', label: 'Interface name' },
  { name: 'external_ip_map', label: 'External IP map', placeholder: 'localIP/externalIP,…' },
  { name: 'watchdog_enabled', label: 'Watchdog', choices: [['true', 'Enabled'], ['false', 'Disabled']] },
  { name: 'watchdog_timeout', label: 'Watchdog timeout (s)', numeric: true },
  { name: 'log_level', label: 'App log level', choices: LOG_LEVELS.map((level) => [level, level]) },
  { name: 'log_retention_days', label: 'Log retention (days)', numeric: true },
];

const CLIENT_STATES = {
  Connected: { label: 'Connected', tone: 'good' },
  Connecting: { label: 'Connecting', tone: 'warn' },
  Idle: { label: 'Disconnected', tone: 'neutral' },
  NeedsLogin: { label: 'Needs login', tone: 'warn', detail: 'Enter a setup key and connect.' },
  LoginFailed: { label: 'Login failed', tone: 'bad' },
  SessionExpired: { label: 'Session expired', tone: 'bad' },
};
const PEER_TONES = { Connected: 'good', Connecting: 'warn', Idle: 'neutral' };

const $ = (id) => document.getElementById(id);

let overlayIp = '';
let iperfPort = 0;
let presets = [];

// ---- Talking to the service ----

async function send(path, { method = 'GET', form } = {}) {
  let response;
  try {
    response = await fetch(API + path, { method, cache: 'no-store', body: form && new URLSearchParams(form) });
  } catch {
    throw new Error('No answer from the camera. Check the network and retry.');
  }
  if (!response.ok) throw new Error(await failureText(response));
  return response;
}

async function failureText(response) {
  if (response.status === 503) return BUSY_MESSAGE;
  const type = response.headers.get('Content-Type') ?? '';
  if (type.startsWith('application/json')) {
    const body = await response.json().catch(() => ({}));
    if (body.error) return body.error;
  } else if (type.startsWith('text/plain')) {
    const text = (await response.text()).trim();
    if (text) return text;
  }
  return `The service answered HTTP ${response.status}.`;
}

const getJson = async (path) => (await send(path)).json();
const postForm = async (path, form = {}) => (await send(path, { method: 'POST', form })).json();

// ---- Small page helpers ----

function setMessage(element, text, tone = '') {
  element.textContent = text;
  element.dataset.tone = tone;
}

// Runs a task and shows its outcome in messageEl: the returned text on success, the error otherwise.
async function report(messageEl, task) {
  try {
    setMessage(messageEl, (await task()) ?? '', 'ok');
  } catch (error) {
    setMessage(messageEl, error.message, 'error');
  }
}

// Finds a control again after its row was drawn anew, by its id or its accessible name.
function sameControlNow(control) {
  if (control.isConnected) return control;
  if (control.id) return $(control.id);
  const name = control.getAttribute('aria-label');
  return name ? document.querySelector(`[aria-label="${CSS.escape(name)}"]`) : null;
}

// A disabled or redrawn control loses the keyboard focus; the operator gets it back in place,
// unless they have moved on meanwhile.
function restoreFocus(control) {
  if (!control || control === document.body || document.activeElement !== document.body) return;
  sameControlNow(control)?.focus();
}

// An operator action: its controls are disabled while it runs so that it cannot be sent twice.
async function act(controls, messageEl, task) {
  const focused = document.activeElement;
  controls.forEach((control) => { control.disabled = true; });
  setMessage(messageEl, 'Working…');
  await report(messageEl, task);
  controls.forEach((control) => { control.disabled = false; });
  restoreFocus(focused);
}

function setBadge(element, { label, tone }) {
  element.textContent = label;
  element.className = `badge badge--${tone}`;
}

function badge(label, tone) {
  const element = document.createElement('span');
  setBadge(element, { label, tone });
  return element;
}

function tableRow(cells) {
  const row = document.createElement('tr');
  for (const cell of cells) {
    const td = document.createElement('td');
    td.append(cell ?? '—');
    row.append(td);
  }
  return row;
}

// Each cell carries its column's heading, which the narrow layout shows in place of the header row.
function fillTable(bodyId, emptyId, rows) {
  const table = $(bodyId).closest('table');
  const headings = [...table.tHead.rows[0].cells].map((cell) => cell.textContent);
  rows.forEach((row) => [...row.cells].forEach((cell, index) => { cell.dataset.label = headings[index]; }));
  $(bodyId).replaceChildren(...rows);
  table.hidden = rows.length === 0;
  $(emptyId).hidden = rows.length > 0;
}

function showConsole(pre, text) {
  const atBottom = pre.scrollHeight - pre.scrollTop - pre.clientHeight < 24;
  pre.textContent = text;
  pre.hidden = text === '';
  if (atBottom) pre.scrollTop = pre.scrollHeight;
}

function formatBytes(bytes) {
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let value = Number(bytes) || 0;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return `${unit === 0 ? value : value.toFixed(value < 10 ? 1 : 0)} ${units[unit]}`;
}

// The two largest units are enough for an operator: "3 h 12 min", "45 s".
function formatDuration(seconds) {
  let rest = Math.max(0, Math.floor(seconds));
  const parts = [[86400, 'd'], [3600, 'h'], [60, 'min'], [1, 's']].map(([size, unit]) => {
    const count = Math.floor(rest / size);
    rest -= count * size;
    return [count, unit];
  });
  const first = parts.findIndex(([count]) => count > 0);
  if (first < 0) return '0 s';
  return parts.slice(first, first + 2)
    .filter(([count]) => count > 0)
    .map(([count, unit]) => `${count} ${unit}`)
    .join(' ');
}

// The client reports "never" as Go's zero time, which parses to a date before 1970.
function formatSince(timestamp) {
  const time = Date.parse(timestamp);
  if (!(time > 0)) return 'never';
  return `${formatDuration((Date.now() - time) / 1000)} ago`;
}

function formatLatency(nanoseconds) {
  const ms = Number(nanoseconds) / 1e6;
  if (!(ms > 0)) return '—';
  return `${ms < 10 ? ms.toFixed(1) : Math.round(ms)} ms`;
}

async function copyField(input, button) {
  input.select();
  try {
    await navigator.clipboard.writeText(input.value);
  } catch {
    // The clipboard API exists only on secure origins; a camera is often reached over plain HTTP.
    document.execCommand('copy');
  }
  const label = button.textContent;
  button.textContent = 'Copied';
  setTimeout(() => { button.textContent = label; }, 1500);
}

function saveBlob(blob, fileName) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = fileName;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

// Periodic refreshes stop while the tab is hidden and catch up at once when it shows again.
const pollers = new Set();

class Poller {
  #timer = 0;
  #active = false;
  #running = false;

  constructor(task, intervalMs) {
    this.task = task;
    this.intervalMs = intervalMs;
    pollers.add(this);
  }

  start() {
    if (this.#active) return;
    this.#active = true;
    this.#schedule(0);
  }

  stop() {
    this.#active = false;
    clearTimeout(this.#timer);
  }

  pause() {
    clearTimeout(this.#timer);
  }

  resume() {
    this.runSoon(0);
  }

  runSoon(delayMs) {
    if (!this.#running) this.#schedule(delayMs);
  }

  #schedule(delayMs) {
    clearTimeout(this.#timer);
    if (this.#active && !document.hidden) this.#timer = setTimeout(() => this.#run(), delayMs);
  }

  async #run() {
    this.#running = true;
    try {
      await this.task();
    } finally {
      this.#running = false;
      this.#schedule(this.intervalMs);
    }
  }
}

document.addEventListener('visibilitychange', () => {
  pollers.forEach((poller) => (document.hidden ? poller.pause() : poller.resume()));
});

// ---- Status and peers ----

function connectionState(doc, client) {
  if (!client) {
    return doc.output
      ? { label: 'Service unavailable', tone: 'bad', detail: doc.output }
      : { label: 'Waiting for status…', tone: 'neutral' };
  }
  if (client.daemonStatus === 'Connected' && !client.management?.connected) {
    return { label: 'Management unreachable', tone: 'warn', detail: client.management?.error };
  }
  return CLIENT_STATES[client.daemonStatus] ?? { label: String(client.daemonStatus ?? 'Unknown'), tone: 'neutral' };
}

function describeLink(link) {
  if (!link) return '—';
  const state = badge(link.connected ? 'Connected' : 'Disconnected', link.connected ? 'good' : 'bad');
  const fragment = document.createDocumentFragment();
  fragment.append(state);
  if (link.error) fragment.append(` ${link.error}`);
  return fragment;
}

// What the client says of itself, which may differ from the version this application ships.
function describeClientVersions(client) {
  const versions = [['CLI', client?.cliVersion], ['daemon', client?.daemonVersion]];
  return versions.filter(([, version]) => version).map(([part, version]) => `${part} ${version}`).join(' · ');
}

function setFact(id, content) {
  $(id).replaceChildren(content || '—');
}

function showState(state) {
  setBadge($('state-badge'), state);
  setBadge($('header-badge'), state);
  $('state-detail').textContent = state.detail ?? '';
  $('state-detail').hidden = !state.detail;
}

function renderStatus(doc) {
  const client = doc.status !== null && typeof doc.status === 'object' ? doc.status : null;
  showState(connectionState(doc, client));
  setFact('fact-ip', client?.netbirdIp);
  setFact('fact-fqdn', client?.fqdn);
  setFact('fact-peers', client?.peers && `${client.peers.connected} of ${client.peers.total}`);
  setFact('fact-management', describeLink(client?.management));
  setFact('fact-signal', describeLink(client?.signal));
  setFact('fact-registered', doc.registered ? 'Yes' : 'No');
  setFact('fact-app-version', doc.app_version);
  setFact('fact-netbird-version', doc.netbird_version);
  setFact('fact-client-versions', describeClientVersions(client));
  $('banner-reconnect').hidden = !doc.pending_reconnect;
  $('banner-restart').hidden = !doc.pending_restart;
  // Once nothing waits for a restart, the notice of the last environment change is out of date.
  if (!doc.pending_restart) $('env-notice').hidden = true;
  renderPeers(client?.peers?.details ?? []);
  syncLazyConnection(client?.lazyConnectionEnabled);
  overlayIp = (client?.netbirdIp ?? '').split('/')[0];
  updateIperfCommand();
}

async function refreshStatus() {
  try {
    renderStatus(await getJson('status'));
  } catch (error) {
    showState({ label: 'No answer', tone: 'bad', detail: error.message });
  }
}

function describeConnectionType(peer) {
  if (!peer.connectionType || peer.connectionType === '-') return '—';
  const ice = peer.iceCandidateType ?? {};
  return ice.local && ice.remote ? `${peer.connectionType} (${ice.local}/${ice.remote})` : peer.connectionType;
}

function renderPeers(peers) {
  fillTable('peers-body', 'peers-empty', peers.map((peer) => tableRow([
    peer.fqdn || peer.publicKey,
    peer.netbirdIp,
    badge(peer.status, PEER_TONES[peer.status] ?? 'neutral'),
    describeConnectionType(peer),
    formatLatency(peer.latency),
    formatSince(peer.lastWireguardHandshake),
    `${formatBytes(peer.transferReceived)} / ${formatBytes(peer.transferSent)}`,
  ])));
}

// ---- Connection commands ----

// Follows the client's setting until the operator changes the box, so a reconnect keeps it as it is.
function syncLazyConnection(enabled) {
  const box = $('lazy-connection');
  if (!box.dataset.touched && typeof enabled === 'boolean') box.checked = enabled;
}

function lazyConnectionField() {
  return { enable_lazy_connection: String($('lazy-connection').checked) };
}

// Takes the setup key out of its field: the page keeps no copy of it.
function takeConnectionForm() {
  const form = lazyConnectionField();
  const key = $('setup-key').value.trim();
  const managementUrl = $('connect-management-url').value.trim();
  $('setup-key').value = '';
  if (key) form.setup_key = key;
  if (managementUrl) form.management_url = managementUrl;
  return form;
}

function reportExitCode(title, result) {
  showConsole($('command-output'), result.output || '(no output)');
  const summary = `${title}: exit code ${result.exit_code}`;
  if (!result.ok) throw new Error(`${summary}, failed.`);
  return `${summary}, done.`;
}

function reportServiceRunning(title, result) {
  $('command-output').hidden = true;
  if (!result.running) throw new Error(`${title}: the NetBird service is not running.`);
  return `${title}: the NetBird service is running.`;
}

function confirmDeregister() {
  const dialog = $('deregister-dialog');
  dialog.returnValue = '';
  dialog.showModal();
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'confirm'), { once: true });
  });
}

// "up" stores the management URL it is given; "deregister" deletes the stored settings.
const VPN_COMMANDS = {
  up: { title: 'Connect', form: takeConnectionForm, report: reportExitCode, changesSettings: true },
  down: { title: 'Disconnect', report: reportExitCode },
  reconnect: { title: 'Reconnect', form: lazyConnectionField, report: reportExitCode },
  restart: { title: 'Restart service', report: reportServiceRunning },
  deregister: { title: 'Deregister', confirm: confirmDeregister, report: reportExitCode, changesSettings: true },
};

async function runVpnCommand(name) {
  const command = VPN_COMMANDS[name];
  if (command.confirm && !(await command.confirm())) return;
  const controls = [$('connection-controls'), ...document.querySelectorAll('.banner [data-command]')];
  await act(controls, $('command-summary'), async () => {
    const result = await postForm(name, command.form?.() ?? {});
    // The answer changes the service's own flags at once, the client's state a moment later.
    refreshStatus();
    statusPoller.runSoon(STATUS_SETTLE_MS);
    if (command.changesSettings) loadSettings();
    return command.report(command.title, result);
  });
}

// ---- Settings and environment rows ----

function buildRow({ id, label, control, resetLabel, messageEl, onSave, onReset }) {
  const row = $('row-template').content.firstElementChild.cloneNode(true);
  const message = messageEl ?? row.querySelector('.row__message');
  const resetButton = row.querySelector('[data-action="reset"]');
  control.id = id;
  message.id ||= `${id}-message`;
  control.setAttribute('aria-describedby', message.id);
  row.querySelector('.row__label').htmlFor = id;
  row.querySelector('.row__label').textContent = label;
  row.querySelector('.row__input').replaceWith(control);
  resetButton.textContent = resetLabel;
  // Every row has the same two buttons: their accessible names say which field they act on.
  row.querySelector('[type="submit"]').setAttribute('aria-label', `Save: ${label}`);
  resetButton.setAttribute('aria-label', `${resetLabel}: ${label}`);
  row.addEventListener('submit', (event) => {
    event.preventDefault();
    act([event.submitter], message, () => onSave(control.value));
  });
  resetButton.addEventListener('click', () => act([resetButton], message, onReset));
  return row;
}

// Numbers are plain text fields too: the service, not the browser, judges what was typed.
function textInput(value = '') {
  const input = document.createElement('input');
  input.type = 'text';
  input.spellcheck = false;
  input.value = value;
  return input;
}

function settingControl(setting) {
  if (setting.choices) {
    const select = document.createElement('select');
    for (const [value, label] of setting.choices) select.append(new Option(label, value));
    return select;
  }
  const input = textInput();
  if (setting.numeric) input.inputMode = 'numeric';
  if (setting.placeholder) input.placeholder = setting.placeholder;
  return input;
}

function buildSettings() {
  $('settings-list').replaceChildren(...SETTINGS.map((setting) => buildRow({
    id: `setting-${setting.name}`,
    label: setting.label,
    control: settingControl(setting),
    resetLabel: 'Default',
    onSave: (value) => saveSetting(setting.name, value),
    onReset: () => saveSetting(setting.name, ''),
  })));
}

function showSetting(config, name) {
  $(`setting-${name}`).value = String(config[name]);
}

// An empty value asks the service to return the setting to its default.
async function saveSetting(name, value) {
  const config = await postForm('config', { name, value });
  showSetting(config, name);
  refreshStatus();
  return value === '' ? 'Default restored.' : 'Saved.';
}

async function loadSettings() {
  await report($('settings-message'), async () => {
    const config = await getJson('config');
    SETTINGS.forEach(({ name }) => showSetting(config, name));
    $('connect-management-url').value = config.management_url;
  });
}

// A path too long for its column wraps before a slash rather than inside a name.
function wrappingAtSlashes(text) {
  return text.split('/').flatMap((part, index) => (index === 0 ? [part] : [document.createElement('wbr'), `/${part}`]));
}

function namedValue(name, value) {
  const term = document.createElement('dt');
  const detail = document.createElement('dd');
  term.textContent = name;
  detail.append(...wrappingAtSlashes(value));
  return [term, detail];
}

function renderOverrides(overrides) {
  const rows = Object.entries(overrides).map(([name, value]) => buildRow({
    id: `env-override-${name}`,
    label: name,
    control: textInput(value),
    resetLabel: 'Remove',
    messageEl: $('env-message'),
    onSave: (newValue) => saveOverride(name, newValue),
    onReset: () => saveOverride(name, ''),
  }));
  $('env-overrides').replaceChildren(...rows);
  $('env-overrides-empty').hidden = rows.length > 0;
}

// An empty value removes the override.
async function saveOverride(name, value) {
  const answer = await postForm('env', { name, value });
  renderOverrides(answer.env);
  $('env-notice').hidden = !answer.restart_required;
  refreshStatus();
  return value === '' ? `${name} removed.` : `${name} saved.`;
}

function applyPreset() {
  const preset = presets.find((candidate) => candidate.name === $('env-preset').value);
  $('env-preset-description').textContent = preset?.description ?? '';
  $('env-name').value = preset?.name ?? '';
  $('env-value').value = preset?.default_value ?? '';
}

async function loadEnv() {
  await report($('env-message'), async () => {
    const doc = await getJson('env');
    const system = doc.entries.filter((entry) => entry.system);
    const overrides = doc.entries.filter((entry) => !entry.system);
    $('env-system').replaceChildren(...system.flatMap((entry) => namedValue(entry.name, entry.value)));
    renderOverrides(Object.fromEntries(overrides.map((entry) => [entry.name, entry.value])));
    presets = doc.presets;
    $('env-preset').append(...presets.map((preset) => new Option(preset.name, preset.name)));
  });
}

async function addOverride(event) {
  event.preventDefault();
  await act([event.submitter], $('env-add-message'), async () => {
    const name = $('env-name').value.trim();
    const value = $('env-value').value;
    if (value === '') throw new Error('Enter a value.');
    const outcome = await saveOverride(name, value);
    event.target.reset();
    applyPreset();
    return outcome;
  });
}

// ---- Logs and storage ----

async function refreshTail() {
  let text;
  try {
    text = await (await send('logs/tail?source=netbird')).text();
  } catch (error) {
    text = error.message;
  }
  showConsole($('tail-output'), text);
}

function downloadLink(file) {
  const link = document.createElement('a');
  const query = new URLSearchParams({ source: file.source, name: file.name });
  link.href = `${API}logs/download?${query}`;
  link.download = file.name;
  link.textContent = file.name;
  return link;
}

async function refreshFiles() {
  await report($('files-message'), async () => {
    const files = await getJson('logs/list');
    fillTable('files-body', 'files-empty', files.map((file) => {
      const row = tableRow([downloadLink(file), file.source, formatBytes(file.size)]);
      row.cells[2].className = 'num';
      return row;
    }));
  });
}

function storageTone(usedPct) {
  if (usedPct >= 90) return 'bad';
  if (usedPct >= 75) return 'warn';
  return 'good';
}

async function refreshStorage() {
  await report($('storage-text'), async () => {
    const storage = await getJson('storage');
    const used = storage.total ? storage.used_pct : 0;
    const fill = $('storage-fill');
    fill.style.width = `${used}%`;
    fill.className = `meter__fill meter__fill--${storageTone(used)}`;
    $('storage-bar').setAttribute('aria-valuenow', String(used));
    if (!storage.total) throw new Error('Storage figures are not available.');
    const text = `${used}% used · ${formatBytes(storage.free)} free of ${formatBytes(storage.total)}`;
    $('storage-bar').setAttribute('aria-valuetext', text);
    return text;
  });
}

// ---- Throughput test ----

function updateIperfCommand() {
  const port = iperfPort || $('iperf-port').value.trim() || '5201';
  $('iperf-command').value = `iperf3 -c ${overlayIp || '<overlay IP>'} -p ${port}`;
}

function renderIperf(server) {
  setBadge($('iperf-state'), server.running
    ? { label: `Running on port ${server.port} · ${formatDuration(server.uptime_seconds)}`, tone: 'good' }
    : { label: 'Stopped', tone: 'neutral' });
  showConsole($('iperf-output'), server.output);
  iperfPort = server.port;
  updateIperfCommand();
  if (server.running) iperfPoller.start();
  else iperfPoller.stop();
}

// Leaves the message of the last start or stop in place unless the refresh itself fails.
async function refreshIperf() {
  try {
    renderIperf(await getJson('iperf/server/status'));
  } catch (error) {
    setMessage($('iperf-message'), error.message, 'error');
  }
}

async function startIperf(event) {
  event.preventDefault();
  await act([event.submitter], $('iperf-message'), async () => {
    const server = await postForm('iperf/server/start', {
      port: $('iperf-port').value.trim(),
      idle_timeout: $('iperf-idle').value.trim(),
      one_shot: String($('iperf-one-shot').checked),
    });
    renderIperf(server);
    return `Listening on port ${server.port}.`;
  });
}

async function stopIperf(event) {
  await act([event.currentTarget], $('iperf-message'), async () => {
    renderIperf(await postForm('iperf/server/stop'));
    return 'Stopped.';
  });
}

// ---- Diagnostics ----

function bundleQuery() {
  return $('bundle-anonymize').checked ? '?anonymize=true' : '';
}

async function downloadBundle(event) {
  await act([event.currentTarget], $('bundle-message'), async () => {
    const response = await send(`debug-bundle${bundleQuery()}`);
    saveBlob(await response.blob(), 'netbird-debug-bundle.zip');
    return 'Bundle downloaded.';
  });
}

async function uploadBundle(event) {
  await act([event.currentTarget], $('bundle-message'), async () => {
    const result = await postForm(`debug-bundle/upload${bundleQuery()}`);
    showConsole($('bundle-output'), result.output || '(no output)');
    $('bundle-key').value = result.key;
    $('bundle-key-field').hidden = !result.key;
    if (!result.ok) throw new Error(`Upload failed: exit code ${result.exit_code}.`);
    return result.key ? 'Bundle uploaded.' : 'Bundle uploaded, but the client reported no key.';
  });
}

// ---- Start-up ----

function wireEvents() {
  document.addEventListener('click', (event) => {
    const commandButton = event.target.closest('[data-command]');
    if (commandButton) runVpnCommand(commandButton.dataset.command);
    const copyButton = event.target.closest('[data-copy]');
    if (copyButton) copyField($(copyButton.dataset.copy), copyButton);
  });
  $('connect-form').addEventListener('submit', (event) => {
    event.preventDefault();
    runVpnCommand('up');
  });
  $('lazy-connection').addEventListener('change', (event) => { event.target.dataset.touched = 'yes'; });
  $('env-preset').addEventListener('change', applyPreset);
  $('env-add-form').addEventListener('submit', addOverride);
  $('tail-auto').addEventListener('change', (event) => (event.target.checked ? tailPoller.start() : tailPoller.stop()));
  $('tail-refresh').addEventListener('click', refreshTail);
  $('files-refresh').addEventListener('click', refreshFiles);
  $('iperf-form').addEventListener('submit', startIperf);
  $('iperf-stop').addEventListener('click', stopIperf);
  $('iperf-port').addEventListener('input', updateIperfCommand);
  $('bundle-download').addEventListener('click', downloadBundle);
  $('bundle-upload').addEventListener('click', uploadBundle);
}

const statusPoller = new Poller(refreshStatus, STATUS_INTERVAL_MS);
const tailPoller = new Poller(refreshTail, TAIL_INTERVAL_MS);
const filesPoller = new Poller(() => Promise.all([refreshFiles(), refreshStorage()]), FILES_INTERVAL_MS);
const iperfPoller = new Poller(refreshIperf, IPERF_INTERVAL_MS);

buildSettings();
wireEvents();
statusPoller.start();
filesPoller.start();
if ($('tail-auto').checked) tailPoller.start();
loadSettings();
loadEnv();
refreshIperf();
