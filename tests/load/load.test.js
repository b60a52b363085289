'use strict';
// Many administrators at once: 50 clients send registrations, deletions,
// modifications and group registrations to a server started by scripts/serve
// on a fresh sandbox, through node's http module (no browser). Every change
// must succeed, the operation log must hold one record per success page, and
// the sandbox's account files must stay consistent with each other.
const http = require('node:http');
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { startServer, signIn } = require('../browser/harness');

const CLIENTS = 50;
const ACCOUNTS = 200;
const MODIFICATIONS_PER_PERSON = 12;

const HOME_BASE = '/orvanta-sandbox/home/';
const SHELLS = ['/bin/bash', '/bin/sh', '/bin/dash', '/usr/sbin/nologin', '/bin/false'];
// The groups the registration form offers (those above SYSTEMGID).
const OFFERED_GROUPS = ['alice', 'bob', 'carol', 'devel', 'office'];
const PEOPLE = ['alice', 'bob', 'carol', 'dave'];
// One group registration after every modification.
const GROUPS = PEOPLE.length * MODIFICATIONS_PER_PERSON;
// UID_MIN and GID_MIN of the seed's login.defs: where the tools' own picks start.
const LOWEST_PICKED_ID = 1000;
const NAME_PREFIXES = ['ld', 'l_', 'l.', 'l-', 'l+'];
// Ids given in a request lie above UID_MAX and GID_MAX (60000 in the seed's
// login.defs), where the tools never pick one themselves: a given id and a
// picked one cannot meet, whatever order the requests are served in.
const FIRST_GIVEN_ID = 60001;

const SUCCESS_TEXTS = {
  ADD: 'ユーザー登録しました。',
  MOD: 'ユーザー情報を変更しました。',
  GADD: 'グループ登録しました。',
};
const DELETED_TEXT = '削除しました。';

const decoder = new TextDecoder('euc-jp');

let server;
let agent;
// One session of the server's login, which every client shares.
let session;
// Every answered change so far, in all phases.
const answered = [];

before(async () => {
  server = await startServer();
  session = await signIn(server);
  agent = new http.Agent({ keepAlive: true, maxSockets: CLIENTS });
});
after(async () => {
  agent?.destroy();
  await server?.stop();
});

// POSTs the fields to the program as its forms do, in the session with its
// form token and the server's own origin; resolves to the status and the
// page, decoded.
function post(fields) {
  const target = new URL('orvanta.cgi', server.url);
  const body = new URLSearchParams({ ...fields, TOKEN: session.token }).toString();
  return new Promise((resolve, reject) => {
    const request = http.request(target, {
      method: 'POST',
      agent,
      headers: {
        cookie: session.cookie,
        origin: target.origin,
        'content-type': 'application/x-www-form-urlencoded',
        'content-length': Buffer.byteLength(body),
      },
    }, (response) => {
      const chunks = [];
      response.on('data', (chunk) => chunks.push(chunk));
      response.on('end', () => resolve({
        status: response.statusCode,
        page: decoder.decode(Buffer.concat(chunks)),
      }));
      response.on('error', reject);
    });
    request.on('error', (error) => {
      // The server closed a kept-alive connection just as it was reused: the
      // request never reached the program, so it is sent again.
      if (request.reusedSocket && error.code === 'ECONNRESET') {
        post(fields).then(resolve, reject);
      } else {
        reject(error);
      }
    });
    request.end(body);
  });
}

const occurrences = (text, part) => text.split(part).length - 1;

// Whether the page reports the job's change as made.
function succeeded({ kind, name }, { status, page }) {
  if (status !== 200) return false;
  if (kind === 'DEL') return occurrences(page, `<TD>${name}</TD><TD>${DELETED_TEXT}</TD>`) === 1;
  return page.includes(SUCCESS_TEXTS[kind]) && page.includes(`<TD NOWRAP>${name}</TD>`);
}

