// Komorebi in a real browser: headless Chromium, driven the way a person uses
// the board, against the program started in a fresh directory on 127.0.0.1.
//
//   KOMOREBI_BIN     the program (default: build/komorebi of this tree)
//   KOMOREBI_E2E_OUT where the screenshots go (default: build/e2e of this tree)
//   CHROMIUM         the browser (default: /usr/bin/chromium)
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const http = require('./lib/http');
const { startServer } = require('./lib/server');
const { BINARY, OUT, CHROMIUM, CREDENTIAL, LOGIN_TITLE, CHROMIUM_ARGS } = require('./lib/browser');

const EMPTY_ID_ALERT = '[ ＩＤ ]が入力されていません。入力して下さい。';
const EMPTY_PASSWORD_ALERT = '[ パスワード ]が入力されていません。入力して下さい。';
const BLOCK_TIME = /時間　：　(\d{4})年(\d{1,2})月(\d{1,2})日(\d{1,2})時(\d{1,2})分(\d{1,2})秒/;

let server;
let context;
let page;
let userDataDir;
let shot = 0;
const dialogs = [];
const pageErrors = [];

before(async () => {
  fs.mkdirSync(OUT, { recursive: true });
  for (const f of fs.readdirSync(OUT)) if (f.endsWith('.png')) fs.rmSync(path.join(OUT, f));
  // With the console, through which the owner deletes a message.
  server = await startServer(BINARY, [], { console: true });
  userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'komorebi-chromium-'));
  context = await chromium.launchPersistentContext(userDataDir, {
    executablePath: CHROMIUM,
    headless: true,
    viewport: { width: 1280, height: 800 },
    args: CHROMIUM_ARGS,
  });
  page = context.pages()[0] || (await context.newPage());
  // Every alert, confirm or prompt is recorded; a test that expects one
  // takes it from here, and one that appears unasked for fails the run.
  page.on('dialog', async (d) => {
    dialogs.push({ type: d.type(), message: d.message() });
    await d.dismiss().catch(() => {});
  });
  page.on('pageerror', (e) => pageErrors.push(String(e)));
});

after(async () => {
  if (context) await context.close();
  if (userDataDir) fs.rmSync(userDataDir, { recursive: true, force: true });
  if (server) await server.stop();
});

async function screenshot(name) {
  shot += 1;
  const file = path.join(OUT, `${String(shot).padStart(2, '0')}-${name}.png`);
  await page.screenshot({ path: file });
  return file;
}

const url = (p) => `http://127.0.0.1:${server.port}/${p}`;
const frame = (name) => {
  const f = page.frame({ name });
  assert.ok(f, `the page has no frame named ${name}`);
  return f;
};

// Runs a click that submits a form into the whole window and waits for the
// new top document and all of its frames; returns the reply to the form.
async function submitToTop(action, click) {
  const [reply] = await Promise.all([
    page.waitForResponse((r) => r.url() === url(action) && r.request().method() === 'POST'),
    page.waitForEvent('load'),
    click(),
  ]);
  return reply;
}

async function assertFrameset() {
  const names = page.frames().map((f) => f.name()).filter(Boolean).sort();
  assert.deepEqual(names, ['wbk_input', 'wbk_menu', 'wbk_text']);
  assert.equal(frame('wbk_menu').url(), url('wbk_menu.html'));
  assert.equal(frame('wbk_input').url(), url('wbk_input.html'));
  assert.equal(await frame('wbk_menu').title(), 'コモレビ　－メニュー－');
  assert.equal(await frame('wbk_input').title(), 'コモレビ　－入力－');
}

async function blocks(frameName = 'wbk_text') {
  // One message block is four paragraphs (time, name, title, text) and a rule.
  return frame(frameName).$$eval('body > p', (ps) => {
    const out = [];
    for (let i = 0; i + 3 < ps.length; i += 4)
      out.push({ time: ps[i].innerText, name: ps[i + 1].innerText, title: ps[i + 2].innerText, text: ps[i + 3].innerText });
    return out;
  });
}

async function postFromInputPage(fields) {
  const input = frame('wbk_input');
  await input.fill('input[name=name]', fields.name);
  await input.fill('input[name=title]', fields.title);
  await input.fill('textarea[name=text]', fields.text);
  return submitToTop('wbk_write.cgi', () => input.click('input[name=write]'));
}

async function shownPage() {
  const text = await frame('wbk_menu').innerText('body');
  const m = /－(\d+)－/.exec(text);
  return m ? Number(m[1]) : null;
}

