// End-to-end test of Korvalo as people use it: ./run.sh starts the card-service stand-in,
// the demo web service and the real Korvalo on a virtual display run by a window manager
// (openbox). Chromium (playwright-core) and Firefox ESR (puppeteer-core over WebDriver BiDi),
// both with windows on that display, open the demo page as a public web site and start each
// kind of request. Each Korvalo window must come up active and on top of the focused browser
// before xdotool presses anything in it. The demo service's results and the page the browser
// ended on tell whether each road was gone to its end.
//
//   node e2e.mjs --source-dir REPO --build-dir BUILD [--only NAME,NAME] [--keep]
//                [--screenshots FOLDER]
//
// --only takes case names (message) or browser:case (firefox:batch). --screenshots saves the
// demo page's explanations (local-network access refused, Korvalo not running) as PNG files.
// Exit status: 0 passed, 1 failed, 77 skipped (port 48051 is taken by another program).

import { spawn, execFile } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';
import { chromium } from 'playwright-core';
import puppeteer from 'puppeteer-core';

const ENDPOINT_PORT = 48051;
const KORVALO_URL = `http://127.0.0.1:${ENDPOINT_PORT}/`;
const STEP_MS = 30_000;        // the longest any one step may take
const CASE_MS = 90_000;        // the longest one case may take
const FRONT_MS = 10_000;       // the longest a new window may take to come to the front
const WHOLE_RUN_MS = 240_000;  // the whole run, well inside ctest's time-out
const SKIP = 77;
const SHA256_OID = '2.16.840.1.101.3.4.2.1';

const TITLES = {
  message: 'Подпись сообщения',
  file: 'Выбор и подпись файла',
  chooser: 'Выбор файла для подписи',
  batch: 'Подпись документов',
  pin: 'PIN-код токена',
};
// The demo token of scripts/demo-store.sh: its certificate comes last in Korvalo's list.
const DEMO_TOKEN = { commonName: 'Токенова Ольга Сергеевна', pin: '1234' };
const BUSY_TEXT = 'Завершите предыдущую процедуру подписи или отмените ее';
const BUSY_JSON_TEXT = 'завершите предыдущую процедуру подписи или отмените ее';
const CANCELLED_TEXT = 'процедура подписи отменена';
// The demo page's explanations when its batch request did not reach Korvalo.
const HELP_TITLES = {
  refused: 'Браузер не пустил страницу к Korvalo',
  notRunning: 'Korvalo не отвечает',
  noAnswer: 'Korvalo завершил запрос без ответа',
  unclear: 'Не удалось связаться с Korvalo',
};
// A message window enables "Подписать" once it has read and shown the message: a moment.
const MESSAGE_SHOWN_MS = 1000;
// How long a person looks at the batch window before closing it: longer than the page's
// limit for a refused connection, so the page can tell a closed window from no Korvalo.
const LOOK_MS = 2000;
// Korvalo's activity-log lines (copied to run.sh's output) for each request that reaches it.
const KORVALO_REQUEST_LINE = /SS1: установлено соединение|HTTPServer1CommandOther|Разбор параметров/g;

// ---- small helpers ------------------------------------------------------------------------

const started = Date.now();
function log(text) {
  const seconds = ((Date.now() - started) / 1000).toFixed(1).padStart(6);
  process.stdout.write(`[${seconds}s] ${text}\n`);
}

class TestFailure extends Error {}
function check(condition, text) {
  if (!condition) throw new TestFailure(text);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Calls probe() until it returns something other than undefined/false, or fails after ms.
async function poll(what, probe, ms = STEP_MS, every = 150) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await probe();
    if (value !== undefined && value !== false && value !== null) return value;
    if (Date.now() > deadline) throw new TestFailure(`timed out after ${ms / 1000} s: ${what}`);
    await sleep(every);
  }
}

function withTimeout(what, ms, promise) {
  let timer;
  const expired = new Promise((_, reject) => {
    const failure = new TestFailure(`${what} took longer than ${ms / 1000} s`);
    timer = setTimeout(() => reject(failure), ms);
  });
  return Promise.race([promise, expired]).finally(() => clearTimeout(timer));
}

function portOpen(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    const done = (open) => {
      socket.destroy();
      resolve(open);
    };
    socket.setTimeout(2000, () => done(false));
    socket.once('connect', () => done(true));
    socket.once('error', () => done(false));
  });
}

// A loopback port nobody listens on: taken from the system, then let go.
function closedPort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function sha256(bytes) {
  return createHash('sha256').update(bytes).digest('hex');
}

function run(program, args, env, ms = 10_000) {
  return new Promise((resolve) => {
    execFile(program, args, { env, timeout: ms }, (error, stdout, stderr) => {
      resolve({ ok: !error, stdout: stdout.toString(), stderr: stderr.toString() });
    });
  });
}

function readTail(file, max = 20_000) {
  try {
    const text = fs.readFileSync(file, 'utf8');
    return text.length > max ? '...\n' + text.slice(-max) : text;
  } catch (e) {
    return `(cannot read ${file}: ${e.message})`;
  }
}

// ---- the processes ------------------------------------------------------------------------

// Everything the run starts, stopped in reverse order at the end whatever happened.
class Processes {
  constructor() {
    this.list = [];
  }

  add(name, child, group = false) {
    const entry = { name, child, group, exited: false };
    child.once('exit', () => {
      entry.exited = true;
    });
    this.list.push(entry);
    return entry;
  }

  async stopAll() {
    for (const entry of [...this.list].reverse()) {
      if (entry.exited) continue;
      log(`stopping ${entry.name} (pid ${entry.child.pid})`);
      signal(entry, 'SIGTERM');
      const deadline = Date.now() + 10_000;
      while (!entry.exited && Date.now() < deadline) await sleep(100);
      if (!entry.exited) {
        log(`${entry.name} did not stop: killing it`);
        signal(entry, 'SIGKILL');
        const killDeadline = Date.now() + 3_000;
        while (!entry.exited && Date.now() < killDeadline) await sleep(100);
      }
    }
  }

  // Last resort when the process is about to end: no waiting possible.
  killAllNow() {
    for (const entry of this.list) if (!entry.exited) signal(entry, 'SIGKILL');
  }
}

function signal(entry, name) {
  try {
    // A process started in a group of its own (run.sh) is signalled with all it started.
    if (entry.group && name === 'SIGKILL') process.kill(-entry.child.pid, name);
    else process.kill(entry.child.pid, name);
  } catch {
    // already gone
  }
}

