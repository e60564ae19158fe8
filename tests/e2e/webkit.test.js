// The board on a phone in a third engine: Debian's WebKitGTK (MiniBrowser,
// driven by WebKitWebDriver through selenium-webdriver) with an iPhone's user
// agent in a 390 px window, on a board with private reading on. MiniBrowser
// is no narrower than 447 px without a window manager, so it runs in an Xvfb
// screen of 390x844 under matchbox-window-manager. WebKit keeps plain-HTTP
// pages in its back/forward cache even when they say no-store: back after
// the logout must show neither the board nor the search results.
//
//   WEBKIT_DRIVER  the driver (default: /usr/bin/WebKitWebDriver)
//   MINIBROWSER    the browser it starts (default: Debian's MiniBrowser)
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { Builder, By } = require('selenium-webdriver');

const http = require('./lib/http');
const { startServer, freePort, stopChild } = require('./lib/server');
const { BINARY, OUT, CREDENTIAL, LOGIN_TITLE } = require('./lib/browser');

const DRIVER = process.env.WEBKIT_DRIVER || '/usr/bin/WebKitWebDriver';
const MINIBROWSER = process.env.MINIBROWSER || '/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser';
const IPHONE = 'Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 ' +
  '(KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1';
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

let board;
let driver;
const children = [];

// Xvfb picks a free display and writes its number to fd 3; the window
// manager and the driver (and so MiniBrowser) use that display.
async function startDisplay() {
  const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '390x844x24', '-nolisten', 'tcp'],
    { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  children.push(xvfb);
  const number = await new Promise((resolve, reject) => {
    xvfb.stdio[3].once('data', (d) => resolve(String(d).trim()));
    xvfb.once('exit', (code) => reject(new Error(`Xvfb exited with ${code}`)));
  });
  const env = { ...process.env, DISPLAY: `:${number}` };
  children.push(spawn('matchbox-window-manager', ['-use_titlebar', 'no'], { env, stdio: 'ignore' }));
  return env;
}

before(async () => {
  board = await startServer(BINARY, ['--private']);
  // 100 messages fill page 1; the phone's post starts page 2.
  const session = await http.login(board.port, CREDENTIAL, CREDENTIAL);
  for (let i = 1; i <= 100; i++) {
    const r = await http.post(board.port, session, { name: '予め', title: `一頁目${i}`, text: `最初のページの${i}件目` });
    assert.equal(r.status, 200);
  }
  fs.mkdirSync(path.join(OUT, 'webkit'), { recursive: true });
  const env = await startDisplay();
  const port = await freePort();
  const webdriver = spawn(DRIVER, [`--port=${port}`], { env, stdio: 'ignore' });
  children.push(webdriver);
  for (let i = 0; i < 100; i++) {
    if (await fetch(`http://127.0.0.1:${port}/status`).then((r) => r.ok, () => false)) break;
    await sleep(100);
  }
  driver = await new Builder().usingServer(`http://127.0.0.1:${port}`).withCapabilities({
    browserName: 'MiniBrowser',
    'webkitgtk:browserOptions': { binary: MINIBROWSER, args: ['--automation', `--user-agent=${IPHONE}`] },
  }).build();
});

after(async () => {
  if (driver) await driver.quit().catch(() => {});
  for (const child of children.reverse()) await stopChild(child, null);
  if (board) await board.stop();
});

const url = (p) => `http://127.0.0.1:${board.port}/${p}`;
const body = () => driver.findElement(By.css('body')).getText();
// A form's field or button by its name (the forms carry names of their own).
const field = (name) => driver.findElement(By.css(`input[name="${name}"], textarea[name="${name}"]`));
const shot = async (step) => fs.writeFileSync(path.join(OUT, 'webkit', `${step}.png`), await driver.takeScreenshot(), 'base64');

// A look-up that a document's unload cut short, or that named an element of
// a document gone since: WebKitWebDriver answers the first with an error of
// its own ("Callback was not called before the unload event").
const cutShort = (e) => /unload|stale|no such/i.test(`${e.name} ${e.message}`);

// Clicks and waits until another document has replaced this one and loaded.
async function clickAndLoad(element) {
  const old = await (await driver.findElement(By.css('html'))).getId();
  await element.click();
  await driver.wait(async () => {
    try {
      const html = await (await driver.findElement(By.css('html'))).getId();
      return html !== old && await driver.executeScript('return document.readyState') === 'complete';
    } catch (e) {
      if (cutShort(e)) return false;
      throw e;
    }
  }, 10000, 'no new page within 10 s of the click');
}

// Laid out for the 390 px screen, never wider.
async function checkWidth(what) {
  const m = await driver.executeScript(
    'return { inner: window.innerWidth, scroll: document.documentElement.scrollWidth }');
  assert.equal(m.inner, 390, `${what}: the window is not 390 px wide`);
  assert.ok(m.scroll <= m.inner, `${what}: ${m.scroll} px wide on a ${m.inner} px screen`);
}

// Back, then the text shown once the page has settled must not match
// mustNotShow (waiting up to 5 s). A page restored from the back/forward
// cache may reload itself: a look-up the reload cuts short is tried again.
async function checkBack(mustNotShow, step, what) {
  await driver.navigate().back().catch((e) => { if (!cutShort(e)) throw e; });
  let text = null;
  for (let waited = 0; waited < 5000; waited += 250) {
    try {
      const ready = await driver.executeScript('return document.readyState');
      text = await body();
      if (ready === 'complete' && !mustNotShow.test(text)) break;
    } catch (e) {
      if (!cutShort(e)) throw e;
    }
    await sleep(250);
  }
  assert.notEqual(text, null, 'no page could be read after back');
  await shot(step);
  assert.doesNotMatch(text, mustNotShow, what);
}

test('the phone road in WebKit: login, post, search, logout, back', async () => {
  await driver.get(url(''));
  assert.equal(await driver.getTitle(), LOGIN_TITLE);
  await checkWidth('the login page');
  await field('id').sendKeys(CREDENTIAL);
  await field('password').sendKeys(CREDENTIAL);
  await clickAndLoad(await field('login'));
  assert.match(await driver.getTitle(), /－\d+－/, 'no phone page after the login');
  await checkWidth('the login reply');

  // send_keys drops emoji: the message text is set by script.
  const typed = 'WebKitから😀 <b>太字</b> と &amp; の伝言';
  await field('name').sendKeys('電話');
  await field('title').sendKeys('携帯から');
  await driver.executeScript('arguments[0].value = arguments[1]', await field('text'), typed);
  await clickAndLoad(await field('write'));
  assert.match(await driver.getTitle(), /－2－/, 'the post did not go to page 2');
  const posted = await body();
  assert.ok(posted.includes(typed) && posted.includes('携帯から'), `the message does not read as typed: ${posted}`);
  await checkWidth('the reply to a post');
  await shot('01-board');

  // The search box: the message is found, with a link to its page.
  await field('q').sendKeys('WebKitから');
  await clickAndLoad(await field('q').findElement(By.xpath('ancestor::form//input[@type="submit"]')));
  assert.match(await body(), /メッセージは1件です。/, 'nothing found');
  await checkWidth('the search page');
  await shot('02-search');

  // Logout from the phone page the search links to, then back twice.
  await clickAndLoad(await driver.findElement(By.linkText('2ページ')));
  await clickAndLoad(await field('logout'));
  assert.equal(await driver.getTitle(), LOGIN_TITLE);
  await checkBack(/携帯から|最初のページ/, '03-back-after-logout', 'back after the logout shows the board');
  await checkBack(/携帯から|メッセージは\d+件です/, '04-second-back', 'a second back shows the search results');
});
