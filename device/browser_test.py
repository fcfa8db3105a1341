#!/usr/bin/python3
"""Drives the add-on's web pages in a real browser as a person would.

Usage: browser_test.py --browser chromium|firefox --url PAGE_URL --port STREAM_PORT
                       --music MUSIC_DIR --conf CONF_DIR --cgi CGI_PROGRAM
                       [--screenshot FILE] [--phone-screenshot FILE]
                       [--failure-screenshot FILE]

Run by `device/device.sh --browser` once per browser against one device:
Debian's chromium through Selenium (chromium-driver, python3-selenium), and
Debian's firefox-esr over WebDriver BiDi through puppeteer-core
(device/browser/bidi_bridge.js, from build/node; no browser is downloaded).
The steps are the same in both, at desktop and phone sizes. Through the
pages only, it sets the port, makes playlists by browsing folders, turns them
on, listens, edits, rescans, turns off and deletes; on the way it checks
that focus and the rows survive refreshes while the title changes, that a
refused create keeps what was typed and gives the reason, that Live turns
into down or unknown within a refresh when the server stops and into
stale/unknown when the device cannot be reached, that the player says nothing
while it plays and reconnects by itself (saying so) after a restart, a port
change and a server restart, waits while its playlist is off, the counts and limits, a
change shown across a reload, long names, the phone layout and the
listeners' page (one stream at a time, a turned-off playlist leaves and
plays again when turned on), and that axe-core finds no serious or critical violation
on the main page, the open form, the folder browser and the listeners'
page. After every step the console must hold no error. Every wait has a
deadline. Exits 0 when every step passed.
"""
import argparse
import fcntl
import json
import os
import re
import selectors
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NODE_MODULES = os.path.join(ROOT, "build", "node", "node_modules")

# Deadlines, in seconds.
SHORT = 15      # the page answers a click
CHANGE = 60     # a command that starts or stops streams
STREAM = 40     # a stream comes up, or plays
REFRESH = 5     # the page's refresh interval

DESKTOP = (1100, 760)
PHONE = (390, 844)


class StepFailed(Exception):
    pass


# ------------------------------------------------------------------ browsers
# Both take JavaScript function bodies (as Selenium's execute_script: the
# arguments in `arguments`, a returned promise awaited); elements are named
# by bodies that return them.

class Chromium:
    name = "Chromium"

    def __init__(self):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     f"--window-size={DESKTOP[0]},{DESKTOP[1]}", "--no-first-run", "--no-default-browser-check",
                     "--autoplay-policy=no-user-gesture-required", "--disable-extensions"):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        self.driver.set_page_load_timeout(30)
        self.driver.set_script_timeout(60)
        self.version = self.driver.capabilities.get("browserVersion", "")

    def goto(self, url):
        self.driver.get(url)

    def js(self, body, *args):
        return self.driver.execute_script(body, *args)

    def _element(self, body, args):
        element = self.driver.execute_script(body, *args)
        if element is None:
            raise StepFailed("no such element")
        self.driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", element)
        return element

    def click(self, body, *args):
        self._element(body, args).click()

    def type(self, body, text, *args):
        element = self._element(body, args)
        element.clear()
        element.send_keys(text)

    def press(self, key):
        from selenium.webdriver.common.action_chains import ActionChains
        from selenium.webdriver.common.keys import Keys
        ActionChains(self.driver).send_keys(getattr(Keys, key.upper())).perform()

    def viewport(self, width, height):
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": width, "height": height, "deviceScaleFactor": 1,
                                     "mobile": width < 700})

    def windows(self):
        return len(self.driver.window_handles)

    def errors(self):
        return [f"{e.get('level')}: {e.get('message')}" for e in self.driver.get_log("browser")
                if e.get("level") == "SEVERE"]

    def screenshot(self, path, body=None, *args):
        if body:
            self._element(body, args).screenshot(path)
        else:
            self.driver.save_screenshot(path)

    def quit(self):
        self.driver.quit()


class Firefox:
    """Debian's firefox-esr, over WebDriver BiDi, through device/browser/bidi_bridge.js."""
    name = "Firefox"

    def __init__(self):
        env = dict(os.environ, NODE_PATH=NODE_MODULES)
        self.process = subprocess.Popen(["node", os.path.join(ROOT, "device", "browser", "bidi_bridge.js")],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                                        start_new_session=True)
        self.selector = selectors.DefaultSelector()
        self.selector.register(self.process.stdout, selectors.EVENT_READ)
        self.buffer = b""
        self.next_id = 1
        self.version = self._answer(0, 60)

    def _line(self, deadline):
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not self.selector.select(left):
                raise StepFailed("Firefox did not answer in time")
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                raise StepFailed("Firefox's driver ended")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def _answer(self, request_id, timeout):
        deadline = time.monotonic() + timeout
        while True:
            answer = self._line(deadline)
            if answer.get("id") == request_id:
                if not answer.get("ok"):
                    raise StepFailed(answer.get("error", "failed"))
                return answer.get("value")

    def call(self, op, timeout=90, **fields):
        request_id = self.next_id
        self.next_id += 1
        self.process.stdin.write((json.dumps({"id": request_id, "op": op, **fields}) + "\n").encode())
        self.process.stdin.flush()
        return self._answer(request_id, timeout)

    def goto(self, url):
        self.call("goto", url=url)

    def js(self, body, *args):
        return self.call("js", body=body, args=list(args))

    def click(self, body, *args):
        self.call("js", body="const e = (() => {" + body + "})(...arguments);"
                  "if (e) e.scrollIntoView({block: 'center'}); return !!e", args=list(args))
        self.call("click", body=body, args=list(args))

    def type(self, body, text, *args):
        self.call("type", body=body, args=list(args), text=text)

    def press(self, key):
        self.call("press", key=key)

    def viewport(self, width, height):
        self.call("viewport", width=width, height=height)

    def windows(self):
        return 1  # puppeteer's page is the one tab; window.open is watched in the page

    def errors(self):
        return self.call("errors")

    def screenshot(self, path, body=None, *args):
        self.call("screenshot", path=path, body=body, args=list(args))

    def quit(self):
        try:
            self.call("quit", timeout=20)
        except (StepFailed, OSError, ValueError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=10)


# ------------------------------------------------------------------ the page

ROW = "const r = [...document.querySelectorAll('#rows tr')].find(r => r.dataset.name === arguments[0]);"
PLAYER_AUDIO = "const a = document.querySelector('#player audio');"


