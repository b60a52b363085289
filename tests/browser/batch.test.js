'use strict';
// Batch registration in Chromium: a class pasted into the form, the
// per-line report, and the accounts the tool wrote into the sandbox.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const {
  openSession, pageFacts, tableRows, submitWith,
} = require('./harness');

const session = openSession('batch');
const { dialogs, shot } = session;

const CLASS = [
  '# class 3C',
  'ayumi,Vq8.Lm2pXz-w,1700,devel,Ayumi Mori',
  'bunta,Vq8.Lm2pXz-w,1701,devel',
  '',
  'chika,abc',
  'dai,Vq8.Lm2pXz-w,,nogroup',
  'ayumi,Vq8.Lm2pXz-w',
  'eri,Vq8.Lm2pXz-w,1702,office,Eri, Jr.',
].join('\n');

async function sendBatch(checkOnly) {
  const { page, server } = session;
  await page.goto(server.url);
  await submitWith(page, page.getByRole('link', { name: 'ユーザー一括登録', exact: true }));
  assert.equal((await pageFacts(page)).caption, 'ユーザー一括登録');
  await page.fill('textarea[name="LINES"]', CLASS);
  if (checkOnly) await page.check('input[name="CHECKONLY"]');
  await submitWith(page, page.locator('input[value=" 登 録 "]'));
  assert.equal((await pageFacts(page)).caption, 'ユーザーの一括登録');
  const rows = (await tableRows(page)).slice(1);
  // The last cell of each row tells how far the batch got.
  rows.forEach((row, i) => assert.equal(row.pop(), `${i + 1} / ${rows.length} 件`));
  return rows;
}

const REASONS = [
  // The sandbox hashes with yescrypt; Chromium reads EUC-JP's wave dash as U+FF5E.
  ['5', 'chika', 'パスワードは6～64文字にしてください'],
  ['6', 'dai', 'グループ(nogroup)は登録されていません。'],
  ['7', 'ayumi', 'ユーザー名(ayumi)はすでに登録されています。'],
];

test('a check-only run reports each line and registers nobody', async () => {
  const { page, server } = session;
  const rows = await sendBatch(true);
  await shot(page, 'checked');
  assert.deepEqual(rows, [
    ['2', 'ayumi', '確認のみ: 問題なし'], ['3', 'bunta', '確認のみ: 問題なし'],
    ...REASONS, ['8', 'eri', '確認のみ: 問題なし']]);
  for (const name of ['ayumi', 'bunta', 'eri']) assert.equal(server.passwd().get(name), undefined);
});

test('the same paste registers the lines that pass, and says why the others did not', async () => {
  const { page, server } = session;
  const rows = await sendBatch(false);
  await shot(page, 'registered');
  assert.deepEqual(dialogs, []);
  assert.deepEqual(rows, [
    ['2', 'ayumi', '登録しました'], ['3', 'bunta', '登録しました'],
    ...REASONS, ['8', 'eri', '登録しました']]);
  assert.match(await page.innerText('body'), /6行のうち、3行に問題がありました。/);
  assert.doesNotMatch(await page.content(), /Vq8.Lm2pXz-w/);
  assert.deepEqual(server.passwd().get('ayumi'), {
    uid: 1700, gid: 1100, gecos: 'Ayumi Mori', dir: '/orvanta-sandbox/home/ayumi',
    shell: '/bin/bash',
  });
  assert.equal(server.passwd().get('eri').gecos, 'Eri, Jr.');
  assert.equal(server.passwd().get('chika'), undefined);
});
