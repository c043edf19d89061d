'use strict';

// Relative on purpose: the camera serves this page under a prefix that the page must not assume.
const API = 'api/vpn/';
const STATUS_INTERVAL_MS = 5000;
// While a command runs, its elapsed time and its end show within a second.
const BUSY_INTERVAL_MS = 1000;
// The service polls the client right after each command; its fresh state is there a moment later.
const STATUS_SETTLE_MS = 1000;
// Past three missed refreshes the shown state is too old to trust.
const STALE_AFTER_MS = 3 * STATUS_INTERVAL_MS;
// A service restarted by the watchdog counts as unstable until it has run this long.
const STABLE_SERVICE_SECONDS = 120;
const COMMAND_LIMIT_SECONDS = 60;
const TIMED_OUT_EXIT_CODE = 124;
const TAIL_INTERVAL_MS = 5000;
const FILES_INTERVAL_MS = 30000;
const IPERF_INTERVAL_MS = 1000;
const BUSY_MESSAGE = 'The VPN service is busy. Please retry in a moment.';
const URL_RULE = 'The management URL must start with https:// or http://, for example https://api.netbird.io:443.';

const LOG_LEVELS = ['trace', 'debug', 'info', 'warning', 'error', 'critical', 'off'];
// The management URL has its own field in the Connection card, where it is used.
const SETTINGS = [
  { name: 'wireguard_port', label: 'WireGuard port', numeric: true, hint: '1 to 65535' },
  { name: 'mtu', label: 'MTU', numeric: true, hint: '576 to 8192 bytes' },
  { name: 'interface_name', label: 'Interface name', hint: "1 to 15 letters, digits, '_' or '-'" },
  {
    name: 'external_ip_map', label: 'External IP map', placeholder: 'externalIP/localIP,…',
    hint: 'Comma-separated external IPv4 addresses, each optionally /local IP or interface',
  },
  { name: 'watchdog_enabled', label: 'Watchdog', choices: [['true', 'Enabled'], ['false', 'Disabled']] },
  { name: 'watchdog_timeout', label: 'Watchdog timeout (s)', numeric: true, hint: '30 seconds or more' },
  { name: 'log_level', label: 'App log level', choices: LOG_LEVELS.map((level) => [level, level]) },
  { name: 'log_retention_days', label: 'Log retention (days)', numeric: true, hint: '1 to 365 days' },
];

const CLIENT_STATES = {
  Connected: { label: 'Connected', tone: 'good' },
  Connecting: { label: 'Connecting', tone: 'warn' },
  Idle: { label: 'Disconnected', tone: 'neutral' },
  NeedsLogin: { label: 'Login required', tone: 'warn', detail: 'Enter a setup key and choose Register.' },
  LoginFailed: { label: 'Login failed', tone: 'bad' },
  SessionExpired: { label: 'Session expired', tone: 'bad' },
};
// What to check when the management server refuses a login.
const SETUP_KEY_CHECK = 'Check the setup key in the NetBird dashboard: it must be valid, not used up or expired, ' +
  'and made on the management server this camera uses.';
const PEER_TONES = { Connected: 'good', Connecting: 'warn', Idle: 'neutral' };

// The queued jobs of the service by the name /activity gives them.
const JOB_LABELS = {
  up: 'Connect',
  down: 'Disconnect',
  reconnect: 'Reconnect',
  deregister: 'Deregister',
  'debug bundle': 'Debug bundle',
  'debug bundle upload': 'Debug bundle upload',
};
// What the operator may expect of each job's length, in words that hold.
const JOB_HINTS = {
  up: 'Registering or connecting can take up to a minute.',
  down: 'This usually takes a few seconds.',
  reconnect: 'This usually takes under half a minute.',
  deregister: 'This can take up to a minute.',
  'debug bundle': 'A bundle can take up to a minute.',
  'debug bundle upload': 'An upload can take up to a minute.',
};
const JOURNAL_SHOWN = 20;
// The journal's events in words.
const JOURNAL_KINDS = {
  connected: 'Connected',
  connecting: 'Connecting',
  management_lost: 'Management server lost',
  management_restored: 'Management server back',
  disconnected: 'Disconnected',
  logged_out: 'Login needed',
  service_started: 'NetBird service started',
  service_stopped: 'NetBird service stopped',
  service_exited: 'NetBird service ended unexpectedly',
  service_restarted: 'NetBird service restarted',
  start_failed: 'NetBird service could not start',
  daemon_started: 'Application started',
  daemon_stopped: 'Application stopped',
  command: 'Command',
};
// Why the service was started again, as /activity names the causes.
const RESTART_CAUSES = {
  lost_management: 'by the watchdog after management was lost',
  hung_service: 'by the watchdog when the service stopped answering',
  crash: 'after a crash',
  start_failure: 'after a failed start',
  operator: 'by the operator',
};
const FORCED_RESET_DONE = 'Deregistered on this camera only: the management server was not told. Remove its peer ' +
  'in the NetBird dashboard. A new setup key is needed to connect again.';
const MOVE_NOT_SAVED = 'Not saved: this registered camera moves to another server only with a setup key made ' +
  'there. Enter it and choose Connect, which saves the address too.';
const BUNDLE_STEP = 'download a debug bundle under Diagnostics and send it to support.';
const NO_ANSWER_NOTICE = 'The application is not answering, so actions are paused. ' +
  'Check that it runs under the camera\'s Apps; the page picks up again by itself when it answers.';
const TRANSITIONS = {
  up: { label: 'Connecting…', tone: 'warn' },
  reconnect: { label: 'Connecting…', tone: 'warn' },
  down: { label: 'Disconnecting…', tone: 'warn' },
  deregister: { label: 'Disconnecting…', tone: 'warn' },
};

const $ = (id) => document.getElementById(id);