// Starts Xvfb on a display it picks itself; returns ":N".
async function startXvfb(processes, work) {
  const logFd = fs.openSync(path.join(work, 'xvfb.log'), 'w');
  const entry = processes.add(
    'Xvfb',
    spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1280x1024x24', '-nolisten', 'tcp'], {
      stdio: ['ignore', logFd, logFd, 'pipe'],
    }),
  );
  fs.closeSync(logFd);
  let announced = '';
  entry.child.stdio[3].on('data', (chunk) => {
    announced += chunk.toString();
  });
  const number = await poll('Xvfb to announce its display', () => {
    check(!entry.exited, 'Xvfb ended at start: ' + readTail(path.join(work, 'xvfb.log')));
    const m = /^(\d+)\n/.exec(announced);
    return m ? m[1] : undefined;
  });
  return `:${number}`;
}

// Starts openbox on display with its stock settings; returns the name the window manager
// gives itself once it manages the display (_NET_SUPPORTING_WM_CHECK, _NET_WM_NAME).
async function startOpenbox(processes, display, work) {
  const logFd = fs.openSync(path.join(work, 'openbox.log'), 'w');
  const env = { ...process.env, DISPLAY: display };
  const entry = processes.add(
    'openbox',
    spawn('openbox', ['--sm-disable'], { env, stdio: ['ignore', logFd, logFd] }),
  );
  fs.closeSync(logFd);
  const version = (await run('openbox', ['--version'], env)).stdout.split('\n')[0].trim();
  const name = await poll('openbox to manage the display', async () => {
    check(!entry.exited, 'openbox ended at start: ' + readTail(path.join(work, 'openbox.log')));
    const root = await run('xprop', ['-root', '-notype', '_NET_SUPPORTING_WM_CHECK'], env);
    const m = /window id # (0x[0-9a-f]+)/.exec(root.stdout);
    if (!m) return undefined;
    const wm = await run('xprop', ['-id', m[1], '-notype', '_NET_WM_NAME'], env);
    const named = /_NET_WM_NAME = "(.*)"/.exec(wm.stdout);
    return named ? named[1] : undefined;
  });
  return version.startsWith(name) ? version : `${name} (${version})`;
}

// Starts ./run.sh over the finished build with DISPLAY set and its demo service on demoPort;
// returns the demo page's address.
async function startDemo(processes, sourceDir, buildDir, display, runLog, demoPort) {
  const out = fs.openSync(runLog, 'w');
  const entry = processes.add(
    'run.sh',
    spawn('bash', [path.join(sourceDir, 'run.sh')], {
      cwd: sourceDir,
      detached: true,  // a process group of its own, so that nothing it started outlives the test
      stdio: ['ignore', out, out],
      env: {
        ...process.env,
        DISPLAY: display,
        KORVALO_SKIP_BUILD: '1',
        KORVALO_BUILD_DIR: buildDir,
        KORVALO_DEMO_PORT: String(demoPort),
        KORVALO_LOG_STDERR: '1',
      },
    }),
    true,
  );
  fs.closeSync(out);
  return poll(
    'run.sh to say the demo is running',
    () => {
      check(!entry.exited, 'run.sh ended before the demo ran');
      const text = fs.readFileSync(runLog, 'utf8');
      if (!text.includes('Korvalo demo is running')) return undefined;
      const m = /demo page:\s+(\S+)/.exec(text);
      return m ? m[1] : undefined;
    },
    90_000,
  );
}

// A demo service of its own, for the page before Korvalo runs; returns its address.
async function startDemoService(processes, buildDir, work) {
  const out = path.join(work, 'demo-alone.log');
  const fd = fs.openSync(out, 'w');
  const entry = processes.add(
    'demo service alone',
    spawn(path.join(buildDir, 'bin', 'korvalo-demo-service'), ['--port', '0'], {
      stdio: ['ignore', fd, fd],
    }),
  );
  fs.closeSync(fd);
  return poll('the demo service alone to listen', () => {
    check(!entry.exited, 'the demo service alone ended at start: ' + readTail(out));
    const m = /^listening on (\S+)/m.exec(fs.readFileSync(out, 'utf8'));
    return m ? m[1] : undefined;
  });
}

// Korvalo's activity log as run.sh passes it on: how many requests have reached Korvalo.
class KorvaloLog {
  constructor(file) {
    this.file = file;
  }

  requests() {
    return (fs.readFileSync(this.file, 'utf8').match(KORVALO_REQUEST_LINE) ?? []).length;
  }
}

// ---- the desktop through xdotool and xprop ------------------------------------------------

const hexId = (id) => '0x' + Number(id).toString(16);

class Desktop {
  constructor(display) {
    this.env = { ...process.env, DISPLAY: display, LC_ALL: 'C.UTF-8' };
  }

  xdotool(args) {
    return run('xdotool', args, this.env);
  }

  // Windows (as decimal ids, like xdotool's) listed in a property of the root window.
  async rootWindows(property) {
    const r = await run('xprop', ['-root', '-notype', property], this.env);
    const list = r.stdout.split('#')[1] ?? '';
    return [...list.matchAll(/0x[0-9a-f]+/g)].map((m) => String(Number.parseInt(m[0], 16)))
      .filter((id) => id !== '0');
  }

  async active() {
    return (await this.rootWindows('_NET_ACTIVE_WINDOW'))[0] ?? '';
  }

  // Managed windows from the bottom of the stack to its top.
  stacking() {
    return this.rootWindows('_NET_CLIENT_LIST_STACKING');
  }

  async describe(window) {
    if (!window) return '(none)';
    const name = (await this.xdotool(['getwindowname', window])).stdout.trim();
    const props = await run('xprop', ['-id', hexId(window), '-notype', 'WM_CLASS'], this.env);
    const wmClass = /WM_CLASS = (.*)/.exec(props.stdout)?.[1] ?? '';
    return `${hexId(window)} "${name}" ${wmClass}`;
  }

  async windowClass(window) {
    const props = await run('xprop', ['-id', hexId(window), '-notype', 'WM_CLASS'], this.env);
    return /WM_CLASS = (.*)/.exec(props.stdout)?.[1] ?? '';
  }

  // Visible windows whose title is exactly title.
  async find(title) {
    const r = await this.xdotool(['search', '--onlyvisible', '--name', `^${title}$`]);
    return r.stdout.split('\n').filter((line) => /^\d+$/.test(line));
  }

