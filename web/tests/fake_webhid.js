// A stand-in for navigator.hid, in node (the module's end-to-end test) and in
// Chromium (the page's tests inject it before the page loads, in place of
// the browser's own): HIDDevice objects whose other end
// is the module's simulated bootloader (Module.SimulatedBoard), so that the
// WebHID backend, the controller and the session run against the same
// device model the native suites use. Reports go to the board as
// sendReport() is called; its answers come back as 'inputreport' events at
// the times the model gives; its leaving the bus is a 'disconnect'.
'use strict';

// One collection with `bytes`-byte input and output reports, no report IDs.
function collection(usagePage, bytes) {
  const report = () => [{ reportId: 0, items: [{ reportSize: 8, reportCount: bytes }] }];
  return { usagePage: usagePage, usage: 1, inputReports: report(), outputReports: report(), featureReports: [], children: [] };
}

class FakeHidDevice extends EventTarget {
  // options: productName, vendorId, productId, usagePage, reportBytes,
  // preset, fault (a SimulatedBoard fault), writes(report, index) -> 'ok' |
  // 'reject' | 'hang' (how each sendReport() ends; 'ok' by default),
  // openError (open() fails with a DOMException of this name, such as the
  // NotAllowedError of a node the user may not open).
  constructor(hid, module, options = {}) {
    super();
    this.hid = hid;
    this.productName = options.productName === undefined ? 'USB HID Bootloader' : options.productName;
    this.vendorId = options.vendorId === undefined ? 0x04d8 : options.vendorId;
    this.productId = options.productId === undefined ? 0x003c : options.productId;
    this.collections = [collection(options.usagePage === undefined ? 0xff00 : options.usagePage,
                                   options.reportBytes === undefined ? 64 : options.reportBytes)];
    this.opened = false;
    this.attached = false;
    this.opens = 0;
    this.closes = 0;
    this.sent = [];
    this.writes = options.writes || (() => 'ok');
    this.openError = options.openError || null;
    this.board = new module.SimulatedBoard(options.preset || 'pic18', options.fault || '',
                                           (data) => this.answer(data), () => hid.unplug(this));
  }

  open() {
    if (!this.attached) return Promise.reject(new Error('NotFoundError: the device is gone'));
    if (this.openError) return Promise.reject(new DOMException('Failed to open the device.', this.openError));
    this.opened = true;
    ++this.opens;
    return Promise.resolve();
  }

  close() {
    if (this.opened) ++this.closes;
    this.opened = false;
    return Promise.resolve();
  }

  sendReport(reportId, data) {
    if (!this.opened || !this.attached) return Promise.reject(new Error('InvalidStateError: not opened'));
    const report = new Uint8Array(data.byteLength + 1);
    report[0] = reportId;
    report.set(new Uint8Array(data.buffer || data, data.byteOffset || 0, data.byteLength), 1);
    const how = this.writes(report, this.sent.length);
    if (how === 'hang') return new Promise(() => {});
    if (how === 'reject') return Promise.reject(new Error('NetworkError: write failed'));
    this.sent.push(report);
    this.board.receive(report);
    return Promise.resolve();
  }

  // The board's answer, as the browser fires it on an opened device.
  answer(data) {
    if (!this.opened || !this.attached) return;
    const event = new Event('inputreport');
    event.device = this;
    event.reportId = 0;
    event.data = new DataView(data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength));
    this.dispatchEvent(event);
  }
}

class FakeHid extends EventTarget {
  constructor(module) {
    super();
    this.module = module;
    this.devices = [];  // granted and attached
    this.offered = [];  // what the chooser would offer, granted once picked
    this.lastFilters = null;
  }

  // A device the page has been granted, plugged in (or present from the start).
  plug(options) {
    const device = new FakeHidDevice(this, this.module, options);
    this.attach(device);
    return device;
  }
  attach(device) {
    device.attached = true;
    this.devices.push(device);
    const event = new Event('connect');
    event.device = device;
    this.dispatchEvent(event);
  }
  unplug(device) {
    if (!device.attached) return;
    device.attached = false;
    device.opened = false;
    this.devices = this.devices.filter((d) => d !== device);
    const event = new Event('disconnect');
    event.device = device;
    this.dispatchEvent(event);
  }

  getDevices() {
    return Promise.resolve(this.devices.slice());
  }

  // The chooser: offers the devices of `offered` that a filter matches by
  // usage page, and the person picks all of them (they are granted, no
  // 'connect' is fired, as in the browser).
  requestDevice(options) {
    this.lastFilters = options.filters;
    const matches = (d) => options.filters.some((f) => d.collections.some((c) => c.usagePage === f.usagePage));
    const picked = this.offered.filter(matches);
    this.offered = this.offered.filter((d) => !matches(d));
    for (const d of picked) {
      d.attached = true;
      this.devices.push(d);
    }
    return Promise.resolve(picked);
  }
}

if (typeof module !== 'undefined') {
  module.exports = { FakeHid, FakeHidDevice };
} else {
  globalThis.qlFakeWebHid = { FakeHid, FakeHidDevice };
}
