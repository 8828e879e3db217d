// The page in a real browser (Debian's Chromium, headless): the window's
// workflow through its visible buttons, on the page's WebHID code path with
// a stand-in navigator.hid whose devices are the simulated bootloader, and on
// ?simulate=. Real time: each full upload takes what the device's timing
// model says (a few seconds).
//
//   tools/web.sh page-test
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import {
  board, browse, buttons, demoHex, expectedFlash, hexText, history, launch, loadHex, openPage, pattern, plug, serve,
  terminal, waitForHistory,
} from './support.mjs';

const kAttach = 'Attach USB HID device or reset if attached.';
let server;
let browser;

before(async () => {
  server = await serve();
  browser = await launch();
});

after(async () => {
  await browser.close();
  server.close();
});

const lastHistoryLine = (page, line) =>
  page.waitForFunction((l) => document.querySelector('#history > div:last-child')?.textContent === l, line);

// Every button as the form holds it, and as a phase of the window has it.
async function expectButtons(page, phase, where) {
  const b = await buttons(page);
  for (const [id, state] of Object.entries(b)) assert.ok(state.form, `${where}: ${id} differs from the form`);
  const seen = Object.fromEntries(Object.entries(b).map(([id, s]) => [id, [s.caption, s.enabled]]));
  assert.deepEqual(seen, { ...phase, activity: seen.activity }, where);
}
const kNoLink = { connect: ['Connect', true], 'open-hex': ['Browse for HEX', true], start: ['Begin uploading', true] };
const kUploading = { connect: ['Disconnect', false], 'open-hex': ['Browse for HEX', false], start: ['Stop uploading', true] };

function sameFlash(actual, expected) {
  assert.equal(actual.length, expected.length);
  const first = actual.findIndex((b, i) => b !== expected[i]);
  assert.equal(first, -1, `the flash differs first at 0x${first.toString(16)}`);
}

async function connected(page, preset) {
  await plug(page, { preset });
  await page.waitForSelector('#link[data-link="1"]');
  await page.click('#connect');
  await waitForHistory(page, 'Connected.');
}

const presets = {
  pic18: { device: 'PIC18F4550', family: 'pic18', name: 'demo-pic18.hex', text: demoHex },
  pic18j: { device: 'PIC18F46J50', family: 'pic18', name: 'demo-pic18.hex', text: demoHex },
  pic16: { device: 'PIC16F1459', family: 'pic16', name: 'pattern-pic16.hex', text: hexText(pattern(6000, 5, true)) },
};

for (const [preset, p] of Object.entries(presets)) {
  test(`a full upload of the ${preset} preset through WebHID leaves the flash the image says`, async () => {
    const page = await openPage(browser, server.url);
    assert.deepEqual(await history(page), [kAttach]);
    await plug(page, { preset });
    await page.waitForSelector('#link[data-link="1"]');
    assert.equal(await page.textContent('#device'), p.device);
    assert.equal(await page.textContent('#mcu'), p.family.toUpperCase());
    await expectButtons(page, kNoLink, 'link');

    await page.click('#connect');
    await waitForHistory(page, 'Connected.');
    await browse(page, p.name, p.text);
    await waitForHistory(page, 'Opened: ' + p.name);
    assert.equal(await page.textContent('#status'), ': ' + p.name);
    const before = await board(page);

    await page.click('#start');
    await expectButtons(page, kUploading, 'uploading');
    await page.waitForSelector('#end-dialog[open]', { timeout: 30000 });
    assert.equal(await page.textContent('#end-title'), 'Success');
    assert.equal(await page.textContent('#end-instruction'), 'Restarting MCU...');
    assert.equal(await page.textContent('#end-content'), 'Uploading program has finished.');
    assert.equal((await history(page)).at(-1), 'Completed successfully.', 'the upload is finished after the dialog');
    assert.ok(!(await page.isVisible('#end-detail')));
    await page.click('#end-details');
    assert.equal(await page.textContent('#end-detail'), `Uploading program "${p.name}" has finished with success.`);
    assert.ok(await page.isVisible('#end-detail'));
    assert.equal(await page.textContent('#end-details'), 'Hide details');
    await page.click('#end-ok');
    await lastHistoryLine(page, 'Disconnected.');
    assert.equal(await page.$eval('#progress', (e) => e.value), 0);

    const after = await board(page);
    assert.ok(after.resetSeen, 'the upload ends with the reset');
    const image = await loadHex(page, p.text, p.name, p.family);
    assert.equal(image.status, 'ok');
    sameFlash(after.flash, expectedFlash(before.flash, before.info, Uint8Array.from(image.bytes)));
    const lines = await terminal(page);
    assert.equal(lines.length, image.size + 3, 'one terminal line a byte');
    assert.deepEqual([lines[0], lines[1], lines.at(-1)], ['Erase...', 'Write...', 'Reset...']);
    assert.deepEqual(page.errors, []);
    await page.context().close();
  });
}