let overlayIp = '';
let iperfPort = 0;
let presets = [];
let savedConfig = {};
let iperfRunning = false;
// What the page knows of the service: the latest /status and /activity answers, when the last
// answer came, and the command this tab itself waits for.
const view = {
  doc: null, activity: null, journal: null, answeredAt: 0, failed: false, ownCommand: null, commandMessage: null,
  announcedState: undefined, refocus: false,
};
// Documents loaded once; a load that failed is tried again once the service answers.
const loaded = { settings: false, env: false };

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

// The service's terse refusals in the words of the page's fields.
const PLAIN_ERRORS = {
  'Missing env name': 'Enter a name.',
  'Invalid env key': 'The name must start with NB_ and hold only capital letters, digits and _.',
  'Env key is read-only': 'The application sets this variable itself; it cannot be changed here.',
  'Use Tunnel settings for this NetBird flag': 'This variable has its own field under Settings; change it there.',
  'Env key is reserved: the system sets this NetBird flag itself':
    'The application sets this variable itself; it cannot be changed here.',
  'Env key would hold a secret, which is never stored':
    'This variable would hold a secret, and the camera never stores secrets.',
  'Missing config name': 'This setting has no name; reload the page.',
  'Invalid config key': 'The application does not know this setting; reload the page.',
};

function plainError(text) {
  const protectedKey = /^Env key is protected: (.*)$/.exec(text);
  if (protectedKey) return `This variable cannot be changed here: ${protectedKey[1]}`;
  return PLAIN_ERRORS[text] ?? text;
}

