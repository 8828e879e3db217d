// What the page's tests and its benchmark share: the site (build/web) on a
// local static server, Debian's Chromium driven by playwright-core, the
// stand-in navigator.hid injected before the page loads, and readers of what
// the page shows.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
export const root = path.resolve(here, '..', '..', '..');
export const site = path.resolve(root, process.env.QUELLOADER_SITE || 'build/web');
const require = createRequire(import.meta.url);
export const { expectedFlash } = require('../expected_flash.js');

export const demoHex = fs.readFileSync(path.join(root, 'examples', 'demo-pic18.hex'), 'latin1');

// An Intel HEX file of `bytes` from `base` on: 16-byte records, an extended
// linear address record wherever the upper half of the address changes.
export function hexText(bytes, base = 0) {
  const record = (type, address, data) => {
    const b = [data.length, (address >> 8) & 0xff, address & 0xff, type, ...data];
    const sum = -b.reduce((a, x) => a + x, 0) & 0xff;
    return ':' + [...b, sum].map((x) => x.toString(16).toUpperCase().padStart(2, '0')).join('');
  };
  const lines = [];
  let upper = -1;
  for (let i = 0; i < bytes.length; i += 16) {
    const at = base + i;
    if (at >>> 16 !== upper) {
      upper = at >>> 16;
      lines.push(record(4, 0, [upper >> 8, upper & 0xff]));
    }
    lines.push(record(0, at & 0xffff, Array.from(bytes.subarray(i, i + 16))));
  }
  lines.push(':00000001FF');
  return lines.join('\r\n') + '\r\n';
}

// `n` bytes of a pattern; for a PIC16 every odd byte keeps within 14-bit words.
export function pattern(n, seed, pic16 = false) {
  const out = new Uint8Array(n);
  for (let i = 0; i < n; ++i) out[i] = (seed + i * 7) & (pic16 && i % 2 ? 0x3f : 0xff);
  return out;
}

// python3's http.server on 127.0.0.1 (a secure origin: the page has WebHID).
export async function serve(dir = site) {
  if (!fs.existsSync(path.join(dir, 'index.html'))) throw new Error(`${dir}/index.html is missing: run tools/web.sh first`);
  const port = await new Promise((resolve) => {
    const s = net.createServer().listen(0, '127.0.0.1', () => {
      const p = s.address().port;
      s.close(() => resolve(p));
    });
  });
  const server = spawn('python3', ['-m', 'http.server', String(port), '--bind', '127.0.0.1', '--directory', dir],
                       { stdio: 'ignore' });
  const url = `http://127.0.0.1:${port}/`;
  for (let i = 0; i < 100; ++i) {
    try {
      if ((await fetch(url + 'index.html')).ok) return { url, close: () => server.kill() };
    } catch (e) {
      await new Promise((r) => setTimeout(r, 50));
    }
  }
  server.kill();
  throw new Error('the static server did not start');
}

// --no-sandbox: Chromium refuses its sandbox as root.
export function launch() {
  return chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu'],
  });
}

const standIn = fs.readFileSync(path.join(root, 'web', 'tests', 'fake_webhid.js'), 'utf8');

// A page at `url` in a context of its own. hid: 'stand-in' (navigator.hid
// is the stand-in, its devices the simulated bootloader of a module instance
// of their own, as a board is a device of its own), 'none' (no WebHID at
// all) or 'browser' (the browser's own). Errors the page throws are kept.
export async function openPage(browser, url, { hid = 'stand-in', width = 1024, height = 760 } = {}) {
  const context = await browser.newContext({ viewport: { width, height } });
  if (hid === 'stand-in') {
    await context.addInitScript(`(() => { ${standIn} })();
      (() => {
        const hid = new qlFakeWebHid.FakeHid(null);
        Object.defineProperty(Navigator.prototype, 'hid', { configurable: true, get: () => hid });
        let boards = null;
        // The boards' own module, made once the page has loaded quelloader.js.
        hid.boards = () => (boards = boards || createQuelloader().then((m) => (hid.module = m)));
        window.qlStandIn = hid;
      })();`);
  } else if (hid === 'none') {
    await context.addInitScript('delete Navigator.prototype.hid;');
  }
  const page = await context.newPage();
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(e.message));
  await page.goto(url);
  await page.evaluate(async () => {
    await window.quelloader.ready;
  });
  return page;
}

// Plugs a simulated board in through the stand-in (options as FakeHidDevice
// takes them; `unplugAtReport` pulls it when that output report is sent).
export function plug(page, options) {
  return page.evaluate(async (o) => {
    await qlStandIn.boards();
    const { unplugAtReport, ...rest } = o;
    if (unplugAtReport !== undefined) {
      rest.writes = (report, index) => {
        if (index !== unplugAtReport) return 'ok';
        setTimeout(() => qlStandIn.unplug(window.qlBoard), 0);
        return 'hang';
      };
    }
    window.qlBoard = qlStandIn.plug(rest);
  }, options);
}

// The plugged board: its boot info, flash, and device time (ms).
export function board(page) {
  return page.evaluate(() => {
    const b = window.qlBoard.board;
    return { info: b.bootInfo(), flash: Array.from(b.flash()), resetSeen: b.resetSeen(), deviceTime: b.deviceTime() };
  });
}

export function history(page) {
  return page.$$eval('#history > div', (rows) => rows.map((r) => r.textContent));
}

export function terminal(page) {
  return page.evaluate(async () => (await window.quelloader.ready).terminalLines());
}

export function waitForHistory(page, line, timeout = 30000) {
  return page.waitForFunction(
    (l) => Array.from(document.querySelectorAll('#history > div')).some((d) => d.textContent === l), line, { timeout });
}

// The four buttons as shown: caption (white space as a screen reader reads
// it) and whether they take clicks; each must be what the form holds.
export function buttons(page) {
  return page.evaluate(async () => {
    const { form } = await window.quelloader.ready;
    const ids = { ButtonConnect: 'connect', ButtonOpenHex: 'open-hex', ButtonStartBootloader: 'start', AdvGlowButton1: 'activity' };
    const out = {};
    for (const [control, id] of Object.entries(ids)) {
      const b = document.getElementById(id);
      out[id] = { caption: b.textContent.replace(/\s+/g, ' '), enabled: !b.disabled,
                  form: form.caption(control).replace(/\s+/g, ' ') === b.textContent.replace(/\s+/g, ' ') &&
                        form.enabled(control) === !b.disabled };
    }
    return out;
  });
}

// Picks `name` (text `text`) in the picker that "Browse for HEX" opens.
export async function browse(page, name, text) {
  const [chooser] = await Promise.all([page.waitForEvent('filechooser'), page.click('#open-hex')]);
  await chooser.setFiles({ name, mimeType: 'text/plain', buffer: Buffer.from(text, 'latin1') });
}

// The image the loader makes of `text` for `family`, by the page's module.
export function loadHex(page, text, name, family) {
  return page.evaluate(async ([t, n, f]) => {
    const { module } = await window.quelloader.ready;
    const r = module.loadHex(t, n, f);
    return { status: r.status, size: r.size, bytes: Array.from(r.bytes) };
  }, [text, name, family]);
}
