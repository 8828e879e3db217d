// The page's dialogs: the end-of-upload dialog, the checksum warning and the
// error report, each a modal <dialog> (the rest of the page is inert while
// it is open, as the window is behind its message boxes). One is shown at a
// time; the others wait in order. The bootloader-area question is not here:
// the form needs its answer at once, so page.js asks it with window.confirm.
'use strict';

window.qlDialogs = (() => {
  const queue = [];
  let open = null;

  // `show()` opens the dialog; `closed()` runs once it has been closed.
  function enqueue(dialog, show, closed) {
    queue.push({ dialog, show, closed });
    if (!open) next();
  }

  function next() {
    open = queue.shift() || null;
    if (!open) return;
    open.show();
    open.dialog.showModal();
  }

  function wire(dialog) {
    // Esc closes it too: it is the same as OK in every one of them.
    dialog.addEventListener('close', () => {
      const done = open;
      open = null;
      if (done && done.closed) done.closed();
      next();
    });
  }

  const end = document.getElementById('end-dialog');
  const endDetails = document.getElementById('end-details');
  const endDetail = document.getElementById('end-detail');
  const message = document.getElementById('message-dialog');
  wire(end);
  wire(message);
  document.getElementById('end-ok').addEventListener('click', () => end.close());
  document.getElementById('message-ok').addEventListener('click', () => message.close());
  endDetails.addEventListener('click', () => {
    const show = endDetail.hidden;
    endDetail.hidden = !show;
    endDetails.textContent = show ? 'Hide details' : 'Show details';
    endDetails.setAttribute('aria-expanded', String(show));
  });

  const notice = document.getElementById('notice');

  return {
    // Title "Success", instruction "Restarting MCU...", the content line, the
    // detail text behind "Show details", one OK. `closed` tells the form.
    uploadEnd(content, detail, closed) {
      enqueue(end, () => {
        document.getElementById('end-content').textContent = content;
        endDetail.textContent = detail;
        endDetail.hidden = true;
        endDetails.textContent = 'Show details';
        endDetails.setAttribute('aria-expanded', 'false');
      }, closed);
    },

    // A message with one OK: the checksum warning ("Warning"), the error report ("Quelloader").
    message(title, text) {
      enqueue(message, () => {
        document.getElementById('message-title').textContent = title;
        document.getElementById('message-text').textContent = text.replace(/\r\n/g, '\n');
      });
    },

    // A lasting line above the window: what the page cannot do, and why.
    notice(html) {
      notice.innerHTML = html;
      notice.hidden = false;
    },

    isOpen() {
      return open !== null;
    },
  };
})();
