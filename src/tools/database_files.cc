#include "tools/database_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "db/directory.h"
#include "types/hash.h"
#include "types/utf8.h"

namespace brindle::tools {

namespace {

// The stem of "<stem>.<extension>": the last dot, a UTF-8 stem. Unlike the
// store's open, which replays no file named just ".brd", the tools take that
// name for the collection "": the store accepts the name and opens its file
// on first use, so its records and links are as real as any.
bool stem_of(std::string_view name, std::string_view extension, std::string& stem) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || name.substr(dot + 1) != extension) return false;
  if (!is_valid_utf8(name.substr(0, dot))) return false;
  stem.assign(name.substr(0, dot));
  return true;
}

// Only names the tools make: any other file that happens to end in
// ".rewrite" is not ours to remove.
bool is_replacement_name(std::string_view name) {
  if (!name.ends_with(kRewriteSuffix)) return false;
  const std::string_view replaced = name.substr(0, name.size() - kRewriteSuffix.size());
  return replaced.ends_with(".brd") || replaced.ends_with(".brl");
}

std::string os_error(const std::string& path, int code) { return file_error(path, IoError::from_errno(code)); }

std::string kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a file of another kind";
}

}  // namespace

ToolResult<void> refuse_unusable(const DbFiles& files, const std::function<bool(const UnusableFile&)>& matches) {
  for (const UnusableFile& file : files.unusable) {
    if (matches(file)) {
      return tool_failure(file.path + ": not a regular file (" + file.why +
                          "), which the store cannot open; check shows the damage");
    }
  }
  return {};
}

std::string file_error(const std::string& path, const IoError& error) { return path + ": " + error.to_string(); }

std::string side_path(const std::string& path, std::string_view suffix) {
  const std::size_t slash = path.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  const std::string_view name = std::string_view(path).substr(base);
  if (name.size() + suffix.size() <= NAME_MAX) return path + std::string(suffix);
  const std::string_view extension = name.substr(name.size() - 4);  // ".brd" or ".brl"
  char digest[16];
  const std::uint64_t h = hash_bytes(name, 0);
  for (std::size_t i = 0; i < sizeof digest; ++i) digest[i] = "0123456789abcdef"[(h >> (60 - 4 * i)) & 0xF];
  // Cut at a character boundary, so the name stays UTF-8 like the original.
  std::size_t keep = NAME_MAX - suffix.size() - extension.size() - 1 - sizeof digest;
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  std::string side = path.substr(0, base);
  side.append(name.substr(0, keep)).append("~").append(digest, sizeof digest);
  side.append(extension).append(suffix);
  return side;
}