// Sends the jobs from CLIENTS clients at once, each taking the next job as
// soon as its previous answer is in.
async function runClients(jobs) {
  const results = [];
  let next = 0;
  const client = async () => {
    while (next < jobs.length) {
      const job = jobs[next];
      next += 1;
      const answer = await post(job.fields);
      results.push({ ...job, ...answer, ok: succeeded(job, answer) });
    }
  };
  await Promise.all(Array.from({ length: CLIENTS }, client));
  answered.push(...results);
  return results;
}

// The records of a colon-separated file of the sandbox, as arrays of fields.
const entries = (file) =>
  server.read(file).split('\n').filter(Boolean).map((line) => line.split(':'));
const namesOf = (file) => entries(file).map(([name]) => name).sort();
const account = (name) => entries('etc/passwd').find(([entry]) => entry === name);
const groupEntry = (name) => entries('etc/group').find(([entry]) => entry === name);
const home = (name) => `orvanta-sandbox/home/${name}`;

function duplicates(values) {
  const seen = new Set();
  return values.filter((value) => (seen.has(value) ? true : (seen.add(value), false)));
}

// Operation log records as "CODE,name", sorted.
function logRecords() {
  if (!server.exists('cgi/orvanta.log')) return [];
  return server.read('cgi/orvanta.log').split('\n').filter(Boolean)
    .map((line) => line.split(',').slice(0, 2).join(',')).sort();
}

// What a failed job must not have left: the account or group it would have
// made, or anything of an account it would have removed.
function assertLeftNothing({ kind, name }) {
  const where = `failed ${kind} ${name}`;
  if (kind === 'ADD') {
    assert.equal(account(name), undefined, where);
    assert.ok(!namesOf('etc/shadow').includes(name), where);
    assert.equal(server.exists(home(name)), false, where);
  } else if (kind === 'DEL') {
    assert.notEqual(account(name), undefined, where);
    assert.ok(namesOf('etc/shadow').includes(name), where);
  } else if (kind === 'GADD') {
    assert.equal(groupEntry(name), undefined, where);
    assert.ok(!namesOf('etc/gshadow').includes(name), where);
  }
}

// The text of a page without its markup, shortened, to tell why a job failed.
const gist = (page) => page.replace(/<[^>]*>/g, ' ').replace(/\s+/g, ' ').trim().slice(0, 100);

// What must hold after every phase: one log record per success page of all
// phases so far and none for a failure, nothing left by a failure of this
// phase, no id given out twice, the shadow files in step with passwd and
// group, and no failure at all.
function assertSandboxConsistent(results) {
  const successes = answered.filter((result) => result.ok);
  const failures = results.filter((result) => !result.ok);
  assert.deepEqual(logRecords(), successes.map(({ kind, name }) => `${kind},${name}`).sort());
  failures.forEach(assertLeftNothing);
  assert.deepEqual(duplicates(entries('etc/passwd').map(([, , uid]) => uid)), []);
  assert.deepEqual(duplicates(entries('etc/group').map(([, , gid]) => gid)), []);
  assert.deepEqual(namesOf('etc/shadow'), namesOf('etc/passwd'));
  assert.deepEqual(namesOf('etc/gshadow'), namesOf('etc/group'));
  assert.deepEqual(failures.map(({ kind, name, status, page }) =>
    `${kind} ${name}: HTTP ${status} ${gist(page)}`), []);
}

const padded = (i) => String(i).padStart(3, '0');

const newAccounts = Array.from({ length: ACCOUNTS }, (_, i) => ({
  NAME: `${NAME_PREFIXES[i % NAME_PREFIXES.length]}${padded(i)}`,
  PASS: `Qv8.Zm2p${padded(i)}`,
  UID: i % 2 ? String(FIRST_GIVEN_ID + i) : '',
  GID: OFFERED_GROUPS[i % OFFERED_GROUPS.length],
  GCOS: i % 4 ? `Load user ${i}` : `O'Hara ${i}`,
  DIR: HOME_BASE,
  SHELL: SHELLS[i % SHELLS.length],
}));

