// The live player, shared by both pages: LivePlayer plays one playlist's
// stream with its own controls (a live stream has no length to seek in), says
// what it does, and comes back by itself when the stream drops: after its
// source client restarts, a turn off and on, a move of the server to another
// port (it follows the port of the latest status) or a server restart. It
// gives up only after a deadline, with a message and its Play button. It asks
// the device only for its status.
import { $, quoted, setText, streamUrls } from "./device.js";

// How long the player tries to get a dropped stream back.
const GIVE_UP_MS = 10 * 60 * 1000;
// Waits between tries: 1 s, 2 s, 4 s, … at most 15 s.
const RETRY_FIRST_MS = 1000;
const RETRY_MAX_MS = 15000;
// A stream whose playing time stands still this long has dropped. Browsers
// report hiccups of a live stream as errors (Firefox a decode error while
// the sound plays on), so an error only starts this check.
const STILL_MS = 4000;
const WAITING_MS = 6000;
// A try that has not started playing by then has failed.
const CONNECT_MS = 15000;

// The player the phone's lock screen controls (one at a time).
let sessionOwner = null;

export class LivePlayer {
  // parts: { button, state, song (optional) }: the Play/Stop button, the
  // line that says what the player does, the line with the song's title.
  // The player adds its own audio element to `box`. `onPlay` hears the
  // user's play (the listeners' page stops its other players then).
  constructor(box, parts, name, onPlay = () => {}) {
    this.name = name;
    this.parts = parts;
    this.onPlay = onPlay;
    this.wanted = false;   // the user wants to listen
    this.port = null;      // of the latest status
    this.title = "";
    this.off = false;      // the playlist is turned off: wait for it
    this.deadline = null;  // when a dropped stream is given up
    this.attempt = 0;
    this.retryTimer = null;
    this.connectTimer = null;
    this.started = false;  // the stream played since the last try began
    this.checking = null;  // the try whose stall is being checked
    this.try = 0;          // counts tries: a check of an old one ends nothing
    this.live = false;     // the latest status had its stream up
    this.waitTimer = null;
    this.audio = document.createElement("audio");
    this.audio.preload = "none";
    box.append(this.audio);
    for (const type of ["error", "ended", "stalled", "emptied"]) this.audio.addEventListener(type, () => this.trouble(type));
    this.audio.addEventListener("waiting", () => {
      clearTimeout(this.waitTimer);
      this.waitTimer = setTimeout(() => this.trouble("waiting"), WAITING_MS);
    });
    this.audio.addEventListener("playing", () => {
      clearTimeout(this.waitTimer);
      clearTimeout(this.connectTimer);
      this.started = true;
      if (!this.wanted) return;
      this.attempt = 0;
      this.deadline = null;
      this.say("Playing");
      this.claimSession();
    });
    // The button may outlive the player (the main page's is shared by every
    // player it opens): dispose() takes this listener off again.
    this.onButton = () => (this.wanted ? this.stop() : this.play());
    parts.button.addEventListener("click", this.onButton);
    this.showButton();
  }

  // The user's play: starts the stream afresh (a live stream cannot resume).
  play() {
    this.wanted = true;
    this.attempt = 0;
    this.deadline = Date.now() + GIVE_UP_MS;
    this.showButton();
    this.onPlay(this);
    if (this.off) this.waitForOn();
    else this.connect("Connecting…");
  }

  // The user's stop, or the page's.
  stop(text = "") {
    this.wanted = false;
    this.halt();
    this.say(text);
    this.showButton();
    if (sessionOwner === this) this.releaseSession();
  }

  // Stops for good: the player's elements go.
  dispose() {
    this.stop();
    this.parts.button.removeEventListener("click", this.onButton);
    this.audio.remove();
  }

  // The device's latest status (null when it did not answer: nothing is
  // known, the player goes on as it is).
  update(status) {
    if (!status) return;
    const playlist = status.playlists.get(this.name);
    const port = status.server.port || this.port;
    const moved = port !== this.port;
    this.port = port;
    if (!playlist) {
      if (this.wanted) this.stop("This playlist was deleted.");
      return;
    }
    const title = status.up && playlist.running ? playlist.title || "" : "";
    if (title !== this.title) {
      this.title = title;
      if (this.parts.song) setText(this.parts.song, title ? `Now playing: ${title}` : "");
      if (sessionOwner === this) this.claimSession();
    }
    this.off = !playlist.enabled;
    if (!this.wanted) return;
    if (this.off) {
      this.waitForOn();
      return;
    }
    const live = !!(status.up && playlist.running);
    const back = live && !this.live;
    this.live = live;
    // Somewhere else, or back (on again, or streaming again after it was
    // not): go there now rather than at the next try. Otherwise a waiting
    // retry keeps its wait, whatever the number of refreshes meanwhile.
    if (live && (moved || this.waitingForOn || (back && this.retryTimer))) {
      this.waitingForOn = false;
      this.connect("Reconnecting…");
    }
  }

  // The address of the stream, from the latest port.
  url() {
    return streamUrls(this.port || "8000", this.name).stream;
  }

  connect(text) {
    this.halt();
    this.say(text);
    this.started = false;
    this.audio.src = this.url();
    this.connectTimer = setTimeout(() => this.wanted && !this.started && this.retry(), CONNECT_MS);
    const played = this.audio.play();
    if (played) played.catch((e) => (e.name === "AbortError" ? undefined : this.trouble("error")));
  }

