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
import {
  change, refusalReason, waitingChange, startBuilding, endBuilding, redraw, listenersIn, isWorking, offAfterFolders,
} from "./changes.js";
import { browseRoots, chosenFolders, clearChosen, setChosen } from "./folders.js";

// mode: "new" or "edit"; name: the playlist being changed; opened: its values
// when the form opened ({ genre, desc, rand, folders, enabled }, folders null
// when not kept, enabled null when not known); control: the button that
// opened the form, for the focus after it.
const editor = { mode: "new", name: "", opened: null, control: null, enabled: false };

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
// (folders null when the device keeps none); null when the playlist is gone
// or its settings cannot be read. Asks whether it exists first: reading the
// settings of a missing playlist would leave an empty one behind. A failed
// request throws a RequestError: folders that could not be asked for are
// not "none".
async function readPlaylist(name) {
  if (res(await request({ cmd: "GUI_ice_has_playlist_name", f_name: name })) !== "1") return null;
  const doc = await request({ cmd: "GUI_ice_modify_info", f_name: name });
  if (res(doc) !== "1" || first(doc, "genre") === null) return null;
  let folders = [];
  try {
    const kept = await request({ cmd: "GUI_ice_folders", f_playlist: name });
    if (res(kept) === "1") folders = all(kept, "playlist_folder");
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    throw new RequestError(`its folders could not be read (${e.message})`);
  }
  return {
    genre: first(doc, "genre") || "",
    desc: first(doc, "desc") || "",
    rand: (first(doc, "rand") || "").startsWith("1"),
    folders: folders.length ? folders : null,
  };
}

const sameFolders = (a, b) => a.length === b.length && a.every((path, i) => path === b[i]);

// "genre “Rock”, description “…”, shuffle on, folders music/Rock, and it
// is on".
function valuesText(values) {
  const folders = values.folders ? `, folders ${values.folders.join(", ")}` : "";
  const onOff = values.enabled === null ? "" : `, and it is ${values.enabled ? "on" : "off"}`;
  return `genre ${quoted(values.genre)}, description ${quoted(values.desc)}, shuffle ${values.rand ? "on" : "off"}${folders}${onOff}`;
}

// Whether playlist `name` is on, from a status; null when it does not tell.
function enabledIn(status, name) {
  const st = status && status.playlists.get(name);
  return st ? !!st.enabled : null;
}

// The values of playlist `name` now, with whether it is on, and the
// status's listener count: { values (null when gone), listeners }.
async function readNow(name) {
  const [values, status] = await Promise.all([readPlaylist(name), fetchStatus()]);
  if (values) values.enabled = enabledIn(status, name);
  return { values, listeners: listenersIn(status, name) };
}

// What differs between two readings of a playlist's values (an on/off of
// unknown state differs from nothing).
function differ(a, b) {
  return a.genre !== b.genre || a.desc !== b.desc || a.rand !== b.rand ||
    (a.folders === null) !== (b.folders === null) || (a.folders && !sameFolders(a.folders, b.folders)) ||
    (a.enabled !== null && b.enabled !== null && a.enabled !== b.enabled);
}

