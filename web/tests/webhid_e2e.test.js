// The code that talks to a real bootloader in the browser, driven end to end
// in node: the module as the page gets it (build/web/quelloader.js), its
// WebHID backend on a stand-in navigator.hid whose devices are the module's
// simulated bootloader, the controller, one session with suspending waits,
// the page's event loop on node's clock. Runs in real time: a full upload of
// the pic18 preset takes a few seconds, as the model's timing says.
'use strict';

const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const { FakeHid } = require('./fake_webhid.js');
const { expectedFlash } = require('./expected_flash.js');

const root = path.resolve(__dirname, '..', '..');
const modulePath = process.env.QUELLOADER_WEB_MODULE || path.join(root, 'build', 'web', 'quelloader.js');
const demoHex = fs.readFileSync(path.join(root, 'examples', 'demo-pic18.hex'), 'latin1');

let modulePromise;
function loadModule() {
  modulePromise = modulePromise || require(modulePath)();
  return modulePromise;
}

// An uploader on `hid`, with a view that records what it is told.
function makeUploader(m, hid) {
  globalThis.navigator = { hid: hid };
  const seen = { history: [], phases: [], changes: 0, progress: null };
  let onChange = null;
  let onFinished = null;
  const view = {
    history: (line) => seen.history.push(line),
    phase: (name) => seen.phases.push(name),
    progress: (value, max) => { seen.progress = [value, max]; },
    devicesChanged: () => {
      ++seen.changes;
      if (onChange) onChange();
    },
    finished: (result) => onFinished && onFinished(result),
  };
  const up = new m.Uploader(view, 'webhid');
  // Resolves once the uploader lists a device that `pick` accepts.
  const listed = (pick) => new Promise((resolve) => {
    const check = () => {
      const found = up.devices().find(pick);
      if (found) {
        onChange = null;
        resolve(found);
      }
    };
    onChange = check;
    check();
  });
  const flash = (hex, name) => new Promise((resolve, reject) => {
    onFinished = resolve;
    if (!up.flash(hex, name)) reject(new Error('a flash is under way'));
  });
  return { up, seen, listed, flash };
}

test('a full upload of the pic18 preset through WebHID leaves the flash the image says', async () => {
  const m = await loadModule();
  const hid = new FakeHid(m);
  const board = hid.plug({ preset: 'pic18' });
  const before = board.board.flash();
  const info = board.board.bootInfo();
  const { up, seen, listed, flash } = makeUploader(m, hid);
  assert.strictEqual(up.webHidAvailable(), true);

  const entry = await listed((d) => d.bootloader);
  assert.deepStrictEqual(entry, { name: 'USB HID Bootloader', vendorId: 0x04d8, productId: 0x003c,
                                  bootloader: true, busy: false });
  assert.strictEqual(board.opens, 0, 'listing a device does not open it');

  const started = Date.now();
  const result = await flash(demoHex, 'demo-pic18.hex');
  const seconds = (Date.now() - started) / 1000;
  assert.strictEqual(result.outcome, 'completed', JSON.stringify({ result, history: seen.history }));
  assert.strictEqual(result.ok, true);
  assert.strictEqual(result.device, 'PIC18F4550');
  assert.strictEqual(result.family, 'PIC18');

  const image = m.loadHex(demoHex, 'demo-pic18.hex', 'pic18');
  assert.strictEqual(image.status, 'ok');
  assert.strictEqual(result.imageBytes, image.size);
  assert.ok(board.board.resetSeen(), 'the upload ends with the reset');
  const flashNow = board.board.flash();
  const expected = expectedFlash(before, info, image.bytes);
  assert.strictEqual(flashNow.length, expected.length);
  const firstDiff = flashNow.findIndex((b, i) => b !== expected[i]);
  assert.strictEqual(firstDiff, -1, `flash differs first at 0x${firstDiff.toString(16)}`);

  // Every report carried 64 data bytes after report ID 0; the device was
  // opened once for the session and closed when it was let go.
  assert.ok(board.sent.length > 387, `${board.sent.length} reports`);
  assert.ok(board.sent.every((r) => r.length === 65 && r[0] === 0));
  assert.strictEqual(board.opens, 1);
  assert.strictEqual(board.closes, 1);
  assert.ok(seen.history.includes('Connected.'));
  assert.ok(seen.history.includes('Completed successfully.'));
  assert.deepStrictEqual(seen.progress && seen.progress[0], seen.progress && seen.progress[1]);
  console.log(`# pic18 preset, ${image.size} image bytes, ${board.sent.length} reports: ${seconds.toFixed(2)} s`);
  up.delete();
});

test('a device with another product name is listed but never flashed', async () => {
  const m = await loadModule();
  const hid = new FakeHid(m);
  const other = hid.plug({ productName: 'Some Keyboard', vendorId: 0x1234, productId: 0x5678 });
  const { up, listed, flash } = makeUploader(m, hid);
  const entry = await listed(() => true);
  assert.deepStrictEqual(entry, { name: 'Some Keyboard', vendorId: 0x1234, productId: 0x5678,
                                  bootloader: false, busy: false });
  const result = await flash(demoHex, 'demo-pic18.hex');
  assert.strictEqual(result.outcome, 'no-bootloader');
  assert.strictEqual(result.message, 'Unable to find device: USB HID Bootloader.');
  assert.strictEqual(other.opens, 0);
  assert.strictEqual(other.sent.length, 0);
  up.delete();
});