test('unplugged in the middle of the write: the device is removed, no end dialog', async () => {
  const page = await openPage(browser, server.url);
  await plug(page, { preset: 'pic18', unplugAtReport: 100 });
  await page.waitForSelector('#link[data-link="1"]');
  await page.click('#connect');
  await waitForHistory(page, 'Connected.');
  await browse(page, 'demo-pic18.hex', demoHex);
  await page.click('#start');
  await waitForHistory(page, 'Error: Device PIC18F4550 removed.');
  const h = await history(page);
  assert.deepEqual(h.slice(h.indexOf('Uploading:')), ['Uploading:', 'Device PIC18F4550 removed.', 'Disconnected.',
                                                       'Error: Device PIC18F4550 removed.', 'Disconnected.']);
  assert.ok(!(await page.isVisible('#end-dialog')));
  assert.equal(await page.getAttribute('#link', 'data-link'), '0');
  assert.equal(await page.textContent('#device'), '');
  await expectButtons(page, kNoLink, 'removed');
  await page.context().close();
});

test('a bootloader that never answers is not in bootloader mode', async () => {
  const page = await openPage(browser, server.url);
  await plug(page, { preset: 'pic18', fault: 'silent' });
  await waitForHistory(page, 'Reset device.');
  assert.deepEqual(await history(page), [kAttach, 'USB HID device is not in bootloader mode.', 'Reset device.']);
  assert.equal(await page.getAttribute('#link', 'data-link'), '0');
  assert.equal(await page.textContent('#mcu'), '');
  await expectButtons(page, kNoLink, 'silent');
  await page.context().close();
});

test('Stop uploading ends the transfer and the dialog says it was aborted; leaving meanwhile is asked about', async () => {
  const page = await openPage(browser, server.url);
  await connected(page, 'pic18');
  await browse(page, 'demo-pic18.hex', demoHex);
  const leaving = () => page.evaluate(() => !window.dispatchEvent(new Event('beforeunload', { cancelable: true })));
  assert.equal(await leaving(), false, 'leaving is not asked about before an upload');
  await page.click('#start');
  await page.waitForFunction(() => document.getElementById('progress').value > 0);
  assert.equal(await leaving(), true, 'leaving in the middle of an upload is asked about');
  await page.click('#start');
  await expectButtons(page, { connect: ['Disconnect', false], 'open-hex': ['Browse for HEX', false],
                              start: ['Begin uploading', true] }, 'stop pressed');
  await page.waitForSelector('#end-dialog[open]');
  assert.equal(await page.textContent('#end-content'), 'Uploading program was aborted.');
  assert.equal(await page.textContent('#end-detail'), 'Uploading program "demo-pic18.hex" was aborted.');
  await page.keyboard.press('Escape');  // closes it as OK does
  await lastHistoryLine(page, 'Disconnected.');
  assert.equal(await leaving(), false);
  assert.equal((await board(page)).resetSeen, false);
  await expectButtons(page, kNoLink, 'after the stop');
  await page.context().close();
});

test('the bootloader-area question answered No writes nothing', async () => {
  const page = await openPage(browser, server.url);
  await connected(page, 'pic18');
  const into = new Uint8Array(0x7c00 + 16).fill(0x12);
  await browse(page, 'into-boot.hex', hexText(into));
  const before = await board(page);
  const questions = [];
  page.on('dialog', (d) => {
    questions.push(d.type() + ': ' + d.message());
    d.dismiss();
  });
  await page.click('#start');
  await lastHistoryLine(page, 'Disconnected.');
  assert.equal(questions.length, 1);
  assert.match(questions[0], /^confirm: /);
  assert.equal((await terminal(page)).at(-1), 'Upload aborted.');
  assert.ok(!(await page.isVisible('#end-dialog')));
  assert.deepEqual((await board(page)).flash, before.flash);
  await page.context().close();
});