  // Stops the sound and every timer; what the user wants stays.
  halt() {
    clearTimeout(this.retryTimer);
    clearTimeout(this.waitTimer);
    clearTimeout(this.connectTimer);
    this.retryTimer = null;
    this.waitingForOn = false;
    this.try++;
    this.audio.pause();
    if (this.audio.hasAttribute("src")) {
      this.audio.removeAttribute("src");
      this.audio.load();
    }
  }

  // Turned off: the player waits, silent, until it is turned on again.
  waitForOn() {
    if (this.waitingForOn) return;
    this.halt();
    this.waitingForOn = true;
    this.deadline = null;
    this.say("Turned off: it plays again when turned on.");
  }

  // Something went wrong, maybe: the stream has dropped when its playing
  // time stands still. Before it played, only an error counts (a new
  // address empties the element; the try's own deadline covers the rest).
  async trouble(type) {
    if (!this.wanted || this.checking === this.try || this.retryTimer || this.waitingForOn || !this.audio.hasAttribute("src")) return;
    if (!this.started) {
      if (type === "error") this.retry();
      return;
    }
    const token = this.try;
    this.checking = token;
    try {
      const audio = this.audio;
      const before = audio.currentTime;
      await new Promise((resolve) => setTimeout(resolve, STILL_MS));
      // A try begun meanwhile is not this check's to end.
      if (token !== this.try || !this.wanted || this.waitingForOn || this.retryTimer) return;
      if (!audio.paused && !audio.ended && audio.currentTime > before + 1) return;  // it plays on
      this.retry();
    } finally {
      if (this.checking === token) this.checking = null;
    }
  }

  // Tries again after a wait that grows, until the deadline.
  retry() {
    this.halt();
    const now = Date.now();
    if (this.deadline === null) this.deadline = now + GIVE_UP_MS;
    if (now >= this.deadline) {
      this.stop(`The stream of ${quoted(this.name)} did not come back within ${GIVE_UP_MS / 60000} minutes: ` +
        "press Play to try again.");
      return;
    }
    const wait = Math.min(RETRY_FIRST_MS * 2 ** this.attempt, RETRY_MAX_MS);
    this.attempt++;
    this.say("Reconnecting…");
    this.retryTimer = setTimeout(() => {
      this.retryTimer = null;
      if (this.wanted) this.connect("Reconnecting…");
    }, wait);
  }

  say(text) {
    setText(this.parts.state, text);
    this.parts.state.hidden = !text;
  }

  showButton() {
    const button = this.parts.button;
    setText(button, this.wanted ? "Stop" : "Play");
    button.setAttribute("aria-label", `${this.wanted ? "Stop" : "Play"} ${this.name}`);
    button.classList.toggle("secondary", this.wanted);
  }

  // What a phone shows on its lock screen: the song, the playlist, and
  // play and stop.
  claimSession() {
    if (!("mediaSession" in navigator)) return;
    sessionOwner = this;
    try {
      navigator.mediaSession.metadata = new MediaMetadata({ title: this.title || this.name, artist: this.name });
      navigator.mediaSession.setActionHandler("play", () => this.play());
      for (const action of ["pause", "stop"]) navigator.mediaSession.setActionHandler(action, () => this.stop());
    } catch {
      // A browser without some of these actions: the player works without.
    }
  }

  releaseSession() {
    sessionOwner = null;
    try {
      navigator.mediaSession.metadata = null;
    } catch {
      // Nothing to clear.
    }
  }
}

// ------------------------------------------------- the main page's player

// The player open now, and the control that opened it.
const main = { player: null, opener: null };

export function setUpPlayer() {
  $("player-close").addEventListener("click", closePlayer);
}

// The playlist the player plays, null when it is closed.
export const playerName = () => (main.player ? main.player.name : null);

// Plays the stream of `name` on `port` (the latest status's port once one
// comes); false when there is no port to play. `opener` gets the focus back
// when the player closes.
export function openPlayer(name, port, opener = null, status = null) {
  if (!port) return false;
  if (main.player) main.player.dispose();
  setText($("player-name"), name);
  const { m3u } = streamUrls(port, name);
  $("player-m3u").href = m3u;
  $("player-m3u").setAttribute("aria-label", `Playlist file of ${name} for a music player (.m3u)`);
  setText($("player-song"), "");
  $("player").hidden = false;
  // The control that opened it: the one given, or the one with the focus.
  main.opener = opener || document.activeElement;
  main.player = new LivePlayer($("player"), { button: $("player-toggle"), state: $("player-state"), song: $("player-song") }, name);
  main.player.port = String(port);
  if (status) main.player.update(status);
  main.player.play();
  return true;
}

export function closePlayer() {
  if (!main.player) return;
  main.player.dispose();
  main.player = null;
  $("player").hidden = true;
  const opener = main.opener;
  main.opener = null;
  if (opener && opener.isConnected && document.activeElement && (document.activeElement === document.body ||
      $("player").contains(document.activeElement))) {
    opener.focus();
  }
}

// The device's latest status: the player follows its port and its title.
export function updatePlayer(status) {
  if (!main.player) return;
  main.player.update(status);
  if (status) {
    const { m3u } = streamUrls(main.player.port, main.player.name);
    if ($("player-m3u").getAttribute("href") !== m3u) $("player-m3u").href = m3u;
  }
}
