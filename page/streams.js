// The add-on's page: speaks to stream_admin at /cgi-bin/stream_admin and
// shows the server, the playlists and their streams. No framework; every
// request has a deadline.
"use strict";

const CGI = "/cgi-bin/stream_admin";
const REFRESH_MS = 5000;
const QUERY_TIMEOUT_MS = 20000;
// Changing commands wait for the command lock for up to two minutes.
const CHANGE_TIMEOUT_MS = 150000;
// A new playlist answers once its folders have been scanned.
const BUILD_TIMEOUT_MS = 600000;

const $ = (id) => document.getElementById(id);

// ------------------------------------------------------------------ requests

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

// The text an HTML fragment shows (the fragment is parsed inert).
function htmlText(html) {
  const template = document.createElement("template");
  template.innerHTML = html;
  return template.content.textContent;
}

// ------------------------------------------------------------------ messages

let messageTimer = null;

// kind: "info", "error", "working" or "confirm". `actions` are [label, id, handler].
function showMessage(kind, text, actions = []) {
  const box = $("message");
  clearTimeout(messageTimer);
  box.className = `message ${kind}`;
  $("message-text").textContent = text;
  const place = $("message-actions");
  place.replaceChildren();
  for (const [label, id, handler] of actions) {
    const button = document.createElement("button");
    button.type = "button";
    button.id = id;
    button.textContent = label;
    button.addEventListener("click", handler);
    place.append(button);
  }
  $("message-close").hidden = kind === "working";
  box.hidden = false;
  if (kind === "info") messageTimer = setTimeout(hideMessage, 8000);
}
function hideMessage() {
  clearTimeout(messageTimer);
  $("message").hidden = true;
  $("message").className = "message";
}
const showError = (text) => showMessage("error", text);
const showInfo = (text) => showMessage("info", text);

// One change at a time: `work` runs while a working message shows `label`;
// a RequestError becomes an error message starting with `failure`.
let working = false;
async function change(label, failure, work) {
  if (working) {
    showError("Another change is still running; wait until it has finished.");
    return;
  }
  working = true;
  document.body.classList.add("working");
  showMessage("working", label);
  try {
    await work();
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    showError(`${failure}: ${e.message}.`);
  } finally {
    working = false;
    document.body.classList.remove("working");
    if ($("message").classList.contains("working")) hideMessage();
    refreshSoon();
  }
}

const quoted = (name) => `“${name}”`;

// --------------------------------------------------------------- the server

async function loadPort() {
  try {
    const doc = await request({ cmd: "GUI_ice_get" });
    const port = first(doc, "port");
    if (port !== null) $("port").value = port;
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    showError(`The server's port could not be read: ${e.message}.`);
  }
}

function setPort(event) {
  event.preventDefault();
  const port = $("port").value.trim();
  if (!/^[0-9]{1,5}$/.test(port) || Number(port) < 1 || Number(port) > 65535) {
    showError("The port must be a number from 1 to 65535.");
    return;
  }
  closePlayer();
  change(`Moving the streaming server to port ${port}…`, `The port was not changed to ${port}`, async () => {
    const doc = await request({ cmd: "GUI_ice_set", f_port: port }, CHANGE_TIMEOUT_MS);
    if (res(doc) === "1") {
      showInfo(`The streaming server listens on port ${port}.`);
    } else {
      showError(
        `The streaming server does not listen on port ${port}: another program may be using it, ` +
          "or the device stayed busy. The port stays set; choose another one to try again."
      );
    }
    await loadPort();
  });
}

// ----------------------------------------------------------------- the table

let refreshing = false;
let refreshTimer = null;
let lastSignature = "";
// Names of playlists being made, shown in the table until their answer ends.
const building = new Set();

function refreshSoon(delay = 0) {
  clearTimeout(refreshTimer);
  refreshTimer = setTimeout(refresh, delay);
}

// A refresh asked for while one runs follows it at once, so that the table
// shows what a change just did.
let refreshAgain = false;

