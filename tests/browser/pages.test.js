'use strict';
// The menu page and the pages it links to, as Chromium shows them: EUC-JP
// declared, sent and decoded, the Japanese texts read back from the DOM; the
// sign-in page before any of them, and signing out.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const {
  openSession, pageFacts, tableRows, basicAuthorization, submitWith,
} = require('./harness');

const TITLE = `orvanta ver.${process.env.ORVANTA_VERSION} staff version `;
// The program's menu page, where the page served at the top leads.
const MENU_PAGE = 'orvanta.cgi?COMMAND=MENU';

// Each menu entry: the command it runs, its label, and the caption of the
// page the program answers with.
const MENU = [
  ['VIEW', 'ユーザー一覧', 'ユーザー一覧'],
  ['ADD', 'ユーザー登録', 'ユーザー登録'],
  ['BATCH', 'ユーザー一括登録', 'ユーザー一括登録'],
  ['MOD', 'ユーザー情報変更', 'ユーザー情報変更'],
  ['DEL', 'ユーザー削除', 'ユーザー削除'],
  ['LOCK', 'ユーザーのロック', 'ユーザーのロック'],
  ['AGE', 'パスワード期限変更', 'パスワード期限変更'],
  ['GVIEW', 'グループ一覧', 'グループ一覧'],
  ['GADD', 'グループ登録', 'グループ登録'],
  ['GDEL', 'グループ削除', 'グループ削除'],
  ['GMEM', 'グループメンバー変更', 'グループメンバー変更'],
  ['LOG', '操作履歴', '操作履歴'],
  ['SESSIONS', 'ログイン中のセッション', 'ログイン中のセッション'],
  ['TOTP', '確認コード（二段階認証）', '新しい鍵を作って登録する'],
];
const SIGN_IN_FORM = '<INPUT TYPE="HIDDEN" NAME="COMMAND" VALUE="LOGIN">';

const session = openSession('pages');
const { shot } = session;

// The bytes the server sends for a page are EUC-JP: they decode strictly as
// EUC-JP and are not UTF-8. (They are fetched again here: what Chromium hands
// back as a response's body is its own decoded text.)
async function assertSentAsEucJp(url, expectedText) {
  const body = new Uint8Array(await (await session.server.fetch(url)).arrayBuffer());
  const text = new TextDecoder('euc-jp', { fatal: true }).decode(body);
  assert.ok(text.includes(expectedText), `the EUC-JP text holds ${expectedText}`);
  assert.throws(() => new TextDecoder('utf-8', { fatal: true }).decode(body), TypeError);
}

test('without a session no page is served and no form is taken', async () => {
  const { server } = session;
  // Basic credentials count for nothing: the sandbox leaves AUTH_BASIC unset.
  const logins = [
    ['no session', {}],
    ['the right Basic credentials', { authorization: basicAuthorization(server.credentials) }],
    ['a cookie of no session', { cookie: `orvanta=${'0'.repeat(64)}` }],
  ];
  const requests = [
    ['GET', 'orvanta.cgi?COMMAND=VIEW', null, 200],
    ['POST', 'orvanta.cgi', 'COMMAND=WILLBEADD&NAME=intruder&PASS=Vq8.Lm2pXz-w&UID=&GID=&GCOS='
      + '&DIR=/orvanta-sandbox/home/&SHELL=/bin/sh', 403],
  ];
  const passwd = server.read('etc/passwd');
  for (const [who, headers] of logins) {
    for (const [method, target, body, status] of requests) {
      const response = await fetch(`${server.url}${target}`, { method, headers, body });
      const what = `${who}: ${method} /${target}`;
      assert.equal(response.status, status, what);
      assert.equal(response.headers.get('www-authenticate'), null, what);
      assert.ok((await response.text()).includes(SIGN_IN_FORM), what);
    }
  }
  assert.equal(server.read('etc/passwd'), passwd);
  assert.equal(server.exists('cgi/orvanta.log'), false);

  // The operators file: root's alone, the password only hashed, and outside
  // what is served.
  const { mode, uid } = fs.statSync(server.file('operators'));
  assert.deepEqual({ mode: mode & 0o777, uid }, { mode: 0o600, uid: 0 });
  assert.match(server.read('operators'), /^admin:\$y\$[^:\n]+:\*\n$/);
  assert.equal((await server.fetch(`${server.url}operators`)).status, 404);
});

