// The operating tools that change a database directory. Each writes new
// files beside the old ones, syncs them, renames them into place and syncs
// the directory, so a crash leaves the old state or the new one. They assume
// that no program has the database open; the Python layer holds the tools'
// lock around each call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "tools/database_files.h"
#include "tools/tool_result.h"

namespace brindle::tools {

struct TornTail {
  std::string file;
  std::string side_file;
  std::uint64_t offset;  // where the whole records end: the file's new length
  std::uint64_t bytes;   // how many bytes were moved aside
};

// Lengths to which files are known to frame as whole records, by file name
// (as in the directory): their scans start there. A length past the end of
// its file is ignored.
using WholePrefixes = std::unordered_map<std::string, std::uint64_t>;

// Checks the framing of every data and backlink file directly in root. An
// incomplete last record is appended, behind a one-line header naming the
// file and offset, to "<file>.torn", which is synced; then the file is cut
// back to its last whole record and synced. Other damage is left alone.
// `floors` are lengths files had, on the same inode, when they last ended on
// a whole record: an interrupted append can only tear what lies past them,
// so a file torn below its floor, or now shorter than it, is damaged, and
// the call fails naming it before anything is moved.
ToolResult<std::vector<TornTail>> move_torn_tails(const std::string& root, const WholePrefixes& known = {},
                                                  const WholePrefixes& floors = {});

// The names of the data and backlink files that frame as whole records from
// their known prefix to their end. Changes nothing.
ToolResult<std::vector<std::string>> whole_files(const std::string& root, const WholePrefixes& known);

struct Rebuilt {
  std::uint64_t files = 0;
  std::uint64_t entries = 0;
  std::uint64_t skipped_records = 0;  // live records that do not decode (their links are unknown)
};
// Rewrites every backlink file from the links the live records hold;
// backlink files no record points into are emptied. Entries the old file
// holds keep its order; the others follow it in the order found
// (collections in name order, records in file order), as does everything
// when the old file does not read whole.
ToolResult<Rebuilt> rebuild_backlinks(const std::string& root, Progress& progress);

// Rewrites the data files (only live records) and backlink files (only live
// entries, each key's entries in order) of the named collections, or all.
// Returns the bytes freed. Damaged files are refused: repair them first.
ToolResult<std::uint64_t> compact(const std::string& root,
                                  const std::optional<std::vector<std::string>>& collections,
                                  Progress& progress);

// Adds the records of a dump to the database (creating the directory), then
// rebuilds the backlink files. `source` fills its argument with the next
// chunk of text and returns false at the end. Returns the records loaded.
ToolResult<std::uint64_t> load(const std::string& root, const std::function<ToolResult<bool>(std::string&)>& source,
                               Progress& progress);

// Syncs every regular file directly in root, then root itself.
ToolResult<void> sync_database(const std::string& root);

// Removes the ".rewrite" files an interrupted tool left behind.
ToolResult<std::vector<std::string>> remove_leftovers(const std::string& root);

}  // namespace brindle::tools
