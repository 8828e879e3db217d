#!/usr/bin/env python3
"""The flash contents an upload must leave in the bootloader device.

The HEX file is decoded by srec_cat, independently of our loader; this script
applies the family's address limit and fill value and then the memory layout
of an upload:

  0 .. 3                  PIC18: GOTO to the bootloader (word address
                          BootStart / 2); PIC16: the image's first bytes
  4 .. W-1                the image's bytes, 0xFF beyond its end
  W .. n*E-1              erased by the main erase, not written
  BootStart-E .. -5       0xFF
  BootStart-4 .. -1       PIC18: the image's own first four bytes; PIC16: 0xFF
  BootStart ..            the bootloader's own area, untouched

Before the upload the simulated bootloader's flash is erased below BootStart
and holds its own pattern from there on; every byte lands masked to the word
width (14-bit PIC16 words). The result is the whole flash, byte for byte, as
the device's dump must read.
"""
import argparse
import os
import subprocess
import sys
import tempfile

FAMILY_LIMIT = {1: 0x400E, 2: 0x300000}  # McuType 1 = PIC16, 2 = PIC18


def records(path):
    """(start, count) of every data record, for the straddle check."""
    upper = 0
    out = []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if len(line) < 9:
                continue
            count, addr, kind = int(line[1:3], 16), int(line[3:7], 16), int(line[7:9], 16)
            if kind == 4:
                upper = int(line[9:13], 16)
            elif kind == 0:
                out.append((upper * 0x10000 + addr, count))
    return out


def srec_binary(hex_path, limit, fill):
    """The file's bytes below `limit`, holes filled with `fill`, from address 0."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "image.bin")
        # -crop keeps the bytes below the limit; -fill covers the holes
        # between 0 and the file's highest byte.
        probe = subprocess.run(
            ["srec_cat", hex_path, "-intel", "-crop", "0", hex(limit), "-o", "-", "-intel"],
            check=True, capture_output=True, text=True).stdout
        end = 0
        upper = 0
        for line in probe.splitlines():
            c, a, t = int(line[1:3], 16), int(line[3:7], 16), int(line[7:9], 16)
            if t == 4:
                upper = int(line[9:13], 16)
            elif t == 0:
                end = max(end, upper * 0x10000 + a + c)
        if end == 0:
            return b""
        subprocess.run(
            ["srec_cat", hex_path, "-intel", "-crop", "0", hex(limit),
             "-fill", hex(fill), "0", hex(end), "-o", out, "-binary"],
            check=True)
        with open(out, "rb") as f:
            return f.read()


def load_image(hex_path, mcu_type):
    """FlashImage as the loader must build it under the device's family."""
    limit = FAMILY_LIMIT[mcu_type]
    # The loader's limit applies to a record's start address, srec_cat's crop
    # to bytes: they agree unless a record straddles the limit.
    for start, count in records(hex_path):
        if start < limit < start + count:
            sys.exit(f"{hex_path}: a record at {start:#x} straddles the limit {limit:#x}")
    with_ff = srec_binary(hex_path, limit, 0xFF)
    with_00 = srec_binary(hex_path, limit, 0x00)
    image = bytearray(with_ff)
    if mcu_type == 1:
        # PIC16: a byte no record wrote reads as half of the word 0x3FFF.
        for i in range(len(image)):
            if with_ff[i] != with_00[i] and i % 2 == 1:
                image[i] = 0x3F
    return bytes(image)


BOOT_PATTERN = b"BOOT"  # what the simulated bootloader's own area holds


def mask(address, mcu_type):
    """PIC16 program words have 14 bits: the high byte of a word keeps 6."""
    return 0x3F if mcu_type == 1 and address & 1 else 0xFF


def pristine(boot_start, mcu_type, flash_size):
    """The flash before any upload: erased, and the bootloader's own area."""
    flash = bytearray(mask(a, mcu_type) for a in range(flash_size))
    for a in range(boot_start, flash_size):
        flash[a] = BOOT_PATTERN[a % len(BOOT_PATTERN)] & mask(a, mcu_type)
    return flash


def layout(image, boot_start, erase, write, mcu_type, flash_size):
    """Returns (expected flash bytes, the upload's numbers).

    Before the upload the device's flash is erased below BootStart and holds
    the bootloader's pattern from there on; the upload's bytes land masked
    to the word width, as flash writes do."""
    L = len(image)
    E = erase
    final = boot_start - E
    flash = pristine(boot_start, mcu_type, flash_size)
    # Main erase count; the final block is erased on its own.
    n = L // E + (1 if L % E else 0)
    if L > final and n > 0:
        n -= 1
    # Main write length.
    if L > final:
        W = final
    else:
        W = L if L % write == 0 else (L // write + 1) * write
    body = bytearray(image[:W]) + b"\xff" * max(0, W - L)
    if mcu_type == 2 and W >= 4:
        k = boot_start >> 1
        body[0:4] = bytes([k & 0xFF, 0xEF, (k >> 8) & 0xFF, 0xF0 | ((k >> 16) & 0x0F)])
    last = bytearray(b"\xff" * E)
    if mcu_type == 2:
        last[E - 4:E] = (bytes(image[0:4]) + b"\xff" * 4)[:4]
    for a, v in enumerate(body):
        flash[a] = v & mask(a, mcu_type)
    for i, v in enumerate(last):
        flash[final + i] = v & mask(final + i, mcu_type)
    return bytes(flash), {"L": L, "n": n, "W": W}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--hex", help="the uploaded HEX file; none: the flash before any upload")
    ap.add_argument("--boot-start", type=lambda s: int(s, 0), required=True)
    ap.add_argument("--erase-block", type=lambda s: int(s, 0), required=True)
    ap.add_argument("--write-block", type=lambda s: int(s, 0), required=True)
    ap.add_argument("--mcu-type", type=int, choices=(1, 2), required=True)
    ap.add_argument("--flash-size", type=lambda s: int(s, 0), required=True)
    ap.add_argument("--out", required=True, help="expected flash, binary")
    a = ap.parse_args()
    if a.hex:
        image = load_image(a.hex, a.mcu_type)
        flash, info = layout(image, a.boot_start, a.erase_block, a.write_block,
                             a.mcu_type, a.flash_size)
        print(f"{os.path.basename(a.hex)}: L={info['L']:#x} n={info['n']} W={info['W']:#x}")
    else:
        flash = pristine(a.boot_start, a.mcu_type, a.flash_size)
    with open(a.out, "wb") as f:
        f.write(flash)


if __name__ == "__main__":
    main()
