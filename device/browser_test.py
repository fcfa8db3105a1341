#!/usr/bin/python3
"""Drives the add-on's web page in Chromium (headless) as a person would.

Usage: browser_test.py --url PAGE_URL --port STREAM_PORT --music MUSIC_DIR
                       [--screenshot FILE] [--failure-screenshot FILE]

Run by `device/device.sh --browser` against a device whose streaming server
is not yet set up. Through the page only, it sets the server port, then for
a playlist of the proposed name, one named "Road Trip" and one named O'Brien:
creates it by browsing to a folder, turns it on and sees it live in the
table; saves a screenshot of the table; then for each follows the tune-in
link to the playlist URL, plays the stream in the page's audio element for
two seconds of media time, edits and saves it, rescans it, turns it off and
deletes it. After every step the browser's console must hold no error.
Every wait has a deadline. Exits 0 when every step passed.

Needs Debian's chromium, chromium-driver and python3-selenium (run with
/usr/bin/python3, where Debian's Selenium lives).
"""
import argparse
import sys
import time
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import (StaleElementReferenceException, TimeoutException,
                                        WebDriverException)
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

# Deadlines, in seconds.
SHORT = 15      # the page answers a click
CHANGE = 60     # a command that starts or stops streams
STREAM = 40     # a stream comes up, or plays two seconds


class StepFailed(Exception):
    pass


