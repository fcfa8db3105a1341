// The live player, shared by both pages: StreamWatch, which reports a stream
// that really stopped and nothing else, and the main page's player at the
// bottom of the window. It asks the device only for its status.
import { $, quoted, setText, streamUrls, fetchStatus, isLive } from "./device.js";

// Watches an audio element the user started. Browsers report hiccups of a
// live stream as errors (Firefox a decode error while the sound plays on), so
// an error, an end or a long wait only starts a check: the stream has
// stopped when its playing time stands still for a few seconds; `onStopped`
// then hears why, from the device's status (`askLive` answers true, false,
// or null when the device cannot be reached).
export class StreamWatch {
  constructor(audio, askLive, onStopped) {
    this.audio = audio;
    this.askLive = askLive;
    this.onStopped = onStopped;
    this.wanted = false;
    this.checking = false;
    this.waitTimer = null;
    const check = () => this.check();
    for (const type of ["error", "ended", "stalled", "emptied"]) audio.addEventListener(type, check);
    audio.addEventListener("waiting", () => {
      clearTimeout(this.waitTimer);
      this.waitTimer = setTimeout(check, 6000);
    });
    audio.addEventListener("playing", () => clearTimeout(this.waitTimer));
    audio.addEventListener("play", () => (this.wanted = true));
    audio.addEventListener("pause", () => {
      // A pause the user chose; an ended stream pauses too, and is checked.
      if (!audio.ended && !audio.error) this.wanted = false;
    });
  }

  // The user's play: starts the stream afresh (a live stream cannot resume).
  play(src) {
    const audio = this.audio;
    if (src) audio.src = src;
    else if (audio.error || audio.ended) audio.load();
    this.wanted = true;
    const played = audio.play();
    return played ? played.catch((e) => (e.name === "AbortError" ? undefined : this.check())) : Promise.resolve();
  }

  stop() {
    this.wanted = false;
    clearTimeout(this.waitTimer);
    const audio = this.audio;
    audio.pause();
    if (audio.hasAttribute("src")) {
      audio.removeAttribute("src");
      audio.load();
    }
  }

  async check() {
    if (!this.wanted || this.checking || !this.audio.hasAttribute("src")) return;
    this.checking = true;
    try {
      const audio = this.audio;
      const before = audio.currentTime;
      await new Promise((resolve) => setTimeout(resolve, 4000));
      if (!this.wanted) return;
      if (!audio.paused && !audio.ended && audio.currentTime > before + 1) return;  // it plays on
      const live = await this.askLive();
      if (!this.wanted) return;
      this.wanted = false;
      audio.pause();
      this.onStopped(live === null ? "unreachable" : live ? "interrupted" : "stopped");
    } finally {
      this.checking = false;
    }
  }
}

// The main page's player: which playlist it plays, and its watch.
const player = { name: null, watch: null };

// Wires the main page's player to its elements.
export function setUpPlayer() {
  player.watch = new StreamWatch($("audio"), async () => {
    const status = await fetchStatus();
    return status ? isLive(status, player.name) : null;
  }, playerStopped);
  $("player-close").addEventListener("click", closePlayer);
  $("player-again").addEventListener("click", playAgain);
  $("audio").addEventListener("play", () => ($("player-note").hidden = true));
}

// The playlist the player plays, null when it is closed.
export const playerName = () => player.name;

// Plays the stream of `name` on `port`; false when there is no port to play.
export function openPlayer(name, port) {
  if (!port) return false;
  const { stream, m3u } = streamUrls(port, name);
  player.name = name;
  setText($("player-name"), name);
  $("player-m3u").href = m3u;
  $("player-m3u").setAttribute("aria-label", `Playlist file of ${name} for a music player (.m3u)`);
  $("player").hidden = false;
  $("player-note").hidden = true;
  player.watch.play(stream);
  return true;
}

export function closePlayer() {
  player.watch.stop();
  player.name = null;
  $("player").hidden = true;
}

// The device's latest status says the stream being listened to is not live:
// the player looks whether it still plays.
export function checkPlayer(status) {
  if (player.name && status && !isLive(status, player.name)) player.watch.check();
}

// The player's own line tells, where the user listens.
function playerStopped(reason) {
  const name = quoted(player.name || "");
  setText($("player-note-text"), {
    stopped: `The stream of ${name} has stopped: the playlist is off, or its server is down.`,
    interrupted: `The stream of ${name} was interrupted (it restarted, or the connection dropped).`,
    unreachable: `The stream of ${name} has stopped: the device cannot be reached.`,
  }[reason]);
  $("player-note").hidden = false;
}

function playAgain() {
  $("player-note").hidden = true;
  player.watch.play();
}
