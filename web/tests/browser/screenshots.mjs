// Pictures of the page at a desktop width and at 360 px, on the simulated
// pic18 board: the link, an upload with the activity panel shown, the end
// dialog, and a browser without WebHID.
//
//   tools/web.sh screenshots        (node web/tests/browser/screenshots.mjs OUT_DIR)
import fs from 'node:fs';
import path from 'node:path';
import { browse, demoHex, launch, openPage, serve, waitForHistory } from './support.mjs';

const out = path.resolve(process.argv[2] || 'docs/screenshots/web');
fs.mkdirSync(out, { recursive: true });
const server = await serve();
const browser = await launch();
const shots = [];
const shoot = async (page, name) => {
  const file = path.join(out, name + '.png');
  await page.screenshot({ path: file, fullPage: true });
  shots.push(path.relative(process.cwd(), file));
};

try {
  for (const [suffix, width, height] of [['', 1024, 640], ['-360', 360, 740]]) {
    const page = await openPage(browser, server.url + 'index.html?simulate=pic18', { hid: 'browser', width, height });
    await page.waitForSelector('#link[data-link="1"]');
    await page.mouse.move(0, 0);
    await shoot(page, 'link' + suffix);

    await page.click('#connect');
    await waitForHistory(page, 'Connected.');
    await browse(page, 'demo-pic18.hex', demoHex);
    await page.click('#activity');
    await page.click('#start');
    await page.waitForFunction(() => document.getElementById('progress').value > document.getElementById('progress').max / 3);
    await page.focus('#start');
    await shoot(page, 'uploading' + suffix);

    await page.waitForSelector('#end-dialog[open]', { timeout: 30000 });
    await page.click('#end-details');
    await shoot(page, 'end-dialog' + suffix);
    await page.context().close();
  }
  const page = await openPage(browser, server.url, { hid: 'none', width: 1024, height: 420 });
  await shoot(page, 'no-webhid');
  await page.context().close();
} finally {
  await browser.close();
  server.close();
}
for (const s of shots) console.log(s);