test('200 registrations from 50 clients at once all create their accounts', async () => {
  const results = await runClients(newAccounts.map((fields) => ({
    kind: 'ADD', name: fields.NAME, fields: { COMMAND: 'WILLBEADD', SYSTEM_UID: '999', ...fields },
  })));

  assertSandboxConsistent(results);
  for (const { NAME, UID, GID, GCOS, SHELL } of newAccounts) {
    const [, , uid, gid, gecos, dir, shell] = account(NAME);
    assert.ok(UID ? uid === UID : Number(uid) >= LOWEST_PICKED_ID, `${NAME}: uid ${uid}`);
    assert.deepEqual([gid, gecos, dir, shell], [groupEntry(GID)[2], GCOS, HOME_BASE + NAME, SHELL]);
    assert.ok(server.exists(home(NAME)), NAME);
  }
});

test('200 deletions from 50 clients at once all remove their accounts', async () => {
  const results = await runClients(newAccounts.map(({ NAME }) => ({
    kind: 'DEL', name: NAME, fields: { COMMAND: 'WILLBEDEL', NAME },
  })));

  assertSandboxConsistent(results);
  for (const { NAME } of newAccounts) {
    assert.equal(account(NAME), undefined, NAME);
    assert.equal(server.exists(home(NAME)), false, NAME);
  }
});

// The fields the modification form posts for the account: every field with
// its current value, the changed ones replaced and their boxes ticked.
function modificationOf(name, k) {
  const [, , uid, gid, gecos, dir, shell] = account(name);
  const [group] = entries('etc/group').find(([, , entry]) => entry === gid);
  const changes = {};
  if (k % 3 !== 1) Object.assign(changes, { CHKGCOS: 'on', GCOS: `Mod ${name} ${k}` });
  if (k % 3 !== 0) Object.assign(changes, { CHKSHELL: 'on', SHELL: SHELLS[k % SHELLS.length] });
  return {
    kind: 'MOD',
    name,
    fields: {
      COMMAND: 'TOBEMOD', SYSTEM_UID: '999', NAME: name, PASS: '', UID: uid, GID: group,
      GCOS: gecos, DIR: dir, SHELL: shell, ...changes,
    },
  };
}

test('modifications and group registrations mixed from 50 clients all take effect', async () => {
  const modifications = PEOPLE.flatMap((name) =>
    Array.from({ length: MODIFICATIONS_PER_PERSON }, (_, k) => modificationOf(name, k)));
  const groups = Array.from({ length: GROUPS }, (_, k) => ({
    kind: 'GADD',
    name: `lg${padded(k)}`,
    fields: {
      COMMAND: 'GP_WILLBEADD', SYSTEM_GID: '999', GNAME: `lg${padded(k)}`,
      GID: k % 2 ? String(FIRST_GIVEN_ID + k) : '',
    },
  }));
  const results = await runClients(modifications.flatMap((job, k) => [job, groups[k]]));

  assertSandboxConsistent(results);
  for (const { name, fields } of groups) {
    const [, , gid] = groupEntry(name) ?? [];
    assert.ok(fields.GID ? gid === fields.GID : Number(gid) >= LOWEST_PICKED_ID,
      `${name}: gid ${gid}`);
  }
  // Each person ends with one of the values sent for them.
  for (const name of PEOPLE) {
    const [, , , , gecos, , shell] = account(name);
    const sent = modifications.filter((job) => job.name === name).map((job) => job.fields);
    assert.ok(sent.some((fields) => fields.CHKGCOS && fields.GCOS === gecos), `${name}: ${gecos}`);
    assert.ok(sent.some((fields) => fields.CHKSHELL && fields.SHELL === shell),
      `${name}: ${shell}`);
  }
});
