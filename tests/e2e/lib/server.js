// Starts the Komorebi program on 127.0.0.1 in a fresh directory on a free
// port, and stops it again.
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.on('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

function canConnect(port) {
  return new Promise((resolve) => {
    const c = net.connect({ host: '127.0.0.1', port });
    c.on('connect', () => { c.destroy(); resolve(true); });
    c.on('error', () => resolve(false));
  });
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// True when process pid holds the socket listening on 127.0.0.1:port, so
// that a listener somebody else left on the port is never taken for ours.
function ownsListener(pid, port) {
  const want = `0100007F:${port.toString(16).toUpperCase().padStart(4, '0')}`;
  let inode = null;
  for (const line of fs.readFileSync('/proc/net/tcp', 'latin1').split('\n').slice(1)) {
    const f = line.trim().split(/\s+/);
    if (f[1] === want && f[3] === '0A') inode = f[9];
  }
  if (!inode) return false;
  let fds = [];
  try { fds = fs.readdirSync(`/proc/${pid}/fd`); } catch { return false; }
  return fds.some((fd) => {
    try { return fs.readlinkSync(`/proc/${pid}/fd/${fd}`) === `socket:[${inode}]`; } catch { return false; }
  });
}

// Resolves with {port, dir, child, stop()} once the program listens. Another
// process may take the chosen port between the probe and the bind; the
// program then exits at once and another port is tried. With { console: true }
// the program reads the owner's commands from a pipe: command(lines) sends
// them and resolves with the console's output once it shows `until`. settings: DATA/settings.ini's text.
async function startServer(binary, extraArgs = [], { console: withConsole = false, settings } = {}) {
  if (!fs.existsSync(binary)) throw new Error(`no program at ${binary}; build it first (make)`);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'komorebi-e2e-'));
  // The suites post faster than a person: the board gets no post limits.
  fs.mkdirSync(path.join(dir, 'DATA'));
  fs.writeFileSync(path.join(dir, 'DATA', 'settings.ini'), settings || 'post_limit=0\r\npost_limit_hour=0\r\n');
  for (let attempt = 0; attempt < 5; attempt++) {
    const port = await freePort();
    const child = spawn(binary, ['--start', ...(withConsole ? [] : ['--no-console']), '--bind', '127.0.0.1', '--port',
      String(port), '--dir', dir, ...extraArgs],
      { stdio: [withConsole ? 'pipe' : 'ignore', withConsole ? 'pipe' : 'ignore', 'pipe'] });
    let stderr = '';
    child.stderr.on('data', (d) => { stderr += d; });
    let stdout = '';
    if (withConsole) child.stdout.on('data', (d) => { stdout += d; });
    const command = async (lines, until, timeout = 5000) => {
      const from = stdout.length;
      child.stdin.write(lines);
      for (let waited = 0; !stdout.slice(from).includes(until); waited += 50) {
        if (waited > timeout) throw new Error(`the console did not say "${until}": ${stdout.slice(from)}`);
        await sleep(50);
      }
      return stdout.slice(from);
    };
    let exited = false;
    child.on('exit', () => { exited = true; });
    for (let i = 0; i < 100 && !exited; i++) {
      if (ownsListener(child.pid, port) && (await canConnect(port))) {
        const stop = () => stopChild(child, dir);
        return { port, dir, child, stop, stderr: () => stderr, command };
      }
      await sleep(50);
    }
    if (!exited) {
      await stopChild(child, null);
      throw new Error(`the program did not listen on 127.0.0.1:${port} within 5 s: ${stderr}`);
    }
  }
  throw new Error('the program did not start on any of five free ports');
}

async function stopChild(child, dir) {
  if (child.exitCode === null && child.signalCode === null) {
    const gone = new Promise((r) => child.once('exit', r));
    child.kill('SIGTERM');
    const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
    await gone;
    clearTimeout(timer);
  }
  if (dir && !process.env.KOMOREBI_E2E_KEEP) fs.rmSync(dir, { recursive: true, force: true });
}

module.exports = { startServer, freePort, ownsListener, stopChild };
