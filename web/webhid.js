// The JavaScript side of the WebHID backend (web/webhid_backend.cpp) and the
// page's helper that asks the person for the bootloader. Runs inside the
// module (emscripten --pre-js): `Module` is the module being made, and the
// backend's callbacks (_ql_webhid_*) are the module's exports.

// The longest report in `reports` in bytes, without the report-ID byte.
function qlReportBytes(reports) {
  let longest = 0;
  for (const report of reports || []) {
    let bits = 0;
    for (const item of report.items || []) bits += (item.reportSize || 0) * (item.reportCount || 0);
    longest = Math.max(longest, Math.ceil(bits / 8));
  }
  return longest;
}

// What the backend caches of a device: its names, and its report lengths as
// the HID capabilities count them (the longest report plus the report-ID
// byte; 0 without such reports), over every collection and its children.
function qlDeviceDetails(device) {
  let input = 0;
  let output = 0;
  let vendorDefined = false;
  const walk = (collections) => {
    for (const c of collections || []) {
      if (c.usagePage >= 0xff00 && c.usagePage <= 0xffff) vendorDefined = true;
      input = Math.max(input, qlReportBytes(c.inputReports));
      output = Math.max(output, qlReportBytes(c.outputReports));
      walk(c.children);
    }
  };
  walk(device.collections);
  return {
    vendorId: device.vendorId,
    productId: device.productId,
    productName: device.productName || '',
    inputLength: input > 0 ? input + 1 : 0,
    outputLength: output > 0 ? output + 1 : 0,
    vendorDefined: vendorDefined,
  };
}

// Whether a device can be the bootloader by what it declares: a collection
// on a vendor-defined usage page, and 64-byte input and output reports. The
// product name decides which one is (the backend reports it; the device
// link's and the session's rules apply as on the desktop).
function qlCouldBeBootloader(device) {
  const d = qlDeviceDetails(device);
  return d.vendorDefined && d.inputLength >= 65 && d.outputLength >= 65;
}

Module.qlWebHid = {
  backends: new Map(),

  // Starts watching `hid` (navigator.hid) for `backend`; false when there is none.
  watch(backend, hid) {
    if (!hid) return false;
    const state = { hid: hid, ids: new Map(), devices: new Map(), nextId: 1, stopped: false };
    const add = (device) => {
      if (state.stopped || state.ids.has(device)) return;
      const id = state.nextId++;
      state.ids.set(device, id);
      state.devices.set(id, device);
      device.addEventListener('inputreport', (event) => {
        if (state.stopped || state.devices.get(id) !== device) return;
        const data = new Uint8Array(event.data.buffer, event.data.byteOffset, event.data.byteLength);
        const top = stackSave();
        const at = stackAlloc(Math.max(data.length, 1));
        HEAPU8.set(data, at);
        _ql_webhid_input(backend, id, event.reportId, at, data.length);
        stackRestore(top);
      });
      const d = qlDeviceDetails(device);
      const top = stackSave();
      const size = lengthBytesUTF8(d.productName) + 1;
      const name = stackAlloc(size);
      stringToUTF8(d.productName, name, size);
      _ql_webhid_device_added(backend, id, d.vendorId, d.productId, name, d.inputLength, d.outputLength);
      stackRestore(top);
    };
    state.onConnect = (event) => {
      add(event.device);
      if (!state.stopped) _ql_webhid_devices_listed(backend);
    };
    state.onDisconnect = (event) => {
      const id = state.ids.get(event.device);
      if (id === undefined || state.stopped) return;
      state.ids.delete(event.device);
      state.devices.delete(id);
      _ql_webhid_device_removed(backend, id);
    };
    hid.addEventListener('connect', state.onConnect);
    hid.addEventListener('disconnect', state.onDisconnect);
    state.add = add;
    this.backends.set(backend, state);
    this.rescan(backend);
    return true;
  },

  // Lists the devices granted (at the start, and after the person granted
  // one more: WebHID tells 'connect' only of devices plugged in).
  rescan(backend) {
    const state = this.backends.get(backend);
    if (!state) return Promise.resolve();
    const listed = () => {
      if (!state.stopped) _ql_webhid_devices_listed(backend);
    };
    return state.hid.getDevices().then((devices) => {
      for (const device of devices) state.add(device);
      listed();
    }, listed);
  },

  unwatch(backend) {
    const state = this.backends.get(backend);
    if (!state) return;
    state.stopped = true;
    state.hid.removeEventListener('connect', state.onConnect);
    state.hid.removeEventListener('disconnect', state.onDisconnect);
    for (const device of state.devices.values()) {
      if (device.opened) device.close().catch(() => {});
    }
    this.backends.delete(backend);
  },

  open(backend, id) {
    const state = this.backends.get(backend);
    const device = state && state.devices.get(id);
    const ended = (ok) => {
      if (!state.stopped) _ql_webhid_open_ended(backend, id, ok ? 1 : 0);
    };
    if (!device) return void Promise.resolve().then(() => ended(false));
    // The page may explain a refusal (Module.onOpenRefused(error, device)):
    // on Linux a NotAllowedError is a node the user may not open.
    const refused = (error) => {
      if (!state.stopped && typeof Module.onOpenRefused === 'function') Module.onOpenRefused(error, device);
      ended(false);
    };
    (device.opened ? Promise.resolve() : device.open()).then(() => ended(true), refused);
  },

  close(backend, id) {
    const state = this.backends.get(backend);
    const device = state && state.devices.get(id);
    if (device && device.opened) device.close().catch(() => {});
  },

  // One output report: `length` bytes at `at` in the module's memory, sent
  // with `reportId`. Its end is told when the promise settles.
  send(backend, id, reportId, at, length) {
    const state = this.backends.get(backend);
    const device = state && state.devices.get(id);
    const ended = (ok) => {
      if (!state.stopped) _ql_webhid_write_ended(backend, id, ok ? 1 : 0);
    };
    if (!device) return void Promise.resolve().then(() => ended(false));
    const data = HEAPU8.slice(at, at + length);
    let sent;
    try {
      sent = device.sendReport(reportId, data);
    } catch (e) {
      sent = Promise.reject(e);
    }
    sent.then(() => ended(true), () => ended(false));
  },
};

// The page's button: asks the person to pick the bootloader. The chooser
// offers only devices with a collection on a vendor-defined usage page
// (WebHID filters name usage pages one by one); of those picked, the ones
// whose reports cannot carry the bootloader's 64 bytes are left out. Must
// run from a user gesture (a click). Resolves to the devices granted that
// can be the bootloader, once every running backend has listed them.
Module.requestBootloader = async function(hid) {
  hid = hid || (typeof navigator !== 'undefined' ? navigator.hid : undefined);
  if (!hid) throw new Error('This browser has no WebHID (navigator.hid).');
  const filters = [];
  for (let page = 0xff00; page <= 0xffff; ++page) filters.push({ usagePage: page });
  const picked = await hid.requestDevice({ filters: filters });
  const qlHid = Module.qlWebHid;
  await Promise.all(Array.from(qlHid.backends.keys(), (backend) => qlHid.rescan(backend)));
  return picked.filter(qlCouldBeBootloader);
};

Module.qlDeviceDetails = qlDeviceDetails;
Module.qlCouldBeBootloader = qlCouldBeBootloader;
