// End-to-end test of Korvalo as a person uses it: ./run.sh starts the card-service stand-in,
// the demo web service and the real Korvalo on a virtual display; Chromium (headless, driven by
// playwright-core) opens the demo page and starts each kind of request; xdotool works Korvalo's
// windows with the keyboard; the demo service's results and the page the browser ended on
// tell whether each road was gone to its end.
//
//   node e2e.mjs --source-dir REPO --build-dir BUILD [--only NAME,NAME] [--keep]
//
// Exit status: 0 passed, 1 failed, 77 skipped (port 48051 is taken by another program).

import { spawn, execFile } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';
import { chromium } from 'playwright-core';

const ENDPOINT_PORT = 48051;
const KORVALO_URL = `http://127.0.0.1:${ENDPOINT_PORT}/`;
const STEP_MS = 30_000;        // the longest any one step may take
const CASE_MS = 90_000;        // the longest one case may take
const WHOLE_RUN_MS = 240_000;  // the whole run, well inside ctest's time-out
const SKIP = 77;
const SHA256_OID = '2.16.840.1.101.3.4.2.1';

const TITLES = {
  message: 'Подпись сообщения',
  file: 'Выбор и подпись файла',
  chooser: 'Выбор файла для подписи',
  batch: 'Подпись документов',
};
const BUSY_TEXT = 'Завершите предыдущую процедуру подписи или отмените ее';
const BUSY_JSON_TEXT = 'завершите предыдущую процедуру подписи или отмените ее';
const CANCELLED_TEXT = 'процедура подписи отменена';
// A message window enables "Подписать" once it has read and shown the message: a moment.
const MESSAGE_SHOWN_MS = 1000;

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

function sha256(bytes) {
  return createHash('sha256').update(bytes).digest('hex');
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
    return child;
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
  const child = processes.add(
    'Xvfb',
    spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1280x1024x24', '-nolisten', 'tcp'], {
      stdio: ['ignore', logFd, logFd, 'pipe'],
    }),
  );
  fs.closeSync(logFd);
  const entry = processes.list.at(-1);
  let announced = '';
  child.stdio[3].on('data', (chunk) => {
    announced += chunk.toString();
  });
  const number = await poll('Xvfb to announce its display', () => {
    check(!entry.exited, 'Xvfb ended at start: ' + readTail(path.join(work, 'xvfb.log')));
    const m = /^(\d+)\n/.exec(announced);
    return m ? m[1] : undefined;
  });
  return `:${number}`;
}

// Starts ./run.sh over the finished build with DISPLAY set; returns the demo page's address.
async function startDemo(processes, sourceDir, buildDir, display, runLog) {
  const out = fs.openSync(runLog, 'w');
  const child = processes.add(
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
        KORVALO_DEMO_PORT: '0',
        KORVALO_LOG_STDERR: '1',
      },
    }),
    true,
  );
  fs.closeSync(out);
  const entry = processes.list.at(-1);
  const url = await poll(
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
  check(child.pid > 0, 'run.sh has no pid');
  return url;
}

function readTail(file, max = 20_000) {
  try {
    const text = fs.readFileSync(file, 'utf8');
    return text.length > max ? '...\n' + text.slice(-max) : text;
  } catch (e) {
    return `(cannot read ${file}: ${e.message})`;
  }
}

// ---- Korvalo's windows through xdotool ----------------------------------------------------

class Desktop {
  constructor(display) {
    this.env = { ...process.env, DISPLAY: display, LC_ALL: 'C.UTF-8' };
  }

  run(args) {
    return new Promise((resolve) => {
      execFile('xdotool', args, { env: this.env, timeout: 10_000 }, (error, stdout, stderr) => {
        resolve({ ok: !error, stdout: stdout.toString(), stderr: stderr.toString() });
      });
    });
  }

  // Visible windows whose title is exactly title.
  async find(title) {
    const r = await this.run(['search', '--onlyvisible', '--name', `^${title}$`]);
    return r.stdout.split('\n').filter((line) => /^\d+$/.test(line));
  }

