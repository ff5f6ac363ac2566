#include "db/directory.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <string>

#include "types/utf8.h"

namespace brindle {

namespace {

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string parent_of(const std::string& path) {
  std::size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;  // trailing separators
  std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return {};
  while (slash > 0 && path[slash - 1] == '/') --slash;
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

std::expected<void, IoError> create_dir_all(const std::string& path) {
  if (path.empty()) return {};
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int first_error = errno;
  if (first_error != ENOENT) {
    if (is_directory(path)) return {};
    return std::unexpected(IoError::from_errno(first_error));
  }
  std::string parent = parent_of(path);
  if (parent.empty() || parent == path) return std::unexpected(IoError::from_errno(first_error));
  if (auto made = create_dir_all(parent); !made) return made;
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int error = errno;
  if (is_directory(path)) return {};
  return std::unexpected(IoError::from_errno(error));
}

std::expected<std::vector<std::string>, IoError> list_directory(const std::string& path) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
  if (!dir) return std::unexpected(IoError::from_errno(errno));
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(IoError::from_errno(errno));
      break;
    }
    std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string absolute_path(const std::string& path) {
  if (path.empty() || path.starts_with('/')) return path;  // an empty path stays refused
  std::string current(PATH_MAX, '\0');
  if (::getcwd(current.data(), current.size()) == nullptr) return path;
  current.resize(std::char_traits<char>::length(current.data()));
  std::string joined = join_path(current, path);
  // A file of the longest name must still fit in a path: otherwise the
  // relative path, which opens files the joined one could not, stays.
  if (joined.size() + 1 + NAME_MAX >= PATH_MAX) return path;
  return joined;
}

std::string join_path(std::string_view root, std::string_view name) {
  std::string path(root);
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

bool collection_name_of(std::string_view file_name, std::string& name) {
  std::size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  if (file_name.substr(dot + 1) != "brd") return false;
  std::string_view stem = file_name.substr(0, dot);
  if (!is_valid_utf8(stem)) return false;
  name.assign(stem);
  return true;
}

}  // namespace brindle
