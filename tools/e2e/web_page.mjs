// The page in the guest's Chromium on the browser's own WebHID, against the
// simulated bootloader made through /dev/uhid: no stand-in and no chooser
// (the managed policy the guest writes grants the simulator's USB ID to the
// page's origin). Runs in the host's root; the scenario compares the flash.
// playwright-core is taken from beside this file (the guest copies it
// there), else from the page tests' folder.
//
//   node web_page.mjs flash SITE URL HEXFILE DEVICE   (one upload, start to reset)
//   node web_page.mjs hotplug SITE URL HEXFILE DEVICE (the board is plugged in
//                                                      once the page shows no link)
//   node web_page.mjs unplug SITE URL HEXFILE DEVICE  (the board leaves the bus
//                                                      in the middle of the write)
// Prints one line per step ("page: ..."); exit 0 when the page ended the
// upload with "Completed successfully." and the end dialog, or for unplug
// with the removal, no end dialog and no link.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const pageTests = path.resolve(here, '..', '..', 'web', 'tests', 'browser', 'package.json');
const playwright = () => {
  try {
    return createRequire(import.meta.url)('playwright-core');
  } catch (e) {
    return createRequire(pageTests)('playwright-core');
  }
};
const { chromium } = playwright();

const [mode, site, url, hexFile, device] = process.argv.slice(2);
const t0 = Date.now();
const say = (line) => console.log(`page: [${((Date.now() - t0) / 1000).toFixed(1)} s] ${line}`);
const kLimit = 240000;

const port = new URL(url).port;
const server = spawn('python3', ['-m', 'http.server', port, '--bind', '127.0.0.1', '--directory', site], { stdio: 'ignore' });
let browser;
try {
  for (let i = 0; ; ++i) {
    try {
      if ((await fetch(url + 'index.html')).ok) break;
    } catch (e) {
      if (i > 400) throw new Error('the static server did not start');
      await new Promise((r) => setTimeout(r, 100));
    }
  }
  say('site served');
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', ...(process.env.CHROMIUM_ARGS || '').split(' ').filter(Boolean)],
    timeout: kLimit,
  });
  say(`Chromium ${browser.version()} started`);
  const context = await browser.newContext({ viewport: { width: 1024, height: 760 } });
  context.setDefaultTimeout(kLimit);
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  page.on('dialog', (d) => { say(`dialog: ${d.message()}`); d.dismiss(); });
  await page.goto(url, { timeout: kLimit });
  await page.evaluate(async () => { await window.quelloader.ready; });
  say('page ready');
  const history = () => page.$$eval('#history > div', (rows) => rows.map((r) => r.textContent));
  const waitForHistory = (line) => page.waitForFunction(
    (l) => Array.from(document.querySelectorAll('#history > div')).some((d) => d.textContent === l), line, { timeout: kLimit });
  if (mode === 'hotplug') {
    if (await page.getAttribute('#link', 'data-link') === '1') throw new Error('a board is linked before it was plugged in');
    fs.writeFileSync('page-ready', '');
    say('waiting for the board');
  }
  await page.waitForSelector('#link[data-link="1"]', { timeout: kLimit / 2 });
  const shown = await page.textContent('#device');
  say(`linked: ${shown}`);
  if (shown !== device) throw new Error(`the page shows the device "${shown}", not "${device}"`);
  await page.click('#connect');
  await waitForHistory('Connected.');
  say('connected');
  const [chooser] = await Promise.all([page.waitForEvent('filechooser'), page.click('#open-hex')]);
  await chooser.setFiles(hexFile);
  const name = path.basename(hexFile);
  await waitForHistory('Opened: ' + name);
  say(`opened ${name}`);
  const started = Date.now();
  await page.click('#start');
  if (mode === 'unplug') {
    await waitForHistory(`Error: Device ${device} removed.`);
    const h = await history();
    say(`removed: ${h.slice(h.indexOf('Uploading:')).join(' | ')}`);
    if (h.includes('Completed successfully.')) throw new Error('the upload was reported a success');
    if (await page.isVisible('#end-dialog')) throw new Error('the end dialog is shown');
    await page.waitForSelector('#link[data-link="0"]', { timeout: kLimit });
    if (errors.length) throw new Error(`the page threw: ${errors.join('; ')}`);
    console.log(`PAGE-RESULT ok ${((Date.now() - started) / 1000).toFixed(1)} 0`);
  } else {
    await page.waitForSelector('#end-dialog[open]', { timeout: kLimit });
    const took = (Date.now() - started) / 1000;
    const h = await history();
    if (h.at(-1) !== 'Completed successfully.') throw new Error(`the history ends "${h.at(-1)}"`);
    const lines = await page.evaluate(async () => (await window.quelloader.ready).terminalLines().length);
    say(`uploaded in ${took.toFixed(1)} s, ${lines} terminal lines`);
    await page.click('#end-ok');
    await page.waitForFunction(() => document.querySelector('#history > div:last-child')?.textContent === 'Disconnected.',
                               null, { timeout: kLimit });
    if (errors.length) throw new Error(`the page threw: ${errors.join('; ')}`);
    say(`done: ${h.slice(h.indexOf('Uploading:')).join(' | ')}`);
    console.log(`PAGE-RESULT ok ${took.toFixed(1)} ${lines}`);
  }
} catch (e) {
  say(`failed: ${e.message.split('\n')[0]}`);
  console.log(`PAGE-RESULT fail ${e.message.split('\n')[0]}`);
  process.exitCode = 1;
} finally {
  if (browser) await browser.close().catch(() => {});
  server.kill();
}