// Clicks the menu's link to page n once, as a person would, and waits until
// the link's script has replaced both the text frame and the menu frame with
// fresh documents. Returns whether the browser asked for the page select.
async function followPageLink(n) {
  let asked = false;
  const watch = (r) => { if (r.url() === url(`wbk_select_${n}.cgi`)) asked = true; };
  page.on('request', watch);
  try {
    await page.evaluate(() => { window.frames['wbk_menu'].stale = 1; window.frames['wbk_text'].stale = 1; });
    const link = frame('wbk_menu').locator('a', { hasText: new RegExp(`^${n}$`) });
    assert.equal(await link.count(), 1, `the menu has no single link to page ${n}`);
    await link.click();
    await page.waitForFunction((want) => {
      const m = window.frames['wbk_menu'];
      const t = window.frames['wbk_text'];
      return m && t && !m.stale && !t.stale && m.document.readyState === 'complete' &&
        t.document.readyState === 'complete' && t.location.pathname === `/wbk_text_${want}.html`;
    }, n, { timeout: 10000 });
  } finally {
    page.off('request', watch);
  }
  return { selectsAsked: asked };
}

function sessionCookie() {
  return context.cookies(url('')).then((cs) => (cs.find((c) => c.name === 'SESSIONID') || {}).value);
}

// The steps build on one another: once one fails, the rest are skipped.
let broken = null;
function step(name, fn) {
  test(name, async (t) => {
    if (broken) {
      t.skip(`an earlier step failed: ${broken}`);
      return;
    }
    try {
      await fn(t);
    } catch (e) {
      broken = name;
      await screenshot(`FAILED-${name.replace(/[^a-z0-9]+/gi, '-')}`).catch(() => {});
      throw e;
    }
  });
}

step('the login page opens', async () => {
  const reply = await page.goto(url(''));
  assert.equal(reply.status(), 200);
  assert.equal(await page.title(), LOGIN_TITLE);
  assert.ok(await page.isVisible('form[name=formlogin] input[name=id]'));
  await screenshot('login-page');
});

step('an empty ID is refused by the page itself', async () => {
  let posted = false;
  const watch = (r) => { if (r.url().includes('wbk_login.cgi')) posted = true; };
  page.on('request', watch);
  dialogs.length = 0;
  await page.fill('input[name=password]', CREDENTIAL);
  await page.click('input[name=login]');
  await page.waitForTimeout(300);
  assert.deepEqual(dialogs, [{ type: 'alert', message: EMPTY_ID_ALERT }]);
  // The ID field has the focus for the person to type into.
  assert.equal(await page.evaluate(() => document.activeElement && document.activeElement.name), 'id');
  dialogs.length = 0;
  await page.fill('input[name=password]', '');
  await page.fill('input[name=id]', CREDENTIAL);
  await page.click('input[name=login]');
  await page.waitForTimeout(300);
  assert.deepEqual(dialogs, [{ type: 'alert', message: EMPTY_PASSWORD_ALERT }]);
  dialogs.length = 0;
  page.off('request', watch);
  assert.equal(posted, false, 'the form was sent although a field was empty');
  assert.equal(page.url(), url(''));
  await screenshot('empty-id-refused');
});

step('a wrong password gets the login page again', async () => {
  await page.fill('input[name=id]', CREDENTIAL);
  await page.fill('input[name=password]', 'not-the-password');
  const reply = await submitToTop('wbk_login.cgi', () => page.click('input[name=login]'));
  assert.equal(await reply.headerValue('set-cookie'), null);
  assert.equal(await page.title(), LOGIN_TITLE);
  assert.equal(await sessionCookie(), undefined);
});

step('logging in with the default credential shows the frameset', async () => {
  await page.fill('input[name=id]', CREDENTIAL);
  await page.fill('input[name=password]', CREDENTIAL);
  const reply = await submitToTop('wbk_login.cgi', () => page.click('input[name=login]'));
  assert.match((await reply.headerValue('set-cookie')) || '', /^SESSIONID=-?\d+;?/);
  assert.ok(await sessionCookie(), 'the browser holds no SESSIONID cookie');
  await assertFrameset();
  assert.equal(frame('wbk_text').url(), url('wbk_text_1.html'));
  assert.equal(await frame('wbk_text').title(), 'コモレビ　－テキスト－');
  assert.equal(await shownPage(), 1);
  assert.deepEqual(await blocks(), []);
  // The input page offers the three fields and the send button.
  for (const sel of ['input[name=name]', 'input[name=title]', 'textarea[name=text]', 'input[name=write]'])
    assert.ok(await frame('wbk_input').isVisible(sel), `${sel} is not shown`);
  await screenshot('frameset-after-login');
});

const first = { name: '木漏れ日 太郎', title: '初めての投稿', text: '一行目です。\n二行目は「表」と「ソ」を含みます。' };
const second = { name: '花子', title: '二通目', text: 'こんばんは' };

