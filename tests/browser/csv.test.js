'use strict';
// CSV files in Chromium: a class saved by a Japanese spreadsheet program
// (CP932) uploaded to the batch page, checked and then registered, and the
// user list saved as a file and read back.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const {
  openSession, pageFacts, tableRows, submitWith,
} = require('./harness');

const session = openSession('csv');
const { dialogs, shot } = session;

// 伊藤 in CP932: a comment the field rules refuse.
const CLASS = Buffer.concat([
  Buffer.from('NAME,PASS,UID,GID,GCOS\r\nkana,Vq8.Lm2pXz-w,1800,devel,"Ito, Kana"\r\n'
    + 'mei,Vq8.Lm2pXz-w,1801,devel,'),
  Buffer.from([0x88, 0xc9, 0x93, 0xa1]),
  Buffer.from('\r\nrio,Vq8.Lm2pXz-w,1802,,Rio\r\n'),
]);

async function upload(checkOnly) {
  const { page, server } = session;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=BATCH`);
  await page.setInputFiles('input[name="CSVFILE"]',
    { name: 'class.csv', mimeType: 'text/csv', buffer: CLASS });
  if (checkOnly) await page.check('input[name="CHECKONLY"]');
  await submitWith(page, page.locator('input[value=" 登 録 "]'));
  assert.equal((await pageFacts(page)).caption, 'ユーザーの一括登録');
  assert.match(await page.innerText('body'), /文字コード: Shift_JIS（CP932）/);
  return (await tableRows(page)).slice(1).map((row) => row.slice(0, 3));
}

const COMMENT = ['3', 'mei', 'コメントに使用できない文字が含まれています'];

test('a CP932 file checked only: every line has its verdict, nobody is registered', async () => {
  const { page, server } = session;
  const rows = await upload(true);
  await shot(page, 'checked');
  assert.deepEqual(rows, [['2', 'kana', '確認のみ: 問題なし'], COMMENT, ['4', 'rio', '確認のみ: 問題なし']]);
  for (const name of ['kana', 'mei', 'rio']) assert.equal(server.passwd().get(name), undefined);
});

test('the same file registers its ASCII lines', async () => {
  const { page, server } = session;
  const rows = await upload(false);
  await shot(page, 'registered');
  assert.deepEqual(dialogs, []);
  assert.deepEqual(rows, [['2', 'kana', '登録しました'], COMMENT, ['4', 'rio', '登録しました']]);
  assert.equal(server.passwd().get('kana').gecos, 'Ito, Kana');
  assert.equal(server.passwd().get('kana').uid, 1800);
  assert.equal(server.passwd().get('mei'), undefined);
});

test('the user list saved as CSV holds the accounts, UTF-8 with its byte order mark', async () => {
  const { page, server } = session;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=VIEW`);
  const [download] = await Promise.all([
    page.waitForEvent('download'),
    page.getByRole('link', { name: 'CSVファイルで保存' }).click(),
  ]);
  assert.equal(download.suggestedFilename(), 'users.csv');
  const bytes = fs.readFileSync(await download.path());
  assert.deepEqual([...bytes.subarray(0, 3)], [0xef, 0xbb, 0xbf]);
  const lines = bytes.subarray(3).toString('utf8').split('\r\n');
  assert.equal(lines[0], 'NAME,UID,GID,GROUP,GCOS,DIR,SHELL');
  assert.equal(lines.at(-1), '');
  const kana = server.passwd().get('kana');
  assert.ok(lines.includes(`kana,1800,${kana.gid},devel,"Ito, Kana",${kana.dir},${kana.shell}`),
    lines.join('\n'));
  assert.equal(lines.length - 2, server.passwd().size);
});
