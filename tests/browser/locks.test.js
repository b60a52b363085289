'use strict';
// Accounts locked and unlocked through the lock page in Chromium, checked on
// the pages and in the sandbox's etc/shadow.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const {
  openSession, pageFacts, tableRows, submitWith,
} = require('./harness');

const session = openSession('locks');
const { shot, control } = session;

const button = (value) => session.page.locator(`button[name="ACTION"][value="${value}"]`);

function shadowOf(server, name) {
  return server.read('etc/shadow').split('\n').find((l) => l.startsWith(`${name}:`)).split(':');
}
const passwordOf = (server, name) => shadowOf(server, name)[1];

// The lock page's rows as name and state (after the last login).
async function states(page) {
  return Object.fromEntries((await tableRows(page))
    .filter((cells) => cells[1] !== 'ユーザー').map((cells) => [cells[1], cells[5]]));
}

async function openLockPage(name) {
  const { page, server } = session;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=LOCK`);
  await shot(page, name);
  assert.equal((await pageFacts(page)).caption, 'ユーザーのロック');
}

test('an account with a password is shown open, the seed\'s accounts locked by password only', async () => {
  const { page, server } = session;
  // An account with a password, registered through the form.
  await page.goto(`${server.url}orvanta.cgi?COMMAND=ADD`);
  await page.fill('input[name="NAME"]', 'kenta');
  await page.fill('input[name="PASS"]', 'Vq8.Lm2pXz-w');
  await page.fill('input[name="UID"]', '1700');
  await submitWith(page, control(' 設 定 '));
  assert.match(passwordOf(server, 'kenta'), /^\$y\$/);

  await openLockPage('list');
  assert.deepEqual(await states(page), {
    alice: 'パスワードのみロック',
    bob: 'パスワードのみロック',
    carol: 'パスワードのみロック',
    dave: 'パスワードのみロック',
    kenta: '使用可能',
  });
  assert.equal(await button('LOCK').innerText(), 'ロック');
  assert.equal(await button('UNLOCK').innerText(), 'ロック解除');
});

test('the lock and unlock buttons lock and unlock the ticked account', async () => {
  const { page, server } = session;
  const hash = passwordOf(server, 'kenta');
  await page.check('input[name="NAME"][value="kenta"]');
  await submitWith(page, button('LOCK'));
  await shot(page, 'locked');
  assert.equal((await pageFacts(page)).caption, 'ユーザーのロックを変更しました。');
  assert.deepEqual(await tableRows(page), [['ユーザー名', '結果'], ['kenta', 'ロックしました。']]);
  assert.equal(passwordOf(server, 'kenta'), `!${hash}`);
  assert.equal(shadowOf(server, 'kenta')[7], '1');
  assert.equal(server.read('cgi/orvanta.lock.expiry'), 'kenta:1700:\n');

  await openLockPage('list-locked');
  assert.equal((await states(page)).kenta, 'ロック中');
  await page.check('input[name="NAME"][value="kenta"]');
  await submitWith(page, button('UNLOCK'));
  await shot(page, 'unlocked');
  assert.deepEqual(await tableRows(page), [['ユーザー名', '結果'], ['kenta', 'ロックを解除しました。']]);
  assert.equal(passwordOf(server, 'kenta'), hash);
  assert.equal(shadowOf(server, 'kenta')[7], '');
  const log = server.read('cgi/orvanta.log');
  assert.match(log, /^LOCK,kenta,127\.0\.0\.1,.*\nUNLOCK,kenta,127\.0\.0\.1,/m);
});
