// The add-on's page for whoever runs the device: the server's port, the
// playlists and their streams, making and changing playlists. This is its
// entry: it wires the parts together, asks the device every few seconds,
// keeps the status it read and draws the page again from it. The page is
// updated in place, so that focus, scrolling and an open form survive every
// refresh.
import { $, REFRESH_MS, fetchStatus } from "./device.js";
import { hideMessage, setUpAsk } from "./messages.js";
import { connectChanges, settlePendingFromBefore, startChanges, busyReason } from "./changes.js";
import { setUpServer, loadPort, renderServer } from "./server.js";
import { setUpTable, fetchTable, tableAnswered, tableFailed, renderTable } from "./table.js";
import { setUpEditor } from "./editor.js";
import { setUpFolders } from "./folders.js";
import { setUpPlayer, updatePlayer } from "./player.js";

// The last status, when it came, and whether the last refresh brought one.
const seen = { status: null, at: 0, fresh: false };

let refreshing = false;
let refreshTimer = null;
// A refresh asked for while one runs follows it at once.
let refreshAgain = false;

function refreshSoon(delay = 0) {
  clearTimeout(refreshTimer);
  refreshTimer = setTimeout(refresh, delay);
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
    const [, status] = await Promise.all([fetchTable(), fetchStatus()]);
    seen.fresh = status !== null;
    if (status) {
      seen.status = status;
      seen.at = Date.now();
    }
    settlePendingFromBefore(seen.fresh ? seen.status : null);
    render();
  } finally {
    refreshing = false;
    refreshTimer = setTimeout(refresh, refreshAgain ? 0 : REFRESH_MS);
  }
}

function render() {
  const status = seen.fresh ? seen.status : null;
  renderServer(status, seen.at, tableAnswered(), busyReason());
  renderTable(status, seen.status, seen.at);
  // The player follows the server's port and the song's title.
  updatePlayer(status);
}

document.addEventListener("DOMContentLoaded", () => {
  connectChanges(render, refreshSoon);
  setUpPlayer();
  setUpServer();
  setUpTable();
  setUpEditor();
  setUpFolders();
  setUpAsk();
  $("message-close").addEventListener("click", hideMessage);
  // The message bar and the player sit at the bottom of the window; the page
  // keeps room for them, so that they cover nothing, and a control that gets
  // the keyboard's focus is scrolled above them.
  new ResizeObserver(() => {
    const room = `${$("dock").offsetHeight + 16}px`;
    document.body.style.paddingBottom = room;
    document.documentElement.style.scrollPaddingBottom = room;
  }).observe($("dock"));
  startChanges();
  loadPort();
  refresh();
  // The ages shown count on between refreshes.
  setInterval(() => {
    if (tableFailed() || !seen.fresh) render();
  }, 1000);
});
