// A plain HTTP/1.0 client for the board: one connection per request, the
// reply read until the server closes, forms percent-encoded in Shift_JIS the
// way a browser sends them from a Shift_JIS page.
'use strict';

const net = require('node:net');
const iconv = require('iconv-lite');

// application/x-www-form-urlencoded over Shift_JIS bytes: the bytes a browser
// leaves as they are, "+" for a blank, upper-case %XX for everything else.
function encodeSjis(text) {
  const bytes = iconv.encode(text, 'Shift_JIS');
  let out = '';
  for (const b of bytes) {
    const c = String.fromCharCode(b);
    if (/[A-Za-z0-9*\-._]/.test(c)) out += c;
    else if (b === 0x20) out += '+';
    else out += '%' + b.toString(16).toUpperCase().padStart(2, '0');
  }
  return out;
}

function encodeForm(fields) {
  return Object.entries(fields)
    .map(([k, v]) => `${k}=${encodeSjis(v)}`)
    .join('&');
}

function decodeSjis(buffer) {
  return iconv.decode(buffer, 'Shift_JIS');
}

// Sends one request (from localAddress, a 127.x address, when given) and resolves with {status, headers, head, body (Buffer),
// text (body decoded from Shift_JIS)} once the server has closed.
function request(port, { method = 'GET', path = '/', headers = {}, body = '', localAddress } = {}) {
  return new Promise((resolve, reject) => {
    const payload = Buffer.isBuffer(body) ? body : Buffer.from(body, 'latin1');
    const lines = [`${method} ${path} HTTP/1.0`, 'Host: 127.0.0.1'];
    for (const [k, v] of Object.entries(headers)) lines.push(`${k}: ${v}`);
    if (method === 'POST') {
      lines.push('Content-Type: application/x-www-form-urlencoded');
      lines.push(`Content-Length: ${payload.length}`);
    }
    const head = Buffer.from(lines.join('\r\n') + '\r\n\r\n', 'latin1');
    const chunks = [];
    const socket = net.connect({ host: '127.0.0.1', port, localAddress });
    socket.setTimeout(15000, () => socket.destroy(new Error(`no reply to ${method} /${path} within 15 s`)));
    socket.on('connect', () => socket.end(Buffer.concat([head, payload])));
    socket.on('data', (d) => chunks.push(d));
    socket.on('error', reject);
    socket.on('close', (hadError) => {
      if (hadError) return;
      resolve(parseReply(Buffer.concat(chunks)));
    });
  });
}

// Header lines of this server end in a bare line feed; accept CR LF as well.
function parseReply(raw) {
  if (raw.length === 0) return { status: null, headers: {}, head: '', body: raw, text: '', raw };
  let end = -1;
  let sep = 0;
  for (let i = 0; i < raw.length - 1; i++) {
    if (raw[i] === 0x0a && raw[i + 1] === 0x0a) { end = i; sep = 2; break; }
    if (raw[i] === 0x0a && raw[i + 1] === 0x0d && raw[i + 2] === 0x0a) { end = i; sep = 3; break; }
  }
  if (end < 0) throw new Error('reply without a header end: ' + raw.toString('latin1').slice(0, 200));
  const head = raw.subarray(0, end).toString('latin1');
  const [statusLine, ...headerLines] = head.split('\n').map((l) => l.replace(/\r$/, ''));
  const headers = {};
  for (const l of headerLines) {
    const colon = l.indexOf(':');
    if (colon > 0) headers[l.slice(0, colon).trim().toLowerCase()] = l.slice(colon + 1).trim();
  }
  const body = raw.subarray(end + sep);
  const status = Number((statusLine.match(/^HTTP\/\d\.\d (\d{3})/) || [])[1]);
  return { status, statusLine, headers, head, body, text: decodeSjis(body), raw };
}

// Logs in and returns the SESSIONID value the server handed out.
async function login(port, id, password) {
  const r = await request(port, { method: 'POST', path: '/wbk_login.cgi', body: encodeForm({ id, password }) });
  const m = /SESSIONID=(-?\d+);/.exec(r.headers['set-cookie'] || '');
  if (!m) throw new Error('login gave no SESSIONID cookie: ' + r.head);
  return m[1];
}

function post(port, session, fields) {
  return request(port, {
    method: 'POST',
    path: '/wbk_write.cgi',
    headers: { Cookie: `SESSIONID=${session}` },
    body: encodeForm(fields),
  });
}

// 100 messages fill the board's first page: the next post starts page 2.
async function fillFirstPage(port, credential) {
  const session = await login(port, credential, credential);
  for (let i = 1; i <= 100; i++) {
    const r = await post(port, session, { name: '予め', title: `一頁目${i}`, text: `最初のページの${i}件目` });
    if (r.status !== 200) throw new Error(`post ${i} of the first page: ${r.statusLine}`);
  }
}

module.exports = { encodeSjis, encodeForm, decodeSjis, request, parseReply, login, post, fillFirstPage };