test('the bootloader plugged in later is heard through connect', async () => {
  const m = await loadModule();
  const hid = new FakeHid(m);
  const { up, seen, listed } = makeUploader(m, hid);
  await new Promise((resolve) => setTimeout(resolve, 20));
  assert.strictEqual(up.devices().length, 0);
  const changes = seen.changes;
  hid.plug({ preset: 'pic18' });
  await listed((d) => d.bootloader);
  assert.ok(seen.changes > changes);
  up.delete();
});

test('unplugged in the middle of the write: the session ends as removed', async () => {
  const m = await loadModule();
  const hid = new FakeHid(m);
  let board = null;
  board = hid.plug({
    preset: 'pic18',
    // The 100th report pulls the cable; it never arrives.
    writes: (report, index) => {
      if (index === 100) {
        setTimeout(() => hid.unplug(board), 0);
        return 'hang';
      }
      return 'ok';
    },
  });
  const { up, seen, listed, flash } = makeUploader(m, hid);
  await listed((d) => d.bootloader);
  const result = await flash(demoHex, 'demo-pic18.hex');
  assert.strictEqual(result.outcome, 'removed', JSON.stringify({ result, history: seen.history }));
  assert.ok(seen.history.some((l) => /Device PIC18F4550 removed/.test(l)), seen.history.join('\n'));
  assert.ok(!board.board.resetSeen());
  assert.strictEqual(up.busy(), false);
  assert.deepStrictEqual(up.devices(), []);
  up.delete();
});

test('a write whose promise rejects is a failed write: the handshake goes unanswered', async () => {
  const m = await loadModule();
  const hid = new FakeHid(m);
  // The boot-info request goes out; the handshake's report is refused.
  const board = hid.plug({ preset: 'pic18', writes: (report, index) => (index === 1 ? 'reject' : 'ok') });
  const { up, seen, listed, flash } = makeUploader(m, hid);
  await listed((d) => d.bootloader);
  const result = await flash(demoHex, 'demo-pic18.hex');
  assert.strictEqual(result.outcome, 'connect-failed', JSON.stringify({ result, history: seen.history }));
  assert.ok(seen.history.includes('Error: Timeout waiting for MCU.'));
  assert.strictEqual(board.board.dataBlocks(), 0);
  up.delete();
});

test('a write whose promise never settles: the device stopped taking reports', async () => {
  const m = await loadModule();
  const hid = new FakeHid(m);
  const board = hid.plug({ preset: 'pic18', writes: (report, index) => (index >= 3 ? 'hang' : 'ok') });
  const { up, seen, listed, flash } = makeUploader(m, hid);
  await listed((d) => d.bootloader);
  const result = await flash(demoHex, 'demo-pic18.hex');
  assert.strictEqual(result.outcome, 'stalled', JSON.stringify({ result, history: seen.history }));
  assert.ok(seen.history.includes('Error: Device PIC18F4550 stopped taking reports.'), seen.history.join('\n'));
  assert.ok(result.seconds >= 1 && result.seconds < 3, `${result.seconds} s`);
  assert.strictEqual(board.board.dataBlocks(), 0);
  up.delete();
});

test('the chooser offers vendor-defined usage pages only, and keeps devices with 64-byte reports', async () => {
  const m = await loadModule();
  const hid = new FakeHid(m);
  const { up, listed } = makeUploader(m, hid);
  const { FakeHidDevice } = require('./fake_webhid.js');
  const keyboard = new FakeHidDevice(hid, m, { productName: 'Keyboard', usagePage: 0x0001, reportBytes: 8 });
  const shortReports = new FakeHidDevice(hid, m, { productName: 'Gadget', usagePage: 0xff00, reportBytes: 8 });
  const bootloader = new FakeHidDevice(hid, m, { usagePage: 0xffa0 });
  hid.offered = [keyboard, shortReports, bootloader];

  const picked = await m.requestBootloader(hid);
  const pages = hid.lastFilters.map((f) => f.usagePage);
  assert.strictEqual(pages.length, 256);
  assert.ok(pages.every((p) => p >= 0xff00 && p <= 0xffff));
  assert.ok(!hid.devices.includes(keyboard), 'a keyboard is never offered');
  assert.deepStrictEqual(picked, [bootloader], 'a device whose reports are too short is left out');
  // The running backend lists the device granted without a 'connect'.
  const entry = await listed((d) => d.bootloader);
  assert.strictEqual(entry.name, 'USB HID Bootloader');
  up.delete();
});

test('report lengths come from the collections, with the report-ID byte', async () => {
  const m = await loadModule();
  const device = {
    vendorId: 1, productId: 2, productName: 'X',
    collections: [{
      usagePage: 0xff00, inputReports: [{ reportId: 0, items: [{ reportSize: 8, reportCount: 64 }] }],
      outputReports: [{ reportId: 1, items: [{ reportSize: 8, reportCount: 32 }, { reportSize: 1, reportCount: 8 }] }],
      children: [{ usagePage: 0xff00, outputReports: [{ reportId: 2, items: [{ reportSize: 16, reportCount: 40 }] }] }],
    }],
  };
  const d = m.qlDeviceDetails(device);
  assert.strictEqual(d.inputLength, 65);
  assert.strictEqual(d.outputLength, 81, 'the longest output report, in a child collection');
  assert.strictEqual(m.qlCouldBeBootloader(device), true);
  assert.strictEqual(m.qlCouldBeBootloader({ collections: [{ usagePage: 0x0c, inputReports: device.collections[0].inputReports,
                                                               outputReports: device.collections[0].inputReports }] }), false);
});
