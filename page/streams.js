// The add-on's page for whoever runs the device: the server's port, the
// playlists and their streams, making and changing playlists. Speaks to
// stream_admin through common.js; updates the table in place, so that focus,
// scrolling and an open form survive every refresh.
"use strict";

// Changing commands wait for the command lock for up to two minutes.
const CHANGE_TIMEOUT_MS = 150000;
// A new playlist answers once its folders have been scanned.
const BUILD_TIMEOUT_MS = 600000;
// What the device holds and streams at most, and how long a name may be
// (its settings file's name, "simple-ices-conf-NAME", within 255 bytes).
const MAX_PLAYLISTS = 20;
const MAX_ON = 5;
const MAX_NAME_BYTES = 238;
const MAX_FIELD_BYTES = 255;
const PENDING_KEY = "wavelorn-pending";

const quoted = (name) => `“${name}”`;
const bytes = (text) => new TextEncoder().encode(text).length;

// The text an HTML fragment shows (the fragment is parsed inert).
function htmlText(html) {
  const template = document.createElement("template");
  template.innerHTML = html;
  return template.content.textContent;
}

// What a link cell's fragment hands its function: the fragment is parsed
// inert, its javascript: URL percent-decoded and the script string's \xNN
// escapes read, as a browser following the link would.
function linkCall(fragment) {
  const template = document.createElement("template");
  template.innerHTML = fragment;
  const link = template.content.querySelector("a");
  if (!link) return null;
  let script;
  try {
    script = decodeURIComponent((link.getAttribute("href") || "").replace(/^javascript:/, ""));
  } catch {
    return null;
  }
  const match = /^(\w+)\('((?:[^'\\]|\\x[0-9A-Fa-f]{2})*)'\)$/.exec(script);
  if (!match) return null;
  return { fn: match[1], arg: match[2].replace(/\\x([0-9A-Fa-f]{2})/g, (_, hex) => String.fromCharCode(parseInt(hex, 16))) };
}

// ------------------------------------------------------------------ messages

let messageTimer = null;