ToolResult<DbFiles> list_files(const std::string& root) {
  auto names = list_directory(root);
  if (!names) return tool_failure(file_error(root, names.error()));
  std::sort(names->begin(), names->end());
  DbFiles files;
  for (const std::string& name : *names) {
    std::string path = join_path(root, name);
    struct stat st;
    const int error = ::stat(path.c_str(), &st) == 0 ? 0 : errno;
    std::string stem;
    if (error != 0 || !S_ISREG(st.st_mode)) {
      // The store opens every data file at its open and a backlink file on
      // first use, and fails on one of these: not to be passed over.
      const bool data = stem_of(name, "brd", stem);
      if (data || stem_of(name, "brl", stem)) {
        files.unusable.push_back({std::move(stem), std::move(path), data,
                                  error != 0 ? IoError::from_errno(error).to_string() : kind_of(st.st_mode)});
      }
      continue;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (stem_of(name, "brd", stem)) {
      files.data.push_back({std::move(stem), std::move(path), size});
    } else if (stem_of(name, "brl", stem)) {
      files.backlinks.push_back({std::move(stem), std::move(path), size});
    } else if (name.ends_with(kTornSuffix)) {
      files.side_files.push_back(name);
    } else if (is_replacement_name(name)) {
      files.leftovers.push_back(name);
    }
  }
  // By collection name, not file name: "a.brd" sorts after "a b.brd" and
  // "a-b.brd", since '.' sorts after ' ' and '-'.
  auto by_stem = [](const DbFile& a, const DbFile& b) { return a.stem < b.stem; };
  std::sort(files.data.begin(), files.data.end(), by_stem);
  std::sort(files.backlinks.begin(), files.backlinks.end(), by_stem);
  return files;
}

ToolResult<std::pair<File, std::uint64_t>> open_read(const std::string& path) {
  // Only a regular file, as the store opens it: a FIFO or a device reads as
  // an empty file, and a key looked up there would be reported missing.
  auto file = File::open_store_file(path, O_RDONLY, /*create=*/false);
  if (!file) return tool_failure(file_error(path, file.error()));
  auto size = file->size();
  if (!size) return tool_failure(file_error(path, size.error()));
  return std::pair<File, std::uint64_t>(std::move(*file), *size);
}

bool Progress::advance(std::uint64_t bytes) {
  pending_ += bytes;
  if (pending_ >= kStep) return flush();
  return !stopped_;
}

bool Progress::flush() {
  if (!stopped_ && pending_ > 0 && reporter_ && !reporter_(pending_)) stopped_ = true;
  pending_ = 0;
  return !stopped_;
}

ToolResult<ReplacementFile> ReplacementFile::create(std::string destination) {
  // The rename would replace a symbolic link itself, leaving its target
  // stale; and a replacement keeps the mode and owner of the file it
  // replaces (private data stays private, and a rewrite run by root leaves
  // files their owner can still open).
  struct stat replaced;
  const bool replaces = ::lstat(destination.c_str(), &replaced) == 0;
  if (replaces && S_ISLNK(replaced.st_mode)) {
    return tool_failure(destination + ": a symbolic link; the tools rewrite only regular files");
  }
  std::string temporary = side_path(destination, kRewriteSuffix);
  // Anything but a regular file at the temporary name (the tools remove only
  // their own leftovers) is refused and left where it is: a FIFO would block
  // the open for ever, and a device would take the records and then be
  // renamed over the file they came from.
  const auto not_regular = [&] {
    return tool_failure(temporary + ": not a regular file; move it away and retry");
  };
  struct stat existing;
  if (::lstat(temporary.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) return not_regular();
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return tool_failure(os_error(temporary, errno));
  struct stat opened;
  if (::fstat(fd, &opened) != 0) {
    const int error = errno;
    ::close(fd);
    return tool_failure(os_error(temporary, error));
  }
  if (!S_ISREG(opened.st_mode)) {
    ::close(fd);
    return not_regular();
  }
  ReplacementFile file(std::move(destination), fd);  // removes the temporary file on failure
  if (replaces) {
    if ((opened.st_uid != replaced.st_uid || opened.st_gid != replaced.st_gid) &&
        ::fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
      return tool_failure(os_error(file.temporary_, errno));
    }
    if (::fchmod(fd, replaced.st_mode & 07777) != 0) return tool_failure(os_error(file.temporary_, errno));
  }
  return file;
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : destination_(std::move(other.destination_)),
      temporary_(std::move(other.temporary_)),
      fd_(std::exchange(other.fd_, -1)),
      buffer_(std::move(other.buffer_)),
      size_(other.size_),
      installed_(std::exchange(other.installed_, true)) {}

ReplacementFile::~ReplacementFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!installed_) ::unlink(temporary_.c_str());
}

ToolResult<void> ReplacementFile::write_out() {
  std::size_t done = 0;
  while (done < buffer_.size()) {
    ssize_t put = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return tool_failure(os_error(temporary_, errno));
    }
    done += static_cast<std::size_t>(put);
  }
  buffer_.clear();
  return {};
}

ToolResult<void> ReplacementFile::append(std::string_view bytes) {
  size_ += bytes.size();
  if (buffer_.size() + bytes.size() > kBuffer) {
    if (auto r = write_out(); !r) return r;
  }
  if (bytes.size() >= kBuffer) {
    buffer_.assign(bytes);
    return write_out();
  }
  if (buffer_.capacity() < kBuffer) buffer_.reserve(kBuffer);
  buffer_.append(bytes);
  return {};
}

