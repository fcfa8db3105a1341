// Process entry of stream_admin: decode the request, run cgiMain once. Writes
// nothing itself.

#include <cstdio>
#include <cstdlib>

#include "lib/config_dir.h"
#include "web/cgi.h"

int main() {
  cgi::SetFormFields(cgi::ParseRequest(std::getenv("REQUEST_METHOD"), std::getenv("QUERY_STRING"),
                                       std::getenv("CONTENT_TYPE"), std::getenv("CONTENT_LENGTH"),
                                       stdin));
  cgiOut = stdout;
  // One request works in one config directory, however the pointer changes.
  pin_conf_dir();
  cgiMain();
  return 0;
}
