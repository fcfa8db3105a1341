// What the add-on's two pages share (index.html for whoever runs the device,
// listen.html for the listeners): requests to stream_admin, reading its
// status, the streams' addresses and a player that reports a stream that
// really stopped and nothing else. No framework; every request has a
// deadline.
"use strict";

const CGI = "/cgi-bin/stream_admin";
const REFRESH_MS = 5000;
const QUERY_TIMEOUT_MS = 20000;

const $ = (id) => document.getElementById(id);

class RequestError extends Error {}

// Sends one command as a form post and answers the parsed XML document.
// `onText` (optional) sees the answer as it arrives.
async function request(fields, timeoutMs = QUERY_TIMEOUT_MS, onText = null) {
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), timeoutMs);
  let text = "";
  let response;
  try {
    response = await fetch(CGI, {
      method: "POST",
      body: new URLSearchParams(fields),
      // What only a page of the device itself can send: another site's page
      // would need the device's leave (a preflight it never grants). The
      // device refuses changes from another machine without it.
      headers: { "X-Requested-With": "XMLHttpRequest" },
      cache: "no-store",
      signal: controller.signal,
    });
    if (onText && response.body) {
      const reader = response.body.getReader();
      const decoder = new TextDecoder();
      for (;;) {
        const { done, value } = await reader.read();
        if (done) break;
        text += decoder.decode(value, { stream: true });
        onText(text);
      }
      text += decoder.decode();
    } else {
      text = await response.text();
    }
  } catch (e) {
    if (e.name === "AbortError") {
      throw new RequestError(`the device did not answer within ${Math.round(timeoutMs / 1000)} seconds`);
    }
    throw new RequestError("the device could not be reached");
  } finally {
    clearTimeout(timer);
  }
  if (!response.ok) throw new RequestError(`the device answered with HTTP status ${response.status}`);
  const doc = new DOMParser().parseFromString(text, "text/xml");
  if (!doc.documentElement || doc.getElementsByTagName("parsererror").length > 0) {
    throw new RequestError("the device's answer could not be read");
  }
  return doc;
}

function first(doc, tag) {
  const element = doc.getElementsByTagName(tag)[0];
  return element ? element.textContent : null;
}
const all = (doc, tag) => Array.from(doc.getElementsByTagName(tag), (e) => e.textContent);
const res = (doc) => first(doc, "res");

// GUI_ice_status, read: null when the answer is not a status.
function readStatus(doc) {
  if (!doc || res(doc) !== "1") return null;
  const server = doc.getElementsByTagName("server")[0];
  if (!server) return null;
  const playlists = new Map();
  for (const element of doc.getElementsByTagName("playlist")) {
    const value = (tag) => first(element, tag);
    playlists.set(value("name"), {
      enabled: value("enabled") === "1",
      running: value("running") === "1",
      givenUp: value("given_up") === "1",
      listeners: value("listeners"),
      title: value("title"),
    });
  }
  // Present only when something stands in the way of a change.
  const dir = doc.getElementsByTagName("conf_dir")[0];
  const refused = doc.getElementsByTagName("changes_refused")[0];
  // A recorded change the device could not apply, and the playlists whose
  // folder scan could not be written: present only while there are.
  const waiting = doc.getElementsByTagName("change")[0];
  const incomplete = new Map();
  for (const element of doc.getElementsByTagName("incomplete")) {
    incomplete.set(first(element, "name"), first(element, "reason") || "");
  }
  return {
    server: {
      running: first(server, "running") === "1",
      port: first(server, "port") || "",
      listening: first(server, "listening") === "1",
    },
    up: first(server, "running") === "1" && first(server, "listening") === "1",
    playlists,
    writable: !dir || first(dir, "writable") !== "0",
    busy: !!dir && first(dir, "busy") === "1",
    // Why the device would refuse this page's changes: { reason, host,
    // deviceName }, null when it takes them.
    refused: refused
      ? { reason: first(refused, "reason") || "", host: first(refused, "host") || "", deviceName: first(refused, "device_name") || "" }
      : null,
    allowedHosts: all(doc, "allowed_host"),
    serverSettingsUnreadable: first(doc, "server_settings") === "unreadable",
    // { action, argument, reason }, null when no change waits.
    change: waiting
      ? { action: first(waiting, "action") || "", argument: first(waiting, "argument") || "", reason: first(waiting, "reason") || "" }
      : null,
    incomplete,
  };
}