ToolResult<void> ReplacementFile::finish() {
  if (auto r = write_out(); !r) return r;
  if (::fsync(fd_) != 0) return tool_failure(os_error(temporary_, errno));
  return {};
}

ToolResult<void> ReplacementFile::install() {
  if (::rename(temporary_.c_str(), destination_.c_str()) != 0) return tool_failure(os_error(destination_, errno));
  installed_ = true;
  return {};
}

ToolResult<void> sync_path(const std::string& path, bool missing_ok) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && missing_ok && errno == ENOENT) return {};
  if (fd < 0) return tool_failure(os_error(path, errno));
  int rc = ::fsync(fd);
  int error = errno;
  ::close(fd);
  if (rc != 0) return tool_failure(os_error(path, error));
  return {};
}

ToolResult<void> append_and_sync(const std::string& path, std::string_view header, const File& source,
                                 std::uint64_t from, std::uint64_t n, const std::string& like) {
  struct stat original;
  if (::stat(like.c_str(), &original) != 0) return tool_failure(os_error(like, errno));
  // Made readable by its owner only, then given the original's mode and owner
  // before any byte goes in (also when an earlier tail made it more open).
  // Non-blocking: a FIFO in its place fails the open instead of waiting for a
  // reader forever.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return tool_failure(os_error(path, errno));
  struct stat made;
  int failed = ::fstat(fd, &made) != 0;
  // Only a file of its own: a second name for another file (a hard link put
  // there) would have that file's mode and owner changed and the bytes added.
  if (!failed && (!S_ISREG(made.st_mode) || made.st_nlink != 1)) {
    ::close(fd);
    return tool_failure(path + ": not a regular file with a single name; move it away and retry");
  }
  // Only root may give a file away: anyone else keeps it, but may still
  // hand it to the original's group when they belong to it.
  if (!failed && (made.st_uid != original.st_uid || made.st_gid != original.st_gid) &&
      ::fchown(fd, original.st_uid, original.st_gid) != 0) {
    failed = errno != EPERM;
    if (!failed && made.st_gid != original.st_gid && ::fchown(fd, static_cast<uid_t>(-1), original.st_gid) != 0) {
      failed = errno != EPERM;
    }
    if (!failed) failed = ::fstat(fd, &made) != 0;
  } else if (!failed) {
    made.st_gid = original.st_gid;
  }
  // Group bits granted to some other group would open the bytes to people
  // the data file keeps out.
  const mode_t mode = (original.st_mode & 07777) & (made.st_gid == original.st_gid ? 07777 : ~mode_t{02070});
  if (!failed && (made.st_mode & 07777) != mode) failed = ::fchmod(fd, mode) != 0;
  if (failed) {
    const int error = errno;
    ::close(fd);
    // Left by another user (an earlier recovery run by them): only they, or
    // root, can make it as private as the data file.
    if (error == EPERM && made.st_uid != ::geteuid()) {
      return tool_failure(path + ": owned by another user, so its mode cannot be set; move it away and retry");
    }
    return tool_failure(os_error(path, error));
  }
  auto write_all = [fd](std::string_view bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (put < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += static_cast<std::size_t>(put);
    }
    return 0;
  };
  int error = write_all(header);
  std::string chunk(static_cast<std::size_t>(std::min<std::uint64_t>(n, 1 << 20)), '\0');
  for (std::uint64_t at = from; error == 0 && at < from + n;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), from + n - at));
    if (auto r = source.read_exact_at(chunk.data(), want, at); !r) {
      ::close(fd);
      return tool_failure(file_error(path, r.error()));
    }
    error = write_all(std::string_view(chunk.data(), want));
    at += want;
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  ::close(fd);
  if (error != 0) return tool_failure(os_error(path, error));
  return {};
}

}  // namespace brindle::tools