// kind: "info", "error", "working" or "confirm". `actions` are [label, id, handler].
// While the form is open, its own message line shows errors instead.
function showMessage(kind, text, actions = []) {
  if ($("editor").open && kind === "error") {
    showFormMessage(text);
    return;
  }
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
    button.className = "secondary";
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

function showFormMessage(text) {
  $("editor-message").textContent = text;
  $("editor-message").hidden = !text;
}

// A note below a field: its problem, or nothing.
function fieldNote(input, note, problem) {
  $(note).textContent = problem || "";
  $(note).hidden = !problem;
  if (problem) $(input).setAttribute("aria-invalid", "true");
  else $(input).removeAttribute("aria-invalid");
}

// ------------------------------------------------- what the page knows

const view = {
  rows: [],           // the last table: { name, genre, desc, shuffle, enabled, port }
  tableAt: 0,         // when it came
  tableError: null,   // why the last table request failed, if it did
  status: null,       // the last status
  statusAt: 0,
  statusFresh: false, // the last refresh brought a status
};
// Playlists being made: shown until their answer ends.
const building = new Set();

// The change running now: { action, name, label, at }; kept in the tab's
// session storage, so that a reload while it runs still shows it.
let pending = null;
let pendingFromBefore = null;
let working = false;
// The page is being left (a reload): a change's request ends with it, not
// the change itself, which the next page shows from the storage.
let leaving = false;

function remember(change) {
  pending = change;
  try {
    if (change) sessionStorage.setItem(PENDING_KEY, JSON.stringify(change));
    else sessionStorage.removeItem(PENDING_KEY);
  } catch {
    // Storage refused: the change is shown in this page only.
  }
}

function recall() {
  try {
    const stored = JSON.parse(sessionStorage.getItem(PENDING_KEY) || "null");
    if (stored && typeof stored.name === "string" && Date.now() - stored.at < CHANGE_TIMEOUT_MS + BUILD_TIMEOUT_MS) {
      return stored;
    }
  } catch {
    // Nothing usable stored.
  }
  return null;
}

// One change at a time: `work` runs while a working message shows the
// change's label; a RequestError becomes an error message starting with
// `failure`.
async function change(what, failure, work) {
  if (working) {
    showError("Another change is still running; wait until it has finished.");
    return;
  }
  working = true;
  remember({ ...what, at: Date.now() });
  document.body.classList.add("working");
  showMessage("working", what.label);
  render();
  try {
    await work();
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    if (!leaving) showError(`${failure}: ${e.message}.`);
  } finally {
    working = false;
    if (!leaving) remember(null);
    document.body.classList.remove("working");
    if ($("message").classList.contains("working")) hideMessage();
    render();
    refreshSoon();
  }
}

// Why the device takes no change from this page, in words, from its status;
// null when it takes them.
function accessProblem(status) {
  const refused = status && status.refused;
  if (!refused) return null;
  if (refused.reason === "name") {
    const byName = refused.deviceName ? ` or by its name ${quoted(refused.deviceName)}` : "";
    return `the device takes no changes from a page opened as ${quoted(refused.host)}, a name it does not know: ` +
      `open this page by the device's address${byName}, and add ${quoted(refused.host)} there under “Another name of the device”`;
  }
  if (refused.reason === "site") {
    return "the device takes this page's requests for another site's (the address in the browser differs from " +
      "the one the device was reached by, as behind a proxy): open this page by the device's own address";
  }
  return "the device found no sign that the request came from this page: reload the page";
}

// A change the device recorded but could not apply, as the owner reads it,
// with what to do; null when none waits.
function waitingChange(status) {
  const waiting = status && status.change;
  if (!waiting) return null;
  const what = {
    set: `the move of the server to port ${waiting.argument}`,
    new: `the creation of ${quoted(waiting.argument)}`,
    renew: `the new settings of ${quoted(waiting.argument)}`,
    del: `the deletion of ${quoted(waiting.argument)}`,
  }[waiting.action] || "an earlier change";
  return `${what} could not be completed (${waiting.reason || "the device did not say why"}). ` +
    "The streams run on as they were. Free room on the device's disk and check that the disk has not turned " +
    "read-only (restarting the device after a disk error); the device retries the change at every change and every " +
    "minute, and takes no other change meanwhile but the deletion of another playlist";
}

// Why the device refused a change, from its status and, for a playlist, from
// whether it still exists; null when nothing tells.
async function refusalReason(name = null) {
  const status = await fetchStatus();
  const access = accessProblem(status);
  if (access) return access;
  if (status && status.serverSettingsUnreadable) {
    return "the device cannot read its server settings (a disk error?): nothing is changed until it can";
  }
  const waiting = waitingChange(status);
  if (waiting) return waiting;
  if (status && !status.writable) return "the device cannot write its settings folder (it may be full or read-only)";
  if (status && status.busy) return "the device is busy with another change; try again when it has finished";
  if (name !== null) {
    try {
      if (res(await request({ cmd: "GUI_ice_has_playlist_name", f_name: name })) === "0") {
        return "it no longer exists: it was deleted meanwhile";
      }
    } catch (e) {
      if (!(e instanceof RequestError)) throw e;
    }
  }
  if (!status) return "the device did not say why, and its state could not be read";
  return null;
}

// --------------------------------------------------------------- the server

async function loadPort() {
  try {
    const doc = await request({ cmd: "GUI_ice_get" });
    const port = first(doc, "port");
    if (port !== null) $("port").value = port;
    return port;
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    showError(`The server's port could not be read: ${e.message}.`);
    return null;
  }
}

function portProblem(port) {
  if (port === "") return "Give a port: a number from 1 to 65535.";
  if (!/^[0-9]+$/.test(port)) return `${quoted(port)} is not a port: a port is a number from 1 to 65535, digits only.`;
  const value = Number(port);
  if (port.length > 5 || value < 1 || value > 65535) return `${port} is not a port: ports run from 1 to 65535.`;
  return null;
}

function setPort(event) {
  event.preventDefault();
  const port = $("port").value.trim();
  const problem = portProblem(port);
  fieldNote("port", "port-note", problem);
  if (problem) {
    $("port").focus();
    return;
  }
  closePlayer();
  change({ action: "port", name: "", label: `Moving the streaming server to port ${port}…` },
    `The port was not changed to ${port}`, async () => {
      const doc = await request({ cmd: "GUI_ice_set", f_port: port }, CHANGE_TIMEOUT_MS);
      if (res(doc) === "1") {
        showInfo(`The streaming server listens on port ${port}.`);
      } else {
        const reason = await refusalReason();
        showError(
          reason
            ? `The port was not changed to ${port}: ${reason}.`
            : `No streaming server of the device listens on port ${port}: another program may be using it. ` +
                "The port stays set and the device retries every minute; choose another port to try again."
        );
      }
      await loadPort();
    });
}

// A name as the device takes it: dot-separated labels of letters, digits
// and "-", not an address.
function hostNameProblem(name) {
  if (name === "") return "Give the name, as the browser's address bar shows it (without http:// and port).";
  const bare = name.replace(/\.$/, "");
  const labels = bare.split(".");
  if (bare.length > 253 || !labels.every((label) => /^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$/.test(label))) {
    return `${quoted(name)} is not a name: letters, digits, “-” and dots only, as in nas.fritz.box.`;
  }
  if (/^[0-9]+$/.test(labels[labels.length - 1]) || bare.toLowerCase() === "localhost") {
    return `${quoted(name)} is an address, which the device takes already.`;
  }
  return null;
}

function addHostName(event) {
  event.preventDefault();
  const name = $("host-name").value.trim();
  const problem = hostNameProblem(name);
  fieldNote("host-name", "host-name-note", problem);
  if (problem) {
    $("host-name").focus();
    return;
  }
  change({ action: "name", name: "", label: `Adding the name ${quoted(name)}…` },
    `The name ${quoted(name)} was not added`, async () => {
      const doc = await request({ cmd: "GUI_ice_allow_host", f_host: name }, CHANGE_TIMEOUT_MS);
      if (res(doc) === "1") {
        $("host-name").value = "";
        showInfo(`The page takes changes when opened as ${quoted(name)} too.`);
        return;
      }
      const reason = await refusalReason();
      showError(`The name ${quoted(name)} was not added: ${reason || "the device keeps at most 16 names, or could not store it"}.`);
    });
}

// ----------------------------------------------------------------- the table

let refreshing = false;
let refreshTimer = null;
// A refresh asked for while one runs follows it at once.
let refreshAgain = false;

function refreshSoon(delay = 0) {
  clearTimeout(refreshTimer);
  refreshTimer = setTimeout(refresh, delay);
}

function readRows(doc) {
  return Array.from(doc.getElementsByTagName("row"), (row) => {
    const cells = Array.from(row.getElementsByTagName("cell"), (cell) => cell.textContent);
    if (cells.length < 6) {
      // A playlist whose settings could not be read has its name cell only.
      return { name: htmlText(cells[cells.length - 1] || ""), genre: "", desc: "", shuffle: "", enabled: null, port: null };
    }
    const [tuneIn, name, genre, desc, shuffle, toggle] = cells;
    const listen = linkCall(tuneIn);
    const port = listen && listen.fn === "ices_playlist" ? (/^([0-9]{1,5})\//.exec(listen.arg) || [])[1] || null : null;
    const onOff = linkCall(toggle);
    return {
      name: htmlText(name),
      genre: htmlText(genre),
      desc: htmlText(desc),
      shuffle: htmlText(shuffle),
      enabled: onOff ? onOff.fn === "isplaylist_disable" : null,
      port,
    };
  });
}

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
      request({ cmd: "GUI_ice_playlist", page: "1" }).then(readRows, (e) => {
        if (e instanceof RequestError) return e;
        throw e;
      }),
      fetchStatus(),
    ]);
    if (table instanceof RequestError) {
      view.tableError = table.message;
    } else {
      view.rows = table;
      view.tableAt = Date.now();
      view.tableError = null;
    }
    view.statusFresh = status !== null;
    if (status) {
      view.status = status;
      view.statusAt = Date.now();
    }
    settlePendingFromBefore();
    render();
  } finally {
    refreshing = false;
    refreshTimer = setTimeout(refresh, refreshAgain ? 0 : REFRESH_MS);
  }
}