  // Waits for the window titled title and for the window manager to show it as the person
  // needs it: the active window (it has the keyboard) and the top of the stack. Nothing in
  // the test activates it: it comes to the front by itself over the browser the person used.
  async waitInFront(title) {
    const windows = await poll(`the window "${title}" to appear`, async () => {
      const found = await this.find(title);
      return found.length > 0 ? found : undefined;
    });
    check(windows.length === 1, `more than one window "${title}": ${windows.join(' ')}`);
    const window = windows[0];
    await this.expectInFront(window, title);
    log(`window "${title}" is shown (${hexId(window)}), active and on top`);
    return window;
  }

  async expectInFront(window, title) {
    let active = '';
    let top = '';
    const deadline = Date.now() + FRONT_MS;
    for (;;) {
      active = await this.active();
      top = (await this.stacking()).at(-1) ?? '';
      if (active === window && top === window) return;
      if (Date.now() > deadline) break;
      await sleep(100);
    }
    throw new TestFailure(
      `the window "${title}" (${hexId(window)}) is not in front after ${FRONT_MS / 1000} s: ` +
        `active ${await this.describe(active)}, top of the stack ${await this.describe(top)}`,
    );
  }

  // What a person does with a click on the window's task-bar button: asks the window manager
  // to activate it (_NET_ACTIVE_WINDOW from a pager); then it must be in front.
  async activate(window, title) {
    await this.xdotool(['windowactivate', '--sync', window]);
    await this.expectInFront(window, title);
  }

  async waitGone(title, ms = STEP_MS) {
    const gone = async () => (await this.find(title)).length === 0;
    await poll(`the window "${title}" to close`, gone, ms);
  }

  // Presses keys one after another in the active window.
  async keys(...names) {
    const r = await this.xdotool(['key', '--delay', '80', ...names]);
    check(r.ok, `xdotool key ${names.join(' ')} failed: ${r.stderr}`);
  }

  async type(text) {
    const r = await this.xdotool(['type', '--delay', '30', text]);
    check(r.ok, `xdotool type failed: ${r.stderr}`);
  }
}

// ---- the browsers -------------------------------------------------------------------------

// The flags this machine's Chromium needs: root (no sandbox), no GPU, and no traffic of its
// own beyond loopback.
const CHROMIUM_FLAGS = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];

// One tab as the test works it; the same calls for Chromium (playwright) and Firefox
// (puppeteer), whose page objects agree on goto, url, evaluate, click and bringToFront.
class Tab {
  constructor(page, browser) {
    this.page = page;
    this.browser = browser;
  }

  async goto(url) {
    await this.page.goto(url, { timeout: STEP_MS });
  }

  url() {
    return this.page.url();
  }

  // A person's click on the element: mouse events in the page. Waits for nothing after it
  // (a form's navigation to Korvalo ends only when Korvalo's window closes).
  async click(selector) {
    if (this.browser.kind === 'chromium') await this.page.click(selector, { noWaitAfter: true });
    else await this.page.click(selector);
  }

  // Runs fn in the page; undefined while the page is between two documents.
  async evaluate(fn, arg) {
    try {
      return await this.page.evaluate(fn, arg);
    } catch (e) {
      if (/context|navigat|destroyed|detached|discarded|no such frame/i.test(e.message))
        return undefined;
      throw e;
    }
  }

  async text(selector) {
    return (await this.evaluate((s) => document.querySelector(s)?.textContent ?? '', selector)) ?? '';
  }

  async waitForUrl(url) {
    await poll(`the browser to show ${url} (it shows ${this.url()})`, async () => {
      const where = await this.evaluate(() => [location.href, document.readyState]);
      return where && where[0] === url && where[1] === 'complete';
    });
  }

  // Korvalo's answer to the next POST this tab sends it: {status, headers, text()}.
  korvaloAnswer() {
    const answer = this.page
      .waitForResponse((r) => r.url() === KORVALO_URL && r.request().method() === 'POST', {
        timeout: 2 * STEP_MS,
      })
      .then((r) => ({
        status: r.status(),
        headers: r.headers(),
        text: () => r.text(),
      }));
    answer.catch(() => {});  // a case that fails before it waits for the answer leaves it unread
    return answer;
  }

  async screenshot(file) {
    await this.page.screenshot({ path: file });
  }

  // The page from its heading down to the bottom of the element: what a person sees of it.
  async screenshotDownTo(selector, file) {
    const clip = await this.evaluate((s) => {
      const body = document.body.getBoundingClientRect();
      const bottom = document.querySelector(s).getBoundingClientRect().bottom;
      return {
        x: Math.max(0, body.left - 16), y: 0,
        width: Math.min(body.width + 32, window.innerWidth), height: bottom + window.scrollY + 16,
      };
    }, selector);
    await this.page.evaluate(() => window.scrollTo(0, 0));
    await this.page.screenshot({ path: file, clip, fullPage: true });
  }

  async close() {
    await this.page.close();
  }
}

// Chromium as people have it: a window on the display, a fresh profile, the demo pages'
// origins public (as every real service is), and a person who answers "Block" when the
// browser asks whether a site may reach apps on this device.
class ChromiumSession {
  kind = 'chromium';
  allowed = new Set();

  static async launch({ display, publicOrigins }) {
    const session = new ChromiumSession();
    const overrides = publicOrigins.map((o) => `${new URL(o).host}=public`).join(',');
    session.browser = await chromium.launch({
      executablePath: '/usr/bin/chromium',
      headless: false,
      timeout: STEP_MS,
      env: { ...process.env, DISPLAY: display },
      args: [...CHROMIUM_FLAGS, `--ip-address-space-overrides=${overrides}`,
        '--deny-permission-prompts'],
    });
    session.context = await session.browser.newContext();
    session.tab = await session.newTab();
    session.name = `Chromium ${session.browser.version()}`;
    session.details =
      'playwright-core, a window of its own, a fresh profile; origins public through ' +
      `--ip-address-space-overrides=${overrides}; permission prompts answered "Block" ` +
      '(--deny-permission-prompts)';
    return session;
  }

  async newTab() {
    const page = await this.context.newPage();
    page.setDefaultTimeout(STEP_MS);
    return new Tab(page, this);
  }

  // The person refused this site access to apps on this device: in a fresh profile the
  // browser asks at the first request, and the answer is "Block".
  async refuseLoopback(origin) {
    const state = await this.tab.evaluate(
      async () => (await navigator.permissions.query({ name: 'loopback-network' })).state);
    check(state === 'prompt' || state === 'denied',
      `the loopback permission of ${origin} is "${state}" before the person was asked`);
    log(`${this.name}: loopback permission of ${origin} is "${state}"; the prompt is answered "Block"`);
  }

