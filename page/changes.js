// The change machinery of the main page: one change at a time, shown while
// it runs (across a reload too), and why the device refuses one, in words.
// It owns the change running now, the one from before a reload, and the
// playlists being made.
import {
  quoted, request, res, fetchStatus, RequestError, CHANGE_TIMEOUT_MS, BUILD_TIMEOUT_MS,
} from "./device.js";
import { showMessage, hideMessage, showError, showInfo, showsWorking } from "./messages.js";

const PENDING_KEY = "wavelorn-pending";

// The change running now: { action, name, label, at, turnOnAgain }; kept in
// the tab's session storage, so that a reload while it runs still shows it.
// turnOnAgain: the change turns the playlist off on its way (new folders
// of a playlist that is on): if it is off at the end, the owner is told to
// turn it on.
let pending = null;
let pendingFromBefore = null;
let working = false;
// The page is being left (a reload): a change's request ends with it, not
// the change itself, which the next page shows from the storage. Only
// pagehide tells for sure: beforeunload fires for a download too (a link
// to a file the browser saves), after which the page stays. Yet Firefox
// ends the page's requests at beforeunload, before pagehide: a change
// ending then waits a moment for pagehide before it counts as over.
let leaving = false;
let unloadAt = -Infinity;
const UNLOAD_MS = 10000;     // a beforeunload this recent may be a reload
const UNLOAD_WAIT_MS = 3000; // how long a change waits for pagehide then
// Playlists being made: shown until their answer ends.
const building = new Set();

// What the page does after a change: draw itself again, ask the device soon.
const page = { render: () => {}, refreshSoon: () => {} };
export function connectChanges(render, refreshSoon) {
  page.render = render;
  page.refreshSoon = refreshSoon;
}
export const redraw = () => page.render();

// The change running, or the one started before the reload; null when none.
export const currentChange = () => pending || pendingFromBefore;
export const changeFromBefore = () => pendingFromBefore;
export const isWorking = () => working;
// Why the controls that change something wait now; null when they need not.
export const busyReason = () => (working || pending || pendingFromBefore ? "Wait until the running change has finished." : null);

export const startBuilding = (name) => building.add(name);
export const endBuilding = (name) => building.delete(name);
export const isBuilding = (name) => building.has(name);
export const buildingNames = () => [...building];

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

// At start: notes when the page is left, and shows a change started before
// a reload.
export function startChanges() {
  window.addEventListener("beforeunload", () => (unloadAt = Date.now()));
  window.addEventListener("pagehide", () => (leaving = true));
  window.addEventListener("pageshow", () => (leaving = false));
  pendingFromBefore = recall();
  if (pendingFromBefore) {
    showMessage("working", `${pendingFromBefore.label} (started before the page was reloaded)`, [], pendingFromBefore.at);
  }
}

// What the playlist being made off and on again is left as, in words.
export const offAfterFolders = (name) => `${quoted(name)} has its new folders but is off: turn it on with its switch`;

// One change at a time: `work` runs while a working message shows the
// change's label; a RequestError becomes an error message starting with
// `failure`. Answers false at once, running nothing, while another change
// runs (a caller that showed itself busy must show itself free again).
export async function change(what, failure, work) {
  if (working) {
    showError("Another change is still running; wait until it has finished.");
    return false;
  }
  working = true;
  remember({ ...what, at: Date.now() });
  document.body.classList.add("working");
  showMessage("working", what.label);
  page.render();
  let failed = null;
  try {
    await work();
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    failed = e;
  } finally {
    if (!leaving && Date.now() - unloadAt < UNLOAD_MS) {
      const until = Date.now() + UNLOAD_WAIT_MS;
      while (!leaving && Date.now() < until) await new Promise((resolve) => setTimeout(resolve, 100));
    }
    if (failed && !leaving) showError(`${failure}: ${failed.message}.`);
    working = false;
    if (!leaving) remember(null);
    document.body.classList.remove("working");
    if (showsWorking()) hideMessage();
    page.render();
    page.refreshSoon();
  }
  return true;
}

// A change started before a reload is shown while the device still holds the
// command lock for it. `status`: the status the last refresh brought, null
// when it brought none.
export function settlePendingFromBefore(status) {
  if (!pendingFromBefore || !status || status.busy) return;
  const done = pendingFromBefore;
  pendingFromBefore = null;
  if (working) return;
  remember(null);
  const st = status.playlists.get(done.name);
  if (done.turnOnAgain && st && !st.enabled) {
    showError(`${offAfterFolders(done.name)}.`);
  } else if (showsWorking()) {
    showInfo(`The change started before the page was reloaded is over (${done.label.replace(/…$/, "")}); the table shows how it went.`);
  }
}

// Why the device takes no change from this page, in words, from its status;
// null when it takes them.
export function accessProblem(status) {
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
export function waitingChange(status) {
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
export async function refusalReason(name = null) {
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

// How many listeners a change of playlist `name` cuts off (of every playlist
// when `name` is null), as a fresh status tells; null when it cannot tell.
export async function listenersNow(name = null) {
  return listenersIn(await fetchStatus(), name);
}
export function listenersIn(status, name = null) {
  if (!status) return null;
  let count = 0;
  for (const [each, playlist] of status.playlists) {
    if (name === null || each === name) count += Number(playlist.listeners) || 0;
  }
  return count;
}