async function failureText(response) {
  if (response.status === 503) return BUSY_MESSAGE;
  const type = response.headers.get('Content-Type') ?? '';
  if (type.startsWith('application/json')) {
    const body = await response.json().catch(() => ({}));
    if (body.error) return plainError(body.error);
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
async function act(controls, messageEl, task, workingText = 'Working…') {
  const focused = document.activeElement;
  controls.forEach((control) => { control.disabled = true; });
  setMessage(messageEl, workingText);
  await report(messageEl, task);
  controls.forEach((control) => { control.disabled = false; });
  // A control that the state disables stays so.
  updateControls();
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

// Copies a field's value or an element's text.
async function copyField(source, button) {
  const text = source instanceof HTMLInputElement ? source.value : source.textContent;
  try {
    await navigator.clipboard.writeText(text);
  } catch {
    // The clipboard API exists only on secure origins; a camera is often reached over plain HTTP.
    if (source instanceof HTMLInputElement) source.select();
    else getSelection().selectAllChildren(source);
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

// ---- Status, activity and peers ----

function clientOf(doc) {
  return doc?.status !== null && typeof doc?.status === 'object' ? doc.status : null;
}

function jobLabel(name) {
  return JOB_LABELS[name] ?? name;
}

// The command that runs now, by the service's word or, until it answers, by this tab's own.
function runningCommand() {
  return view.activity?.command ?? view.ownCommand;
}

// "2 restarts by the watchdog after management was lost, 1 after a crash in the last hour": the
// restarts of the service's window by cause, the operator's own left out unless asked for.
function restartSummary(activity, { withOperator = false } = {}) {
  const recent = activity?.recent_restarts;
  if (!recent) return '';
  const causes = Object.keys(RESTART_CAUSES).filter((cause) => recent[cause] > 0 && (withOperator || cause !== 'operator'));
  if (!causes.length) return '';
  const counts = causes.map((cause, index) => {
    const count = index === 0 ? `${recent[cause]} restart${recent[cause] === 1 ? '' : 's'}` : recent[cause];
    return `${count} ${RESTART_CAUSES[cause]}`;
  });
  const window = recent.window_seconds === 3600 ? 'hour' : formatDuration(recent.window_seconds);
  return `${counts.join(', ')} in the last ${window}`;
}

function sentence(text) {
  return text ? ` ${text.charAt(0).toUpperCase()}${text.slice(1)}.` : '';
}

function stoppedService(activity) {
  if (!activity || activity.service_running) return null;
  return {
    label: 'Service stopped',
    tone: 'bad',
    detail: `The NetBird service is not running.${sentence(restartSummary(activity))} If it stays stopped: ${BUNDLE_STEP}`,
  };
}

// Started again by the watchdog or after a crash a short while ago: a crash loop looks like this
// between its crashes. The operator's own Restart or Reconnect is no sign of trouble.
function unstableService(activity) {
  const cause = activity?.lifecycle?.last_restart_cause;
  if (!activity?.service_running || !cause || cause === 'operator') return null;
  const summary = restartSummary(activity);
  if (!summary || activity.service_uptime_seconds >= STABLE_SERVICE_SECONDS) return null;
  return {
    label: 'Service unstable',
    tone: 'warn',
    detail: `${sentence(summary).trim()} The latest start was ${formatDuration(activity.service_uptime_seconds)} ago.` +
      `${saidLast(activity.lifecycle.last_fatal)} If it keeps happening: ${BUNDLE_STEP}`,
  };
}

// The last fatal line without its time stamp and source: "failed to start daemon: ...".
function fatalMessage(fatal) {
  const match = /(?:FATL|PANC) [^ ]+: (.*)$/.exec(fatal.line);
  return match ? match[1] : fatal.line;
}

function saidLast(fatal) {
  return fatal ? ` It last said: “${fatalMessage(fatal)}” (${new Date(fatal.at).toLocaleString()}).` : '';
}

function cannotStart(lifecycle) {
  return ['waiting', 'starting'].includes(lifecycle?.state) && lifecycle.last_restart_cause === 'start_failure';
}

// The service ended and waits for its next start, each wait longer than the one before.
function waitingService(activity) {
  const lifecycle = activity?.lifecycle;
  if (lifecycle?.state !== 'waiting') return null;
  const next = lifecycle.next_start_seconds > 0
    ? `It is tried again in ${formatDuration(lifecycle.next_start_seconds)}`
    : 'It is tried again now';
  const why = saidLast(lifecycle.last_fatal);
  if (!cannotStart(lifecycle)) {
    const detail = `The NetBird service stopped.${why} ${next}; each wait is longer than the last. ` +
      `If it keeps stopping: ${BUNDLE_STEP}`;
    return { label: 'Service restarting', tone: 'bad', detail };
  }
  return {
    label: 'Service cannot start',
    tone: 'bad',
    detail: `The NetBird service stops as soon as it starts.${why} ${next}; each wait is longer than the last. ` +
      'If its configuration file is damaged (after a power cut, for example), Deregister resets it; the camera then ' +
      'needs a new setup key, and its old peer must be removed in the NetBird dashboard.',
  };
}

function clientState(doc, client) {
  if (!client) {
    if (!doc.output) return { label: 'Waiting for status…', tone: 'neutral' };
    if (doc.client_message) {
      return { label: 'Connecting', tone: 'warn', detail: `The NetBird client is trying to connect: ${doc.client_message}` };
    }
    const detail = 'The NetBird client did not answer the last status request.';
    return { label: 'Service unavailable', tone: 'bad', detail };
  }
  if (['LoginFailed', 'SessionExpired'].includes(client.daemonStatus)) return refusedLogin(client);
  if (!doc.registered) return { label: 'Login required', tone: 'warn', detail: 'Enter a setup key and choose Register.' };
  if (client.daemonStatus === 'Connected') return connectedTrouble(client) ?? CLIENT_STATES.Connected;
  return CLIENT_STATES[client.daemonStatus] ?? { label: String(client.daemonStatus ?? 'Unknown'), tone: 'neutral' };
}

function refusedLogin(client) {
  const refused = client.daemonStatus === 'LoginFailed'
    ? `The management server ${serverOf(client)} refused the login.`
    : 'The login of this camera has expired.';
  return {
    ...CLIENT_STATES[client.daemonStatus],
    detail: `${refused} ${SETUP_KEY_CHECK} Then enter it and choose Register.`,
  };
}

function serverOf(client) {
  return client?.management?.url || savedConfig.management_url || 'in use';
}

// Since when management is lost, by the connection history: the newest of its losses and returns.
function managementLostSince() {
  const event = view.journal?.events.find((entry) => ['management_lost', 'management_restored'].includes(entry.kind));
  return event?.kind === 'management_lost' ? ` since ${formatWhen(event.time)}` : '';
}

// Connected, but something the connection needs does not answer: the first such trouble, with why
// and what to do.
function connectedTrouble(client) {
  if (!client.management?.connected) {
    const peers = client.peers?.connected ?? 0;
    const traffic = peers > 0
      ? `Tunnels still carry traffic: ${peers} peer${peers === 1 ? '' : 's'} connected, and nothing is restarted.`
      : 'No peer is connected, so nothing reaches the camera over the VPN; the service is restarted if this lasts.';
    return {
      label: 'Management unreachable',
      tone: 'warn',
      detail: `The management server ${serverOf(client)} has not answered${managementLostSince()}. ${traffic} ` +
        'Check the camera\'s internet access and the server; the client reconnects by itself when it is back.',
    };
  }
  if (client.signal && !client.signal.connected) {
    return {
      label: 'Signal unreachable',
      tone: 'warn',
      detail: `The signal server ${client.signal.url || ''} does not answer: tunnels that are up keep working, but no new ` +
        'peer connection can be set up. Check that the camera may reach it (outgoing TCP 443).',
    };
  }
  const unreachable = unreachableRelayKinds(client.relays);
  if (unreachable.stun) {
    return {
      label: 'Connected',
      tone: 'warn',
      detail: 'No STUN server answers, so this camera cannot learn its public address: peers reach it only through a ' +
        'relay. Check that the camera may send UDP to port 3478.',
    };
  }
  if (unreachable.relay) {
    return {
      label: 'Connected',
      tone: 'warn',
      detail: 'No relay server answers: peers that cannot connect directly cannot reach this camera. Check that the ' +
        'camera may reach the relays (outgoing TCP 443 and UDP 3478).',
    };
  }
  return null;
}

// Which kinds of relay servers (STUN, or the relays and TURN servers that carry traffic) all fail.
function unreachableRelayKinds(relays) {
  const details = relays?.details ?? [];
  const allDown = (kind) => {
    const servers = details.filter((relay) => /^stuns?:/i.test(relay.uri) === (kind === 'stun'));
    return servers.length > 0 && servers.every((relay) => !relay.available);
  };
  return { stun: allDown('stun'), relay: allDown('relay') };
}

// One state for the badge: no answer, a command under way, a stopped service, a camera to
// register, an unstable service, then the client's own state. A troubled service is never green.
function currentState() {
  if (view.failed) return { label: 'No answer', tone: 'bad', detail: view.failedMessage };
  const transition = TRANSITIONS[runningCommand()];
  if (transition) return transition;
  if (!view.doc) return { label: 'Loading…', tone: 'neutral' };
  const client = clientOf(view.doc);
  const stopped = waitingService(view.activity) ?? stoppedService(view.activity);
  if (stopped) return stopped;
  if (view.doc.command_ended_after_poll) {
    return { label: 'Checking…', tone: 'neutral', detail: 'Asking the NetBird client for its state after the last command.' };
  }
  if (client && !view.doc.registered) return clientState(view.doc, client);
  return unstableService(view.activity) ?? clientState(view.doc, client);
}

// Connected or on its way there: the main action is then Disconnect.
function isUp(client) {
  return client?.daemonStatus === 'Connected' || client?.daemonStatus === 'Connecting';
}

// Nothing said of a link is true while the service that holds it is not running. A link down is
// trouble only while the VPN is meant to be up: a fresh or disconnected camera has none.
function describeLink(link, serviceRunning, expectedUp) {
  if (!serviceRunning) return 'Not known while the service is stopped';
  if (!link) return '—';
  const downTone = expectedUp ? 'bad' : 'neutral';
  const state = badge(link.connected ? 'Connected' : 'Disconnected', link.connected ? 'good' : downTone);
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

function describeService(activity) {
  if (!activity) return '';
  const life = activity.service_running ? `Running for ${formatDuration(activity.service_uptime_seconds)}` : 'Stopped';
  const restarts = restartSummary(activity, { withOperator: true });
  return restarts ? `${life} · ${restarts}` : life;
}

function setFact(id, content) {
  $(id).replaceChildren(content || '—');
}

function unbreakable(text) {
  const part = document.createElement('span');
  part.className = 'nowrap';
  part.textContent = text;
  return part;
}

// A name breaks only between its dot-separated labels, never inside one (as at a hyphen).
function unbrokenLabels(text) {
  return text.split('.').flatMap((label, index) => (index === 0
    ? [unbreakable(label)]
    : [document.createElement('wbr'), unbreakable(`.${label}`)]));
}

// An address never breaks; a name only between its labels.
function setIdentity(id, value, breaksAtDots) {
  const parts = !value ? ['—'] : breaksAtDots ? unbrokenLabels(value) : [unbreakable(value)];
  $(id).replaceChildren(...parts);
  document.querySelector(`[data-copy="${id}"]`).hidden = !value;
}

function showState(state) {
  setBadge($('state-badge'), state);
  setBadge($('header-badge'), state);
  $('state-detail').textContent = state.detail ?? '';
  $('state-detail').hidden = !state.detail;
}

function showActivity() {
  const command = runningCommand();
  const line = $('activity');
  line.hidden = !command;
  if (!command) return;
  const seconds = view.activity?.command ? view.activity.command_seconds : 0;
  const queued = view.activity?.queued ? ` ${view.activity.queued} more waiting.` : '';
  const elapsed = `${jobLabel(command)} running for ${formatDuration(seconds)}.`;
  const hint = JOB_HINTS[command] ? ` ${JOB_HINTS[command]}` : '';
  line.textContent = `${elapsed}${hint}${queued}`;
}

// Seconds since the client was last asked, by the service's count plus the time since it answered.
function snapshotAgeSeconds() {
  const age = view.doc?.snapshot_age_seconds;
  if (typeof age !== 'number') return null;
  return age + (Date.now() - view.answeredAt) / 1000;
}

// Facts that no longer hold: no answer, an old snapshot, one taken before the last command, or a
// stopped service.
function factsAreStale() {
  const answerAge = view.answeredAt ? Date.now() - view.answeredAt : 0;
  const snapshotAge = snapshotAgeSeconds();
  return view.failed || answerAge > STALE_AFTER_MS || (snapshotAge !== null && snapshotAge * 1000 > STALE_AFTER_MS) ||
    Boolean(view.doc?.command_ended_after_poll) || view.doc?.service_running === false;
}

// The snapshot's age once it was older than one poll when the service last answered (or the service
// no longer answers), and the facts greyed once they no longer hold.
function showFreshness() {
  const age = snapshotAgeSeconds();
  const old = age !== null && (view.failed || view.doc.snapshot_age_seconds * 1000 > STATUS_INTERVAL_MS + BUSY_INTERVAL_MS);
  $('status-updated').textContent = old ? `Client state from ${formatDuration(age)} ago` : '';
  const stale = factsAreStale();
  for (const id of ['facts', 'peers-section']) $(id).classList.toggle('stale', stale);
}

function renderFacts(doc, activity) {
  const client = clientOf(doc);
  setIdentity('fact-ip', client?.netbirdIp, false);
  setIdentity('fact-fqdn', client?.fqdn, true);
  setFact('fact-server', client?.management?.url || savedConfig.management_url);
  setFact('fact-peers', client?.peers && `${client.peers.connected} of ${client.peers.total}`);
  const running = doc.service_running !== false && activity?.service_running !== false;
  const expectedUp = doc.registered && isUp(client);
  setFact('fact-management', describeLink(client?.management, running, expectedUp));
  setFact('fact-signal', describeLink(client?.signal, running, expectedUp));
  setFact('fact-relays', describeRelays(client?.relays, running));
  setFact('fact-registered', doc.registered ? 'Yes' : 'No');
  setFact('fact-service', describeService(activity));
  setFact('fact-app-version', doc.app_version);
  setFact('fact-netbird-version', doc.netbird_version);
  setFact('fact-client-versions', describeClientVersions(client));
  renderPeers(running ? client?.peers?.details ?? [] : []);
  syncLazyConnection(client?.lazyConnectionEnabled);
  overlayIp = (client?.netbirdIp ?? '').split('/')[0];
  updateIperfCommand();
}

function renderView() {
  const state = currentState();
  showState(state);
  announceChange(state);
  showPageTitle(state);
  showNoAnswerNotice();
  renderJournal(view.journal);
  showActivity();
  showFreshness();
  if (view.doc) {
    renderFacts(view.doc, view.activity);
    $('banner-reconnect').hidden = !view.doc.pending_reconnect;
    $('env-notice').hidden = !view.doc.pending_restart;
  }
  clearOutdatedCommandMessage();
  updateControls();
  showConnectionNotes();
  keepFocusOnMainAction();
}

async function refreshStatus() {
  try {
    const [doc, activity, journal] = await Promise.all([getJson('status'), getJson('activity'), getJson('journal')]);
    Object.assign(view, { doc, activity, journal, answeredAt: Date.now(), failed: false });
    retryFailedLoads();
  } catch (error) {
    Object.assign(view, { failed: true, failedMessage: error.message });
  }
  renderView();
  statusPoller.intervalMs = runningCommand() ? BUSY_INTERVAL_MS : STATUS_INTERVAL_MS;
}

// Direct (with the candidate types) or relayed (with the relay server that carries it).
function describeConnectionType(peer) {
  if (!peer.connectionType || peer.connectionType === '-') return '—';
  if (peer.connectionType === 'Relayed') return peer.relayAddress ? `Relayed via ${peer.relayAddress}` : 'Relayed';
  const ice = peer.iceCandidateType ?? {};
  return ice.local && ice.remote ? `Direct (${ice.local}/${ice.remote})` : 'Direct';
}

// The client writes "-" for an endpoint it does not know, as for a relayed peer.
function describeEndpoints(peer) {
  const known = (endpoint) => (endpoint && endpoint !== '-' ? endpoint : '');
  const local = known(peer.iceCandidateEndpoint?.local);
  const remote = known(peer.iceCandidateEndpoint?.remote);
  return local || remote ? `${local || '?'} → ${remote || '?'}` : '—';
}

function describePeerStatus(peer) {
  const fragment = document.createDocumentFragment();
  fragment.append(badge(peer.status, PEER_TONES[peer.status] ?? 'neutral'));
  const since = formatSince(peer.lastStatusUpdate);
  if (since !== '—') fragment.append(` since ${since}`);
  return fragment;
}

// Trouble first: peers not connected, then relayed ones, then the rest; by name within each.
function peerTrouble(peer) {
  if (peer.status !== 'Connected') return 0;
  return peer.connectionType === 'Relayed' ? 1 : 2;
}

function byTroubleThenName(a, b) {
  return peerTrouble(a) - peerTrouble(b) || String(a.fqdn).localeCompare(String(b.fqdn));
}

function renderPeers(peers) {
  fillTable('peers-body', 'peers-empty', [...peers].sort(byTroubleThenName).map((peer) => tableRow([
    peer.fqdn || peer.publicKey,
    peer.netbirdIp,
    describePeerStatus(peer),
    describeConnectionType(peer),
    describeEndpoints(peer),
    formatLatency(peer.latency),
    formatSince(peer.lastWireguardHandshake),
    `${formatBytes(peer.transferReceived)} / ${formatBytes(peer.transferSent)}`,
  ])));
}

// Relay and STUN/TURN servers: without them peers behind strict NATs cannot reach this camera.
function describeRelays(relays, serviceRunning) {
  if (!serviceRunning || !relays?.total) return '—';
  const down = (relays.details ?? []).filter((relay) => !relay.available).map((relay) => relay.uri);
  const tone = relays.available === relays.total ? 'good' : relays.available === 0 ? 'bad' : 'warn';
  const fragment = document.createDocumentFragment();
  fragment.append(badge(`${relays.available} of ${relays.total} available`, tone));
  if (down.length) fragment.append(` Not reachable: ${down.join(', ')}`);
  return fragment;
}

// ---- Connection history ----

function formatClock(unixSeconds) {
  return new Date(unixSeconds * 1000).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' });
}

function formatWhen(unixSeconds) {
  const date = new Date(unixSeconds * 1000);
  const today = new Date().toDateString() === date.toDateString();
  return today ? formatClock(unixSeconds) : date.toLocaleString([], { dateStyle: 'short', timeStyle: 'short' });
}

function startOfToday() {
  const midnight = new Date();
  midnight.setHours(0, 0, 0, 0);
  return midnight.getTime() / 1000;
}

function dropsToday(journal) {
  const since = startOfToday();
  return journal.events.filter((event) => event.drop && event.time >= since).length;
}

// "Connected since 09:12 · 2 drops today"
function journalSummary(journal) {
  const drops = dropsToday(journal);
  const dropText = drops === 1 ? '1 drop today' : `${drops} drops today`;
  const state = journal.connected_since ? `Connected since ${formatWhen(journal.connected_since)}` : 'Not connected';
  return `${state} · ${dropText}`;
}

function formatShare(share) {
  return typeof share === 'number' ? `${(share * 100).toFixed(1)} %` : '—';
}

function journalRow(event) {
  const row = tableRow([formatWhen(event.time), JOURNAL_KINDS[event.kind] ?? event.kind, event.detail || '']);
  if (event.drop) row.classList.add('journal__drop');
  return row;
}

function renderJournal(journal) {
  if (!journal) return;
  $('journal-summary').textContent = journalSummary(journal);
  $('availability-day').textContent = formatShare(journal.availability?.day);
  $('availability-week').textContent = formatShare(journal.availability?.week);
  fillTable('journal-body', 'journal-empty', journal.events.slice(0, JOURNAL_SHOWN).map(journalRow));
}

// ---- Announcements, title and the lost service ----

// Screen readers hear the state when it changes and a command when it ends, never a refresh.
function announce(text) {
  $('announcer').textContent = text;
}

function announceChange(state) {
  if (view.announcedState === state.label) return;
  if (view.announcedState !== undefined) announce(`State: ${state.label}`);
  view.announcedState = state.label;
}

function showPageTitle(state) {
  const fqdn = clientOf(view.doc)?.fqdn ?? '';
  const camera = fqdn.split('.')[0] || location.hostname;
  document.title = `${camera} · ${state.label} · Ovra VPN`;
}

function showNoAnswerNotice() {
  $('no-answer').hidden = !view.failed;
  $('no-answer').textContent = view.failed ? NO_ANSWER_NOTICE : '';
}

function retryFailedLoads() {
  if (!loaded.settings) loadSettings();
  if (!loaded.env) loadEnv();
}

// ---- Connection commands ----

function mainActionButton() {
  return ['action-register', 'action-connect', 'action-disconnect'].map($).find((button) => !button.hidden);
}

// One main action per state (Register, Connect or Disconnect), and nothing while a command runs.
function updateControls() {
  const client = clientOf(view.doc);
  const registered = Boolean(view.doc?.registered);
  // While the client's state after a command is not known, no action offered can be right for it.
  const busy = Boolean(runningCommand()) || view.failed || Boolean(view.doc?.command_ended_after_poll);
  // Until the first answer nothing is offered that the state may contradict a moment later.
  const main = !view.doc ? null : !registered ? 'register' : isUp(client) ? 'disconnect' : 'connect';
  $('connection-controls').disabled = busy;
  $('setup-key-field').hidden = registered && !movingManagement();
  $('action-register').hidden = main !== 'register';
  $('action-connect').hidden = main !== 'connect';
  $('action-disconnect').hidden = main !== 'disconnect';
  $('action-reconnect').disabled = !registered;
  $('action-deregister').disabled = !registered;
  document.querySelectorAll('.banner [data-command], #bundle-download, #bundle-upload')
    .forEach((button) => { button.disabled = busy; });
  $('iperf-form').querySelector('[type="submit"]').disabled = iperfRunning || view.failed;
  $('iperf-stop').disabled = !iperfRunning || view.failed;
  // A field that never loaded would save as empty, which resets its setting.
  $('settings-fields').disabled = !loaded.settings || view.failed;
  $('env-fields').disabled = !loaded.env || view.failed;
}

// Follows the client's setting until the operator changes the box, so a reconnect keeps it as it is.
function syncLazyConnection(enabled) {
  const box = $('lazy-connection');
  if (!box.dataset.touched && typeof enabled === 'boolean') box.checked = enabled;
}

// A registered camera asked to use another management server: the service refuses that without a
// setup key made on the new server, which does not know this camera.
function movingManagement() {
  const typed = $('management-url').value.trim();
  return Boolean(view.doc?.registered) && loaded.settings && typed !== '' && typed !== savedConfig.management_url;
}

// What a change in the Connection card does while the camera is registered, said before it is sent.
function showConnectionNotes() {
  const client = clientOf(view.doc);
  const moving = movingManagement();
  const current = savedConfig.management_url || "NetBird's own server";
  const step = isUp(client) ? 'choose Disconnect, then Connect' : 'choose Connect';
  $('management-url-note').hidden = !moving;
  $('management-url-note').textContent = moving
    ? `This camera is registered with ${current}. Moving it needs a setup key made on the new server: enter it ` +
      `above and ${step}.`
    : '';
  const lazy = client?.lazyConnectionEnabled;
  $('lazy-connection-note').hidden = !(isUp(client) && typeof lazy === 'boolean' && $('lazy-connection').checked !== lazy);
}

function lazyConnectionField() {
  return { enable_lazy_connection: String($('lazy-connection').checked) };
}

// Marks a field as wrong and says why beside it; null stands for the value that was refused.
function markInvalid(input, messageEl, text) {
  input.setAttribute('aria-invalid', 'true');
  setMessage(messageEl, text, 'error');
  input.focus();
  return null;
}

function clearInvalid(input, messageEl) {
  input.removeAttribute('aria-invalid');
  setMessage(messageEl, '');
}

function isManagementUrl(text) {
  if (!/^https?:\/\/\S+$/i.test(text)) return false;
  try {
    return Boolean(new URL(text).hostname);
  } catch {
    return false;
  }
}

// The management URL as typed, or null when it fails the check; empty means the default server.
function checkedManagementUrl() {
  const url = $('management-url').value.trim();
  if (url && !isManagementUrl(url)) return markInvalid($('management-url'), $('management-url-message'), URL_RULE);
  return url;
}

// The key stays in its field until the command succeeds, so a failed attempt can be retried.
// Null when a field is wrong.
function connectionForm() {
  const form = lazyConnectionField();
  const managementUrl = checkedManagementUrl();
  if (managementUrl === null) return null;
  if (managementUrl) form.management_url = managementUrl;
  if (!view.doc?.registered || movingManagement()) {
    const key = $('setup-key').value.trim();
    const refusal = view.doc?.registered
      ? 'Enter a setup key made on the new management server to move this camera.'
      : 'Enter the setup key to register this camera.';
    if (!key) return markInvalid($('setup-key'), $('setup-key-message'), refusal);
    form.setup_key = key;
  }
  return form;
}

// What went wrong, in a sentence; the client's own words stay behind "Details".
function failureReason(result) {
  const output = result.output ?? '';
  if (result.exit_code === TIMED_OUT_EXIT_CODE) return `Timed out after ${COMMAND_LIMIT_SECONDS} s.`;
  if (/NeedsLogin|setup key|login failed/i.test(output)) return `The login was refused. ${SETUP_KEY_CHECK}`;
  if (/failed to connect to daemon|context deadline exceeded/i.test(output)) {
    return 'The NetBird service did not answer. Restart it and try again.';
  }
  if (/not up|not connected/i.test(output)) return 'The VPN was not connected.';
  return `The NetBird client reported an error (exit code ${result.exit_code}). Its words are under Details; ` +
    'check the setup key and the management URL, then try again.';
}

function showCommandDetails(text) {
  $('command-output').textContent = text;
  $('command-details').hidden = text === '';
}

function confirmWith(dialog) {
  dialog.returnValue = '';
  dialog.showModal();
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'confirm'), { once: true });
  });
}

// Each command's outcome in words, and the state it leads to: a message that the state later
// contradicts is cleared (see clearOutdatedCommandMessage).
const VPN_COMMANDS = {
  up: { title: 'Connect', form: connectionForm, done: 'Connected.', goal: 'up', changesSettings: true },
  down: { title: 'Disconnect', done: 'Disconnected.', goal: 'down' },
  reconnect: { title: 'Reconnect', form: lazyConnectionField, done: 'Reconnected.', goal: 'up' },
  restart: { title: 'Restart service' },
  deregister: {
    title: 'Deregister',
    confirm: () => confirmWith($('deregister-dialog')),
    // A service that cannot start cannot tell management: the reset is then local only.
    form: () => (cannotStart(view.activity?.lifecycle) ? { force: 'true' } : {}),
    done: 'Deregistered. A new setup key is needed to connect again.',
    goal: 'down',
    changesSettings: true,
  },
};

function reportCommand(name, command, result) {
  if (name === 'restart') {
    showCommandDetails('');
    if (!result.running) throw new Error('The NetBird service did not start again.');
    view.commandMessage = { untilChecked: true };
    return 'The NetBird service was restarted.';
  }
  showCommandDetails(result.output || '');
  // A forced deregistration that management did not confirm still reset the camera.
  const resetLocally = name === 'deregister' && /reset locally/.test(result.output ?? '');
  view.commandMessage = { goal: command.goal, ok: result.ok || resetLocally };
  if (resetLocally) return FORCED_RESET_DONE;
  if (!result.ok) throw new Error(`${command.title} failed. ${failureReason(result)}`);
  if (name === 'up') {
    $('setup-key').value = '';
    clearInvalid($('management-url'), $('management-url-message'));
  }
  return command.done;
}

// A message about a change stops being true when the state moves on: a success once the state
// it reached is left again, a failure once the state it missed is reached after all.
function clearOutdatedCommandMessage() {
  const message = view.commandMessage;
  const client = clientOf(view.doc);
  // A restart reaches no client state of its own: its message holds until the client is asked again.
  if (message?.untilChecked) {
    if (view.doc && !view.doc.command_ended_after_poll) clearCommandMessage();
    return;
  }
  if (!message?.goal || runningCommand() || !client) return;
  const atGoal = (message.goal === 'up') === isUp(client);
  if (atGoal === message.ok) {
    message.held = true;
  } else if (message.held) {
    clearCommandMessage();
  }
}

function clearCommandMessage() {
  setMessage($('command-summary'), '');
  showCommandDetails('');
  view.commandMessage = null;
}

async function runVpnCommand(name) {
  const command = VPN_COMMANDS[name];
  const form = command.form ? command.form() : {};
  if (form === null) return;  // the field that is wrong says why
  if (command.confirm && !(await command.confirm())) return;
  view.commandMessage = null;
  view.ownCommand = name === 'restart' ? null : name;
  showCommandDetails('');
  renderView();
  statusPoller.runSoon(STATUS_SETTLE_MS);
  await act([], $('command-summary'), async () => {
    try {
      const result = await postForm(name, form);
      if (command.changesSettings) loadSettings();
      return reportCommand(name, command, result);
    } finally {
      view.ownCommand = null;
      // The answer changes the service's own flags at once, the client's state a moment later.
      refreshStatus();
      statusPoller.runSoon(STATUS_SETTLE_MS);
    }
  }, '');  // the activity line says what runs
  announce($('command-summary').textContent);
  view.refocus = true;
  keepFocusOnMainAction();
}

// The control that sent a command may go with the state it belonged to, and the main action may
// change again once the client's new state is known: until then a lost focus goes to the main
// action of the state shown, not to the top of the page.
function keepFocusOnMainAction() {
  if (!view.refocus) return;
  const focus = document.activeElement;
  const lost = !focus || focus === document.body || focus.disabled || Boolean(focus.closest('[hidden]'));
  if (lost) mainActionButton()?.focus();
  if (view.doc && !view.doc.command_ended_after_poll && !runningCommand()) view.refocus = false;
}

async function saveManagementUrl() {
  const input = $('management-url');
  const message = $('management-url-message');
  const url = checkedManagementUrl();
  if (url === null) return;
  await act([$('management-url-save')], message, async () => {
    if (!loaded.settings) throw new Error('The saved URL has not loaded yet; try again once the page shows it.');
    // Saved alone, the new address would be used at the next Connect without the key it needs.
    if (movingManagement()) throw new Error(MOVE_NOT_SAVED);
    const config = await postForm('config', { name: 'management_url', value: url });
    savedConfig = config;
    input.value = config.management_url;
    return url === '' ? 'Default server restored.' : 'Saved. It is used at the next Register or Connect.';
  });
  input.setAttribute('aria-invalid', String(message.dataset.tone === 'error'));
}

// ---- Settings and environment rows ----

function buildRow({ id, label, hint, control, resetLabel, messageEl, onSave, onReset }) {
  const row = $('row-template').content.firstElementChild.cloneNode(true);
  const message = messageEl ?? row.querySelector('.row__message');
  const resetButton = row.querySelector('[data-action="reset"]');
  const hintEl = row.querySelector('.row__hint');
  control.id = id;
  message.id ||= `${id}-message`;
  hintEl.id = `${id}-hint`;
  hintEl.textContent = hint ?? '';
  hintEl.hidden = !hint;
  control.setAttribute('aria-describedby', hint ? `${hintEl.id} ${message.id}` : message.id);
  // Once the value changes, what was said of the old one no longer holds.
  control.addEventListener('input', () => clearInvalid(control, message));
  control.addEventListener('change', () => clearInvalid(control, message));
  row.querySelector('.row__label').htmlFor = id;
  row.querySelector('.row__label').textContent = label;
  row.querySelector('.row__input').replaceWith(control);
  resetButton.textContent = resetLabel;
  // Every row has the same two buttons: their accessible names say which field they act on.
  row.querySelector('[type="submit"]').setAttribute('aria-label', `Save: ${label}`);
  resetButton.setAttribute('aria-label', `${resetLabel}: ${label}`);
  const settle = () => control.setAttribute('aria-invalid', String(message.dataset.tone === 'error'));
  row.addEventListener('submit', async (event) => {
    event.preventDefault();
    await act([event.submitter], message, () => onSave(control.value));
    settle();
  });
  resetButton.addEventListener('click', async () => {
    await act([resetButton], message, onReset);
    settle();
  });
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
    hint: setting.hint,
    control: settingControl(setting),
    resetLabel: 'Default',
    onSave: (value) => saveSetting(setting.name, value),
    onReset: () => saveSetting(setting.name, ''),
  })));
}