step('a Japanese message with a line break appears on the text page', async () => {
  const before = new Date();
  const reply = await postFromInputPage(first);
  assert.equal(reply.status(), 200);
  await assertFrameset();
  assert.equal(frame('wbk_text').url(), url('wbk_text_1.html'));
  const shown = await blocks();
  assert.equal(shown.length, 1);
  assert.equal(shown[0].name, `名前　：　${first.name}`);
  assert.equal(shown[0].title, `題名　：　${first.title}`);
  // The typed line break is shown as a line break; so is the end of the
  // message's last line.
  assert.equal(shown[0].text, `内容　：　一行目です。\n二行目は「表」と「ソ」を含みます。\n`);
  const m = BLOCK_TIME.exec(shown[0].time);
  assert.ok(m, `no time in ${JSON.stringify(shown[0].time)}`);
  const at = new Date(+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +m[6]);
  assert.ok(Math.abs(at - before) < 120000, `the message time ${at} is not about now (${before})`);
  await screenshot('first-message');
});

step('a second message stands above the first', async () => {
  await postFromInputPage(second);
  const shown = await blocks();
  assert.deepEqual(shown.map((b) => b.title), [`題名　：　${second.title}`, `題名　：　${first.title}`]);
  assert.equal(shown[0].text, `内容　：　${second.text}\n`);
  await screenshot('newest-first');
});

step('the reload button brings a fresh frameset', async () => {
  const updated = async () => (/ページの表示更新日時\s*(\S+)/.exec(await frame('wbk_menu').innerText('body')) || [])[1];
  const earlier = await updated();
  await page.waitForTimeout(1100); // the update time counts whole seconds
  const reply = await submitToTop('wbk_reload.cgi', () => frame('wbk_menu').click('input[name=reload]'));
  assert.equal(reply.status(), 200);
  await assertFrameset();
  assert.equal(frame('wbk_text').url(), url('wbk_text_1.html'));
  const later = await updated();
  assert.match(later, /^\d{4}年\d{1,2}月\d{1,2}日\d{1,2}時\d{1,2}分\d{1,2}秒$/);
  assert.notEqual(later, earlier, 'the menu kept its old update time');
  assert.equal((await blocks()).length, 2);
  await screenshot('after-reload');
});

step('a page link shows its page', async () => {
  const { selectsAsked } = await followPageLink(1);
  assert.ok(selectsAsked, 'the link did not ask for the page select');
  assert.equal(frame('wbk_text').url(), url('wbk_text_1.html'));
  assert.equal(await shownPage(), 1);
  assert.equal((await blocks()).length, 2);
  await screenshot('page-link-1');
});

step('after 101 messages the menu links page 2, and page 1 can be opened from it', async () => {
  const session = await sessionCookie();
  // Two messages came from the browser; 99 more through plain HTTP.
  for (let i = 3; i <= 101; i++) {
    const r = await http.post(server.port, session, { name: `送信者${i}`, title: `題${i}`, text: `本文 ${i} 行目\r\n終わり` });
    assert.equal(r.status, 200);
    assert.match(r.text, /wbk_text_[12]\.html/, `post ${i} did not get the frameset`);
  }
  const reply = await submitToTop('wbk_reload.cgi', () => frame('wbk_menu').click('input[name=reload]'));
  assert.equal(reply.status(), 200);
  await assertFrameset();
  assert.equal(frame('wbk_text').url(), url('wbk_text_2.html'));
  assert.equal(await shownPage(), 2);
  const page2 = await blocks();
  assert.deepEqual(page2.map((b) => b.title), ['題名　：　題101']);
  const links = await frame('wbk_menu').$$eval('a', (as) => as.map((a) => a.textContent));
  assert.deepEqual(links, ['2', '1'], 'the menu lists its pages newest first');
  await screenshot('page-2-linked');

  const { selectsAsked } = await followPageLink(1);
  assert.ok(selectsAsked, 'the link did not ask for the page select');
  assert.equal(frame('wbk_text').url(), url('wbk_text_1.html'));
  // The menu, reloaded by the link, shows the page chosen, not the page
  // being filled (2).
  assert.equal(await shownPage(), 1);
  const page1 = await blocks();
  assert.equal(page1.length, 100);
  assert.equal(page1[0].title, '題名　：　題100');
  assert.equal(page1[1].title, '題名　：　題99');
  assert.equal(page1[98].title, `題名　：　${second.title}`);
  assert.equal(page1[99].title, `題名　：　${first.title}`);
  assert.equal(page1[0].text, '内容　：　本文 100 行目\n終わり\n');
  await screenshot('page-1-from-menu');

  // The page select on its own: no reply at all, and the menu page then
  // shows the page chosen.
  const select = await http.request(server.port, { path: '/wbk_select_2.cgi' });
  assert.equal(select.raw.length, 0, 'the page select got a reply');
  assert.match((await http.request(server.port, { path: '/wbk_menu.html' })).text, /<p>－2－<\/p>/);
});