  async waitFor(title) {
    const windows = await poll(`the window "${title}" to appear`, async () => {
      const found = await this.find(title);
      return found.length > 0 ? found : undefined;
    });
    check(windows.length === 1, `more than one window "${title}": ${windows.join(' ')}`);
    log(`window "${title}" is shown (${windows[0]})`);
    return windows[0];
  }

  async waitGone(title, ms = STEP_MS) {
    const gone = async () => (await this.find(title)).length === 0;
    await poll(`the window "${title}" to close`, gone, ms);
  }

  // Gives window the keyboard focus, as a click on it would.
  async focus(window) {
    await poll(`the keyboard focus on window ${window}`, async () => {
      await this.run(['windowfocus', '--sync', window]);
      const r = await this.run(['getwindowfocus']);
      return r.stdout.trim() === window;
    });
  }

  // Presses keys one after another in the focused window.
  async keys(...names) {
    const r = await this.run(['key', '--delay', '80', ...names]);
    check(r.ok, `xdotool key ${names.join(' ')} failed: ${r.stderr}`);
  }

  async type(text) {
    const r = await this.run(['type', '--delay', '30', text]);
    check(r.ok, `xdotool type failed: ${r.stderr}`);
  }
}

// ---- the demo service ---------------------------------------------------------------------

class Demo {
  constructor(url) {
    this.url = url.endsWith('/') ? url : url + '/';
  }

