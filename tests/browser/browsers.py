"""The two browsers, each driven through its own automation interface.

Firefox: Marionette, length-prefixed JSON over a loopback TCP port.
Chromium: the DevTools protocol over --remote-debugging-pipe (NUL-ended JSON
on descriptors 3 and 4), so no port and no web-driver program.

Both navigate without waiting for the page: the PIN prompt of the browser
blocks the load, and the tier answers it on the X display meanwhile.
"""
import base64
import json
import os
import queue
import socket
import subprocess
import threading
import time


# The document's address (error pages have their own) and its text.
PAGE_SCRIPT = "[document.documentURI, document.documentElement ? document.documentElement.innerText : '']"


class DriverError(Exception):
    pass


class PromptOpen(DriverError):
    """The browser shows a prompt of its own over the page (the PIN prompt)."""


def _wait_port(port, deadline):
    while time.monotonic() < deadline:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=2)
        except OSError:
            time.sleep(0.2)
    raise DriverError(f"nothing answers on port {port}")


class Browser:
    """What the tier asks of a browser: go to a page, read it, take a picture."""

    name = "?"

    def __init__(self, process):
        self.process = process

    def navigate(self, url):
        """Starts loading url and returns at once."""
        raise NotImplementedError

    def page(self):
        """The address of the document shown (an error page's own) and its text."""
        raise NotImplementedError

    def load_state(self):
        """None while the last navigation loads, then page()."""
        raise NotImplementedError

    def screenshot(self, path):
        raise NotImplementedError

    def close(self):
        pass


