// The main page's form to make a playlist or change one: its fields, their
// checks as they are typed, and the two changes it sends.
import {
  $, quoted, bytes, setText, request, res, first, fetchStatus, RequestError,
  CHANGE_TIMEOUT_MS, BUILD_TIMEOUT_MS, MAX_NAME_BYTES, MAX_FIELD_BYTES,
} from "./device.js";
import { showMessage, hideMessage, showError, showInfo, showFormMessage, fieldNote } from "./messages.js";
import { change, refusalReason, waitingChange, startBuilding, endBuilding, redraw } from "./changes.js";
import { browseRoots, chosenFolders, clearChosen } from "./folders.js";

// mode: "new" or "edit"; name: the playlist being changed.
const editor = { mode: "new", name: "" };

export function setUpEditor() {
  $("new-playlist").addEventListener("click", openCreate);
  $("editor-form").addEventListener("submit", submitEditor);
  $("editor-form").addEventListener("input", checkFields);
  $("editor-cancel").addEventListener("click", closeEditor);
  $("editor").addEventListener("cancel", (event) => {
    if ($("editor-cancel").disabled) event.preventDefault();
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
  clearChosen();
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
    clearChosen();
    showEditor("new");
    await browseRoots();
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    showError(`The new playlist form could not be opened: ${e.message}.`);
  }
}

export async function openEdit(name) {
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
      endBuilding(name);
      if ($("editor").open) setFormBusy(false);
    }
  });
}