// A change started before a reload is shown while the device still holds the
// command lock for it.
function settlePendingFromBefore() {
  if (!pendingFromBefore || !view.statusFresh || view.status.busy) return;
  const done = pendingFromBefore;
  pendingFromBefore = null;
  if (working) return;
  remember(null);
  if ($("message").classList.contains("working")) {
    showInfo(`The change started before the page was reloaded is over (${done.label.replace(/…$/, "")}); the table shows how it went.`);
  }
}

// What a playlist's stream does: [key, label, explanation].
function streamState(row, status) {
  const change = pending || pendingFromBefore;
  const before = pendingFromBefore;
  if (building.has(row.name) || (before && before.action === "new" && before.name === row.name)) {
    return ["building", "Scanning folders…", "Its folders are being searched for music"];
  }
  if (change && change.action !== "new" && change.name === row.name) return ["pending", change.badge || "Changing…", change.label];
  if (!status) return ["unknown", "Unknown", "The device did not tell how its streams are"];
  const st = status.playlists.get(row.name);
  if (!st) return ["unknown", "Unknown", "The device did not tell how this stream is"];
  if (status.incomplete.has(row.name)) {
    return ["incomplete", "Incomplete", `Its folders could not be searched completely (${status.incomplete.get(row.name) ||
      "the device did not say why"}): free room on the device's disk, then rescan it`];
  }
  if (st.enabled && st.running && status.up) return ["live", "Live", "On and streaming"];
  if (st.enabled && !status.up) return ["down", "Down", "On, but the streaming server is not running"];
  if (st.enabled && st.givenUp) {
    return ["given-up", "Given up", "Its source client kept stopping; it is retried when its settings change"];
  }
  if (st.enabled && !st.running) return ["down", "Down", "On, but not streaming; the device retries it every minute"];
  if (st.running) return ["stray", "Stopping", "Off, but still streaming"];
  return ["stopped", "Stopped", "Off"];
}

// The row of each playlist, kept from refresh to refresh.
const records = new Map();

function setText(element, text) {
  if (element.textContent !== text) element.textContent = text;
}
function setAttr(element, name, value) {
  if (value === null) {
    if (element.hasAttribute(name)) element.removeAttribute(name);
  } else if (element.getAttribute(name) !== value) {
    element.setAttribute(name, value);
  }
}
// A control that cannot be used now stays focusable and tells why.
function setUnavailable(button, reason) {
  setAttr(button, "aria-disabled", reason ? "true" : null);
  setAttr(button, "title", reason || null);
  button.dataset.reason = reason || "";
}

function makeButton(className, action, label) {
  const button = document.createElement("button");
  button.type = "button";
  button.className = className;
  button.dataset.action = action;
  if (label) button.textContent = label;
  return button;
}

function iconButton(className, action, src) {
  const button = makeButton(`icon ${className}`, action);
  const img = document.createElement("img");
  img.src = src;
  img.alt = "";
  const label = document.createElement("span");
  label.className = "visually-hidden";
  button.append(img, label);
  return button;
}

