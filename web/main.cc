// Process entry of stream_admin: decode the request, run cgiMain once. Writes
// nothing itself.

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "lib/atomic_file.h"
#include "lib/config_dir.h"
#include "web/cgi.h"

int main() {
  cgi::SetFormFields(cgi::ParseRequest(std::getenv("REQUEST_METHOD"), std::getenv("QUERY_STRING"),
                                       std::getenv("CONTENT_TYPE"), std::getenv("CONTENT_LENGTH"),
                                       stdin));
  cgiOut = stdout;
  // Nothing this program makes is for other users: the files hold the
  // password, and a lock others could take stalls every command.
  ::umask(kProgramUmask);
  // One request works in one config directory, however the pointer changes.
  pin_conf_dir();
  cgiMain();
  return 0;
}
