'use strict';
// Locking every account that matches a search in Chromium: the list's
// button, the confirmation with the count, and the rows arriving one by one
// with their progress.
const fs = require('node:fs');
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { openSession, tableRows, submitWith } = require('./harness');

const session = openSession('selection');
const { shot, control } = session;

test('all accounts that match the search are locked, each row counted', async () => {
  const { page, server } = session;
  fs.appendFileSync(server.file('cgi/cfg_file.cfg'), 'LIST_PAGE_SIZE=2\nLIST_SYSTEM=NO\n');
  // A usermod that takes a second, so that each row's arrival can be seen.
  fs.writeFileSync(server.file('slow-usermod'), '#!/bin/sh\nsleep 1\nexec /usr/sbin/usermod "$@"\n',
    { mode: 0o755 });
  const settings = server.read('cgi/cfg_file.cfg');
  fs.writeFileSync(server.file('cgi/cfg_file.cfg'),
    settings.replace('USERMOD=/usr/sbin/usermod', `USERMOD=${server.file('slow-usermod')}`));
  // alice, carol and dave hold an "a"; bob does not.
  await page.goto(`${server.url}orvanta.cgi?COMMAND=LOCK&FIND=a`);
  await submitWith(page, control('検索に一致する 3 件すべて'));
  await shot(page, 'confirmation');
  assert.match(await page.innerText('body'), /検索「a」に一致する 3 件のアカウントが対象です。/);
  await Promise.all([page.waitForNavigation({ waitUntil: 'commit' }),
    page.locator('button[name="ACTION"][value="LOCK"]').click()]);
  await page.waitForFunction(() => document.body?.innerText.includes('1 / 3 件'));
  assert.doesNotMatch(await page.innerText('body'), /3 \/ 3 件/, 'the first row shows before the last');
  await page.waitForFunction(() => document.body.innerText.includes('3 / 3 件'));
  await page.waitForLoadState('load');
  await shot(page, 'locked');
  assert.deepEqual((await tableRows(page)).slice(1), [
    ['alice', 'ロックしました。', '1 / 3 件'],
    ['carol', 'ロックしました。', '2 / 3 件'],
    ['dave', 'ロックしました。', '3 / 3 件'],
  ]);
  const expiry = (name) => server.read('etc/shadow').split('\n')
    .find((line) => line.startsWith(`${name}:`)).split(':')[7];
  assert.deepEqual(['alice', 'bob', 'carol', 'dave'].map(expiry), ['1', '', '1', '1']);
});
