// The board in a second browser engine: Debian's Firefox ESR, headless,
// driven by puppeteer-core over WebDriver BiDi (no browser is downloaded).
// A person logs in and follows the menu's page links, one click each.
// Firefox ESR 140 (Debian 12 as released) and 153 (as updated) both pass.
//
//   FIREFOX  the browser (default: /usr/bin/firefox-esr)
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const puppeteer = require('puppeteer-core');

const http = require('./lib/http');
const { startServer } = require('./lib/server');
const { BINARY, OUT, FIREFOX, CREDENTIAL, LOGIN_TITLE } = require('./lib/browser');

let server;
let browser;
let page;

before(async () => {
  server = await startServer(BINARY);
  // The window's size is set at launch: puppeteer's setViewport also sends
  // emulation.setScreenOrientationOverride, which Firefox ESR 140 (Debian 12
  // as released) does not know, and no viewport means none is sent.
  browser = await puppeteer.launch({ browser: 'firefox', executablePath: FIREFOX, headless: true,
    defaultViewport: null, args: ['--width=1280', '--height=800'] });
  page = await browser.newPage();
  page.on('dialog', (d) => d.dismiss().catch(() => {}));
});

after(async () => {
  if (browser) await browser.close();
  if (server) await server.stop();
});

const url = (p) => `http://127.0.0.1:${server.port}/${p}`;

// The menu's page number and the text frame's page, read from the top window.
function shown() {
  return page.evaluate(() => {
    const m = /－(\d+)－/.exec(window.frames['wbk_menu'].document.body.innerText);
    const t = /wbk_text_(\d+)\.html$/.exec(window.frames['wbk_text'].location.pathname);
    return { menu: m ? Number(m[1]) : null, text: t ? Number(t[1]) : null };
  });
}

// Clicks the menu's link to page n once and waits until both the text frame
// and the menu frame hold fresh documents, the text frame page n's.
async function followPageLink(n) {
  await page.evaluate(() => { window.frames['wbk_menu'].stale = 1; window.frames['wbk_text'].stale = 1; });
  // The mouse goes to the link's middle, found from the top window: an
  // element handle's click inside a frame asks for the frame's element with
  // a locator that Firefox ESR 140 does not know.
  const at = await page.evaluate((text) => {
    const { document: menu, frameElement: frame } = window.frames['wbk_menu'];
    const links = [...menu.querySelectorAll('a')].filter((a) => a.textContent === text);
    if (links.length !== 1) return null;
    const [f, l] = [frame.getBoundingClientRect(), links[0].getBoundingClientRect()];
    return { x: f.left + frame.clientLeft + l.left + l.width / 2, y: f.top + frame.clientTop + l.top + l.height / 2,
      right: f.right, bottom: f.bottom };
  }, String(n));
  assert.ok(at, `the menu has no single link to page ${n}`);
  assert.ok(at.x < at.right && at.y < at.bottom, `the link to page ${n} is outside the menu frame`);
  await page.mouse.click(at.x, at.y);
  await page.waitForFunction((want) => {
    const m = window.frames['wbk_menu'];
    const t = window.frames['wbk_text'];
    return m && t && !m.stale && !t.stale && m.document.readyState === 'complete' &&
      t.document.readyState === 'complete' && t.location.pathname === `/wbk_text_${want}.html`;
  }, { timeout: 10000 }, n);
}

test('in Firefox each page link, clicked once, shows its page and the menu its number', async () => {
  await page.goto(url(''));
  assert.equal(await page.title(), LOGIN_TITLE);
  await page.type('input[name=id]', CREDENTIAL);
  await page.type('input[name=password]', CREDENTIAL);
  await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), page.click('input[name=login]')]);
  const session = (await page.cookies(url(''))).find((c) => c.name === 'SESSIONID');
  assert.ok(session, 'the browser holds no SESSIONID cookie');
  for (let i = 1; i <= 101; i++) {
    const r = await http.post(server.port, session.value, { name: `送信者${i}`, title: `題${i}`, text: `本文 ${i}` });
    assert.equal(r.status, 200);
  }
  await page.goto(url('wbk_main.html'), { waitUntil: 'load' });
  assert.deepEqual(await shown(), { menu: 2, text: 2 });

  for (const n of [1, 2, 1]) {
    await followPageLink(n);
    assert.deepEqual(await shown(), { menu: n, text: n }, `after one click on page ${n}'s link`);
  }
  // Beside the Chromium suite's screenshots, which it clears at its start.
  fs.mkdirSync(path.join(OUT, 'firefox'), { recursive: true });
  await page.screenshot({ path: path.join(OUT, 'firefox', 'page-link.png') });
});