function makeRecord(name) {
  const tr = document.createElement("tr");
  tr.dataset.name = name;
  const cell = (label, className = "") => {
    const td = document.createElement("td");
    td.dataset.label = label;
    if (className) td.className = className;
    tr.append(td);
    return td;
  };
  const r = { tr };
  r.listen = iconButton("tunein", "listen", "/sonorell/tunein.png");
  cell("Listen", "col-tunein").append(r.listen);
  r.name = document.createElement("span");
  r.name.className = "name-text";
  cell("Name", "col-name").append(r.name);
  r.genre = cell("Genre", "col-text");
  r.desc = cell("Description", "col-text");
  r.shuffle = cell("Shuffle");
  r.badge = document.createElement("span");
  r.badge.className = "badge";
  cell("State", "col-state").append(r.badge);
  r.listeners = cell("Listeners", "col-listeners");
  r.title = cell("Now playing", "col-title");
  r.toggle = iconButton("toggle", "toggle", "/web/images/start.png");
  cell("On/off", "col-toggle").append(r.toggle);
  const actions = cell("Actions", "col-actions");
  r.buttons = document.createElement("span");
  r.buttons.className = "row-buttons";
  r.edit = makeButton("secondary small", "edit", "Edit");
  r.rescan = makeButton("secondary small", "rescan", "Rescan");
  r.remove = makeButton("danger small", "delete", "Delete");
  r.buttons.append(r.edit, r.rescan, r.remove);
  r.confirm = document.createElement("span");
  r.confirm.className = "confirm";
  r.confirm.setAttribute("role", "group");
  r.confirm.hidden = true;
  r.question = document.createElement("span");
  r.confirm.append(r.question, makeButton("danger small", "confirm-delete", "Delete"),
    makeButton("secondary small", "keep", "Keep it"));
  actions.append(r.buttons, r.confirm);
  for (const [button, text] of [[r.edit, "Edit"], [r.rescan, "Rescan"], [r.remove, "Delete"]]) {
    button.setAttribute("aria-label", `${text} ${name}`);
  }
  records.set(name, r);
  return r;
}

function render() {
  const status = view.statusFresh ? view.status : null;
  const change = pending || pendingFromBefore;
  renderServerState(status);

  const rows = view.rows.slice();
  for (const name of building) {
    if (!rows.some((row) => row.name === name)) rows.push({ name, genre: "", desc: "", shuffle: "", enabled: false, port: null, making: true });
  }
  const before = pendingFromBefore;
  if (before && before.action === "new" && !rows.some((row) => row.name === before.name)) {
    rows.push({ name: before.name, genre: "", desc: "", shuffle: "", enabled: false, port: null, making: true });
  }
  const made = rows.filter((row) => !row.making);
  const on = made.filter((row) => {
    const st = status && status.playlists.get(row.name);
    return st ? st.enabled : row.enabled;
  }).length;
  const live = made.filter((row) => isLive(status, row.name)).length;
  setText($("counts"), `${made.length} of ${MAX_PLAYLISTS} playlists · ${on} of ${MAX_ON} streaming` +
    (status && live < on ? ` (${on - live} not live)` : ""));

  // What holds the controls back.
  const busyReason = working || change ? "Wait until the running change has finished." : null;
  const fullReason = made.length >= MAX_PLAYLISTS
    ? `The device holds ${MAX_PLAYLISTS} playlists, as many as it keeps: delete one to make another.` : null;
  const onReason = on >= MAX_ON
    ? "Five playlists are on, as many as the device streams: turn one off to turn another on." : null;
  setUnavailable($("new-playlist"), fullReason || busyReason);
  const notes = [fullReason, onReason].filter(Boolean).join(" ");
  setText($("new-note"), notes);
  $("new-note").hidden = !notes;
  setUnavailable($("port-save"), busyReason);
  setUnavailable($("host-name-save"), busyReason);

  const body = $("rows");
  const stale = !!view.tableError;
  // Rows that left go first: while still in the table they would seem out
  // of place to every row after them, which would then be moved (and lose
  // the focus).
  const names = new Set(rows.map((row) => row.name));
  for (const [name, r] of records) {
    if (!names.has(name)) {
      r.tr.remove();
      records.delete(name);
    }
  }
  let previous = null;
  for (const row of rows) {
    const r = records.get(row.name) || makeRecord(row.name);
    const [key, label, explanation] = row.making ? ["building", "Scanning folders…", "Its folders are being searched for music"] : streamState(row, status);
    const st = status && status.playlists.get(row.name);
    const enabled = st ? st.enabled : row.enabled;
    setAttr(r.tr, "class", `state-${key}${stale ? " stale" : ""}`);
    setText(r.name, row.name);
    setAttr(r.name, "title", row.name);
    setText(r.genre, row.genre);
    setText(r.desc, row.desc);
    setText(r.shuffle, row.shuffle);
    setAttr(r.badge, "class", `badge ${key}`);
    setText(r.badge, label);
    setAttr(r.badge, "title", explanation);

    // The server's figures: only for a live stream; the last ones known,
    // greyed, while the device cannot tell.
    if (status) {
      r.figures = key === "live" && st ? [st.listeners ?? "", st.title ?? ""] : ["", ""];
    }
    const [listeners, title] = r.figures || ["", ""];
    setText(r.listeners, listeners);
    setText(r.title, title);
    const old = !status && (listeners || title);
    r.listeners.classList.toggle("old", !!old);
    r.title.classList.toggle("old", !!old);

    const canListen = enabled === true && !row.making;
    r.listen.hidden = !canListen;
    setText(r.listen.lastChild, `Listen to ${row.name}`);
    r.port = row.port || (view.status && view.status.server.port) || null;
    setUnavailable(r.listen, status && canListen && key !== "live" ? "Not streaming now" : null);

    r.toggle.hidden = enabled === null || enabled === undefined || row.making;
    const src = enabled ? "/web/images/stop.png" : "/web/images/start.png";
    if (r.toggle.firstChild.getAttribute("src") !== src) r.toggle.firstChild.setAttribute("src", src);
    r.toggle.dataset.on = enabled ? "1" : "0";
    setText(r.toggle.lastChild, `${enabled ? "Turn off" : "Turn on"} ${row.name}`);
    setUnavailable(r.toggle, busyReason || (!enabled ? onReason : null));
    r.buttons.hidden = !r.confirm.hidden || !!row.making;
    for (const button of [r.edit, r.rescan, r.remove]) setUnavailable(button, busyReason);

    // In order, moving only what is out of place (focus stays where it is).
    const next = previous ? previous.nextSibling : body.firstChild;
    if (next !== r.tr) body.insertBefore(r.tr, next);
    previous = r.tr;
  }
  $("empty").hidden = rows.length > 0 || !view.tableAt;
  renderFreshness(status);
  // The device says the stream being listened to is not live: the player
  // looks whether it still plays.
  if (player.name && status && !isLive(status, player.name)) player.watch.check();
}

