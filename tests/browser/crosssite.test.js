'use strict';
// Requests from another site, in Chromium, signed in to the program: a page
// of another origin sends the registration form. The program refuses it and
// changes nothing, while its own form, whose POST names the program's own
// origin, still registers.
const http = require('node:http');
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const {
  openSession, pageFacts, submitWith,
} = require('./harness');

const REFUSAL = '他のサイトからの要求は受け付けません。';

// The fields of the registration form, as another site would forge them.
const FORGED_REGISTRATION = [
  ['COMMAND', 'WILLBEADD'], ['NAME', 'evilusr'], ['PASS', 'Vq8.Lm2pXz-w'], ['UID', ''], ['GID', ''],
  ['GCOS', ''], ['DIR', '/orvanta-sandbox/home/'], ['SHELL', '/bin/sh'],
];

// What a request that is refused must leave as it was.
const UNTOUCHED_FILES = ['etc/passwd', 'etc/shadow', 'etc/group', 'cgi/orvanta.log'];

const session = openSession('crosssite');
const { dialogs, shot, control } = session;

// The other site: on another port of 127.0.0.1, one page that sends the
// forged form to the program as soon as it is opened.
function forgingPage(target) {
  const fields = FORGED_REGISTRATION
    .map(([name, value]) => `<input type="hidden" name="${name}" value="${value}">`).join('\n');
  return `<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Win a prize</title></head>
<body onload="document.forms[0].submit()">
<form method="POST" action="${target}">
${fields}
</form>
</body></html>
`;
}

let otherSite;
let otherSiteUrl;
before(async () => {
  otherSite = http.createServer((request, response) => {
    if (request.url !== '/') {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'content-type': 'text/html; charset=utf-8' });
    response.end(forgingPage(`${session.server.url}orvanta.cgi`));
  });
  await new Promise((resolve) => otherSite.listen(0, '127.0.0.1', resolve));
  otherSiteUrl = `http://127.0.0.1:${otherSite.address().port}/`;
});
after(() => new Promise((resolve) => otherSite.close(resolve)));

function snapshot(server) {
  return Object.fromEntries(UNTOUCHED_FILES.map((name) =>
    [name, server.exists(name) ? server.read(name) : null]));
}

test('the program\'s own registration form, sent with its own Origin, registers', async () => {
  const { page, server } = session;
  await page.goto(`${server.url}orvanta.cgi?COMMAND=ADD`);
  assert.equal((await pageFacts(page)).caption, 'ユーザー登録');
  await page.fill('input[name="NAME"]', 'goodusr');
  await page.fill('input[name="PASS"]', 'Vq8.Lm2pXz-w');
  await page.fill('input[name="UID"]', '1650');
  const response = await submitWith(page, control(' 設 定 '));
  await shot(page, 'own-form-result');

  assert.equal(await response.request().headerValue('origin'), new URL(server.url).origin);
  assert.deepEqual(dialogs, []);
  assert.equal(response.status(), 200);
  assert.equal((await pageFacts(page)).caption, 'ユーザー登録しました。');
  assert.equal(server.passwd().get('goodusr')?.uid, 1650);
  assert.match(server.read('cgi/orvanta.log'), /^ADD,goodusr,127\.0\.0\.1,/m);
});

test('a registration sent by a page of another origin is refused and changes nothing',
  async () => {
    const { page, server } = session;
    const target = `${server.url}orvanta.cgi`;
    const untouched = snapshot(server);

    const answer = page.waitForNavigation({ url: target });
    await page.goto(otherSiteUrl);
    const response = await answer;
    await shot(page, 'other-site-refused');

    // Chromium named the other site: the answer is the program's refusal,
    // before any look at a session.
    assert.equal(await response.request().headerValue('origin'), new URL(otherSiteUrl).origin);
    const body = await page.innerText('body');
    assert.deepEqual({
      status: response.status(),
      characterSet: (await pageFacts(page)).characterSet,
      message: body.split('\n')[0],
    }, { status: 403, characterSet: 'EUC-JP', message: REFUSAL });

    assert.deepEqual(snapshot(server), untouched);
    assert.equal(server.exists('orvanta-sandbox/home/evilusr'), false);
  });
