'use strict';
// What every browser test file shares: a server started by scripts/serve on a
// fresh sandbox and a free port, behind its login, Debian's Chromium with a
// fresh profile that signs in through the program's form, a screenshot of
// every page visited, and readers
// for the sandbox's accounts: its account files, or with ORVANTA_ACCOUNTS=ldap
// (the same suites once more) the directory of scripts/serve --ldap.
const { execFileSync, spawn, spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const { before, after } = require('node:test');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const PROJECT = path.resolve(__dirname, '..', '..');
const BUILD = process.env.ORVANTA_BUILD_DIR || path.join(PROJECT, 'build');
const CHROMIUM = process.env.ORVANTA_CHROMIUM || '/usr/bin/chromium';
const ARTIFACTS = path.join(PROJECT, 'test-artifacts', 'browser');
const LOGIN_USER = 'admin';
const LDAP = process.env.ORVANTA_ACCOUNTS === 'ldap';
const SLAPD = path.join(PROJECT, 'scripts', 'serve.d', 'slapd');
const LDAP_BASE = 'dc=orvanta,dc=test';

const CHROMIUM_ARGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run',
];

function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

const basicAuthorization = ({ username, password }) =>
  `Basic ${Buffer.from(`${username}:${password}`).toString('base64')}`;

// Signs in through the program's form as a script does (with the server's
// own Origin, as a browser sends it); the session's Cookie header and form
// token.
async function signIn(server, { username, password } = server.credentials) {
  const response = await fetch(`${server.url}orvanta.cgi`, {
    method: 'POST',
    redirect: 'manual',
    headers: {
      origin: new URL(server.url).origin,
      'content-type': 'application/x-www-form-urlencoded',
    },
    body: new URLSearchParams({ COMMAND: 'LOGIN', OPERATOR: username, PASSWORD: password }).toString(),
  });
  const cookie = response.headers.get('set-cookie')?.split(';')[0];
  if (response.status !== 303 || !cookie) {
    throw new Error(`${username} could not sign in: ${response.status}`);
  }
  const menu = await (await fetch(`${server.url}orvanta.cgi?COMMAND=MENU`, { headers: { cookie } })).text();
  return { cookie, token: menu.match(/NAME="TOKEN" VALUE="([0-9a-f]{64})"/)[1] };
}

// scripts/serve refuses to serve without its mount namespace unless told
// --unconfined; it is told so only where no such namespace can be made.
// The entries ldapsearch finds, as objects of attribute to values.
function searchDirectory(sandbox, filter, attributes) {
  const dir = path.join(sandbox, 'ldap');
  const uri = execFileSync(SLAPD, ['uri', dir], { encoding: 'utf8' }).trim();
  const ldif = execFileSync('ldapsearch', ['-x', '-H', uri, '-D', `cn=admin,${LDAP_BASE}`,
    '-y', path.join(dir, 'bindpw'), '-b', LDAP_BASE, '-LLL', '-o', 'ldif-wrap=no', filter,
    ...attributes], { encoding: 'utf8' });
  return ldif.split('\n\n').filter((block) => block.trim()).map((block) => {
    const entry = {};
    for (const line of block.split('\n')) {
      const [, name, base64, value] = line.match(/^([^:]+):(:?) ?(.*)$/);
      (entry[name] ||= []).push(base64 ? Buffer.from(value, 'base64').toString('latin1') : value);
    }
    return entry;
  });
}

function confinementOptions() {
  if (spawnSync('unshare', ['--mount', 'true'], { stdio: 'ignore' }).status === 0) return [];
  console.log('"unshare --mount true" fails here: scripts/serve runs with --unconfined, '
    + 'the host\'s file systems writable');
  return ['--unconfined'];
}

