// The directory operations of opening a database.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "storage/storage_error.h"

namespace brindle {

// mkdir -p: creates path and any missing parents with mode 0777 less the
// umask. Succeeds when path already is a directory.
std::expected<void, IoError> create_dir_all(const std::string& path);

// The names of the entries directly inside path, in the order the system
// lists them ("." and ".." left out).
std::expected<std::vector<std::string>, IoError> list_directory(const std::string& path);

// Whether path names something (a dangling symbolic link does not).
bool path_exists(const std::string& path);

// path made independent of the working directory: a relative path is
// joined to the current one, so that a later change of directory does not
// move the files it names. path itself when it is absolute, the current
// directory cannot be had (a removed one), or the joined path is too long
// to name the files in it.
std::string absolute_path(const std::string& path);

// root joined with name: name alone for an empty root, no doubled separator.
std::string join_path(std::string_view root, std::string_view name);

// The collection a directory entry holds: the stem of a file name whose
// extension (the text after the last dot, when that dot is not the first
// character) is exactly "brd" and whose stem is UTF-8; false for any other
// entry.
bool collection_name_of(std::string_view file_name, std::string& name);

}  // namespace brindle
