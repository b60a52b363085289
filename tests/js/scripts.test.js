'use strict';
// Runs the forms' validation scripts, exactly as the program writes them, in
// V8 against a stand-in for the browser: document.form holds the fields and
// records which were read and whether the form was submitted, and alert()
// records its messages.
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const vm = require('node:vm');
const fs = require('node:fs');
const path = require('node:path');

const EMIT = process.env.EMIT_SCRIPTS;
if (!EMIT) throw new Error('EMIT_SCRIPTS must name the emit_scripts program');

// A browser decodes EUC-JP A1 C1 ("〜" in the program's texts) as U+FF5E,
// and so does TextDecoder; the alerts below are what the browser shows.
const WAVE = '\uFF5E';

const OPEN = '<SCRIPT language="JavaScript">\n';
const CLOSE = '</SCRIPT>\n\n';

// The whole block between the tags runs, "<!--" and "//-->" included, as a
// browser runs it.
function loadPage(page) {
  const bytes = execFileSync(EMIT, [page]);
  const text = new TextDecoder('euc-jp', { fatal: true }).decode(bytes);
  assert.ok(text.startsWith(OPEN + '<!--\n'), `${page}: block opening`);
  assert.ok(text.endsWith('//-->\n' + CLOSE), `${page}: block closing`);
  return new vm.Script(text.slice(OPEN.length, text.length - CLOSE.length),
                       { filename: `${page}.js` });
}

const PAGES = Object.fromEntries(
  ['add', 'mod', 'age', 'gadd', 'add-long', 'mod-long'].map((page) => [page, loadPage(page)]));

// Valid values; each case overrides what it tests. Strings are text fields,
// booleans are check boxes.
const DEFAULTS = {
  NAME: 'taro', PASS: 'abc123', UID: '1500', SYSTEM_UID: '1000',
  GCOS: 'Taro Yamada', DIR: '/home/taro',
  GNAME: 'staff', GID: '1500', SYSTEM_GID: '1000',
  CHKPASS: false, CHKUID: false, CHKGID: false,
  CHKGCOS: false, CHKDIR: false, CHKSHELL: false,
  EXPIRE: '', MAXDAYS: '99999', MINDAYS: '0', WARNDAYS: '7', INACTDAYS: '-1',
  CHKMAX: false, CHKMIN: false, CHKWARN: false, CHKINACT: false, CHKEXPIRE: false, FORCE: false,
  CHKKEYS: false,
};

function run(page, call, fields) {
  const values = { ...DEFAULTS, ...fields };
  const record = { alerts: [], submits: 0, reads: [] };
  const form = new Proxy({}, {
    has(_, prop) { return Object.hasOwn(values, prop); },
    get(_, prop) {
      if (prop === 'submit') return () => { record.submits++; };
      if (typeof prop !== 'string' || !Object.hasOwn(values, prop)) {
        throw new Error(`script read a field the form does not have: ${String(prop)}`);
      }
      record.reads.push(prop);
      const v = values[prop];
      return typeof v === 'boolean' ? { checked: v } : { value: v };
    },
  });
  const context = vm.createContext({
    document: { form },
    alert: (message) => { record.alerts.push(String(message)); },
  });
  PAGES[page].runInContext(context);
  record.result = vm.runInContext(call, context);
  return record;
}

// Each case: [call, fields, expected result, expected alert or null].
// Field checks must return exactly true or false, and never submit.
function fieldCheckTable(title, pages, cases) {
  for (const page of pages) {
    test(`${title} (${page} page)`, async (t) => {
      for (const [call, fields, result, alert] of cases) {
        await t.test(`${call} ${JSON.stringify(fields)}`, () => {
          const r = run(page, call, fields);
          assert.equal(r.result, result);
          assert.deepEqual(r.alerts, alert === null ? [] : [alert]);
          assert.equal(r.submits, 0);
        });
      }
    });
  }
}

// The field checks' cases are shared with the server tests, which send the
// same values in hand-made requests.
const CASES_FILE = path.join(__dirname, '..', 'data', 'field_checks.tsv');
const unescape = (text) => text.replace(/\\(.)/g, (_, c) => ({ t: '\t', n: '\n', '\\': '\\' })[c]);
const FIELD_CASES = fs.readFileSync(CASES_FILE, 'utf8').split('\n')
  .filter((line) => line !== '' && !line.startsWith('#'))
  .map((line) => line.split('\t').map(unescape));

