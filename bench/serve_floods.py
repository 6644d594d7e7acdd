#!/usr/bin/env python3
"""A healthy client of vetrix-serve while hostile clients flood it, on 127.0.0.1 only.

  bench/serve_floods.py [BIN_DIR]      (default build-release/bin; FLOOD_SECONDS=20 a flood)

The server runs with its defaults and 2 workers. For each flood, in turn, for FLOOD_SECONDS after a
few seconds for the flood to build up:
  - none: the healthy client alone, for comparison;
  - slow sockets from one address: 1100 connections from 127.0.0.2, each sending a byte of a
    request head a second, reconnecting whenever cut off;
  - slow sockets from 40 addresses: the same from 127.0.0.2 to 127.0.0.41, 40 a address;
  - held bodies from one address: 40 connections from 127.0.0.2, each sending all but the last
    byte of a 20 MiB body and waiting, reconnecting whenever cut off;
  - held bodies from 40 addresses: one such connection from each of 127.0.0.2 to 127.0.0.41;
  - scan bombs: 10 clients from 127.0.0.2 posting, again and again, a 4096 x 4096 progressive
    JPEG of 3000 scans (about 90 KB, written here) to /v1/audit.
The healthy client, from 127.0.0.1, posts a 295 x 413 photo to /v1/audit every 0.25 s (one at a
time, 30 s allowed each) and asks /healthz every 0.5 s. Printed for each flood: the share of its
audits answered with a verdict (200 with a state), their p50 and p99, the share of /healthz
answered 200, and the server's peak resident set size (VmHWM, reset between floods).
"""

import os
import resource
import socket
import struct
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PHOTO = os.path.join(ROOT, "tests", "data", "pass_red_test2_295x413.jpg")
SECONDS = float(os.environ.get("FLOOD_SECONDS", "20"))
BUILD_UP = 4.0


# --- a progressive JPEG of many scans ---------------------------------------------------------

class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def put(self, value, bits):
        for i in range(bits - 1, -1, -1):
            self.acc = (self.acc << 1) | ((value >> i) & 1)
            self.n += 1
            if self.n == 8:
                self.out.append(self.acc)
                if self.acc == 0xFF:
                    self.out.append(0)  # byte stuffing
                self.acc = self.n = 0

    def flush(self):
        while self.n:
            self.put(1, 1)  # padding with ones
        return bytes(self.out)


def segment(marker, payload):
    return struct.pack(">BBH", 0xFF, marker, len(payload) + 2) + payload


