// The main page's message bar at the bottom of the window, the form's own
// message line, the notes below fields, and controls that tell why they
// cannot be used now.
import { $, setAttr } from "./device.js";

let messageTimer = null;

// kind: "info", "error", "working" or "confirm". `actions` are [label, id, handler].
// While the form is open, its own message line shows errors instead.
export function showMessage(kind, text, actions = []) {
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
export function hideMessage() {
  clearTimeout(messageTimer);
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
