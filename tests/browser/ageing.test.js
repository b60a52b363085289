'use strict';
// An expiry date given at registration, then changed with the ageing page
// together with a change at next login, in Chromium; checked on the pages
// and in the sandbox's etc/shadow (chage -R on the sandbox).
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { openSession, pageFacts, tableRows, submitWith } = require('./harness');

const session = openSession('ageing');
const { dialogs, posts, shot, control } = session;

const shadowOf = (server, name) =>
  server.read('etc/shadow').split('\n').find((l) => l.startsWith(`${name}:`)).split(':');

test('an expiry date is set, refused when no date, and a change at next login forced', async () => {
  const { page, server } = session;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=ADD`);
  await page.fill('input[name="NAME"]', 'kenta');
  await page.fill('input[name="PASS"]', 'Vq8.Lm2pXz-w');
  await page.fill('input[name="EXPIRE"]', '2027-03-31');
  await submitWith(page, control(' 設 定 '));
  assert.equal(shadowOf(server, 'kenta')[7], '20908');

  await page.goto(`${server.url}orvanta.cgi?COMMAND=AGE`);
  assert.equal((await pageFacts(page)).caption, 'パスワード期限変更');
  await page.check('input[name="NAME"][value="kenta"]');
  await submitWith(page, control(' 変 更 '));
  await shot(page, 'form');
  assert.equal(await page.inputValue('input[name="EXPIRE"]'), '2027-03-31');

  const sent = posts.length;
  await page.check('input[name="CHKEXPIRE"]');
  await page.fill('input[name="EXPIRE"]', '2027-02-29');
  await control(' 変 更 ').click();
  assert.deepEqual(dialogs, ['アカウントの有効期限はYYYY-MM-DDの形の日付にしてください']);
  assert.equal(posts.length, sent);

  await page.fill('input[name="EXPIRE"]', '2028-01-01');
  await page.check('input[name="FORCE"]');
  await submitWith(page, control(' 変 更 '));
  await shot(page, 'changed');
  assert.equal((await pageFacts(page)).caption, 'パスワード期限を変更しました。');
  const rows = Object.fromEntries(await tableRows(page));
  assert.equal(rows['最終変更日'], '次回ログイン時に変更');
  assert.equal(rows['アカウントの有効期限'], '2028-01-01');
  const shadow = shadowOf(server, 'kenta');
  assert.equal(shadow[2], '0');
  assert.equal(shadow[7], '21184');
  assert.match(server.read('cgi/orvanta.log'), /^AGE,kenta,127\.0\.0\.1,/m);
});
