// The page in headless Chromium, against the simulated device's own time:
// each preset uploads the assembler image of bench/upload_presets.cpp
// through the page's visible buttons and its WebHID code path (the stand-in
// navigator.hid of the page's tests, whose device is the simulated
// bootloader), timed from the Begin uploading click to the end-of-upload
// dialog; the device's time is what its model accounts over the same span
// (USB frames in and out, flash erases and writes). Then the page's weight
// (gzip -9 of what a browser fetches) and its first paint.
//
// Run by hand after tools/web.sh (and once npm ci in web/tests/browser):
//   node bench/web_upload.mjs [--runs N] [--panel-hidden] [PRESET...]
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';
import { board, browse, launch, openPage, plug, root, serve, site, waitForHistory } from '../web/tests/browser/support.mjs';

const args = process.argv.slice(2);
let runs = 5;
let panelShown = true;
const presets = [];
for (let i = 0; i < args.length; ++i) {
  if (args[i] === '--runs') runs = Math.max(1, Number(args[++i]));
  else if (args[i] === '--panel-hidden') panelShown = false;
  else presets.push(args[i]);
}
if (presets.length === 0) presets.push('pic18', 'pic18j', 'pic16');

const fixtures = path.resolve(root, '..', 'shared', 'fixtures', 'hex');
const imageFor = (preset) => path.join(fixtures, preset === 'pic16' ? 'pic16-app-4kw.hex' : 'pic18-app-24k.hex');
const median = (v) => {
  const s = [...v].sort((a, b) => a - b);
  return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
};

async function uploadOnce(browser, url, preset) {
  const file = imageFor(preset);
  const page = await openPage(browser, url);
  await plug(page, { preset });
  await page.waitForSelector('#link[data-link="1"]');
  await page.click('#connect');
  await waitForHistory(page, 'Connected.');
  await browse(page, path.basename(file), fs.readFileSync(file, 'latin1'));
  await waitForHistory(page, 'Opened: ' + path.basename(file));
  if (panelShown) {
    await page.click('#activity');
    await page.waitForTimeout(300);
  }
  // The end: the moment the form opens its end dialog.
  await page.evaluate(() => {
    const uploadEnd = qlDialogs.uploadEnd;
    qlDialogs.uploadEnd = (...a) => {
      window.qlEnded = performance.now();
      uploadEnd(...a);
    };
  });
  const deviceBefore = (await board(page)).deviceTime;
  const started = await page.evaluate(() => {
    const t = performance.now();
    document.getElementById('start').click();
    return t;
  });
  await page.waitForSelector('#end-dialog[open]', { timeout: 60000 });
  const ended = await page.evaluate(() => window.qlEnded);
  const after = await board(page);
  const lines = await page.evaluate(async () => (await window.quelloader.ready).terminalLines().length);
  await page.context().close();
  if (!after.resetSeen || lines < 100) throw new Error(`${preset}: the upload did not complete`);
  return { real: ended - started, device: after.deviceTime - deviceBefore };
}

const server = await serve();
const browser = await launch();
try {
  console.log(`Upload in the page (Chromium ${browser.version()}), against the simulated device's own time, ` +
              `median of ${runs} runs`);
  console.log(`(activity panel ${panelShown ? 'shown (terminal log on)' : 'hidden'}; ratio = real / device)\n`);
  console.log('| preset | image | device ms | page ms | ratio | ratios (min-max) |');
  console.log('|---|---|---:|---:|---:|---|');
  for (const preset of presets) {
    const m = [];
    for (let i = 0; i < runs; ++i) m.push(await uploadOnce(browser, server.url, preset));
    const ratios = m.map((x) => x.real / x.device);
    console.log(`| ${preset} | ${path.basename(imageFor(preset))} | ${median(m.map((x) => x.device)).toFixed(0)} | ` +
                `${median(m.map((x) => x.real)).toFixed(0)} | ${median(ratios).toFixed(3)} | ` +
                `${Math.min(...ratios).toFixed(3)}-${Math.max(...ratios).toFixed(3)} |`);
  }

  console.log('\nPage weight, what a browser fetches (gzip -9):\n');
  console.log('| file | bytes | gzip |');
  console.log('|---|---:|---:|');
  let total = 0;
  let totalGzip = 0;
  for (const f of ['index.html', 'quelloader.css', 'page.js', 'page_dialogs.js', 'page_terminal.js', 'quelloader.js', 'quelloader.wasm']) {
    const bytes = fs.readFileSync(path.join(site, f));
    const gz = zlib.gzipSync(bytes, { level: 9 }).length;
    total += bytes.length;
    totalGzip += gz;
    console.log(`| ${f} | ${bytes.length} | ${gz} |`);
  }
  console.log(`| total | ${total} | ${totalGzip} (${(totalGzip / 1024).toFixed(1)} KiB) |`);

  const paints = [];
  const readies = [];
  for (let i = 0; i < Math.max(runs, 5) * 2; ++i) {
    const page = await openPage(browser, server.url + 'index.html?simulate=pic18', { hid: 'browser' });
    const t = await page.evaluate(() => ({
      paint: performance.getEntriesByName('first-contentful-paint')[0]?.startTime,
      ready: performance.getEntriesByName('quelloader-ready')[0]?.startTime,
    }));
    paints.push(t.paint);
    readies.push(t.ready);
    await page.context().close();
  }
  console.log(`\nFirst contentful paint (fresh context each, from 127.0.0.1), median of ${paints.length}: ` +
              `${median(paints).toFixed(0)} ms (${Math.min(...paints).toFixed(0)}-${Math.max(...paints).toFixed(0)}); ` +
              `the window ready (module loaded, form shown): ${median(readies).toFixed(0)} ms`);
} finally {
  await browser.close();
  server.close();
}