def scan_bomb(side=4096, scans=3000):
    """A grey progressive JPEG: one DC scan, then `scans` identical first AC scans, each a run of
    end-of-band codes over every block. Cheap to send, a pass over every block to decode."""
    blocks = (side // 8) ** 2
    one_code = bytes([1] + [0] * 15)  # one code of length 1
    out = bytearray(b"\xff\xd8")
    out += segment(0xDB, b"\x00" + bytes([1] * 64))
    out += segment(0xC2, struct.pack(">BHHB", 8, side, side, 1) + b"\x01\x11\x00")
    out += segment(0xC4, b"\x00" + one_code + b"\x00")  # DC: category 0 only
    out += segment(0xC4, b"\x10" + one_code + b"\xe0")  # AC: EOB14 only
    dc = BitWriter()
    for _ in range(blocks):
        dc.put(0, 1)
    out += segment(0xDA, b"\x01\x01\x00\x00\x00\x00") + dc.flush()
    ac = BitWriter()
    left = blocks
    while left > 0:
        run = min(left, 32767)
        if left - run and left - run < 16384:  # the last run must be at least 2^14 too
            run = left - 16384
        ac.put(0, 1)
        ac.put(run - 16384, 14)
        left -= run
    ac_scan = segment(0xDA, b"\x01\x01\x00\x01\x3f\x00") + ac.flush()
    out += ac_scan * scans
    out += b"\xff\xd9"
    return bytes(out)


# --- the server -------------------------------------------------------------------------------

def start_server(bin_dir):
    proc = subprocess.Popen([os.path.join(bin_dir, "vetrix-serve"), "--listen", "127.0.0.1:0",
                             "--workers", "2"], stderr=subprocess.PIPE, text=True)
    line = proc.stderr.readline()
    if "listening on 127.0.0.1:" not in line:
        sys.exit("vetrix-serve did not start: " + line)
    port = int(line.split("127.0.0.1:")[1].split()[0])
    threading.Thread(target=lambda: [None for _ in proc.stderr], daemon=True).start()
    return proc, port


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def reset_peak(pid):
    try:
        with open(f"/proc/{pid}/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the current resident set size
        return True
    except OSError:
        return False


def request(port, method, path, body=b"", source="127.0.0.1", timeout=30.0):
    """Status (0 on a failure) and the body of one request on a connection of its own."""
    s = socket.socket()
    s.settimeout(timeout)
    try:
        s.bind((source, 0))
        s.connect(("127.0.0.1", port))
        s.sendall(f"{method} {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                  f"Content-Length: {len(body)}\r\n\r\n".encode() + body)
        data = bytearray()
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        head, _, reply = bytes(data).partition(b"\r\n\r\n")
        return int(head[9:12]), reply
    except (OSError, ValueError):
        return 0, b""
    finally:
        s.close()


# --- the floods -------------------------------------------------------------------------------

def slow_sockets(port, sources, per_source, stop):
    held = []
    head = b"GET /healthz HTTP/1.1\r\nHost: x\r\nX-Slow: "
    while not stop.is_set():
        alive = []
        for s, sent in held:
            try:
                s.send(head[sent:sent + 1] if sent < len(head) else b"a")
                alive.append((s, sent + 1))
            except OSError:
                s.close()
        held = alive
        want = {src: per_source for src in sources}
        for s, _ in held:
            want[s.getsockname()[0]] -= 1
        for src, missing in want.items():
            for _ in range(missing):
                s = socket.socket()
                s.setblocking(False)
                try:
                    s.bind((src, 0))
                    s.connect_ex(("127.0.0.1", port))
                    held.append((s, 0))
                except OSError:
                    s.close()
        stop.wait(1.0)
    for s, _ in held:
        s.close()


def held_body(port, source, body, stop):
    while not stop.is_set():
        s = socket.socket()
        s.settimeout(2.0)
        try:
            s.bind((source, 0))
            s.connect(("127.0.0.1", port))
            s.sendall(f"POST /v1/audit HTTP/1.1\r\nHost: x\r\nContent-Length: {len(body)}\r\n\r\n"
                      .encode())
            view = memoryview(body)[:-1]
            while view and not stop.is_set():
                try:
                    view = view[s.send(view):]
                except socket.timeout:
                    continue
            while not stop.is_set():  # hold, until cut off
                try:
                    if not s.recv(65536):
                        break
                except socket.timeout:
                    continue
        except OSError:
            pass
        finally:
            s.close()
        stop.wait(0.2)


def scan_bombs(port, bomb, stop):
    while not stop.is_set():
        request(port, "POST", "/v1/audit", bomb, source="127.0.0.2", timeout=60)


# --- the healthy client -----------------------------------------------------------------------

def healthy(port, photo, stop, audits, probes):
    def probe():
        while not stop.is_set():
            probes.append(request(port, "GET", "/healthz", timeout=10)[0] == 200)
            stop.wait(0.5)
    prober = threading.Thread(target=probe)
    prober.start()
    while not stop.is_set():
        start = time.monotonic()
        status, reply = request(port, "POST", "/v1/audit", photo)
        audits.append((status == 200 and b'"state"' in reply, time.monotonic() - start, status))
        stop.wait(max(0.0, 0.25 - (time.monotonic() - start)))
    prober.join()


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def run_flood(name, port, pid, photo, flood):
    stop_flood, stop_client = threading.Event(), threading.Event()
    threads = [threading.Thread(target=f, args=(stop_flood,)) for f in flood]
    for t in threads:
        t.start()
    time.sleep(BUILD_UP if flood else 0)
    have_hwm = reset_peak(pid)
    audits, probes = [], []
    client = threading.Thread(target=healthy, args=(port, photo, stop_client, audits, probes))
    client.start()
    time.sleep(SECONDS)
    stop_client.set()
    client.join()
    peak = status_kib(pid, "VmHWM") if have_hwm else status_kib(pid, "VmRSS")
    stop_flood.set()
    for t in threads:
        t.join()
    ok = [a for a in audits if a[0]]
    latencies = [a[1] * 1000 for a in ok]
    statuses = {}
    for a in audits:
        statuses[a[2]] = statuses.get(a[2], 0) + 1
    print(f"{name:34s} audits {len(ok):3d}/{len(audits):3d} = {100 * len(ok) / max(1, len(audits)):5.1f} %"
          f"  p50 {percentile(latencies, 50):7.0f} ms  p99 {percentile(latencies, 99):7.0f} ms"
          f"  healthz {100 * sum(probes) / max(1, len(probes)):5.1f} %"
          f"  peak {peak / 1024:6.0f} MiB  statuses {dict(sorted(statuses.items()))}",
          flush=True)
    time.sleep(2)  # let the server shed what the flood left


def main():
    bin_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build-release", "bin")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 65536), hard))
    photo = open(PHOTO, "rb").read()
    bomb = scan_bomb()
    big = bytes(20 * 1024 * 1024)
    forty = [f"127.0.0.{i}" for i in range(2, 42)]

    print(f"machine: {os.cpu_count()} cores; load average at start: "
          f"{' '.join(open('/proc/loadavg').read().split()[:3])}")
    print(f"scan bomb: {len(bomb)} bytes, 3000 scans; {SECONDS:.0f} s a flood")
    proc, port = start_server(bin_dir)
    try:
        pid = proc.pid
        time.sleep(0.5)
        request(port, "POST", "/v1/audit", photo)  # warm-up
        print(f"server after warm-up: VmRSS {status_kib(pid, 'VmRSS') / 1024:.0f} MiB")
        floods = [
            ("none", []),
            ("slow sockets, 1 address x 1100",
             [lambda stop: slow_sockets(port, ["127.0.0.2"], 1100, stop)]),
            ("slow sockets, 40 addresses x 40",
             [lambda stop: slow_sockets(port, forty, 40, stop)]),
            ("held 20 MiB bodies, 1 address x 40",
             [lambda stop: held_body(port, "127.0.0.2", big, stop)] * 40),
            ("held 20 MiB bodies, 40 addresses",
             [lambda stop, src=src: held_body(port, src, big, stop) for src in forty]),
            ("scan bombs, 10 clients",
             [lambda stop: scan_bombs(port, bomb, stop)] * 10),
        ]
        for name, flood in floods:
            run_flood(name, port, pid, photo, flood)
    finally:
        proc.terminate()
        proc.wait(timeout=60)
    print(f"load average at end: {' '.join(open('/proc/loadavg').read().split()[:3])}")


if __name__ == "__main__":
    main()
