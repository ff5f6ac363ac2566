#include "tools/examine.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <unordered_map>

#include "backlinks/collect_links.h"
#include "codec/codec.h"
#include "codec/framing.h"
#include "db/database.h"
#include "db/directory.h"
#include "resolver/resolver.h"
#include "tools/json_value.h"
#include "tools/live_records.h"
#include "types/hash.h"

namespace brindle::tools {

namespace {

struct Opened {
  DbFile file;
  File handle;
  std::uint64_t length;
};

ToolResult<Opened> open_file(const DbFile& file) {
  auto opened = open_read(file.path);
  if (!opened) return std::unexpected(opened.error());
  return Opened{file, std::move(opened->first), opened->second};
}

// A name with "/" would address a file outside the directory.
ToolResult<void> refuse_invalid_name(std::string_view collection) {
  if (is_valid_collection_name(collection)) return {};
  return tool_failure("invalid collection name " + json_quoted(collection));
}

// Whether a collection (of a valid name) has no data file: it was never written.
bool collection_missing(const std::string& root, std::string_view collection) {
  struct stat st;
  return ::lstat(join_path(root, std::string(collection) + ".brd").c_str(), &st) != 0 && errno == ENOENT;
}

// The data file of one collection; an error saying so when it has none.
ToolResult<Opened> open_collection(const std::string& root, std::string_view collection) {
  if (auto r = refuse_invalid_name(collection); !r) return std::unexpected(r.error());
  if (collection_missing(root, collection)) {
    return tool_failure("no collection named " + json_quoted(collection));
  }
  const DbFile file{std::string(collection), join_path(root, std::string(collection) + ".brd"), 0};
  return open_file(file);
}

std::string damage_kind(ScanStop stop) { return stop == ScanStop::Torn ? "torn tail" : "invalid key"; }

// The store refuses to open a data file with a key that is not UTF-8, and
// the records after it are not framed: a reader answering from the part
// before it would answer silently wrong. A torn tail is not refused: open
// sets it aside and keeps the whole records before it.
ToolResult<void> refuse_invalid_key(const DbFile& file, const DataScan& scan) {
  if (scan.outcome.stop != ScanStop::BadKey) return {};
  return tool_failure(file.path + ": invalid key at offset " + std::to_string(scan.outcome.at));
}

void note_damage(const DbFile& file, const ScanOutcome& outcome, std::vector<Problem>& problems) {
  if (outcome.stop != ScanStop::Torn && outcome.stop != ScanStop::BadKey) return;
  // In a backlink file every string of the record is checked, not only a key.
  const bool backlink_file = file.path.ends_with(".brl");
  problems.push_back({file.path,
                      backlink_file && outcome.stop == ScanStop::BadKey ? "invalid string" : damage_kind(outcome.stop),
                      outcome.at,
                      outcome.stop == ScanStop::Torn
                          ? std::to_string(outcome.length - outcome.at) + " bytes after the last whole record"
                          : "a string that is not UTF-8"});
}

// A backlink entry under its target, as one hashable string.
std::string entry_key(std::string_view target_collection, std::string_view target_key,
                      std::string_view source_collection, std::string_view source_key,
                      std::string_view source_path) {
  std::string key;
  key.reserve(20 + target_collection.size() + target_key.size() + source_collection.size() +
              source_key.size() + source_path.size());
  for (std::string_view part : {target_collection, target_key, source_collection, source_key, source_path}) {
    append_string(key, part);
  }
  return key;
}

std::string describe_entry(std::string_view packed) {
  std::string_view parts[5];
  std::size_t pos = 0;
  for (auto& part : parts) {
    const std::uint32_t n = load_u32(packed.data() + pos);
    part = packed.substr(pos + 4, n);
    pos += 4 + n;
  }
  std::string text;
  text.append(parts[0]).append("/").append(parts[1]).append(" <- ").append(parts[2]).append("/").append(parts[3]);
  text.append(" at \"").append(parts[4]).append("\"");
  return text;
}

// A record another program is appending at this moment reads as an
// incomplete last record, which the store's open refuses. The append ends
// within moments, so the open is tried again for about 0.4 s before that
// error stands (a tail torn for good).
StorageResult<Database> open_beside_writers(const std::string& root) {
  for (const int pause_ms : {1, 2, 5, 10, 20, 50, 100, 200}) {
    auto db = Database::open_for_reading(root);
    const IoError* io = db ? nullptr : db.error().io();
    if (io == nullptr || io->kind() != IoError::Kind::UnexpectedEof) return db;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
  }
  return Database::open_for_reading(root);
}

}  // namespace

ToolResult<std::vector<std::string>> collection_names(const std::string& root) {
  auto files = list_files(root);
  if (!files) return std::unexpected(files.error());
  std::vector<std::string> names;
  for (const DbFile& file : files->data) names.push_back(file.stem);
  return names;
}

ToolResult<void> for_each_key(const std::string& root, std::string_view collection,
                              const std::function<bool(std::string_view)>& visit) {
  Progress quiet(nullptr);
  auto opened = open_collection(root, collection);
  if (!opened) return std::unexpected(opened.error());
  auto scan = scan_data(opened->file, opened->handle, opened->length, quiet);
  if (!scan) return std::unexpected(scan.error());
  if (auto refused = refuse_invalid_key(opened->file, *scan); !refused) return std::unexpected(refused.error());
  return visit_live(opened->file, opened->handle, *scan, false, quiet,
                    [&](const RecordView& record) { return visit(record.key); });
}

ToolResult<std::uint64_t> count_keys(const std::string& root, std::string_view collection) {
  Progress quiet(nullptr);
  auto opened = open_collection(root, collection);
  if (!opened) return std::unexpected(opened.error());
  auto scan = scan_data(opened->file, opened->handle, opened->length, quiet);
  if (!scan) return std::unexpected(scan.error());
  if (auto refused = refuse_invalid_key(opened->file, *scan); !refused) return std::unexpected(refused.error());
  return scan->live.size();
}

ToolResult<std::uint64_t> data_bytes(const std::string& root) {
  auto files = list_files(root);
  if (!files) return std::unexpected(files.error());
  std::uint64_t total = 0;
  for (const DbFile& file : files->data) total += file.size;
  return total;
}

ToolResult<Stats> stats(const std::string& root, Progress& progress) {
  auto files = list_files(root);
  if (!files) return std::unexpected(files.error());
  if (auto r = refuse_unusable(*files, [](const UnusableFile&) { return true; }); !r) {
    return std::unexpected(r.error());
  }
  Stats out;
  for (const DbFile& file : files->data) {
    auto opened = open_file(file);
    if (!opened) return std::unexpected(opened.error());
    auto scan = scan_data(file, opened->handle, opened->length, progress);
    if (!scan) return std::unexpected(scan.error());
    if (auto refused = refuse_invalid_key(file, *scan); !refused) return std::unexpected(refused.error());
    std::uint64_t live_bytes = 0;
    Progress quiet(nullptr);
    auto visited = visit_live(file, opened->handle, *scan, false, quiet, [&](const RecordView& record) {
      live_bytes += record.end() - record.offset;
      return true;
    });
    if (!visited) return std::unexpected(visited.error());
    out.collections.push_back({file.stem, scan->live.size(), scan->records, opened->length,
                               opened->length - live_bytes});
  }
  for (const DbFile& file : files->backlinks) {
    auto opened = open_file(file);
    if (!opened) return std::unexpected(opened.error());
    auto state = scan_backlink_file(file, opened->handle, opened->length, progress);
    if (!state) return std::unexpected(state.error());
    if (state->outcome.stop == ScanStop::BadKey) {
      return tool_failure(file.path + ": invalid string at offset " + std::to_string(state->outcome.at));
    }
    std::uint64_t live_bytes = 0;
    state->for_each([&](std::string_view key, const BacklinkEntryRef& entry) {
      live_bytes += backlink_record_size(key, entry);
    });
    out.backlinks.push_back({file.stem, state->live_entries(), state->records, opened->length,
                             opened->length - live_bytes});
  }
  if (!progress.flush()) return tool_failure(interrupted());
  return out;
}

ToolResult<std::optional<std::string>> get_json(const std::string& root, std::string_view collection,
                                                std::string_view key) {
  Progress quiet(nullptr);
  if (auto r = refuse_invalid_name(collection); !r) return std::unexpected(r.error());
  if (collection_missing(root, collection)) return std::optional<std::string>();
  auto opened = open_collection(root, collection);
  if (!opened) return std::unexpected(opened.error());
  auto scan = scan_data(opened->file, opened->handle, opened->length, quiet);
  if (!scan) return std::unexpected(scan.error());
  if (auto refused = refuse_invalid_key(opened->file, *scan); !refused) return std::unexpected(refused.error());
  auto it = scan->live.find(key);
  if (it == scan->live.end()) return std::optional<std::string>();
  std::optional<std::string> json;
  std::string error;
  // The scan hands over the value bytes; stop right after the record.
  DataScan one{scan->outcome, {}, 0};
  one.live.emplace(std::string(key), it->second);
  auto visited = visit_live(opened->file, opened->handle, one, true, quiet, [&](const RecordView& record) {
    std::size_t pos = 0;
    auto value = decode(record.value, pos);
    if (!value) {
      error = opened->file.path + ": record of key at offset " + std::to_string(record.offset) +
              ": codec: " + value.error().to_string();
    } else {
      json.emplace();
      write_json(*value, *json);
    }
    return false;
  });
  if (!visited) return std::unexpected(visited.error());
  if (!error.empty()) return tool_failure(error);
  return json;
}

ToolResult<std::vector<BacklinkEntry>> backlinks_of(const std::string& root, std::string_view collection,
                                                    std::string_view key) {
  if (auto r = refuse_invalid_name(collection); !r) return std::unexpected(r.error());
  Progress quiet(nullptr);
  const DbFile file{std::string(collection), join_path(root, std::string(collection) + ".brl"), 0};
  auto opened = open_read(file.path);
  if (!opened) {
    // No index file: nothing links here. One that cannot be read is an
    // error, not an answer.
    struct stat st;
    if (::lstat(file.path.c_str(), &st) != 0 && errno == ENOENT) return std::vector<BacklinkEntry>{};
    return std::unexpected(opened.error());
  }
  auto state = scan_backlink_file(file, opened->first, opened->second, quiet);
  if (!state) return std::unexpected(state.error());
  if (state->outcome.stop != ScanStop::End) {
    return tool_failure(file.path + ": " + damage_kind(state->outcome.stop) + " at offset " +
                        std::to_string(state->outcome.at));
  }
  return state->entries_of(key);
}

ToolResult<std::string> resolve_json(const std::string& root, std::string_view collection, std::string_view key,
                                     std::span<const std::string> path) {
  auto db = open_beside_writers(root);
  // The store's own error names no file; check does.
  if (!db) {
    return tool_failure("the store cannot open " + root + ": " + db.error().to_string() + "; check names the damage");
  }
  Resolver resolver(*db);
  auto value = resolver.get_field(collection, key, path);
  if (!value) return tool_failure(value.error().to_string());
  std::string json;
  write_json(*value, json);
  return json;
}

ToolResult<CheckReport> check(const std::string& root, Progress& progress) {
  auto files = list_files(root);
  if (!files) return std::unexpected(files.error());
  CheckReport report;
  report.side_files = files->side_files;
  for (const UnusableFile& file : files->unusable) {
    report.problems.push_back({file.path, "not a regular file", 0, file.why + "; the store cannot open it"});
  }
  // +1 for every entry the live records call for, -1 for every entry the
  // index files hold: what is left over is drift. The entries come from the
  // files, so they are hashed with the process's seed: the library's fixed
  // one lets chosen entries share a bucket and make this quadratic.
  std::unordered_map<std::string, std::int64_t, TextHash, std::equal_to<>> balance;
  std::vector<LinkRef> links;
  for (const DbFile& file : files->data) {
    auto opened = open_file(file);
    if (!opened) return std::unexpected(opened.error());
    // The first pass only frames; the bar follows the second, which decodes.
    Progress quiet(nullptr);
    auto scan = scan_data(file, opened->handle, opened->length, quiet);
    if (!scan) return std::unexpected(scan.error());
    note_damage(file, scan->outcome, report.problems);
    report.records += scan->records;
    bool stopped = false;
    auto scanned = scan_records(opened->handle, scan->whole_end(), true, [&](const RecordView& record) {
      std::size_t pos = 0;
      auto value = decode(record.value, pos);
      if (!value) {
        if (report.undecodable++ < CheckReport::kExamples) {
          report.problems.push_back({file.path, "undecodable record", record.offset,
                                     "key \"" + std::string(record.key) + "\": codec: " + value.error().to_string()});
        }
        return true;
      }
      auto live = scan->live.find(record.key);
      if (live == scan->live.end() || live->second != record.offset) return true;
      links.clear();
      collect_links(*value, {}, links);
      for (const LinkRef& link : links) {
        if (!is_indexed_link_target(link.target_collection)) continue;  // never indexed
        ++balance[entry_key(link.target_collection, link.target_key, file.stem, record.key, link.source_path)];
      }
      if (!progress.advance(record.end() - record.offset)) stopped = true;
      return !stopped;
    });
    if (!scanned) return tool_failure(file_error(file.path, scanned.error()));
    if (stopped) return tool_failure(interrupted());
  }
  for (const DbFile& file : files->backlinks) {
    auto opened = open_file(file);
    if (!opened) return std::unexpected(opened.error());
    auto state = scan_backlink_file(file, opened->handle, opened->length, progress);
    if (!state) return std::unexpected(state.error());
    note_damage(file, state->outcome, report.problems);
    report.backlink_records += state->records;
    state->for_each([&](std::string_view key, const BacklinkEntryRef& entry) {
      --balance[entry_key(file.stem, key, entry.source_collection, entry.source_key, entry.source_path)];
    });
  }
  if (!progress.flush()) return tool_failure(interrupted());
  std::vector<std::pair<std::string, std::int64_t>> drift;
  for (auto& [key, n] : balance) {
    if (n != 0) drift.emplace_back(key, n);
  }
  std::sort(drift.begin(), drift.end());  // stable examples from run to run
  for (const auto& [key, n] : drift) {
    auto& count = n > 0 ? report.missing : report.stale;
    auto& examples = n > 0 ? report.missing_examples : report.stale_examples;
    count += static_cast<std::uint64_t>(n > 0 ? n : -n);
    if (examples.size() < CheckReport::kExamples) examples.push_back(describe_entry(key));
  }
  return report;
}

ToolResult<std::uint64_t> dump(const std::string& root, const std::optional<std::vector<std::string>>& collections,
                               const std::function<bool(std::string_view)>& sink, Progress& progress) {
  auto files = list_files(root);
  if (!files) return std::unexpected(files.error());
  auto dumped = [&](const std::string& stem) {
    return !collections || std::find(collections->begin(), collections->end(), stem) != collections->end();
  };
  // A data file that cannot be read would be missing from the dump.
  if (auto r = refuse_unusable(*files, [&](const UnusableFile& f) { return f.data && dumped(f.stem); }); !r) {
    return std::unexpected(r.error());
  }
  if (collections) {
    for (const std::string& name : *collections) {
      if (std::none_of(files->data.begin(), files->data.end(), [&](const DbFile& f) { return f.stem == name; })) {
        return tool_failure("no collection named " + json_quoted(name));
      }
    }
  }
  constexpr std::size_t kChunk = 1 << 20;
  std::string chunk;
  std::uint64_t written = 0;
  std::string error;
  bool sink_stopped = false;
  for (const DbFile& file : files->data) {
    if (!dumped(file.stem)) continue;
    auto opened = open_file(file);
    if (!opened) return std::unexpected(opened.error());
    Progress quiet(nullptr);
    auto scan = scan_data(file, opened->handle, opened->length, quiet);
    if (!scan) return std::unexpected(scan.error());
    if (auto refused = refuse_invalid_key(file, *scan); !refused) return std::unexpected(refused.error());
    std::string prefix = "{\"collection\":";
    write_json_string(file.stem, prefix);
    prefix += ",\"key\":";
    auto visited = visit_live(file, opened->handle, *scan, true, progress, [&](const RecordView& record) {
      std::size_t pos = 0;
      auto value = decode(record.value, pos);
      if (!value) {
        error = file.path + ": record at offset " + std::to_string(record.offset) +
                " does not decode: codec: " + value.error().to_string();
        return false;
      }
      chunk += prefix;
      write_json_string(record.key, chunk);
      chunk += ",\"value\":";
      write_json(*value, chunk);
      chunk += "}\n";
      ++written;
      if (chunk.size() >= kChunk) {
        if (!sink(chunk)) {
          sink_stopped = true;
          return false;
        }
        chunk.clear();
      }
      return true;
    });
    if (!visited) return std::unexpected(visited.error());
    if (!error.empty()) return tool_failure(error);
    if (sink_stopped) return tool_failure(interrupted());
  }
  if (!chunk.empty() && !sink(chunk)) return tool_failure(interrupted());
  if (!progress.flush()) return tool_failure(interrupted());
  return written;
}

}  // namespace brindle::tools
