// Drives Debian's firefox-esr over WebDriver BiDi with puppeteer-core for
// device/browser_test.py, which runs the same steps in Chromium through
// Selenium. One JSON request a line on standard input, one JSON answer a
// line on standard output:
//   {"id": 1, "op": "js", "body": "return 1 + arguments[0]", "args": [1]}
//   {"id": 1, "ok": true, "value": 2}
// Operations: goto, js (a function body, as Selenium's execute_script; a
// promise is awaited), click and type (on the element a function body
// answers), press (a key), viewport, errors (the console errors and uncaught
// exceptions since the last call), screenshot, quit. The caller puts a
// deadline on every answer; no browser is downloaded.
"use strict";

const readline = require("readline");
const puppeteer = require("puppeteer-core");

const executablePath = process.env.WAVELORN_FIREFOX || "/usr/bin/firefox-esr";

function send(message) {
  process.stdout.write(`${JSON.stringify(message)}\n`);
}

async function main() {
  const browser = await puppeteer.launch({
    browser: "firefox",
    executablePath,
    headless: true,
    protocol: "webDriverBiDi",
    protocolTimeout: 60000,
    args: ["--width=1100", "--height=760"],
    extraPrefsFirefox: {
      // The page's player starts when the test clicks, as a person's click would.
      "media.autoplay.default": 0,
      "media.autoplay.blocking_policy": 0,
      "browser.shell.checkDefaultBrowser": false,
    },
  });
  const [page] = await browser.pages();
  const errors = [];
  page.on("console", (message) => {
    if (message.type() === "error") errors.push(`console: ${message.text()}`);
  });
  page.on("pageerror", (error) => errors.push(`uncaught: ${error.message || error}`));
  page.setDefaultTimeout(30000);
  await page.setViewport({ width: 1100, height: 760 });

  const run = (body, args) => page.evaluate((b, a) => new Function(b).apply(null, a), body, args || []);
  async function element(body, args) {
    const handle = await page.evaluateHandle((b, a) => new Function(b).apply(null, a), body, args || []);
    const found = handle.asElement();
    if (!found) {
      await handle.dispose();
      throw new Error("no such element");
    }
    return found;
  }

  const ops = {
    goto: ({ url }) => page.goto(url, { waitUntil: "load", timeout: 30000 }).then(() => null),
    js: ({ body, args }) => run(body, args),
    click: async ({ body, args }) => {
      const found = await element(body, args);
      try {
        await found.click();
      } finally {
        await found.dispose();
      }
      return null;
    },
    type: async ({ body, args, text }) => {
      const found = await element(body, args);
      try {
        await found.evaluate((e) => {
          e.focus();
          e.value = "";
        });
        await found.type(text);
      } finally {
        await found.dispose();
      }
      return null;
    },
    press: ({ key }) => page.keyboard.press(key).then(() => null),
    viewport: ({ width, height }) => page.setViewport({ width, height }).then(() => null),
    errors: () => errors.splice(0),
    screenshot: async ({ path, body, args }) => {
      if (body) {
        const found = await element(body, args);
        try {
          await found.screenshot({ path });
        } finally {
          await found.dispose();
        }
      } else {
        await page.screenshot({ path });
      }
      return null;
    },
    version: () => browser.version(),
    quit: async () => {
      await browser.close();
      return null;
    },
  };

  send({ id: 0, ok: true, value: await browser.version() });
  const lines = readline.createInterface({ input: process.stdin });
  for await (const line of lines) {
    let request;
    try {
      request = JSON.parse(line);
    } catch {
      continue;
    }
    const { id, op } = request;
    try {
      if (!ops[op]) throw new Error(`unknown operation ${op}`);
      send({ id, ok: true, value: (await ops[op](request)) ?? null });
    } catch (e) {
      send({ id, ok: false, error: String((e && e.message) || e) });
    }
    if (op === "quit") break;
  }
  await browser.close().catch(() => {});
}

main().catch((e) => {
  send({ id: 0, ok: false, error: String((e && e.stack) || e) });
  process.exit(1);
});
