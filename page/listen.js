// The listeners' page: the playlists that stream now, what each plays and a
// player each. It only asks (GUI_ice_status, GUI_ice_playlist): nothing on
// it changes the device. Updated in place every few seconds.
import { $, REFRESH_MS, htmlText, request, fetchStatus, isLive, streamUrls, age, RequestError } from "./device.js";
import { StreamWatch } from "./player.js";

const listen = { about: new Map(), aboutAt: 0, status: null, statusAt: 0, fresh: false };
const cards = new Map();

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
  const audio = document.createElement("audio");
  audio.controls = true;
  audio.preload = "none";
  audio.setAttribute("aria-label", `The stream of ${name}`);
  const note = document.createElement("p");
  note.className = "field-note";
  note.setAttribute("role", "status");
  note.hidden = true;
  const m3u = document.createElement("a");
  m3u.className = "m3u";
  m3u.textContent = "Playlist file for a music player (.m3u)";
  m3u.setAttribute("aria-label", `Playlist file of ${name} for a music player (.m3u)`);
  li.append(title, about, playing, audio, note, m3u);
  const card = { li, about, playing, audio, note, m3u, name };
  card.watch = new StreamWatch(audio, async () => {
    const status = await fetchStatus();
    return status ? isLive(status, name) : null;
  }, (reason) => {
    note.textContent = {
      stopped: "This stream has stopped.",
      interrupted: "This stream was interrupted; press play to listen again.",
      unreachable: "This stream has stopped: the device cannot be reached.",
    }[reason];
    note.hidden = false;
  });
  audio.addEventListener("play", () => (note.hidden = true));
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
  // A card someone listens to stays until its player has told what happened.
  const kept = (name) => {
    const card = cards.get(name);
    return card && (card.watch.wanted || !card.note.hidden);
  };
  const names = status
    ? [...status.playlists.keys()].filter((name) => isLive(status, name) || kept(name))
    : [...cards.keys()];
  // Cards that left go first, so that no card after them is moved (and
  // loses the focus).
  for (const [name, card] of cards) {
    if (!names.includes(name)) {
      card.watch.stop();
      card.li.remove();
      cards.delete(name);
    }
  }
  let previous = null;
  for (const name of names) {
    const card = cards.get(name) || makeCard(name);
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
    // The device says it is not live: the player looks whether it still plays.
    if (status && !isLive(status, name) && card.watch.wanted) card.watch.check();
    const port = (listen.status && listen.status.server.port) || "";
    const { stream, m3u } = streamUrls(port, name);
    if (card.m3u.getAttribute("href") !== m3u) card.m3u.href = m3u;
    if (card.stream !== stream) {
      card.stream = stream;
      if (!card.watch.wanted) card.audio.src = stream;
    }
    const next = previous ? previous.nextSibling : list.firstChild;
    if (next !== card.li) list.insertBefore(card.li, next);
    previous = card.li;
  }
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