// Asks for the status; null when the device did not answer with one.
async function fetchStatus() {
  try {
    return readStatus(await request({ cmd: "GUI_ice_status" }));
  } catch (e) {
    if (e instanceof RequestError) return null;
    throw e;
  }
}

// Live: its source client runs and so does a server that listens.
const isLive = (status, name) => {
  const playlist = status && status.playlists.get(name);
  return !!(playlist && status.up && playlist.enabled && playlist.running);
};

// The stream of playlist `name` on the device's streaming port, and its
// playlist file for music players.
function streamUrls(port, name) {
  // A port is digits: anything else (a hand-edited setting) must not turn
  // the link into one to another host.
  if (!/^[0-9]{1,5}$/.test(String(port))) port = "8000";
  const path = encodeURIComponent(name).replace(/[!'()*]/g, (c) => `%${c.charCodeAt(0).toString(16).toUpperCase()}`);
  const stream = `http://${location.hostname}:${port}/${path}`;
  return { stream, m3u: `${stream}.m3u` };
}

// "12 s ago", "3 min ago".
function age(since) {
  const seconds = Math.max(0, Math.round((Date.now() - since) / 1000));
  return seconds < 90 ? `${seconds} s ago` : `${Math.round(seconds / 60)} min ago`;
}

// Watches an audio element the user started. Browsers report hiccups of a
// live stream as errors (Firefox a decode error while the sound plays on), so
// an error, an end or a long wait only starts a check: the stream has
// stopped when its playing time stands still for a few seconds; `onStopped`
// then hears why, from the device's status (`askLive` answers true, false,
// or null when the device cannot be reached).
class StreamWatch {
  constructor(audio, askLive, onStopped) {
    this.audio = audio;
    this.askLive = askLive;
    this.onStopped = onStopped;
    this.wanted = false;
    this.checking = false;
    this.waitTimer = null;
    const check = () => this.check();
    for (const type of ["error", "ended", "stalled", "emptied"]) audio.addEventListener(type, check);
    audio.addEventListener("waiting", () => {
      clearTimeout(this.waitTimer);
      this.waitTimer = setTimeout(check, 6000);
    });
    audio.addEventListener("playing", () => clearTimeout(this.waitTimer));
    audio.addEventListener("play", () => (this.wanted = true));
    audio.addEventListener("pause", () => {
      // A pause the user chose; an ended stream pauses too, and is checked.
      if (!audio.ended && !audio.error) this.wanted = false;
    });
  }

  // The user's play: starts the stream afresh (a live stream cannot resume).
  play(src) {
    const audio = this.audio;
    if (src) audio.src = src;
    else if (audio.error || audio.ended) audio.load();
    this.wanted = true;
    const played = audio.play();
    return played ? played.catch((e) => (e.name === "AbortError" ? undefined : this.check())) : Promise.resolve();
  }

  stop() {
    this.wanted = false;
    clearTimeout(this.waitTimer);
    const audio = this.audio;
    audio.pause();
    if (audio.hasAttribute("src")) {
      audio.removeAttribute("src");
      audio.load();
    }
  }

  async check() {
    if (!this.wanted || this.checking || !this.audio.hasAttribute("src")) return;
    this.checking = true;
    try {
      const audio = this.audio;
      const before = audio.currentTime;
      await new Promise((resolve) => setTimeout(resolve, 4000));
      if (!this.wanted) return;
      if (!audio.paused && !audio.ended && audio.currentTime > before + 1) return;  // it plays on
      const live = await this.askLive();
      if (!this.wanted) return;
      this.wanted = false;
      audio.pause();
      this.onStopped(live === null ? "unreachable" : live ? "interrupted" : "stopped");
    } finally {
      this.checking = false;
    }
  }
}
