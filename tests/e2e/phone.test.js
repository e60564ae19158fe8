// The board on a phone: Chromium's phone emulation (an iPhone and an Android
// user agent, 390 and 320 pixels wide) through the whole road on a board with
// private reading on, and on every page the check that it is no wider than
// the screen and that axe-core finds nothing critical or serious in it.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { chromium } = require('playwright-core');

const http = require('./lib/http');
const { startServer } = require('./lib/server');
const { BINARY, OUT, CHROMIUM, CREDENTIAL, LOGIN_TITLE, CHROMIUM_ARGS, IPHONE } = require('./lib/browser');

const ANDROID = 'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) ' +
  'Chrome/126.0.0.0 Mobile Safari/537.36';
const PHONES = [
  { name: 'iphone-390', userAgent: IPHONE, width: 390 },
  { name: 'android-320', userAgent: ANDROID, width: 320 },
  { name: 'iphone-320', userAgent: IPHONE, width: 320 },
  { name: 'android-390', userAgent: ANDROID, width: 390 },
];

const AXE = fs.readFileSync(require.resolve('axe-core/axe.min.js'), 'utf8');

let board;
let browser;

before(async () => {
  board = await startServer(BINARY, ['--private']);
  browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS });
});

after(async () => {
  if (browser) await browser.close();
  if (board) await board.stop();
});

const url = (p) => `http://127.0.0.1:${board.port}/${p}`;

async function phonePage(phone) {
  const context = await browser.newContext({
    viewport: { width: phone.width, height: 760 }, isMobile: true, hasTouch: true, userAgent: phone.userAgent,
  });
  const page = await context.newPage();
  const errors = [];
  const dialogs = [];  // the form check's messages, taken by the step that expects one
  page.on('dialog', (d) => { dialogs.push(d.message()); d.dismiss().catch(() => {}); });
  page.on('pageerror', (e) => errors.push(String(e)));
  return { context, page, errors, dialogs };
}

async function login(page, password = CREDENTIAL) {
  await page.fill('input[name=id]', CREDENTIAL);
  await page.fill('input[name=password]', password);
  await submit(page, 'input[name=login]');
}

// Every phone page: laid out for the phone's width, never wider than the screen.
async function checkPhonePage(page, what) {
  const m = await page.evaluate(() => ({
    viewport: (document.querySelector('meta[name=viewport]') || {}).content || '',
    scroll: document.documentElement.scrollWidth,
    inner: window.innerWidth,
    frames: document.querySelectorAll('frame, frameset').length,
  }));
  assert.equal(m.viewport, 'width=device-width, initial-scale=1', `${what}: no phone viewport`);
  assert.equal(m.frames, 0, `${what}: frames on a phone page`);
  assert.ok(m.scroll <= m.inner, `${what}: ${m.scroll} px wide on a ${m.inner} px screen`);
  // The WCAG 2.1 A and AA rules of axe-core: nothing critical or serious.
  await page.addScriptTag({ content: AXE });
  const faults = await page.evaluate(async () => (await window.axe.run(document, { runOnly: ['wcag2a', 'wcag2aa',
    'wcag21a', 'wcag21aa'] })).violations.filter((v) => /critical|serious/.test(v.impact)).map((v) => `${v.id}: ${v.impact}`));
  assert.deepEqual(faults, [], `${what}: axe-core`);
}

async function submit(page, selector) {
  await Promise.all([page.waitForEvent('load'), page.click(selector)]);
}

// 100 messages fill page 1; the next post starts page 2 on the phone.
test('the board fills its first page', () => http.fillFirstPage(board.port, CREDENTIAL));

