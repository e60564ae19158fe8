// The board on a phone: Chromium's phone emulation (an iPhone and an Android
// user agent, 390 and 320 pixels wide) through the whole road on a board with
// private reading on, and on every page the check that it is no wider than
// the screen.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { chromium } = require('playwright-core');

const http = require('./lib/http');
const { startServer } = require('./lib/server');
const { BINARY, OUT, CHROMIUM, CREDENTIAL, LOGIN_TITLE, CHROMIUM_ARGS } = require('./lib/browser');

const IPHONE = 'Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 ' +
  '(KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1';
const ANDROID = 'Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) ' +
  'Chrome/126.0.0.0 Mobile Safari/537.36';
const PHONES = [
  { name: 'iphone-390', userAgent: IPHONE, width: 390 },
  { name: 'android-320', userAgent: ANDROID, width: 320 },
  { name: 'iphone-320', userAgent: IPHONE, width: 320 },
  { name: 'android-390', userAgent: ANDROID, width: 390 },
];

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
  page.on('dialog', (d) => { errors.push(`unexpected dialog: ${d.message()}`); d.dismiss().catch(() => {}); });
  page.on('pageerror', (e) => errors.push(String(e)));
  return { context, page, errors };
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
}

async function submit(page, selector) {
  await Promise.all([page.waitForEvent('load'), page.click(selector)]);
}

// 100 messages fill page 1; the next post starts page 2 on the phone.
test('the board fills its first page', async () => {
  const session = await http.login(board.port, CREDENTIAL, CREDENTIAL);
  for (let i = 1; i <= 100; i++) {
    const r = await http.post(board.port, session, { name: '予め', title: `一頁目${i}`, text: `最初のページの${i}件目` });
    assert.equal(r.status, 200);
  }
});

for (const phone of PHONES) {
  test(`the phone road: ${phone.name}`, async () => {
    const { context, page, errors } = await phonePage(phone);
    const shot = (step) => page.screenshot({ path: path.join(OUT, `phone-${phone.name}-${step}.png`), fullPage: true });

    await page.goto(url(''));
    assert.equal(await page.title(), LOGIN_TITLE);
    await checkPhonePage(page, 'the login page');
    const fontSize = (sel) => page.$eval(sel, (e) => parseFloat(getComputedStyle(e).fontSize));
    assert.ok(await fontSize('input[name=id]') >= 16, 'the ID field is smaller than 16 px');
    await shot('01-login');

    await page.fill('input[name=id]', CREDENTIAL);
    await page.fill('input[name=password]', CREDENTIAL);
    await submit(page, 'input[name=login]');
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
    await page.fill('textarea[name=text]', 'ｘ'.repeat(250) + 'x'.repeat(250));
    await submit(page, 'input[name=write]');
    await checkPhonePage(page, 'the reply to a post of the longest fields');

    await page.fill('input[name=name]', '電話');
    await page.fill('input[name=title]', '携帯から');
    await page.fill('textarea[name=text]', typed);
    await submit(page, 'input[name=write]');
    await checkPhonePage(page, 'the reply to a post');
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
    await Promise.all([page.waitForEvent('load'), page.click('a[href="wbk_phone_2.html"]')]);
    assert.match(await page.title(), /－2－/);

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
    await page.fill('input[name=id]', CREDENTIAL);
    await page.fill('input[name=password]', CREDENTIAL);
    await submit(page, 'input[name=login]');
    assert.ok(page.frame({ name: 'wbk_text' }), 'no frameset after the desktop choice');
    await page.goto(url('?phone'));
    await checkPhonePage(page, 'the phone view chosen again');
    assert.match(await page.innerText('body'), /携帯から/, 'the phone view with a session shows the board');
    assert.deepEqual(errors, []);
    await context.close();
  });
}