function renderServerState(status) {
  const line = $("server-state");
  let kind;
  let text;
  if (status) {
    const { running, port, listening } = status.server;
    if (running && listening) [kind, text] = ["live", `Streaming server running on port ${port}.`];
    else if (running) [kind, text] = ["down", `Streaming server running, but not listening on port ${port}: another program may hold the port.`];
    else [kind, text] = ["down", `Streaming server not running (port ${port}).`];
    if (status.busy) text += " A change is running on the device.";
    if (!status.writable) text += " The device cannot write its settings folder.";
    const waiting = waitingChange(status);
    if (waiting) {
      kind = "down";
      text += ` A change waits: ${waiting}.`;
    }
  } else if (view.statusAt) {
    [kind, text] = ["unknown", `Streaming server: unknown, the device did not answer (last answer ${age(view.statusAt)}).`];
  } else {
    [kind, text] = ["unknown", view.tableAt || view.tableError ? "Streaming server: unknown, the device did not tell." : "Asking the device…"];
  }
  setAttr(line, "class", `server-state ${kind}`);
  setText(line, text);
  // Shown from the first status on, not only after a refusal.
  if (status) {
    const access = accessProblem(status);
    setText($("access-note"), access ? `Changes cannot be made here: ${access}.` : "");
    $("access-note").hidden = !access;
    const names = status.allowedHosts.length
      ? ` Names added: ${status.allowedHosts.map(quoted).join(", ")}.` : "";
    setText($("host-names"), "The page takes changes when opened by the device's address or its own name; add any " +
      `other name it is opened by (a router's name for it, for example).${names}`);
  }
}

function renderFreshness(status) {
  let text = "";
  if (view.tableError) {
    text = view.tableAt
      ? `The device could not be reached (${view.tableError}): the table is its last answer, from ${age(view.tableAt)}.`
      : `The playlists could not be read: ${view.tableError}. Trying again…`;
  } else if (!status) {
    text = view.statusAt
      ? `How the streams are could not be read: states unknown; the greyed figures are from ${age(view.statusAt)}.`
      : "How the streams are could not be read: states unknown.";
  }
  setText($("freshness"), text);
  $("freshness").hidden = !text;
}

function onTableClick(event) {
  const button = event.target.closest("button[data-action]");
  if (!button) return;
  const tr = button.closest("tr");
  const name = tr.dataset.name;
  const r = records.get(name);
  if (!r) return;
  if (button.getAttribute("aria-disabled") === "true") {
    showError(button.dataset.reason || "Not now.");
    return;
  }
  switch (button.dataset.action) {
    case "listen": openPlayer(name, r.port); break;
    case "toggle": if (button.dataset.on === "1") turnOff(name); else turnOn(name); break;
    case "edit": openEdit(name); break;
    case "rescan": rescanPlaylist(name); break;
    case "delete": askDelete(r, name); break;
    case "confirm-delete": closeConfirm(r, false); deletePlaylist(name); break;
    case "keep": closeConfirm(r, true); break;
  }
}

// ------------------------------------------------------------ on and off

function turnOn(name) {
  change({ action: "on", name, badge: "Turning on…", label: `Turning on ${quoted(name)}…` },
    `${quoted(name)} was not turned on`, async () => {
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
        return;
      }
      const reason = await refusalReason(name);
      showError(`${quoted(name)} could not be started: ${reason ||
        "the device did not say why (its stream configuration may be missing: edit and save it to write it again)"}.`);
    });
}

function turnOff(name) {
  change({ action: "off", name, badge: "Turning off…", label: `Turning off ${quoted(name)}…` },
    `${quoted(name)} was not turned off`, async () => {
      const doc = await request({ cmd: "GUI_ice_playlist_disable", f_name: name }, CHANGE_TIMEOUT_MS);
      if (res(doc) === "1") {
        showInfo(`${quoted(name)} is off.`);
        return;
      }
      const reason = await refusalReason(name);
      showError(`${quoted(name)} could not be turned off: ${reason || "the device refused"}.`);
    });
}