for (const phone of PHONES) {
  test(`the phone road: ${phone.name}`, async () => {
    const { context, page, errors, dialogs } = await phonePage(phone);
    const shot = (step) => page.screenshot({ path: path.join(OUT, `phone-${phone.name}-${step}.png`), fullPage: true });

    await page.goto(url(''));
    assert.equal(await page.title(), LOGIN_TITLE);
    await checkPhonePage(page, 'the login page');
    const fontSize = (sel) => page.$eval(sel, (e) => parseFloat(getComputedStyle(e).fontSize));
    assert.ok(await fontSize('input[name=id]') >= 16, 'the ID field is smaller than 16 px');
    await shot('01-login');

    await login(page);
    assert.match(await page.title(), /－\d+－/, 'no phone page after the login');
    await checkPhonePage(page, 'the login reply');
    for (const f of ['input[name=name]', 'input[name=title]', 'textarea[name=text]'])
      assert.ok(await fontSize(f) >= 16, `${f} is smaller than 16 px`);

    // The longest name and title, and a text of 500 characters without a blank.
    const longName = '長'.repeat(50);
    const longTitle = 'W'.repeat(50);
    const typed = `${phone.name}から😀 <b>太字</b> と &amp; の伝言`;
    await page.click('a[href="#formwrite"]');
    await page.fill('input[name=name]', longName);
    await page.fill('input[name=title]', longTitle);
    // 300 emoji: 300 characters, but 2,700 bytes as the board keeps them.
    await page.fill('textarea[name=text]', '😀'.repeat(300));
    await Promise.all([page.waitForEvent('dialog'), page.click('input[name=write]')]);
    assert.match(dialogs.splice(0).join('|'), /^\[ 内容 \]が長すぎます。[^|]*$/, 'no word that the text is too long');
    await page.fill('textarea[name=text]', 'ｘ'.repeat(250) + 'x'.repeat(250));
    await submit(page, 'input[name=write]');
    await checkPhonePage(page, 'the reply to a post of the longest fields');

    await page.fill('input[name=name]', '電話');
    await page.fill('input[name=title]', '携帯から');
    await page.fill('textarea[name=text]', typed);
    await submit(page, 'input[name=write]');
    await checkPhonePage(page, 'the reply to a post');
    // The post leads to its message: the word that it is stored, and the focus on it.
    const led = await page.evaluate(() => [/^#m\d+$/.test(location.hash) && location.hash.slice(1) === document.activeElement.id,
      document.querySelector(':focus h2').textContent, document.querySelector('[role=status]').textContent]);
    assert.deepEqual(led, [true, '携帯から', '投稿しました'], 'the post does not lead to its message');
    const body = await page.innerText('body');
    assert.ok(body.includes(typed), `the message does not read as typed: ${body.slice(0, 400)}`);
    assert.ok(body.includes(longName) && body.includes(longTitle));
    assert.equal(await page.$$eval('hr ~ p b', (bs) => bs.filter((b) => b.textContent === '太字').length), 0,
      '<b> became markup');
    assert.match(await page.title(), /－2－/, 'the post went to page 2');
    await shot('02-board');

    // Another page by its link, then the browser's reload and back.
    await Promise.all([page.waitForEvent('load'), page.click('.pages a[href="wbk_phone_1.html"]')]);
    assert.equal(page.url(), url('wbk_phone_1.html'));
    assert.match(await page.title(), /－1－/);
    assert.match(await page.innerText('body'), /最初のページの100件目/);
    assert.doesNotMatch(await page.innerText('body'), /携帯から/);
    await checkPhonePage(page, 'page 1');
    await page.reload();
    assert.match(await page.innerText('body'), /最初のページの100件目/, 'the reload lost the page');
    await Promise.all([page.waitForEvent('load'), page.click('.pages a[href="wbk_phone_2.html"]')]);
    assert.match(await page.innerText('body'), /携帯から/);
    await page.goBack();
    assert.equal(page.url(), url('wbk_phone_1.html'));
    assert.match(await page.innerText('body'), /最初のページの100件目/, 'back did not show page 1');

    // The reload button: the current page, with the messages of others.
    await submit(page, 'input[name=reload]');
    assert.match(await page.title(), /－2－/);
    assert.match(await page.innerText('body'), /携帯から/);
    await checkPhonePage(page, 'the reload reply');

    // The search box under the page links: the message just posted is found,
    // shown as typed, on a phone page of its own that links the phone pages.
    await page.fill('input[name=q]', typed.split(' ')[0]);
    await submit(page, 'form[action="wbk_search.cgi"] input[type=submit]');
    assert.equal(await page.title(), 'コモレビ　－検索－');
    await checkPhonePage(page, 'the search page');
    const found = await page.innerText('body');
    assert.match(found, /メッセージは\d+件です。/, `nothing found: ${found.slice(0, 400)}`);
    assert.ok(found.includes(typed), 'the found message does not read as typed');
    // Each result links the message itself.
    await submit(page, 'main a[href^="wbk_phone_2.html#m"]');
    assert.match(await page.title(), /－2－/);
    assert.equal(await page.evaluate(() => document.querySelector(`${location.hash} h2`).textContent), '携帯から');

    // Logout, then back: the board is not shown again, nor by its address.
    await submit(page, 'input[name=logout]');
    assert.equal(await page.title(), LOGIN_TITLE);
    await checkPhonePage(page, 'the logout reply');
    await page.goBack().catch(() => {});
    await page.waitForTimeout(300);
    assert.doesNotMatch(await page.innerText('body'), /携帯から|最初のページ/, 'back after the logout shows the board');
    await page.goto(url('wbk_phone_2.html'));
    assert.equal(await page.title(), LOGIN_TITLE, 'a phone page without a session');
    await checkPhonePage(page, 'a phone page without a session');

    // The desktop view, kept until the browser closes, and the way back.
    await Promise.all([page.waitForEvent('load'), page.click('text=パソコン用の表示')]);
    assert.equal(await page.title(), LOGIN_TITLE);
    assert.equal(await page.$('meta[name=viewport]'), null, 'the desktop login page has the phone viewport');
    await page.goto(url(''));
    assert.equal(await page.$('meta[name=viewport]'), null, 'the desktop choice was not kept');
    await login(page);
    assert.ok(page.frame({ name: 'wbk_text' }), 'no frameset after the desktop choice');
    await page.goto(url('?phone'));
    await checkPhonePage(page, 'the phone view chosen again');
    assert.match(await page.innerText('body'), /携帯から/, 'the phone view with a session shows the board');
    assert.deepEqual(errors, []);
    assert.deepEqual(dialogs, []);
    await context.close();
  });
}