async function refresh() {
  clearTimeout(refreshTimer);
  if (refreshing) {
    refreshAgain = true;
    return;
  }
  refreshing = true;
  refreshAgain = false;
  try {
    const [table, status] = await Promise.all([
      request({ cmd: "GUI_ice_playlist", page: "1" }),
      request({ cmd: "GUI_ice_status" }).catch((e) => {
        if (e instanceof RequestError) return null;
        throw e;
      }),
    ]);
    render(table, status && res(status) === "1" ? status : null);
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    setServerState("down", `The playlists could not be read: ${e.message}. Trying again…`);
  } finally {
    refreshing = false;
    refreshTimer = setTimeout(refresh, refreshAgain ? 0 : REFRESH_MS);
  }
}

function setServerState(kind, text) {
  const line = $("server-state");
  line.className = `server-state ${kind}`;
  line.textContent = text;
}

function readStatus(doc) {
  const playlists = new Map();
  if (!doc) return { server: null, playlists };
  const server = doc.getElementsByTagName("server")[0];
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
  return {
    server: server && {
      running: first(server, "running") === "1",
      port: first(server, "port") || "",
      listening: first(server, "listening") === "1",
    },
    playlists,
  };
}

// What a playlist's stream does, from its status.
function streamState(status) {
  if (!status) return ["unknown", "Unknown", "The device did not tell"];
  if (status.enabled && status.running) return ["live", "Live", "On and streaming"];
  if (status.enabled && status.givenUp) {
    return ["given-up", "Given up", "Its source client kept stopping; it is retried when its settings change"];
  }
  if (status.enabled) return ["down", "Down", "On, but not streaming; the device retries it every minute"];
  if (status.running) return ["stray", "Stopping", "Off, but still streaming"];
  return ["stopped", "Stopped", "Off"];
}

function readRows(doc) {
  return Array.from(doc.getElementsByTagName("row"), (row) => {
    const cells = Array.from(row.getElementsByTagName("cell"), (cell) => cell.textContent);
    if (cells.length >= 6) {
      const [tuneIn, name, genre, desc, shuffle, toggle] = cells;
      return { tuneIn, name, genre, desc, shuffle, toggle };
    }
    // A playlist whose settings could not be read has its name cell only.
    return { tuneIn: "-", name: cells[cells.length - 1] || "", genre: "", desc: "", shuffle: "", toggle: "" };
  });
}

function cell(row, label, className = "") {
  const td = document.createElement("td");
  td.dataset.label = label;
  if (className) td.className = className;
  row.append(td);
  return td;
}

function actionButton(label, action, name) {
  const button = document.createElement("button");
  button.type = "button";
  button.className = "secondary small";
  button.textContent = label;
  button.dataset.action = action;
  button.dataset.name = name;
  return button;
}