test('the menu page is EUC-JP in the program\'s look and links every command', async () => {
  const { page, server } = session;
  const response = await page.goto(server.url);
  assert.equal(response.status(), 200);
  await page.waitForURL(`${server.url}${MENU_PAGE}`);
  await assertSentAsEucJp(`${server.url}${MENU_PAGE}`, 'アカウント管理メニュー');
  await shot(page, 'menu');

  const facts = await pageFacts(page);
  assert.equal(facts.characterSet, 'EUC-JP');
  assert.equal(facts.title, TITLE);
  assert.equal(facts.caption, 'アカウント管理メニュー');

  const look = await page.evaluate(() => ({
    background: getComputedStyle(document.body).backgroundColor,
    text: document.body.getAttribute('text'),
    link: document.body.getAttribute('link'),
    vlink: document.body.getAttribute('vlink'),
    table: getComputedStyle(document.querySelector('table')).backgroundColor,
    centred: document.querySelector('center > table') !== null,
  }));
  assert.deepEqual(look, {
    background: 'rgb(238, 238, 255)',
    text: '#000000',
    link: '#0000FF',
    vlink: '#0000FF',
    table: 'rgb(255, 255, 255)',
    centred: true,
  });

  const links = await page.$$eval('a', (anchors) =>
    anchors.map((a) => [a.getAttribute('href'), a.innerText.trim()]));
  assert.deepEqual(links, MENU.map(([command, label]) =>
    [`./orvanta.cgi?COMMAND=${command}`, label]));
});

test('each menu link opens its page, decoded as EUC-JP', async () => {
  const { page, server } = session;
  for (const [command, label, caption] of MENU) {
    await page.goto(`${server.url}${MENU_PAGE}`);
    const [response] = await Promise.all([
      page.waitForResponse((r) => r.url().includes(`COMMAND=${command}`)),
      page.getByRole('link', { name: label, exact: true }).click(),
    ]);
    await page.waitForLoadState();
    assert.equal(response.status(), 200, command);
    await assertSentAsEucJp(response.url(), caption);
    await shot(page, command.toLowerCase());

    const facts = await pageFacts(page);
    assert.equal(facts.characterSet, 'EUC-JP', command);
    assert.equal(facts.caption, caption, command);
    assert.equal(facts.title, TITLE, command);
    assert.equal(new URL(page.url()).search, `?COMMAND=${command}`);
  }
});

test('the user list shows the sandbox\'s accounts with Japanese headings', async () => {
  const { page, server } = session;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=VIEW`);
  await shot(page, 'user-list');
  const rows = await tableRows(page);
  assert.deepEqual(rows[0], ['', 'ユーザー', 'ユーザーＩＤ', 'グループＩＤ',
    'ユーザー氏名', 'ホームディレクトリー', 'ログインシェル']);

  // Every account of the sandbox, in uid order (SORT_BY_UID), with its
  // group's name.
  const data = rows.filter((cells) => cells[1] !== 'ユーザー');
  const accounts = [...server.passwd()].sort((a, b) => a[1].uid - b[1].uid);
  const groups = server.groups();
  const gidName = new Map([...groups].map(([name, g]) => [g.gid, name]));
  assert.equal(data.length, accounts.length);
  accounts.forEach(([name, a], i) => {
    assert.deepEqual(data[i], [String(i), name, String(a.uid),
      `${a.gid}(${gidName.get(a.gid) ?? ''})`, a.gecos, a.dir, a.shell]);
  });
});

test('signing out ends the session: the back button shows the sign-in page, which leads back', async () => {
  const { page, server } = session;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=GVIEW`);
  assert.match(await page.innerText('body'), /ログイン中: admin/);
  await submitWith(page, page.locator('input[value="ログアウト"]'));
  await shot(page, 'signed-out');
  assert.match(await page.innerText('body'), /ログアウトしました。/);
  await page.goBack();
  await shot(page, 'back-after-sign-out');
  assert.match(await page.innerText('body'), /^ログインしてください。/);
  assert.equal(new URL(page.url()).search, '?COMMAND=GVIEW');

  await page.fill('input[name="OPERATOR"]', server.credentials.username);
  await page.fill('input[name="PASSWORD"]', server.credentials.password);
  await submitWith(page, page.locator('input[value=" ログイン "]'));
  assert.equal((await pageFacts(page)).caption, 'グループ一覧');
  assert.equal(new URL(page.url()).search, '?COMMAND=GVIEW');
});