// The refusal pages a phone meets lead back into the phone view rather than
// to the frameset. A page the browser shows again from its back-forward cache
// asks the board again: after a logout elsewhere, that gives the login page.
test('the phone refusal pages and the back-forward cache', async () => {
  const limited = await startServer(BINARY, ['--private'], { settings: 'post_limit=1\r\npost_limit_hour=0\r\n' });
  const { context, page, errors, dialogs } = await phonePage(PHONES[1]);
  await page.goto(`http://127.0.0.1:${limited.port}/`);
  await login(page);
  await page.evaluate(() => fetch('wbk_logout.cgi', { method: 'POST', body: 'logout=1' }));
  await Promise.all([page.waitForEvent('load'), page.evaluate(() =>
    window.dispatchEvent(new PageTransitionEvent('pageshow', { persisted: true })))]);
  assert.equal(await page.title(), LOGIN_TITLE, 'the page came back from the cache');
  await login(page);
  for (const text of ['一つ目', '二つ目']) {
    for (const [f, v] of [['input[name=name]', '電話'], ['input[name=title]', '制限'], ['textarea[name=text]', text]])
      await page.fill(f, v);
    await submit(page, 'input[name=write]');
  }
  assert.match(await page.innerText('body'), /投稿の受け付けを一時停止しています/);
  await checkPhonePage(page, 'the post-limit page');
  await submit(page, 'text=伝言板へ戻る');
  assert.match(await page.title(), /－1－/, 'the way back is not the phone view');
  await submit(page, 'input[name=logout]');
  for (let i = 0; i < 6; i++) await login(page, 'wrong');
  assert.match(await page.innerText('body'), /失敗が続いたため一時停止しています/);
  await checkPhonePage(page, 'the paused-login page');
  assert.equal(await page.getAttribute('text=ログインページへ', 'href'), './?phone');
  assert.deepEqual([errors, dialogs], [[], []]);
  await context.close();
  await limited.stop();
});
