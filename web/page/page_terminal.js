// The terminal activity log as a line view: an upload writes one line a byte
// (30,000 for a 32 KiB program), and a browser that lays all of them out
// again and again holds up the page's timers, the simulated board's answers
// among them. The lines are kept here; the log's element holds a block as
// tall as all of them, and only the lines in sight (and a few around them)
// are in the document. It follows the last line until the user scrolls up,
// and again once they scroll back to the end.
'use strict';

window.qlTerminal = (element) => {
  const lines = [];
  const spacer = document.createElement('div');
  const view = document.createElement('div');
  spacer.className = 'terminal-spacer';
  view.className = 'terminal-lines';
  spacer.append(view);
  element.append(spacer);
  let lineHeight = 0;
  let follow = true;
  let frame = 0;
  let scrolledByUs = false;

  const height = () => lineHeight || (lineHeight = parseFloat(getComputedStyle(view).lineHeight) || 18);

  function render() {
    frame = 0;
    if (element.clientHeight === 0) return;  // hidden: drawn when shown
    const h = height();
    spacer.style.height = lines.length * h + 'px';
    if (follow && element.scrollTop !== element.scrollHeight - element.clientHeight) {
      scrolledByUs = true;
      element.scrollTop = element.scrollHeight;
    }
    const first = Math.max(0, Math.floor(element.scrollTop / h) - 5);
    const count = Math.ceil(element.clientHeight / h) + 10;
    view.style.transform = `translateY(${first * h}px)`;
    view.textContent = lines.slice(first, first + count).join('\n');
  }

  function soon() {
    if (!frame) frame = requestAnimationFrame(render);
  }

  element.addEventListener('scroll', () => {
    if (!scrolledByUs) follow = element.scrollTop + element.clientHeight >= element.scrollHeight - height();
    scrolledByUs = false;
    soon();
  });

  return {
    append(text) {
      for (const line of text.split('\n')) lines.push(line);
      soon();
    },
    clear() {
      lines.length = 0;
      follow = true;
      soon();
    },
    // The panel has come into sight.
    shown: soon,
    lines: () => lines.slice(),
  };
};
