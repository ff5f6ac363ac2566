// Ending a process's session on a database directory after the interpreter
// has freed its objects, for the exit handler of `brindle.open`.
//
// The handler runs before the interpreter frees its objects. A Database
// still alive then (a global, most often) writes at its destruction: the
// records of an open transaction and their queued backlink changes. Ended
// at that moment, the session would tell the next opener that all is well
// while those writes were still to come, and a kill among them would leave
// records whose backlinks are missing and nothing to recover them. So the
// handler hands such a session
// to end_session_after_cleanup, which runs after the interpreter's cleanup,
// with no Python left to call.
//
// A Database the cleanup never frees (the globals of a module stay alive
// while a daemon thread runs one of its functions) writes nothing more; its
// session ends all the same, as it did at the handler: keeping it would make
// every next open of such a common program recover. Only an open
// transaction of such a Database that had already written records loses
// their backlink changes, as os._exit would.
//
// The marker's protocol is the package's (one token per line; the last
// user to leave removes the marker when no line is left); this is its last
// step, written without Python.
#pragma once

#include <sys/types.h>

#include <string>

namespace brindle::tools {

struct PendingSessionEnd {
  std::string root;         // the directory's real path
  std::string lock_path;    // the guard: held exclusively while the marker changes
  std::string marker_path;  // the marker, holding one token per session
  std::string token;        // this process's line in the marker; empty for none
  int users_fd;             // a copy of this process's users lock descriptor; closed here
  pid_t owner;              // the process that asked; a forked child's copy does nothing
};

// Removes the token from the marker, and the marker itself when this is the
// last user and no line is left. Any failure, the guard held past a few
// seconds included, leaves the marker as it is: the next open recovers.
void end_session(const PendingSessionEnd& session);

}  // namespace brindle::tools
