// The board behind a real TLS proxy, as the owner's guide sets it up: the
// board on 127.0.0.1 with --proxy 127.0.0.1, Caddy or nginx in front of it
// serving https. A browser uses it as a visitor would; plain clients from
// other loopback addresses stand for visitors on other hosts.
'use strict';

const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const https = require('node:https');
const path = require('node:path');
const { chromium } = require('playwright-core');

const http = require('./lib/http');
const { startServer } = require('./lib/server');
const { startProxy } = require('./lib/proxy');
const { BINARY, OUT, CHROMIUM, CREDENTIAL, LOGIN_TITLE, CHROMIUM_ARGS } = require('./lib/browser');

let browser;
before(async () => {
  browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS });
});
after(async () => { if (browser) await browser.close(); });

// One request through the proxy, from localAddress; resolves with {status, headers, text}.
function viaProxy(port, localAddress, { method = 'GET', path: target = '/', body = '' } = {}) {
  return new Promise((resolve, reject) => {
    const req = https.request({
      host: '127.0.0.1', port, method, path: target, localAddress, agent: false, rejectUnauthorized: false,
      headers: method === 'POST'
        ? { 'Content-Type': 'application/x-www-form-urlencoded', 'Content-Length': Buffer.byteLength(body) } : {},
    }, (res) => {
      const chunks = [];
      res.on('data', (d) => chunks.push(d));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, text: http.decodeSjis(Buffer.concat(chunks)) }));
    });
    req.on('error', reject);
    req.setTimeout(15000, () => req.destroy(new Error(`no reply to ${method} ${target} within 15 s`)));
    req.end(body);
  });
}

const loginForm = (password) => http.encodeForm({ id: CREDENTIAL, password });
const cookieOf = (r) => /SESSIONID=(\d+);/.exec([].concat(r.headers['set-cookie'] || []).join('\n') || '')?.[1];

for (const name of ['caddy', 'nginx']) {
  describe(`behind ${name}`, () => {
    let board;
    let proxy;
    const sessions = () => fs.readFileSync(path.join(board.dir, 'DATA', 'SESSION', 'session.ini'), 'latin1');

    before(async () => {
      board = await startServer(BINARY, ['--proxy', '127.0.0.1']);
      proxy = await startProxy(name, board.port);
    });
    after(async () => {
      if (proxy) await proxy.stop();
      if (board) await board.stop();
    });

    test('a browser logs in, posts, reloads and logs out over https', async (t) => {
      if (!proxy) return t.skip(`${name} is not installed`);
      const context = await browser.newContext({ ignoreHTTPSErrors: true });
      const page = await context.newPage();
      page.on('dialog', (d) => d.dismiss().catch(() => {}));
      const first = await page.goto(`https://127.0.0.1:${proxy.port}/`);
      assert.equal(await page.title(), LOGIN_TITLE);
      const headers = first.headers();
      assert.deepEqual([headers['x-frame-options'], headers['x-content-type-options'], headers['referrer-policy']],
        ['SAMEORIGIN', 'nosniff', 'same-origin'], `${name} did not tell the board the request came as https`);
      await page.fill('input[name=id]', CREDENTIAL);
      await page.fill('input[name=password]', CREDENTIAL);
      await Promise.all([page.waitForEvent('load'), page.click('input[name=login]')]);
      assert.ok(page.frame({ name: 'wbk_text' }), 'the login through the proxy was refused');
      const cookie = (await context.cookies()).find((c) => c.name === 'SESSIONID');
      assert.deepEqual(cookie && [cookie.path, cookie.secure, cookie.httpOnly, cookie.sameSite], ['/', true, true, 'Lax']);
      const input = page.frame({ name: 'wbk_input' });
      await input.fill('input[name=name]', '木漏れ日');
      await input.fill('input[name=title]', `${name} 経由`);
      await input.fill('textarea[name=text]', `https で届いた伝言 (${name})`);
      await Promise.all([page.waitForEvent('load'), input.click('input[name=write]')]);
      assert.match(await page.frame({ name: 'wbk_text' }).innerText('body'), new RegExp(`https で届いた伝言 \\(${name}\\)`),
        'the post through the proxy was not stored');
      await page.screenshot({ path: path.join(OUT, `proxy-${name}.png`) });
      await Promise.all([page.waitForEvent('load'), page.frame({ name: 'wbk_menu' }).click('input[name=reload]')]);
      assert.match(await page.frame({ name: 'wbk_text' }).innerText('body'), /https で届いた伝言/, 'the reload was refused');
      await Promise.all([page.waitForEvent('load'), page.frame({ name: 'wbk_menu' }).click('input[name=logout]')]);
      assert.equal(await page.title(), LOGIN_TITLE);
      assert.doesNotMatch(sessions(), /ipaddress=127\.0\.0\.1:/, 'the logout removed nothing');
      await context.close();
    });

    test('a guesser from one address is paused; a visitor from another logs in at once', async (t) => {
      if (!proxy) return t.skip(`${name} is not installed`);
      let last;
      for (let i = 0; i < 6; i++)
        last = await viaProxy(proxy.port, '127.0.0.2', { method: 'POST', path: '/wbk_login.cgi', body: loginForm('guess') });
      assert.match(last.text, /失敗が続いたため一時停止しています。/, 'the sixth guess was not told of the pause');
      const right = await viaProxy(proxy.port, '127.0.0.2', { method: 'POST', path: '/wbk_login.cgi', body: loginForm(CREDENTIAL) });
      assert.equal(cookieOf(right), undefined, 'the guesser got in');
      const other = await viaProxy(proxy.port, '127.0.0.3', { method: 'POST', path: '/wbk_login.cgi', body: loginForm(CREDENTIAL) });
      const cookie = cookieOf(other);
      assert.ok(cookie, 'the visitor from another address was locked out with the guesser');
      assert.match(sessions(), new RegExp(`ipaddress=127\\.0\\.0\\.3:cookieid=${cookie}:`), 'the session is not the client\'s');
    });

    test('a request straight to the board chooses no address of its own', async (t) => {
      if (!proxy) return t.skip(`${name} is not installed`);
      // 127.0.0.2 is paused (above): claiming it changes nothing, and claiming
      // another address does not put it in the session line.
      const r = await http.request(board.port, {
        method: 'POST', path: '/wbk_login.cgi', localAddress: '127.0.0.4',
        headers: { 'X-Forwarded-For': '127.0.0.2', 'X-Forwarded-Proto': 'https' }, body: loginForm(CREDENTIAL),
      });
      const m = /^SESSIONID=(\d+);$/.exec(r.headers['set-cookie'] || '');
      assert.ok(m, 'the forwarded address or scheme was believed from a peer that is not the proxy');
      assert.equal(r.headers['x-frame-options'], undefined);
      assert.match(sessions(), new RegExp(`ipaddress=127\\.0\\.0\\.4:cookieid=${m[1]}:`));
    });
  });
}
