'use strict';
// The operation history in Chromium: a change made through the pages is the
// newest row, the older and newer links page through a log longer than a
// page, and the name filter's form keeps one person's records.
const fs = require('node:fs');
const { test } = require('node:test');
const assert = require('node:assert/strict');
const {
  openSession, pageFacts, tableRows, submitWith,
} = require('./harness');

const session = openSession('history');
const { shot, control } = session;

const twoDigits = (n) => String(n).padStart(2, '0');

// 150 registrations and one membership record that names its operator,
// older than the test's change.
const SEEDED = [
  ...Array.from({ length: 150 }, (_, i) => ['ADD', `s${i}`, `192.0.2.${i}`,
    `2026/01/01 ${twoDigits(Math.floor(i / 60))}:${twoDigits(i % 60)}`]),
  ['MADD', 's7:staff', '192.0.2.7', '2026/01/02 00:00', 'ken'],
];

// The record rows of the page (the heading rows left out), newest first.
async function recordRows(page) {
  return (await tableRows(page)).filter((cells) => cells[0] !== '日時');
}

// A seeded record as the page shows it.
const shown = ([code, name, address, time, operator = '']) =>
  [time, code === 'ADD' ? 'ユーザー登録' : 'グループへ追加', name, address, operator];

const linkTexts = (page) => page.$$eval('a', (anchors) => anchors.map((a) => a.innerText.trim()));
// Below every page of the history: the link to its records as a file.
const CSV = 'CSVファイルで保存';

test('the newest page starts with a change made through the pages', async () => {
  const { page, server } = session;
  fs.writeFileSync(server.file('cgi/orvanta.log'),
    SEEDED.map((fields) => `${fields.join(',')}\n`).join(''), { mode: 0o644 });
  await page.goto(`${server.url}orvanta.cgi?COMMAND=GADD`);
  await page.fill('input[name="GNAME"]', 'scribes');
  await page.fill('input[name="GID"]', '1600');
  await submitWith(page, control(' 設 定 '));
  assert.equal((await pageFacts(page)).caption, 'グループ登録しました。');

  await page.goto(server.url);
  await submitWith(page, page.getByRole('link', { name: '操作履歴', exact: true }));
  await shot(page, 'newest');
  assert.equal((await pageFacts(page)).caption, '操作履歴');
  const rows = await recordRows(page);
  assert.equal(rows.length, 100);
  assert.deepEqual(rows[0].slice(1), ['グループ登録', 'scribes', '127.0.0.1', 'admin']);
  assert.match(rows[0][0], /^\d{4}\/\d{2}\/\d{2} \d{2}:\d{2}$/);
  assert.deepEqual(rows.slice(1), SEEDED.slice(-99).reverse().map(shown));
  assert.deepEqual(await linkTexts(page), ['古い記録へ', CSV]);
});

test('the older link pages back, the newer link returns', async () => {
  const { page } = session;
  const newest = await recordRows(page);
  await submitWith(page, page.getByRole('link', { name: '古い記録へ' }));
  await shot(page, 'older');
  assert.match(new URL(page.url()).search, /^\?COMMAND=LOG&FROM=\d+$/);
  assert.deepEqual(await recordRows(page), SEEDED.slice(0, -99).reverse().map(shown));
  assert.deepEqual(await linkTexts(page), ['新しい記録へ', CSV]);

  await submitWith(page, page.getByRole('link', { name: '新しい記録へ' }));
  await shot(page, 'newer');
  assert.deepEqual(await recordRows(page), newest);
});

test('the name filter keeps one person\'s records, membership ones too', async () => {
  const { page } = session;
  await page.fill('input[name="NAME"]', 's7');
  await submitWith(page, control(' 表 示 '));
  await shot(page, 'filtered');
  assert.equal(new URL(page.url()).search, '?COMMAND=LOG&NAME=s7&OPERATOR=');
  assert.deepEqual(await recordRows(page), [SEEDED[150], SEEDED[7]].map(shown));
  assert.deepEqual(await linkTexts(page), [CSV]);
});