// ----------------------------------------------------------------- the player

const player = { name: null, watch: null };

function openPlayer(name, port) {
  if (!port) {
    showError(`The stream of ${quoted(name)} has no known address yet; try again in a moment.`);
    return;
  }
  const { stream, m3u } = streamUrls(port, name);
  player.name = name;
  setText($("player-name"), name);
  $("player-m3u").href = m3u;
  $("player-m3u").setAttribute("aria-label", `Playlist file of ${name} for a music player (.m3u)`);
  $("player").hidden = false;
  $("player-note").hidden = true;
  player.watch.play(stream);
}

function closePlayer() {
  player.watch.stop();
  player.name = null;
  $("player").hidden = true;
}

// The player's own line tells, where the user listens.
function playerStopped(reason) {
  const name = quoted(player.name || "");
  setText($("player-note-text"), {
    stopped: `The stream of ${name} has stopped: the playlist is off, or its server is down.`,
    interrupted: `The stream of ${name} was interrupted (it restarted, or the connection dropped).`,
    unreachable: `The stream of ${name} has stopped: the device cannot be reached.`,
  }[reason]);
  $("player-note").hidden = false;
}

function playAgain() {
  $("player-note").hidden = true;
  player.watch.play();
}

// ---------------------------------------------------- rescan and delete

function rescanPlaylist(name) {
  change({ action: "rescan", name, badge: "Rescanning…", label: `Rescanning the folders of ${quoted(name)}…` },
    `${quoted(name)} was not rescanned`, async () => {
      const doc = await request({ cmd: "GUI_ice_playlist_rescan", f_name: name }, BUILD_TIMEOUT_MS);
      if (res(doc) === "1") {
        showInfo(`${quoted(name)} holds what its folders hold now.`);
        return;
      }
      const reason = await refusalReason(name);
      showError(`${quoted(name)} could not be rescanned: ${reason ||
        "it was made before its folders were kept (make it again to rescan it)"}.`);
    });
}

function askDelete(r, name) {
  if (working) {
    showError("Another change is still running; wait until it has finished.");
    return;
  }
  setText(r.question, `Delete ${quoted(name)}? Its settings and song list go; the music stays.`);
  r.confirm.hidden = false;
  r.buttons.hidden = true;
  r.confirm.querySelector("[data-action=keep]").focus();
}

function closeConfirm(r, refocus) {
  r.confirm.hidden = true;
  r.buttons.hidden = false;
  if (refocus) r.remove.focus();
}

function deletePlaylist(name) {
  if (player.name === name) closePlayer();
  change({ action: "delete", name, badge: "Deleting…", label: `Deleting ${quoted(name)}…` },
    `${quoted(name)} was not deleted`, async () => {
      const doc = await request({ cmd: "GUI_ice_playlist_del", f_name: name }, CHANGE_TIMEOUT_MS);
      if (res(doc) === "1") {
        showInfo(`${quoted(name)} is deleted.`);
        return;
      }
      const reason = await refusalReason();
      showError(`${quoted(name)} could not be deleted: ${reason ||
        "its stream could not be stopped, so it was kept (the device tries again within a minute)"}.`);
    });
}

// ------------------------------------------------------------------ the editor

// mode: "new" or "edit"; chosen: the folders of a new playlist.
const editor = { mode: "new", name: "", chosen: [] };

// The name as the device checks it; null when it would take it.
function nameProblem(name) {
  if (name === "") return "Give the playlist a name.";
  if (name === "all") return "“all” is a word the device keeps for itself: choose another name.";
  if (name.includes("/")) return "A name cannot hold “/”.";
  if (/[\u0000-\u001f\u007f]/.test(name)) return "A name cannot hold control characters (such as a tab).";
  const size = bytes(name);
  if (size > MAX_NAME_BYTES) {
    return `The name is too long: ${size} bytes as the device stores it, at most ${MAX_NAME_BYTES} ` +
      "(letters with accents take two bytes, most other scripts three). Shorten it.";
  }
  return null;
}

function textProblem(what, text) {
  const size = bytes(text);
  return size > MAX_FIELD_BYTES ? `The ${what} is too long: ${size} bytes as the device stores it, at most ${MAX_FIELD_BYTES}.` : null;
}

// Checks the fields as they are typed; answers the first field with a problem.
function checkFields() {
  const problems = [
    ["f-name", "f-name-note", editor.mode === "new" ? nameProblem($("f-name").value.trim()) : null],
    ["f-genre", "f-genre-note", textProblem("genre", $("f-genre").value)],
    ["f-desc", "f-desc-note", textProblem("description", $("f-desc").value)],
  ];
  let firstBad = null;
  for (const [input, note, problem] of problems) {
    fieldNote(input, note, problem);
    if (problem && !firstBad) firstBad = input;
  }
  return firstBad;
}