function render(tableDoc, statusDoc) {
  const rows = readRows(tableDoc);
  const status = readStatus(statusDoc);
  const signature = JSON.stringify([rows, statusDoc ? [status.server, [...status.playlists]] : null, [...building]]);
  if (signature === lastSignature) return;
  lastSignature = signature;

  if (status.server) {
    const { running, port, listening } = status.server;
    if (running && listening) setServerState("live", `Streaming server running on port ${port}.`);
    else if (running) setServerState("down", `Streaming server running, but not listening on port ${port}.`);
    else setServerState("down", `Streaming server not running (port ${port}).`);
  } else {
    setServerState("unknown", "The state of the streams could not be read.");
  }

  const body = $("rows");
  const fresh = [];
  const names = new Set();
  for (const row of rows) {
    const name = htmlText(row.name);
    names.add(name);
    const tr = document.createElement("tr");
    tr.dataset.name = name;
    const st = status.playlists.get(name);
    const [stateKey, stateLabel, stateTitle] = streamState(statusDoc ? st || null : null);
    tr.className = `state-${stateKey}`;

    // The server's cells are HTML: the link cells are fragments, the text
    // cells are escaped text.
    const tuneIn = cell(tr, "Tune in", "col-tunein");
    tuneIn.innerHTML = row.tuneIn;
    for (const img of tuneIn.querySelectorAll("img")) img.alt = img.title = `Tune in to ${name}`;
    cell(tr, "Name", "col-name").innerHTML = row.name;
    cell(tr, "Genre").innerHTML = row.genre;
    cell(tr, "Description").innerHTML = row.desc;
    cell(tr, "Shuffle").innerHTML = row.shuffle;
    const state = cell(tr, "State", "col-state");
    const badge = document.createElement("span");
    badge.className = `badge ${stateKey}`;
    badge.textContent = stateLabel;
    badge.title = stateTitle;
    state.append(badge);
    cell(tr, "Listeners", "col-listeners").textContent = st && st.listeners !== null ? st.listeners : "";
    cell(tr, "Now playing", "col-title").textContent = st && st.title !== null ? st.title : "";
    const toggle = cell(tr, "On/off", "col-toggle");
    toggle.innerHTML = row.toggle;
    for (const img of toggle.querySelectorAll("img")) {
      const stop = /stop\.png$/.test(img.getAttribute("src") || "");
      img.alt = img.title = `${stop ? "Turn off" : "Turn on"} ${name}`;
      img.classList.add(stop ? "stop" : "start");
    }
    const actions = cell(tr, "Actions", "col-actions");
    actions.append(actionButton("Edit", "edit", name), actionButton("Rescan", "rescan", name), actionButton("Delete", "delete", name));
    fresh.push(tr);
  }
  for (const name of building) {
    if (names.has(name)) continue;
    const tr = document.createElement("tr");
    tr.dataset.name = name;
    tr.className = "state-building";
    cell(tr, "Tune in", "col-tunein");
    cell(tr, "Name", "col-name").textContent = name;
    for (const label of ["Genre", "Description", "Shuffle"]) cell(tr, label);
    const badge = document.createElement("span");
    badge.className = "badge building";
    badge.textContent = "Scanning folders…";
    cell(tr, "State", "col-state").append(badge);
    for (const label of ["Listeners", "Now playing", "On/off", "Actions"]) cell(tr, label);
    fresh.push(tr);
  }
  body.replaceChildren(...fresh);
  $("empty").hidden = fresh.length > 0;
}

function onTableClick(event) {
  const button = event.target.closest("button[data-action]");
  if (!button) return;
  const name = button.dataset.name;
  switch (button.dataset.action) {
    case "edit": openEdit(name); break;
    case "rescan": rescanPlaylist(name); break;
    case "delete": askDelete(name); break;
  }
}

// -------------------------------------------------- the functions the cells call

