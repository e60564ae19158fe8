// What the browser test files share: where the program, the screenshots,
// Chromium and Firefox are, the board's default credential, and how Chromium is started
// (headless, and without the background connections this machine refuses).
'use strict';

const path = require('node:path');

const ROOT = path.resolve(__dirname, '..', '..', '..');

module.exports = {
  BINARY: process.env.KOMOREBI_BIN || path.join(ROOT, 'build', 'komorebi'),
  OUT: process.env.KOMOREBI_E2E_OUT || path.join(ROOT, 'build', 'e2e'),
  CHROMIUM: process.env.CHROMIUM || '/usr/bin/chromium',
  FIREFOX: process.env.FIREFOX || '/usr/bin/firefox-esr',
  CREDENTIAL: 'quietharborlights',
  LOGIN_TITLE: 'コモレビ　－ログイン－',
  IPHONE: 'Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 ' +
    '(KHTML, like Gecko) Version/17.5 Mobile/15E148 Safari/604.1',
  CHROMIUM_ARGS: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
    '--disable-sync', '--no-first-run'],
};