// Where each check runs: the pages that carry it, the field it reads and its
// system id field.
const CHECKS = {
  CheckName: { pages: ['add'], field: 'NAME' },
  CheckGName: { pages: ['gadd'], field: 'GNAME' },
  CheckPass: { pages: ['add', 'mod'], field: 'PASS' },
  CheckPass64: { pages: ['add-long', 'mod-long'], field: 'PASS', call: 'CheckPass' },
  ChkUid: { pages: ['add', 'mod'], field: 'UID', system: 'SYSTEM_UID' },
  ChkGid: { pages: ['gadd'], field: 'GID', system: 'SYSTEM_GID' },
  ChkGcos: { pages: ['add', 'mod'], field: 'GCOS' },
  ChkDir: { pages: ['add', 'mod'], field: 'DIR' },
  ChkMaxDays: { pages: ['age'], field: 'MAXDAYS' },
  ChkMinDays: { pages: ['age'], field: 'MINDAYS' },
  ChkWarnDays: { pages: ['age'], field: 'WARNDAYS' },
  ChkInactDays: { pages: ['age'], field: 'INACTDAYS' },
  ChkExpire: { pages: ['add', 'age'], field: 'EXPIRE' },
};

test('every case of the shared table names a known check', () => {
  for (const row of FIELD_CASES) {
    assert.equal(row.length, 5, row.join(' | '));
    assert.ok(Object.hasOwn(CHECKS, row[0]), row[0]);
  }
});

for (const [check, where] of Object.entries(CHECKS)) {
  const cases = FIELD_CASES.filter((row) => row[0] === check).map(([, value, system, alert]) => {
    const fields = { [where.field]: value };
    if (where.system) fields[where.system] = system;
    return [`${where.call ?? check}()`, fields, alert === '',
      alert === '' ? null : alert.replaceAll('\u301C', WAVE)];
  });
  fieldCheckTable(check, where.pages, cases);
}

const PASS_SIMPLE = 'パスワードが単純すぎます。\nアルファベットと数字等を混ぜてください。';
const GCOS_COLON = 'コメントに不正な文字(:)が含まれています';
const DIR_CHAR = 'ホームディレクトリに使用できない文字が含まれています';
const DIR_COLON = 'ホームディレクトリに不正な文字(:)が含まれています';

// Collecting functions: [fields, expected alert or null, submitted?].
// They return nothing; the form is submitted only when no alert was shown.
function collectTable(title, page, call, cases) {
  test(title, async (t) => {
    for (const [fields, alert, submitted] of cases) {
      await t.test(JSON.stringify(fields), () => {
        const r = run(page, call, fields);
        assert.equal(r.result, undefined);
        assert.deepEqual(r.alerts, alert === null ? [] : [alert]);
        assert.equal(r.submits, submitted ? 1 : 0);
      });
    }
  });
}

collectTable('CheckAddData', 'add', 'CheckAddData()', [
  [{}, null, true],
  [{ NAME: 'Taro', PASS: '12345678', UID: '1', GCOS: ':', DIR: ' ' },
   'ユーザー名に使用できない文字(T)が含まれています', false],
  [{ PASS: '12345678', UID: '1', GCOS: ':', DIR: ' ' }, PASS_SIMPLE, false],
  [{ UID: '1', GCOS: ':', DIR: ' ' },
   'ユーザーＩＤ(1)がシステムＩＤ(1000)以下です。\n登録できません。', false],
  [{ GCOS: 'a:b', DIR: '/a b' }, GCOS_COLON, false],
  [{ DIR: '/a b' }, DIR_CHAR, false],
  [{ UID: '', GCOS: '', DIR: '' }, null, true],
  // A password to be generated is not typed: any field content passes.
  [{ PASS: '', GENPASS: true }, null, true],
  [{ PASS: '12345678', GENPASS: true, UID: '1' },
   'ユーザーＩＤ(1)がシステムＩＤ(1000)以下です。\n登録できません。', false],
  [{ PASS: '', GENPASS: false }, 'パスワードが入力されていません。', false],
]);

collectTable('CheckAddGData', 'gadd', 'CheckAddGData()', [
  [{}, null, true],
  [{ GNAME: '', GID: '10' }, 'グループ名が入力されていません。', false],
  [{ GNAME: 'Staff', GID: 'x' }, 'グループ名に使用できない文字(S)が含まれています', false],
  [{ GID: '10' }, 'グループＩＤ(10)がシステムＩＤ(1000)以下です。\n登録できません。', false],
  [{ GID: '1o' }, 'グループＩＤに数字以外の文字が含まれています', false],
  [{ GID: '' }, null, true],
]);