step('markup in a message shows as text and runs nothing', async () => {
  dialogs.length = 0;
  pageErrors.length = 0;
  const hostile = {
    name: '<b onmouseover="alert(3)">悪い人</b>',
    title: '<i>題</i>',
    text: `<script>alert('script ran');window.parent.ranScript = 1;</script>\n` +
      `<img src=x onerror="alert('onerror ran');window.parent.ranImage = 1">`,
  };
  await postFromInputPage(hostile);
  const text = frame('wbk_text');
  assert.equal(text.url(), url('wbk_text_2.html'));
  const shown = await blocks();
  assert.equal(shown.length, 2);
  assert.equal(shown[0].name, `名前　：　${hostile.name}`);
  assert.equal(shown[0].title, `題名　：　${hostile.title}`);
  assert.equal(shown[0].text, `内容　：　${hostile.text}\n`);
  // Nothing of it became an element of the page.
  assert.equal(await text.locator('script, img, b, i').count(), 0);
  await page.waitForTimeout(500);
  assert.deepEqual(dialogs, [], 'a dialog was opened by the posted text');
  assert.equal(await page.evaluate(() => [window.ranScript, window.ranImage].join()), ',');
  assert.deepEqual(pageErrors, []);
  await screenshot('markup-as-text');
});

step('characters outside Shift_JIS show as themselves, and a long name is cut between characters', async () => {
  // The Shift_JIS form sends them as numeric character references ("&#128512;").
  // The name, all the field takes (50 UTF-16 units), is 9 + 96 bytes: the
  // record keeps 101 of them, the block the whole characters within 100.
  const fields = { name: `😀${'木'.repeat(48)}`, title: '絵文字 😀', text: '𠮷野家で😀\n二行目' };
  await postFromInputPage(fields);
  const shown = await blocks();
  assert.equal(shown.length, 3);
  assert.equal(shown[0].name, `名前　：　😀${'木'.repeat(45)}`);
  assert.equal(shown[0].title, `題名　：　${fields.title}`);
  assert.equal(shown[0].text, `内容　：　${fields.text}\n`);
  assert.ok(!(await frame('wbk_text').innerText('body')).includes('\uFFFD'), 'the page shows a replacement character');
  await screenshot('characters-outside-shift-jis');
});

step('a message the owner deletes through the console is gone after a reload', async () => {
  const doomed = { name: '消す人', title: '削除される伝言', text: 'この伝言は消えます' };
  await postFromInputPage(doomed);
  const before = await blocks();
  assert.equal(before[0].title, `題名　：　${doomed.title}`);
  const current = await shownPage();
  const said = await server.command(`delete ${current} 1\ny\n`, '[メッセージの削除]処理が正常に終了しました。');
  assert.match(said, new RegExp(`題名　：　${doomed.title}`));
  await submitToTop('wbk_reload.cgi', () => frame('wbk_menu').click('input[name=reload]'));
  const after = await blocks();
  assert.deepEqual(after, before.slice(1), 'the message is gone and the others stay as they were');
  await screenshot('message-deleted');
});

step('logging out gets the login page, and the old session is refused', async () => {
  const session = await sessionCookie();
  const reply = await submitToTop('wbk_logout.cgi', () => frame('wbk_menu').click('input[name=logout]'));
  assert.equal(reply.status(), 200);
  assert.equal(await page.title(), LOGIN_TITLE);
  await screenshot('logged-out');

  // The browser still sends its old cookie; the board no longer knows it.
  assert.equal(await sessionCookie(), session);
  await page.goto(url('wbk_main.html'));
  await assertFrameset();
  const late = { name: '遅れた人', title: 'ログアウト後', text: '届かないはず' };
  await postFromInputPage(late);
  assert.equal(await page.title(), LOGIN_TITLE);
  await screenshot('post-after-logout');
  const page2 = await http.request(server.port, { path: '/wbk_text_2.html' });
  assert.ok(!page2.text.includes(late.title), 'a post after logout reached the page');
  assert.equal((page2.text.match(/時間　：　/g) || []).length, 3);

  await page.goto(url('wbk_main.html'));
  await submitToTop('wbk_reload.cgi', () => frame('wbk_menu').click('input[name=reload]'));
  assert.equal(await page.title(), LOGIN_TITLE);
  await screenshot('reload-after-logout');

  // And the same over plain HTTP with the cookie the browser had.
  const direct = await http.post(server.port, session, late);
  assert.match(direct.text, /<title>コモレビ　－ログイン－<\/title>/);
});
