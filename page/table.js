// The main page's playlist table: the rows the device lists, each row's
// state and songs from the status, kept from refresh to refresh (focus and
// scrolling survive), and the row's own changes: streaming for everyone on
// and off, rescan (one or all), delete. A change that cuts listeners off
// asks first.
import {
  $, quoted, htmlText, setText, setAttr, age, request, res, all, isLive, fetchStatus, RequestError,
  CHANGE_TIMEOUT_MS, BUILD_TIMEOUT_MS, MAX_PLAYLISTS, MAX_ON,
} from "./device.js";
import { showError, showInfo, showMessage, setUnavailable, songsText, cutText, ask } from "./messages.js";
import {
  change, refusalReason, currentChange, changeFromBefore, isWorking, busyReason, isBuilding, buildingNames, listenersNow,
} from "./changes.js";
import { openEdit } from "./editor.js";
import { openPlayer, playerName, closePlayer } from "./player.js";

// What the device listed last: { name, genre, desc, shuffle, enabled, port },
// when it came, and why the last request failed, if it did.
const table = { rows: [], at: 0, error: null };

export function setUpTable() {
  $("rows").addEventListener("click", onTableClick);
  $("rescan-all").addEventListener("click", rescanAll);
}

// What the table says of a playlist's songs: "1,204 songs, 1 folder missing".
export function songsLine(st) {
  if (!st || st.songs === null) return "";
  const missing = st.missingFolders
    ? `, ${st.missingFolders === 1 ? "1 folder" : `${st.missingFolders} folders`} missing` : "";
  return songsText(st.songs) + missing;
}

// The device answered a table request, or failed one, at least once.
export const tableAnswered = () => !!(table.at || table.error);
// The last table request failed.
export const tableFailed = () => !!table.error;

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

// Asks for the table; keeps the last one when the device does not answer.
export async function fetchTable() {
  try {
    table.rows = readRows(await request({ cmd: "GUI_ice_playlist", page: "1" }));
    table.at = Date.now();
    table.error = null;
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    table.error = e.message;
  }
}

