#!/usr/bin/python3
"""kavri-cli view in headless Chromium on the simulator.

view_test.py KAVRI_CLI CAMSIM_RUN [SCREENSHOT.png]
"""
import http.client
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

CLI, CAMSIM_RUN = sys.argv[1], sys.argv[2]
SHOT = sys.argv[3] if len(sys.argv) > 3 else None
MIN_FPS = 20.0
MEASURE_S = 3.0
failures = []


def check(ok, what):
    print(("ok     " if ok else "FAILED ") + what, flush=True)
    if not ok:
        failures.append(what)


def start_viewer(work, extra):
    env = dict(os.environ, KAVRI_WORKDIR=os.path.join(work, "wd"), CAMSIM_FPS="30")
    p = subprocess.Popen([CAMSIM_RUN, CLI] + extra + ["view", "--port", "0", "--out-dir", work],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    line = p.stdout.readline()
    m = re.search(r"(http://[^/]+)/\?t=([0-9a-f]+)", line)
    if not m:
        p.kill()
        raise SystemExit("no address printed: " + line + p.stderr.read())
    return p, m.group(1), m.group(2)


def stop(p):
    p.terminate()
    try:
        p.wait(timeout=10)
    except subprocess.TimeoutExpired:
        p.kill()


def status_of(base, path, headers=None):
    host, port = base[len("http://"):].split(":")
    c = http.client.HTTPConnection(host, int(port), timeout=5)
    c.request("GET", path, headers=headers or {})
    r = c.getresponse()
    r.read()
    return r.status


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def browser():
    o = webdriver.ChromeOptions()
    o.binary_location = "/usr/bin/chromium"
    for a in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
              "--use-angle=swiftshader", "--enable-unsafe-swiftshader", "--window-size=1400,1000"]:
        o.add_argument(a)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=o)


def wait_for(drv, js, timeout=10.0):
    end = time.time() + timeout
    while time.time() < end:
        v = drv.execute_script(js)
        if v:
            return v
        time.sleep(0.1)
    return None