export async function openEdit(name, control = null) {
  try {
    const { values } = await readNow(name);
    if (!values) {
      const reason = await refusalReason(name);
      showError(`The settings of ${quoted(name)} could not be read: ${reason || "the device refused the name"}.`);
      return;
    }
    // A change begun while the settings were read (Rescan all, say): the
    // form would wait for it.
    if (isWorking()) {
      showError("Another change is still running; wait until it has finished.");
      return;
    }
    hideMessage();
    editor.name = name;
    editor.control = control;
    editor.opened = values;
    editor.enabled = values.enabled !== false;
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
  const notSaved = (text) => showFormMessage(`${quoted(name)} was not saved: ${text}. What you typed is kept.`);
  if (isWorking()) {
    notSaved("another change is still running; wait until it has finished");
    return;
  }
  // Read again: another window may have changed it since the form opened
  // (on/off too). Answers the values now, or null when it refused.
  const fresh = async () => {
    setFormBusy(true, "Checking…");
    let now;
    try {
      now = await readNow(name);
    } catch (e) {
      if (!(e instanceof RequestError)) throw e;
      notSaved(e.message);
      return null;
    } finally {
      setFormBusy(false);
    }
    if (!now.values) {
      const reason = await refusalReason(name);
      notSaved(reason || "its settings could not be read");
      return null;
    }
    if (newFolders && now.values.enabled === null) {
      // The new folders turn it off on their way: whether to turn it on
      // again must be known.
      notSaved("whether it is on could not be read; try again in a moment");
      return null;
    }
    if (differ(now.values, editor.opened)) {
      // Shown; a second save puts what was typed in their place.
      editor.opened = now.values;
      editor.enabled = now.values.enabled !== false;
      setText($("editor-save"), saveLabel());
      notSaved(`it was changed in another window meanwhile. It now has ${valuesText(now.values)}. ` +
        "Save again to put what you typed in their place");
      return null;
    }
    return now;
  };
  let now = await fresh();
  if (!now) return;
  const enabled = now.values.enabled !== false;
  if (enabled) {
    const what = newFolders ? "Its stream restarts with the songs of the folders chosen." : "Its stream restarts.";
    const yes = await ask(`Save and restart ${quoted(name)}?`, `${what}${cutText(now.listeners)}`, "Save and restart", $("editor-save"));
    if (!yes || !$("editor").open) return;
    // The question may have stood a while: once more, right before sending.
    now = await fresh();
    if (!now) return;
  }
  if (isWorking()) {
    notSaved("another change is still running; wait until it has finished");
    return;
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
  // New folders of a playlist that is on turn it off on their way: a reload
  // meanwhile must still tell when it stays off.
  const turnOnAgain = newFolders && now.values.enabled === true;
  const ran = await change({ action: "renew", name, badge: "Restarting…", label, turnOnAgain }, `${quoted(name)} was not saved`, async () => {
    try {
      if (newFolders) {
        await saveFolders(name, fields, typed.folders, turnOnAgain);
        return;
      }
      const doc = await request(fields, CHANGE_TIMEOUT_MS);
      if (res(doc) === "1") {
        closeEditor();
        showInfo(`${quoted(name)} is saved.`);
        return;
      }
      const reason = await refusalReason(name);
      notSaved(reason || "the device refused it");
    } finally {
      if ($("editor").open) setFormBusy(false);
    }
  });
  if (!ran && $("editor").open) setFormBusy(false);
}

// New folders: a create over the playlist (it turns it off), then on again
// and restarted when it was on. Once the create is done the playlist has
// its new folders whatever follows: a failure after it says so, not "not
// saved".
async function saveFolders(name, fields, folders, turnOnAgain) {
  const create = { ...fields, cmd: "GUI_ice_playlist_new", f_total: String(folders.length) };
  folders.forEach((path, i) => (create[`f_dir${i}`] = path));
  const doc = await request(create, BUILD_TIMEOUT_MS);
  if (res(doc) !== "1") {
    const reason = await refusalReason(name);
    showFormMessage(`${quoted(name)} was not saved: ${reason || "the device refused it"}. What you typed is kept.`);
    return;
  }
  closeEditor();
  if (turnOnAgain) {
    let step = "on";
    let failure = null;
    try {
      if (res(await request({ cmd: "GUI_ice_playlist_enable", f_name: name }, CHANGE_TIMEOUT_MS)) === "1") {
        step = "restart";
        if (res(await request(fields, CHANGE_TIMEOUT_MS)) !== "1") failure = await refusalReason(name);
        else step = "done";
      } else {
        failure = await refusalReason(name);
      }
    } catch (e) {
      if (!(e instanceof RequestError)) throw e;
      failure = e.message;
    }
    if (step !== "done") {
      // What is true now: the status tells whether it came on.
      const on = enabledIn(await fetchStatus(), name);
      const why = failure || "the device did not say why";
      if (step === "restart" && on === true) {
        showError(`${quoted(name)} has its new folders and is on, but its stream could not be restarted: ${why}.`);
      } else {
        showError(`${offAfterFolders(name)} (${why}).`);
      }
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
  if (isWorking()) {
    refuse("another change is still running; wait until it has finished");
    return;
  }
  setFormBusy(true, "Checking…");
  const ran = change({ action: "new", name, label: `Checking the name ${quoted(name)}…` }, `${quoted(name)} was not created`, async () => {
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
      if (!(e instanceof RequestError)) throw e;
      if (accepted) {
        // The device took it and was scanning when the answer failed.
        showError(`The device took ${quoted(name)}, but its answer did not come (${e.message}): it may have been ` +
          "made meanwhile; the table will tell.");
      } else {
        refuse(e.message);
      }
    } finally {
      endBuilding(name);
      if ($("editor").open) setFormBusy(false);
    }
  });
  ran.then((done) => !done && $("editor").open && setFormBusy(false));
}
