// The main page's folder browser, in the new playlist form: the music
// folders and their subfolders, and the folders chosen for the playlist.
import { $, setText, request, res, first, all, RequestError } from "./device.js";

// Paths are shown below the music root they lie in, as "music/Jazz/Live".
const browser = { roots: [], trail: [], path: null };
// The folders chosen: { path, shown }.
let chosen = [];

export function setUpFolders() {
  $("browse-up").addEventListener("click", browseUp);
  $("browse-add").addEventListener("click", () => browser.path && choose(browser.path));
}

// The paths chosen, in the order they were added.
export const chosenFolders = () => chosen.map((folder) => folder.path);

export function clearChosen() {
  chosen = [];
  renderChosen();
}

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

export async function browseRoots() {
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
  if (!chosen.some((folder) => folder.path === path)) chosen.push({ path, shown: shownPath(path) });
  renderChosen();
}

function renderChosen() {
  const items = chosen.map((folder, i) => {
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
      chosen.splice(i, 1);
      renderChosen();
    });
    li.append(span, remove);
    return li;
  });
  $("chosen").replaceChildren(...items);
  $("chosen-none").hidden = items.length > 0;
}
