// The main page's message bar (in the page's flow, above the playlists: it
// covers nothing), the question asked before a change that cuts listeners
// off, the form's own message line, the notes below fields, and controls
// that tell why they cannot be used now.
import { $, setAttr, setText } from "./device.js";

let messageTimer = null;
// A working message counts the time it has waited: since when, and its ticker.
let workingSince = 0;
let workingTimer = null;

// "0:42": minutes and seconds since `since`.
function elapsed(since) {
  const seconds = Math.max(0, Math.floor((Date.now() - since) / 1000));
  return `${Math.floor(seconds / 60)}:${String(seconds % 60).padStart(2, "0")}`;
}
function tick() {
  setText($("message-elapsed"), elapsed(workingSince));
}

// kind: "info", "error" or "working". `actions` are [label, id, handler].
// While the form is open, its own message line shows errors instead. A
// working message shows how long it has waited (since `since`, by default
// since the first of a run of working messages).
export function showMessage(kind, text, actions = [], since = 0) {
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
  if (kind === "working") {
    if (since || !workingTimer) workingSince = since || Date.now();
    clearInterval(workingTimer);
    workingTimer = setInterval(tick, 1000);
    tick();
  } else {
    stopTicking();
  }
  box.hidden = false;
  if (kind === "info") messageTimer = setTimeout(hideMessage, 8000);
}
function stopTicking() {
  clearInterval(workingTimer);
  workingTimer = null;
  $("message-elapsed").textContent = "";
}
export function hideMessage() {
  clearTimeout(messageTimer);
  stopTicking();
  $("message").hidden = true;
  $("message").className = "message";
}
export const showError = (text) => showMessage("error", text);
export const showInfo = (text) => showMessage("info", text);
// A working message shows (a change runs).
export const showsWorking = () => $("message").classList.contains("working");

export function showFormMessage(text) {
  $("editor-message").textContent = text;
  $("editor-message").hidden = !text;
}

// A note below a field: its problem, or nothing.
export function fieldNote(input, note, problem) {
  $(note).textContent = problem || "";
  $(note).hidden = !problem;
  if (problem) $(input).setAttribute("aria-invalid", "true");
  else $(input).removeAttribute("aria-invalid");
}

// A control that cannot be used now stays focusable and tells why.
export function setUnavailable(button, reason) {
  setAttr(button, "aria-disabled", reason ? "true" : null);
  setAttr(button, "title", reason || null);
  button.dataset.reason = reason || "";
}

// "1,204 songs", "1 song", "No songs".
export function songsText(count, atLeast = false) {
  if (count === 0 && !atLeast) return "No songs";
  const shown = `${count.toLocaleString("en-US")} ${count === 1 ? "song" : "songs"}`;
  return atLeast ? `at least ${shown}` : shown;
}
// " 2 people listening now are cut off." or nothing when nobody listens;
// `listeners` null: the device did not tell how many listen.
export function cutText(listeners) {
  if (listeners === null || listeners === undefined) {
    return " How many people listen now could not be read: anyone listening is cut off.";
  }
  if (!listeners) return "";
  return listeners === 1 ? " 1 person listening now is cut off." : ` ${listeners} people listening now are cut off.`;
}

// Asks before a change: a modal question whose safe answer (Cancel) has the
// focus; Escape cancels. Answers true for yes. The focus goes back to
// `control` (the button that asked), or wherever `afterwards` says.
let asking = null;
export function ask(title, text, yes, control) {
  const dialog = $("ask");
  if (asking) asking(false);
  setText($("ask-title"), title);
  setText($("ask-text"), text);
  setText($("ask-yes"), yes);
  dialog.returnValue = "";
  return new Promise((resolve) => {
    asking = (answer) => {
      asking = null;
      if (dialog.open) dialog.close();
      if (control && control.isConnected && !control.closest("[hidden]")) control.focus();
      resolve(answer);
    };
    dialog.showModal();
    $("ask-no").focus();
  });
}
export function setUpAsk() {
  $("ask-yes").addEventListener("click", () => asking && asking(true));
  $("ask-no").addEventListener("click", () => asking && asking(false));
  // Escape (or the browser closing it) is a no. A question that replaced
  // the one closed stays: the close event of the old one comes after it
  // opened, and is not its answer.
  $("ask").addEventListener("close", () => !$("ask").open && asking && asking(false));
}