work = tempfile.mkdtemp(prefix="kavri-view-test-")
drv = browser()
try:
    p, base, token = start_viewer(work, [])
    try:
        # Access checks, outside the browser.
        check(status_of(base, "/") == 403, "a request without the token is refused (403)")
        check(status_of(base, "/?t=" + "0" * 32) == 403, "a wrong token is refused (403)")
        check(status_of(base, "/?t=" + token, {"Origin": "http://evil.example"}) == 403,
              "a request from another site's page is refused (403), even with the token")
        check(status_of(base, "/?t=" + token, {"Origin": base}) == 200,
              "a request from the viewer's own page is served")
        ws_headers = {"Connection": "Upgrade", "Upgrade": "websocket", "Sec-WebSocket-Version": "13",
                      "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==", "Origin": "http://evil.example"}
        check(status_of(base, "/ws?t=" + token, ws_headers) == 403,
              "a WebSocket from another origin is refused (403)")

        drv.get(f"{base}/?t={token}")
        check(wait_for(drv, "return window.kavriView && window.kavriView.painted > 0") is not None,
              "the page loads and paints frames")
        # Rate over a window, with the server's CPU over the same window.
        clk = os.sysconf("SC_CLK_TCK")
        counts = "return [window.kavriView.received, window.kavriView.painted]"
        (r0, p0), t0, c0 = drv.execute_script(counts), time.time(), cpu_ticks(p.pid)
        time.sleep(MEASURE_S)
        (r1, p1), t1, c1 = drv.execute_script(counts), time.time(), cpu_ticks(p.pid)
        fps = (r1 - r0) / (t1 - t0)
        cpu_ms = (c1 - c0) / clk * 1000.0 / max(1, r1 - r0)
        st = drv.execute_script("return window.kavriView.status")
        print(f"measured: {fps:.1f} frames/s arrived at the page, {(p1 - p0) / (t1 - t0):.1f} painted; server CPU {cpu_ms:.2f} ms per frame "
              f"(the server's own count: {st and st['cpu_ms_per_frame']} ms)")
        check(fps >= MIN_FPS, f"frames arrive at >= {MIN_FPS} fps ({fps:.1f})")
        lat = drv.execute_script("""const s = window.kavriView, m = a => a.slice().sort((x,y)=>x-y)[a.length>>1];
            return [m(s.latencies), m(s.serverAges), m(s.messageToPaint), s.last.w, s.last.h, s.skipped,
                    m(s.paintMs)];""")
        print(f"measured: latency from the frame's last byte at the host to its paint: median "
              f"{lat[0]:.1f} ms, of which the server {lat[1]:.2f} ms; WebSocket message to paint "
              f"median {lat[2]:.2f} ms, the paint itself {lat[6]:.2f} ms; {lat[5]} frames skipped for the page")
        check(0 <= lat[1] <= lat[0], "the server's share of the latency is part of it")
        check(lat[3] == 320 and lat[4] == 240, f"frames are 320x240 ({lat[3]}x{lat[4]})")
        lost = st and st["lost"]
        print(f"frames lost by cause: {lost}")
        check(lost is not None and all(isinstance(lost.get(k), int) for k in
                                       ("transfer", "damaged", "slow_fetch", "refused", "bytes_skipped")),
              "frames lost are reported by cause")
        check("in transfer" in drv.execute_script("return document.getElementById('lost').textContent"),
              "the page shows the frames lost by cause")

        # The distance canvas against the frame it shows: many colours, valid
        # pixels coloured, pixels without a distance black.
        pix = drv.execute_script("""
            const f = window.kavriView.last, c = document.getElementById('dist');
            const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
            const colours = new Set(); let black = 0, noDist = 0, validBlack = 0;
            for (let i = 0; i < f.w * f.h; i++) {
              const k = (d[4*i] << 16) | (d[4*i+1] << 8) | d[4*i+2];
              colours.add(k);
              if (f.dist[i] === 0) { noDist++; if (k === 0) black++; } else if (k === 0) validBlack++;
            }
            return [colours.size, noDist, black, validBlack, f.valid, f.lo, f.hi];""")
        print(f"distance canvas: {pix[0]} colours, {pix[4]} valid pixels, range {pix[5]}..{pix[6]} mm")
        check(pix[0] > 50, "the distance canvas shows many colours, not a blank picture")
        check(pix[4] > 0.5 * 320 * 240 and pix[3] == 0 and pix[1] == pix[2],
              "valid pixels are coloured and pixels without a distance black")
        check(0 < pix[5] < pix[6] < 10000, "the automatic range is that of the scene")

        # Integration time from the page: the camera's answer.
        drv.execute_script("document.getElementById('in-intg_time').value = '777';"
                           "document.getElementById('set-intg_time').click();")
        ans = wait_for(drv, "return window.kavriView.answers.find(a => a.name === 'intg_time')")
        check(ans is not None and ans["ok"] and ans["value"] == "777",
              f"integration time set from the page, the camera answers 777 ({ans})")
        drv.execute_script("document.getElementById('in-fps').value = '500';"
                           "document.getElementById('set-fps').click();")
        ans = wait_for(drv, "return window.kavriView.answers.find(a => a.name === 'fps')")
        check(ans is not None and not ans["ok"], "a frame rate out of range is refused and says so")
        # The temporal filter: a weight the driver takes, then one it refuses.
        answers = []
        for value in ("200", "0"):
            drv.execute_script(f"document.getElementById('in-temporal').value = '{value}';"
                               "document.getElementById('set-temporal').click();")
            answers.append(wait_for(drv, "return window.kavriView.answers.filter("
                                         f"a => a.name === 'temporal')[{len(answers)}]"))
        check(answers[0] is not None and answers[0]["ok"] and answers[0]["value"] == "200"
              and answers[1] is not None and not answers[1]["ok"]
              and answers[1]["value"] == "200",
              f"the temporal filter set from the page, a weight of 0 refused ({answers})")

        # One image at a time: only the chosen one shows, larger; then back.
        shown = drv.execute_script("""const pick = (id, v) => { const e = document.getElementById(id);
              e.value = v; e.dispatchEvent(new Event('change')); };
            pick('layout', 'single'); pick('shown', 'amp');
            const vis = ['dist', 'amp', 'mask'].filter(id => document.getElementById(id).offsetParent !== null);
            const w = document.getElementById('amp').getBoundingClientRect().width;
            pick('layout', 'side');
            return [vis, w, ['dist', 'amp', 'mask'].filter(id => document.getElementById(id).offsetParent !== null)];""")
        check(shown[0] == ["amp"] and shown[1] > 320 and len(shown[2]) == 3,
              f"the images show one at a time, larger, or side by side ({shown})")
        check((wait_for(drv, "return window.kavriView.cloudPoints") or 0) > 10000,
              "the point cloud holds the frame's points")
        cloud = drv.execute_script("""
            const c = document.querySelector('#cloud canvas'), t = document.createElement('canvas');
            t.width = c.width; t.height = c.height; const x = t.getContext('2d'); x.drawImage(c, 0, 0);
            const d = x.getImageData(0, 0, t.width, t.height).data; let lit = 0;
            for (let i = 0; i < d.length; i += 4) if (d[i] + d[i+1] + d[i+2] > 30) lit++;
            return lit;""")
        check(cloud > 1000, f"the point-cloud view draws ({cloud} lit pixels)")
        if SHOT:
            drv.save_screenshot(SHOT)
            print("screenshot:", SHOT)
        # A raw recording from the page, for the replay below.
        drv.execute_script("document.getElementById('rec-raw').click()")
        time.sleep(2.0)
        drv.execute_script("document.getElementById('rec-raw').click()")
        time.sleep(1.0)
    finally:
        stop(p)
    recs = [f for f in os.listdir(work) if f.endswith(".kvr")]
    check(len(recs) == 1, "the page's record button made a raw recording")

    if recs:
        p, base, token = start_viewer(work, ["--from", os.path.join(work, recs[0])])
        try:
            drv.get(f"{base}/?t={token}")
            check(wait_for(drv, "return window.kavriView.painted > 0") is not None, "a replay plays")
            drv.execute_script("document.getElementById('pause').click()")
            time.sleep(0.5)
            a = drv.execute_script("return window.kavriView.received")
            time.sleep(1.0)
            b = drv.execute_script("return window.kavriView.received")
            check(a == b, f"a paused replay sends no frames ({a} -> {b})")
            drv.execute_script("const s = document.getElementById('seek'); s.value = 5;"
                               "s.dispatchEvent(new Event('change'))")
            pos = wait_for(drv, "const f = window.kavriView.last; return f && f.position === 6 && f.position")
            check(pos == 6, "seeking to frame 5 shows it (the replay's next is 6)")
            drv.execute_script("document.getElementById('step').click()")
            pos = wait_for(drv, "const f = window.kavriView.last; return f && f.position === 7 && f.position")
            check(pos == 7, "a step shows the next frame")
            # Counted as they arrive: a loaded runner's software WebGL may paint fewer.
            drv.execute_script("document.getElementById('play').click()")
            c = drv.execute_script("return window.kavriView.received")
            time.sleep(1.0)
            check(drv.execute_script("return window.kavriView.received") > c + 5, "play resumes")
        finally:
            stop(p)
finally:
    drv.quit()
    shutil.rmtree(work, ignore_errors=True)

print(f"{0 if failures else 1} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
