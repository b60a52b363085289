'use strict';
// A list of many accounts in pages, as a person uses it: the count and the
// links below the table, the search form above it, and the deletion of an
// account found by search.
const fs = require('node:fs');
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { openSession, submitWith } = require('./harness');

const session = openSession('lists');
const { dialogs, shot, control } = session;
const ACCOUNTS = 300;

// p000 to p299 (uid 3000 up, comment "Person N") beside the seed's accounts,
// and 50 rows a page.
function addAccounts(server) {
  let passwd = '';
  let shadow = '';
  for (let i = 0; i < ACCOUNTS; i += 1) {
    const name = `p${String(i).padStart(3, '0')}`;
    passwd += `${name}:x:${3000 + i}:100:Person ${i}:/nonexistent:/bin/sh\n`;
    shadow += `${name}:!:19000:0:99999:7:::\n`;
  }
  fs.appendFileSync(server.file('etc/passwd'), passwd);
  fs.appendFileSync(server.file('etc/shadow'), shadow);
  fs.appendFileSync(server.file('cgi/cfg_file.cfg'), 'LIST_PAGE_SIZE=50\nLIST_SYSTEM=NO\nSORT=SORT_BY_UID\n');
}

// The browser decodes the wave dash of EUC-JP as a fullwidth tilde.
const countLine = (page) => page.locator('body').innerText()
  .then((text) => text.match(/\d+件中 \d+[〜～]\d+件/)[0].replace('～', '〜'));
const firstNumber = (page) => page.locator('table tr:nth-child(2) td:first-child').innerText();

test('a list in pages is searched and an account found is deleted', async () => {
  const { page, server } = session;
  addAccounts(server);
  const listed = [...server.passwd().values()].filter((a) => a.uid > 999 && a.uid < 65534).length;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=DEL`);
  assert.equal(await countLine(page), `${listed}件中 1〜50件`);
  assert.equal(await page.locator('input[name="NAME"]').count(), 50);
  await submitWith(page, page.locator('a', { hasText: '次へ' }));
  assert.equal(await countLine(page), `${listed}件中 51〜100件`);
  assert.equal((await firstNumber(page)).trim(), '50');
  await shot(page, 'second-page');

  await page.fill('input[name="FIND"]', 'Person 123');
  await submitWith(page, control(' 検 索 '));
  assert.equal(await countLine(page), '1件中 1〜1件');
  assert.match(page.url(), /COMMAND=DEL&FIND=Person\+123/);
  await page.check('input[name="NAME"][value="p123"]');
  await shot(page, 'found');
  await submitWith(page, control(' 削 除 '));
  await shot(page, 'deleted');
  assert.deepEqual(dialogs, []);
  assert.match(await page.locator('body').innerText(), /p123\s+削除しました/);
  assert.equal(server.passwd().has('p123'), false);
  assert.equal(server.passwd().has('p122'), true);
});
