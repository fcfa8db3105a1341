// The listeners' page: the playlists that stream now, what each plays and a
// player each. It only asks (GUI_ice_status, GUI_ice_playlist): nothing on
// it changes the device. Updated in place every few seconds. Only live
// playlists are shown, and one plays at a time; the one listened to comes
// back by itself after a restart, a move to another port, or a turn off and
// on.
import { $, REFRESH_MS, quoted, htmlText, request, fetchStatus, isLive, streamUrls, age, RequestError } from "./device.js";
import { LivePlayer } from "./player.js";

const listen = { about: new Map(), aboutAt: 0, status: null, statusAt: 0, fresh: false };
const cards = new Map();
// The playlist the listener chose to hear, while it is turned off (its card
// has left): it plays again when it comes back.
let waitingFor = null;

// Genre and description of each playlist, from the table's text cells.
function readAbout(doc) {
  const about = new Map();
  const text = htmlText;
  for (const row of doc.getElementsByTagName("row")) {
    const cells = Array.from(row.getElementsByTagName("cell"), (cell) => cell.textContent);
    if (cells.length >= 6) about.set(text(cells[1]), { genre: text(cells[2]), desc: text(cells[3]) });
  }
  return about;
}

function makeCard(name) {
  const li = document.createElement("li");
  li.className = "stream";
  li.dataset.name = name;
  const title = document.createElement("h2");
  title.textContent = name;
  const about = document.createElement("p");
  about.className = "about";
  const playing = document.createElement("p");
  playing.className = "playing";
  const controls = document.createElement("p");
  controls.className = "controls";
  const button = document.createElement("button");
  button.type = "button";
  const state = document.createElement("span");
  state.className = "player-state";
  state.setAttribute("role", "status");
  controls.append(button, state);
  const m3u = document.createElement("a");
  m3u.className = "m3u";
  m3u.textContent = "Playlist file for a music player (.m3u)";
  m3u.setAttribute("aria-label", `Playlist file of ${name} for a music player (.m3u)`);
  li.append(title, about, playing, controls, m3u);
  const card = { li, about, playing, m3u, name };
  // One stream at a time: starting one stops the others.
  card.player = new LivePlayer(li, { button, state }, name, () => {
    waitingFor = null;
    for (const other of cards.values()) if (other !== card && other.player.wanted) other.player.stop();
  });
  cards.set(name, card);
  return card;
}

function renderListen() {
  const status = listen.fresh ? listen.status : null;
  const line = $("listen-state");
  const list = $("streams");
  if (!status) {
    line.className = "server-state unknown";
    line.textContent = listen.statusAt
      ? `Unknown: the device did not answer (last answer ${age(listen.statusAt)}).`
      : "Unknown: the device did not tell how its streams are.";
  } else if (!status.up) {
    line.className = "server-state down";
    line.textContent = "The streaming server is not running: nothing streams now.";
  } else {
    line.className = "server-state live";
    line.textContent = "Streaming now:";
  }
  // Unknown keeps the cards as they were, greyed; known shows the live ones.
  // The one listened to stays while it is on (its player reconnects); turned
  // off, it leaves and is played again when it comes back.
  const listened = (name) => {
    const card = cards.get(name);
    return !!card && card.player.wanted;
  };
  const names = status
    ? [...status.playlists.keys()].filter((name) => isLive(status, name) ||
        (listened(name) && status.playlists.get(name).enabled))
    : [...cards.keys()];
  // Cards that left go first, so that no card after them is moved (and
  // loses the focus).
  for (const [name, card] of cards) {
    if (!names.includes(name)) {
      if (card.player.wanted && status && status.playlists.has(name)) waitingFor = name;
      card.player.dispose();
      card.li.remove();
      cards.delete(name);
    }
  }
  if (status && waitingFor && !status.playlists.has(waitingFor)) waitingFor = null;
  let previous = null;
  for (const name of names) {
    const card = cards.get(name) || makeCard(name);
    if (status) card.player.update(status);
    if (name === waitingFor) card.player.play();
    const st = status && status.playlists.get(name);
    const about = listen.about.get(name);
    const aboutText = about ? [about.genre, about.desc].filter(Boolean).join(" · ") : "";
    if (card.about.textContent !== aboutText) card.about.textContent = aboutText;
    card.about.hidden = !aboutText;
    if (st) {
      const parts = [];
      if (st.title) parts.push(`Now playing: ${st.title}`);
      if (st.listeners !== null) parts.push(st.listeners === "1" ? "1 listener" : `${st.listeners} listeners`);
      card.figures = parts.join(" · ");
    }
    if (card.playing.textContent !== (card.figures || "")) card.playing.textContent = card.figures || "";
    card.li.classList.toggle("old", !status);
    // The playlist file follows the server's port, as the player does.
    const port = (listen.status && listen.status.server.port) || "";
    const { m3u } = streamUrls(port, name);
    if (card.m3u.getAttribute("href") !== m3u) card.m3u.href = m3u;
    const next = previous ? previous.nextSibling : list.firstChild;
    if (next !== card.li) list.insertBefore(card.li, next);
    previous = card.li;
  }
  const waiting = $("listen-waiting");
  waiting.hidden = !waitingFor;
  const waitingText = waitingFor ? `${quoted(waitingFor)} was turned off: it plays again here when it is turned on.` : "";
  if (waiting.textContent !== waitingText) waiting.textContent = waitingText;
  $("listen-empty").hidden = !status || names.length > 0;
  const fresh = $("listen-freshness");
  fresh.hidden = !!status || !listen.statusAt;
  fresh.textContent = fresh.hidden ? "" : `What plays could not be read; the page shows the device's answer from ${age(listen.statusAt)}.`;
}

async function refreshListen() {
  try {
    const [status, table] = await Promise.all([
      fetchStatus(),
      request({ cmd: "GUI_ice_playlist", page: "1" }).then(readAbout, (e) => {
        if (e instanceof RequestError) return null;
        throw e;
      }),
    ]);
    listen.fresh = status !== null;
    if (status) {
      listen.status = status;
      listen.statusAt = Date.now();
    }
    if (table) {
      listen.about = table;
      listen.aboutAt = Date.now();
    }
    renderListen();
  } finally {
    setTimeout(refreshListen, REFRESH_MS);
  }
}

document.addEventListener("DOMContentLoaded", () => {
  refreshListen();
  setInterval(() => {
    if (!listen.fresh && listen.statusAt) renderListen();
  }, 1000);
});