// Starts scripts/serve on what the build directory holds, with a sandbox
// seeded afresh in a temporary directory and a password of its own, and waits
// until it answers the login.
async function startServer() {
  const sandbox = fs.mkdtempSync(path.join(os.tmpdir(), 'orvanta-browser-'));
  const port = await freePort();
  const credentials = {
    username: LOGIN_USER,
    password: crypto.randomBytes(15).toString('base64url'),
  };
  const output = [];
  const child = spawn(path.join(PROJECT, 'scripts', 'serve'),
    ['--no-build', '--build', BUILD, '--sandbox', sandbox, '--port', String(port), '--reset',
      ...confinementOptions(), ...(LDAP ? ['--ldap'] : [])],
    {
      detached: true,
      stdio: ['ignore', 'pipe', 'pipe'],
      env: { ...process.env, ORVANTA_PASSWORD: credentials.password },
    });
  child.stdout.on('data', (chunk) => output.push(chunk));
  child.stderr.on('data', (chunk) => output.push(chunk));
  let exit = null;
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => {
    exit = { code, signal };
    resolve(exit);
  }));
  const log = () => Buffer.concat(output).toString();

  const url = `http://127.0.0.1:${port}/`;
  const deadline = Date.now() + 20000;
  for (;;) {
    if (exit) throw new Error(`scripts/serve ended (${JSON.stringify(exit)}):\n${log()}`);
    try {
      const response = await fetch(url);
      if (response.ok) break;
    } catch {
      // not listening yet
    }
    if (Date.now() > deadline) {
      process.kill(-child.pid, 'SIGKILL');
      throw new Error(`scripts/serve did not answer at ${url}:\n${log()}`);
    }
    await sleep(100);
  }

  const file = (name) => path.join(sandbox, name);
  let adminSession = null;
  const server = {
    url,
    credentials,
    sandbox,
    log,
    file,
    // A GET in a session of this server's login, sent from outside the browser.
    async fetch(target, init = {}) {
      adminSession ||= await signIn(server);
      return fetch(target, { ...init, headers: { ...init.headers, cookie: adminSession.cookie } });
    },
    read: (name) => fs.readFileSync(file(name), 'utf8'),
    exists: (name) => fs.existsSync(file(name)),
    ldap: LDAP,
    // The accounts (etc/passwd or the directory) as objects, by name.
    passwd() {
      const accounts = new Map();
      if (LDAP) {
        for (const e of searchDirectory(sandbox, '(objectClass=posixAccount)', [])) {
          accounts.set(e.uid[0], {
            uid: Number(e.uidNumber[0]), gid: Number(e.gidNumber[0]), gecos: e.gecos?.[0] ?? '',
            dir: e.homeDirectory[0], shell: e.loginShell?.[0] ?? '',
          });
        }
        return accounts;
      }
      for (const line of this.read('etc/passwd').split('\n').filter(Boolean)) {
        const [name, , uid, gid, gecos, dir, shell] = line.split(':');
        accounts.set(name, { uid: Number(uid), gid: Number(gid), gecos, dir, shell });
      }
      return accounts;
    },
    // The groups (etc/group or the directory) as objects, by name.
    groups() {
      const groups = new Map();
      if (LDAP) {
        for (const e of searchDirectory(sandbox, '(objectClass=posixGroup)', [])) {
          groups.set(e.cn[0], { gid: Number(e.gidNumber[0]), members: (e.memberUid ?? []).join(',') });
        }
        return groups;
      }
      for (const line of this.read('etc/group').split('\n').filter(Boolean)) {
        const [name, , gid, members] = line.split(':');
        groups.set(name, { gid: Number(gid), members });
      }
      return groups;
    },
    // The account's password hash (shadow, or userPassword after {CRYPT}).
    passwordHash(name) {
      if (LDAP) {
        const [entry] = searchDirectory(sandbox, `(uid=${name})`, ['userPassword']);
        return entry.userPassword[0].replace(/^\{CRYPT\}/, '');
      }
      const line = this.read('etc/shadow').split('\n').find((l) => l.startsWith(`${name}:`));
      return line.split(':')[1];
    },
    async stop() {
      if (!exit) {
        process.kill(-child.pid, 'SIGTERM');
        const timer = setTimeout(() => process.kill(-child.pid, 'SIGKILL'), 5000);
        await exited;
        clearTimeout(timer);
      }
      if (!process.env.ORVANTA_KEEP_SANDBOX) fs.rmSync(sandbox, { recursive: true, force: true });
    },
  };
  return server;
}

