// The main page's server section: the streaming server's state line, its
// port, and the other names the device is opened by.
import {
  $, quoted, setText, setAttr, age, request, first, res, fetchStatus, RequestError, CHANGE_TIMEOUT_MS,
} from "./device.js";
import { showError, showInfo, fieldNote, setUnavailable, cutText, ask } from "./messages.js";
import { change, refusalReason, accessProblem, waitingChange, isWorking, listenersIn } from "./changes.js";

export function setUpServer() {
  $("port-form").addEventListener("submit", setPort);
  $("port").addEventListener("input", () => fieldNote("port", "port-note", null));
  $("name-form").addEventListener("submit", addHostName);
  $("host-name").addEventListener("input", () => fieldNote("host-name", "host-name-note", null));
}

export async function loadPort() {
  try {
    const doc = await request({ cmd: "GUI_ice_get" });
    const port = first(doc, "port");
    if (port !== null) $("port").value = port;
    return port;
  } catch (e) {
    if (!(e instanceof RequestError)) throw e;
    showError(`The server's port could not be read: ${e.message}.`);
    return null;
  }
}

function portProblem(port) {
  if (port === "") return "Give a port: a number from 1 to 65535.";
  if (!/^[0-9]+$/.test(port)) return `${quoted(port)} is not a port: a port is a number from 1 to 65535, digits only.`;
  const value = Number(port);
  if (port.length > 5 || value < 1 || value > 65535) return `${port} is not a port: ports run from 1 to 65535.`;
  return null;
}

// What to know before moving to `port`: the page's own port, a port kept
// for the system's services.
export function portWarnings(port, pageUrl = location) {
  const value = Number(port);
  const own = Number(pageUrl.port || (pageUrl.protocol === "https:" ? 443 : 80));
  const warnings = [];
  if (value === own) {
    warnings.push(`This page itself is opened on port ${port}: the streaming server cannot share it with the device's web pages.`);
  } else if (value < 1024) {
    warnings.push(`Ports under 1024 are kept for the device's own services (its web pages, file sharing…); one of them may hold ${port}.`);
  }
  return warnings;
}

async function setPort(event) {
  event.preventDefault();
  const port = $("port").value.trim();
  const problem = portProblem(port);
  fieldNote("port", "port-note", problem);
  if (problem) {
    $("port").focus();
    return;
  }
  if ($("port-save").getAttribute("aria-disabled") === "true" || isWorking()) {
    showError($("port-save").dataset.reason || "Another change is still running; wait until it has finished.");
    return;
  }
  const status = await fetchStatus();
  // The port in use already, with a server listening on it: nothing to send.
  if (status && status.up && Number(status.server.port) === Number(port)) {
    showInfo(`The streaming server is on port ${Number(port)} already: nothing was changed.`);
    return;
  }
  const listeners = listenersIn(status);
  const warnings = portWarnings(port);
  const yes = await ask(`Move the streaming server to port ${port}?`,
    `${warnings.length ? `${warnings.join(" ")} ` : ""}The server and every stream restart.${cutText(listeners)}`,
    "Change port", $("port-save"));
  if (!yes) return;
  change({ action: "port", name: "", label: `Moving the streaming server to port ${port}…` },
    `The port was not changed to ${port}`, async () => {
      const doc = await request({ cmd: "GUI_ice_set", f_port: port }, CHANGE_TIMEOUT_MS);
      if (res(doc) === "1") {
        showInfo(`The streaming server listens on port ${port}.`);
      } else {
        const reason = await refusalReason();
        showError(
          reason
            ? `The port was not changed to ${port}: ${reason}.`
            : `No streaming server of the device listens on port ${port}: another program may be using it. ` +
                "The port stays set and the device retries every minute; choose another port to try again."
        );
      }
      await loadPort();
    });
}

// A name as the device takes it: dot-separated labels of letters, digits
// and "-", not an address.
function hostNameProblem(name) {
  if (name === "") return "Give the name, as the browser's address bar shows it (without http:// and port).";
  const bare = name.replace(/\.$/, "");
  const labels = bare.split(".");
  if (bare.length > 253 || !labels.every((label) => /^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$/.test(label))) {
    return `${quoted(name)} is not a name: letters, digits, “-” and dots only, as in nas.fritz.box.`;
  }
  if (/^[0-9]+$/.test(labels[labels.length - 1]) || bare.toLowerCase() === "localhost") {
    return `${quoted(name)} is an address, which the device takes already.`;
  }
  return null;
}

function addHostName(event) {
  event.preventDefault();
  const name = $("host-name").value.trim();
  const problem = hostNameProblem(name);
  fieldNote("host-name", "host-name-note", problem);
  if (problem) {
    $("host-name").focus();
    return;
  }
  change({ action: "name", name: "", label: `Adding the name ${quoted(name)}…` },
    `The name ${quoted(name)} was not added`, async () => {
      const doc = await request({ cmd: "GUI_ice_allow_host", f_host: name }, CHANGE_TIMEOUT_MS);
      if (res(doc) === "1") {
        $("host-name").value = "";
        showInfo(`The page takes changes when opened as ${quoted(name)} too.`);
        return;
      }
      const reason = await refusalReason();
      showError(`The name ${quoted(name)} was not added: ${reason || "the device keeps at most 16 names, or could not store it"}.`);
    });
}

// The server's state line and what holds its controls back. `status`: the
// fresh status, or null; `statusAt`: when the last one came; `answered`:
// whether the device answered anything yet.
export function renderServer(status, statusAt, answered, busyReason) {
  setUnavailable($("port-save"), busyReason);
  setUnavailable($("host-name-save"), busyReason);
  const line = $("server-state");
  let kind;
  let text;
  if (status) {
    const { running, port, listening } = status.server;
    if (running && listening) [kind, text] = ["live", `Streaming server running on port ${port}.`];
    else if (running) [kind, text] = ["down", `Streaming server running, but not listening on port ${port}: another program may hold the port.`];
    else [kind, text] = ["down", `Streaming server not running (port ${port}).`];
    if (status.busy) text += " A change is running on the device.";
    if (!status.writable) text += " The device cannot write its settings folder.";
    const waiting = waitingChange(status);
    if (waiting) {
      kind = "down";
      text += ` A change waits: ${waiting}.`;
    }
  } else if (statusAt) {
    [kind, text] = ["unknown", `Streaming server: unknown, the device did not answer (last answer ${age(statusAt)}).`];
  } else {
    [kind, text] = ["unknown", answered ? "Streaming server: unknown, the device did not tell." : "Asking the device…"];
  }
  setAttr(line, "class", `server-state ${kind}`);
  setText(line, text);
  // Shown from the first status on, not only after a refusal.
  if (status) {
    const access = accessProblem(status);
    setText($("access-note"), access ? `Changes cannot be made here: ${access}.` : "");
    $("access-note").hidden = !access;
    const names = status.allowedHosts.length
      ? ` Names added: ${status.allowedHosts.map(quoted).join(", ")}.` : "";
    setText($("host-names"), "The page takes changes when opened by the device's address or its own name; add any " +
      `other name it is opened by (a router's name for it, for example).${names}`);
  }
}