  // The person allows the site in its settings: the DevTools protocol's Browser.grantPermissions.
  async allowLoopback(origin) {
    const pageSession = await this.context.newCDPSession(this.tab.page);
    const { targetInfo } = await pageSession.send('Target.getTargetInfo');
    await pageSession.detach();
    // Chromium drops what a DevTools session granted when the session ends: keep it open.
    this.devtools ??= await this.browser.newBrowserCDPSession();
    await this.devtools.send('Browser.grantPermissions', {
      origin,
      permissions: ['loopbackNetwork'],
      browserContextId: targetInfo.browserContextId,
    });
    this.allowed.add(origin);
    log(`${this.name}: Browser.grantPermissions loopbackNetwork for ${origin}`);
  }

  async close() {
    await this.browser.close();
  }
}

// Firefox ESR as people have it: a window on the display, a fresh profile that reaches
// nothing beyond loopback, the demo page's origin public; the site's access to apps on this
// device set the way a person sets it in the page's permissions (WebDriver BiDi).
class FirefoxSession {
  kind = 'firefox';
  allowed = new Set();

  static async launch({ display, publicOrigins, work, nowhere }) {
    const session = new FirefoxSession();
    const profile = path.join(work, 'firefox-profile');
    fs.mkdirSync(profile);
    const hosts = publicOrigins.map((o) => new URL(o).host).join(',');
    session.browser = await puppeteer.launch({
      browser: 'firefox',
      executablePath: '/usr/bin/firefox-esr',
      headless: false,
      userDataDir: profile,
      timeout: STEP_MS,
      protocolTimeout: STEP_MS,
      env: { ...process.env, DISPLAY: display },
      extraPrefsFirefox: {
        'network.lna.address_space.public.override': hosts,
        // Everything but loopback goes to a proxy port where nothing listens.
        'network.proxy.type': 1,
        'network.proxy.http': '127.0.0.1',
        'network.proxy.http_port': nowhere,
        'network.proxy.ssl': '127.0.0.1',
        'network.proxy.ssl_port': nowhere,
        'network.proxy.no_proxies_on': '',
        'network.proxy.allow_hijacking_localhost': false,
      },
    });
    const version = (await session.browser.version()).replace(/^firefox\//i, '');
    session.name = `Firefox ESR ${version}`;
    session.details =
      `puppeteer-core over WebDriver BiDi, a window of its own, a fresh profile (${profile}); ` +
      `origins public through network.lna.address_space.public.override=${hosts}; ` +
      'every address but loopback sent to a closed proxy port';
    const pages = await session.browser.pages();
    const page = pages[0] ?? (await session.browser.newPage());
    page.setDefaultTimeout(STEP_MS);
    session.tab = new Tab(page, session);
    return session;
  }

  async newTab() {
    const page = await this.browser.newPage();
    page.setDefaultTimeout(STEP_MS);
    return new Tab(page, this);
  }

  async setLoopback(origin, state) {
    await this.tab.page.browserContext().setPermission(origin, {
      permission: { name: 'loopback-network' },
      state,
    });
    log(`${this.name}: loopback permission of ${origin} set to "${state}" (permissions.setPermission)`);
  }

  refuseLoopback(origin) {
    return this.setLoopback(origin, 'denied');
  }

  async allowLoopback(origin) {
    await this.setLoopback(origin, 'granted');
    this.allowed.add(origin);
  }

  async close() {
    await this.browser.close();
  }
}

// ---- the demo service ---------------------------------------------------------------------

class Demo {
  constructor(url) {
    this.url = url.endsWith('/') ? url : url + '/';
    this.origin = new URL(this.url).origin;
  }

  async json(query = '') {
    const answer = await fetch(`${this.url}results.json${query}`);
    check(answer.ok, `results.json${query} answered ${answer.status}`);
    return answer.json();
  }

  result(req) {
    return this.json(`?req=${encodeURIComponent(req)}`);
  }

  async requestIds() {
    return new Set((await this.json()).requests.map((r) => r.req));
  }

