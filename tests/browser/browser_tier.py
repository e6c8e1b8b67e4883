#!/usr/bin/env python3
"""The browser tier: Firefox ESR and Chromium log in to a TLS site on loopback
with the emulated card, as a user would.

For each browser, in a fresh profile of a throwaway HOME with the module
registered by `vela3ro-tool register`, while the browser runs:
  1. pcscd and the card start only after the browser: the reader appears
     later; the browser goes to the site, the tier types the PIN into the
     browser's own PIN prompt (found on the X display), and the page must name
     the card's certificate;
  2. the card is pulled: the next load must end in an error page, soon;
  3. the card is put back: PIN prompt and page again.
Screenshots of each step, the browsers', server's and card's logs stay in
BUILD/tests/browser, with the part of the card's trace each login sent
(BROWSER-STEP.trace, for bench/vela_card_time). The last line is "N passed,
M failed".

VELA_BROWSER_CACHE_HOME, when set, is the browsers' XDG_CACHE_HOME instead
of one in the throwaway HOME: a folder kept from an earlier run makes the
first login a warm start of the PKCS#11 module's cache.

usage: browser_tier.py LINUX_BUILD_DIR [firefox|chromium]...   (run under the pcscd tiers' lock)
"""
import datetime
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browsers  # noqa: E402

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CARD_SCRIPT = os.path.join(SOURCE, "scripts", "emulated-card.sh")
SERIAL = "A1B2C3D4E5F601020304"
PIN = "123456"
# The subject every certificate of the card starts with.
CARD_SUBJECT = f"CN=VELA3 {SERIAL} "
# Chromium on Linux reads policies only from here (no per-user place): the
# tier writes its one file and removes it again.
CHROMIUM_POLICY_DIR = "/etc/chromium/policies/managed"
CHROMIUM_POLICY_FILE = os.path.join(CHROMIUM_POLICY_DIR, "vela3ro-browser-tier.json")

PROMPT_WAIT = 45    # s until the browser's PIN prompt must be shown
LOAD_WAIT = 60      # s until a page (or an error page) must be shown
# Where the browsers show a failed load.
ERROR_PAGES = ("about:neterror", "about:certerror", "chrome-error://")
READER_WAIT = 60   # s of reloads until a browser finds a reader that came
PUT_BACK_WAIT = 30  # s of reloads until it finds the card put back
FAIL_WAIT = 30      # s until the error page after the card was pulled


class Stop(Exception):
    pass


def on_signal(number, _frame):
    raise Stop(f"signal {number}")