// Field values that every field check refuses, to show which checks ran.
const ALL_BAD = { PASS: '', UID: 'x', GCOS: ':', DIR: ':' };
const NOTHING = 'チェックされた項目がありません';
collectTable('CheckModData', 'mod', 'CheckModData()', [
  [{}, NOTHING, false],
  [{ ...ALL_BAD }, NOTHING, false],
  [{ ...ALL_BAD, CHKGID: true }, null, true],
  [{ ...ALL_BAD, CHKSHELL: true }, null, true],
  [{ ...ALL_BAD, CHKKEYS: true }, null, true],
  [{ CHKPASS: true }, null, true],
  [{ CHKPASS: true, PASS: 'aaaaaa' }, PASS_SIMPLE, false],
  [{ CHKPASS: true, CHKGID: true, PASS: '' }, 'パスワードが入力されていません。', false],
  [{ CHKUID: true, UID: '12ab' }, 'ユーザーＩＤに数字以外の文字が含まれています', false],
  [{ CHKPASS: true, CHKUID: true, UID: '5' },
   'ユーザーＩＤ(5)がシステムＩＤ(1000)以下です。\n登録できません。', false],
  [{ CHKGCOS: true, CHKDIR: true, GCOS: 'a:b', DIR: 'a b' }, GCOS_COLON, false],
  [{ CHKDIR: true, DIR: '/x:y' }, DIR_COLON, false],
  [{ ...ALL_BAD, CHKGCOS: true, GCOS: 'ok' }, null, true],
  [{ CHKPASS: true, CHKUID: true, CHKGID: true, CHKGCOS: true, CHKDIR: true, CHKSHELL: true },
   null, true],
]);

const MAX_RANGE = 'パスワードの有効期間（日）は-1（なし）または0〜99999の整数にしてください'
  .replaceAll('\u301C', WAVE);
collectTable('CheckAgeData', 'age', 'CheckAgeData()', [
  [{ MAXDAYS: 'x', EXPIRE: 'x' }, NOTHING, false],
  [{ MAXDAYS: 'x', FORCE: true }, null, true],
  [{ CHKMAX: true, MAXDAYS: 'x' }, MAX_RANGE, false],
  [{ CHKWARN: true, WARNDAYS: '-1', CHKEXPIRE: true, EXPIRE: '2027-02-30' },
   'アカウントの有効期限はYYYY-MM-DDの形の日付にしてください', false],
  [{ CHKMAX: true, CHKMIN: true, CHKWARN: true, CHKINACT: true, CHKEXPIRE: true,
     EXPIRE: '2027-03-31' }, null, true],
]);

test('CheckModData with only the group, shell or keys box reads no checked field', () => {
  for (const box of ['CHKGID', 'CHKSHELL', 'CHKKEYS']) {
    const r = run('mod', 'CheckModData()', { ...ALL_BAD, [box]: true });
    assert.equal(r.submits, 1, box);
    for (const field of ['PASS', 'UID', 'SYSTEM_UID', 'GCOS', 'DIR']) {
      assert.ok(!r.reads.includes(field), `${box}: ${field} was read`);
    }
  }
});

test('field checks read only their own fields', () => {
  const own = [
    ['add', 'CheckName()', ['NAME']],
    ['add', 'CheckPass()', ['PASS']],
    ['add', 'ChkUid()', ['UID', 'SYSTEM_UID']],
    ['add', 'ChkGcos()', ['GCOS']],
    ['add', 'ChkDir()', ['DIR']],
    ['gadd', 'CheckGName()', ['GNAME']],
    ['gadd', 'ChkGid()', ['GID', 'SYSTEM_GID']],
  ];
  for (const [page, call, fields] of own) {
    const r = run(page, call, {});
    assert.equal(r.result, true, call);
    assert.deepEqual([...new Set(r.reads)].sort(), [...fields].sort(), call);
  }
});

test('each page defines its functions in page order and nothing else', () => {
  const expected = {
    add: ['CheckName', 'CheckPass', 'ChkUid', 'ChkGcos', 'ChkDir', 'ChkExpire', 'CheckAddData'],
    mod: ['CheckPass', 'ChkUid', 'ChkGcos', 'ChkDir', 'CheckModData'],
    age: ['ChkMaxDays', 'ChkMinDays', 'ChkWarnDays', 'ChkInactDays', 'ChkExpire', 'CheckAgeData'],
    gadd: ['CheckGName', 'ChkGid', 'CheckAddGData'],
  };
  for (const [page, names] of Object.entries(expected)) {
    const context = vm.createContext({});
    PAGES[page].runInContext(context);
    assert.deepEqual(Object.keys(context), names, page);
    for (const name of names) assert.equal(typeof context[name], 'function', name);
  }
});