  // Everything the service holds, long texts (signatures, batch answers) cut short.
  async all() {
    const answer = await fetch(`${this.url}results.json`);
    if (!answer.ok) return `(results.json answered ${answer.status})`;
    const cut = (key, value) =>
      typeof value === 'string' && value.length > 300
        ? `${value.slice(0, 300)}... (${value.length} characters)`
        : value;
    return JSON.stringify(await answer.json(), cut, 2);
  }
}

// ---- the cases ----------------------------------------------------------------------------

// The person's browser window has the keyboard and is on top, as it has when the person has
// just clicked in it.
async function focusBrowser(t) {
  const { tab, desktop, session } = t;
  await tab.page.bringToFront();
  const isBrowser = async () => {
    const active = await desktop.active();
    return active && /chromium|firefox/i.test(await desktop.windowClass(active)) ? active : false;
  };
  if (await poll('the browser window to be active', isBrowser, 3000).catch(() => false)) return;
  // The window manager kept another window in front: click the browser's task-bar button.
  const windows = (await desktop.xdotool(['search', '--onlyvisible', '--class', session.kind])).stdout
    .split('\n').filter((line) => /^\d+$/.test(line));
  check(windows.length > 0, `no window of ${session.name} on the display`);
  await desktop.xdotool(['windowactivate', '--sync', windows.at(-1)]);
  await poll(`${session.name}'s window to be active`, isBrowser, 5000);
}

// Starts a request from the demo page: clicks the button in the focused browser and returns
// what the demo service issued for it, with the result page's address.
async function startRequest(t, button, demo = t.demo) {
  const { tab } = t;
  await tab.goto(demo.url);
  const known = await demo.requestIds();
  await focusBrowser(t);
  await tab.click(button);
  const request = await poll(
    'the demo service to issue the request',
    async () => (await demo.json()).requests.find((r) => !known.has(r.req)),
  ).catch(async (e) => {
    throw new TestFailure(`${e.message}; the page says "${await tab.text('#status')}"`);
  });
  request.resultUrl = `${demo.url}result?req=${request.req}`;
  check(request.sent.urlToRedirect === request.resultUrl,
    `urlToRedirect is ${request.sent.urlToRedirect}, not the result page`);
  log(`request ${request.req} (${request.kind}${request.useIdCard ? ', ID card' : ''}) issued`);
  return request;
}

// The browser has landed on the request's result page.
async function expectResultPage(tab, request, state) {
  await tab.waitForUrl(request.resultUrl);
  // Korvalo sends the browser on only after its upload has ended, so the page is final.
  const text = await tab.text('body');
  if (state === 'verified')
    check(text.includes('подпись проверена'),
      `the result page does not say "подпись проверена":\n${text}`);
  else
    check(text.includes('Выгрузка от Korvalo ещё не получена'),
      `the result page shows an upload:\n${text}`);
  log(`the browser is on ${tab.url()}`);
}

// The demo service received one upload for request and every signature in it is sound.
async function expectVerified(demo, request, documents) {
  const result = await demo.result(request.req);
  const dump = JSON.stringify(result, null, 2);
  check(result.state === 'verified', `request ${request.req} is "${result.state}":\n${dump}`);
  check(result.uploads.length === 1, `request ${request.req} has ${result.uploads.length} uploads`);
  const upload = result.uploads[0];
  check(upload.ok === true, `the upload has problems: ${JSON.stringify(upload.problems)}`);
  check(upload.cookieMatches === true, 'the upload does not carry the session cookie');
  check(upload.signatures.length === documents,
    `${upload.signatures.length} signatures, not ${documents}`);
  for (const s of upload.signatures) {
    check(s.verified === true && s.chainsToCa === true,
      `a signature does not verify:\n${JSON.stringify(s, null, 2)}`);
    check(s.digest?.oid === SHA256_OID, `digest ${JSON.stringify(s.digest)}, not SHA-256`);
  }
  if (request.kind === 'batch') {
    const signed = upload.signatures.map((s) => s.document).sort();
    const sent = request.sent.documents.map((d) => d.id).sort();
    check(JSON.stringify(signed) === JSON.stringify(sent), `signed ${signed}, sent ${sent}`);
  }
  return upload;
}

async function expectNothingUploaded(demo, request) {
  const result = await demo.result(request.req);
  check(result.state === 'waiting' && result.uploads.length === 0,
    `request ${request.req} should have no upload:\n${JSON.stringify(result, null, 2)}`);
}

// The page's explanation of a batch request that did not reach Korvalo, shown for the
// attempt-th time: its reason, title and text.
async function expectHelp(tab, reason, attempt) {
  const help = await poll(`the page to explain "${reason}" (attempt ${attempt})`, async () => {
    const shown = await tab.evaluate(() => {
      const box = document.getElementById('korvalo-help');
      if (!box || box.hidden) return undefined;
      const visible = [...box.querySelectorAll('[data-part]')].filter((p) => !p.hidden);
      return {
        reason: box.dataset.reason,
        attempt: Number(box.dataset.attempt),
        title: document.getElementById('korvalo-help-title').textContent,
        parts: visible.map((p) => p.dataset.part),
        text: box.innerText,
        retry: !!document.getElementById('korvalo-retry'),
      };
    });
    return shown && shown.attempt === attempt ? shown : undefined;
  }).catch(async (e) => {
    throw new TestFailure(`${e.message}; the page says "${await tab.text('#status')}"`);
  });
  check(help.reason === reason, `the page explains "${help.reason}", not "${reason}":\n${help.text}`);
  check(help.title === HELP_TITLES[reason], `the explanation's title is "${help.title}"`);
  const parts = reason === 'unclear' ? ['unclear', 'refused', 'notRunning'] : [reason];
  check(JSON.stringify(help.parts) === JSON.stringify(parts),
    `the explanation shows the parts ${help.parts}`);
  check(help.retry, 'the explanation offers no retry');
  log(`the page explains: "${help.title}" (attempt ${attempt})`);
  return help;
}

async function saveScreenshot(t, file) {
  if (!t.screenshots || t.session.kind !== 'chromium') return;
  const target = path.join(t.screenshots, file);
  await t.tab.screenshotDownTo('#korvalo-help', target);
  log(`screenshot ${target}`);
}

const cases = {
  // The batch road from a public page before the person lets the site reach apps on this
  // device: the browser refuses the request, the page says so and offers to try again, and
  // nothing reaches Korvalo. The person then allows the site, and "Попробовать снова" signs
  // the same request.
  async batchRefused(t) {
    const { tab, demo, desktop, session, korvalo } = t;
    await tab.goto(demo.url);
    await session.refuseLoopback(demo.origin);
    const before = korvalo.requests();
    const request = await startRequest(t, '#sign-batch');
    const help = await expectHelp(tab, 'refused', 1);
    check(/приложениям на этом\s+устройстве/.test(help.text),
      `the explanation does not name the permission:\n${help.text}`);
    await saveScreenshot(t, 'demo-local-network-refused.png');
    await focusBrowser(t);
    await tab.click('#korvalo-retry');
    await expectHelp(tab, 'refused', 2);
    await sleep(500);
    check(korvalo.requests() === before,
      `${korvalo.requests() - before} requests reached Korvalo although the browser refused them`);
    check((await desktop.find(TITLES.batch)).length === 0, 'a batch window is open');
    await expectNothingUploaded(demo, request);
    log('nothing reached Korvalo');

    await session.allowLoopback(demo.origin);
    await focusBrowser(t);
    await tab.click('#korvalo-retry');
    await desktop.waitInFront(TITLES.batch);
    await desktop.keys('Tab', 'Return');  // from the certificate list to "Подписать"
    await desktop.waitGone(TITLES.batch);
    await expectResultPage(tab, request, 'verified');
    await expectVerified(demo, request, 3);
    check(korvalo.requests() > before, 'Korvalo\'s log shows no request for the signed batch');
  },

  // An ID-card batch: no window, signed by the card service.
  async idcardBatch(t) {
    const { tab, demo, context } = t;
    const request = await startRequest(t, '#sign-batch-idcard');
    await expectResultPage(tab, request, 'verified');
    const upload = await expectVerified(demo, request, 3);
    for (const s of upload.signatures)
      check(s.layout === 'oneLine', `an ID-card signature in layout ${s.layout}`);
    context.version = upload.korvaloVersion;
  },

  // A message (a form POST, a navigation), signed with the preselected certificate; while its
  // window is open a second request from another tab gets the busy page.
  async message(t) {
    const { tab, demo, desktop, context } = t;
    const answered = tab.korvaloAnswer();
    const request = await startRequest(t, '#form-message button[type=submit]');
    const window = await desktop.waitInFront(TITLES.message);
    await expectBusyPage(t);
    // The busy page's tab took the front: the person clicks Korvalo's window again.
    await desktop.activate(window, TITLES.message);
    await sleep(MESSAGE_SHOWN_MS);
    await desktop.keys('Tab', 'Return');  // from the certificate list to "Подписать"
    await desktop.waitGone(TITLES.message);
    await expectResultPage(tab, request, 'verified');
    const upload = await expectVerified(demo, request, 1);
    await expectRedirectAnswer(await answered, context, true);
    check(upload.file.matchesSent === true, 'the uploaded message is not the one sent');
    check(upload.signatures[0].layout === 'lines64', `layout ${upload.signatures[0].layout}`);
  },

  // A message signed with the demo token's key: its certificate (the last of the list) chosen
  // in the window, its PIN typed into Korvalo's PIN window.
  async tokenMessage(t) {
    const { tab, demo, desktop } = t;
    const request = await startRequest(t, '#form-message button[type=submit]');
    await desktop.waitInFront(TITLES.message);
    await sleep(MESSAGE_SHOWN_MS);
    await desktop.keys('End', 'Tab', 'Return');  // the last certificate, then "Подписать"
    await desktop.waitInFront(TITLES.pin);
    await desktop.type(DEMO_TOKEN.pin);
    await desktop.keys('Return');
    await desktop.waitGone(TITLES.message);
    await expectResultPage(tab, request, 'verified');
    const upload = await expectVerified(demo, request, 1);
    const signature = upload.signatures[0];
    check(signature.signer?.commonName === DEMO_TOKEN.commonName,
      `signed by ${JSON.stringify(signature.signer)}, not the demo token's certificate`);
    check(signature.signingTime, 'the token\'s signature carries no signing time');
  },

  // A file chosen in the file window, its full path typed into the chooser.
  async file(t) {
    const { tab, demo, desktop, work } = t;
    const file = path.join(work, 'contract-42.pdf');
    const binary = Buffer.from(Array.from({ length: 3000 }, (_, i) => (i * 37) % 256));
    const bytes = Buffer.concat([Buffer.from('%PDF-1.4\n'), binary]);
    fs.writeFileSync(file, bytes);
    const request = await startRequest(t, '#form-file button[type=submit]');
    const window = await desktop.waitInFront(TITLES.file);
    await desktop.keys('space');  // "..." has the focus: open the chooser
    await desktop.waitInFront(TITLES.chooser);
    await desktop.type(file);  // into the file-name field, which has the focus
    // Return accepts the name; a completion list that is open takes the first Return.
    await poll('the chooser to accept the typed path', async () => {
      if ((await desktop.find(TITLES.chooser)).length === 0) return true;
      await desktop.keys('Return');
      await sleep(700);
      return (await desktop.find(TITLES.chooser)).length === 0;
    });
    await desktop.expectInFront(window, TITLES.file);
    await desktop.keys('Tab', 'Tab', 'Return');  // "..." -> certificate list -> "Подписать"
    await desktop.waitGone(TITLES.file);
    await expectResultPage(tab, request, 'verified');
    const upload = await expectVerified(demo, request, 1);
    check(upload.file.sha256 === sha256(bytes), 'the uploaded file is not the chosen one');
    check(upload.file.name === 'contract-42.pdf', `the uploaded file is named ${upload.file.name}`);
  },

  // Three documents in one JSON request (a script's fetch), signed in the batch window.
  async batch(t) {
    const { tab, demo, desktop } = t;
    const answered = tab.korvaloAnswer();
    const request = await startRequest(t, '#sign-batch');
    const window = await desktop.waitInFront(TITLES.batch);
    await expectBusyBatch(t);
    await desktop.activate(window, TITLES.batch);
    await desktop.keys('Tab', 'Return');  // from the certificate list to "Подписать"
    await desktop.waitGone(TITLES.batch);
    const answer = await answered;
    if (answer.status !== 200) {
      const text = await answer.text().catch(() => '');
      throw new TestFailure(`Korvalo answered ${answer.status} "${text}", not 200`);
    }
    await expectResultPage(tab, request, 'verified');
    const upload = await expectVerified(demo, request, 3);
    // Signed in the window from the store, not with the card of the ID-card batch before it.
    for (const s of upload.signatures)
      check(s.layout === 'lines64', `a signature in layout ${s.layout}, not the store's`);
  },

  // "Закрыть" in the message window: the browser goes to urlToRedirect, nothing is uploaded.
  async messageClosed(t) {
    const { tab, demo, desktop, context } = t;
    const answered = tab.korvaloAnswer();
    const request = await startRequest(t, '#form-message button[type=submit]');
    await desktop.waitInFront(TITLES.message);
    await sleep(MESSAGE_SHOWN_MS);
    await desktop.keys('Tab', 'Tab', 'Return');  // certificate list -> "Подписать" -> "Закрыть"
    await desktop.waitGone(TITLES.message);
    await expectRedirectAnswer(await answered, context, false);
    await expectResultPage(tab, request, 'waiting');
    await expectNothingUploaded(demo, request);
  },

  // Escape in the file window: the same as "Закрыть".
  async fileEscaped(t) {
    const { tab, demo, desktop } = t;
    const request = await startRequest(t, '#form-file button[type=submit]');
    await desktop.waitInFront(TITLES.file);
    await desktop.keys('Escape');
    await desktop.waitGone(TITLES.file);
    await expectResultPage(tab, request, 'waiting');
    await expectNothingUploaded(demo, request);
  },

  // "Закрыть" in the batch window: Korvalo answers 499 "процедура подписи отменена", which the
  // page shows; nothing is uploaded.
  async batchClosed(t) {
    const { tab, demo, desktop } = t;
    const answered = tab.korvaloAnswer();
    const request = await startRequest(t, '#sign-batch');
    await desktop.waitInFront(TITLES.batch);
    await desktop.keys('Tab', 'Tab', 'Return');  // certificate list -> "Подписать" -> "Закрыть"
    await desktop.waitGone(TITLES.batch);
    const answer = await answered;
    check(answer.status === 499, `Korvalo answered ${answer.status}, not 499`);
    const text = await answer.text();
    check(text === CANCELLED_TEXT, `Korvalo answered "${text}"`);
    await poll('the page to show the cancellation', async () =>
      (await tab.text('#status')).includes(`Korvalo: ${CANCELLED_TEXT}`),
    );
    check(tab.url() === demo.url, `the page went to ${tab.url()}`);
    await expectNothingUploaded(demo, request);
  },

  // The batch window closed through the window manager (Alt+F4, as its title-bar button):
  // Korvalo ends the request without an answer the page may read, and the page says so
  // instead of claiming that Korvalo is not running.
  async batchWindowClosed(t) {
    const { tab, demo, desktop } = t;
    const request = await startRequest(t, '#sign-batch');
    await desktop.waitInFront(TITLES.batch);
    await sleep(LOOK_MS);
    await desktop.keys('alt+F4');
    await desktop.waitGone(TITLES.batch);
    await expectHelp(tab, 'noAnswer', 1);
    await expectNothingUploaded(demo, request);
  },

  // The page before Korvalo runs, allowed to reach apps on this device: nothing listens on
  // Korvalo's port, and the page says that Korvalo is not running; its retry tries again.
  async notRunning(t) {
    const { tab, session, alone } = t;
    check(!(await portOpen(ENDPOINT_PORT)), `port ${ENDPOINT_PORT} is open: Korvalo runs`);
    await session.allowLoopback(alone.origin);
    const request = await startRequest(t, '#sign-batch', alone);
    const help = await expectHelp(tab, 'notRunning', 1);
    check(help.text.includes(KORVALO_URL),
      `the explanation does not name Korvalo's address:\n${help.text}`);
    await saveScreenshot(t, 'demo-korvalo-not-running.png');
    await focusBrowser(t);
    await tab.click('#korvalo-retry');
    await expectHelp(tab, 'notRunning', 2);
    await expectNothingUploaded(alone, request);
  },

  // The integration guide's snippet that tells why a request to Korvalo failed: the demo
  // page carries it word for word, and in this browser it reads each permission state, real
  // and stubbed, as the guide's table says.
  async guideSnippet(t) {
    const { tab, alone, sourceDir } = t;
    const guide = fs.readFileSync(path.join(sourceDir, 'docs', 'integration.md'), 'utf8');
    const snippet = [...guide.matchAll(/```js\n([^]*?)```/g)]
      .map((m) => m[1]).find((code) => code.includes('async function whyKorvaloFailed('));
    check(snippet, 'docs/integration.md has no snippet with whyKorvaloFailed');
    await tab.goto(alone.url);
    const script = await tab.evaluate(() => [...document.scripts].map((s) => s.text).join('\n'));
    check(script.includes(snippet), 'the demo page does not carry the guide\'s snippet word for word');
    const table = await tab.evaluate(async (code) => {
      const whyKorvaloFailed = new Function(`${code}\nreturn whyKorvaloFailed;`)();
      const permissions = navigator.permissions;
      const real = await whyKorvaloFailed(performance.now());
      const read = {};
      for (const state of ['granted', 'denied', 'prompt', 'unknown']) {
        permissions.query = async () => {
          if (state === 'unknown') throw new TypeError('not a permission this browser knows');
          return { state };
        };
        // A failure at once, and one after Korvalo's window was open for five seconds.
        read[state] = [await whyKorvaloFailed(performance.now()),
          await whyKorvaloFailed(performance.now() - 5000)];
      }
      delete permissions.query;
      return { real, read };
    }, snippet);
    const expected = {
      granted: ['notRunning', 'noAnswer'], denied: ['refused', 'refused'],
      prompt: ['unclear', 'unclear'], unknown: ['unclear', 'unclear'],
    };
    check(JSON.stringify(table.read) === JSON.stringify(expected),
      `the snippet reads ${JSON.stringify(table.read)}, not ${JSON.stringify(expected)}`);
    log(`the guide's snippet reads this page's real permission state as "${table.real}"`);
  },
};

// The answer to a form request that sends the browser on: 200 with Korvalo's Server header;
// the CORS lines only when it signed and uploaded.
async function expectRedirectAnswer(response, context, signed) {
  check(response.status === 200, `Korvalo answered ${response.status}, not 200`);
  const server = response.headers['server'] ?? '';
  const expected = context.version
    ? server === `Korvalo Version ${context.version}`
    : /^Korvalo Version \d+(\.\d+){3}$/.test(server);
  check(expected, `the Server header is "${server}"`);
  const cors = response.headers['access-control-allow-origin'];
  check(signed ? cors === '*' : cors === undefined, `Access-Control-Allow-Origin is ${cors}`);
}

// A second batch request (the ID-card batch, from another tab) while a signing window is open:
// Korvalo answers 499 with the short busy text, which the page shows.
async function expectBusyBatch(t) {
  const { session, demo } = t;
  const tab = await session.newTab();
  try {
    await tab.goto(demo.url);
    const answered = tab.korvaloAnswer();
    await tab.click('#sign-batch-idcard');
    const response = await answered;
    check(response.status === 499, `the second batch request got ${response.status}, not 499`);
    await poll('the page to show the busy answer', async () =>
      (await tab.text('#status')).includes(`Korvalo: ${BUSY_JSON_TEXT}`),
    );
    log(`the second batch request got 499 "${BUSY_JSON_TEXT}"`);
  } finally {
    await tab.close();
  }
}

// A second request (a file, from another tab) while a signing window is open.
async function expectBusyPage(t) {
  const { session, demo, context } = t;
  const tab = await session.newTab();
  try {
    await tab.goto(demo.url);
    const busy = tab.korvaloAnswer();
    await tab.click('#form-file button[type=submit]');
    const response = await busy;
    check(response.status === 499, `the second request got ${response.status}, not 499`);
    await tab.waitForUrl(KORVALO_URL);
    const heading = await tab.text('h2');
    const expected = `Korvalo v.${context.version ?? ''}`;
    check(context.version ? heading === expected : /^Korvalo v\.\d+(\.\d+){3}$/.test(heading),
      `the busy page's heading is "${heading}", expected "${expected}"`);
    const warning = await tab.evaluate(() => {
      const h = document.querySelector('h3');
      return { text: h?.textContent, color: h ? getComputedStyle(h).color : '' };
    });
    check(warning.text === BUSY_TEXT, `the busy page says "${warning.text}"`);
    check(warning.color === 'rgb(255, 0, 0)', `the warning's colour is ${warning.color}`);
    log(`the second request got the busy page: "${heading}", "${warning.text}"`);
  } finally {
    await tab.close();
  }
}

// Which cases each browser runs, in this order. The first ones run before Korvalo is
// started; the form requests (navigations) run before the person has allowed the demo site
// anything, then batchRefused refuses and allows it; the script requests after it run with
// the site allowed to reach apps on this device.
const BEFORE_KORVALO = new Set(['guideSnippet', 'notRunning']);
const NEEDS_PERMISSION = new Set(['idcardBatch', 'batch', 'batchClosed', 'batchWindowClosed']);
const SUITES = [
  {
    kind: 'chromium',
    launch: (o) => ChromiumSession.launch(o),
    cases: ['guideSnippet', 'notRunning', 'message', 'tokenMessage', 'file', 'batchRefused',
      'idcardBatch', 'batch', 'messageClosed', 'fileEscaped', 'batchClosed', 'batchWindowClosed'],
  },
  {
    kind: 'firefox',
    launch: (o) => FirefoxSession.launch(o),
    cases: ['guideSnippet', 'message', 'batchRefused', 'batch'],
  },
];

// ---- the run ------------------------------------------------------------------------------

function selectedCases(only) {
  const wanted = only ? only.split(',') : undefined;
  const known = SUITES.flatMap((s) => s.cases.map((c) => `${s.kind}:${c}`));
  for (const name of wanted ?? [])
    check(known.includes(name) || SUITES.some((s) => s.cases.includes(name)),
      `no case "${name}" (cases: ${known.join(', ')})`);
  return SUITES.map((s) => ({
    ...s,
    cases: s.cases.filter((c) => !wanted || wanted.includes(c) || wanted.includes(`${s.kind}:${c}`)),
  })).filter((s) => s.cases.length > 0);
}

async function main() {
  const { values } = parseArgs({
    options: {
      'source-dir': { type: 'string' },
      'build-dir': { type: 'string' },
      only: { type: 'string' },
      keep: { type: 'boolean', default: false },
      screenshots: { type: 'string' },
    },
  });
  const sourceDir = path.resolve(values['source-dir'] ?? '.');
  const buildDir = path.resolve(values['build-dir'] ?? path.join(sourceDir, 'build'));
  const suites = selectedCases(values.only);
  const screenshots = values.screenshots ? path.resolve(values.screenshots) : undefined;
  if (screenshots) fs.mkdirSync(screenshots, { recursive: true });

  if (await portOpen(ENDPOINT_PORT)) {
    log(`port ${ENDPOINT_PORT} is in use by another program (another Korvalo?): skipped`);
    return SKIP;
  }

  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'korvalo-e2e-'));
  const runLog = path.join(work, 'run.log');
  const processes = new Processes();
  let session;
  let demo;
  let failed = false;
  const passed = [];
  const total = suites.reduce((n, s) => n + s.cases.length, 0);
  const stopNow = () => {
    processes.killAllNow();
    process.exit(1);
  };
  process.once('SIGTERM', stopNow);
  process.once('SIGINT', stopNow);
  process.once('exit', () => processes.killAllNow());
  const watchdog = setTimeout(() => {
    log(`the whole run took longer than ${WHOLE_RUN_MS / 1000} s`);
    console.log(readTail(runLog));
    stopNow();
  }, WHOLE_RUN_MS);
  try {
    log(`work folder ${work}`);
    const display = await startXvfb(processes, work);
    log(`virtual display ${display}`);
    const windowManager = await startOpenbox(processes, display, work);
    log(`window manager: ${windowManager}`);
    const alone = new Demo(await startDemoService(processes, buildDir, work));
    log(`demo page before Korvalo runs: ${alone.url}`);
    // run.sh's demo service gets a port chosen now, so that the browsers know its origin.
    const demoPort = await closedPort();
    demo = new Demo(`http://127.0.0.1:${demoPort}/`);
    const startKorvalo = async () => {
      if (demo.started) return;
      const url = await startDemo(processes, sourceDir, buildDir, display, runLog, demoPort);
      check(new Demo(url).origin === demo.origin,
        `run.sh's demo service listens on ${url}, not on port ${demoPort} (taken meanwhile?)`);
      demo.started = true;
      log(`demo page ${demo.url}, Korvalo at ${KORVALO_URL}`);
    };
    const nowhere = await closedPort();
    const korvalo = new KorvaloLog(runLog);
    const desktop = new Desktop(display);
    const context = { version: undefined };
    for (const suite of suites) {
      if (!suite.cases.some((name) => BEFORE_KORVALO.has(name))) await startKorvalo();
      session = await suite.launch({
        display, work, nowhere, publicOrigins: [demo.origin, alone.origin],
      });
      log(`browser: ${session.name} (${session.details})`);
      for (const name of suite.cases) {
        const label = `${suite.kind}:${name}`;
        if (!BEFORE_KORVALO.has(name)) await startKorvalo();
        if (NEEDS_PERMISSION.has(name) && !session.allowed.has(demo.origin))
          await session.allowLoopback(demo.origin);
        const permission = session.allowed.has(demo.origin) ? 'allowed' : 'not allowed';
        log(`---- ${label} (${session.name}; public origin, access to apps on this device ` +
          `${permission}; window manager ${windowManager})`);
        const t = {
          tab: session.tab, session, demo, alone, desktop, work, context, korvalo, screenshots,
          sourceDir,
        };
        try {
          await withTimeout(label, CASE_MS, cases[name](t));
          passed.push(label);
          log(`${label}: passed`);
        } catch (e) {
          failed = true;
          log(`${label}: FAILED: ${e instanceof TestFailure ? e.message : e.stack}`);
          const shot = path.join(work, `${suite.kind}-${name}.png`);
          await session.tab.screenshot(shot).catch(() => {});
          log(`the page was ${session.tab.url()} (screenshot ${shot})`);
          // The whole display, when ImageMagick is installed.
          await run('import', ['-window', 'root', path.join(work, `${suite.kind}-${name}-screen.png`)],
            desktop.env);
          await closeLeftWindows(desktop);
        }
      }
      await session.close().catch(() => {});
      session = undefined;
    }
  } catch (e) {
    failed = true;
    log(`FAILED: ${e instanceof TestFailure ? e.message : e.stack}`);
  } finally {
    clearTimeout(watchdog);
    if (failed) {
      console.log('\n==== run.sh and Korvalo log ====\n' + readTail(runLog));
      if (demo?.started) {
        const results = await demo.all().catch((e) => e.message);
        console.log('\n==== demo results ====\n' + results);
      }
    }
    if (session) await session.close().catch(() => {});
    await processes.stopAll();
    if (await portOpen(ENDPOINT_PORT)) {
      log(`port ${ENDPOINT_PORT} is still open after the run`);
      failed = true;
    }
    if (!failed && !values.keep) fs.rmSync(work, { recursive: true, force: true });
    else log(`files of this run kept in ${work}`);
  }
  console.log(`${passed.length} passed, ${total - passed.length} failed`);
  return failed ? 1 : 0;
}

// A failed case may leave a Korvalo window open, which would make every later request busy.
async function closeLeftWindows(desktop) {
  for (const title of [TITLES.chooser, TITLES.message, 'Подпись', TITLES.file, TITLES.batch]) {
    for (const window of await desktop.find(title)) {
      log(`closing the window "${title}" left open`);
      await desktop.xdotool(['windowactivate', '--sync', window]);
      await desktop.keys('Escape').catch(() => {});
    }
  }
}

main().then(
  (status) => process.exit(status),
  (e) => {
    log(`FAILED: ${e instanceof TestFailure ? e.message : e.stack}`);
    process.exit(1);
  },
);
