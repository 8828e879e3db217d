// The page: the window's behaviour (the module's Form, the same QBootForm the
// desktop windows show) with this document as its view. The form decides
// every caption, enabled state, line and dialog; this file only shows them
// and hands the clicks, the chosen file and the dropped files back.
//
//   index.html                 WebHID: a bootloader the browser was granted
//   index.html?simulate=pic18  a simulated board (pic18, pic18j, pic16), no USB
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const windowEl = $('window');
  const buttons = {
    ButtonConnect: $('connect'),
    ButtonOpenHex: $('open-hex'),
    ButtonStartBootloader: $('start'),
    AdvGlowButton1: $('activity'),
  };
  const history = $('history');
  const terminalLog = qlTerminal($('terminal'));
  const panel = $('activity-panel');
  const status = $('status');
  const progress = $('progress');
  const fileInput = $('hex-file');

  // The form's two widths: the activity panel is shown in between, in part.
  const kCollapsedWidth = 489;
  const kFullWidth = 682;

  const params = new URLSearchParams(location.search);
  const simulate = params.get('simulate');
  const hasWebHid = !!(window.isSecureContext && navigator.hid);
  const onLinux = /Linux/.test((navigator.userAgentData && navigator.userAgentData.platform) || navigator.platform) &&
                  !/Android/.test(navigator.userAgent);

  const escapeHtml = (s) => String(s).replace(/[&<>"]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' })[c]);

  // The list boxes hold one item in the label markup: its text is shown,
  // centred (a <BR> is a line break, every other tag only styles).
  function markupText(markup) {
    return markup.replace(/<\s*br\s*\/?\s*>/gi, '\n').replace(/<[^>]*>/g, '');
  }

  // The terminal lines and the progress of an upload, shown ten times a
  // second: each repaint holds up the page's timers (and the simulated
  // board's answers) while it runs, and the form hands them over forty times
  // a second. Anything else the form shows brings them up to date first.
  const activity = {
    lines: [],
    progress: null,
    timer: 0,
    soon() {
      if (!this.timer) this.timer = setTimeout(() => this.show(), 100);
    },
    show() {
      clearTimeout(this.timer);
      this.timer = 0;
      if (this.lines.length > 0) {
        terminalLog.append(this.lines.join('\n'));
        this.lines = [];
      }
      if (this.progress) {
        progress.max = Math.max(this.progress[1], 1);
        progress.value = this.progress[0];
        this.progress = null;
      }
    },
  };

  let measure = null;
  function textWidth(text) {
    measure = measure || document.createElement('canvas').getContext('2d');
    measure.font = getComputedStyle(status).font;
    return measure.measureText(text).width;
  }

  // ---- The view: what the form shows (web/web_view.h names every call) --------
  let form = null;
  const view = {
    setCaption(control, caption) {
      buttons[control].textContent = caption;
      if (control === 'AdvGlowButton1') buttons[control].setAttribute('aria-expanded', String(caption === 'Hide Activity'));
    },
    setEnabled(control, enabled) {
      buttons[control].disabled = !enabled;
    },
    setLinkPicture(picture) {
      const link = $('link');
      link.dataset.link = String(picture);
      link.setAttribute('aria-label', picture === 1 ? 'USB link: the bootloader answers' : 'No USB link');
    },
    setMcuBox(item, index) {
      $('mcu').textContent = index < 0 ? '' : markupText(item);
    },
    setDeviceBox(item) {
      $('device').textContent = markupText(item);
    },
    appendHistory(line) {
      activity.show();  // what came before it, first
      const row = document.createElement('div');
      row.textContent = line;
      history.append(row);
      history.scrollTop = history.scrollHeight;
    },
    appendTerminal(text) {
      activity.lines.push(text);
      activity.soon();
    },
    clearTerminal() {
      activity.lines = [];
      terminalLog.clear();
    },
    // In the form's layout pixels: the status line as shown is `width` wide there.
    statusTextWidth(text, width) {
      const style = getComputedStyle(status);
      const shown = status.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
      const px = textWidth(text);
      return Math.ceil(shown > 0 ? (px * width) / shown : px);
    },
    showStatusText(text) {
      status.textContent = text;
      status.title = text;
    },
    setProgress(position, max) {
      activity.progress = [position, max];
      // The bar's start and its return to 0 are shown at once.
      if (position === 0) activity.show();
      else activity.soon();
    },
    setTitle(title) {
      document.title = title;
    },
    // The form slides the panel in 20 pixels a tick: the page shows the same
    // share of it, beside the window or (narrow screens) below it.
    setClientWidth(width) {
      const share = Math.min(1, Math.max(0, (width - kCollapsedWidth) / (kFullWidth - kCollapsedWidth)));
      windowEl.style.setProperty('--reveal', String(share));
      const wasHidden = panel.hidden;
      panel.hidden = share === 0;
      if (wasHidden && !panel.hidden) terminalLog.shown();
    },
    setStripColour(css) {
      $('strip').style.backgroundColor = css;
    },
    applyGroupLook() {
      windowEl.classList.add('shown');
    },
    // The form needs the answer at once, as from the window's message box:
    // the browser's own question is the one that blocks (OK, or Cancel for No).
    askBootloaderArea(question) {
      return window.confirm(question.replace(/\r\n/g, '\n'));
    },
    // The browser's question cannot be closed from outside; the user's answer stands.
    dismissQuestion() {},
    showChecksumWarning(text) {
      qlDialogs.message('Warning', text);
    },
    showUploadEnd(content, detail) {
      activity.show();
      qlDialogs.uploadEnd(content, detail, () => form.uploadEndClosed());
    },
    showError(text) {
      qlDialogs.message('Quelloader', text);
    },
    browseHexFile() {
      // Still inside the click: the browser opens its picker for a user's gesture only.
      fileInput.value = '';
      fileInput.click();
    },
    // A page is not closed by its script: the window stops taking clicks and says so.
    closeWindow() {
      windowEl.inert = true;
      qlDialogs.notice('Quelloader has finished. Reload the page to start again.');
    },
  };

  // ---- Files: the picker and drops ------------------------------------------------
  async function bytesOf(file) {
    try {
      return new Uint8Array(await file.arrayBuffer());
    } catch (e) {
      return null;  // a folder, or a file that went away: the form skips it
    }
  }

  function handed(problem) {
    if (problem) qlDialogs.message('Quelloader', problem);
  }

  fileInput.addEventListener('change', async () => {
    const file = fileInput.files[0];
    if (!file || !form) return;
    // A file that cannot be read (null) is one the form does not find, and says so.
    handed(form.chooseFile(file.name, await bytesOf(file)));
  });

  const isHexName = (name) => /\.hex$/i.test(name);
  let dragDepth = 0;
  const carriesFiles = (event) => event.dataTransfer && Array.from(event.dataTransfer.types).includes('Files');
  document.addEventListener('dragenter', (event) => {
    if (!carriesFiles(event) || !form) return;
    ++dragDepth;
    document.body.classList.add('dropping');
  });
  document.addEventListener('dragleave', () => {
    if (dragDepth > 0 && --dragDepth === 0) document.body.classList.remove('dropping');
  });
  document.addEventListener('dragover', (event) => {
    if (!carriesFiles(event) || !form) return;
    event.preventDefault();
    event.dataTransfer.dropEffect = 'copy';
  });
  document.addEventListener('drop', async (event) => {
    if (!carriesFiles(event) || !form) return;
    event.preventDefault();
    dragDepth = 0;
    document.body.classList.remove('dropping');
    // In the order the browser gives them; only HEX files are read, the
    // form skips the others as the window does.
    const files = Array.from(event.dataTransfer.files);
    const list = [];
    for (const file of files) list.push({ name: file.name, bytes: isHexName(file.name) ? await bytesOf(file) : null });
    handed(form.dropFiles(list));
  });

  // ---- WebHID: the chooser before the first connect, and refusals -------------------
  const udevHelp =
    'The browser may not open the bootloader: on Linux its <code>/dev/hidraw</code> node belongs to root. ' +
    'The Debian package installs the udev rule <code>/usr/lib/udev/rules.d/70-quelloader.rules</code>, which opens ' +
    'it to the user at the machine; from a checkout: <code>sudo install -m 644 udev/70-quelloader.rules ' +
    '/etc/udev/rules.d/ &amp;&amp; sudo udevadm control --reload &amp;&amp; sudo udevadm trigger ' +
    '--subsystem-match=hidraw</code>. Then unplug the board and plug it in again (or reset it into its bootloader).';

  function refused(error) {
    if (error && error.name === 'NotAllowedError' && onLinux) {
      qlDialogs.notice(udevHelp);
    } else if (error && error.name && error.name !== 'AbortError') {
      qlDialogs.notice('The browser refused the device: ' + escapeHtml(error.message || error.name) + '.');
    }
  }

  // Resolves once the form's device list has been rebuilt after `before`
  // (with the boot info of a bootloader just granted), or after 3 s.
  function rebuiltSince(before) {
    return new Promise((resolve) => {
      const started = performance.now();
      const look = () => {
        if (form.listRebuilds() > before || performance.now() - started > 3000) return resolve();
        setTimeout(look, 20);
      };
      look();
    });
  }

  let choosing = false;
  async function connectClicked(module) {
    if (choosing) return;
    // A click that connects while no bootloader has been granted first opens
    // the browser's chooser (the click is the gesture it needs); whatever is
    // picked, the form's own Connect follows and says what it found.
    if (hasWebHid && !simulate && !form.connected() && buttons.ButtonConnect.textContent === 'Connect' &&
        !form.bootloaderListed()) {
      choosing = true;
      try {
        const before = form.listRebuilds();
        await module.requestBootloader();
        await rebuiltSince(before);
      } catch (error) {
        refused(error);
      } finally {
        choosing = false;
      }
    }
    form.connectClick();
  }

  // ---- Start ------------------------------------------------------------------------
  function noWebHid() {
    windowEl.hidden = true;
    $('no-webhid').hidden = false;
  }

  async function start() {
    if (!simulate && !hasWebHid) return noWebHid();
    let module;
    try {
      module = await createQuelloader();
    } catch (error) {
      qlDialogs.notice('The page could not load its program (quelloader.wasm): ' + escapeHtml(error.message || error) + '.');
      return;
    }
    module.onOpenRefused = refused;
    form = new module.Form(view, simulate ? 'simulate:' + simulate : 'webhid');
    if (!form.known()) {
      qlDialogs.notice('There is no simulated board "' + escapeHtml(simulate) +
                       '": <a href="?simulate=pic18">pic18</a>, <a href="?simulate=pic18j">pic18j</a> or ' +
                       '<a href="?simulate=pic16">pic16</a>.');
    }
    for (const [control, button] of Object.entries(buttons)) {
      button.textContent = form.caption(control);
      button.disabled = !form.enabled(control);
    }
    buttons.ButtonConnect.addEventListener('click', () => connectClicked(module));
    buttons.ButtonOpenHex.addEventListener('click', () => form.openHexClick());
    buttons.ButtonStartBootloader.addEventListener('click', () => form.startClick());
    buttons.AdvGlowButton1.addEventListener('click', () => form.activityClick());
    // Leaving in the middle of an upload would leave the board half written.
    window.addEventListener('beforeunload', (event) => {
      if (form.uploadActive()) event.preventDefault();
    });
    form.shown();
    performance.mark('quelloader-ready');
    return { module, form, terminalLines: terminalLog.lines };
  }

  // For diagnostics (and the page's tests): the module, the form and the
  // terminal's lines, once up.
  window.quelloader = { ready: start() };
})();