function showEditor(mode) {
  editor.mode = mode;
  const isNew = mode === "new";
  setText($("editor-title"), isNew ? "New playlist" : `Edit ${quoted(editor.name)}`);
  $("f-name").readOnly = !isNew;
  $("folders-field").hidden = !isNew;
  setText($("editor-save"), isNew ? "Create playlist" : "Save and restart");
  showFormMessage("");
  setFormBusy(false);
  for (const [input, note] of [["f-name", "f-name-note"], ["f-genre", "f-genre-note"], ["f-desc", "f-desc-note"]]) {
    fieldNote(input, note, null);
  }
  if (!$("editor").open) $("editor").showModal();
  (isNew ? $("f-name") : $("f-genre")).focus();
}

function setFormBusy(busy, label = "") {
  $("editor-save").disabled = busy;
  $("editor-cancel").disabled = busy;
  $("editor-form").setAttribute("aria-busy", busy ? "true" : "false");
  if (busy) setText($("editor-save"), label);
  else setText($("editor-save"), editor.mode === "new" ? "Create playlist" : "Save and restart");
}

function closeEditor() {
  if ($("editor").open) $("editor").close();
  editor.chosen = [];
}

async function openCreate() {
  const button = $("new-playlist");
  if (button.getAttribute("aria-disabled") === "true") {
    showError(button.dataset.reason);
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
  try {
    const doc = await request({ cmd: "GUI_ice_modify_info", f_name: name });
    if (res(doc) !== "1" || first(doc, "genre") === null) {
      const reason = await refusalReason(name);
      showError(`The settings of ${quoted(name)} could not be read: ${reason || "the device refused the name"}.`);
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
  showFormMessage("");
  const bad = checkFields();
  if (bad) {
    $(bad).focus();
    return;
  }
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
  setFormBusy(true, "Saving…");
  change({ action: "renew", name, badge: "Restarting…", label: `Saving ${quoted(name)} and restarting its stream…` },
    `${quoted(name)} was not saved`, async () => {
      try {
        const doc = await request(fields, CHANGE_TIMEOUT_MS);
        if (res(doc) === "1") {
          closeEditor();
          showInfo(`${quoted(name)} is saved.`);
          return;
        }
        const reason = await refusalReason(name);
        showFormMessage(`${quoted(name)} was not saved: ${reason || "the device refused it"}. What you typed is kept.`);
      } finally {
        if ($("editor").open) setFormBusy(false);
      }
    });
}

function createPlaylist() {
  const name = $("f-name").value.trim();
  if (editor.chosen.length === 0) {
    showFormMessage("Add at least one folder to the playlist: browse below and press “Add”.");
    $("browse-add").focus();
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
  editor.chosen.forEach((folder, i) => (fields[`f_dir${i}`] = folder.path));
  const count = editor.chosen.length;
  const refuse = (text) => showFormMessage(`${quoted(name)} was not created: ${text}. What you typed is kept.`);
  setFormBusy(true, "Checking…");
  change({ action: "new", name, label: `Checking the name ${quoted(name)}…` }, `${quoted(name)} was not created`, async () => {
    let accepted = false;
    try {
      const full = res(await request({ cmd: "GUI_ice_is_playlist_full" }));
      if (full !== "0") {
        refuse(full === "1" ? "the device holds 20 playlists, as many as it keeps" : "the device could not count its playlists");
        return;
      }
      const taken = res(await request({ cmd: "GUI_ice_has_playlist_name", f_name: name }));
      if (taken !== "0") {
        refuse(taken === "1" ? "a playlist of that name exists already; choose another name" : "the device could not check the name");
        return;
      }
      setFormBusy(true, "Creating…");
      const folders = count === 1 ? "one folder" : `${count} folders`;
      const doc = await request(fields, BUILD_TIMEOUT_MS, (text) => {
        if (!accepted && text.includes("<res>1</res>")) {
          // Taken: the form's work is done; the folders are searched now.
          accepted = true;
          building.add(name);
          closeEditor();
          showMessage("working", `Scanning ${folders} for ${quoted(name)}…`);
          render();
        }
      });
      if (res(doc) === "1") {
        closeEditor();
        // Answered before the scan: whether the scan was written, the
        // status tells now that it has ended.
        const status = await fetchStatus();
        if (status && status.incomplete.has(name)) {
          showError(`${quoted(name)} was made, but its folders could not be searched completely (` +
            `${status.incomplete.get(name) || "the device did not say why"}). Free room on the device's disk, then rescan it.`);
        } else if (status && !status.playlists.has(name)) {
          showError(`${quoted(name)} was not created: ${waitingChange(status) ||
            "the device could not write its song list (its disk may be full)"}.`);
        } else {
          showInfo(`${quoted(name)} is ready. Turn it on with its start button.`);
        }
        return;
      }
      const reason = nameProblem(name) || (await refusalReason());
      refuse(reason || "the device refused it");
    } catch (e) {
      if (!(e instanceof RequestError) || accepted) throw e;
      refuse(e.message);
    } finally {
      building.delete(name);
      if ($("editor").open) setFormBusy(false);
    }
  });
}

// --------------------------------------------------------- the folder browser

// Paths are shown below the music root they lie in, as "music/Jazz/Live".
const browser = { roots: [], trail: [], path: null };

function rootLabel(root) {
  return root.replace(/\/+$/, "").split("/").pop() || root;
}

// "LABEL/REST" for a path inside a music root.
function shownPath(path) {
  const root = browser.roots.filter((r) => path === r || path.startsWith(r.endsWith("/") ? r : `${r}/`))
    .sort((a, b) => b.length - a.length)[0];
  if (!root) return path;
  const rest = path.slice(root.length).replace(/^\/+/, "");
  return rest ? `${rootLabel(root)}/${rest}` : rootLabel(root);
}

function browseNote(text) {
  setText($("browse-note"), text);
  $("browse-note").hidden = !text;
}

function browseEntry(label, path) {
  const li = document.createElement("li");
  const open = document.createElement("button");
  open.type = "button";
  open.className = "folder";
  open.textContent = label;
  open.setAttribute("aria-label", `Open ${shownPath(path)}`);
  open.dataset.path = path;
  open.addEventListener("click", () => browseInto(path));
  const add = document.createElement("button");
  add.type = "button";
  add.className = "secondary small";
  add.textContent = "Add";
  add.setAttribute("aria-label", `Add ${shownPath(path)}`);
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
    browser.roots = all(doc, "root");
    browser.trail = [];
    browser.path = null;
    setText($("browse-path"), "Music folders");
    $("browse-up").disabled = true;
    $("browse-add").disabled = true;
    $("browse-list").replaceChildren(...browser.roots.map((root) => browseEntry(rootLabel(root), root)));
    if (browser.roots.length === 0) browseNote("The device names no music folder.");
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
      browseNote(`${shownPath(path)} cannot be opened: it is gone, unreadable, or outside the music folders.`);
      return false;
    }
    const here = first(doc, "path") || path;
    if (!back) browser.trail.push(here);
    browser.path = here;
    setText($("browse-path"), shownPath(here));
    $("browse-path").dataset.path = here;
    $("browse-up").disabled = false;
    $("browse-add").disabled = false;
    const base = here.endsWith("/") ? here : `${here}/`;
    const folders = all(doc, "folder");
    $("browse-list").replaceChildren(...folders.map((folder) => browseEntry(folder, base + folder)));
    if (first(doc, "cut") === "1") browseNote(`Only the first ${folders.length} folders are shown.`);
    else if (folders.length === 0) browseNote("No folders in here; add this one to take its songs.");
    const firstFolder = $("browse-list").querySelector("button.folder");
    if (firstFolder && document.activeElement && document.activeElement.closest("#browse-list, .browser-head")) {
      firstFolder.focus();
    }
    return true;
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    browseNote(`${shownPath(path)} could not be listed: ${e.message}.`);
    return false;
  }
}

const browseInto = (path) => browseTo(path, false);

function browseUp() {
  browser.trail.pop();
  if (browser.trail.length === 0) browseRoots().then(() => $("browse-list").querySelector("button.folder")?.focus());
  else browseTo(browser.trail[browser.trail.length - 1], true);
}

function choose(path) {
  if (!editor.chosen.some((folder) => folder.path === path)) editor.chosen.push({ path, shown: shownPath(path) });
  renderChosen();
}

function renderChosen() {
  const items = editor.chosen.map((folder, i) => {
    const li = document.createElement("li");
    const span = document.createElement("span");
    span.className = "path";
    span.textContent = folder.shown;
    span.dataset.path = folder.path;
    const remove = document.createElement("button");
    remove.type = "button";
    remove.className = "secondary small";
    remove.textContent = "Remove";
    remove.setAttribute("aria-label", `Remove ${folder.shown}`);
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
  player.watch = new StreamWatch($("audio"), async () => {
    const status = await fetchStatus();
    return status ? isLive(status, player.name) : null;
  }, playerStopped);
  $("port-form").addEventListener("submit", setPort);
  $("port").addEventListener("input", () => fieldNote("port", "port-note", null));
  $("name-form").addEventListener("submit", addHostName);
  $("host-name").addEventListener("input", () => fieldNote("host-name", "host-name-note", null));
  $("new-playlist").addEventListener("click", openCreate);
  $("rows").addEventListener("click", onTableClick);
  $("message-close").addEventListener("click", hideMessage);
  $("player-close").addEventListener("click", closePlayer);
  $("player-again").addEventListener("click", playAgain);
  $("audio").addEventListener("play", () => ($("player-note").hidden = true));
  $("editor-form").addEventListener("submit", submitEditor);
  $("editor-form").addEventListener("input", checkFields);
  $("editor-cancel").addEventListener("click", closeEditor);
  $("editor").addEventListener("cancel", (event) => {
    if ($("editor-cancel").disabled) event.preventDefault();
  });
  $("browse-up").addEventListener("click", browseUp);
  $("browse-add").addEventListener("click", () => browser.path && choose(browser.path));
  // The message bar and the player sit at the bottom of the window; the page
  // keeps room for them, so that they cover nothing.
  new ResizeObserver(() => {
    document.body.style.paddingBottom = `${$("dock").offsetHeight + 16}px`;
  }).observe($("dock"));
  for (const type of ["beforeunload", "pagehide"]) window.addEventListener(type, () => (leaving = true));
  window.addEventListener("pageshow", () => (leaving = false));
  pendingFromBefore = recall();
  if (pendingFromBefore) showMessage("working", `${pendingFromBefore.label} (started before the page was reloaded)`);
  loadPort();
  refresh();
  // The ages shown count on between refreshes.
  setInterval(() => {
    if (view.tableError || !view.statusFresh) render();
  }, 1000);
});
