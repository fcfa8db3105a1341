// The main page's form to make a playlist or change one: its fields, their
// checks as they are typed, and the changes it sends. A change of a
// playlist's folders is a create over the playlist (the device's commands
// have no other way). A save is refused when another window changed the
// playlist since the form opened; the new values are shown, what was typed
// is kept.
import {
  $, quoted, bytes, setText, request, res, first, all, fetchStatus, RequestError,
  CHANGE_TIMEOUT_MS, BUILD_TIMEOUT_MS, MAX_NAME_BYTES, MAX_FIELD_BYTES,
} from "./device.js";
import {
  showMessage, hideMessage, showError, showInfo, showFormMessage, fieldNote, songsText, cutText, ask,
} from "./messages.js";
import { change, refusalReason, waitingChange, startBuilding, endBuilding, redraw, listenersNow } from "./changes.js";
import { browseRoots, chosenFolders, clearChosen, setChosen } from "./folders.js";

// mode: "new" or "edit"; name: the playlist being changed; opened: its values
// when the form opened ({ genre, desc, rand, folders }, folders null when not
// known); control: the button that opened the form, for the focus after it.
const editor = { mode: "new", name: "", opened: null, control: null };

export function setUpEditor() {
  $("new-playlist").addEventListener("click", openCreate);
  $("editor-form").addEventListener("submit", submitEditor);
  $("editor-form").addEventListener("input", checkFields);
  $("editor-cancel").addEventListener("click", closeEditor);
  $("editor").addEventListener("cancel", (event) => {
    if ($("editor-cancel").disabled) event.preventDefault();
  });
  // Closed (Cancel, Escape or done), the focus goes back where it came from.
  $("editor").addEventListener("close", () => {
    const control = editor.control;
    editor.control = null;
    if (control && control.isConnected && !control.closest("[hidden]") && !$("ask").open) control.focus();
  });
}

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
  setText($("editor-save"), saveLabel());
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
  else setText($("editor-save"), saveLabel());
}

function saveLabel() {
  if (editor.mode === "new") return "Create playlist";
  return editor.enabled ? "Save and restart" : "Save";
}

function closeEditor() {
  if ($("editor").open) $("editor").close();
  clearChosen();
}

async function openCreate() {
  const button = $("new-playlist");
  editor.control = button;
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
    clearChosen();
    $("folders-unknown").hidden = true;
    showEditor("new");
    await browseRoots();
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    showError(`The new playlist form could not be opened: ${e.message}.`);
  }
}

// The stored values of playlist `name`: { genre, desc, rand, folders }
// (folders null when the device keeps none it can read); null when the
// playlist is gone or its settings cannot be read. Asks whether it exists
// first: reading the settings of a missing playlist would leave an empty
// one behind.
async function readPlaylist(name) {
  if (res(await request({ cmd: "GUI_ice_has_playlist_name", f_name: name })) !== "1") return null;
  const doc = await request({ cmd: "GUI_ice_modify_info", f_name: name });
  if (res(doc) !== "1" || first(doc, "genre") === null) return null;
  let folders = [];
  try {
    const kept = await request({ cmd: "GUI_ice_folders", f_playlist: name });
    if (res(kept) === "1") folders = all(kept, "playlist_folder");
  } catch (e) {
    // Not known: the form offers to choose them anew.
    if (!(e instanceof RequestError)) throw e;
  }
  return {
    genre: first(doc, "genre") || "",
    desc: first(doc, "desc") || "",
    rand: (first(doc, "rand") || "").startsWith("1"),
    folders: folders.length ? folders : null,
  };
}

const sameFolders = (a, b) => a.length === b.length && a.every((path, i) => path === b[i]);

// "genre “Rock”, description “…”, shuffle on, folders music/Rock".
function valuesText(values) {
  const folders = values.folders ? `, folders ${values.folders.join(", ")}` : "";
  return `genre ${quoted(values.genre)}, description ${quoted(values.desc)}, shuffle ${values.rand ? "on" : "off"}${folders}`;
}