class Firefox(Browser):
    name = "firefox"

    def __init__(self, process, port, timeout=60):
        super().__init__(process)
        self.sock = _wait_port(port, time.monotonic() + timeout)
        self.sock.settimeout(timeout)
        self.buffer = b""
        self.next_id = 1
        self.loading = None
        self.pending = {}  # id -> answer, for answers read while waiting for another
        self.lock = threading.Lock()
        self._read()  # the server's hello
        # Marionette's default dismisses a prompt that is open when a command
        # comes: the PIN prompt would be cancelled whenever the tier looks
        # at the page while it shows. "ignore" leaves prompts to the user
        # (the tier, on the X display); commands then fail with "unexpected
        # alert open" until the prompt closes.
        self.command("WebDriver:NewSession", {"capabilities": {"alwaysMatch": {
            "acceptInsecureCerts": False, "unhandledPromptBehavior": "ignore"}}})
        # The load of a page with a PIN prompt takes the prompt's time.
        self.command("WebDriver:SetTimeouts", {"pageLoad": 120000, "script": 10000})

    def _read(self):
        """One message; what a timeout cuts short stays in the buffer."""
        while True:
            if b":" in self.buffer:
                length, rest = self.buffer.split(b":", 1)
                length = int(length)
                if len(rest) >= length:
                    self.buffer = rest[length:]
                    return json.loads(rest[:length])
            chunk = self.sock.recv(65536)
            if not chunk:
                raise DriverError("Marionette closed the connection")
            self.buffer += chunk

    def send(self, name, params=None):
        with self.lock:
            message_id = self.next_id
            self.next_id += 1
            data = json.dumps([0, message_id, name, params or {}]).encode()
            self.sock.sendall(str(len(data)).encode() + b":" + data)
        return message_id

    def answer(self, message_id, timeout):
        self.sock.settimeout(timeout)
        while message_id not in self.pending:
            message = self._read()
            if isinstance(message, list) and len(message) == 4 and message[0] == 1:
                self.pending[message[1]] = message
        _, _, error, result = self.pending.pop(message_id)
        if error:
            kind = PromptOpen if error.get("error") == "unexpected alert open" else DriverError
            raise kind(f"{error.get('error')}: {error.get('message')}")
        return result

    def command(self, name, params=None, timeout=60):
        return self.answer(self.send(name, params), timeout)

    def navigate(self, url):
        # Marionette answers Navigate once the page has loaded or failed to
        # (sometimes a little before it shows): the answer is collected by
        # load_state. The previous page goes first, so that it cannot be
        # taken for the new one.
        self.command("WebDriver:Navigate", {"url": "about:blank"}, timeout=30)
        self.loading = self.send("WebDriver:Navigate", {"url": url})

    def load_state(self):
        if self.loading is not None:
            try:
                self.answer(self.loading, 0.3)
            except socket.timeout:
                return None
            except DriverError:
                pass  # an error page is an answer too
            self.loading = None
        try:
            uri, text = self.page()
        except PromptOpen:
            return None  # the load waits for the prompt's answer
        return None if uri == "about:blank" else (uri, text)

    def page(self):
        result = self.command("WebDriver:ExecuteScript", {"script": "return " + PAGE_SCRIPT, "args": []}, timeout=15)
        return tuple(result.get("value") or ("", ""))

    def screenshot(self, path):
        data = self.command("WebDriver:TakeScreenshot", {"full": False}, timeout=15).get("value")
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class Chromium(Browser):
    name = "chromium"

    def __init__(self, process, commands, events, timeout=60):
        """commands: our end of the pipe Chromium reads (its descriptor 3);
        events: our end of the pipe it writes (its descriptor 4)."""
        super().__init__(process)
        self.commands = commands
        self.events = events
        self.next_id = 1
        self.answers = {}
        self.answered = threading.Condition()
        self.event_log = queue.Queue()
        self.reader = threading.Thread(target=self._read_all, daemon=True)
        self.reader.start()
        self.tab = None       # the tab of the last load
        self.session = None   # a DevTools session on it, once it has loaded
        deadline = time.monotonic() + timeout
        while not any(t["type"] == "page" for t in self.command("Target.getTargets")["targetInfos"]):
            if time.monotonic() > deadline:
                raise DriverError("Chromium shows no page")
            time.sleep(0.3)

    def _read_all(self):
        buffer = b""
        while True:
            try:
                chunk = os.read(self.events, 1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                with self.answered:
                    self.answers[None] = "closed"
                    self.answered.notify_all()
                return
            buffer += chunk
            while b"\0" in buffer:
                raw, buffer = buffer.split(b"\0", 1)
                message = json.loads(raw)
                if "id" in message:
                    with self.answered:
                        self.answers[message["id"]] = message
                        self.answered.notify_all()
                else:
                    self.event_log.put(message)

    def send(self, method, params=None, session=False):
        with self.answered:
            message_id = self.next_id
            self.next_id += 1
        message = {"id": message_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        return message_id

    def command(self, method, params=None, session=False, timeout=30):
        message_id = self.send(method, params, session)
        deadline = time.monotonic() + timeout
        with self.answered:
            while message_id not in self.answers:
                if None in self.answers:
                    raise DriverError("Chromium closed the DevTools pipe")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise DriverError(f"no answer to {method} in {timeout} s")
                self.answered.wait(left)
            message = self.answers.pop(message_id)
        if "error" in message:
            raise DriverError(f"{method}: {message['error']}")
        return message.get("result", {})

    def navigate(self, url):
        """Each load in a new tab, as a user opens a link in one. Nothing is
        attached to the tab while it loads: a page with a DevTools session
        that loads with a client certificate stops after the handshake and
        never sends its request (Chromium 156)."""
        if self.tab is not None:
            self.command("Target.closeTarget", {"targetId": self.tab})
        self.session = None
        self.tab = self.command("Target.createTarget", {"url": url})["targetId"]
        self.loading_url = url
        self.loading_title = url.split("://", 1)[-1]

    def load_state(self):
        uri, text = self.page()
        return None if (uri, text) == (self.loading_url, "") else (uri, text)

    def page(self):
        if self.session is None:
            info = next((t for t in self.command("Target.getTargets")["targetInfos"] if t["targetId"] == self.tab),
                        None)
            if info is None:
                raise DriverError("the tab has gone")
            # While it loads the tab's title is the address.
            if info["title"] in ("", self.loading_title, "about:blank"):
                return (self.loading_url, "")
            self.session = self.command("Target.attachToTarget", {"targetId": self.tab, "flatten": True})["sessionId"]
        result = self.command("Runtime.evaluate", {"expression": PAGE_SCRIPT, "returnByValue": True},
                              session=True, timeout=15)
        return tuple(result.get("result", {}).get("value") or ("", ""))

    def screenshot(self, path):
        if self.session is None:
            raise DriverError("no page to take")
        data = self.command("Page.captureScreenshot", {"format": "png"}, session=True, timeout=15)["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self):
        for fd in (self.commands, self.events):
            try:
                os.close(fd)
            except OSError:
                pass


def start_chromium(argv, env, log):
    """Starts Chromium with the DevTools pipe on its descriptors 3 and 4."""
    to_browser_r, to_browser_w = os.pipe()
    from_browser_r, from_browser_w = os.pipe()
    # The shell puts the pipe ends on 3 and 4 and closes the originals.
    script = (f'exec 3<&{to_browser_r} 4>&{from_browser_w} {to_browser_r}<&- {from_browser_w}>&-; '
              'exec "$@"')
    process = subprocess.Popen(["sh", "-c", script, "sh"] + argv + ["--remote-debugging-pipe"], env=env,
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True,
                               pass_fds=(to_browser_r, from_browser_w))
    os.close(to_browser_r)
    os.close(from_browser_w)
    return process, to_browser_w, from_browser_r
