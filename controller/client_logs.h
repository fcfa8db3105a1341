#ifndef CONTROLLER_CLIENT_LOGS_H_
#define CONTROLLER_CLIENT_LOGS_H_

// A source client started as root (the stream user is root) works in the log
// folder (the BaseDirectory of its ices.conf-NAME) and opens ices.log and
// ices.cue there by name, following links, and rewrites ices.cue on every
// track. The server writes its logs in the same folder as nobody, so the
// boot script keeps the folder root's, in the server's group, sticky (1770):
// the server creates and renames its own logs, and no one but root removes
// or replaces root's. What root's client opens must then already be root's
// own before it starts, or a planted "ices.cue -> /etc/shadow" is rewritten.

#include <optional>
#include <string>

#include "controller/log_bound.h"

// Makes sure `dir`/ices.log and `dir`/ices.cue are regular files of root's
// with one name each, so that a client run as root writes only those: a name
// that is anything else (a link, a hard link, a file of another user's, a
// FIFO, an empty folder) is removed and an empty file created in its place
// (O_EXCL, mode 0600); a good file keeps what it holds. Refused when `dir` is
// a link or not a folder, is not root's, or others may write to it without
// the sticky bit (anyone could then swap the files after the check).
// Returns nothing when the client may start (also when `dir` does not exist:
// only root can make it under /var/log), else why it may not.
std::optional<std::string> prepare_root_client_logs(const std::string& dir = kStreamLogDir);

#endif  // CONTROLLER_CLIENT_LOGS_H_
