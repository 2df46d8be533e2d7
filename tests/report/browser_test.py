#!/usr/bin/python3
"""The report page in a real browser: headless Chromium driven by chromedriver through the W3C
WebDriver HTTP API (standard library only) loads index.html from disk; every image must have
loaded with the size of its PNG file, and the screenshot must show a page (many distinct
colours, a good share of it not background).

    browser_test.py --report PATH --db HISTORY.sqlite --work DIR

Exits 77 (ctest SKIP_RETURN_CODE) when chromium or chromedriver is not installed.
"""

import argparse
import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
import zlib

SKIP = 77


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class WebDriver:
    def __init__(self, port):
        self.base = "http://127.0.0.1:%d" % port

    def call(self, method, path, body=None, timeout=60):
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request(self.base + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(req, timeout=timeout) as resp:
                return json.loads(resp.read().decode())["value"]
        except urllib.error.HTTPError as e:
            raise RuntimeError("%s %s: %s" % (method, path, e.read().decode()[:500]))

    def wait_ready(self, seconds=30):
        # chromedriver says when it listens: poll its status until then.
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                if self.call("GET", "/status", timeout=2).get("ready"):
                    return
            except (OSError, RuntimeError):
                pass
            time.sleep(0.05)
        raise RuntimeError("chromedriver did not become ready")


def decode_png(data):
    """Width, height and rows of pixel tuples of an 8-bit RGB or RGBA PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, idat, width = 8, b"", 0
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        chunk = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", chunk[:10])
            assert depth == 8 and colour in (2, 6), (depth, colour)
            bpp = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += chunk
        pos += 12 + length
    raw = zlib.decompress(idat)
    stride = width * bpp
    rows, prev = [], bytearray(stride)
    for y in range(height):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x * bpp:x * bpp + 3]) for x in range(width)])
        prev = line
    return width, height, rows


def png_size(path):
    with open(path, "rb") as f:
        return struct.unpack(">II", f.read(24)[16:24])


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--report", required=True)
    p.add_argument("--db", required=True)
    p.add_argument("--work", required=True)
    args = p.parse_args()
    chromium = shutil.which("chromium")
    driver_exe = shutil.which("chromedriver")
    if not chromium or not driver_exe:
        print("SKIP: chromium and chromedriver are needed (Debian: chromium chromium-driver)")
        return SKIP

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    out = os.path.join(args.work, "report")
    made = subprocess.run([args.report, args.db, "--out", out], capture_output=True, text=True,
                          timeout=120)
    if made.returncode != 0:
        print("battery-report failed:", made.stderr)
        return 1
    index = made.stdout.strip()

    port = free_port()
    profile = tempfile.mkdtemp(prefix="report-chromium-")
    log = open(os.path.join(args.work, "chromedriver.log"), "w")
    proc = subprocess.Popen([driver_exe, "--port=%d" % port, "--allowed-ips=127.0.0.1"],
                            stdout=log, stderr=subprocess.STDOUT)
    try:
        wd = WebDriver(port)
        wd.wait_ready()
        caps = {"capabilities": {"alwaysMatch": {
            "browserName": "chrome",
            "goog:chromeOptions": {"binary": chromium, "args": [
                "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--no-first-run", "--window-size=1200,1800",
                "--user-data-dir=" + profile]}}}}
        session = wd.call("POST", "/session", caps, timeout=120)["sessionId"]
        try:
            # Navigation returns once the page has loaded (page load strategy "normal").
            wd.call("POST", "/session/%s/url" % session, {"url": "file://" + index})
            images = wd.call("POST", "/session/%s/execute/sync" % session, {
                "script": "return Array.from(document.images).map(i => ({src: "
                          "i.getAttribute('src'), complete: i.complete, w: i.naturalWidth, "
                          "h: i.naturalHeight}));", "args": []})
            title = wd.call("GET", "/session/%s/title" % session)
            shot = base64.b64decode(wd.call("GET", "/session/%s/screenshot" % session))
        finally:
            wd.call("DELETE", "/session/%s" % session)
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        log.close()
        shutil.rmtree(profile, ignore_errors=True)

    checks = [("title", title.startswith("Discharge test: "), repr(title)),
              ("three images", len(images) == 3, "%d images" % len(images))]
    for img in images:
        want = png_size(os.path.join(out, img["src"]))
        checks.append(("image " + img["src"], img["complete"] and (img["w"], img["h"]) == want,
                       "complete %s, %dx%d, file %dx%d" % (img["complete"], img["w"], img["h"],
                                                           want[0], want[1])))
    shot_path = os.path.join(args.work, "screenshot.png")
    with open(shot_path, "wb") as f:
        f.write(shot)
    width, height, rows = decode_png(shot)
    pixels = [px for row in rows for px in row]
    colours = len(set(pixels))
    sample = pixels[::97]
    background = max(set(sample), key=sample.count)
    inked = sum(1 for px in pixels if px != background) / len(pixels)
    print("screenshot %s: %dx%d" % (shot_path, width, height))
    checks.append(("screenshot colours", colours >= 200, "%d distinct colours" % colours))
    checks.append(("screenshot not blank", inked >= 0.05,
                   "%.1f%% not background" % (inked * 100)))
    failed = 0
    for name, ok, detail in checks:
        print("%s: %s (%s)" % ("ok" if ok else "FAIL", name, detail))
        failed += 0 if ok else 1
    print("%d passed, %d failed" % (len(checks) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
