// The main page's folder browser, in the playlist form: the music folders
// and their subfolders (filtered by name where there are many), how many
// songs the folder shown holds, and the folders chosen for the playlist with
// their songs.
import { $, setText, request, res, first, all, RequestError } from "./device.js";
import { songsText } from "./messages.js";

// Paths are shown below the music root they lie in, as "music/Jazz/Live".
const browser = { roots: [], trail: [], path: null, filter: "" };
// The folders chosen: { path, shown, count } (count: the words for its songs,
// "" until known).
let chosen = [];
// More subfolders than this (or a cut listing) offer the filter.
const FILTER_FROM = 30;
let filterTimer = null;
// Counts already asked for, by path: a promise of their words.
const counts = new Map();

export function setUpFolders() {
  $("browse-up").addEventListener("click", browseUp);
  $("browse-add").addEventListener("click", () => browser.path && choose(browser.path));
  $("browse-filter").addEventListener("input", () => {
    clearTimeout(filterTimer);
    filterTimer = setTimeout(() => {
      browser.filter = $("browse-filter").value.trim();
      if (browser.path) browseTo(browser.path, true);
    }, 300);
  });
}

// The paths chosen, in the order they were added.
export const chosenFolders = () => chosen.map((folder) => folder.path);

export function clearChosen() {
  chosen = [];
  counts.clear();
  renderChosen();
}

// The form opens with these folders chosen (a playlist's kept folders).
export function setChosen(paths) {
  chosen = paths.map((path) => ({ path, shown: shownPath(path), count: "" }));
  renderChosen();
  for (const folder of chosen) countInto(folder);
}

// "1,204 songs" in the folder `path` (recursively, as the playlist takes
// them), "at least 2,000 songs" when the device stopped counting early, ""
// when it cannot tell.
function songsIn(path) {
  if (!counts.has(path)) {
    counts.set(path, (async () => {
      try {
        const doc = await request({ cmd: "GUI_ice_folders", f_path: path, f_count: "1" });
        const songs = first(doc, "songs");
        if (res(doc) !== "1" || !/^[0-9]+$/.test(songs || "")) return "";
        return songsText(Number(songs), first(doc, "cut") === "1");
      } catch (e) {
        if (!(e instanceof RequestError)) throw e;
        counts.delete(path);
        return "";
      }
    })());
  }
  return counts.get(path);
}

async function countInto(folder) {
  folder.count = await songsIn(folder.path);
  // In place: a redraw would take the focus from a Remove button.
  const i = chosen.indexOf(folder);
  const item = i >= 0 ? $("chosen").children[i] : null;
  if (item) setText(item.querySelector(".count"), folder.count);
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

const isChosen = (path) => chosen.some((folder) => folder.path === path);

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
  const added = document.createElement("span");
  added.className = "added";
  added.textContent = "Added";
  li.append(open, add, added);
  markAdded(li);
  return li;
}

// A folder chosen already offers no "Add".
function markAdded(li) {
  const add = li.querySelector("button[data-add]");
  const done = isChosen(add.dataset.add);
  add.hidden = done;
  li.querySelector(".added").hidden = !done;
}
function markAllAdded() {
  for (const li of $("browse-list").children) markAdded(li);
  $("browse-add").hidden = !!browser.path && isChosen(browser.path);
}

// The filter is offered where many folders are, and kept while it is used.
function showFilter(offer) {
  $("browse-filter-row").hidden = !offer && !browser.filter;
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
    resetFilter();
    setText($("browse-count"), "");
    setText($("browse-path"), "Music folders");
    $("browse-up").disabled = true;
    $("browse-add").disabled = true;
    $("browse-list").replaceChildren(...browser.roots.map((root) => browseEntry(rootLabel(root), root)));
    markAllAdded();
    if (browser.roots.length === 0) browseNote("The device names no music folder.");
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    browseNote(`The music folders could not be listed: ${e.message}.`);
  }
}

function resetFilter() {
  clearTimeout(filterTimer);
  browser.filter = "";
  $("browse-filter").value = "";
  showFilter(false);
}

// Shows the folder `path`; `back` is true when going up the trail (or
// showing the same folder again, filtered).
async function browseTo(path, back) {
  browseNote("");
  // Opened from the list or the head, the focus goes on in the new listing.
  const active = document.activeElement;
  const focusInside = !!active && !!active.closest("#browse-list, .browser-head");
  if (path !== browser.path) resetFilter();
  const fields = { cmd: "GUI_ice_folders", f_path: path };
  if (browser.filter) fields.f_filter = browser.filter;
  try {
    const doc = await request(fields);
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
    const cut = first(doc, "cut") === "1";
    $("browse-list").replaceChildren(...folders.map((folder) => browseEntry(folder, base + folder)));
    markAllAdded();
    showFilter(cut || folders.length > FILTER_FROM);
    if (cut) browseNote(`Only the first ${folders.length} folders are shown: type part of a name above to find one.`);
    else if (folders.length === 0 && browser.filter) browseNote(`No folder in here has ${browser.filter} in its name.`);
    else if (folders.length === 0) browseNote("No folders in here; add this one to take its songs.");
    if (focusInside && !document.activeElement.closest("#browse-filter-row")) {
      const firstFolder = $("browse-list").querySelector("button.folder");
      (firstFolder || ($("browse-add").hidden ? $("browse-path") : $("browse-add"))).focus();
    }
    setText($("browse-count"), "");
    songsIn(here).then((words) => {
      if (browser.path === here) setText($("browse-count"), words ? `(${words})` : "");
    });
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
  if (!isChosen(path)) {
    const folder = { path, shown: shownPath(path), count: "" };
    chosen.push(folder);
    countInto(folder);
  }
  renderChosen();
  // The "Add" pressed is gone: the focus stays in the browser.
  const active = document.activeElement;
  if (active && active.hidden) {
    const li = active.closest("li");
    (li ? li.querySelector("button.folder") : $("browse-path")).focus();
  }
}

function renderChosen() {
  const items = chosen.map((folder, i) => {
    const li = document.createElement("li");
    const span = document.createElement("span");
    span.className = "path";
    span.textContent = folder.shown;
    span.dataset.path = folder.path;
    const count = document.createElement("span");
    count.className = "count";
    count.textContent = folder.count;
    const remove = document.createElement("button");
    remove.type = "button";
    remove.className = "secondary small";
    remove.textContent = "Remove";
    remove.setAttribute("aria-label", `Remove ${folder.shown}`);
    remove.addEventListener("click", () => {
      chosen.splice(i, 1);
      renderChosen();
      // The focus goes to the next Remove, or the browser.
      const next = $("chosen").querySelectorAll("button")[Math.min(i, chosen.length - 1)];
      (next || $("browse-path")).focus();
    });
    li.append(span, count, remove);
    return li;
  });
  $("chosen").replaceChildren(...items);
  $("chosen-none").hidden = items.length > 0;
  markAllAdded();
}
