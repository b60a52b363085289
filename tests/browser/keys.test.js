'use strict';
// An account's SSH key given through the modification form in Chromium: the
// file written in the account's home, and the key's fingerprint on the form
// the next time.
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { openSession, pageFacts, submitWith } = require('./harness');

const session = openSession('keys');
const { shot, control } = session;

async function openModForm(page, server, name) {
  await page.goto(`${server.url}orvanta.cgi?COMMAND=MOD`);
  await page.check(`input[name="NAME"][value="${name}"]`);
  await submitWith(page, control(' 変 更 '));
  assert.equal((await pageFacts(page)).caption, 'ユーザー情報変更');
}

test('a key given on the modification form lands in the home and shows its fingerprint', async () => {
  const { page, server } = session;
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orvanta-key-'));
  execFileSync('ssh-keygen', ['-q', '-t', 'ed25519', '-N', '', '-C', 'alice@pc', '-f', `${dir}/id`]);
  const key = fs.readFileSync(`${dir}/id.pub`, 'utf8').trim();
  const fingerprint = execFileSync('ssh-keygen', ['-l', '-f', `${dir}/id.pub`], { encoding: 'utf8' })
    .split(' ')[1];
  fs.rmSync(dir, { recursive: true });

  await openModForm(page, server, 'alice');
  await page.check('input[name="CHKKEYS"]');
  await page.fill('textarea[name="KEYS"]', key);
  await shot(page, 'mod-filled');
  await submitWith(page, control(' 変 更 '));
  await shot(page, 'mod-result');
  assert.equal((await pageFacts(page)).caption, 'ユーザー情報を変更しました。');
  assert.equal(server.read('orvanta-sandbox/home/alice/.ssh/authorized_keys'), `${key}\n`);
  assert.match(server.read('cgi/orvanta.log'), /^KEY,alice,127\.0\.0\.1,/m);

  await openModForm(page, server, 'alice');
  await shot(page, 'mod-form-with-key');
  assert.ok((await page.innerText('body')).includes(fingerprint), `no ${fingerprint} on the form`);
});
