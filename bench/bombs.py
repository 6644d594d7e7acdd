#!/usr/bin/env python3
"""Bombs and memory per megapixel, measured on vetrix-audit.

  bench/bombs.py [VETRIX_AUDIT] [RUNS]

Bombs, each made here in a temporary folder and audited alone (RUNS times, the fastest counts):
  - a 16 x 16 JPEG whose SOF header is patched to claim 30000 x 30000;
  - a real PNG of 30000 x 30000 (1-bit grey, deflated from 112 MB to about 110 KB);
  - a BMP whose header claims 30000 x 30000;
  - two of the JPEG bombs at once with --jobs 2.
Each must be refused as BadSize. Printed: the process's wall time and peak resident set size,
and both against a baseline measured in the same run: the same command on a one-byte file that
is not an image (start-up and face cascade loading, no decoding).

Memory: a portrait scaled with ImageMagick to 2, 12, 48 and 108 megapixels, each audited alone;
the peak resident set size of the whole process, and its growth per megapixel between sizes.

VETRIX_AUDIT defaults to build-release/bin/vetrix-audit. Needs ImageMagick's `convert` for the
memory part.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PORTRAIT = os.path.join(ROOT, "tests", "data", "pass_red_test2_295x413.jpg")
SIDE = 30000


def png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def write_png_bomb(path):
    row = b"\0" + bytes((SIDE + 7) // 8)  # filter byte, then 1 bit a pixel, all black
    packer = zlib.compressobj(9)
    body = b"".join(packer.compress(row) for _ in range(SIDE)) + packer.flush()
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(png_chunk(b"IHDR", struct.pack(">IIBBBBB", SIDE, SIDE, 1, 0, 0, 0, 0)))
        out.write(png_chunk(b"IDAT", body))
        out.write(png_chunk(b"IEND", b""))


def write_jpeg_bomb(path, work):
    small = os.path.join(work, "small.jpg")
    subprocess.run(["convert", "-size", "16x16", "xc:#c87850", small], check=True)
    data = bytearray(open(small, "rb").read())
    sof = data.find(b"\xff\xc0")
    if sof < 0:
        sys.exit("bombs.py: no SOF0 marker in the small JPEG")
    data[sof + 5:sof + 9] = struct.pack(">HH", SIDE, SIDE)
    open(path, "wb").write(data)


def write_bmp_bomb(path):
    # A 24-bit BMP header claiming SIDE x SIDE, followed by a single row of pixel data.
    row = bytes(SIDE * 3)
    header = struct.pack("<2sIHHI", b"BM", 54 + len(row), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, SIDE, SIDE, 1, 24, 0, 0, 2835, 2835, 0, 0)
    open(path, "wb").write(header + info + row)


def measure(command, work):
    """Wall seconds, peak RSS in MiB and stdout of one run of `command`."""
    start = time.monotonic()
    child = subprocess.Popen(command, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    return time.monotonic() - start, usage.ru_maxrss / 1024.0, out.decode("utf-8", "replace")


def best(command, work, runs):
    results = [measure(command, work) for _ in range(runs)]
    return min(r[0] for r in results), max(r[1] for r in results), results[0][2]


def main():
    audit = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build-release", "bin",
                                                              "vetrix-audit")
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    if not os.access(audit, os.X_OK):
        sys.exit(f"bombs.py: no {audit} (cmake --preset release && cmake --build build-release)")
    audit = os.path.abspath(audit)
    work = tempfile.mkdtemp()
    try:
        jpeg = os.path.join(work, "bomb.jpg")
        png = os.path.join(work, "bomb.png")
        bmp = os.path.join(work, "bomb.bmp")
        jpeg2 = os.path.join(work, "bomb2.jpg")
        write_jpeg_bomb(jpeg, work)
        shutil.copy(jpeg, jpeg2)
        write_png_bomb(png)
        write_bmp_bomb(bmp)

        tiny = os.path.join(work, "tiny.jpg")
        open(tiny, "wb").write(b"x")
        print(f"{'bomb':<36} {'file KB':>8} {'seconds':>8} {'x base':>7} {'peak MiB':>9} "
              f"{'x base':>7}  verdicts")
        cases = [
            ("baseline: 1 byte, not an image", [tiny], [tiny]),
            ("JPEG, SOF patched to 30000 x 30000", [jpeg], [jpeg]),
            ("PNG 30000 x 30000, deflate bomb", [png], [png]),
            ("BMP header 30000 x 30000", [bmp], [bmp]),
            ("two JPEG bombs, --jobs 2", ["--jobs", "2", jpeg, jpeg2], [jpeg, jpeg2]),
        ]
        base = None
        for what, arguments, files in cases:
            seconds, peak, out = best([audit] + arguments, work, runs)
            base = base or (seconds, peak)
            verdicts = [line.split("\t")[1] for line in out.splitlines() if "\t" in line]
            size = sum(os.path.getsize(f) for f in files) / 1024.0
            print(f"{what:<36} {size:>8.1f} {seconds:>8.3f} {seconds / base[0]:>7.2f} "
                  f"{peak:>9.1f} {peak / base[1]:>7.2f}  {' '.join(verdicts)}")

        if shutil.which("convert") is None:
            print("no ImageMagick convert: memory per megapixel skipped")
            return
        print()
        print(f"{'photo':<20} {'MP':>6} {'seconds':>8} {'peak MiB':>9} {'MiB/MP':>7}  verdict")
        previous = None
        for width, height in [(1224, 1632), (3000, 4000), (6000, 8000), (9000, 12000)]:
            photo = os.path.join(work, f"portrait_{width}x{height}.jpg")
            subprocess.run(["convert", PORTRAIT, "-resize", f"{width}x{height}!", "-quality", "90",
                            photo], check=True)
            seconds, peak, out = best([audit, photo], work, 1)
            megapixels = width * height / 1e6
            slope = "" if previous is None else \
                f"{(peak - previous[1]) / (megapixels - previous[0]):.2f}"
            verdict = out.split("\t")[1] if "\t" in out else out.strip()
            print(f"{width} x {height:<11} {megapixels:>6.1f} {seconds:>8.2f} {peak:>9.1f} "
                  f"{slope:>7}  {verdict}")
            previous = (megapixels, peak)
            os.remove(photo)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