// What a playlist's stream does: [key, label, explanation].
function streamState(row, status) {
  const change = currentChange();
  const before = changeFromBefore();
  if (isBuilding(row.name) || (before && before.action === "new" && before.name === row.name)) {
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
  // Never "Live" with nothing to play.
  if (st.enabled && st.songs === 0) {
    return ["no-songs", "No songs to play", "On, but its folders hold no MP3 files: choose other folders with Edit, or rescan it"];
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
  r.songs = cell("Songs", "col-songs");
  r.badge = document.createElement("span");
  r.badge.className = "badge";
  cell("State", "col-state").append(r.badge);
  r.listeners = cell("Listeners", "col-listeners");
  r.title = cell("Now playing", "col-title");
  // Streaming for everyone: a switch with its state in words, apart from
  // Listen (the user's own player).
  r.toggle = makeButton("switch", "toggle");
  r.toggle.setAttribute("role", "switch");
  r.toggle.setAttribute("aria-label", `Streaming of ${name} for everyone`);
  const knob = document.createElement("span");
  knob.className = "knob";
  knob.setAttribute("aria-hidden", "true");
  r.toggleWord = document.createElement("span");
  r.toggleWord.className = "switch-word";
  r.toggle.append(knob, r.toggleWord);
  cell("For everyone", "col-toggle").append(r.toggle);
  const actions = cell("Actions", "col-actions");
  r.buttons = document.createElement("span");
  r.buttons.className = "row-buttons";
  r.edit = makeButton("secondary small", "edit", "Edit");
  r.rescan = makeButton("secondary small", "rescan", "Rescan");
  r.remove = makeButton("danger small", "delete", "Delete");
  r.buttons.append(r.edit, r.rescan, r.remove);
  actions.append(r.buttons);
  for (const [button, text] of [[r.edit, "Edit"], [r.rescan, "Rescan"], [r.remove, "Delete"]]) {
    button.setAttribute("aria-label", `${text} ${name}`);
  }
  records.set(name, r);
  return r;
}

// The table, its counts and freshness. `status`: the fresh status, or null;
// `last`: the last status that came, `lastAt` when.
export function renderTable(status, last, lastAt) {
  const rows = table.rows.slice();
  for (const name of buildingNames()) {
    if (!rows.some((row) => row.name === name)) rows.push({ name, genre: "", desc: "", shuffle: "", enabled: false, port: null, making: true });
  }
  const before = changeFromBefore();
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
  const busy = busyReason();
  const fullReason = made.length >= MAX_PLAYLISTS
    ? `The device holds ${MAX_PLAYLISTS} playlists, as many as it keeps: delete one to make another.` : null;
  const onReason = on >= MAX_ON
    ? "Five playlists are on, as many as the device streams: turn one off to turn another on." : null;
  setUnavailable($("new-playlist"), fullReason || busy);
  setUnavailable($("rescan-all"), busy || (made.length ? null : "No playlists to rescan."));
  const notes = [fullReason, onReason].filter(Boolean).join(" ");
  setText($("new-note"), notes);
  $("new-note").hidden = !notes;

  const body = $("rows");
  const stale = !!table.error;
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
    if (status) setText(r.songs, row.making ? "" : songsLine(st));
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
    r.port = row.port || (last && last.server.port) || null;
    setUnavailable(r.listen, status && canListen && key !== "live" ? "Not streaming now" : null);

    r.toggle.hidden = enabled === null || enabled === undefined || row.making;
    setAttr(r.toggle, "aria-checked", enabled ? "true" : "false");
    r.toggle.dataset.on = enabled ? "1" : "0";
    setText(r.toggleWord, enabled ? "On" : "Off");
    setUnavailable(r.toggle, busy || (!enabled ? onReason : null));
    r.buttons.hidden = !!row.making;
    for (const button of [r.edit, r.rescan, r.remove]) setUnavailable(button, busy);

    // In order, moving only what is out of place (focus stays where it is).
    const next = previous ? previous.nextSibling : body.firstChild;
    if (next !== r.tr) body.insertBefore(r.tr, next);
    previous = r.tr;
  }
  $("empty").hidden = rows.length > 0 || !table.at;
  renderFreshness(status, lastAt);
}

function renderFreshness(status, statusAt) {
  let text = "";
  if (table.error) {
    text = table.at
      ? `The device could not be reached (${table.error}): the table is its last answer, from ${age(table.at)}.`
      : `The playlists could not be read: ${table.error}. Trying again…`;
  } else if (!status) {
    text = statusAt
      ? `How the streams are could not be read: states unknown; the greyed figures are from ${age(statusAt)}.`
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
    case "listen":
      if (!openPlayer(name, r.port)) showError(`The stream of ${quoted(name)} has no known address yet; try again in a moment.`);
      break;
    case "toggle": if (button.dataset.on === "1") askTurnOff(name, button); else turnOn(name); break;
    case "edit": openEdit(name, button); break;
    case "rescan": rescanPlaylist(name); break;
    case "delete": askDelete(name, button); break;
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

async function askTurnOff(name, button) {
  const cut = await listenersNow(name);
  const yes = await ask(`Turn off ${quoted(name)}?`,
    `Its stream stops for everyone until it is turned on again.${cutText(cut)}`, "Turn off", button);
  if (yes) turnOff(name);
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

// ---------------------------------------------------- rescan and delete

// The songs and missing folders of playlist `name`, from a fresh status;
// null when the device does not tell.
async function countsOf(name) {
  const status = await fetchStatus();
  const st = status && status.playlists.get(name);
  return st && st.songs !== null ? { songs: st.songs, missing: st.missingFolders } : null;
}

// What a rescan changed: "+2 songs, 1 folder missing", "no new songs".
export function rescanChange(before, after) {
  if (!after) return "";
  const parts = [];
  const delta = before ? after.songs - before.songs : null;
  if (delta === null || delta === 0) parts.push(`${songsText(after.songs)}${delta === 0 ? ", as before" : ""}`);
  else parts.push(`${delta > 0 ? "+" : "−"}${songsText(Math.abs(delta)).replace("No songs", "0 songs")}`);
  if (after.missing) parts.push(`${after.missing === 1 ? "1 folder" : `${after.missing} folders`} missing`);
  return parts.join(", ");
}

// Rescans one playlist; answers "done" (with its counts before and after),
// "unkept" when its folders were never kept, or throws a RequestError.
async function rescanOne(name) {
  const before = await countsOf(name);
  const doc = await request({ cmd: "GUI_ice_playlist_rescan", f_name: name }, BUILD_TIMEOUT_MS);
  if (res(doc) !== "1") return { done: false };
  return { done: true, before, after: await countsOf(name) };
}

function rescanPlaylist(name) {
  change({ action: "rescan", name, badge: "Rescanning…", label: `Rescanning the folders of ${quoted(name)}…` },
    `${quoted(name)} was not rescanned`, async () => {
      const result = await rescanOne(name);
      if (result.done) {
        const what = rescanChange(result.before, result.after);
        showInfo(`${quoted(name)} is rescanned${what ? `: ${what}` : ""}.`);
        return;
      }
      const reason = await refusalReason(name);
      showError(`${quoted(name)} could not be rescanned: ${reason ||
        "it was made before its folders were kept (choose its folders with Edit to rescan it)"}.`);
    });
}

// Whether the device keeps the folders of playlist `name`: true, false, or
// null when it cannot tell (an older device answers with its music folders).
async function hasStoredFolders(name) {
  const doc = await request({ cmd: "GUI_ice_folders", f_playlist: name });
  if (all(doc, "playlist_folder").length) return true;
  if (res(doc) === "0") return false;
  return null;
}

// Every playlist with kept folders, one after the other, then one summary.
function rescanAll() {
  if ($("rescan-all").getAttribute("aria-disabled") === "true") {
    showError($("rescan-all").dataset.reason || "Not now.");
    return;
  }
  const names = table.rows.map((row) => row.name);
  change({ action: "rescan-all", name: "", label: "Rescanning every playlist…" }, "The rescan stopped", async () => {
    let done = 0;
    let added = 0;
    let missing = 0;
    let counted = false;
    const skipped = [];
    const gone = [];
    const failed = [];  // "“A” (why)"
    for (const [i, name] of names.entries()) {
      showMessage("working", `Rescanning ${i + 1} of ${names.length}: ${quoted(name)}…`);
      try {
        const stored = await hasStoredFolders(name);
        if (stored === false) {
          skipped.push(name);
          continue;
        }
        const result = await rescanOne(name);
        if (!result.done) {
          // Refused: deleted meanwhile, a reason the device tells, or (a
          // device that does not say whether it keeps the folders) folders
          // it does not know.
          if (res(await request({ cmd: "GUI_ice_has_playlist_name", f_name: name })) === "0") {
            gone.push(name);
            continue;
          }
          const reason = await refusalReason();
          if (reason) failed.push(`${quoted(name)} (${reason})`);
          else if (stored === null) skipped.push(name);
          else failed.push(`${quoted(name)} (the device did not say why)`);
          continue;
        }
        done++;
        if (result.before && result.after) {
          counted = true;
          added += result.after.songs - result.before.songs;
        }
        if (result.after) missing += result.after.missing;
      } catch (e) {
        if (!(e instanceof RequestError)) throw e;
        failed.push(`${quoted(name)} (${e.message})`);
      }
    }
    const parts = [];
    if (counted && added === 0) {
      parts.push("as many songs as before");
    } else if (counted) {
      parts.push(`${added > 0 ? "+" : "−"}${Math.abs(added).toLocaleString("en-US")} ${Math.abs(added) === 1 ? "song" : "songs"}`);
    }
    if (missing) parts.push(`${missing === 1 ? "1 folder" : `${missing} folders`} missing`);
    let text = `${done === 1 ? "1 playlist" : `${done} playlists`} rescanned${parts.length ? `: ${parts.join(", ")}` : ""}.`;
    if (skipped.length) text += ` Not rescanned, their folders are not known (choose them with Edit): ${skipped.map(quoted).join(", ")}.`;
    if (gone.length) text += ` Deleted meanwhile: ${gone.map(quoted).join(", ")}.`;
    if (failed.length) text += ` Could not be rescanned: ${failed.join(", ")}.`;
    if (failed.length) showError(text);
    else showInfo(text);
  });
}

async function askDelete(name, button) {
  if (isWorking()) {
    showError("Another change is still running; wait until it has finished.");
    return;
  }
  const cut = await listenersNow(name);
  const yes = await ask(`Delete ${quoted(name)}?`,
    `Its settings and song list go; the music stays.${cutText(cut)}`, "Delete", button);
  if (yes) deletePlaylist(name);
}

// After a delete the focus goes to the next row (or the one before, or
// "New playlist"), not to the page's start.
function focusAfterDelete(name) {
  const tr = records.get(name)?.tr;
  const active = document.activeElement;
  if (tr && active && active !== document.body && !tr.contains(active)) return;
  const next = tr && (tr.nextElementSibling || tr.previousElementSibling);
  const target = next && records.get(next.dataset.name);
  (target ? target.edit : $("new-playlist")).focus();
}

function deletePlaylist(name) {
  if (playerName() === name) closePlayer();
  change({ action: "delete", name, badge: "Deleting…", label: `Deleting ${quoted(name)}…` },
    `${quoted(name)} was not deleted`, async () => {
      const doc = await request({ cmd: "GUI_ice_playlist_del", f_name: name }, CHANGE_TIMEOUT_MS);
      if (res(doc) === "1") {
        focusAfterDelete(name);
        showInfo(`${quoted(name)} is deleted.`);
        return;
      }
      const reason = await refusalReason();
      showError(`${quoted(name)} could not be deleted: ${reason ||
        "its stream could not be stopped, so it was kept (the device tries again within a minute)"}.`);
    });
}

