// The files of a database directory as the operating tools see them, and the
// small file-system steps they share: read-only opening, progress reporting,
// replacement files that are swapped in whole, and syncing.
//
// A replacement is written to "<file>.rewrite" beside its destination,
// synced, and renamed over it; the caller then syncs the directory. A crash
// at any point leaves either the old file or the new one in place, plus at
// most a stray ".rewrite" file that the next rewriting tool removes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/file.h"
#include "tools/tool_result.h"

namespace brindle::tools {

struct DbFile {
  std::string stem;  // the collection name
  std::string path;
  std::uint64_t size;
};

// A data or backlink file's name held by something the store cannot open:
// a directory, a FIFO, a device, a dangling symbolic link.
struct UnusableFile {
  std::string stem;
  std::string path;
  bool data;        // a .brd name, else a .brl one
  std::string why;  // "a directory", or the error that stat gave
};

struct DbFiles {
  std::vector<DbFile> data;       // <name>.brd, sorted by name
  std::vector<DbFile> backlinks;  // <name>.brl, sorted by name
  std::vector<UnusableFile> unusable;  // in name order
  std::vector<std::string> side_files;  // names ending in ".torn" (torn tails moved aside)
  std::vector<std::string> leftovers;   // <file>.brd.rewrite or .brl.rewrite (an interrupted rewrite)
};

inline constexpr std::string_view kTornSuffix = ".torn";
inline constexpr std::string_view kRewriteSuffix = ".rewrite";

// The path of a file made beside a data or backlink file: "<file><suffix>",
// or, when the file's name is too long to take the suffix (a collection
// name near the longest the store accepts), a shorter name that keeps the
// file's extension and the suffix, told apart from other long names by a
// hash of the whole name.
std::string side_path(const std::string& path, std::string_view suffix);

// The regular files directly in root, and the data and backlink names that
// are not regular files. A missing root is an error.
ToolResult<DbFiles> list_files(const std::string& root);

// The first unusable file that `matches` picks, as an error that names it
// (the store's open fails on it); success when there is none.
ToolResult<void> refuse_unusable(const DbFiles& files, const std::function<bool(const UnusableFile&)>& matches);

// Opens path read-only (never blocking on a FIFO; anything but a regular file
// is refused) and returns it with its length.
ToolResult<std::pair<File, std::uint64_t>> open_read(const std::string& path);

// "<path>: <error text>".
std::string file_error(const std::string& path, const IoError& error);

// Counts bytes worked through and hands them to a reporter in steps, so a
// progress bar costs nothing per record. A reporter that returns false (its
// caller was interrupted) stops the work.
class Progress {
 public:
  using Reporter = std::function<bool(std::uint64_t bytes)>;
  explicit Progress(Reporter reporter) : reporter_(std::move(reporter)) {}
  // False once the reporter asked to stop.
  bool advance(std::uint64_t bytes);
  bool flush();
  bool stopped() const noexcept { return stopped_; }

 private:
  static constexpr std::uint64_t kStep = 4 << 20;
  Reporter reporter_;
  std::uint64_t pending_ = 0;
  bool stopped_ = false;
};

inline std::string interrupted() { return "interrupted"; }

// A new file written beside `destination`, buffered, then synced and swapped
// in by install(). Dropped before install(), it removes itself.
class ReplacementFile {
 public:
  static ToolResult<ReplacementFile> create(std::string destination);
  ReplacementFile(ReplacementFile&& other) noexcept;
  ReplacementFile& operator=(ReplacementFile&&) = delete;
  ~ReplacementFile();

  ToolResult<void> append(std::string_view bytes);
  // Writes out the buffer and syncs the file.
  ToolResult<void> finish();
  // Renames the finished file over the destination (sync the directory after).
  ToolResult<void> install();
  std::uint64_t size() const noexcept { return size_; }
  const std::string& destination() const noexcept { return destination_; }

 private:
  ReplacementFile(std::string destination, int fd)
      : destination_(std::move(destination)), temporary_(side_path(destination_, kRewriteSuffix)), fd_(fd) {}
  ToolResult<void> write_out();

  static constexpr std::size_t kBuffer = 1 << 20;
  std::string destination_;
  std::string temporary_;
  int fd_;
  std::string buffer_;
  std::uint64_t size_ = 0;
  bool installed_ = false;
};

// fsync of one file or directory.
// missing_ok: a file removed since it was listed (another program's marker
// at its exit, a tool's side file) has nothing left to force; syncing its
// directory makes the removal lasting.
ToolResult<void> sync_path(const std::string& path, bool missing_ok = false);

// Appends `header` and then bytes [from, from + n) of `source` to <path>
// (created when missing), copying in bounded chunks, and syncs it. The file
// takes the mode and owner of `like`, the file the bytes come from: they are
// its data, and stay as private as it is.
ToolResult<void> append_and_sync(const std::string& path, std::string_view header, const File& source,
                                 std::uint64_t from, std::uint64_t n, const std::string& like);

}  // namespace brindle::tools
