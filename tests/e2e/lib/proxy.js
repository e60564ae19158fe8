// Starts a TLS reverse proxy in front of the board on 127.0.0.1, as the
// owner's guide sets one up: Caddy with its own local certificate authority
// ("tls internal"), or nginx with a self-signed certificate made here. Both
// pass the browser's Host on and add X-Forwarded-For and X-Forwarded-Proto.
'use strict';

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { freePort, stopChild } = require('./server');

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function which(cmd) {
  for (const dir of (process.env.PATH || '').split(':').concat(['/usr/sbin', '/usr/bin'])) {
    const p = path.join(dir, cmd);
    try { fs.accessSync(p, fs.constants.X_OK); return p; } catch { /* next */ }
  }
  return null;
}

// The same site blocks as docs/guide.ja.md gives, with test ports and paths.
function caddyfile(port, httpPort, boardPort, dir) {
  return `{
\tadmin off
\tskip_install_trust
\thttp_port ${httpPort}
\tstorage file_system ${dir}/caddy-data
}
https://127.0.0.1:${port} {
\ttls internal
\treverse_proxy 127.0.0.1:${boardPort}
}
`;
}

function nginxConf(port, boardPort, dir) {
  return `daemon off;
master_process off;
pid ${dir}/nginx.pid;
error_log ${dir}/error.log;
events {}
http {
  access_log off;
  client_body_temp_path ${dir}/body;
  proxy_temp_path ${dir}/proxy;
  fastcgi_temp_path ${dir}/fastcgi;
  uwsgi_temp_path ${dir}/uwsgi;
  scgi_temp_path ${dir}/scgi;
  server {
    listen 127.0.0.1:${port} ssl;
    ssl_certificate ${dir}/board.crt;
    ssl_certificate_key ${dir}/board.key;
    location / {
      proxy_pass http://127.0.0.1:${boardPort};
      proxy_set_header Host $http_host;
      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
      proxy_set_header X-Forwarded-Proto $scheme;
    }
  }
}
`;
}

// Resolves with {name, port, stop()} once the proxy accepts TLS on
// 127.0.0.1:port, or null when that proxy is not installed.
async function startProxy(name, boardPort) {
  const binary = which(name);
  if (!binary) return null;
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), `komorebi-${name}-`));
  const port = await freePort();
  let child;
  if (name === 'caddy') {
    const file = path.join(dir, 'Caddyfile');
    fs.writeFileSync(file, caddyfile(port, await freePort(), boardPort, dir));
    child = spawn(binary, ['run', '--config', file, '--adapter', 'caddyfile'],
      { stdio: ['ignore', 'ignore', 'pipe'], env: { ...process.env, HOME: dir, XDG_DATA_HOME: dir, XDG_CONFIG_HOME: dir } });
  } else {
    execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj', '/CN=127.0.0.1',
      '-addext', 'subjectAltName=IP:127.0.0.1', '-keyout', path.join(dir, 'board.key'), '-out', path.join(dir, 'board.crt')],
    { stdio: 'ignore' });
    fs.writeFileSync(path.join(dir, 'nginx.conf'), nginxConf(port, boardPort, dir));
    child = spawn(binary, ['-p', dir, '-c', path.join(dir, 'nginx.conf')], { stdio: ['ignore', 'ignore', 'pipe'] });
  }
  let log = '';
  child.stderr.on('data', (d) => { log += d; });
  const stop = () => stopChild(child, dir);
  const tls = require('node:tls');
  for (let i = 0; i < 200 && child.exitCode === null; i++) {
    const ready = await new Promise((resolve) => {
      const s = tls.connect({ host: '127.0.0.1', port, rejectUnauthorized: false, servername: undefined }, () => {
        s.destroy();
        resolve(true);
      });
      s.on('error', () => resolve(false));
    });
    if (ready) return { name, port, stop, log: () => log };
    await sleep(50);
  }
  await stop();
  throw new Error(`${name} did not serve TLS on 127.0.0.1:${port}: ${log}`);
}

module.exports = { startProxy, caddyfile, nginxConf };
