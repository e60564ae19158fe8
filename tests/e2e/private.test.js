// Private reading and posts from another site's page, in a real browser: the
// board started with --private, and a second board on another port that
// serves a page of an attacker's.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { chromium } = require('playwright-core');

const http = require('./lib/http');
const { startServer } = require('./lib/server');
const { BINARY, OUT, CHROMIUM, CREDENTIAL, LOGIN_TITLE, CHROMIUM_ARGS } = require('./lib/browser');

let board;
let other;
let browser;

before(async () => {
  board = await startServer(BINARY, ['--private']);
  other = await startServer(BINARY);
  browser = await chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: CHROMIUM_ARGS,
  });
  await http.login(board.port, CREDENTIAL, CREDENTIAL);  // the board's pages exist from here on
});

after(async () => {
  if (browser) await browser.close();
  if (board) await board.stop();
  if (other) await other.stop();
});

const url = (p) => `http://127.0.0.1:${board.port}/${p}`;
const messages = () => fs.readFileSync(path.join(board.dir, 'DATA', 'MESSAGE', '0.ini'), 'latin1');

async function loggedInPage() {
  const context = await browser.newContext();
  const page = await context.newPage();
  page.on('dialog', (d) => d.dismiss().catch(() => {}));
  await page.goto(url(''));
  await page.fill('input[name=id]', CREDENTIAL);
  await page.fill('input[name=password]', CREDENTIAL);
  await Promise.all([page.waitForEvent('load'), page.click('input[name=login]')]);
  assert.ok(page.frame({ name: 'wbk_text' }), 'no board after the login');
  return { context, page };
}

test('a fresh browser gets the login page for the board\'s pages', async () => {
  const context = await browser.newContext();
  const page = await context.newPage();
  for (const p of ['wbk_text_1.html', 'wbk_main.html', 'wbk_menu.html']) {
    await page.goto(url(p));
    assert.equal(await page.title(), LOGIN_TITLE, p);
  }
  await context.close();
});

test('after logout the back button shows no board', async () => {
  const { context, page } = await loggedInPage();
  const input = page.frame({ name: 'wbk_input' });
  await input.fill('input[name=name]', '名前');
  await input.fill('input[name=title]', '題名');
  await input.fill('textarea[name=text]', '秘密の伝言');
  await Promise.all([page.waitForEvent('load'), input.click('input[name=write]')]);
  assert.match(await page.frame({ name: 'wbk_text' }).innerText('body'), /秘密の伝言/);
  await Promise.all([page.waitForEvent('load'), page.frame({ name: 'wbk_menu' }).click('input[name=logout]')]);
  assert.equal(await page.title(), LOGIN_TITLE);
  await page.goBack().catch(() => {});
  await page.waitForTimeout(500);
  for (const f of page.frames()) {
    const text = await f.innerText('body').catch(() => '');
    assert.doesNotMatch(text, /秘密の伝言/, `the frame ${f.name() || '(top)'} still shows the board`);
  }
  await page.screenshot({ path: path.join(OUT, 'private-back-after-logout.png') });
  await context.close();
});

test('a page of another site that posts to the board stores nothing', async () => {
  const { context, page } = await loggedInPage();
  const before = messages();
  const form = `<html><head><meta http-equiv='Content-Type' content='text/html;charset=Shift_JIS'></head><body>
<form name='f' method='post' action='${url('wbk_write.cgi')}'>
<input name='name' value='x'><input name='title' value='x'><input name='text' value='forged'></form>
<script>document.f.submit();</script></body></html>`;
  fs.mkdirSync(path.join(other.dir, 'DATA', 'HTML'), { recursive: true });
  fs.writeFileSync(path.join(other.dir, 'DATA', 'HTML', 'attack.html'), form);
  const reply = page.waitForResponse((r) => r.url() === url('wbk_write.cgi'));
  await page.goto(`http://127.0.0.1:${other.port}/attack.html`);
  const answered = await reply;
  assert.equal(answered.request().headers().origin, `http://127.0.0.1:${other.port}`);
  await page.waitForLoadState('load');
  assert.equal(await page.title(), LOGIN_TITLE, 'the forged post got the board');
  assert.equal(messages(), before, 'the forged post was stored');
  await context.close();
});
