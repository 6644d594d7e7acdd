#!/usr/bin/env python3
"""Bombs and memory per megapixel, measured on vetrix-audit.

  bench/bombs.py [VETRIX_AUDIT] [RUNS]

Bombs, each made here in a temporary folder and audited alone (RUNS times, the fastest counts):
  - a 16 x 16 JPEG whose SOF header is patched to claim 30000 x 30000;
  - a real PNG of 30000 x 30000 (1-bit grey, deflated from 112 MB to about 110 KB);
  - a BMP whose header claims 30000 x 30000;
  - a TIFF whose first directory claims 30000 x 30000 in one tiny strip;
  - a lossless WebP whose frame header claims 16384 x 16384, the most it can declare;
  - two of the JPEG bombs at once with --jobs 2;
  - a progressive grey JPEG of 4000 x 4000 (cjpeg, libjpeg-turbo-progs) whose last scan is
    repeated to 3000 scans: refused as BadFormat before decoding;
  - the portrait as PNG with 300 zTXt chunks, each inflating to 8 MB: its text is skipped, so it
    costs what the plain PNG costs, and passes;
  - a DICOM file ("DICM" at byte 128), whose reader OpenCV would hand anything: BadFormat unread.
The size bombs must be refused as BadSize. Printed: the process's wall time, CPU time and peak resident set size,
and the time and memory against a baseline measured in the same run: the same command on a one-byte file that
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


def write_tiff_bomb(path):
    # Little-endian TIFF: header, one directory of 9 entries, then a 16-byte strip.
    entries = [(256, 4, SIDE), (257, 4, SIDE), (258, 3, 8), (259, 3, 1), (262, 3, 1),
               (273, 4, 0), (277, 3, 1), (278, 4, SIDE), (279, 4, 16)]
    strip = 8 + 2 + 12 * len(entries) + 4
    ifd = struct.pack("<H", len(entries))
    for tag, kind, value in entries:
        value = strip if tag == 273 else value
        packed = struct.pack("<HI", value, 0)[:4] if kind == 3 else struct.pack("<I", value)
        ifd += struct.pack("<HHI", tag, kind, 1) + packed
    ifd += struct.pack("<I", 0)
    open(path, "wb").write(b"II*\0" + struct.pack("<I", 8) + ifd + bytes(16))


def write_webp_bomb(path):
    # A VP8L chunk: signature, then 14-bit width - 1 and height - 1, alpha bit and version 0.
    side = 16384
    bits = (side - 1) | ((side - 1) << 14)
    chunk = b"\x2f" + struct.pack("<I", bits) + bytes(11)
    body = b"WEBP" + b"VP8L" + struct.pack("<I", len(chunk)) + chunk
    open(path, "wb").write(b"RIFF" + struct.pack("<I", len(body)) + body)


def write_scan_bomb(path, work):
    """A progressive grey JPEG of 4000 x 4000 whose last scan is repeated to 3000 scans; each
    scan costs the decoder a pass over every block."""
    side = 4000
    source = os.path.join(work, "grey.pgm")
    with open(source, "wb") as out:
        out.write(f"P5 {side} {side} 255\n".encode() + bytes([128]) * (side * side))
    data = subprocess.run(["cjpeg", "-progressive", source], stdout=subprocess.PIPE,
                          check=True).stdout
    last = data.rfind(b"\xff\xda")
    end = data.rfind(b"\xff\xd9")
    scans = data.count(b"\xff\xda")
    with open(path, "wb") as out:
        out.write(data[:end] + data[last:end] * (3000 - scans) + data[end:])


def write_text_bomb(path, work):
    """The portrait as PNG, with 300 zTXt chunks of 8 MB of text each after its header."""
    plain = os.path.join(work, "portrait.png")
    subprocess.run(["convert", PORTRAIT, plain], check=True)
    data = open(plain, "rb").read()
    # The keyword, its end, the compression method (0, deflate), then the deflated text.
    packed = zlib.compress(b"a" * (8 << 20), 9)
    chunk = png_chunk(b"zTXt", b"Comment\0\0" + packed)
    header_end = 8 + 25
    with open(path, "wb") as out:
        out.write(data[:header_end] + chunk * 300 + data[header_end:])


def write_dicom(path):
    with open(path, "wb") as out:
        out.write(bytes(128) + b"DICM" + bytes(1 << 16))


def measure(command, work):
    """Wall seconds, CPU seconds, peak RSS in MiB and stdout of one run of `command`."""
    start = time.monotonic()
    child = subprocess.Popen(command, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    return (time.monotonic() - start, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0,
            out.decode("utf-8", "replace"))


def best(command, work, runs):
    results = [measure(command, work) for _ in range(runs)]
    return (min(r[0] for r in results), min(r[1] for r in results), max(r[2] for r in results),
            results[0][3])


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
        tiff = os.path.join(work, "bomb.tiff")
        webp = os.path.join(work, "bomb.webp")
        jpeg2 = os.path.join(work, "bomb2.jpg")
        write_jpeg_bomb(jpeg, work)
        shutil.copy(jpeg, jpeg2)
        write_png_bomb(png)
        write_bmp_bomb(bmp)
        write_tiff_bomb(tiff)
        write_webp_bomb(webp)
        scans = os.path.join(work, "scans.jpg")
        text = os.path.join(work, "text.png")
        dicom = os.path.join(work, "scan.dcm")
        write_scan_bomb(scans, work)
        write_text_bomb(text, work)
        write_dicom(dicom)

        tiny = os.path.join(work, "tiny.jpg")
        open(tiny, "wb").write(b"x")
        print(f"{'bomb':<36} {'file KB':>8} {'seconds':>8} {'x base':>7} {'CPU s':>6} "
              f"{'peak MiB':>9} {'x base':>7}  verdicts")
        cases = [
            ("baseline: 1 byte, not an image", [tiny], [tiny]),
            ("a normal photo, 295 x 413", [PORTRAIT], [PORTRAIT]),
            ("JPEG of 3000 scans, 4000 x 4000", [scans], [scans]),
            ("PNG with 300 zTXt of 8 MB each", [text], [text]),
            ("DICOM", [dicom], [dicom]),
            ("JPEG, SOF patched to 30000 x 30000", [jpeg], [jpeg]),
            ("PNG 30000 x 30000, deflate bomb", [png], [png]),
            ("BMP header 30000 x 30000", [bmp], [bmp]),
            ("TIFF directory 30000 x 30000", [tiff], [tiff]),
            ("lossless WebP 16384 x 16384", [webp], [webp]),
            ("two JPEG bombs, --jobs 2", ["--jobs", "2", jpeg, jpeg2], [jpeg, jpeg2]),
        ]
        base = None
        for what, arguments, files in cases:
            seconds, cpu, peak, out = best([audit] + arguments, work, runs)
            base = base or (seconds, peak)
            verdicts = [line.split("\t")[1] for line in out.splitlines() if "\t" in line]
            size = sum(os.path.getsize(f) for f in files) / 1024.0
            print(f"{what:<36} {size:>8.1f} {seconds:>8.3f} {seconds / base[0]:>7.2f} {cpu:>6.2f} "
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
            seconds, _, peak, out = best([audit, photo], work, 1)
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