export async function openEdit(name, control = null) {
  try {
    const [values, status] = await Promise.all([readPlaylist(name), fetchStatus()]);
    if (!values) {
      const reason = await refusalReason(name);
      showError(`The settings of ${quoted(name)} could not be read: ${reason || "the device refused the name"}.`);
      return;
    }
    hideMessage();
    editor.name = name;
    editor.control = control;
    editor.opened = values;
    const st = status && status.playlists.get(name);
    editor.enabled = !!(st && st.enabled);
    $("f-name").value = name;
    $("f-genre").value = values.genre;
    $("f-desc").value = values.desc;
    $("f-rand").checked = values.rand;
    setChosen(values.folders || []);
    $("folders-unknown").hidden = values.folders !== null;
    showEditor("edit");
    await browseRoots();
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

async function renewPlaylist() {
  const name = editor.name;
  const typed = {
    genre: $("f-genre").value,
    desc: $("f-desc").value,
    rand: $("f-rand").checked,
    folders: chosenFolders(),
  };
  const opened = editor.opened;
  // A folder change: other folders than those kept, or any chosen where
  // none are known.
  const newFolders = opened.folders === null ? typed.folders.length > 0 : !sameFolders(typed.folders, opened.folders);
  if (opened.folders !== null && typed.folders.length === 0) {
    showFormMessage("Keep at least one folder: a playlist takes its songs from its folders.");
    $("browse-path").focus();
    return;
  }
  setFormBusy(true, "Checking…");
  let now;
  let listeners = 0;
  try {
    // Read again: another window may have changed it since the form opened.
    [now, listeners] = await Promise.all([readPlaylist(name), listenersNow(name)]);
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    setFormBusy(false);
    showFormMessage(`${quoted(name)} was not saved: ${e.message}. What you typed is kept.`);
    return;
  }
  setFormBusy(false);
  if (!now) {
    const reason = await refusalReason(name);
    showFormMessage(`${quoted(name)} was not saved: ${reason || "its settings could not be read"}. What you typed is kept.`);
    return;
  }
  const changedElsewhere = now.genre !== opened.genre || now.desc !== opened.desc || now.rand !== opened.rand ||
    (opened.folders === null) !== (now.folders === null) || (now.folders && !sameFolders(now.folders, opened.folders));
  if (changedElsewhere) {
    // Shown; a second save puts what was typed in their place.
    editor.opened = now;
    showFormMessage(`${quoted(name)} was not saved: it was changed in another window meanwhile. It now has ` +
      `${valuesText(now)}. What you typed is kept: save again to put it in their place.`);
    return;
  }
  if (editor.enabled) {
    const what = newFolders ? "Its stream restarts with the songs of the folders chosen." : "Its stream restarts.";
    const yes = await ask(`Save and restart ${quoted(name)}?`, `${what}${cutText(listeners)}`, "Save and restart", $("editor-save"));
    if (!yes) return;
  }
  const fields = {
    cmd: "GUI_ice_playlist_renew",
    f_name: name,
    f_genre: typed.genre,
    f_desc: typed.desc,
    f_randomized: typed.rand ? "1" : "0",
  };
  setFormBusy(true, "Saving…");
  const label = newFolders ? `Saving ${quoted(name)} and scanning its folders…` : `Saving ${quoted(name)} and restarting its stream…`;
  change({ action: "renew", name, badge: "Restarting…", label }, `${quoted(name)} was not saved`, async () => {
    try {
      if (newFolders) {
        await saveFolders(name, fields, typed.folders);
        return;
      }
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

// New folders: a create over the playlist (it turns it off), then on again
// and restarted when it was on.
async function saveFolders(name, fields, folders) {
  const create = { ...fields, cmd: "GUI_ice_playlist_new", f_total: String(folders.length) };
  folders.forEach((path, i) => (create[`f_dir${i}`] = path));
  const doc = await request(create, BUILD_TIMEOUT_MS);
  if (res(doc) !== "1") {
    const reason = await refusalReason(name);
    showFormMessage(`${quoted(name)} was not saved: ${reason || "the device refused it"}. What you typed is kept.`);
    return;
  }
  closeEditor();
  if (editor.enabled) {
    const on = await request({ cmd: "GUI_ice_playlist_enable", f_name: name }, CHANGE_TIMEOUT_MS);
    const restarted = res(on) === "1" && res(await request(fields, CHANGE_TIMEOUT_MS)) === "1";
    if (!restarted) {
      const reason = await refusalReason(name);
      showError(`${quoted(name)} has its new folders, but could not be started again: ${reason ||
        "the device did not say why"}. Turn it on with its switch.`);
      return;
    }
  }
  const status = await fetchStatus();
  const st = status && status.playlists.get(name);
  if (st && st.songs === 0) {
    showError(`${quoted(name)} is saved, but holds no songs: its folders hold no MP3 files. Choose other folders with Edit.`);
  } else {
    showInfo(`${quoted(name)} is saved${st && st.songs !== null ? `: ${songsText(st.songs).toLowerCase()}` : ""}.`);
  }
}

function createPlaylist() {
  const name = $("f-name").value.trim();
  const folders = chosenFolders();
  if (folders.length === 0) {
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
    f_total: String(folders.length),
  };
  folders.forEach((path, i) => (fields[`f_dir${i}`] = path));
  const count = folders.length;
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
      const scanned = count === 1 ? "one folder" : `${count} folders`;
      const doc = await request(fields, BUILD_TIMEOUT_MS, (text) => {
        if (!accepted && text.includes("<res>1</res>")) {
          // Taken: the form's work is done; the folders are searched now.
          accepted = true;
          startBuilding(name);
          closeEditor();
          showMessage("working", `Scanning ${scanned} for ${quoted(name)}…`);
          redraw();
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
          const st = status && status.playlists.get(name);
          if (st && st.songs === 0) {
            showError(`${quoted(name)} is made, but holds no songs: its folders hold no MP3 files. It is kept; ` +
              "choose other folders with Edit, or delete it.");
          } else {
            const songs = st && st.songs !== null ? `: ${songsText(st.songs).toLowerCase()}` : "";
            showInfo(`${quoted(name)} is ready${songs}. Turn it on with its switch.`);
          }
        }
        return;
      }
      const reason = nameProblem(name) || (await refusalReason());
      refuse(reason || "the device refused it");
    } catch (e) {
      if (!(e instanceof RequestError) || accepted) throw e;
      refuse(e.message);
    } finally {
      endBuilding(name);
      if ($("editor").open) setFormBusy(false);
    }
  });
}