class Tier:
    def __init__(self, build, browser_names):
        self.browsers = browser_names
        self.build = os.path.abspath(build)
        self.module = os.path.join(self.build, "pkcs11", "libvela3ro-pkcs11.so")
        self.card = os.path.join(self.build, "emulator", "vela-card")
        self.tool = os.path.join(self.build, "tool", "vela3ro-tool")
        self.out = os.path.join(self.build, "tests", "browser")
        self.state = os.path.join(self.out, "card")
        self.passed = 0
        self.failed = 0
        self.processes = []     # (name, Popen) of everything started, in order
        self.cleanups = []      # further undo steps, run last first
        self.pcscd_was_running = False

    # ---- output
    def log(self, text):
        line = f"[{datetime.datetime.now().strftime('%H:%M:%S.%f')[:-3]}] {text}"
        print(line, flush=True)
        with open(os.path.join(self.out, "tier.log"), "a") as f:
            f.write(line + "\n")

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            self.log(f"PASS {name}")
        else:
            self.failed += 1
            self.log(f"FAIL {name}: {detail}")
        return ok

    # ---- processes
    def start(self, name, argv, env=None, **kwargs):
        log = open(os.path.join(self.out, f"{name}.log"), "ab")
        process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                   start_new_session=True, **kwargs)
        log.close()
        self.processes.append((name, process))
        return process

    def stop(self, process):
        """Ends a process group we started: TERM, then KILL after 5 s (and
        KILL for stragglers of the group either way)."""
        for number in (signal.SIGTERM, signal.SIGKILL):
            if number == signal.SIGTERM and process.poll() is not None:
                continue
            try:
                os.killpg(process.pid, number)
            except ProcessLookupError:
                pass
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                pass

    def run(self, argv, timeout=60, **kwargs):
        return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout,
                              **kwargs)

    def card_script(self, *args, timeout=90):
        result = self.run([CARD_SCRIPT, *args], timeout=timeout)
        with open(os.path.join(self.out, "emulated-card.log"), "a") as f:
            f.write(f"$ emulated-card.sh {' '.join(args)}\n{result.stdout}{result.stderr}")
        if result.returncode != 0:
            raise RuntimeError(f"emulated-card.sh {args[0]}: {result.stderr.strip()}")

    def card_options(self):
        return [self.card, "--serial", SERIAL, "--ca-cert", os.path.join(self.state, "ca.pem")]

    def insert_card(self):
        self.card_script("insert", self.state, *self.card_options())

    def pull_card(self):
        self.card_script("pull", self.state)

    def start_reader_and_card(self):
        """pcscd with its vpcd reader, then the card: what a user's reader and
        card plugged in do."""
        self.card_script("start", self.state, *self.card_options())

    def stop_pcscd_and_card(self):
        self.card_script("stop", self.state)
        for pid in subprocess.run(["pidof", "pcscd"], capture_output=True, text=True).stdout.split():
            # A pcscd nobody here started (the lock gives the tier the reader):
            # it is started again at the end.
            self.pcscd_was_running = True
            os.kill(int(pid), signal.SIGTERM)
        deadline = time.monotonic() + 10
        while subprocess.run(["pidof", "pcscd"], capture_output=True).returncode == 0:
            if time.monotonic() > deadline:
                raise RuntimeError("pcscd does not stop")
            time.sleep(0.1)

    def write_card_ca(self):
        """The CA certificate of the card's certificates, from a card on no
        reader (the same options give the same CA)."""
        ca = os.path.join(self.state, "ca.pem")
        process = self.start("card-ca", [self.card, "--no-vpcd", "--tcp", "0", *self.card_options()[1:]])
        deadline = time.monotonic() + 20
        while not (os.path.exists(ca) and os.path.getsize(ca) > 0) and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(0.2)
        self.stop(process)
        if not os.path.exists(ca):
            raise RuntimeError("vela-card wrote no CA certificate")

    def card_trace(self):
        try:
            with open(os.path.join(self.state, "trace.txt")) as f:
                return f.readlines()
        except FileNotFoundError:
            return []

    def card_commands(self):
        return sum(1 for line in self.card_trace() if line.startswith(">"))

    # ---- X display
    def start_display(self):
        read_end, write_end = os.pipe()
        # -r: no autorepeat. A key left down (see answer_prompt) would
        # otherwise repeat into every later prompt.
        self.start("xvfb", ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x900x24", "-nolisten", "tcp",
                            "-r"], pass_fds=(write_end,))
        os.close(write_end)
        deadline = time.monotonic() + 20
        number = b""
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip():
            raise RuntimeError("Xvfb gave no display")
        self.display = ":" + number.decode().strip()
        self.log(f"Xvfb on {self.display}")

    def shot(self, browser_name, step, browser=None):
        """The whole screen (PIN prompts are windows of their own), and the
        page as the browser renders it."""
        base = os.path.join(self.out, "screenshots", f"{browser_name}-{step}")
        self.run(["import", "-display", self.display, "-window", "root", base + ".png"], timeout=20)
        if browser is not None:
            try:
                browser.screenshot(base + "-page.png")
            except Exception as error:  # a browser that hangs must not hang the tier
                self.log(f"no page screenshot for {step}: {error}")

    def windows(self):
        """The named windows on the display: id -> name."""
        env = dict(os.environ, DISPLAY=self.display)
        ids = self.run(["xdotool", "search", "--onlyvisible", "--name", "."], env=env, timeout=10).stdout.split()
        names = {}
        for wid in ids:
            names[wid] = self.run(["xdotool", "getwindowname", wid], env=env, timeout=10).stdout.strip()
        return names

    def answer_prompt(self, wid):
        """Types the PIN and Enter into the prompt as a keyboard does: into the
        focused window, through the server's test extension. Keys aimed at
        the window (xdotool --window) may lose their release when Enter
        closes the window in between; the server then holds Enter down and
        repeats it, and each later prompt is accepted at once with an empty
        PIN."""
        env = dict(os.environ, DISPLAY=self.display)
        for argv in (["xdotool", "windowfocus", "--sync", wid],
                     ["xdotool", "type", "--delay", "60", PIN],
                     ["xdotool", "key", "Return"]):
            result = self.run(argv, env=env, timeout=20)
            if result.returncode != 0:
                self.log(f"{' '.join(argv[:2])}: exit {result.returncode}: {result.stderr.strip()}")

    # ---- the site
    def make_certificates(self):
        """A CA of the site and its certificate for localhost and 127.0.0.1."""
        d = os.path.join(self.out, "site")
        os.makedirs(d)
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
        self.run(["openssl", "req", "-x509", *ec, "-keyout", f"{d}/ca.key", "-out", f"{d}/ca.pem", "-days", "2",
                  "-subj", "/CN=Browser tier site CA", "-addext", "basicConstraints=critical,CA:TRUE",
                  "-addext", "keyUsage=critical,keyCertSign"], check=True)
        self.run(["openssl", "req", *ec, "-keyout", f"{d}/server.key", "-out", f"{d}/server.csr",
                  "-subj", "/CN=localhost"], check=True)
        with open(f"{d}/ext", "w") as f:
            f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n"
                    "basicConstraints=critical,CA:FALSE\n")
        self.run(["openssl", "x509", "-req", "-in", f"{d}/server.csr", "-CA", f"{d}/ca.pem", "-CAkey", f"{d}/ca.key",
                  "-CAcreateserial", "-days", "2", "-extfile", f"{d}/ext", "-out", f"{d}/server.pem"], check=True)
        self.site_ca = f"{d}/ca.pem"
        return f"{d}/server.pem", f"{d}/server.key"

    def start_site(self):
        cert, key = self.make_certificates()
        self.site = Site(cert, key, os.path.join(self.state, "ca.pem"), os.path.join(self.out, "site.log"))
        self.site.start()
        self.url = f"https://localhost:{self.site.port}/"
        self.log(f"site at {self.url}")

    # ---- one browser's session
    def fresh_home(self, name):
        home = os.path.join(self.out, f"home-{name}")
        os.makedirs(home)
        return home

    def environment(self, home):
        env = {k: v for k, v in os.environ.items() if not k.startswith(("XDG_", "DBUS_", "WAYLAND_", "MOZ_"))}
        env.update(HOME=home, DISPLAY=self.display, XDG_CONFIG_HOME=f"{home}/.config",
                   XDG_CACHE_HOME=os.environ.get("VELA_BROWSER_CACHE_HOME", f"{home}/.cache"),
                   XDG_DATA_HOME=f"{home}/.local/share", LANG="C.UTF-8")
        env.pop("SSLKEYLOGFILE", None)
        return env

    def nss_db(self, directory):
        os.makedirs(directory, exist_ok=True)
        self.run(["certutil", "-N", "-d", f"sql:{directory}", "--empty-password"], check=True)
        # The site's CA, as a user of an intranet imports it.
        self.run(["certutil", "-A", "-d", f"sql:{directory}", "-n", "Browser tier site CA", "-t", "C,,",
                  "-i", self.site_ca], check=True)

    def register_module(self, env):
        """Registers the module in the user's NSS databases with the project's
        command, as a user would (the databases must exist: a Firefox profile
        gets one when Firefox first starts)."""
        result = self.run([self.tool, "--module", self.module, "register"], env=env)
        with open(os.path.join(self.out, "register.log"), "a") as f:
            f.write(f"$ HOME={env['HOME']} vela3ro-tool --module {self.module} register\n"
                    f"{result.stdout}{result.stderr}")
        if result.returncode != 0:
            raise RuntimeError(f"vela3ro-tool register: exit {result.returncode}: {result.stderr.strip()}")

    def session(self, name, launch, prompt_pattern):
        """The steps in one browser session; the browser runs throughout."""
        self.log(f"== {name}")
        browser = None
        try:
            self.stop_pcscd_and_card()
            browser = launch()
            self.log(f"{name} runs")
            # No reader yet: the site's request for a certificate has the
            # browser load the module, which finds no reader.
            self.failed_load(name, browser, "0-no-reader")
            # The reader (pcscd's vpcd) and the card come while it runs; the
            # user reloads until the browser asks for the PIN.
            self.start_reader_and_card()
            self.login(name, browser, prompt_pattern, "1-reader-appears", READER_WAIT)
            # The card pulled: the next load ends in an error, no hang.
            self.pull_card()
            self.failed_load(name, browser, "2-pulled")
            # Put back: PIN and page again.
            self.insert_card()
            self.login(name, browser, prompt_pattern, "3-put-back", PUT_BACK_WAIT)
        except (browsers.DriverError, RuntimeError, OSError, socket.timeout, subprocess.SubprocessError) as error:
            self.check(f"{name}: session", False, f"{type(error).__name__}: {error}")
            self.shot(name, "9-error")
        finally:
            if browser is not None:
                browser.close()
                self.stop(browser.process)

    def login(self, name, browser, prompt_pattern, step, wait):
        """Loads the site until the page names the card's certificate, typing
        the PIN whenever the browser asks for it; as a user does, a load that
        ends in an error page is reloaded, for up to `wait` seconds. True when
        the page names the card's certificate."""
        trace_start = len(self.card_trace())
        commands = self.card_commands()
        started = time.monotonic()
        attempt = 0
        prompts = 0
        text = None
        navigated = started
        while True:
            attempt += 1
            known = self.windows()
            navigated = time.monotonic()
            browser.navigate(self.url)
            wid, state = self.wait_prompt_or_load(browser, prompt_pattern, known)
            if wid is not None:
                prompts += 1
                self.shot(name, f"{step}-prompt{prompts}")
                self.answer_prompt(wid)
                text = self.wait_page(browser, LOAD_WAIT)
            else:
                text = state[1] if state is not None else None
            if text is not None and CARD_SUBJECT in text:
                break
            self.shot(name, f"{step}-attempt{attempt}", browser)
            if (wid is None and state is None) or time.monotonic() - started > wait:
                break
            page = browser.load_state()
            self.log(f"{name}: {step}: load {attempt} ended without the page "
                     f"({'PIN typed, ' if wid is not None else 'no PIN prompt, '}{page[0][:40] if page else None}), "
                     "reloading")
            time.sleep(2)
        elapsed = time.monotonic() - navigated
        self.shot(name, f"{step}-page", browser)
        self.check(f"{name}: {step}: the browser asks for the PIN", prompts > 0,
                   f"no PIN prompt after {attempt} loads in {time.monotonic() - started:.0f} s")
        ok = self.check(f"{name}: {step}: the page names the card's certificate",
                        text is not None and CARD_SUBJECT in text,
                        f"after {attempt} loads in {time.monotonic() - started:.0f} s: page text {text!r}, "
                        f"site saw {self.site.last_subject()!r}")
        with open(os.path.join(self.out, f"{name}-{step}.trace"), "w") as f:
            f.writelines(self.card_trace()[trace_start:])
        self.log(f"{name}: {step}: load {attempt} after {navigated - started:.1f} s; navigation to page "
                 f"{elapsed:.1f} s; PIN prompts {prompts}; card commands {self.card_commands() - commands}")
        return ok

    def wait_prompt_or_load(self, browser, prompt_pattern, known):
        """(window, None) when the PIN prompt shows, (None, page) when the
        load ends without one, (None, None) when neither comes in time."""
        deadline = time.monotonic() + PROMPT_WAIT
        while time.monotonic() < deadline:
            for wid, title in self.windows().items():
                if re.search(prompt_pattern, title) and wid not in known:
                    self.log(f"PIN prompt: window {wid} \"{title}\"")
                    return wid, None
            state = browser.load_state()
            if state is not None and (state[0].startswith(ERROR_PAGES) or CARD_SUBJECT in state[1]):
                return None, state
            time.sleep(0.3)
        self.log(f"neither a PIN prompt nor a page; windows: {self.windows()}")
        return None, None

    def failed_load(self, name, browser, step):
        started = time.monotonic()
        browser.navigate(self.url)
        text = self.wait_page(browser, FAIL_WAIT)
        elapsed = time.monotonic() - started
        self.shot(name, f"{step}-page", browser)
        self.check(f"{name}: {step}: the load ends in an error page within {FAIL_WAIT} s",
                   text is not None and CARD_SUBJECT not in text, f"page text {text!r}")
        self.log(f"{name}: {step}: error page after {elapsed:.1f} s")

    def wait_page(self, browser, timeout):
        """The page's text once the site's answer or an error page shows, or
        None when neither does in time."""
        deadline = time.monotonic() + timeout
        state = None
        while time.monotonic() < deadline:
            state = browser.load_state()
            if state is not None and (CARD_SUBJECT in state[1] or state[0].startswith(ERROR_PAGES)):
                return state[1]
            time.sleep(0.3)
        self.log(f"no page in {timeout} s: {state}")
        return None

    # ---- the browsers
    def launch_firefox(self):
        home = self.fresh_home("firefox")
        env = self.environment(home)
        profiles = os.path.join(home, ".mozilla", "firefox")
        profile = os.path.join(profiles, "tier.default")
        os.makedirs(profile)
        with open(os.path.join(profiles, "profiles.ini"), "w") as f:
            f.write("[General]\nStartWithLastProfile=1\n\n[Profile0]\nName=default\nIsRelative=1\n"
                    "Path=tier.default\nDefault=1\n")
        self.nss_db(profile)
        self.register_module(env)
        port = free_port()
        prefs = {
            "marionette.port": port,
            # The user's choice in Settings, Certificates: "Select one automatically".
            "security.default_personal_cert": "Select Automatically",
            "browser.shell.checkDefaultBrowser": False,
            "browser.startup.homepage_override.mstone": "ignore",
            "browser.startup.page": 0,
            "startup.homepage_welcome_url": "about:blank",
            "datareporting.policy.dataSubmissionEnabled": False,
            "toolkit.telemetry.reportingpolicy.firstRun": False,
            "app.update.disabledForTesting": True,
            "browser.aboutwelcome.enabled": False,
            "network.captive-portal-service.enabled": False,
            "network.connectivity-service.enabled": False,
            "extensions.update.enabled": False,
            "browser.safebrowsing.update.enabled": False,
            "network.http.http3.enable": False,
        }
        with open(os.path.join(profile, "user.js"), "w") as f:
            for key, value in prefs.items():
                f.write(f"user_pref({json.dumps(key)}, {json.dumps(value)});\n")
        process = self.start("firefox", ["firefox-esr", "--marionette", "--no-remote", "--profile", profile,
                                         "about:blank"], env=env)
        return browsers.Firefox(process, port, timeout=60)

    def launch_chromium(self):
        home = self.fresh_home("chromium")
        env = self.environment(home)
        self.nss_db(os.path.join(home, ".pki", "nssdb"))
        self.register_module(env)
        write_chromium_policy(self)
        log = open(os.path.join(self.out, "chromium.log"), "ab")
        argv = ["chromium", "--no-sandbox", f"--user-data-dir={home}/chromium-profile",
                "--disable-background-networking", "--disable-component-update", "--disable-sync", "--no-first-run",
                "--disable-quic", "--no-default-browser-check", "--password-store=basic", "--window-size=1200,850",
                "--window-position=0,0", "about:blank"]
        process, commands, events = browsers.start_chromium(argv, env, log)
        log.close()
        self.processes.append(("chromium", process))
        return browsers.Chromium(process, commands, events, timeout=60)

    # ---- the whole tier
    def main(self):
        for path in (self.module, self.card, self.tool):
            if not os.path.exists(path):
                print(f"browser tier: {path} is missing (build the linux preset first)", file=sys.stderr)
                return 2
        shutil.rmtree(self.out, ignore_errors=True)
        os.makedirs(os.path.join(self.out, "screenshots"))
        os.makedirs(self.state)
        try:
            self.start_display()
            # The card's CA is written when the card starts; the site needs it first.
            self.write_card_ca()
            self.start_site()
            if "firefox" in self.browsers:
                self.session("firefox", self.launch_firefox, r"^Password Required")
            if "chromium" in self.browsers:
                self.session("chromium", self.launch_chromium, r"^Unlock Security Device$")
        except Stop as stop:
            self.check("tier", False, f"stopped by {stop}")
        except Exception as error:
            self.check("tier", False, f"{type(error).__name__}: {error}")
        finally:
            self.cleanup()
        print(f"{self.passed} passed, {self.failed} failed", flush=True)
        return 1 if self.failed or not self.passed else 0

    def cleanup(self):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        for undo in reversed(self.cleanups):
            try:
                undo()
            except Exception as error:
                self.log(f"cleanup: {error}")
        try:
            self.card_script("stop", self.state)
        except Exception as error:
            self.log(f"cleanup: {error}")
        if getattr(self, "site", None):
            self.site.stop()
        for _, process in reversed(self.processes):
            self.stop(process)
        if self.pcscd_was_running and subprocess.run(["pidof", "pcscd"], capture_output=True).returncode != 0:
            subprocess.run(["pcscd"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def write_chromium_policy(tier):
    """An administrator's choice: the card's certificate is picked for the site
    without asking."""
    if os.path.exists(CHROMIUM_POLICY_FILE):
        raise RuntimeError(f"{CHROMIUM_POLICY_FILE} exists already (another run?)")
    created_dirs = []
    d = CHROMIUM_POLICY_DIR
    while not os.path.isdir(d):
        created_dirs.append(d)
        d = os.path.dirname(d)
    os.makedirs(CHROMIUM_POLICY_DIR, exist_ok=True)
    policy = {"AutoSelectCertificateForUrls": [json.dumps({"pattern": tier.url, "filter": {}})]}
    with open(CHROMIUM_POLICY_FILE, "w") as f:
        json.dump(policy, f)

    def remove():
        os.remove(CHROMIUM_POLICY_FILE)
        for d in created_dirs:
            os.rmdir(d)
    tier.cleanups.append(remove)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


SHORT_NAMES = {"commonName": "CN", "organizationName": "O", "organizationalUnitName": "OU", "countryName": "C",
               "serialNumber": "serialNumber"}


class Site(threading.Thread):
    """HTTPS on loopback, TLS 1.3 only, that requires a client certificate of
    the card's CA and answers with its subject. No session tickets: every load
    is a full handshake, so every load needs the card."""

    def __init__(self, cert, key, client_ca, log_path):
        super().__init__(daemon=True)
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.minimum_version = ssl.TLSVersion.TLSv1_3
        self.context.num_tickets = 0
        self.context.verify_mode = ssl.CERT_REQUIRED
        self.context.load_verify_locations(client_ca)
        self.context.load_cert_chain(cert, key)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.listener.settimeout(0.3)
        self.port = self.listener.getsockname()[1]
        self.log_path = log_path
        self.subjects = []
        self.stopping = threading.Event()
        self.lock = threading.Lock()

    def log(self, text):
        with self.lock, open(self.log_path, "a") as f:
            f.write(f"[{datetime.datetime.now().strftime('%H:%M:%S.%f')[:-3]}] {text}\n")

    def last_subject(self):
        with self.lock:
            return self.subjects[-1] if self.subjects else None

    def run(self):
        while not self.stopping.is_set():
            try:
                connection, peer = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self.serve, args=(connection, peer), daemon=True).start()

    def serve(self, connection, peer):
        connection.settimeout(90)
        try:
            with self.context.wrap_socket(connection, server_side=True) as tls:
                certificate = tls.getpeercert()
                subject = ",".join("+".join(f"{SHORT_NAMES.get(k, k)}={v}" for k, v in rdn)
                                   for rdn in reversed(certificate.get("subject", ())))
                with self.lock:
                    self.subjects.append(subject)
                request = b""
                while b"\r\n\r\n" not in request and len(request) < 65536:
                    chunk = tls.recv(4096)
                    if not chunk:
                        break
                    request += chunk
                first = request.split(b"\r\n", 1)[0].decode(errors="replace")
                self.log(f"{peer[1]}: {tls.version()} client certificate {subject}: {first}")
                body = (f"<!DOCTYPE html><html><head><title>Signed in</title></head><body>"
                        f"<p>Signed in with the certificate</p><p id=subject>{subject}</p></body></html>").encode()
                tls.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n"
                            b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)
        except (OSError, ssl.SSLError, ValueError) as error:
            self.log(f"{peer[1]}: no session: {error}")
        finally:
            connection.close()

    def stop(self):
        self.stopping.set()
        self.listener.close()


if __name__ == "__main__":
    names = sys.argv[2:] or ["firefox", "chromium"]
    if len(sys.argv) < 2 or not set(names) <= {"firefox", "chromium"}:
        print("usage: browser_tier.py LINUX_BUILD_DIR [firefox|chromium]...", file=sys.stderr)
        sys.exit(2)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    sys.exit(Tier(sys.argv[1], names).main())
