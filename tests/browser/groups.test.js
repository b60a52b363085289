'use strict';
// Groups administered through the pages in Chromium: registration (and its
// check of the gid), the group list, and deletion, checked on the result
// pages and in the sandbox's etc/group (or its directory, with
// ORVANTA_ACCOUNTS=ldap).
const { test } = require('node:test');
const assert = require('node:assert/strict');
const {
  openSession, pageFacts, tableRows, submitWith, sleep,
} = require('./harness');

const session = openSession('groups');
const { dialogs, posts, shot, control } = session;

async function openGroupForm(name, gid) {
  const { page, server } = session;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=GADD`);
  assert.equal((await pageFacts(page)).caption, 'グループ登録');
  await page.fill('input[name="GNAME"]', name);
  await page.fill('input[name="GID"]', gid);
}

test('a gid at or below SYSTEMGID is refused by the form\'s check', async () => {
  const { page, server } = session;
  const groups = server.groups();
  await openGroupForm('webteam', '999');
  const formUrl = page.url();
  await control(' 設 定 ').click();
  await sleep(500);
  await shot(page, 'alert-system-gid');

  assert.deepEqual(dialogs, ['グループＩＤ(999)がシステムＩＤ(999)以下です。\n登録できません。']);
  assert.deepEqual(posts, []);
  assert.equal(page.url(), formUrl);
  assert.deepEqual(server.groups(), groups);
});

test('a group registration adds the group to the sandbox', async () => {
  const { page, server } = session;
  dialogs.length = 0;
  await openGroupForm('webteam', '1500');
  await shot(page, 'gadd-filled');
  await submitWith(page, control(' 設 定 '));
  await shot(page, 'gadd-result');

  assert.deepEqual(dialogs, []);
  assert.equal((await pageFacts(page)).caption, 'グループ登録しました。');
  assert.deepEqual((await tableRows(page)).slice(1), [['webteam', '1500']]);
  assert.deepEqual(server.groups().get('webteam'), { gid: 1500, members: '' });
  assert.match(server.read('cgi/orvanta.log'), /^GADD,webteam,127\.0\.0\.1,/m);

  await page.goto(`${server.url}orvanta.cgi?COMMAND=GVIEW`);
  await shot(page, 'gview-after-add');
  assert.equal((await pageFacts(page)).caption, 'グループ一覧');
  const rows = await tableRows(page);
  assert.deepEqual(rows[0], ['', 'グループ', 'グループＩＤ']);
  // Every group of the sandbox, in gid order, the new one included.
  const expected = [...server.groups()].sort((a, b) => a[1].gid - b[1].gid)
    .map(([name, g], i) => [String(i), name, String(g.gid)]);
  assert.deepEqual(rows.slice(1).filter((cells) => cells[1] !== 'グループ'), expected);
  assert.ok(expected.some(([, name]) => name === 'webteam'));
});

test('a group deletion removes the ticked groups the tool may delete', async () => {
  const { page, server } = session;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=GDEL`);
  assert.equal((await pageFacts(page)).caption, 'グループ削除');
  // System groups have no check box.
  assert.equal(await page.locator('input[name="GNAME"][value="users"]').count(), 0);
  assert.equal(await page.locator('input[name="GNAME"][value="root"]').count(), 0);
  await page.check('input[name="GNAME"][value="webteam"]');
  // alice's primary group: groupdel refuses it.
  await page.check('input[name="GNAME"][value="alice"]');
  await shot(page, 'gdel-select');
  await submitWith(page, control(' 削 除 '));
  await shot(page, 'gdel-result');

  assert.equal((await pageFacts(page)).caption, 'グループを削除しました。');
  // One row per ticked group, in the order of the form (by gid).
  assert.deepEqual(await tableRows(page), [
    ['グループ名', '結果'],
    ['alice', '削除できませんでした。'],
    ['webteam', '削除しました。'],
  ]);
  const groups = server.groups();
  assert.equal(groups.has('webteam'), false);
  assert.ok(groups.has('alice') && groups.has('devel') && groups.has('users'));
  const log = server.read('cgi/orvanta.log');
  assert.match(log, /^GDEL,webteam,127\.0\.0\.1,/m);
  assert.doesNotMatch(log, /^GDEL,alice,/m);
});
