'use strict';
// Group members changed through the pages in Chromium: the group selector,
// the group's page with its two lists, and the result, checked in the
// sandbox's etc/group and etc/gshadow.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const {
  openSession, pageFacts, tableRows, submitWith,
} = require('./harness');

const session = openSession('members');
const { shot, control } = session;

// The value of every check box of the page, as "FIELD=value".
const checkBoxes = (page) => page.$$eval('input[type="checkbox"]',
  (boxes) => boxes.map((box) => `${box.name}=${box.value}`));

// The members field of a group line of etc/group or etc/gshadow.
function membersIn(server, file, group) {
  const line = server.read(file).split('\n').find((l) => l.startsWith(`${group}:`));
  return line.split(':')[3];
}

test('the selector offers the groups above SYSTEMGID and opens one', async () => {
  const { page, server } = session;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=GMEM`);
  await shot(page, 'selector');
  assert.equal((await pageFacts(page)).caption, 'グループメンバー変更');
  const options = await page.$$eval('select[name="GNAME"] option', (all) => all.map((o) => o.value));
  const expected = [...server.groups()].filter(([, g]) => g.gid > 999).map(([name]) => name).sort();
  assert.deepEqual(options, expected);
  assert.ok(!options.includes('users'));

  await page.selectOption('select[name="GNAME"]', 'devel');
  await submitWith(page, control(' 表 示 '));
  await shot(page, 'devel');
  assert.equal((await pageFacts(page)).caption, 'グループ(devel)のメンバー');
  assert.equal(new URL(page.url()).search, '?COMMAND=GMEM&GNAME=devel');
  assert.deepEqual(await checkBoxes(page),
    ['DELNAME=alice', 'DELNAME=bob', 'ADDNAME=carol', 'ADDNAME=dave']);
});

test('people ticked are put into the group and taken out of it', async () => {
  const { page, server } = session;
  await page.check('input[name="ADDNAME"][value="carol"]');
  await page.check('input[name="ADDNAME"][value="dave"]');
  await page.check('input[name="DELNAME"][value="alice"]');
  await shot(page, 'ticked');
  await submitWith(page, control(' 変 更 '));
  await shot(page, 'result');

  assert.equal((await pageFacts(page)).caption, 'グループ(devel)のメンバーを変更しました。');
  // One row per ticked box, in the order of the form.
  assert.deepEqual(await tableRows(page), [
    ['ユーザー名', '変更', '結果'],
    ['alice', '削除', '削除しました。'],
    ['carol', '追加', '追加しました。'],
    ['dave', '追加', '追加しました。'],
  ]);
  assert.equal(membersIn(server, 'etc/group', 'devel'), 'bob,carol,dave');
  assert.equal(membersIn(server, 'etc/gshadow', 'devel'), 'bob,carol,dave');
  assert.equal(membersIn(server, 'etc/group', 'office'), 'carol,dave');
  const log = server.read('cgi/orvanta.log');
  for (const record of ['MDEL,alice:devel', 'MADD,carol:devel', 'MADD,dave:devel']) {
    assert.match(log, new RegExp(`^${record},127\\.0\\.0\\.1,`, 'm'));
  }

  await page.goto(`${server.url}orvanta.cgi?COMMAND=GMEM&GNAME=devel`);
  await shot(page, 'devel-after');
  assert.deepEqual(await checkBoxes(page),
    ['DELNAME=bob', 'DELNAME=carol', 'DELNAME=dave', 'ADDNAME=alice']);
});
