// The upload's oracle for the browser build's tests (node and the page's
// tests in Chromium alike), from the layout rules, as
// tests/support/expected_flash.h is for the native suites.
'use strict';

// The flash an upload of `image` into a board whose flash was `before` has
// to leave; `info` is the board's boot info (SimulatedBoard.bootInfo()).
function expectedFlash(before, info, image) {
  const E = info.eraseBlockSize;
  const finalBlock = info.bootStart - E;
  const roundUp = (v, unit) => Math.ceil(v / unit) * unit;
  const L = image.length;
  const W = L > finalBlock ? finalBlock : Math.min(roundUp(L, info.writeBlockSize), roundUp(L, E));
  const mask = (a) => (info.mcuType === 1 && (a & 1) ? 0x3f : 0xff);
  const program = new Uint8Array(W).fill(0xff);
  program.set(image.subarray(0, Math.min(W, L)));
  const last = new Uint8Array(E).fill(0xff);
  if (info.mcuType === 2) {
    const k = info.bootStart / 2;
    program.set([k & 0xff, 0xef, (k >> 8) & 0xff, 0xf0 | ((k >> 16) & 0x0f)], 0);
    last.set(image.subarray(0, 4), E - 4);
  }
  const f = Uint8Array.from(before);
  for (let a = 0; a < W; ++a) f[a] = program[a] & mask(a);
  for (let i = 0; i < E; ++i) f[finalBlock + i] = last[i] & mask(finalBlock + i);
  return f;
}

module.exports = { expectedFlash };
