// tarnwick ACTION TARGET: starts or stops all streaming or one playlist's
// source client, rescans a playlist's folders; "tarnwick status" tells how
// the streams are and "tarnwick check" brings them in line with the
// settings. When the web program runs it, its standard output is /dev/null;
// only status writes there. Its messages, on standard error, are the two
// argument errors; from status and check, the generated files that disagree
// with the stored port or password; a root run that cannot become the config
// directory's owner; a lock held by another for the whole wait; and a
// recorded change that waits, with why.
// "tarnwick as-owner DIR PROGRAM ARG..." runs a program in a folder as its
// owner, for the installer's scripts (controller/owner_rights.h).

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "controller/health.h"
#include "controller/owner_rights.h"
#include "controller/process_control.h"
#include "lib/atomic_file.h"
#include "lib/change.h"
#include "lib/command_lock.h"
#include "lib/config_dir.h"
#include "lib/process_table.h"
#include "lib/stream_configs.h"

namespace {

void PrintUsage(const char* program) {
  std::fputs("ERROR: too few arguments\n\n", stderr);
  std::fputs("tarnwick: start/stop handler for Wavelorn\n", stderr);
  std::fprintf(stderr, "Usage: %s action target\n", program);
  std::fputs("\n", stderr);
  std::fputs("       action: start/stop\n", stderr);
  std::fputs("       target: all/specified\n", stderr);
}

// The streams follow a finished change through this program's own functions.
class DirectControl final : public StreamControl {
 public:
  void Stop(std::string_view target) override {
    if (target != "all") return stop_playlist(target);
    stop_all_playlists();
    kill_server();
  }
  void Start(std::string_view target) override {
    if (target != "all") {
      start_playlist(target);
      return;
    }
    start_all_streams();
  }
};

}  // namespace

int main(int argc, char** argv) {
  // The installer's scripts: a command in a folder, as the folder's owner.
  if (argc >= 4 && std::strcmp(argv[1], "as-owner") == 0) return exec_as_owner(argv[2], argv + 3);
  // "status" and "check" need no target; every other action does.
  const bool bare = argc == 2 && (std::strcmp(argv[1], "status") == 0 || std::strcmp(argv[1], "check") == 0);
  if (argc < 3 && !bare) {
    PrintUsage(argc > 0 ? argv[0] : "tarnwick");
    return 1;
  }
  const std::string_view action = argv[1];
  const std::string_view target = bare ? "all" : argv[2];  // arguments after the target are ignored
  const bool all = target == "all";
  if (action != "start" && action != "stop" && action != "status" && action != "check" && action != "rescan") {
    std::fprintf(stderr, "ERROR: %s - unknown action\n", argv[1]);
    return 1;
  }

  // Nothing this program or the streams it starts make is for other users:
  // the files hold the password, and a lock others could take stalls us.
  ::umask(kProgramUmask);
  pin_conf_dir();
  // Run by root (the boot script, cron) in a config directory of another
  // user's: everything from here on, in the config directory, the log
  // folder and the music folders, is done as that user, the stream user,
  // who owns what is there and starts the streams anyway. Links planted
  // there then reach nothing that user could not reach.
  if (::geteuid() == 0) {
    gid_t group;
    const uid_t user = stream_user(&group);
    // Files of ours that root made before (an older version's lock, 0644)
    // are given to the owner first, private: as the owner they could not
    // be changed, and others could go on taking the lock. Only files with
    // one name, never through a link.
    if (user != 0 && action != "status") make_config_files_private();
    if (user != 0 && !become_user(user, group)) {
      std::fprintf(stderr, "ERROR: cannot become the config directory's owner\n");
      return 1;
    }
  }
  // A question: no lock, nothing changes.
  if (action == "status") return print_status();

  // Actions run one after another, and after any command of the web page:
  // one that finds the lock held by another for the whole wait does
  // nothing at all (cron's check tries again a minute later), except a
  // stop: streams must stay stoppable (a shutdown, an uninstall), and a
  // stop writes no file. Where no lock can be had by anyone (a read-only
  // volume without a lock file) the streams are still started and stopped
  // as asked, unguarded, but nothing is rescanned; where the directory takes
  // files but the lock file cannot be opened (something else in its place),
  // nothing but a stop is done. A change that a failed or killed run left
  // recorded is finished first; while it cannot be, no rescan adds a change
  // of its own.
  CommandLock lock = CommandLock::Acquire();
  if (lock.state() == CommandLock::State::kBusy && action != "stop") {
    std::fprintf(stderr, "tarnwick: another command holds the command lock; nothing done\n");
    return kCommandLockBusy;
  }
  // (A rescan without the lock exits 1 below, as always.)
  if (lock.state() == CommandLock::State::kFailed && (action == "start" || action == "check") &&
      ::access(get_conf_dir().c_str(), W_OK | X_OK) == 0) {
    std::fprintf(stderr, "tarnwick: the command lock %s/%s cannot be opened; nothing done\n", get_conf_dir().c_str(),
                 kLockName);
    return kCommandLockBusy;
  }
  DirectControl streams;
  WaitingChange waiting;
  const bool no_change_waiting = !lock.held() || lock.inherited() || finish_recorded_change(streams, &waiting);
  if (!no_change_waiting) {
    // Tried and still waiting; the running streams were left alone.
    std::fprintf(stderr, "tarnwick: change %s %s waiting: %s\n", waiting.action.c_str(), waiting.argument.c_str(),
                 waiting.reason.c_str());
  }
  if (!lock.held() && action == "stop") std::fprintf(stderr, "tarnwick: stopping without the command lock\n");
  if (action == "rescan" && (!lock.held() || !no_change_waiting)) return 1;

  if (action == "start") {
    if (all) {
      // The boot runs this first. A password stored since the files were
      // generated (the installer stores one) reaches them here, before any
      // stream starts, so that server and clients agree on it; a guarded
      // run only, since it rewrites files, and not beside a recorded change
      // still to be finished. Every client is then replaced with the
      // server, so none runs on old values.
      // Files made before the programs made them private (the installer's
      // settings, an older version's configs) become so here. Nothing is
      // written from settings that cannot be read: the files stay as they
      // are, and check reports them while they disagree.
      if (lock.held()) make_config_files_private();
      if (lock.held() && no_change_waiting) sync_generated_configs();
      start_all_streams();
    } else {
      start_playlist(target);
    }
  } else if (action == "stop") {
    if (all) {
      stop_all_playlists();
      kill_server();
    } else {
      stop_playlist(target);
    }
  } else if (action == "check") {
    return check_streams(lock.held() && no_change_waiting);
  } else if (action == "rescan") {
    return rescan(target);
  }
  return 0;
}
