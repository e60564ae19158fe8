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
const { BINARY, OUT, CREDENTIAL, LOGIN_TITLE, IPHONE } = require('./lib/browser');

const DRIVER = process.env.WEBKIT_DRIVER || '/usr/bin/WebKitWebDriver';
const MINIBROWSER = process.env.MINIBROWSER || '/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser';

let board;
let driver;
const children = [];  // Xvfb, its window manager and the driver, stopped last to first
const start = (...args) => { const child = spawn(...args); children.push(child); return child; };

before(async () => {
  board = await startServer(BINARY, ['--private']);
  await http.fillFirstPage(board.port, CREDENTIAL);
  fs.mkdirSync(path.join(OUT, 'webkit'), { recursive: true });
  // Xvfb picks a free display and writes its number to fd 3; the window
  // manager and the driver (and so MiniBrowser) use that display.
  const xvfb = start('Xvfb', ['-displayfd', '3', '-screen', '0', '390x844x24', '-nolisten', 'tcp'],
    { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  const display = await new Promise((resolve, reject) => {
    xvfb.stdio[3].once('data', (d) => resolve(`:${String(d).trim()}`));
    xvfb.once('exit', (code) => reject(new Error(`Xvfb exited with ${code}`)));
  });
  const env = { ...process.env, DISPLAY: display };
  start('matchbox-window-manager', ['-use_titlebar', 'no'], { env, stdio: 'ignore' });
  const port = await freePort();
  start(DRIVER, [`--port=${port}`], { env, stdio: 'ignore' });
  const server = `http://127.0.0.1:${port}`;
  for (let i = 0; i < 100 && !(await fetch(`${server}/status`).then((r) => r.ok, () => false)); i++)
    await new Promise((r) => setTimeout(r, 100));
  driver = await new Builder().usingServer(server).withCapabilities({
    browserName: 'MiniBrowser',
    'webkitgtk:browserOptions': { binary: MINIBROWSER, args: ['--automation', `--user-agent=${IPHONE}`] },
  }).build();
});

after(async () => {
  if (driver) await driver.quit().catch(() => {});
  for (const child of children.reverse()) await stopChild(child, null);
  if (board) await board.stop();
});

const body = () => driver.findElement(By.css('body')).getText();
// A form's field or button by its name (the forms carry names of their own).
const field = (name) => driver.findElement(By.css(`input[name="${name}"], textarea[name="${name}"]`));
const shot = async (step) => fs.writeFileSync(path.join(OUT, 'webkit', `${step}.png`), await driver.takeScreenshot(), 'base64');
const loaded = async () => await driver.executeScript('return document.readyState') === 'complete';
const root = async () => (await driver.findElement(By.css('html'))).getId();

// A look-up that a document's unload cut short, or that named an element of
// a document gone since: WebKitWebDriver answers the first with an error of
// its own ("Callback was not called before the unload event"). Such a
// look-up counts as "not yet" while a page is waited for.
const cutShort = (e) => { if (/unload|stale|no such/i.test(`${e.name} ${e.message}`)) return false; throw e; };
const until = (settled, ms, what) => driver.wait(() => settled().catch(cutShort), ms, what);

// Laid out for the 390 px screen, never wider.
async function checkWidth(what) {
  const [inner, scroll] = await driver.executeScript('return [window.innerWidth, document.documentElement.scrollWidth]');
  assert.deepEqual([inner, scroll <= inner], [390, true], `${what}: ${scroll} px wide in a window of ${inner} px`);
}

// Clicks the named field or button (a locator for anything else) and waits
// until another document has replaced this one and loaded.
async function clickAndLoad(target, what) {
  const old = await root();
  await (typeof target === 'string' ? field(target) : driver.findElement(target)).click();
  await until(async () => await root() !== old && await loaded(), 10000, 'no new page within 10 s of the click');
  await checkWidth(what);
}

// Back, then the text shown once the page has settled must not match
// mustNotShow (waiting up to 5 s). A page restored from the back/forward
// cache may reload itself: a look-up the reload cuts short is tried again.
async function checkBack(mustNotShow, step, what) {
  await driver.navigate().back().catch(cutShort);
  let text = null;
  await until(async () => !mustNotShow.test(text = await body()) && await loaded(), 5000)
    .catch((e) => { if (e.name !== 'TimeoutError') throw e; });
  assert.notEqual(text, null, 'no page could be read after back');
  await shot(step);
  assert.doesNotMatch(text, mustNotShow, what);
}

test('the phone road in WebKit: login, post, search, logout, back', async () => {
  await driver.get(`http://127.0.0.1:${board.port}/`);
  await checkWidth('the login page');
  for (const name of ['id', 'password']) await field(name).sendKeys(CREDENTIAL);
  await clickAndLoad('login', 'the login reply');

  // send_keys drops emoji: the message text is set by script.
  const typed = 'WebKitから😀 <b>太字</b> と &amp; の伝言';
  await field('name').sendKeys('電話');
  await field('title').sendKeys('携帯から');
  await driver.executeScript('arguments[0].value = arguments[1]', await field('text'), typed);
  await clickAndLoad('write', 'the reply to a post');
  const posted = await body();
  assert.ok(posted.includes(typed) && posted.includes('携帯から'), `the message does not read as typed: ${posted}`);
  await shot('01-board');

  // The search box: the message is found, with a link to its page.
  await field('q').sendKeys('WebKitから');
  await clickAndLoad(By.xpath('//input[@name="q"]/ancestor::form//input[@type="submit"]'), 'the search page');
  assert.match(await body(), /メッセージは1件です。/, 'nothing found');
  await shot('02-search');

  // Logout from the phone page the search links to, then back twice.
  await clickAndLoad(By.linkText('2ページ'), 'page 2');
  await clickAndLoad('logout', 'the logout reply');
  assert.equal(await driver.getTitle(), LOGIN_TITLE);
  await checkBack(/携帯から|最初のページ/, '03-back-after-logout', 'back after the logout shows the board');
  await checkBack(/携帯から|メッセージは\d+件です/, '04-second-back', 'a second back shows the search results');
});
