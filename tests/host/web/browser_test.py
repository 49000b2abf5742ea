#!/usr/bin/env python3
"""The web page in Debian's headless Chromium, against the web server of
`plumbra live` on a private JACK server with the dummy driver, fed with pink
noise on in_left and recorded from out_left (--live PLUMBRA), or on the
stand-in engine (--fixture FIXTURE): without the token only the login shows;
with it the meters move, a slider changes the control (seen through the API
and in the recorded output), a preset is recalled and one saved. Saves a
screenshot.

Exit 77 (skipped) when chromium, chromedriver or python3-selenium is missing."""
import argparse
import array
import json
import socket
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--fixture", help="the stand-in engine's program")
    ap.add_argument("--live", help="plumbra, run as plumbra live on a private JACK server")
    ap.add_argument("--out", required=True, help="screenshot file (PNG)")
    args = ap.parse_args()

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_bin = shutil.which("chromedriver") or ("/usr/bin/chromedriver" if os.path.exists("/usr/bin/chromedriver") else None)
    if not chromium or not driver_bin:
        print("SKIPPED: chromium or chromedriver not installed (apt-get install chromium chromium-driver)")
        return SKIP
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        from selenium.webdriver.support.ui import Select, WebDriverWait
    except ImportError:
        # Debian's python3-selenium belongs to Debian's interpreter, which another on PATH may hide.
        if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
            os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
        print("SKIPPED: python3-selenium not installed")
        return SKIP

    work = tempfile.mkdtemp(prefix="plumbra-browser-")
    presets = os.path.join(work, "presets")
    os.makedirs(presets)
    with open(os.path.join(presets, "quiet.preset"), "w") as f:
        f.write("# a hand-written preset\nLowpass Filter=3000\nFinal 2k HF Shelf=-6\n")
    recording = os.path.join(work, "output.raw")
    helpers = []  # jackd, the feed and the recorder in the live mode
    if args.live:
        for tool in ("jackd", "jack_wait", "jack_connect", "jack_rec", "gst-launch-1.0"):
            if not shutil.which(tool):
                print("SKIPPED: %s not installed (jackd2, gstreamer1.0-tools, gstreamer1.0-plugins-good)" % tool)
                return SKIP
        server = "plb%d" % os.getpid()
        env = dict(os.environ, JACK_DEFAULT_SERVER=server, JACK_NO_START_SERVER="1", JACK_NO_AUDIO_RESERVATION="1")
        helpers.append(subprocess.Popen(["jackd", "-n", server, "-d", "dummy", "-r", "48000", "-p", "256"], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        subprocess.run(["jack_wait", "-w", "-t", "10"], env=env, check=True, stdout=subprocess.DEVNULL)
        with socket.socket() as sock:  # a free port on loopback
            sock.bind(("127.0.0.1", 0))
            port = sock.getsockname()[1]
        events = os.path.join(work, "events.log")
        fixture = subprocess.Popen([args.live, "live", "--quiet", "--http", str(port), "--token-file",
                                    os.path.join(work, "token"), "--preset-dir", presets, "--event-log", events,
                                    "--duration", "150"], env=env, stdout=subprocess.DEVNULL)
        helpers.append(subprocess.Popen(["gst-launch-1.0", "-q", "audiotestsrc", "wave=pink-noise", "volume=0.3", "!",
                                         "audio/x-raw,channels=1,rate=48000", "!", "jackaudiosink", "connect=none",
                                         "client-name=feed"], env=env, stdout=subprocess.DEVNULL))
        url = "http://127.0.0.1:%d/" % port
    else:
        fixture = subprocess.Popen([args.fixture, "--http", "0", "--token-file", os.path.join(work, "token"),
                                    "--preset-dir", presets, "--seconds", "150", "--record", recording],
                                   stdout=subprocess.PIPE, text=True)
    driver = None
    failures = []

    def check(cond, what):
        print(("ok   " if cond else "FAIL ") + what, flush=True)
        if not cond:
            failures.append(what)

    try:
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        if args.live:
            # On air once the event log says the server listens; then the feed and the recorder join.
            end = time.time() + 20
            while time.time() < end and not (os.path.exists(events) and "http_listening" in open(events).read()):
                time.sleep(0.1)
            if not (os.path.exists(events) and "http_listening" in open(events).read()):
                print("plumbra live did not start its server")
                return 1
            for _ in range(50):
                if subprocess.run(["jack_connect", "feed:out_jackaudiosink0_1", "plumbra:in_left"], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                    break
                time.sleep(0.1)
            token = open(os.path.join(work, "token")).read().strip()
            helpers.append(subprocess.Popen(["gst-launch-1.0", "-q", "jackaudiosrc", "connect=none", "client-name=rec",
                                             "!", "audio/x-raw,format=F32LE,channels=2", "!", "filesink",
                                             "location=" + recording], env=env, stdout=subprocess.DEVNULL))
            # The recording is silent until its ports are connected: its first sound
            # is where the engine's sample count stood at the connection.
            req = urllib.request.Request(url + "api/meters", headers={"Authorization": "Bearer " + token})
            for port_in, port_out in (("plumbra:out_right", "rec:in_jackaudiosrc0_2"),
                                      ("plumbra:out_left", "rec:in_jackaudiosrc0_1")):
                for _ in range(50):
                    if subprocess.run(["jack_connect", port_in, port_out], env=env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL).returncode == 0:
                        break
                    time.sleep(0.1)
            with opener.open(req, timeout=5) as r:
                connected_at = json.loads(r.read())["samples"]
        else:
            line = fixture.stdout.readline().strip()
            if not line.startswith("listening "):
                print("fixture did not start:", line)
                return 1
            url = line.split(" ", 1)[1]
            token = open(os.path.join(work, "token")).read().strip()

        def api(path):
            req = urllib.request.Request(url.rstrip("/") + path, headers={"Authorization": "Bearer " + token})
            with opener.open(req, timeout=5) as r:
                return json.loads(r.read())

        def control(label):
            return next(c["value"] for c in api("/api/state")["controls"] if c["label"] == label)

        def eventually(fn, want, seconds=5.0):
            got = None
            end = time.time() + seconds
            while time.time() < end:
                got = fn()
                if got == want:
                    return got
                time.sleep(0.1)
            return got

        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--no-proxy-server", "--window-size=1280,1350", "--user-data-dir=" + os.path.join(work, "profile")):
            options.add_argument(a)
        driver = webdriver.Chrome(service=Service(driver_bin), options=options)
        wait = WebDriverWait(driver, 15)

        # Without the token: the login only, and the API refuses the page's own requests.
        driver.get(url)
        wait.until(lambda d: d.find_element(By.ID, "login").is_displayed())
        check(not driver.find_element(By.ID, "main").is_displayed(), "without the token only the login shows")
        status = driver.execute_script("return fetch('/api/state').then(r => r.status)")
        check(status == 401, "the API answers the page 401 without the token (got %s)" % status)

        # A wrong token keeps the login.
        driver.find_element(By.ID, "token").send_keys("not-the-token" + Keys.ENTER)
        wait.until(lambda d: d.find_element(By.ID, "login-error").is_displayed())
        check(not driver.find_element(By.ID, "main").is_displayed(), "a wrong token keeps the login")

        driver.find_element(By.ID, "token").send_keys(token + Keys.ENTER)
        wait.until(lambda d: d.find_element(By.ID, "main").is_displayed())
        wait.until(lambda d: d.find_element(By.ID, "limiter").text != "-")
        check(len(driver.find_elements(By.CSS_SELECTOR, "#bands .band")) == 12, "twelve band meters")
        check(len(driver.find_elements(By.CSS_SELECTOR, "#controls input")) == 19, "nineteen controls")
        legends = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#controls legend")]
        check(legends == api("/api/state")["groups"], "controls grouped: %s" % legends)
        check(driver.execute_script("return sessionStorage.getItem('plumbra-token')") == token,
              "the token is kept in session storage")

        def meter_view():
            return [e.get_attribute("title") for e in driver.find_elements(By.CSS_SELECTOR, "#bands .band")] + \
                   [driver.find_element(By.ID, i).text for i in ("input", "output", "limiter", "lu-m")]
        first = meter_view()
        changes = 0
        for _ in range(10):
            time.sleep(0.2)
            now = meter_view()
            changes += now != first
            first = now
        check(changes >= 8, "meters move (%d of 10 looks changed)" % changes)
        check(driver.find_element(By.ID, "source").text == "programme", "source on air shown")
        if args.live:
            check(driver.find_element(By.ID, "lu-m").text not in ("", "-"), "the output's loudness shown")

        # Moving a slider as a person would: a click, then the keyboard (to the bottom, five steps up).
        before = control("Lowpass Filter")
        s0 = api("/api/meters")["samples"]
        slider = driver.find_element(By.ID, "c-lowpass_filter")
        slider.click()
        slider.send_keys(Keys.HOME)
        for _ in range(5):
            slider.send_keys(Keys.ARROW_RIGHT)
        got = eventually(lambda: control("Lowpass Filter"), 1500.0)
        check(before == 9700.0 and got == 1500.0, "the slider moved the control: %s -> %s Hz" % (before, got))
        s1 = api("/api/meters")["samples"]
        time.sleep(0.5)
        out = driver.find_element(By.CSS_SELECTOR, "output[for=c-lowpass_filter]").text
        check(out == "1500 Hz", "the slider shows its value with the unit (%r)" % out)

        # A state asked for before a change is answered, and arriving after it (held
        # back here by 800 ms), must not put the slider back to the value it held.
        driver.execute_script("""
            window.realFetch = window.fetch;
            window.fetch = (u, i) => u === '/api/state'
                ? window.realFetch(u, i).then(r => new Promise(ok => setTimeout(() => ok(r), 800)))
                : window.realFetch(u, i);
            loadState(false);""")
        slider.send_keys(Keys.ARROW_RIGHT)
        eventually(lambda: control("Lowpass Filter"), 1600.0)
        shown = set()
        for _ in range(15):
            time.sleep(0.1)
            shown.add(driver.find_element(By.CSS_SELECTOR, "output[for=c-lowpass_filter]").text)
        driver.execute_script("window.fetch = window.realFetch;")
        check(shown == {"1600 Hz"}, "a late state leaves the slider as set (%s)" % sorted(shown))

        # Recall and save.
        s2 = api("/api/meters")["samples"]
        Select(driver.find_element(By.ID, "preset-list")).select_by_visible_text("quiet")
        driver.find_element(By.ID, "recall").click()
        check(eventually(lambda: control("Lowpass Filter"), 3000.0) == 3000.0, "preset recall set its controls")
        check(control("Final 2k HF Shelf") == -6.0, "preset recall set every control it names")
        check(eventually(lambda: driver.find_element(By.ID, "c-lowpass_filter").get_attribute("value"), "3000") == "3000",
              "the slider follows the recalled preset")
        check("quiet" in driver.find_element(By.ID, "preset").text, "the preset in use is shown")
        driver.find_element(By.ID, "preset-name").send_keys("from browser")
        driver.find_element(By.ID, "save").click()
        saved = os.path.join(presets, "from browser.preset")
        check(eventually(lambda: os.path.exists(saved), True), "preset saved from the page")
        if os.path.exists(saved):
            check("Lowpass Filter=3000" in open(saved).read(), "the saved preset holds the current controls")
        check(eventually(lambda: len(driver.find_elements(By.CSS_SELECTOR, "#events li")) >= 3, True),
              "recent events listed")

        # Fifty writes through the API, each read back by the very next state
        # (the audio takes them up at its next block; the state never lags).
        def put(path, body):
            req = urllib.request.Request(url.rstrip("/") + path, data=json.dumps(body).encode(), method="PUT",
                                         headers={"Authorization": "Bearer " + token, "Content-Type": "application/json"})
            with opener.open(req, timeout=5) as r:
                return r.status
        late = [hz for hz in (2000.0 + 200.0 * i for i in range(50))
                if put("/api/controls", {"Lowpass Filter": hz}) != 200 or control("Lowpass Filter") != hz]
        check(not late, "50 writes each read back at once (late: %s)" % late)
        put("/api/controls", {"Lowpass Filter": 3000})

        driver.execute_script("window.scrollTo(0, 0); document.activeElement.blur()")
        time.sleep(1.0)
        driver.save_screenshot(args.out)
        check(os.path.getsize(args.out) > 10000, "screenshot saved to " + args.out)

        # A new tab session without the token, and logging out: the login only.
        driver.find_element(By.ID, "logout").click()
        check(driver.find_element(By.ID, "login").is_displayed() and not driver.find_element(By.ID, "main").is_displayed(),
              "logging out shows the login only")
        driver.refresh()
        wait.until(lambda d: d.find_element(By.ID, "login").is_displayed())
        check(not driver.find_element(By.ID, "main").is_displayed(), "after a reload without the token: the login only")
        driver.quit()
        driver = None
        fixture.terminate()
        fixture.wait(10)

        # In the recorded output: the lowpass at 1500 Hz leaves far less high-frequency
        # content (first difference against level) than at 9700 Hz just before.
        out = array.array("f")
        with open(recording, "rb") as f:
            raw = f.read()
            out.frombytes(raw[:len(raw) // 8 * 8])
        left = out[0::2]
        if args.live:
            first = next((i for i, v in enumerate(left) if v != 0.0), 0)
            s0, s1, s2 = (max(0, v - (connected_at - first)) for v in (s0, s1, s2))

        def brightness(lo, hi):
            x = left[lo:hi]
            d = [x[i] - x[i - 1] for i in range(1, len(x))]
            level = sum(v * v for v in x) / len(x)
            return math.sqrt(sum(v * v for v in d) / len(d) / level) if level > 0 else 0.0
        b_before, b_after = brightness(max(0, s0 - 24000), s0), brightness(s1, s2)
        check(s2 - s1 >= 4800 and b_after < 0.6 * b_before,
              "the recorded output darkens with the slider: %.3f -> %.3f" % (b_before, b_after))
    finally:
        if driver:
            driver.quit()
        for p in [fixture] + helpers[::-1]:
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(work, ignore_errors=True)

    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
