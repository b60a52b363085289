'use strict';
// Accounts administered through the pages, as a person does it in Chromium:
// registration, the form's checks, modification and deletion, each checked
// on the result page, in the user list and in the sandbox's own files (or
// its directory, with ORVANTA_ACCOUNTS=ldap).
const { execFileSync } = require('node:child_process');
const { test } = require('node:test');
const assert = require('node:assert/strict');
const {
  openSession, pageFacts, tableRows, submitWith, sleep,
} = require('./harness');

const session = openSession('users');
const { dialogs, posts, shot, control } = session;

async function openAddForm() {
  const { page, server } = session;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=ADD`);
  assert.equal((await pageFacts(page)).caption, 'ユーザー登録');
}

// Fills the registration form; fields not given keep what the page shows.
async function fillAddForm(fields) {
  const { page } = session;
  for (const name of ['NAME', 'PASS', 'UID', 'GCOS', 'DIR']) {
    if (name in fields) await page.fill(`input[name="${name}"]`, fields[name]);
  }
  if ('GID' in fields) await page.selectOption('select[name="GID"]', fields.GID);
  if ('SHELL' in fields) await page.selectOption('select[name="SHELL"]', fields.SHELL);
}

test('a registration through the form creates the account in the sandbox', async () => {
  const { page, server } = session;
  await openAddForm();
  // The form offers only the groups above SYSTEMGID, by name.
  const offered = await page.$$eval('select[name="GID"] option', (o) => o.map((x) => x.value));
  assert.deepEqual(offered, ['alice', 'bob', 'carol', 'devel', 'office']);
  assert.equal(await page.inputValue('input[name="DIR"]'), '/orvanta-sandbox/home/');

  await fillAddForm({
    NAME: 'hanako', PASS: 'Vq8.Lm2pXz-w', UID: '1600', GID: 'devel', GCOS: 'Hanako Kato',
  });
  await shot(page, 'add-filled');
  await submitWith(page, control(' 設 定 '));
  await shot(page, 'add-result');

  assert.deepEqual(dialogs, []);
  assert.equal((await pageFacts(page)).caption, 'ユーザー登録しました。');
  const rows = await tableRows(page);
  assert.deepEqual(rows[1], ['hanako', '1600', 'devel', 'Hanako Kato',
    '/orvanta-sandbox/home/hanako', '/bin/bash']);

  // The account tool wrote the sandbox's files and made the home directory.
  assert.deepEqual(server.passwd().get('hanako'), {
    uid: 1600, gid: 1100, gecos: 'Hanako Kato', dir: '/orvanta-sandbox/home/hanako',
    shell: '/bin/bash',
  });
  // The sandbox hashes with yescrypt; crypt(3) (through perl) verifies it.
  const hash = server.passwordHash('hanako');
  assert.match(hash, /^\$y\$[./0-9A-Za-z$]+$/, 'a yescrypt hash, not the password');
  assert.equal(execFileSync('perl', ['-e', 'print crypt($ARGV[0], $ARGV[1])', 'Vq8.Lm2pXz-w', hash],
    { encoding: 'latin1' }), hash);
  assert.ok(server.exists('orvanta-sandbox/home/hanako/.profile'));
  assert.match(server.read('cgi/orvanta.log'), /^ADD,hanako,127\.0\.0\.1,\d{4}\/\d\d\/\d\d \d\d:\d\d,admin$/m);

  // And the user list shows it.
  await page.goto(`${server.url}orvanta.cgi?COMMAND=VIEW`);
  await shot(page, 'list-after-add');
  const listed = (await tableRows(page)).find((cells) => cells[1] === 'hanako');
  assert.deepEqual(listed?.slice(2), ['1600', '1100(devel)', 'Hanako Kato',
    '/orvanta-sandbox/home/hanako', '/bin/bash']);
});

test('the form\'s checks alert and post nothing', async () => {
  const { page, server } = session;
  const valid = { NAME: 'jiro', PASS: 'Vq8.Lm2pXz-w', UID: '1700', GCOS: 'Jiro Abe' };
  const cases = [
    ['bad-name', { NAME: 'Jiro' }, 'ユーザー名に使用できない文字(J)が含まれています'],
    ['simple-password', { PASS: '123456' },
      'パスワードが単純すぎます。\nアルファベットと数字等を混ぜてください。'],
    ['system-uid', { UID: '999' },
      'ユーザーＩＤ(999)がシステムＩＤ(999)以下です。\n登録できません。'],
  ];
  for (const [name, fields, alert] of cases) {
    const passwd = server.passwd();
    const postsBefore = posts.length;
    dialogs.length = 0;

    await openAddForm();
    const formUrl = page.url();
    await fillAddForm({ ...valid, ...fields });
    await control(' 設 定 ').click();
    // A form that were sent anyway would be on its way by now.
    await sleep(500);
    await shot(page, `alert-${name}`);

    assert.deepEqual(dialogs, [alert], name);
    assert.equal(posts.length, postsBefore, `${name}: nothing was posted`);
    assert.equal(page.url(), formUrl, name);
    assert.deepEqual(server.passwd(), passwd, name);
  }
  assert.equal(server.passwd().has('jiro'), false);
});

test('a modification changes the shell of the chosen account', async () => {
  const { page, server } = session;
  const before = server.passwd().get('bob');
  assert.equal(before.shell, '/bin/bash');
  dialogs.length = 0;

  await page.goto(`${server.url}orvanta.cgi?COMMAND=MOD`);
  // System accounts cannot be chosen.
  assert.equal(await page.locator('input[name="NAME"][value="root"]').count(), 0);
  assert.equal(await page.locator('input[name="NAME"][value="www-data"]').count(), 0);
  await page.check('input[name="NAME"][value="bob"]');
  await shot(page, 'mod-select');
  await submitWith(page, control(' 変 更 '));
  await shot(page, 'mod-form');

  assert.equal((await pageFacts(page)).caption, 'ユーザー情報変更');
  assert.equal(await page.inputValue('input[name="NAME"]'), 'bob');
  assert.equal(await page.inputValue('select[name="SHELL"]'), '/bin/bash');
  await page.check('input[name="CHKSHELL"]');
  await page.selectOption('select[name="SHELL"]', '/bin/dash');
  await shot(page, 'mod-filled');
  await submitWith(page, control(' 変 更 '));
  await shot(page, 'mod-result');

  assert.deepEqual(dialogs, []);
  assert.equal((await pageFacts(page)).caption, 'ユーザー情報を変更しました。');
  assert.deepEqual(server.passwd().get('bob'), { ...before, shell: '/bin/dash' });
  assert.match(server.read('cgi/orvanta.log'), /^MOD,bob,127\.0\.0\.1,/m);
});

test('a deletion removes the two ticked accounts and their homes', async () => {
  const { page, server } = session;
  assert.ok(server.exists('orvanta-sandbox/home/carol'));
  assert.ok(server.exists('orvanta-sandbox/home/dave'));

  await page.goto(`${server.url}orvanta.cgi?COMMAND=DEL`);
  assert.equal((await pageFacts(page)).caption, 'ユーザー削除');
  assert.equal(await page.locator('input[name="NAME"][value="root"]').count(), 0);
  await page.check('input[name="NAME"][value="carol"]');
  await page.check('input[name="NAME"][value="dave"]');
  await shot(page, 'del-select');
  await submitWith(page, control(' 削 除 '));
  await shot(page, 'del-result');

  assert.equal((await pageFacts(page)).caption, 'ユーザーを削除しました。');
  assert.deepEqual(await tableRows(page), [
    ['ユーザー名', '結果'],
    ['carol', '削除しました。'],
    ['dave', '削除しました。'],
  ]);
  const accounts = server.passwd();
  assert.equal(accounts.has('carol'), false);
  assert.equal(accounts.has('dave'), false);
  assert.ok(accounts.has('alice') && accounts.has('bob') && accounts.has('root'));
  assert.equal(server.exists('orvanta-sandbox/home/carol'), false);
  assert.equal(server.exists('orvanta-sandbox/home/dave'), false);
  // carol's own group went with her (USERGROUPS_ENAB); dave's was "users".
  // The directory keeps groups: deleting an account deletes no group.
  assert.equal(server.groups().has('carol'), server.ldap);
  assert.ok(server.groups().has('users'));
  const log = server.read('cgi/orvanta.log');
  assert.match(log, /^DEL,carol,127\.0\.0\.1,.*\nDEL,dave,127\.0\.0\.1,/m);

  await page.goto(`${server.url}orvanta.cgi?COMMAND=VIEW`);
  await shot(page, 'list-after-del');
  const names = (await tableRows(page)).map((cells) => cells[1]);
  assert.ok(!names.includes('carol') && !names.includes('dave'));
  assert.ok(names.includes('alice'));
});
