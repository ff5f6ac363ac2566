// Ending a process's session on a database directory once everything the
// process holds on it is closed, for the exit handler of `brindle.open`.
//
// The handler runs before the interpreter frees its objects. A Database
// still alive then (a global, most often) writes at its destruction: the
// records of an open transaction and their queued backlink changes. Ended
// at that moment, the session would tell the next opener that all is well
// while those writes were still to come, and a kill among them, or a
// Database that is never freed, would leave records whose backlinks are
// missing and nothing to recover them. So the handler hands such a session
// to end_session_after_cleanup, which runs after the interpreter's cleanup,
// with no Python left to call.
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

// True when a data or backlink file directly in root is open in this process.
bool store_files_open_here(const std::string& root);

// Removes the token from the marker, and the marker itself when this is the
// last user and no line is left, unless a data or backlink file of root is
// still open here (an object never freed may still write: the session then
// stays, and the next open recovers). Any failure, the guard held past a
// few seconds included, leaves the marker as it is, with the same outcome.
void end_session(const PendingSessionEnd& session);

}  // namespace brindle::tools