// Debian's Chromium with a profile of its own, signed in through the
// program's sign-in page with the server's login; nothing is downloaded.
async function launchBrowser(server) {
  let playwright;
  try {
    playwright = require('playwright-core');
  } catch {
    throw new Error(`playwright-core is not installed: run "npm ci" in ${PROJECT}`);
  }
  if (!fs.existsSync(CHROMIUM)) {
    throw new Error(`no Chromium at ${CHROMIUM} (apt-get install chromium)`);
  }
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'orvanta-chromium-'));
  const context = await playwright.chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: CHROMIUM_ARGS,
    viewport: { width: 1000, height: 700 },
  });
  const page = await context.newPage();
  await page.goto(`${server.url}orvanta.cgi?COMMAND=LOGIN`);
  await page.fill('input[name="OPERATOR"]', server.credentials.username);
  await page.fill('input[name="PASSWORD"]', server.credentials.password);
  await Promise.all([page.waitForNavigation(), page.click('input[value=" ログイン "]')]);
  if (!(await page.innerText('body')).includes(`ログイン中: ${server.credentials.username}`)) {
    throw new Error(`${server.credentials.username} could not sign in in Chromium`);
  }
  await page.close();
  return {
    context,
    async close() {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

// Screenshots named after the test file and numbered in the order taken.
function screenshots(prefix) {
  fs.mkdirSync(ARTIFACTS, { recursive: true });
  for (const old of fs.readdirSync(ARTIFACTS)) {
    if (old.startsWith(`${prefix}-`)) fs.rmSync(path.join(ARTIFACTS, old));
  }
  let count = 0;
  return async (page, name) => {
    count += 1;
    const file = path.join(ARTIFACTS, `${prefix}-${String(count).padStart(2, '0')}-${name}.png`);
    await page.screenshot({ path: file, fullPage: true });
    return file;
  };
}

// Everything a page reports about itself that the tests compare.
async function pageFacts(page) {
  return page.evaluate(() => ({
    characterSet: document.characterSet,
    caption: document.querySelector('caption')?.innerText.trim() ?? null,
    title: document.querySelector('title')?.textContent ?? null,
  }));
}

// The cells of every row of the page's (first) table, as text.
async function tableRows(page) {
  return page.$$eval('table tr', (rows) =>
    rows.map((row) => [...row.cells].map((cell) => cell.innerText.trim())));
}

// Presses a control that sends its form and waits for the page that answers;
// returns its response.
async function submitWith(page, control) {
  const [response] = await Promise.all([page.waitForNavigation(), control.click()]);
  return response;
}

// A test file's server, browser and page, started before its first test and
// stopped after its last; page and server are there once the first test
// runs. Alerts are accepted and their texts kept in dialogs, and the URL of
// every POST the page sends is kept in posts, so that a test can tell a
// form was not sent.
function openSession(name) {
  const session = {
    server: null,
    browser: null,
    page: null,
    dialogs: [],
    posts: [],
    shot: screenshots(LDAP ? `ldap-${name}` : name),
    // The input (a button) showing this value.
    control: (value) => session.page.locator(`input[value="${value}"]`),
  };
  before(async () => {
    session.server = await startServer();
    session.browser = await launchBrowser(session.server);
    session.page = await session.browser.context.newPage();
    session.page.on('dialog', async (dialog) => {
      session.dialogs.push(dialog.message());
      await dialog.accept();
    });
    session.page.on('request', (request) => {
      if (request.method() === 'POST') session.posts.push(request.url());
    });
  });
  after(async () => {
    await session.browser?.close();
    await session.server?.stop();
  });
  return session;
}

module.exports = {
  startServer, launchBrowser, screenshots, openSession, pageFacts, tableRows, submitWith, sleep,
  basicAuthorization, signIn,
};