// "PORT/NAME.m3u": opens that playlist on this page's host, and the player.
function ices_playlist(arg) {
  const match = /^([0-9]{1,5})\/([^]+)\.m3u$/.exec(String(arg));
  if (!match) {
    showError(`The tune-in link could not be followed (${quoted(String(arg))}).`);
    return;
  }
  const [, port, name] = match;
  const path = encodeURIComponent(name).replace(/[!'()*]/g, (c) => `%${c.charCodeAt(0).toString(16).toUpperCase()}`);
  const base = `http://${location.hostname}:${port}/${path}`;
  openPlayer(name, base, `${base}.m3u`);
  window.open(`${base}.m3u`, "_blank", "noopener");
}

function isplaylist_enable(name) {
  name = String(name);
  change(`Turning on ${quoted(name)}…`, `${quoted(name)} was not turned on`, async () => {
    const full = res(await request({ cmd: "GUI_ice_is_active_full" }));
    if (full === "1") {
      showError(`${quoted(name)} was not turned on: five playlists are on already, as many as the device streams. Turn one off first.`);
      return;
    }
    if (full !== "0") {
      showError(`${quoted(name)} was not turned on: the device could not count the playlists that are on.`);
      return;
    }
    const doc = await request({ cmd: "GUI_ice_playlist_enable", f_name: name }, CHANGE_TIMEOUT_MS);
    if (res(doc) === "1") {
      showInfo(`${quoted(name)} is on.`);
    } else {
      showError(
        `${quoted(name)} could not be started: the device refused the name, found no stream configuration ` +
          "for it, or stayed busy. Edit and save it to write its configuration again."
      );
    }
  });
}

function isplaylist_disable(name) {
  name = String(name);
  if (playerName === name) closePlayer();
  change(`Turning off ${quoted(name)}…`, `${quoted(name)} was not turned off`, async () => {
    const doc = await request({ cmd: "GUI_ice_playlist_disable", f_name: name }, CHANGE_TIMEOUT_MS);
    if (res(doc) === "1") showInfo(`${quoted(name)} is off.`);
    else showError(`${quoted(name)} could not be turned off: the device refused the name or stayed busy.`);
  });
}

// The table's links call these by name.
window.ices_playlist = ices_playlist;
window.isplaylist_enable = isplaylist_enable;
window.isplaylist_disable = isplaylist_disable;

// ----------------------------------------------------------------- the player

let playerName = null;

function openPlayer(name, streamUrl, m3uUrl) {
  const audio = $("audio");
  audio.pause();
  playerName = name;
  $("player-name").textContent = name;
  const link = $("player-m3u");
  link.href = m3uUrl;
  link.textContent = m3uUrl;
  audio.src = streamUrl;
  $("player").hidden = false;
  $("player").scrollIntoView({ block: "nearest" });
}

function closePlayer() {
  const audio = $("audio");
  audio.pause();
  if (audio.hasAttribute("src")) {
    audio.removeAttribute("src");
    audio.load();
  }
  playerName = null;
  $("player").hidden = true;
}

function playAudio() {
  const audio = $("audio");
  const played = audio.play();
  if (played) {
    played.catch((e) => {
      if (e.name !== "AbortError") showError(`The stream of ${quoted(playerName || "")} could not be played: ${e.message}`);
    });
  }
}

function onAudioError() {
  const audio = $("audio");
  if (!audio.hasAttribute("src") || !playerName) return;
  showError(`The stream of ${quoted(playerName)} stopped or could not be reached. Is the playlist on?`);
}

// ---------------------------------------------------- rescan and delete

function rescanPlaylist(name) {
  change(`Rescanning the folders of ${quoted(name)}…`, `${quoted(name)} was not rescanned`, async () => {
    const doc = await request({ cmd: "GUI_ice_playlist_rescan", f_name: name }, BUILD_TIMEOUT_MS);
    if (res(doc) === "1") {
      showInfo(`${quoted(name)} holds what its folders hold now.`);
    } else {
      showError(
        `${quoted(name)} could not be rescanned: it was made before its folders were kept ` +
          "(make it again to rescan it), it no longer exists, or the device stayed busy."
      );
    }
  });
}

function askDelete(name) {
  if (working) {
    showError("Another change is still running; wait until it has finished.");
    return;
  }
  showMessage("confirm", `Delete the playlist ${quoted(name)}? Its settings and song list go; the music stays.`, [
    ["Delete", "confirm-yes", () => deletePlaylist(name)],
    ["Keep it", "confirm-no", hideMessage],
  ]);
}

function deletePlaylist(name) {
  if (playerName === name) closePlayer();
  change(`Deleting ${quoted(name)}…`, `${quoted(name)} was not deleted`, async () => {
    const doc = await request({ cmd: "GUI_ice_playlist_del", f_name: name }, CHANGE_TIMEOUT_MS);
    if (res(doc) === "1") showInfo(`${quoted(name)} is deleted.`);
    else showError(`${quoted(name)} could not be deleted: the device refused the name or stayed busy.`);
  });
}

// ------------------------------------------------------------------ the editor

// mode: "new" or "edit"; chosen: the folders of a new playlist.
const editor = { mode: "new", name: "", chosen: [] };

function showEditor(mode) {
  editor.mode = mode;
  const isNew = mode === "new";
  $("editor-title").textContent = isNew ? "New playlist" : `Edit ${quoted(editor.name)}`;
  $("f-name").readOnly = !isNew;
  $("folders-field").hidden = !isNew;
  $("editor-save").textContent = isNew ? "Create playlist" : "Save and restart";
  $("editor").hidden = false;
  $("editor").scrollIntoView({ block: "start" });
}

function closeEditor() {
  $("editor").hidden = true;
  editor.chosen = [];
}

async function openCreate() {
  if (working) {
    showError("Another change is still running; wait until it has finished.");
    return;
  }
  try {
    const full = res(await request({ cmd: "GUI_ice_is_playlist_full" }));
    if (full !== "0") {
      showError(
        full === "1"
          ? "No playlist can be added: the device holds 20 playlists, as many as it keeps. Delete one first."
          : "No playlist can be added: the device could not count its playlists."
      );
      return;
    }
    const proposed = first(await request({ cmd: "GUI_ice_playlist_name" }), "playlist_name");
    hideMessage();
    editor.name = "";
    $("f-name").value = proposed || "";
    $("f-genre").value = "";
    $("f-desc").value = "";
    $("f-rand").checked = false;
    editor.chosen = [];
    renderChosen();
    showEditor("new");
    await browseRoots();
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    showError(`The new playlist form could not be opened: ${e.message}.`);
  }
}

async function openEdit(name) {
  if (working) {
    showError("Another change is still running; wait until it has finished.");
    return;
  }
  try {
    const doc = await request({ cmd: "GUI_ice_modify_info", f_name: name });
    if (res(doc) !== "1") {
      showError(`The settings of ${quoted(name)} could not be read: the device refused the name.`);
      return;
    }
    hideMessage();
    editor.name = name;
    $("f-name").value = name;
    $("f-genre").value = first(doc, "genre") || "";
    $("f-desc").value = first(doc, "desc") || "";
    $("f-rand").checked = (first(doc, "rand") || "").startsWith("1");
    showEditor("edit");
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    showError(`The settings of ${quoted(name)} could not be read: ${e.message}.`);
  }
}

function submitEditor(event) {
  event.preventDefault();
  if (editor.mode === "new") createPlaylist();
  else renewPlaylist();
}

function renewPlaylist() {
  const name = editor.name;
  const fields = {
    cmd: "GUI_ice_playlist_renew",
    f_name: name,
    f_genre: $("f-genre").value,
    f_desc: $("f-desc").value,
    f_randomized: $("f-rand").checked ? "1" : "0",
  };
  closeEditor();
  change(`Saving ${quoted(name)} and restarting its stream…`, `${quoted(name)} was not saved`, async () => {
    const doc = await request(fields, CHANGE_TIMEOUT_MS);
    if (res(doc) === "1") showInfo(`${quoted(name)} is saved.`);
    else showError(`${quoted(name)} could not be saved: the device refused the name or stayed busy.`);
  });
}

function createPlaylist() {
  const name = $("f-name").value.trim();
  if (!name) {
    showError("Give the playlist a name.");
    return;
  }
  if (editor.chosen.length === 0) {
    showError("Add at least one folder to the playlist.");
    return;
  }
  const fields = {
    cmd: "GUI_ice_playlist_new",
    f_name: name,
    f_genre: $("f-genre").value,
    f_desc: $("f-desc").value,
    f_randomized: $("f-rand").checked ? "1" : "0",
    f_total: String(editor.chosen.length),
  };
  editor.chosen.forEach((folder, i) => (fields[`f_dir${i}`] = folder));
  const count = editor.chosen.length;
  change(`Checking the name ${quoted(name)}…`, `${quoted(name)} was not created`, async () => {
    const full = res(await request({ cmd: "GUI_ice_is_playlist_full" }));
    if (full !== "0") {
      showError(`${quoted(name)} was not created: the device holds 20 playlists, as many as it keeps.`);
      return;
    }
    const taken = res(await request({ cmd: "GUI_ice_has_playlist_name", f_name: name }));
    if (taken !== "0") {
      showError(
        taken === "1"
          ? `${quoted(name)} was not created: a playlist of that name exists already. Choose another name.`
          : `${quoted(name)} was not created: the device could not check the name.`
      );
      return;
    }
    closeEditor();
    building.add(name);
    refreshSoon();
    const folders = count === 1 ? "one folder" : `${count} folders`;
    showMessage("working", `Creating ${quoted(name)}…`);
    try {
      const doc = await request(fields, BUILD_TIMEOUT_MS, (text) => {
        if (text.includes("<res>1</res>")) showMessage("working", `Scanning ${folders} for ${quoted(name)}…`);
      });
      if (res(doc) === "1") {
        showInfo(`${quoted(name)} is ready. Turn it on with its start button.`);
      } else {
        showError(
          `${quoted(name)} could not be created: the device refused the name (it cannot hold "/" or ` +
            "control characters, nor be a word the device reserves) or stayed busy."
        );
      }
    } finally {
      building.delete(name);
    }
  });
}

// --------------------------------------------------------- the folder browser

// trail: the folders entered from the roots, the last one shown.
const browser = { trail: [], path: null };

function browseNote(text) {
  $("browse-note").textContent = text;
  $("browse-note").hidden = !text;
}

function browseEntry(label, path, title) {
  const li = document.createElement("li");
  const open = document.createElement("button");
  open.type = "button";
  open.className = "folder";
  open.textContent = label;
  open.title = title;
  open.dataset.path = path;
  open.addEventListener("click", () => browseInto(path));
  const add = document.createElement("button");
  add.type = "button";
  add.className = "secondary small";
  add.textContent = "Add";
  add.title = `Add ${path}`;
  add.dataset.add = path;
  add.addEventListener("click", () => choose(path));
  li.append(open, add);
  return li;
}

async function browseRoots() {
  browseNote("");
  try {
    const doc = await request({ cmd: "GUI_ice_folders", f_path: "" });
    if (res(doc) !== "1") {
      browseNote("The music folders could not be listed: the device refused.");
      return;
    }
    browser.trail = [];
    browser.path = null;
    $("browse-path").textContent = "Music folders";
    $("browse-up").disabled = true;
    $("browse-add").disabled = true;
    const roots = all(doc, "root");
    $("browse-list").replaceChildren(...roots.map((root) => browseEntry(root, root, `Open ${root}`)));
    if (roots.length === 0) browseNote("The device names no music folder.");
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    browseNote(`The music folders could not be listed: ${e.message}.`);
  }
}

// Shows the folder `path`; `back` is true when going up the trail.
async function browseTo(path, back) {
  browseNote("");
  try {
    const doc = await request({ cmd: "GUI_ice_folders", f_path: path });
    if (res(doc) !== "1") {
      browseNote(`${path} cannot be opened: it is gone, unreadable, or outside the music folders.`);
      return false;
    }
    const shown = first(doc, "path") || path;
    if (!back) browser.trail.push(shown);
    browser.path = shown;
    $("browse-path").textContent = shown;
    $("browse-up").disabled = false;
    $("browse-add").disabled = false;
    const base = shown.endsWith("/") ? shown : `${shown}/`;
    const folders = all(doc, "folder");
    $("browse-list").replaceChildren(...folders.map((folder) => browseEntry(folder, base + folder, `Open ${base + folder}`)));
    if (first(doc, "cut") === "1") browseNote(`Only the first ${folders.length} folders are shown.`);
    else if (folders.length === 0) browseNote("No folders in here; add this one to take its songs.");
    return true;
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    browseNote(`${path} could not be listed: ${e.message}.`);
    return false;
  }
}

const browseInto = (path) => browseTo(path, false);

function browseUp() {
  browser.trail.pop();
  if (browser.trail.length === 0) browseRoots();
  else browseTo(browser.trail[browser.trail.length - 1], true);
}

function choose(path) {
  if (!editor.chosen.includes(path)) editor.chosen.push(path);
  renderChosen();
}

function renderChosen() {
  const items = editor.chosen.map((path, i) => {
    const li = document.createElement("li");
    const span = document.createElement("span");
    span.className = "path";
    span.textContent = path;
    const remove = document.createElement("button");
    remove.type = "button";
    remove.className = "secondary small";
    remove.textContent = "Remove";
    remove.addEventListener("click", () => {
      editor.chosen.splice(i, 1);
      renderChosen();
    });
    li.append(span, remove);
    return li;
  });
  $("chosen").replaceChildren(...items);
  $("chosen-none").hidden = items.length > 0;
}

// ------------------------------------------------------------------- start up

document.addEventListener("DOMContentLoaded", () => {
  $("port-form").addEventListener("submit", setPort);
  $("new-playlist").addEventListener("click", openCreate);
  $("rows").addEventListener("click", onTableClick);
  $("message-close").addEventListener("click", hideMessage);
  $("player-close").addEventListener("click", closePlayer);
  $("player-play").addEventListener("click", playAudio);
  $("audio").addEventListener("error", onAudioError);
  $("editor-form").addEventListener("submit", submitEditor);
  $("editor-cancel").addEventListener("click", closeEditor);
  $("browse-up").addEventListener("click", browseUp);
  $("browse-add").addEventListener("click", () => browser.path && choose(browser.path));
  loadPort();
  refresh();
});