class Page:
    def __init__(self, driver, url):
        self.driver = driver
        self.url = url

    # ------------------------------------------------------------ waiting
    def wait(self, condition, timeout, what):
        try:
            return WebDriverWait(self.driver, timeout, poll_frequency=0.2,
                                 ignored_exceptions=(StaleElementReferenceException,)).until(
                lambda d: condition())
        except TimeoutException:
            raise StepFailed(f"waited {timeout} s for {what}; {self.describe()}") from None

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def describe(self):
        message = self.message()
        return f"message: {message[0]} {message[1]!r}" if message else "no message shown"

    def message(self):
        """(kind, text) of the message bar, or None when it is hidden."""
        return self.js("""
            const box = document.getElementById('message');
            if (box.hidden) return null;
            const kind = ['error', 'working', 'confirm', 'info'].find(k => box.classList.contains(k)) || '';
            return [kind, document.getElementById('message-text').textContent];""")

    def settled(self, timeout=CHANGE):
        """Waits until no change is running; fails on an error message."""
        self.wait(lambda: not self.js("return document.body.classList.contains('working')"), timeout,
                  "the change to finish")
        message = self.message()
        if message and message[0] == "error":
            raise StepFailed(f"the page reports: {message[1]}")
        return message[1] if message else ""

    # ------------------------------------------------------------ finding
    def by_id(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def visible(self, element_id):
        return self.js("const e = document.getElementById(arguments[0]); return !!e && !e.hidden && "
                       "!e.closest('[hidden]') && e.getClientRects().length > 0", element_id)

    def row(self, name):
        return self.js("return [...document.querySelectorAll('#rows tr')]"
                       ".find(r => r.dataset.name === arguments[0]) || null", name)

    def row_cell(self, name, selector):
        return self.js("const r = [...document.querySelectorAll('#rows tr')]"
                       ".find(r => r.dataset.name === arguments[0]);"
                       "return r ? r.querySelector(arguments[1]) : null", name, selector)

    def state(self, name):
        badge = self.row_cell(name, ".col-state .badge")
        return badge.text if badge else None

    def click(self, find, what, timeout=SHORT):
        """Clicks the element `find` returns, again if the table was redrawn meanwhile."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                element = find()
                if element is None:
                    raise StepFailed(f"{what} is not on the page")
                element.click()
                return
            except (StaleElementReferenceException, StepFailed, WebDriverException) as e:
                if time.monotonic() > deadline:
                    raise StepFailed(f"could not click {what}: {str(e).splitlines()[0]}") from None
                time.sleep(0.2)

    def type_into(self, element_id, text):
        field = self.by_id(element_id)
        field.clear()
        field.send_keys(text)


def fetch(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.read().decode("utf-8", "replace")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", required=True)
    parser.add_argument("--port", required=True)
    parser.add_argument("--music", required=True)
    parser.add_argument("--screenshot")
    parser.add_argument("--failure-screenshot", default="browser-failed.png")
    args = parser.parse_args()
    started = time.monotonic()

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1100,760", "--no-first-run", "--no-default-browser-check",
                 "--autoplay-policy=no-user-gesture-required", "--disable-extensions"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(30)
    driver.set_script_timeout(30)
    page = Page(driver, args.url)
    passed = failed = 0

    def console_errors():
        return [f"{e.get('level')}: {e.get('message')}" for e in driver.get_log("browser")
                if e.get("level") == "SEVERE"]

    def step(what, action):
        nonlocal passed, failed
        t0 = time.monotonic()
        try:
            action()
            errors = console_errors()
            if errors:
                raise StepFailed("console errors: " + " | ".join(errors))
        except (StepFailed, WebDriverException) as e:
            failed += 1
            print(f"FAIL  {what} ({time.monotonic() - t0:.1f} s)\n      {str(e).strip()}", flush=True)
            try:
                driver.save_screenshot(args.failure_screenshot)
                print(f"      the page then: {args.failure_screenshot}")
            except WebDriverException:
                pass
            raise
        passed += 1
        print(f"ok    {what} ({time.monotonic() - t0:.1f} s)", flush=True)

    port = args.port
    music = args.music.rstrip("/")
    main_window = None

    def open_page():
        nonlocal main_window
        driver.get(args.url)
        main_window = driver.current_window_handle
        page.wait(lambda: "Streaming server" in page.by_id("server-state").text, SHORT, "the server state")
        page.wait(lambda: page.by_id("port").get_attribute("value") != "", SHORT, "the port field")

    def set_port():
        page.type_into("port", port)
        page.click(lambda: page.by_id("port-save"), "Change port")
        text = page.settled()
        if port not in text:
            raise StepFailed(f"after the port change the page says {text!r}")
        page.wait(lambda: page.by_id("server-state").text == f"Streaming server running on port {port}.",
                  STREAM, f"the server to run on port {port}")

    def create(name, genre, path, add_by_list):
        """Opens the form, browses from the music folder down `path`, adds it, creates."""
        def run():
            page.click(lambda: page.by_id("new-playlist"), "New playlist")
            page.wait(lambda: page.visible("editor") and page.by_id("f-name").get_attribute("value") != "",
                      SHORT, "the form with a proposed name")
            proposed = page.by_id("f-name").get_attribute("value")
            if name is None:
                created = proposed
                if not proposed.startswith("Playlist-"):
                    raise StepFailed(f"proposed name {proposed!r}")
            else:
                created = name
                page.type_into("f-name", name)
            page.type_into("f-genre", genre)
            page.type_into("f-desc", "Made in the browser")
            if not page.by_id("f-rand").is_selected():
                page.by_id("f-rand").click()
            folder = lambda p: page.js("return [...document.querySelectorAll('#browse-list button.folder')]"
                                       ".find(b => b.dataset.path === arguments[0]) || null", p)
            page.wait(lambda: folder(music), SHORT, "the music folder among the roots")
            page.click(lambda: folder(music), "the music folder")
            here = music
            for part in path[:-1] if add_by_list else path:
                here = here + "/" + part
                page.wait(lambda: folder(here), SHORT, f"folder {part!r}")
                page.click(lambda: folder(here), f"folder {part!r}")
            page.wait(lambda: page.by_id("browse-path").text == here, SHORT, f"{here} shown")
            chosen = music + "/" + "/".join(path)
            if add_by_list:
                page.click(lambda: page.js("return [...document.querySelectorAll('#browse-list button[data-add]')]"
                                           ".find(b => b.dataset.add === arguments[0]) || null", chosen),
                           f"Add beside {chosen}")
            else:
                page.click(lambda: page.by_id("browse-add"), "Add this folder")
            page.wait(lambda: page.js("return [...document.querySelectorAll('#chosen .path')].map(e => e.textContent)")
                      == [chosen], SHORT, f"{chosen} chosen")
            page.click(lambda: page.by_id("editor-save"), "Create playlist")
            page.settled()
            page.wait(lambda: page.state(created) == "Stopped", SHORT, f"{created!r} stopped in the table")
            genre_cell = page.row_cell(created, "td:nth-child(3)").text
            if genre_cell != genre:
                raise StepFailed(f"genre cell reads {genre_cell!r}, not {genre!r}")
            created_names.append(created)
        return run

    def turn_on(name):
        def run():
            page.click(lambda: page.row_cell(name, ".col-toggle a"), "the start link")
            page.settled()
            page.wait(lambda: page.state(name) == "Live", STREAM, f"{name!r} live")
            if page.row_cell(name, ".col-tunein a img") is None:
                raise StepFailed("no tune-in link in the live row")
        return run

    def tune_in(name):
        def run():
            handles = set(driver.window_handles)
            page.click(lambda: page.row_cell(name, ".col-tunein a"), "the tune-in link")
            expected = f"http://127.0.0.1:{port}/{urllib.parse.quote(name, safe='')}.m3u"
            page.wait(lambda: page.visible("player") and page.by_id("player-name").text == name, SHORT,
                      "the player")
            link = page.by_id("player-m3u").get_attribute("href")
            if link != expected:
                raise StepFailed(f"the playlist URL is {link!r}, not {expected!r}")
            # The link also opened the playlist in a window of its own.
            page.wait(lambda: len(set(driver.window_handles) - handles) > 0, SHORT, "the playlist's window")
            for handle in set(driver.window_handles) - handles:
                driver.switch_to.window(handle)
                driver.close()
            driver.switch_to.window(main_window)
            body = fetch(expected)
            if f":{port}/" not in body:
                raise StepFailed(f"the playlist {expected} reads {body!r}")
        return run

    def play(name):
        def run():
            page.click(lambda: page.by_id("player-play"), "Play")
            page.wait(lambda: page.js("const a = document.getElementById('audio');"
                                      "return !a.paused && !a.error && a.currentTime >= 2"),
                      STREAM, "two seconds of the stream played")
            page.click(lambda: page.by_id("player-close"), "Close the player")
            page.wait(lambda: not page.visible("player"), SHORT, "the player closed")
        return run

    def renew(name, genre):
        def run():
            page.click(lambda: page.row_cell(name, "button[data-action=edit]"), "Edit")
            page.wait(lambda: page.visible("editor") and page.by_id("f-name").get_attribute("value") == name,
                      SHORT, "the form filled")
            page.wait(lambda: page.by_id("f-desc").get_attribute("value") == "Made in the browser", SHORT,
                      "the stored description in the form")
            if not page.by_id("f-rand").is_selected():
                raise StepFailed("shuffle is not shown as on")
            page.type_into("f-genre", genre)
            page.click(lambda: page.by_id("f-rand"), "Shuffle")
            page.click(lambda: page.by_id("editor-save"), "Save and restart")
            page.settled()
            page.wait(lambda: page.row_cell(name, "td:nth-child(3)").text == genre
                      and page.row_cell(name, "td:nth-child(5)").text == "No", SHORT, "the new genre in the table")
            page.wait(lambda: page.state(name) == "Live", STREAM, f"{name!r} live again")
        return run

    def rescan(name):
        def run():
            page.click(lambda: page.row_cell(name, "button[data-action=rescan]"), "Rescan")
            text = page.settled()
            if "holds what its folders hold" not in text:
                raise StepFailed(f"after the rescan the page says {text!r}")
        return run

    def turn_off(name):
        def run():
            page.click(lambda: page.row_cell(name, ".col-toggle a"), "the stop link")
            page.settled()
            page.wait(lambda: page.state(name) == "Stopped", STREAM, f"{name!r} stopped")
        return run

    def delete(name):
        def run():
            page.click(lambda: page.row_cell(name, "button[data-action=delete]"), "Delete")
            page.wait(lambda: (page.message() or ("", ""))[0] == "confirm", SHORT, "the question")
            if page.row(name) is None:
                raise StepFailed("deleted before the answer")
            page.click(lambda: page.by_id("confirm-yes"), "Delete (the answer)")
            page.settled()
            page.wait(lambda: page.row(name) is None, SHORT, f"{name!r} gone from the table")
        return run

    def screenshot():
        page.wait(lambda: page.message() is None or page.message()[0] == "info", SHORT, "a quiet page")
        # The server's figures come within a few seconds; the picture is taken without them otherwise.
        try:
            page.wait(lambda: all(page.row_cell(n, ".col-title").text for n in created_names), 12,
                      "every stream's title")
        except StepFailed:
            pass
        page.js("document.getElementById('message-close').click()")
        page.js("window.scrollTo(0, 0)")
        page.by_id("playlists").screenshot(args.screenshot)

    def phone():
        driver.set_window_size(390, 844)
        page.wait(lambda: page.js("return getComputedStyle(document.querySelector('thead')).display") == "none",
                  SHORT, "the narrow layout")
        wide = page.js("return document.documentElement.scrollWidth - window.innerWidth")
        driver.set_window_size(1100, 760)
        if wide > 0:
            raise StepFailed(f"the page is {wide} px wider than a phone's screen")

    created_names = []
    result = 1
    try:
        step("the page loads", open_page)
        step(f"the port is set to {port}", set_port)
        plans = [(None, "Ambient", ["Ambient", "Morning"], False),
                 ("Road Trip", "Jazz & Blues", ["Jazz & Blues", "Live"], True),
                 ("O'Brien", "Singles", ["Singles"], False)]
        for name, genre, path, by_list in plans:
            step(f"create {name or 'the proposed name'} by browsing to {'/'.join(path)}",
                 create(name, genre, path, by_list))
            step(f"  turn {created_names[-1]!r} on; it is live in the table", turn_on(created_names[-1]))
        step("the page fits a phone's screen", phone)
        if args.screenshot:
            step(f"screenshot of the table in {args.screenshot}", screenshot)
        for name in created_names:
            step(f"{name!r}: the tune-in link opens its playlist URL", tune_in(name))
            step(f"  the stream plays two seconds in the page", play(name))
            step(f"  edit and save (renew)", renew(name, "Renewed <&> genre"))
            step(f"  rescan", rescan(name))
            step(f"  turn it off", turn_off(name))
            step(f"  delete it", delete(name))
        result = 0
    except (StepFailed, WebDriverException):
        pass
    finally:
        driver.quit()
    print(f"browser test: {passed} passed, {failed} failed in {time.monotonic() - started:.0f} s")
    return result


if __name__ == "__main__":
    sys.exit(main())