test('a bad HEX file is reported, a checksum failure warned of', async () => {
  const page = await openPage(browser, server.url);
  await connected(page, 'pic18');
  await browse(page, 'broken.hex', ':10000000ZZ\r\n:00000001FF\r\n');
  await page.waitForSelector('#message-dialog[open]');
  assert.equal(await page.getAttribute('#message-dialog', 'role'), 'alertdialog');
  assert.equal(await page.textContent('#message-title'), 'Quelloader');
  const error = await page.textContent('#message-text');
  assert.ok(error.length > 10 && error.endsWith('.'), error);
  await page.click('#message-ok');
  assert.equal(await page.textContent('#status'), ': broken.hex');
  assert.ok(!(await history(page)).includes('Opened: broken.hex'), 'the error ends the handler');

  const good = hexText(pattern(32, 1)).split('\r\n');
  good[0] = good[0].slice(0, -2) + '00';
  await browse(page, 'checksum.hex', good.join('\r\n'));
  await page.waitForSelector('#message-dialog[open]');
  assert.equal(await page.textContent('#message-title'), 'Warning');
  await page.click('#message-ok');
  await waitForHistory(page, 'Opened: checksum.hex');
  await page.context().close();
});

test('a browser without WebHID says so in one sentence and links to the desktop programs', async () => {
  const page = await openPage(browser, server.url, { hid: 'none' });
  assert.ok(await page.isVisible('#no-webhid'));
  assert.ok(!(await page.isVisible('#window')));
  const sentence = await page.textContent('#no-webhid strong');
  assert.match(sentence, /cannot reach USB devices/);
  const link = page.locator('#no-webhid a', { hasText: 'desktop programs' });
  const response = await page.request.get(new URL(await link.getAttribute('href'), server.url).href);
  assert.ok(response.ok() && (await response.text()).includes('## Install'));
  // The simulation still works there.
  await Promise.all([page.waitForURL(/simulate=pic18$/), page.click('text=PIC18F4550')]);
  await page.evaluate(async () => {
    await window.quelloader.ready;
  });
  await page.waitForSelector('#link[data-link="1"]');
  assert.ok(await page.isVisible('#window'));
  await page.context().close();
});

test('?simulate=pic18 through the visible buttons, and the board comes back after its reset', async () => {
  const page = await openPage(browser, server.url + 'index.html?simulate=pic18', { hid: 'browser' });
  await page.waitForSelector('#link[data-link="1"]');
  await page.click('#connect');
  await waitForHistory(page, 'Connected.');
  await browse(page, 'demo-pic18.hex', demoHex);
  const simulatedFlash = () => page.evaluate(async () => Array.from((await window.quelloader.ready).form.simulatedFlash()));
  const before = await simulatedFlash();
  await page.click('#activity');
  await page.click('#start');
  await page.waitForSelector('#end-dialog[open]', { timeout: 30000 });
  await page.click('#end-ok');
  await lastHistoryLine(page, 'Disconnected.');
  const image = await loadHex(page, demoHex, 'demo-pic18.hex', 'pic18');
  sameFlash(await simulatedFlash(), expectedFlash(before, { eraseBlockSize: 64, writeBlockSize: 32, bootStart: 0x7c00,
                                                            mcuType: 2 }, Uint8Array.from(image.bytes)));
  // The panel shows the last lines, and the first ones when scrolled back.
  const lines = await terminal(page);
  assert.equal(lines.length, image.size + 3);
  const inSight = () => page.textContent('#terminal .terminal-lines');
  await page.waitForFunction(() => document.querySelector('#terminal .terminal-lines').textContent.endsWith('Reset...'));
  assert.ok((await inSight()).split('\n').length < 60, 'only the lines in sight are in the document');
  await page.$eval('#terminal', (t) => { t.scrollTop = 0; });
  await page.waitForFunction(() => document.querySelector('#terminal .terminal-lines').textContent.startsWith('Erase...\nWrite...'));
  await page.waitForSelector('#link[data-link="0"]');
  await page.waitForSelector('#link[data-link="1"]', { timeout: 5000 });
  assert.deepEqual(page.errors, []);
  await page.context().close();
});

test('the first Connect opens the chooser; a refused open explains the udev rule', async () => {
  const page = await openPage(browser, server.url);
  await page.evaluate(async () => {
    const m = await qlStandIn.boards();
    const { FakeHidDevice } = qlFakeWebHid;
    qlStandIn.offered = [new FakeHidDevice(qlStandIn, m, { preset: 'pic18', openError: 'NotAllowedError' })];
  });
  await page.click('#connect');
  await page.waitForSelector('#notice:not([hidden])');
  assert.match(await page.textContent('#notice'), /70-quelloader\.rules/);
  assert.deepEqual(await page.evaluate(() => qlStandIn.lastFilters.length), 256);
  assert.equal(await page.evaluate(() => qlStandIn.offered.length), 0, 'the device was granted');
  await page.context().close();

  // Granted and openable: the same click connects.
  const ok = await openPage(browser, server.url);
  await ok.evaluate(async () => {
    const m = await qlStandIn.boards();
    qlStandIn.offered = [new qlFakeWebHid.FakeHidDevice(qlStandIn, m, { preset: 'pic18' })];
  });
  await ok.click('#connect');
  await waitForHistory(ok, 'Connected.');
  assert.equal(await ok.textContent('#device'), 'PIC18F4550');
  await ok.context().close();
});