class Page:
    def __init__(self, browser):
        self.b = browser

    def js(self, body, *args):
        return self.b.js(body, *args)

    def wait(self, condition, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            try:
                value = condition()
            except StepFailed:
                value = None
            if value:
                return value
            if time.monotonic() > deadline:
                raise StepFailed(f"waited {timeout} s for {what}; {self.describe()}")
            time.sleep(0.2)

    def describe(self):
        try:
            message = self.message()
            form = self.js("const m = document.getElementById('editor-message');"
                         "return m && !m.hidden && document.getElementById('editor').open ? m.textContent : ''")
        except Exception:  # noqa: BLE001 - only for the failure text
            return "the page could not be read"
        text = f"message: {message[0]} {message[1]!r}" if message else "no message shown"
        return text + (f"; form says {form!r}" if form else "")

    def message(self):
        """(kind, text) of the message bar, or None when it is hidden."""
        return self.js("""
            const box = document.getElementById('message');
            if (!box || box.hidden) return null;
            const kind = ['error', 'working', 'info'].find(k => box.classList.contains(k)) || '';
            return [kind, document.getElementById('message-text').textContent];""")

    def settled(self, timeout=CHANGE):
        """Waits until no change is running; fails on an error message."""
        self.wait(lambda: not self.js("return document.body.classList.contains('working')"), timeout,
                  "the change to finish")
        message = self.message()
        if message and message[0] == "error":
            raise StepFailed(f"the page reports: {message[1]}")
        form = self.js("const m = document.getElementById('editor-message');"
                         "return m && !m.hidden && document.getElementById('editor').open ? m.textContent : ''")
        if form:
            raise StepFailed(f"the form says: {form}")
        return message[1] if message else ""

    def question(self, timeout=SHORT):
        """The question asked before a change: its title and text, once it is open."""
        self.wait(lambda: self.js("return document.getElementById('ask').open"), timeout, "the question")
        return self.text("ask-title") + " " + self.text("ask-text")

    def answer(self, yes, expected=None):
        """Answers the open question; `expected`: words its text must hold."""
        said = self.question()
        if expected and expected not in said:
            raise StepFailed(f"the question says {said!r}, not {expected!r}")
        self.click_id("ask-yes" if yes else "ask-no", "the answer")
        self.wait(lambda: not self.js("return document.getElementById('ask').open"), SHORT, "the question closed")
        return said

    def count_requests(self, command):
        """From now on, how many `command` requests the page sends: window.__sent[command]."""
        self.js("""
            window.__sent = window.__sent || {};
            window.__sent[arguments[0]] = 0;
            if (window.__sendCounted) return;
            window.__sendCounted = true;
            const fetch0 = window.fetch;
            window.fetch = function (url, init) {
              const body = init && init.body ? String(init.body) : '';
              for (const c of Object.keys(window.__sent)) if (body.includes('cmd=' + c + '&') || body.endsWith('cmd=' + c)) window.__sent[c]++;
              return fetch0.apply(this, arguments);
            };""", command)

    def sent(self, command):
        return self.js("return (window.__sent || {})[arguments[0]] || 0", command)

    def text(self, element_id):
        return self.js("const e = document.getElementById(arguments[0]); return e ? e.textContent : null", element_id)

    def value(self, element_id):
        return self.js("return document.getElementById(arguments[0]).value", element_id)

    def visible(self, element_id):
        return self.js("const e = document.getElementById(arguments[0]); return !!e && !e.closest('[hidden]') && "
                       "e.getClientRects().length > 0 && getComputedStyle(e).visibility !== 'hidden'", element_id)

    def has_row(self, name):
        return self.js(ROW + "return !!r", name)

    def cell(self, name, selector):
        return self.js(ROW + "const c = r && r.querySelector(arguments[1]); return c ? c.textContent : null",
                       name, selector)

    def state(self, name):
        return self.cell(name, ".col-state .badge")

    def click(self, body, what, *args, timeout=SHORT):
        """Clicks the element `body` returns, again if it is not there yet."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.b.click(body, *args)
                return
            except Exception as e:  # noqa: BLE001 - a redraw or a covered element: try again
                if time.monotonic() > deadline:
                    raise StepFailed(f"could not click {what}: {str(e).splitlines()[0] if str(e) else e!r}") from None
                time.sleep(0.2)

    def click_id(self, element_id, what=None):
        self.click("return document.getElementById(arguments[0])", what or element_id, element_id)

    def click_row(self, name, selector, what):
        self.click(ROW + "return r ? r.querySelector(arguments[1]) : null", what, name, selector)

    def type_id(self, element_id, text):
        self.b.type("return document.getElementById(arguments[0])", text, element_id)

    def set_value(self, element_id, text):
        """Puts text in a field at once (texts a keyboard driver cannot type)."""
        self.js("const e = document.getElementById(arguments[0]); e.focus(); e.value = arguments[1];"
                "e.dispatchEvent(new Event('input', {bubbles: true}))", element_id, text)

    def status_requests(self):
        """How many GUI_ice_status requests the page has sent since the counter was set up."""
        return self.js("return window.__statusRequests || 0")

    def count_status_requests(self):
        self.js("""
            if (window.__statusRequests !== undefined) return;
            window.__statusRequests = 0;
            const fetch0 = window.fetch;
            window.fetch = function (url, init) {
              const body = init && init.body ? String(init.body) : '';
              const answer = fetch0.apply(this, arguments);
              if (body.includes('cmd=GUI_ice_status')) answer.finally(() => setTimeout(() => window.__statusRequests++, 50));
              return answer;
            };""")

    def axe(self, what):
        """axe-core inside the page: fails on serious or critical violations."""
        if not self.js("return typeof axe !== 'undefined'"):
            with open(os.path.join(NODE_MODULES, "axe-core", "axe.min.js"), encoding="utf-8") as f:
                self.js(f.read() + "\nwindow.axe = axe; return true;")
        found = self.js("""
            return axe.run(document, {resultTypes: ['violations']}).then(r => r.violations
              .filter(v => v.impact === 'serious' || v.impact === 'critical')
              .map(v => v.impact + ' ' + v.id + ': ' + v.help + ' [' +
                   v.nodes.slice(0, 3).map(n => n.target.join(' ')).join(', ') + ']'));""")
        if found:
            raise StepFailed(f"axe-core on {what}: " + " | ".join(found))


def fetch(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.read().decode("utf-8", "replace")


def processes(program):
    """PIDs of processes whose program is named `program` (in this PID namespace)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                argv0 = f.read().split(b"\0")[0].decode(errors="replace")
        except OSError:
            continue
        if os.path.basename(argv0) == program:
            pids.append(int(entry))
    return pids


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--browser", choices=("chromium", "firefox"), required=True)
    parser.add_argument("--url", required=True)
    parser.add_argument("--port", required=True)
    parser.add_argument("--music", required=True)
    parser.add_argument("--conf", required=True)
    parser.add_argument("--cgi", required=True)
    parser.add_argument("--screenshot")
    parser.add_argument("--phone-screenshot")
    parser.add_argument("--failure-screenshot", default="browser-failed.png")
    args = parser.parse_args()
    started = time.monotonic()

    browser = Chromium() if args.browser == "chromium" else Firefox()
    print(f"{browser.name} {browser.version}", flush=True)
    page = Page(browser)
    passed = failed = 0
    url = args.url.rstrip("/") + "/"
    cgi_url = url + "cgi-bin/stream_admin"
    port = args.port
    music = args.music.rstrip("/")
    root_label = os.path.basename(music)
    conf = args.conf
    created = []

    def step(what, action, allow=None):
        """Runs one step; `allow`: the console errors the step causes on purpose."""
        nonlocal passed, failed
        t0 = time.monotonic()
        try:
            action()
            errors = [e for e in browser.errors() if not (allow and allow in e)]
            if errors:
                raise StepFailed("console errors: " + " | ".join(errors))
        except Exception as e:
            failed += 1
            print(f"FAIL  {browser.name}: {what} ({time.monotonic() - t0:.1f} s)\n      {str(e).strip()}", flush=True)
            try:
                browser.screenshot(args.failure_screenshot)
                print(f"      the page then: {args.failure_screenshot}")
            except Exception:  # noqa: BLE001 - the failure is reported already
                pass
            raise
        passed += 1
        print(f"ok    {browser.name}: {what} ({time.monotonic() - t0:.1f} s)", flush=True)

    def cgi(query):
        return fetch(cgi_url + "?" + query, timeout=20)

    def open_page():
        browser.viewport(*DESKTOP)
        browser.goto(url)
        page.wait(lambda: (page.text("server-state") or "").startswith("Streaming server"), SHORT, "the server state")
        page.wait(lambda: page.value("port") != "", SHORT, "the port field")
        page.axe("the main page")

    def port_messages():
        for typed, expected in (("abc", "is not a port"), ("70000", "ports run from 1 to 65535"), ("", "Give a port")):
            page.type_id("port", typed) if typed else page.set_value("port", "")
            page.click_id("port-save", "Change port")
            page.wait(lambda: expected in (page.text("port-note") or "") and page.visible("port-note"), SHORT,
                      f"the page's own message for {typed!r}")
            if page.js("return document.body.classList.contains('working')"):
                raise StepFailed(f"the port {typed!r} was sent to the device")

    def set_port():
        page.type_id("port", port)
        page.click_id("port-save", "Change port")
        page.wait(lambda: page.js("return document.getElementById('ask').open") or page.message(), SHORT,
                  "the question or the page's answer")
        if page.js("return document.getElementById('ask').open"):
            page.answer(True, "every stream restart")
        text = page.settled()
        if port not in text:
            raise StepFailed(f"after the port change the page says {text!r}")
        page.wait(lambda: page.text("server-state") == f"Streaming server running on port {port}.",
                  STREAM, f"the server to run on port {port}")

    def folder(path):
        return page.js("return [...document.querySelectorAll('#browse-list button.folder')]"
                       ".some(b => b.dataset.path === arguments[0])", path)

    def click_folder(path):
        page.click("return [...document.querySelectorAll('#browse-list button.folder')]"
                   ".find(b => b.dataset.path === arguments[0]) || null", f"folder {path}", path)

    def open_form():
        page.click_id("new-playlist", "New playlist")
        page.wait(lambda: page.js("return document.getElementById('editor').open") and page.value("f-name") != "",
                  SHORT, "the form with a proposed name")

    def browse(path, add_by_list):
        page.wait(lambda: folder(music), SHORT, "the music folder among the roots")
        click_folder(music)
        here = music
        for part in path[:-1] if add_by_list else path:
            here = here + "/" + part
            page.wait(lambda: folder(here), SHORT, f"folder {part!r}")
            click_folder(here)
        shown = "/".join([root_label] + (path[:-1] if add_by_list else path))
        page.wait(lambda: page.text("browse-path") == shown, SHORT, f"{shown} shown below the music root")
        chosen = music + "/" + "/".join(path)
        if add_by_list:
            page.click("return [...document.querySelectorAll('#browse-list button[data-add]')]"
                       ".find(b => b.dataset.add === arguments[0]) || null", f"Add beside {chosen}", chosen)
        else:
            page.click_id("browse-add", "Add this folder")
        page.wait(lambda: page.js("return [...document.querySelectorAll('#chosen .path')].map(e => [e.dataset.path, e.textContent])")
                  == [[chosen, "/".join([root_label] + path)]], SHORT, f"{chosen} chosen, shown below the music root")

    def create(name, genre, path, add_by_list, check_form=False):
        def run():
            open_form()
            if check_form:
                page.axe("the open form")
            proposed = page.value("f-name")
            if name is None:
                made = proposed
                if not proposed.startswith("Playlist-"):
                    raise StepFailed(f"proposed name {proposed!r}")
            else:
                made = name
                page.type_id("f-name", name)
            page.type_id("f-genre", genre)
            page.type_id("f-desc", "Made in the browser")
            if not page.js("return document.getElementById('f-rand').checked"):
                page.click_id("f-rand", "Shuffle")
            browse(path, add_by_list)
            if check_form:
                page.axe("the folder browser")
            page.click_id("editor-save", "Create playlist")
            page.settled()
            page.wait(lambda: page.state(made) == "Stopped", SHORT, f"{made!r} stopped in the table")
            if page.cell(made, "td:nth-child(3)") != genre:
                raise StepFailed(f"genre cell reads {page.cell(made, 'td:nth-child(3)')!r}, not {genre!r}")
            if page.js("return document.getElementById('editor').open"):
                raise StepFailed("the form stayed open after the create")
            created.append(made)
        return run

    def refused_create():
        open_form()
        typed = {"f-genre": "Kept genre", "f-desc": "Kept description"}
        for field, text in typed.items():
            page.type_id(field, text)
        # Checked in the page as the device checks it, before anything is sent.
        for name, expected in (("日本語の名前" * 15, "too long: 270 bytes"), ("all", "keeps for itself"),
                               ("a/b", "cannot hold “/”"), ("tab\there", "control characters")):
            page.set_value("f-name", name)
            page.click_id("editor-save", "Create playlist")
            page.wait(lambda: expected in (page.text("f-name-note") or ""), SHORT, f"the page's reason for {name[:12]!r}")
            if page.js("return document.body.classList.contains('working')"):
                raise StepFailed(f"{name[:12]!r} was sent to the device")
        # A name the device holds already: refused with the reason, the form kept.
        page.set_value("f-name", created[0])
        browse(["Singles"], False)
        page.click_id("editor-save", "Create playlist")
        page.wait(lambda: "exists already" in (page.text("editor-message") or ""), SHORT, "the reason: the name exists")
        # The device refuses: its config directory cannot be written.
        page.set_value("f-name", "Read-only")
        subprocess.run(["mount", "--bind", conf, conf], check=True)
        try:
            subprocess.run(["mount", "-o", "remount,ro,bind", conf], check=True)
            page.click_id("editor-save", "Create playlist")
            page.wait(lambda: "cannot write its settings folder" in (page.text("editor-message") or ""), CHANGE,
                      "the reason: the settings folder cannot be written")
        finally:
            subprocess.run(["umount", conf], check=True)
        if not page.js("return document.getElementById('editor').open"):
            raise StepFailed("the form was closed")
        kept = {field: page.value(field) for field in typed}
        if kept != typed or page.value("f-name") != "Read-only":
            raise StepFailed(f"the form holds {kept} and name {page.value('f-name')!r}")
        if page.js("return [...document.querySelectorAll('#chosen .path')].length") != 1:
            raise StepFailed("the chosen folder was lost")
        page.click_id("editor-cancel", "Cancel")
        page.wait(lambda: not page.js("return document.getElementById('editor').open"), SHORT, "the form closed")
        if page.has_row("Read-only"):
            raise StepFailed("a refused playlist is in the table")

    def turn_on(name):
        def run():
            page.click_row(name, "button[data-action=toggle]", "the start button")
            page.settled()
            page.wait(lambda: page.state(name) == "Live", STREAM, f"{name!r} live")
            if not page.js(ROW + "const b = r.querySelector('[data-action=listen]'); return !!b && !b.hidden", name):
                raise StepFailed("no listen button in the live row")
        return run

    def counts(expected):
        page.wait(lambda: (page.text("counts") or "").startswith(expected), SHORT + REFRESH, f"the counts {expected!r}")

    def focus_survives(name):
        def run():
            page.count_status_requests()
            scrolled = page.js(ROW + "r.__kept = true; r.querySelector('[data-action=edit]').focus();"
                               "window.scrollTo(0, 120); return window.scrollY", name)
            base = page.status_requests()
            titles = set()
            for n in range(1, 4):
                page.wait(lambda: page.status_requests() >= base + n, 2 * REFRESH + SHORT, f"refresh {n}")
                time.sleep(0.3)
                titles.add(page.cell(name, ".col-title"))
                same = page.js(ROW + "return r.__kept === true && document.activeElement === r.querySelector('[data-action=edit]')"
                               " && window.scrollY === arguments[1]", name, scrolled)
                if not same:
                    raise StepFailed(f"after refresh {n} focus is on {page.js('return document.activeElement.outerHTML.slice(0, 120)')!r}"
                                     f", scrolled to {page.js('return window.scrollY')}")
            if len(titles - {"", None}) < 2:
                raise StepFailed(f"the title did not change in three refreshes: {titles}")
        return run

    def focus_survives_a_departure(name):
        """A row before the focused one leaves (deleted elsewhere): the focus stays."""
        def run():
            gone = "Aardvark"
            cgi(f"cmd=GUI_ice_playlist_new&f_name={gone}&f_genre=&f_desc=&f_randomized=0&f_total=1&f_dir0="
                + urllib.parse.quote(music + "/Ambient", safe=""))
            page.wait(lambda: page.js(ROW + "return !!r", gone), 2 * REFRESH + SHORT, f"the row of {gone}")
            page.js(ROW + "r.querySelector('[data-action=edit]').focus()", name)
            cgi(f"cmd=GUI_ice_playlist_del&f_name={gone}")
            page.wait(lambda: not page.js(ROW + "return !!r", gone), 2 * REFRESH + SHORT, f"the row of {gone} gone")
            if not page.js(ROW + "return document.activeElement === r.querySelector('[data-action=edit]')", name):
                raise StepFailed(f"focus is on {page.js('return document.activeElement.outerHTML.slice(0, 120)')!r}")
        return run

    def listen_plays(name, quiet=7):
        def run():
            windows = browser.windows()
            page.js("window.__opened = 0; window.open = function () { window.__opened++; return null; }")
            page.click_row(name, "[data-action=listen]", "the listen button")
            page.wait(lambda: page.visible("player") and page.text("player-name") == name, SHORT, "the player")
            expected = f"http://127.0.0.1:{port}/{urllib.parse.quote(name, safe='')}.m3u"
            link = page.js("return document.getElementById('player-m3u').href")
            if link != expected:
                raise StepFailed(f"the .m3u link is {link!r}, not {expected!r}")
            if f":{port}/" not in fetch(expected):
                raise StepFailed(f"the playlist {expected} does not name the stream")
            # One action: the player, and no other window or tab.
            if browser.windows() != windows or page.js("return window.__opened"):
                raise StepFailed("the listen button opened another window")
            page.wait(lambda: page.js(PLAYER_AUDIO + "return !!a && !a.paused && a.currentTime >= 2"),
                      STREAM, "two seconds of the stream played")
            # A live stream: own controls, no seek bar, what it does and the song.
            if page.js(PLAYER_AUDIO + "return a.controls || !!document.querySelector('#player input[type=range]')"):
                raise StepFailed("the live player shows a seek bar")
            if page.text("player-toggle") != "Stop" or page.text("player-state") != "Playing":
                raise StepFailed(f"the player shows {page.text('player-toggle')!r} and says {page.text('player-state')!r}")
            page.wait(lambda: (page.text("player-song") or "").startswith("Now playing: "), REFRESH + SHORT, "the song's title")
            page.axe("the main page with the player")
            # While it plays, the player says nothing (Firefox reports decode errors of a live stream).
            until = time.monotonic() + quiet
            while time.monotonic() < until:
                message = page.message()
                if message and message[0] == "error":
                    raise StepFailed(f"while the stream plays the page says {message[1]!r}")
                time.sleep(0.5)
            if quiet and not page.js(PLAYER_AUDIO + "return !a.paused && a.currentTime >= 7"):
                raise StepFailed("the stream stopped playing")
        return run

    def record_player(state_id="player-state"):
        """From now on, everything the player's state line says, in window.__said."""
        page.js("""
            window.__said = [];
            const line = document.getElementById(arguments[0]);
            new MutationObserver(() => window.__said.push(line.textContent))
              .observe(line, {childList: true, characterData: true, subtree: true});""", state_id)

    def plays_again(what, stream=None):
        page.wait(lambda: page.js(PLAYER_AUDIO + "return !!a && !a.paused && a.currentTime >= 2 && "
                                  "(!arguments[0] || a.src.startsWith(arguments[0]))", stream)
                  and page.text("player-state") == "Playing", STREAM + 30, f"the stream playing again after {what}")

    def player_recovers(cause, act, stream=None):
        """The player says it reconnects while `act` drops the stream, then plays again by itself."""
        def run():
            record_player()
            act()
            page.wait(lambda: "Reconnecting…" in (page.js("return window.__said") or []), STREAM,
                      f"the player to say it reconnects after {cause}")
            plays_again(cause, stream)
            if page.message() and page.message()[0] == "error":
                raise StepFailed(f"after {cause} the page says {page.message()[1]!r}")
        return run

    def port_change_followed(name):
        """Moved to another port and back, the player follows the port each time."""
        def run():
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                other = str(s.getsockname()[1])
            for to in (other, port):
                def move(to=to):
                    page.set_value("port", to)
                    page.click_id("port-save", "Change port")
                    page.answer(True, f"port {to}")
                    page.settled()
                player_recovers(f"the move to port {to}", move,
                                f"http://127.0.0.1:{to}/{urllib.parse.quote(name, safe='')}")()
        return run

    def off_and_on(name):
        """Turned off, the player says it waits; turned on, it plays again; closed, the focus goes back."""
        def run():
            record_player()
            turn_off(name)()
            page.wait(lambda: (page.text("player-state") or "").startswith("Turned off: it plays again when turned on"),
                      REFRESH + SHORT, "the player saying it waits for the playlist")
            if page.text("player-toggle") != "Stop":
                raise StepFailed("a player waiting for its playlist offers no Stop")
            page.click_row(name, "button[data-action=toggle]", "the start button")
            page.settled()
            plays_again("the playlist was turned on")
            page.js(ROW + "r.querySelector('[data-action=listen]').focus()", name)
            page.click_row(name, "[data-action=listen]", "the listen button")
            page.wait(lambda: page.text("player-state") == "Playing", STREAM, "the player playing")
            page.click_id("player-close", "Close the player")
            if not page.js(ROW + "return document.activeElement === r.querySelector('[data-action=listen]')", name):
                raise StepFailed(f"after Close the focus is on {page.js('return document.activeElement.outerHTML.slice(0, 120)')!r}")
        return run

    def renew(name, genre):
        page.click_row(name, "button[data-action=edit]", "Edit")
        page.wait(lambda: page.js("return document.getElementById('editor').open") and page.value("f-name") == name,
                  SHORT, "the form filled")
        page.wait(lambda: page.value("f-desc") == "Made in the browser", SHORT, "the stored description in the form")
        if not page.js("return document.getElementById('f-rand').checked"):
            raise StepFailed("shuffle is not shown as on")
        page.type_id("f-genre", genre)
        page.click_id("f-rand", "Shuffle")
        page.click_id("editor-save", "Save and restart")
        page.answer(True, "Its stream restarts")
        page.wait(lambda: not page.js("return document.body.classList.contains('working')"), CHANGE, "the save")
        page.wait(lambda: page.cell(name, "td:nth-child(3)") == genre and page.cell(name, "td:nth-child(5)") == "No",
                  SHORT, "the new genre in the table")
        page.wait(lambda: page.state(name) == "Live", STREAM, f"{name!r} live again")

    def server_stops(name):
        def run():
            for pid in processes("icecast"):
                os.kill(pid, signal.SIGKILL)
            page.wait(lambda: page.state(name) in ("Down", "Unknown") and "not running" in (page.text("server-state") or ""),
                      REFRESH + 4, "Down within one refresh")
            if page.cell(name, ".col-listeners") or page.cell(name, ".col-title"):
                raise StepFailed("a down stream still shows listeners or a title")
            # The page's port change restarts the server and every stream.
            set_port()
            page.wait(lambda: page.state(name) == "Live" and page.cell(name, ".col-title"), STREAM,
                      f"{name!r} live again, with a title")
        return run

    def device_unreachable(name):
        def run():
            moved = args.cgi + ".away"
            os.rename(args.cgi, moved)
            try:
                page.wait(lambda: page.visible("freshness") and "last answer" in (page.text("freshness") or ""),
                          REFRESH + 4, "the note that the table is the device's last answer")
                if page.state(name) != "Unknown":
                    raise StepFailed(f"an unreachable device shows {page.state(name)!r}")
                if not page.js(ROW + "return r.classList.contains('stale')", name):
                    raise StepFailed("the rows are not greyed")
                if not (page.text("server-state") or "").startswith("Streaming server: unknown"):
                    raise StepFailed(f"the server line says {page.text('server-state')!r}")
            finally:
                os.rename(moved, args.cgi)
            page.wait(lambda: page.state(name) == "Live" and not page.visible("freshness"), REFRESH + SHORT,
                      "the table back")
        return run

    def pending_across_reload(name):
        def run():
            lock = os.open(os.path.join(conf, ".wl-lock"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
            try:
                fcntl.flock(lock, fcntl.LOCK_EX)
                page.click_row(name, "button[data-action=toggle]", "the start button")
                page.wait(lambda: page.state(name) == "Turning on…", SHORT, "the change shown as running")
                browser.goto(url)
                page.wait(lambda: page.state(name) == "Turning on…", REFRESH + SHORT, "the change still shown after the reload")
                if "started before the page was reloaded" not in ((page.message() or ("", ""))[1]):
                    raise StepFailed(f"the page says {page.describe()}")
            finally:
                os.close(lock)
            page.wait(lambda: page.state(name) in ("Live", "Stopped", "Down"), CHANGE, "the change over")
            page.wait(lambda: not page.message() or page.message()[0] != "working", SHORT, "the message gone")
            if page.state(name) != "Live":
                turn_on(name)()
        return run

    def limits():
        # Playlists as the device stores them, one of a 200-character name;
        # the ones "on" are not started.
        long_name = "A-very-long-playlist-name-" * 8
        fill = [f"Fill-{n:02d}" for n in range(1, 21 - len(created) - 1)] + [long_name[:200]]
        on_now = sum(page.state(name) == "Live" for name in created)
        for n, name in enumerate(fill):
            with open(os.path.join(conf, f"simple-ices-conf-{name}"), "w", encoding="utf-8") as f:
                f.write(f"name={name}\ngenre=Fill\ndesc=\nrand=0\nenabled={1 if n < 5 - on_now else 0}\n")
            open(os.path.join(conf, f"playlist-{name}"), "w").close()
        try:
            counts(f"20 of 20 playlists · 5 of 5 streaming")
            reason = page.js("const b = document.getElementById('new-playlist'); return b.getAttribute('aria-disabled') === 'true' ? b.title : ''")
            if "20 playlists" not in reason or not page.visible("new-note"):
                raise StepFailed(f"New playlist is not unavailable with its reason ({reason!r})")
            off = page.js("return [...document.querySelectorAll('#rows button[data-action=toggle][data-on=\"0\"]')]"
                          ".map(b => [b.getAttribute('aria-disabled'), b.title])")
            if not off or any(state != "true" or "Five playlists are on" not in title for state, title in off):
                raise StepFailed(f"turn-on buttons: {off}")
            page.click_row(fill[-1], "button[data-action=toggle]", "an unavailable start button")
            page.wait(lambda: "Five playlists are on" in ((page.message() or ("", ""))[1]), SHORT, "the reason on click")
            page.js("document.getElementById('message-close').click()")
            wide = page.js("return document.documentElement.scrollWidth - window.innerWidth")
            right = page.js(ROW + "return r.querySelector('.col-actions').getBoundingClientRect().right - window.innerWidth",
                            fill[-1])
            if wide > 0 or right > 0:
                raise StepFailed(f"a long name pushes the page {wide} px and its buttons {right} px past the window")
            phone_checks()
            browser.viewport(*DESKTOP)
        finally:
            for name in fill:
                for prefix in ("playlist-", "simple-ices-conf-"):
                    try:
                        os.unlink(os.path.join(conf, prefix + name))
                    except FileNotFoundError:
                        pass
        counts(f"{len(created)} of 20 playlists")

    def phone_checks(table=True):
        browser.viewport(*PHONE)
        if table:
            page.wait(lambda: page.js("return getComputedStyle(document.querySelector('thead')).display") == "none",
                      SHORT, "the narrow layout")
        wide = page.js("return document.documentElement.scrollWidth - window.innerWidth")
        if wide > 0:
            raise StepFailed(f"the page is {wide} px wider than a phone's screen")
        small = page.js("""
            return [...document.querySelectorAll('button, a, input')].filter(e => {
              if (e.closest('[hidden]') || e.closest('dialog:not([open])')) return false;
              // A checkbox is tapped by its label, which spans its line.
              const r = (e.type === 'checkbox' ? e.closest('.field') : e).getBoundingClientRect();
              return r.width > 0 && r.height > 0 && (r.width < 44 || r.height < 44);
            }).map(e => (e.id || e.dataset.action || e.textContent.trim()).slice(0, 30) + ' ' +
                        Math.round(e.getBoundingClientRect().width) + 'x' + Math.round(e.getBoundingClientRect().height));""")
        if small:
            raise StepFailed(f"tap targets under 44 px: {small[:8]}")

    def phone(name):
        def run():
            phone_checks()
            # The form opens where the user is: in the window, wherever it was scrolled to.
            page.js(ROW + "r.scrollIntoView({block: 'center'})", name)
            page.click_row(name, "button[data-action=edit]", "Edit")
            page.wait(lambda: page.js("return document.getElementById('editor').open"), SHORT, "the form")
            inside = page.js("const r = document.getElementById('editor').getBoundingClientRect();"
                             "return r.top >= 0 && r.bottom <= window.innerHeight + 1 && r.left >= 0 && r.right <= window.innerWidth + 1")
            if not inside:
                raise StepFailed("the form is not within the window")
            phone_checks()
            page.click_id("editor-cancel", "Cancel")
            page.click_row(name, "[data-action=listen]", "the listen button")
            page.wait(lambda: page.visible("player"), SHORT, "the player")
            inside = page.js("const r = document.getElementById('player').getBoundingClientRect();"
                             "return r.top >= 0 && r.bottom <= window.innerHeight + 1")
            if not inside:
                raise StepFailed("the player is not within the window")
            if args.phone_screenshot:
                page.js("window.scrollTo(0, 0)")
                time.sleep(0.5)
                browser.screenshot(args.phone_screenshot)
            page.click_id("player-close", "Close the player")
            browser.viewport(*DESKTOP)
        return run

    def listeners_page(names):
        def run():
            page.click_id("listen-link", "the listeners' page link")
            page.wait(lambda: page.js("return location.pathname") == "/listen.html", SHORT, "the listeners' page")
            page.wait(lambda: page.js("return [...document.querySelectorAll('#streams li')].map(l => l.dataset.name)")
                      == sorted(names), SHORT + REFRESH, f"the streams {sorted(names)}")
            page.wait(lambda: all(page.js("return [...document.querySelectorAll('#streams li')].find(l => l.dataset.name === arguments[0])"
                                          ".querySelector('.playing').textContent", n).startswith("Now playing: ") for n in names),
                      SHORT + REFRESH, "what each plays")
            page.axe("the listeners' page")
            # Read-only: its scripts name no changing command and it has no form.
            for script in ("listen.js", "device.js", "player.js"):
                source = fetch(url + script)
                for command in ("GUI_ice_set", "_new", "_renew", "_del", "_enable", "_disable", "_rescan"):
                    if command in source:
                        raise StepFailed(f"{script} names {command}")
            if page.js("return document.querySelectorAll('form, input, [data-action]').length"):
                raise StepFailed("the listeners' page has a form or a changing control")
            card = "const c = [...document.querySelectorAll('#streams li')].find(l => l.dataset.name === arguments[0]);"
            def playing(n):
                return page.js(card + "const a = c && c.querySelector('audio');"
                               "return !!a && !a.paused && a.currentTime >= 2 && c.querySelector('button').textContent === 'Stop'", n)
            first_name, second_name = sorted(names)
            page.click(card + "return c.querySelector('button')", f"Play on {first_name}", first_name)
            page.wait(lambda: playing(first_name), STREAM, "a stream playing on the listeners' page")
            if page.js(card + "return c.querySelector('audio').controls", first_name):
                raise StepFailed("the listeners' player shows a seek bar")
            # One stream at a time: starting the other stops the first.
            page.click(card + "return c.querySelector('button')", f"Play on {second_name}", second_name)
            page.wait(lambda: playing(second_name), STREAM, "the other stream playing")
            if page.js(card + "const a = c.querySelector('audio'); return !a.paused || c.querySelector('button').textContent !== 'Play'",
                       first_name):
                raise StepFailed("two streams play at once on the listeners' page")
            page.axe("the listeners' page while a stream plays")
            phone_checks(table=False)
            browser.viewport(*DESKTOP)
            # Turned off, the playlist leaves the page; turned on, it plays again by itself.
            cgi("cmd=GUI_ice_playlist_disable&f_name=" + urllib.parse.quote(second_name, safe=""))
            page.wait(lambda: not page.js(card + "return !!c", second_name) and second_name in (page.text("listen-waiting") or ""),
                      REFRESH + SHORT, f"{second_name!r} gone, the page saying it plays again when turned on")
            cgi("cmd=GUI_ice_playlist_enable&f_name=" + urllib.parse.quote(second_name, safe=""))
            page.wait(lambda: playing(second_name), STREAM + REFRESH, f"{second_name!r} playing again when turned on")
            page.click(card + "return c.querySelector('button')", f"Stop on {second_name}", second_name)
            browser.goto(url)
            page.wait(lambda: (page.text("server-state") or "").startswith("Streaming server"), SHORT, "the main page")
        return run

    def rescan(name):
        def run():
            page.click_row(name, "button[data-action=rescan]", "Rescan")
            text = page.settled()
            if "is rescanned" not in text:
                raise StepFailed(f"after the rescan the page says {text!r}")
        return run

    def rescan_all():
        page.click_id("rescan-all", "Rescan all")
        text = page.settled()
        if not re.match(r"[0-9]+ playlists? rescanned(: [+−][0-9,]+ songs?)?", text):
            raise StepFailed(f"after Rescan all the page says {text!r}")

    def turn_off(name):
        def run():
            page.click_row(name, "button[data-action=toggle]", "the switch")
            page.answer(True, f"Turn off {chr(0x201c)}{name}{chr(0x201d)}?")
            page.settled()
            page.wait(lambda: page.state(name) == "Stopped", STREAM, f"{name!r} stopped")
        return run

    def delete(name):
        def run():
            page.click_row(name, "button[data-action=delete]", "Delete")
            page.question()
            focused = page.js("return document.activeElement.id")
            if focused != "ask-no":
                raise StepFailed(f"the question's focus is on {focused!r}, not on Cancel")
            colours = page.js("return ['ask-yes', 'ask-no'].map(i => getComputedStyle(document.getElementById(i)).backgroundColor)")
            if colours[0] == colours[1]:
                raise StepFailed(f"Delete and Cancel look alike ({colours})")
            # Escape closes the question; the focus is back on the row's Delete.
            page.b.press("Escape")
            page.wait(lambda: not page.js("return document.getElementById('ask').open"), SHORT, "the question closed by Escape")
            if not page.js(ROW + "return document.activeElement === r.querySelector('[data-action=delete]')", name):
                raise StepFailed(f"after Escape the focus is on {page.js('return document.activeElement.outerHTML.slice(0, 120)')!r}")
            page.click_row(name, "button[data-action=delete]", "Delete")
            page.answer(True, "the music stays")
            page.settled()
            page.wait(lambda: not page.has_row(name), SHORT, f"{name!r} gone from the table")
            if page.js("return document.activeElement === document.body"):
                raise StepFailed("after the delete the focus is on nothing")
        return run

    def switch_and_question(name):
        """The switch says its state in words; turning off asks first, counting a listener; Escape keeps it on."""
        def run():
            switch = page.js(ROW + "const b = r.querySelector('[data-action=toggle]'); return [b.getAttribute('role'), "
                             "b.getAttribute('aria-checked'), b.textContent, b.getAttribute('aria-label'), "
                             "b.closest('td').dataset.label]", name)
            if switch[:3] != ["switch", "true", "On"] or name not in switch[3] or switch[4] == "Listen":
                raise StepFailed(f"the switch of a live playlist: {switch}")
            header = page.js("return document.querySelector('th.col-toggle').textContent")
            if header != "Streaming for everyone":
                raise StepFailed(f"the switch's column is headed {header!r}")
            # A listener: a plain HTTP reader of the stream.
            stop = threading.Event()
            stream = urllib.request.urlopen(f"http://127.0.0.1:{port}/{urllib.parse.quote(name, safe='')}", timeout=10)

            def read():
                while not stop.is_set():
                    try:
                        if not stream.read(4096):
                            return
                    except OSError:
                        return
            reader = threading.Thread(target=read, daemon=True)
            reader.start()
            try:
                page.wait(lambda: page.cell(name, ".col-listeners") == "1", 2 * REFRESH + SHORT, "one listener in the table")
                page.click_row(name, "button[data-action=toggle]", "the switch")
                said = page.question()
                if "1 person listening now is cut off" not in said:
                    raise StepFailed(f"the question does not count the listener: {said!r}")
                page.axe("the question before a turn-off")
                page.b.press("Escape")
                page.wait(lambda: not page.js("return document.getElementById('ask').open"), SHORT, "the question closed by Escape")
                if not page.js(ROW + "return document.activeElement === r.querySelector('[data-action=toggle]')", name):
                    raise StepFailed(f"after Escape the focus is on {page.js('return document.activeElement.outerHTML.slice(0, 120)')!r}")
                time.sleep(1)
                if page.state(name) != "Live" or page.js("return document.body.classList.contains('working')"):
                    raise StepFailed("a cancelled turn-off changed something")
            finally:
                stop.set()
                stream.close()
                reader.join(timeout=10)
        return run

    def unchanged_port():
        """The port in use, sent again: nothing reaches the device, and the page says so."""
        page.count_requests("GUI_ice_set")
        page.set_value("port", port)
        page.click_id("port-save", "Change port")
        page.wait(lambda: "already" in ((page.message() or ("", ""))[1]), SHORT, "the page saying the port is in use already")
        if page.sent("GUI_ice_set") or page.js("return document.getElementById('ask').open"):
            raise StepFailed("the port in use was sent again, or asked about")
        # Ports the page warns of before asking.
        for other, expected in (("443" if url.startswith("https") else urllib.parse.urlsplit(url).port or "80", "This page itself"),
                                ("21", "Ports under 1024")):
            page.set_value("port", str(other))
            page.click_id("port-save", "Change port")
            page.answer(False, expected)
        if page.sent("GUI_ice_set"):
            raise StepFailed("a cancelled port change was sent")
        page.set_value("port", port)

    def two_windows(name):
        """A form opened before another window's save of the same playlist: its save is refused with the new values."""
        def run():
            page.click_row(name, "button[data-action=edit]", "Edit")
            page.wait(lambda: page.js("return document.getElementById('editor').open") and page.value("f-name") == name,
                      SHORT, "the form filled")
            # The other window: the same page in a frame, saving a new genre.
            page.js("const f = document.createElement('iframe'); f.id = '__other'; f.title = 'another window';"
                    "f.src = arguments[0]; document.body.append(f)", url)
            other = "const w = document.getElementById('__other').contentWindow; const d = w.document;"
            other_row = other + "const r = [...d.querySelectorAll('#rows tr')].find(r => r.dataset.name === arguments[0]);"
            page.wait(lambda: page.js(other_row + "return !!r && !r.querySelector('[data-action=edit]').hidden", name),
                      SHORT + REFRESH, "the other window's table")
            page.js(other_row + "r.querySelector('[data-action=edit]').click()", name)
            page.wait(lambda: page.js(other + "return d.getElementById('editor').open && d.getElementById('f-name').value === arguments[0]",
                                      name), SHORT, "the other window's form")
            page.js(other + "const g = d.getElementById('f-genre'); g.value = 'From the other window';"
                    "g.dispatchEvent(new w.Event('input', {bubbles: true})); d.getElementById('editor-save').click()")
            page.wait(lambda: page.js(other + "if (d.getElementById('ask').open) d.getElementById('ask-yes').click();"
                                      "return !d.getElementById('editor').open && !d.body.classList.contains('working')"),
                      CHANGE, "the other window's save")
            if cgi("cmd=GUI_ice_modify_info&f_name=" + urllib.parse.quote(name, safe="")).find("From the other window") < 0:
                raise StepFailed("the other window's save did not reach the device")
            page.js("document.getElementById('__other').remove()")
            # This window's save: refused, the new values shown, what was typed kept.
            page.type_id("f-genre", "Typed here")
            page.click_id("editor-save", "Save")
            page.wait(lambda: "another window" in (page.text("editor-message") or ""), SHORT, "the refusal")
            said = page.text("editor-message")
            if "From the other window" not in said or page.value("f-genre") != "Typed here":
                raise StepFailed(f"the form says {said!r} and holds {page.value('f-genre')!r}")
            if not page.js("return document.getElementById('editor').open"):
                raise StepFailed("the form was closed")
            # Turned on in another window: a change too.
            cgi("cmd=GUI_ice_playlist_enable&f_name=" + urllib.parse.quote(name, safe=""))
            try:
                page.click_id("editor-save", "Save")
                page.wait(lambda: "and it is on" in (page.text("editor-message") or ""), SHORT, "the refusal of an on/off elsewhere")
                if page.value("f-genre") != "Typed here" or page.js("return document.getElementById('ask').open"):
                    raise StepFailed(f"the form holds {page.value('f-genre')!r}, or asked")
                if page.text("editor-save") != "Save and restart":
                    raise StepFailed(f"the save button reads {page.text('editor-save')!r} for a playlist now on")
            finally:
                cgi("cmd=GUI_ice_playlist_disable&f_name=" + urllib.parse.quote(name, safe=""))
            page.b.press("Escape")
            page.wait(lambda: not page.js("return document.getElementById('editor').open"), SHORT, "the form closed by Escape")
        return run

    def listeners_on_server():
        return sum(int(n) for n in re.findall(r"<listeners>([0-9]+)</listeners>", cgi("cmd=GUI_ice_status")))

    def two_players(a, b):
        """A's player, then B's, Stop, Close: no stream stays open and none starts hidden."""
        def run():
            # Every audio element that ever plays, in the page or not.
            page.js("window.__audios = new Set(); const play0 = HTMLMediaElement.prototype.play;"
                    "HTMLMediaElement.prototype.play = function () { window.__audios.add(this); return play0.apply(this, arguments); };")
            for name in (a, b):
                page.click_row(name, "[data-action=listen]", "the listen button")
                page.wait(lambda: page.text("player-name") == name and page.text("player-state") == "Playing", STREAM,
                          f"the player playing {name!r}")
            page.click_id("player-toggle", "Stop")
            time.sleep(3)
            playing = "return [...window.__audios].filter(e => !e.paused || e.hasAttribute('src')).length"
            if page.text("player-toggle") != "Play" or page.js(playing):
                raise StepFailed(f"after Stop the player reads {page.text('player-toggle')!r}, "
                                 f"{page.js(playing)} audio elements play")
            page.click_id("player-close", "Close the player")
            page.wait(lambda: listeners_on_server() == 0, 2 * REFRESH + SHORT, "no listener left on the server")
            time.sleep(2)
            if page.js(playing) or listeners_on_server():
                raise StepFailed("after Close a stream plays")
        return run

    def folders_of_live(name, added):
        """New folders of a playlist that is on: asked, saved, on and live again, the new songs counted."""
        def run():
            songs = lambda: int(re.sub(r"[^0-9]", "", (page.cell(name, ".col-songs") or "").split(" ")[0]) or "-1")
            page.wait(lambda: songs() > 0, REFRESH + SHORT, "the songs in the table")
            before = songs()
            page.click_row(name, "button[data-action=edit]", "Edit")
            page.wait(lambda: page.js("return document.getElementById('editor').open && "
                                      "document.querySelectorAll('#chosen .path').length === 1"), SHORT, "the form with its folder")
            page.wait(lambda: folder(music), SHORT, "the music folder among the roots")
            click_folder(music)
            here = music
            for part in added[:-1]:
                here = here + "/" + part
                page.wait(lambda: folder(here), SHORT, f"folder {part!r}")
                click_folder(here)
            chosen = music + "/" + "/".join(added)
            page.click("return [...document.querySelectorAll('#browse-list button[data-add]')]"
                       ".find(b => b.dataset.add === arguments[0]) || null", f"Add beside {chosen}", chosen)
            page.click_id("editor-save", "Save and restart")
            page.answer(True, "songs of the folders chosen")
            text = page.settled(3 * CHANGE)
            if "is saved" not in text:
                raise StepFailed(f"after the save the page says {text!r}")
            page.wait(lambda: page.state(name) == "Live" and songs() > before, STREAM + REFRESH,
                      f"{name!r} live again with more than {before} songs")
            if page.js(ROW + "return r.querySelector('[data-action=toggle]').getAttribute('aria-checked')", name) != "true":
                raise StepFailed("the playlist is not on after the save")
        return run

    def counts_shown(name, path):
        """Songs in the table, in the folder browser and for each chosen folder (no "Add" beside a folder
        chosen); the edit form knows the playlist's folders."""
        def run():
            page.wait(lambda: re.fullmatch(r"[0-9][0-9,]* songs?", page.cell(name, ".col-songs") or ""), REFRESH + SHORT,
                      "the songs in the table")
            open_form()
            page.wait(lambda: folder(music), SHORT, "the music folder")
            click_folder(music)
            page.wait(lambda: re.fullmatch(r"\((at least )?[0-9][0-9,]* songs?\)", page.text("browse-count") or ""), SHORT,
                      "the songs of the folder shown")
            here = music
            for part in path[:-1]:
                here = here + "/" + part
                page.wait(lambda: folder(here), SHORT, f"folder {part!r}")
                click_folder(here)
            chosen = music + "/" + "/".join(path)
            add = "return [...document.querySelectorAll('#browse-list button[data-add]')].find(b => b.dataset.add === arguments[0])"
            page.click(add + " || null", f"Add beside {chosen}", chosen)
            page.wait(lambda: page.js(add + "?.hidden", chosen), SHORT, "the chosen folder offered without Add")
            page.wait(lambda: re.fullmatch(r"(at least )?[0-9][0-9,]* songs?",
                                           page.js("return document.querySelector('#chosen .count').textContent") or ""),
                      SHORT, "the songs of the chosen folder")
            page.click_id("editor-cancel", "Cancel")
            page.click_row(name, "button[data-action=edit]", "Edit")
            page.wait(lambda: page.js("return [...document.querySelectorAll('#chosen .path')].map(e => e.dataset.path)") == [chosen],
                      SHORT, "the playlist's folders in the edit form")
            page.axe("the edit form with its folders")
            page.click_id("editor-cancel", "Cancel")
        return run

    def unknown_name():
        """Opened by a name the device does not go by, the page says so and what to do; added from the
        page opened by its address, the name takes changes."""
        # A name of each browser's own: the device keeps the names added.
        name = ("chromium" if isinstance(browser, Chromium) else "firefox") + ".music-room.test"
        by_name = url.replace("127.0.0.1", name, 1)
        browser.goto(by_name)
        page.wait(lambda: page.visible("access-note") and name in page.text("access-note")
                  and "address" in page.text("access-note"), SHORT, "the page saying why it takes no changes")
        open_page()
        page.type_id("host-name", name)
        page.click_id("host-name-save", "Add name")
        text = page.settled()
        if name not in text:
            raise StepFailed(f"after adding the name the page says {text!r}")
        browser.goto(by_name)
        page.wait(lambda: (page.text("server-state") or "").startswith("Streaming server")
                  and name in (page.text("host-names") or ""), SHORT, "the status by the name")
        if page.visible("access-note"):
            raise StepFailed(f"by an added name the page still says {page.text('access-note')!r}")
        open_page()

    def screenshot():
        page.wait(lambda: page.message() is None or page.message()[0] == "info", SHORT, "a quiet page")
        try:
            page.wait(lambda: all(page.cell(n, ".col-title") for n in created), 12, "every stream's title")
        except StepFailed:
            pass
        page.js("document.getElementById('message-close').click(); window.scrollTo(0, 0)")
        time.sleep(0.3)
        browser.screenshot(args.screenshot)

    def clean_slate():
        """Deletes what an earlier run left (through stream_admin, not the page)."""
        table = cgi("cmd=GUI_ice_playlist&page=1")
        import html
        import re
        for cell in re.findall(r"<row id=\"\d+\">(?:<cell>[^<]*</cell>)?<cell>([^<]*)</cell>", table):
            name = html.unescape(html.unescape(cell))
            cgi("cmd=GUI_ice_playlist_del&f_name=" + urllib.parse.quote(name, safe=""))

    result = 1
    try:
        clean_slate()
        step("the page loads; axe-core finds nothing serious", open_page)
        step("the port field gives the page's own message for every bad value", port_messages)
        step(f"the port is set to {port}", set_port)
        plans = [(None, "Ambient", ["Ambient", "Morning"], False),
                 ("Road Trip", "Jazz & Blues", ["Jazz & Blues", "Live"], True)]
        for n, (name, genre, path, by_list) in enumerate(plans):
            step(f"create {name or 'the proposed name'} by browsing to {'/'.join(path)}" +
                 ("; axe-core on the form and the folder browser" if n == 0 else ""),
                 create(name, genre, path, by_list, check_form=n == 0))
        first, second = created
        step("a refused create keeps what was typed and gives the reason", refused_create)
        step(f"turn {first!r} on; it is live; the counts", lambda: (turn_on(first)(), counts("2 of 20 playlists · 1 of 5 streaming")))
        step("focus, scrolling and the row survive three refreshes while the title changes", focus_survives(first))
        step("the focus stays when a row before it leaves", focus_survives_a_departure(second))
        step("the switch: its role, its state in words; turning off asks, counting a listener; Escape keeps it on",
             switch_and_question(first))
        step("the port in use, sent again: nothing sent, the page says so; its own and low ports warned of",
             unchanged_port)
        step("two windows: a form opened before another window's save or turn-on is refused, with the new values shown",
             two_windows(second))
        step(f"{first!r}: one action opens the player, beside an .m3u link; it plays and the player says nothing",
             listen_plays(first))
        step("  Save and restart: the player says it reconnects and plays again by itself",
             player_recovers("Save and restart", lambda: renew(first, "Renewed <&> genre")))
        step("  a move to another port and back: the player follows the port", port_change_followed(first))
        step("the server stops: Live turns Down within one refresh; the player reconnects when it is back",
             player_recovers("a server restart", server_stops(first)))
        page.click_id("player-close", "Close the player")
        step("the device cannot be reached: greyed, unknown, the age of the last answer", device_unreachable(first),
             allow="stream_admin - Failed to load resource: the server responded with a status of 404")
        step(f"a reload while {second!r} is being turned on shows the change running", pending_across_reload(second))
        step("two players one after the other, Stop, Close: no stream stays open", two_players(first, second))
        step("opened by an unknown name: the page says why and what to do; the name added, it takes changes",
             unknown_name)
        step("20 playlists, 5 on, a long name: counts, unavailable controls with reasons, nothing off the screen", limits)
        step("phone size: tap targets, the form and the player where the user is", phone(first))
        if args.screenshot:
            step(f"screenshot of the page in {args.screenshot}", screenshot)
        step("the listeners' page: the live streams, what plays, a player each, read-only; axe-core",
             listeners_page([first, second]))
        step(f"{first!r}: listening, turning it off and on: the player waits and plays again; Close returns the focus",
             lambda: (listen_plays(first, quiet=0)(), off_and_on(first)()))
        step(f"  rescan {first!r}", rescan(first))
        step("  Rescan all: each playlist in turn, then one summary", rescan_all)
        step(f"  new folders of {first!r} while it is on: it ends on, live, with the new songs counted",
             folders_of_live(first, plans[1][2]))
        # The songs last but one: they need the device's counts.
        for name in created:
            if page.state(name) == "Live":
                step(f"  turn {name!r} off", turn_off(name))
            if name != second:
                step(f"  delete {name!r}", delete(name))
        step("songs counted in the table, the folder browser and the edit form's folders",
             counts_shown(second, plans[1][2]))
        step(f"  delete {second!r}", delete(second))
        result = 0
    except Exception as e:  # noqa: BLE001 - reported by step(), or a driver failure
        if not isinstance(e, StepFailed) and failed == 0:
            print(f"FAIL  {browser.name}: {e!r}")
            failed += 1
    finally:
        browser.quit()
    print(f"browser test ({browser.name}): {passed} passed, {failed} failed in {time.monotonic() - started:.0f} s",
          flush=True)
    return result


if __name__ == "__main__":
    sys.exit(main())
