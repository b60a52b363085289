'use strict';
// The second factor in Chromium: the signed-in administrator enrols on the
// enrolment page (its QR code drawn inline, the secret shown as text and
// read back here as an authenticator would, codes made by oathtool), signs
// out, and signs in again with the password and a code, then with a
// recovery code, which a second time is refused.
const { execFileSync } = require('node:child_process');
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { openSession, submitWith, sleep } = require('./harness');

const STEP_SECONDS = 30;
const session = openSession('totp');
const { shot, control } = session;

const codeOf = (secret) => execFileSync('oathtool', ['--totp', '-b', secret], { encoding: 'utf8' }).trim();

// A code is taken once: the next one comes with the next step.
async function nextStep() {
  const into = Math.floor(Date.now() / 1000) % STEP_SECONDS;
  await sleep((STEP_SECONDS - into + 1) * 1000);
}

async function signOut(page) {
  await submitWith(page, control('ログアウト'));
  assert.match(await page.innerText('body'), /ログアウトしました。/);
}

// The password; then the code page, which opens nothing before the code.
async function signInWith(page, server, code) {
  await page.goto(`${server.url}orvanta.cgi?COMMAND=LOGIN`);
  await page.fill('input[name="OPERATOR"]', server.credentials.username);
  await page.fill('input[name="PASSWORD"]', server.credentials.password);
  await submitWith(page, control(' ログイン '));
  assert.match(await page.innerText('body'), /確認コード（6桁）か、回復コード/);
  await page.fill('input[name="CODE"]', code);
  await submitWith(page, control(' 確認 '));
  return page.innerText('body');
}

test('enrol on the page, then sign in with a code and with a recovery code', async () => {
  const { page, server } = session;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=TOTP`);
  assert.match(await page.innerText('body'), /確認コードは登録されていません。/);
  await page.fill('input[name="PASSWORD"]', server.credentials.password);
  await submitWith(page, control('新しい鍵を作る'));
  await shot(page, 'enrol');
  assert.equal(await page.locator('svg path').count(), 1);
  const secret = (await page.innerText('#secret')).trim();
  assert.match(secret, /^[A-Z2-7]{32}$/);
  const fields = await page.$$eval('input', (inputs) => inputs.map((input) => input.value));
  assert.ok(!fields.some((value) => value.includes(secret)), 'the secret is in no form field');

  await page.fill('input[name="CODE"]', codeOf(secret));
  await submitWith(page, control(' 登録 '));
  await shot(page, 'recovery-codes');
  const recovery = (await page.innerText('#recovery')).trim().split('\n');
  assert.equal(recovery.length, 10);
  recovery.forEach((code) => assert.match(code, /^[A-Z2-7]{10}$/));
  assert.match(await page.innerText('body'), /ログイン中: admin/);

  await signOut(page);
  await nextStep();
  assert.match(await signInWith(page, server, codeOf(secret)), /ログイン中: admin/);
  await signOut(page);
  assert.match(await signInWith(page, server, recovery[0]), /ログイン中: admin/);
  await signOut(page);
  assert.match(await signInWith(page, server, recovery[0]), /確認コードが違います。/);
  await shot(page, 'spent-recovery-code');
});
