// Talking to the device, for both pages (index.html for whoever runs the
// device, listen.html for the listeners): requests to stream_admin, reading
// its status, the streams' addresses, and the few constants and helpers both
// pages share. No framework; every request has a deadline.

export const CGI = "/cgi-bin/stream_admin";
export const REFRESH_MS = 5000;
export const QUERY_TIMEOUT_MS = 20000;
// Changing commands wait for the command lock for up to two minutes.
export const CHANGE_TIMEOUT_MS = 150000;
// A new playlist answers once its folders have been scanned.
export const BUILD_TIMEOUT_MS = 600000;
// What the device holds and streams at most, and how long a name may be
// (its settings file's name, "simple-ices-conf-NAME", within 255 bytes).
export const MAX_PLAYLISTS = 20;
export const MAX_ON = 5;
export const MAX_NAME_BYTES = 238;
export const MAX_FIELD_BYTES = 255;

export const $ = (id) => document.getElementById(id);
export const quoted = (name) => `“${name}”`;
export const bytes = (text) => new TextEncoder().encode(text).length;

// The text an HTML fragment shows (the fragment is parsed inert).
export function htmlText(html) {
  const template = document.createElement("template");
  template.innerHTML = html;
  return template.content.textContent;
}

// Writes only what changed, so that a refresh disturbs no reader.
export function setText(element, text) {
  if (element.textContent !== text) element.textContent = text;
}
export function setAttr(element, name, value) {
  if (value === null) {
    if (element.hasAttribute(name)) element.removeAttribute(name);
  } else if (element.getAttribute(name) !== value) {
    element.setAttribute(name, value);
  }
}

export class RequestError extends Error {}

// Sends one command as a form post and answers the parsed XML document.
// `onText` (optional) sees the answer as it arrives.
export async function request(fields, timeoutMs = QUERY_TIMEOUT_MS, onText = null) {
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

export function first(doc, tag) {
  const element = doc.getElementsByTagName(tag)[0];
  return element ? element.textContent : null;
}
export const all = (doc, tag) => Array.from(doc.getElementsByTagName(tag), (e) => e.textContent);
export const res = (doc) => first(doc, "res");

// GUI_ice_status, read: null when the answer is not a status.
export function readStatus(doc) {
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
      // Songs in its playlist file (null when the device does not tell), and
      // how many of its folders are gone.
      songs: /^[0-9]+$/.test(value("songs") || "") ? Number(value("songs")) : null,
      missingFolders: Number(value("missing_folders") || 0) || 0,
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
export async function fetchStatus() {
  try {
    return readStatus(await request({ cmd: "GUI_ice_status" }));
  } catch (e) {
    if (e instanceof RequestError) return null;
    throw e;
  }
}

// Live: its source client runs, so does a server that listens, and it has
// songs to play (a device that does not count them is taken at its word).
export const isLive = (status, name) => {
  const playlist = status && status.playlists.get(name);
  return !!(playlist && status.up && playlist.enabled && playlist.running && playlist.songs !== 0);
};

// The stream of playlist `name` on the device's streaming port, and its
// playlist file for music players.
export function streamUrls(port, name) {
  // A port is digits: anything else (a hand-edited setting) must not turn
  // the link into one to another host.
  if (!/^[0-9]{1,5}$/.test(String(port))) port = "8000";
  const path = encodeURIComponent(name).replace(/[!'()*]/g, (c) => `%${c.charCodeAt(0).toString(16).toUpperCase()}`);
  const stream = `http://${location.hostname}:${port}/${path}`;
  return { stream, m3u: `${stream}.m3u` };
}

// "12 s ago", "3 min ago".
export function age(since) {
  const seconds = Math.max(0, Math.round((Date.now() - since) / 1000));
  return seconds < 90 ? `${seconds} s ago` : `${Math.round(seconds / 60)} min ago`;
}
