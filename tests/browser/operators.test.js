'use strict';
// A teacher-style operator, limited to one class (group names are at most
// eight bytes long), beside the full administrator: what each sees in the
// user list, and what the teacher may register, through the pages in
// Chromium and checked in the sandbox's files.
const { execFileSync } = require('node:child_process');
const path = require('node:path');
const { test } = require('node:test');
const assert = require('node:assert/strict');
const {
  openSession, launchBrowser, pageFacts, tableRows, submitWith, signIn,
} = require('./harness');

const BUILD = process.env.ORVANTA_BUILD_DIR || path.join(__dirname, '..', '..', 'build');
const TEACHER = { username: 'teacher', password: 'class-of-2026-pass' };
const TEACHER_SCOPE = 'groups=class26;uids=20000-29999;actions=add,batch,mod,del,lock';

const session = openSession('operators');
const { shot } = session;

// A POST of the fields as a form of the server's own pages sends it, in
// a session (signIn's).
async function post(server, { cookie, token }, fields) {
  const response = await fetch(`${server.url}orvanta.cgi`, {
    method: 'POST',
    headers: {
      cookie,
      origin: new URL(server.url).origin,
      'content-type': 'application/x-www-form-urlencoded',
    },
    body: new URLSearchParams({ ...fields, TOKEN: token }).toString(),
  });
  return new TextDecoder('euc-jp').decode(await response.arrayBuffer());
}

// The account names of the user list the page shows.
async function listedNames(page, url) {
  await page.goto(`${url}orvanta.cgi?COMMAND=VIEW`);
  assert.equal((await pageFacts(page)).caption, 'ユーザー一覧');
  return (await tableRows(page)).slice(1).map((cells) => cells[1]).sort();
}

test('a teacher sees and registers only the class, and the administrator sees all', async () => {
  const { page, server } = session;
  const admin = await signIn(server);
  // The administrator makes the class and one pupil in it.
  await post(server, admin, { COMMAND: 'GP_WILLBEADD', GNAME: 'class26', GID: '2026' });
  const made = await post(server, admin, {
    COMMAND: 'WILLBEADD', NAME: 'pupil1', PASS: 'Vq8.Lm2pXz-w', UID: '20001', GID: 'class26',
    GCOS: '', DIR: '/orvanta-sandbox/home/', SHELL: '/bin/bash',
  });
  assert.equal(server.passwd().get('pupil1')?.gid, 2026, made);
  execFileSync(path.join(BUILD, 'orvanta-operator'),
    ['add', TEACHER.username, '--scope', TEACHER_SCOPE, '--config', server.file('cgi/cfg_file.cfg')],
    { input: `${TEACHER.password}\n` });

  const teacher = await launchBrowser({ url: server.url, credentials: TEACHER });
  try {
    const teacherPage = await teacher.context.newPage();
    assert.deepEqual(await listedNames(teacherPage, server.url), ['pupil1']);
    await shot(teacherPage, 'teacher-list');

    // The form offers the class alone; an empty uid gets the range's lowest free one.
    await teacherPage.goto(`${server.url}orvanta.cgi?COMMAND=ADD`);
    const offered = await teacherPage.$$eval('select[name="GID"] option', (o) => o.map((x) => x.value));
    assert.deepEqual(offered, ['class26']);
    await teacherPage.fill('input[name="NAME"]', 'pupil2');
    await teacherPage.fill('input[name="PASS"]', 'Vq8.Lm2pXz-w');
    await submitWith(teacherPage, teacherPage.locator('input[value=" 設 定 "]'));
    await shot(teacherPage, 'teacher-registered');
    assert.equal((await pageFacts(teacherPage)).caption, 'ユーザー登録しました。');
    assert.deepEqual(server.passwd().get('pupil2'),
      { uid: 20000, gid: 2026, gecos: '', dir: '/orvanta-sandbox/home/pupil2', shell: '/bin/bash' });
    assert.deepEqual(await listedNames(teacherPage, server.url), ['pupil1', 'pupil2']);
  } finally {
    await teacher.close();
  }

  // Another group is refused on the server, whatever the form offered.
  const refused = await post(server, await signIn(server, TEACHER), {
    COMMAND: 'WILLBEADD', NAME: 'pupil3', PASS: 'Vq8.Lm2pXz-w', UID: '', GID: 'devel',
    GCOS: '', DIR: '/orvanta-sandbox/home/', SHELL: '/bin/bash',
  });
  assert.match(refused, /この操作は許可されていません。/);
  assert.equal(server.passwd().has('pupil3'), false);

  const all = await listedNames(page, server.url);
  await shot(page, 'admin-list');
  for (const name of ['alice', 'bob', 'carol', 'dave', 'pupil1', 'pupil2']) {
    assert.ok(all.includes(name), `${name} in ${all}`);
  }
  // Every change names its operator in the record.
  const records = server.read('cgi/orvanta.log').split('\n').filter(Boolean);
  assert.ok(records.some((r) => /^ADD,pupil2,.*,teacher$/.test(r)), records.join('\n'));
  assert.ok(records.some((r) => /^ADD,pupil1,.*,admin$/.test(r)), records.join('\n'));
});