  async result(req) {
    const answer = await fetch(`${this.url}results.json?req=${encodeURIComponent(req)}`);
    check(answer.ok, `results.json?req=${req} answered ${answer.status}`);
    return answer.json();
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

// Keeps the demo service's answers to the page's /new calls. The page navigates to Korvalo right
// after such an answer, which takes the answer's body with it: the route reads it on its way.
async function watchIssued(page, demo) {
  const issued = [];
  await page.route(
    (url) => url.href.startsWith(`${demo.url}new?`),
    async (route) => {
      const response = await route.fetch();
      issued.push({ status: response.status(), text: await response.text() });
      await route.fulfill({ response });
    },
  );
  return issued;
}

// Starts a request from the demo page: clicks the button and returns what the demo service
// issued for it (its /new answer: req, resultUrl, the form or the batch document).
async function startRequest(page, demo, button) {
  await page.goto(demo.url);
  const before = page.issued.length;
  // The form's navigation to Korvalo ends only when its window closes: do not wait for it.
  await page.click(button, { noWaitAfter: true });
  const response = await poll('the demo service to issue the request', () =>
    page.issued.length > before ? page.issued[before] : undefined,
  );
  check(response.status === 200,
    `the demo service refused the request: ${response.status} ${response.text}`);
  const request = JSON.parse(response.text);
  log(`request ${request.req} (${request.kind}${request.useIdCard ? ', ID card' : ''}) issued`);
  return request;
}

// The browser has landed on the request's result page.
async function expectResultPage(page, request, state) {
  await page.waitForURL(request.resultUrl, { timeout: STEP_MS });
  // Korvalo sends the browser on only after its upload has ended, so the page is final.
  const text = await page.textContent('body');
  if (state === 'verified')
    check(text.includes('подпись проверена'),
      `the result page does not say "подпись проверена":\n${text}`);
  else
    check(text.includes('Выгрузка от Korvalo ещё не получена'),
      `the result page shows an upload:\n${text}`);
  log(`the browser is on ${page.url()}`);
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
  return upload;
}

async function expectNothingUploaded(demo, request) {
  const result = await demo.result(request.req);
  check(result.state === 'waiting' && result.uploads.length === 0,
    `request ${request.req} should have no upload:\n${JSON.stringify(result, null, 2)}`);
}

const cases = {
  // An ID-card batch: no window, signed by the card service.
  async idcardBatch({ page, demo, context }) {
    const request = await startRequest(page, demo, '#sign-batch-idcard');
    await expectResultPage(page, request, 'verified');
    const upload = await expectVerified(demo, request, 3);
    for (const s of upload.signatures)
      check(s.layout === 'oneLine', `an ID-card signature in layout ${s.layout}`);
    context.version = upload.korvaloVersion;
  },

  // A message, signed with the preselected certificate; while its window is open a second
  // request from another tab gets the busy page.
  async message({ page, demo, desktop, browser, context }) {
    const answered = korvaloAnswer(page);
    const request = await startRequest(page, demo, '#form-message button[type=submit]');
    const window = await desktop.waitFor(TITLES.message);
    await expectBusyPage(browser, demo, context);
    await desktop.focus(window);
    await sleep(MESSAGE_SHOWN_MS);
    await desktop.keys('Tab', 'Return');  // from the certificate list to "Подписать"
    await desktop.waitGone(TITLES.message);
    await expectResultPage(page, request, 'verified');
    const upload = await expectVerified(demo, request, 1);
    await expectRedirectAnswer(await answered, context, true);
    check(upload.file.matchesSent === true, 'the uploaded message is not the one sent');
    check(upload.signatures[0].layout === 'lines64', `layout ${upload.signatures[0].layout}`);
  },

  // A file chosen in the file window, its full path typed into the chooser.
  async file({ page, demo, desktop, work }) {
    const file = path.join(work, 'contract-42.pdf');
    const binary = Buffer.from(Array.from({ length: 3000 }, (_, i) => (i * 37) % 256));
    const bytes = Buffer.concat([Buffer.from('%PDF-1.4\n'), binary]);
    fs.writeFileSync(file, bytes);
    const request = await startRequest(page, demo, '#form-file button[type=submit]');
    const window = await desktop.waitFor(TITLES.file);
    await desktop.focus(window);
    await desktop.keys('space');  // "..." has the focus: open the chooser
    const chooser = await desktop.waitFor(TITLES.chooser);
    await desktop.focus(chooser);
    await desktop.type(file);  // into the file-name field, which has the focus
    // Return accepts the name; a completion list that is open takes the first Return.
    await poll('the chooser to accept the typed path', async () => {
      if ((await desktop.find(TITLES.chooser)).length === 0) return true;
      await desktop.keys('Return');
      await sleep(700);
      return (await desktop.find(TITLES.chooser)).length === 0;
    });
    await desktop.focus(window);
    await desktop.keys('Tab', 'Tab', 'Return');  // "..." -> certificate list -> "Подписать"
    await desktop.waitGone(TITLES.file);
    await expectResultPage(page, request, 'verified');
    const upload = await expectVerified(demo, request, 1);
    check(upload.file.sha256 === sha256(bytes), 'the uploaded file is not the chosen one');
    check(upload.file.name === 'contract-42.pdf', `the uploaded file is named ${upload.file.name}`);
  },

  // Three documents in one JSON request, signed in the batch window.
  async batch({ page, demo, desktop, browser }) {
    const answered = korvaloAnswer(page);
    const request = await startRequest(page, demo, '#sign-batch');
    const window = await desktop.waitFor(TITLES.batch);
    await expectBusyBatch(browser, demo);
    await desktop.focus(window);
    await desktop.keys('Tab', 'Return');  // from the certificate list to "Подписать"
    await desktop.waitGone(TITLES.batch);
    const answer = await answered;
    if (answer.status() !== 200) {
      const text = await answer.text().catch(() => '');
      throw new TestFailure(`Korvalo answered ${answer.status()} "${text}", not 200`);
    }
    await expectResultPage(page, request, 'verified');
    const upload = await expectVerified(demo, request, 3);
    const documents = upload.signatures.map((s) => s.document).sort();
    const sent = request.document ? JSON.parse(request.document).files.map((f) => f.id).sort() : [];
    check(JSON.stringify(documents) === JSON.stringify(sent), `signed ${documents}, sent ${sent}`);
  },

  // "Закрыть" in the message window: the browser goes to urlToRedirect, nothing is uploaded.
  async messageClosed({ page, demo, desktop, context }) {
    const answered = korvaloAnswer(page);
    const request = await startRequest(page, demo, '#form-message button[type=submit]');
    const window = await desktop.waitFor(TITLES.message);
    await desktop.focus(window);
    await sleep(MESSAGE_SHOWN_MS);
    await desktop.keys('Tab', 'Tab', 'Return');  // certificate list -> "Подписать" -> "Закрыть"
    await desktop.waitGone(TITLES.message);
    await expectRedirectAnswer(await answered, context, false);
    check(request.form.urlToRedirect === request.resultUrl, 'urlToRedirect is not the result page');
    await expectResultPage(page, request, 'waiting');
    await expectNothingUploaded(demo, request);
  },

  // Escape in the file window: the same as "Закрыть".
  async fileEscaped({ page, demo, desktop }) {
    const request = await startRequest(page, demo, '#form-file button[type=submit]');
    const window = await desktop.waitFor(TITLES.file);
    await desktop.focus(window);
    await desktop.keys('Escape');
    await desktop.waitGone(TITLES.file);
    await expectResultPage(page, request, 'waiting');
    await expectNothingUploaded(demo, request);
  },

  // "Закрыть" in the batch window: Korvalo answers 499 "процедура подписи отменена", which the
  // page shows; nothing is uploaded.
  async batchClosed({ page, demo, desktop }) {
    const answered = korvaloAnswer(page);
    const request = await startRequest(page, demo, '#sign-batch');
    const window = await desktop.waitFor(TITLES.batch);
    await desktop.focus(window);
    await desktop.keys('Tab', 'Tab', 'Return');  // certificate list -> "Подписать" -> "Закрыть"
    await desktop.waitGone(TITLES.batch);
    const answer = await answered;
    check(answer.status() === 499, `Korvalo answered ${answer.status()}, not 499`);
    const text = await answer.text();
    check(text === CANCELLED_TEXT, `Korvalo answered "${text}"`);
    await poll('the page to show the cancellation', async () =>
      (await page.textContent('#status')).includes(`Korvalo: ${CANCELLED_TEXT}`),
    );
    check(page.url() === demo.url, `the page went to ${page.url()}`);
    await expectNothingUploaded(demo, request);
  },
};

// Korvalo's answer to the next request the page sends it.
function korvaloAnswer(page) {
  const answer = page.waitForResponse(
    (r) => r.url() === KORVALO_URL && r.request().method() === 'POST',
    { timeout: 2 * STEP_MS },
  );
  answer.catch(() => {});  // a case that fails before it waits for the answer leaves it unread
  return answer;
}

// The answer to a form request that sends the browser on: 200 with Korvalo's Server header;
// the CORS lines only when it signed and uploaded.
async function expectRedirectAnswer(response, context, signed) {
  check(response.status() === 200, `Korvalo answered ${response.status()}, not 200`);
  const headers = await response.allHeaders();
  const server = headers['server'] ?? '';
  const expected = context.version
    ? server === `Korvalo Version ${context.version}`
    : /^Korvalo Version \d+(\.\d+){3}$/.test(server);
  check(expected, `the Server header is "${server}"`);
  const cors = headers['access-control-allow-origin'];
  check(signed ? cors === '*' : cors === undefined, `Access-Control-Allow-Origin is ${cors}`);
}

// A second batch request (the ID-card batch, from another tab) while a signing window is open:
// Korvalo answers 499 with the short busy text, which the page shows.
async function expectBusyBatch(browser, demo) {
  const tab = await browser.newPage();
  try {
    await tab.goto(demo.url);
    const answered = korvaloAnswer(tab);
    await tab.click('#sign-batch-idcard');
    const response = await answered;
    check(response.status() === 499, `the second batch request got ${response.status()}, not 499`);
    const text = await response.text();
    check(text === BUSY_JSON_TEXT, `the second batch request got "${text}"`);
    await poll('the page to show the busy answer', async () =>
      (await tab.textContent('#status')).includes(`Korvalo: ${text}`),
    );
    log(`the second batch request got 499 "${text}"`);
  } finally {
    await tab.close();
  }
}

// A second request (a file, from another tab) while a signing window is open.
async function expectBusyPage(browser, demo, context) {
  const tab = await browser.newPage();
  try {
    await tab.goto(demo.url);
    const busy = korvaloAnswer(tab);
    await tab.click('#form-file button[type=submit]', { noWaitAfter: true });
    const response = await busy;
    check(response.status() === 499, `the second request got ${response.status()}, not 499`);
    await tab.waitForURL(KORVALO_URL, { timeout: STEP_MS });
    const heading = (await tab.textContent('h2')) ?? '';
    const expected = `Korvalo v.${context.version ?? ''}`;
    check(context.version ? heading === expected : /^Korvalo v\.\d+(\.\d+){3}$/.test(heading),
      `the busy page's heading is "${heading}", expected "${expected}"`);
    const warning = await tab.$eval('h3', (h) => ({
      text: h.textContent,
      color: getComputedStyle(h).color,
    }));
    check(warning.text === BUSY_TEXT, `the busy page says "${warning.text}"`);
    check(warning.color === 'rgb(255, 0, 0)', `the warning's colour is ${warning.color}`);
    log(`the second request got the busy page: "${heading}", "${warning.text}"`);
  } finally {
    await tab.close();
  }
}

// ---- the run ------------------------------------------------------------------------------

async function main() {
  const { values } = parseArgs({
    options: {
      'source-dir': { type: 'string' },
      'build-dir': { type: 'string' },
      only: { type: 'string' },
      keep: { type: 'boolean', default: false },
    },
  });
  const sourceDir = path.resolve(values['source-dir'] ?? '.');
  const buildDir = path.resolve(values['build-dir'] ?? path.join(sourceDir, 'build'));
  const names = values.only ? values.only.split(',') : Object.keys(cases);
  for (const name of names)
    check(cases[name], `no case "${name}" (cases: ${Object.keys(cases).join(', ')})`);

  if (await portOpen(ENDPOINT_PORT)) {
    log(`port ${ENDPOINT_PORT} is in use by another program (another Korvalo?): skipped`);
    return SKIP;
  }

  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'korvalo-e2e-'));
  const runLog = path.join(work, 'run.log');
  const processes = new Processes();
  let browser;
  let demo;
  let failed = false;
  const passed = [];
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
    const url = await startDemo(processes, sourceDir, buildDir, display, runLog);
    demo = new Demo(url);
    log(`demo page ${demo.url}, Korvalo at ${KORVALO_URL}`);
    browser = await chromium.launch({
      executablePath: '/usr/bin/chromium',
      headless: true,
      timeout: STEP_MS,
      args: [
        '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
      ],
    });
    log(`Chromium ${browser.version()}`);
    const page = await browser.newPage();
    page.setDefaultTimeout(STEP_MS);
    page.issued = await watchIssued(page, demo);
    const context = { version: undefined };
    const desktop = new Desktop(display);
    for (const name of names) {
      log(`---- ${name}`);
      try {
        const run = cases[name]({ page, demo, desktop, browser, work, context });
        await withTimeout(name, CASE_MS, run);
        passed.push(name);
        log(`${name}: passed`);
      } catch (e) {
        failed = true;
        log(`${name}: FAILED: ${e instanceof TestFailure ? e.message : e.stack}`);
        const shot = path.join(work, `${name}.png`);
        await page.screenshot({ path: shot }).catch(() => {});
        log(`the page was ${page.url()} (screenshot ${shot})`);
        await closeLeftWindows(desktop);
      }
    }
  } catch (e) {
    failed = true;
    log(`FAILED: ${e instanceof TestFailure ? e.message : e.stack}`);
  } finally {
    clearTimeout(watchdog);
    if (failed) {
      console.log('\n==== run.sh and Korvalo log ====\n' + readTail(runLog));
      if (demo) {
        const results = await demo.all().catch((e) => e.message);
        console.log('\n==== demo results ====\n' + results);
      }
    }
    if (browser) await browser.close().catch(() => {});
    await processes.stopAll();
    if (await portOpen(ENDPOINT_PORT)) {
      log(`port ${ENDPOINT_PORT} is still open after the run`);
      failed = true;
    }
    if (!failed && !values.keep) fs.rmSync(work, { recursive: true, force: true });
    else log(`files of this run kept in ${work}`);
  }
  const total = names.length;
  console.log(`${passed.length} passed, ${total - passed.length} failed`);
  return failed ? 1 : 0;
}

// A failed case may leave a Korvalo window open, which would make every later request busy.
async function closeLeftWindows(desktop) {
  for (const title of [TITLES.chooser, TITLES.message, 'Подпись', TITLES.file, TITLES.batch]) {
    for (const window of await desktop.find(title)) {
      log(`closing the window "${title}" left open`);
      await desktop.focus(window).catch(() => {});
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