test('files dropped on the page: the first HEX file is opened, without a connection', async () => {
  const page = await openPage(browser, server.url + 'index.html?simulate=pic16', { hid: 'browser' });
  await page.evaluate((hex) => {
    const data = new DataTransfer();
    data.items.add(new File(['not a hex file'], 'notes.txt'));
    data.items.add(new File([hex], 'second.HEX'));
    data.items.add(new File([hex], 'third.hex'));
    document.body.dispatchEvent(new DragEvent('drop', { dataTransfer: data, bubbles: true, cancelable: true }));
  }, hexText(pattern(64, 3, true)));
  await waitForHistory(page, 'Opened: second.HEX');
  assert.deepEqual(await history(page), [kAttach, 'Opened: second.HEX']);
  assert.equal(await page.textContent('#status'), ': second.HEX');
  await page.context().close();
});

test('keyboard and screen reader: names, focus order, live history, the panel, 360 px', async () => {
  const page = await openPage(browser, server.url + 'index.html?simulate=pic18', { hid: 'browser', width: 360, height: 740 });
  await page.waitForSelector('#link[data-link="1"]');
  assert.ok(await page.getByRole('img', { name: 'USB link: the bootloader answers' }).isVisible());
  assert.equal(await page.getByLabel('Device').textContent(), 'PIC18F4550');
  assert.equal(await page.getByLabel('MCU Type').textContent(), 'PIC18');
  assert.equal(await page.getByRole('log', { name: 'History Window' }).getAttribute('aria-live'), 'polite');
  assert.ok(await page.getByRole('progressbar', { name: 'Bootloading progress bar' }).isVisible());
  assert.equal(await page.evaluate(() => document.documentElement.scrollWidth), 360, 'no sideways scrolling');

  const order = [];
  for (let i = 0; i < 5; ++i) {
    await page.keyboard.press('Tab');
    order.push(await page.evaluate(() => document.activeElement.id));
  }
  assert.deepEqual(order, ['connect', 'open-hex', 'start', 'history', 'activity']);
  const outline = await page.$eval('#activity', (b) => getComputedStyle(b).outlineStyle);
  assert.equal(outline, 'solid', 'a visible focus');

  await page.keyboard.press('Enter');  // Show Activity
  await page.waitForFunction(() => !document.getElementById('activity-panel').hidden);
  assert.equal(await page.getAttribute('#activity', 'aria-expanded'), 'true');
  assert.ok(await page.getByRole('log', { name: 'Terminal Activity' }).isVisible());
  await page.focus('#connect');
  await page.keyboard.press('Space');
  await waitForHistory(page, 'Connected.');
  await page.click('#activity');  // Hide Activity: the panel slides out, then is gone
  await page.waitForFunction(() => document.getElementById('activity-panel').hidden);
  assert.equal(await page.getAttribute('#activity', 'aria-expanded'), 'false');
  await page.context().close();
});

// The page's loop keeps to the clock: a timer fires at its time, not at the
// next whole millisecond and later, as Chromium's setTimeout alone has it.
// Seen through the simulated bootloader, whose erase of one PIC16 block is
// answered 4.5 ms after the request (two USB frames and 2.5 ms of erase).
test('timers fire on time, not rounded up to whole milliseconds', async () => {
  const page = await openPage(browser, server.url + 'index.html?simulate=pic16', { hid: 'browser' });
  const late = await page.evaluate(async () => {
    const { module } = await window.quelloader.ready;
    const out = [];
    let sent = 0;
    await new Promise((resolve) => {
      let board = null;
      const erase = () => {
        // START_MARK, CMD_ERASE, address 0x100 (little-endian, 4 bytes), count 1
        const report = Uint8Array.from([0, 0x0f, 0x15, 0x00, 0x01, 0, 0, 1, 0]);
        sent = performance.now();
        board.receive(report);
      };
      board = new module.SimulatedBoard('pic16', '', () => {
        out.push(performance.now() - sent - 4.5);
        if (out.length === 40) return resolve(board.delete());
        setTimeout(erase, 0);
      }, () => {});
      erase();
    });
    return out.sort((a, b) => a - b);
  });
  const median = late[late.length / 2];
  assert.ok(late[0] > -0.05, `an answer came ${(-late[0]).toFixed(3)} ms early`);
  assert.ok(median < 0.25, `answers came ${median.toFixed(3)} ms late (median)`);
  await page.context().close();
});
