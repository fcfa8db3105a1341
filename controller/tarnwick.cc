// tarnwick ACTION TARGET: starts or stops all streaming, or one playlist's
// source client. It inherits the web program's response stream as its
// standard output, so it never writes there; its only messages are the two
// argument errors, on standard error.

#include <cstdio>
#include <cstring>

#include "controller/process_control.h"
#include "lib/command_lock.h"
#include "lib/config_dir.h"

namespace {

void PrintUsage(const char* program) {
  std::fputs("ERROR: too few arguments\n\n", stderr);
  std::fputs("tarnwick: start/stop handler for Wavelorn\n", stderr);
  std::fprintf(stderr, "Usage: %s action target\n", program);
  std::fputs("\n", stderr);
  std::fputs("       action: start/stop\n", stderr);
  std::fputs("       target: all/specified\n", stderr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    PrintUsage(argc > 0 ? argv[0] : "tarnwick");
    return 1;
  }
  const char* action = argv[1];
  const char* target = argv[2];  // arguments after the target are ignored
  bool all = std::strcmp(target, "all") == 0;
  if (std::strcmp(action, "start") != 0 && std::strcmp(action, "stop") != 0) {
    std::fprintf(stderr, "ERROR: %s - unknown action\n", action);
    return 1;
  }

  pin_conf_dir();
  // Actions run one after another, and after any command of the web page.
  // A controller that cannot have the lock still acts (streams must be
  // stoppable whatever state the config directory is in), unguarded.
  CommandLock lock = CommandLock::Acquire();
  if (lock.held() && !lock.inherited() && complete_interrupted_command(stop_playlist)) {
    // A port change was cut short: every stream restarts on the stored port.
    stop_all_playlists();
    kill_server();
    if (!(all && std::strcmp(action, "start") == 0)) {
      start_server();
      start_all_playlists();
    }
  }

  if (std::strcmp(action, "start") == 0) {
    if (all) {
      start_server();
      start_all_playlists();
    } else {
      start_playlist(target);
    }
  } else if (std::strcmp(action, "stop") == 0) {
    if (all) {
      stop_all_playlists();
      kill_server();
    } else {
      stop_playlist(target);
    }
  }
  return 0;
}