function showSetting(config, name) {
  $(`setting-${name}`).value = String(config[name]);
}

// The service names a setting by its key ("mtu must be …"); the operator knows it by its label.
function byLabel(message) {
  const setting = SETTINGS.find(({ name }) => message.startsWith(`${name} `));
  return setting ? setting.label + message.slice(setting.name.length) : message;
}

// An empty value asks the service to return the setting to its default. A refused value stays in
// the field to be corrected, with the value still in force beside it.
async function saveSetting(name, value) {
  let config;
  try {
    config = await postForm('config', { name, value });
  } catch (error) {
    const saved = savedConfig[name];
    const kept = saved === undefined ? '' : ` The saved value is still ${saved}.`;
    throw new Error(`Not saved: ${byLabel(error.message).replace(/\.$/, '')}.${kept}`);
  }
  savedConfig = config;
  showSetting(config, name);
  refreshStatus();
  return value === '' ? 'Default restored.' : 'Saved.';
}

async function loadSettings() {
  await report($('settings-message'), async () => {
    savedConfig = await getJson('config');
    loaded.settings = true;
    updateControls();
    SETTINGS.forEach(({ name }) => showSetting(savedConfig, name));
    // A URL being corrected stays as typed.
    const url = $('management-url');
    if (url.getAttribute('aria-invalid') !== 'true') url.value = savedConfig.management_url;
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
  statusPoller.runSoon(0);
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
    const custom = $('env-preset').options[0];
    $('env-preset').replaceChildren(custom, ...presets.map((preset) => new Option(preset.name, preset.name)));
    loaded.env = true;
    updateControls();
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

// Lines that the client's own status polls leave in its log say nothing to an operator.
const isStatusPollLine = (line) => /"command":\s*"status"/.test(line);

async function refreshTail() {
  let text;
  try {
    text = await (await send('logs/tail?source=netbird')).text();
    text = text.split('\n').filter((line) => !isStatusPollLine(line)).join('\n');
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
      const modified = file.modified ? new Date(file.modified * 1000).toLocaleString() : '—';
      const row = tableRow([downloadLink(file), file.source, modified, formatBytes(file.size)]);
      row.cells[3].className = 'num';
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
  // "Listening on port …" stops being true when the server stops by itself (one-shot, idle).
  if (iperfRunning && !server.running) setMessage($('iperf-message'), '');
  iperfRunning = server.running;
  updateControls();
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

// "axis-1a2b3c-netbird-debug-2026-12-08_10-52-13.zip": the camera by its VPN name, local time.
function bundleFileName(now = new Date()) {
  const fqdn = clientOf(view.doc)?.fqdn ?? '';
  const camera = (fqdn.split('.')[0] || location.hostname || 'camera').replace(/[^A-Za-z0-9-]/g, '-');
  const pad = (number) => String(number).padStart(2, '0');
  const date = `${now.getFullYear()}-${pad(now.getMonth() + 1)}-${pad(now.getDate())}`;
  const time = `${pad(now.getHours())}-${pad(now.getMinutes())}-${pad(now.getSeconds())}`;
  return `${camera}-netbird-debug-${date}_${time}.zip`;
}

// A new bundle replaces what was said of the previous one.
function clearBundleResult() {
  $('bundle-key-field').hidden = true;
  $('bundle-details').hidden = true;
}

async function downloadBundle(event) {
  clearBundleResult();
  await act([event.currentTarget], $('bundle-message'), async () => {
    const response = await send(`debug-bundle${bundleQuery()}`);
    saveBlob(await response.blob(), bundleFileName());
    return 'Bundle downloaded.';
  });
}

async function uploadBundle(event) {
  const button = event.currentTarget;
  $('upload-anonymity').textContent = $('bundle-anonymize').checked
    ? 'IP addresses and names in it are anonymised.'
    : 'It is not anonymised: it holds this camera\'s IP addresses and names.';
  if (!(await confirmWith($('upload-dialog')))) return;
  clearBundleResult();
  await act([button], $('bundle-message'), async () => {
    const result = await postForm(`debug-bundle/upload${bundleQuery()}`);
    $('bundle-output').textContent = result.output;
    $('bundle-details').hidden = !result.output;
    $('bundle-key').value = result.key;
    $('bundle-key-field').hidden = !result.key;
    if (!result.ok) throw new Error(`Upload failed. ${failureReason(result)}`);
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
    // Enter in a field sends the main action, unless that is Disconnect.
    if (!$('action-register').hidden || !$('action-connect').hidden) runVpnCommand('up');
  });
  for (const id of ['setup-key', 'management-url']) {
    $(id).addEventListener('input', () => clearInvalid($(id), $(`${id}-message`)));
  }
  $('management-url').addEventListener('input', () => {
    updateControls();
    showConnectionNotes();
  });
  $('management-url-save').addEventListener('click', saveManagementUrl);
  $('lazy-connection').addEventListener('change', (event) => {
    event.target.dataset.touched = 'yes';
    showConnectionNotes();
  });
  $('env-preset').addEventListener('change', applyPreset);
  $('env-add-form').addEventListener('submit', addOverride);
  $('env-add-form').addEventListener('input', () => setMessage($('env-add-message'), ''));
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
const freshnessTicker = new Poller(async () => showFreshness(), 1000);
const tailPoller = new Poller(refreshTail, TAIL_INTERVAL_MS);
const filesPoller = new Poller(() => Promise.all([refreshFiles(), refreshStorage()]), FILES_INTERVAL_MS);
const iperfPoller = new Poller(refreshIperf, IPERF_INTERVAL_MS);

buildSettings();
wireEvents();
statusPoller.start();
freshnessTicker.start();
filesPoller.start();
if ($('tail-auto').checked) tailPoller.start();
loadSettings();
loadEnv();
refreshIperf();
