#ifndef CONTROLLER_LOG_BOUND_H_
#define CONTROLLER_LOG_BOUND_H_

// The streams log into one folder, on a device often a small RAM disk. The
// server keeps each of its three logs within the logsize of icecast.xml (it
// renames a full one to NAME.old itself). The source clients all append to
// one ices.log and never rotate it, so check bounds that one: beyond
// kSourceLogLimit its last kSourceLogLimit bytes become ices.log.old and the
// log is emptied in place (the clients keep appending to it).

#include <sys/types.h>

#include <string>

inline constexpr char kStreamLogDir[] = "/var/log/wavelorn";
inline constexpr off_t kSourceLogLimit = 512 * 1024;

// Trims `dir`/ices.log as above when it is a regular file (not a link) over
// the limit, with a single name (no hard link elsewhere) and owned by the
// folder's owner. Run as root, it trims as the folder's owner (the clients
// and the server write there as that user, who may plant any link): it
// reaches no file the owner could not. Returns true when it trimmed; false
// when there was nothing to do or it could not (the log then stays as it was, or, when only the copy
// failed, is emptied all the same: a full log folder is the worse fault).
bool bound_source_client_log(const std::string& dir = kStreamLogDir);

#endif  // CONTROLLER_LOG_BOUND_H_
