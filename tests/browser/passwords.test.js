'use strict';
// Passwords in Chromium against the sandbox and the host's pwquality.conf:
// a weak one refused with the program's reason, then set with the
// override; a generated one shown on the result page, and that one set.
const { execFileSync } = require('node:child_process');
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { openSession, pageFacts, submitWith } = require('./harness');

const session = openSession('passwords');
const { dialogs, shot, control } = session;

// crypt(3) of the password with the account's stored hash as its setting.
function holds(server, name, password) {
  const hash = server.passwordHash(name);
  return execFileSync('perl', ['-e', 'print crypt($ARGV[0], $ARGV[1])', password, hash],
    { encoding: 'latin1' }) === hash;
}

async function register(name, password, boxes) {
  const { page, server } = session;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=ADD`);
  await page.fill('input[name="NAME"]', name);
  await page.fill('input[name="PASS"]', password);
  await page.fill('input[name="GCOS"]', 'Class 2B');
  for (const box of boxes) await page.check(`input[name="${box}"]`);
  await submitWith(page, control(' 設 定 '));
}

test('a weak password is refused with its reason, then set with the override', async () => {
  const { page, server } = session;
  await register('weakone', 'ab12cd', []);
  await shot(page, 'weak-refused');
  const refusal = await page.innerText('body');
  assert.match(refusal, /パスワードが短すぎます。/);
  assert.match(refusal, /弱いパスワードを許可してそのまま設定することもできます。/);
  assert.equal(server.passwd().get('weakone'), undefined);

  await register('weakone', 'ab12cd', ['WEAKPW']);
  await shot(page, 'weak-overridden');
  assert.equal((await pageFacts(page)).caption, 'ユーザー登録しました。');
  assert.match(await page.innerText('body'), /弱いパスワードを許可して設定しました。/);
  assert.ok(holds(server, 'weakone', 'ab12cd'));
  assert.match(server.read('cgi/orvanta.log'),
    /^ADD,weakone,127\.0\.0\.1,[^,]+,admin\nWEAKPW,weakone,127\.0\.0\.1,[^,]+,admin$/m);
  assert.deepEqual(dialogs, []);
});

test('a generated password is shown on the result page and set', async () => {
  const { page, server } = session;
  // The form's check lets the empty field through when the box is ticked.
  await register('genone', '', ['GENPASS', 'FORCE']);
  await shot(page, 'generated');
  assert.deepEqual(dialogs, []);
  const shown = await page.innerText('tt');
  assert.match(shown, /^[!-}]{13,15}$/);
  assert.ok(holds(server, 'genone', shown));
  assert.match(await page.innerText('body'), /初回ログイン時にパスワードの変更を求めます。/);
  assert.equal(server.read('etc/shadow').match(/^genone:[^:]*:(\d+):/m)[1], '0');
});
