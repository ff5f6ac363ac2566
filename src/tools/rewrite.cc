#include "tools/rewrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "backlinks/backlink_scan.h"
#include "backlinks/collect_links.h"
#include "codec/codec.h"
#include "codec/framing.h"
#include "db/database.h"
#include "db/directory.h"
#include "storage/key_index.h"
#include "tools/json_value.h"
#include "tools/live_records.h"
#include "tools/parallel.h"

namespace brindle::tools {

namespace {

constexpr std::string_view kDataExtension = ".brd";

ToolResult<void> cut_back(const std::string& path, std::uint64_t length) {
  int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return tool_failure(file_error(path, IoError::from_errno(errno)));
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  int error = rc != 0 ? errno : 0;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  ::close(fd);
  if (error != 0) return tool_failure(file_error(path, IoError::from_errno(error)));
  return {};
}

// Where a file's whole records end, and its length when scanned.
struct TailScan {
  ScanOutcome outcome;
  std::uint64_t length;
};

// Frames the file from `whole`, a length its front is known to frame to
// (0 when nothing is known; ignored when the file is now shorter).
ToolResult<TailScan> scan_tail(const DbFile& file, bool data, std::uint64_t whole) {
  auto opened = open_read(file.path);
  if (!opened) return std::unexpected(opened.error());
  const auto& [handle, length] = *opened;
  const std::uint64_t start = whole <= length ? whole : 0;
  auto outcome = data ? scan_records(handle, length, false, [](const RecordView&) { return true; }, start)
                      : scan_backlinks(handle, length, [](const BacklinkRecordView&) { return true; }, start);
  if (!outcome) return tool_failure(file_error(file.path, outcome.error()));
  return TailScan{*outcome, length};
}

// Below this many bytes to scan in all, scans run on the caller's thread.
constexpr std::uint64_t kBytesPerScanThread = std::uint64_t{64} << 20;

struct ScannedFile {
  const DbFile* file;
  bool data;
  ToolResult<TailScan> scan;
};

// Scans every data and backlink file (data files first, each kind in name
// order). The scans read every byte past what is known whole and run side by
// side when there is enough to read to repay a thread (each keeps about a
// megabyte of the process's memory once it has run).
std::string name_of(const DbFile& file) { return file.path.substr(file.path.rfind('/') + 1); }

std::vector<ScannedFile> scan_tails(const DbFiles& files, const WholePrefixes& known) {
  std::vector<ScannedFile> all;
  std::vector<std::uint64_t> starts;
  std::uint64_t bytes = 0;
  for (bool data : {true, false}) {
    for (const DbFile& file : data ? files.data : files.backlinks) {
      const auto found = known.find(name_of(file));
      const std::uint64_t start = found == known.end() ? 0 : found->second;
      all.push_back(ScannedFile{&file, data, tool_failure("not scanned")});
      starts.push_back(start);
      bytes += file.size - std::min(start, file.size);
    }
  }
  const unsigned threads = bytes >= kBytesPerScanThread ? file_scan_threads() : 1;
  for_each_index(all.size(), threads,
                 [&](std::size_t i) { all[i].scan = scan_tail(*all[i].file, all[i].data, starts[i]); });
  return all;
}

ToolResult<std::optional<TornTail>> move_tail(const DbFile& file, const TailScan& scan) {
  if (scan.outcome.stop != ScanStop::Torn) return std::optional<TornTail>();
  auto opened = open_read(file.path);
  if (!opened) return std::unexpected(opened.error());
  const std::uint64_t at = scan.outcome.at;
  const std::uint64_t tail = scan.length - at;
  const std::string name = name_of(file);
  const std::string header =
      "brindle torn tail: file " + name + " offset " + std::to_string(at) + " length " + std::to_string(tail) + "\n";
  const std::string side = side_path(file.path, kTornSuffix);
  if (auto r = append_and_sync(side, header, opened->first, at, tail, file.path); !r) return std::unexpected(r.error());
  // The side file's name must be as lasting as its bytes before the cut.
  const std::size_t slash = side.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : side.substr(0, slash);
  if (auto r = sync_path(directory); !r) return std::unexpected(r.error());
  if (auto r = cut_back(file.path, at); !r) return std::unexpected(r.error());
  return TornTail{file.path, side, at, tail};
}

bool wanted(const std::optional<std::vector<std::string>>& names, const std::string& name) {
  return !names || std::find(names->begin(), names->end(), name) != names->end();
}

ToolResult<void> refuse_damage(const DbFile& file, const ScanOutcome& outcome) {
  if (outcome.stop == ScanStop::End) return {};
  const std::string where = " at offset " + std::to_string(outcome.at);
  if (outcome.stop == ScanStop::Torn) return tool_failure(file.path + ": torn tail" + where + "; run repair first");
  return tool_failure(file.path + ": invalid key" + where + ", which repair cannot mend; check shows the damage");
}

// Installs finished replacements, then makes the renames durable.
ToolResult<void> install_all(const std::string& root, std::vector<ReplacementFile>& files) {
  for (ReplacementFile& file : files) {
    if (auto r = file.finish(); !r) return r;
  }
  for (ReplacementFile& file : files) {
    if (auto r = file.install(); !r) return r;
  }
  return sync_path(root.empty() ? std::string(".") : root);
}

// Damage where only a torn tail could be, were the file's floor unknown:
// cutting there would set acknowledged records aside.
ToolResult<void> refuse_below_floor(const ScannedFile& one, const WholePrefixes& floors) {
  const auto found = floors.find(name_of(*one.file));
  if (found == floors.end()) return {};
  const std::uint64_t floor = found->second;
  const std::string not_a_kill = ": not the work of a killed writer, so the file is left as it is (check shows it; ";
  if (one.scan->length < floor) {
    return tool_failure(one.file->path + ": " + std::to_string(one.scan->length) + " bytes long, shorter than the " +
                        std::to_string(floor) + " it had at the last normal exit" + not_a_kill +
                        "restore it from a copy, or run repair to go on with it as it is, as after putting back "
                        "an older copy on purpose)");
  }
  if (one.scan->outcome.stop == ScanStop::Torn && one.scan->outcome.at < floor) {
    return tool_failure(one.file->path + ": incomplete record at offset " + std::to_string(one.scan->outcome.at) +
                        ", inside the first " + std::to_string(floor) +
                        " bytes, which ended on a whole record at the last normal exit" + not_a_kill +
                        "repair moves it aside with the records after it)");
  }
  return {};
}

// Where each entry a backlink file still holds was added (the record number
// of its first add after its last remove), by the entry's bytes (a record's
// bytes after its op). Empty when the file does not read whole: the rebuild
// then keeps the order it finds entries in.
KeyIndex entry_positions(const DbFile& file) {
  KeyIndex positions;
  auto opened = open_read(file.path);
  if (!opened) return positions;
  std::uint64_t number = 0;
  auto scanned = scan_backlinks(opened->first, opened->second, [&](const BacklinkRecordView& record) {
    const std::string_view entry = record.bytes.substr(1);
    const std::uint64_t h = KeyIndex::hash(entry);
    if (record.op == static_cast<std::uint8_t>(BacklinkOp::Add)) {
      if (!positions.find(entry, h)) positions.put(entry, h, number, false);
    } else if (record.op == static_cast<std::uint8_t>(BacklinkOp::Remove)) {
      positions.erase(entry);
    }
    ++number;
    return true;
  });
  if (!scanned || scanned->stop != ScanStop::End) return KeyIndex();
  return positions;
}

// Whether the file's bytes begin `bytes`: then it holds only adds, of the
// first entries in the same order, and those after them are the ones it
// lacks, so the order as found is the old order (the common case after a
// kill, whose writer's last backlinks never reached the file).
bool is_prefix_of(const DbFile& file, std::string_view bytes) {
  auto opened = open_read(file.path);
  if (!opened || opened->second > bytes.size()) return false;
  std::string chunk(std::min<std::uint64_t>(opened->second, std::uint64_t{1} << 20), '\0');
  for (std::uint64_t at = 0; at < opened->second; at += chunk.size()) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), opened->second - at));
    if (!opened->first.read_exact_at(chunk.data(), n, at)) return false;
    if (bytes.substr(at, n) != std::string_view(chunk).substr(0, n)) return false;
  }
  return true;
}

// A rebuilt backlink file's add records, in the order their links were found.
struct RebuiltIndex {
  std::string bytes;
  std::vector<std::uint64_t> starts;  // where each record begins in bytes
};

// Puts the entries the old file holds first, in its order (the order in
// which their links were made), and the ones it lacks after them as found:
// a rebuild after a crash then changes no key's order beyond what the crash
// left out.
void keep_old_order(RebuiltIndex& index, const KeyIndex& old) {
  if (old.size() == 0) return;
  const std::size_t count = index.starts.size();
  auto record = [&](std::size_t i) {
    const std::uint64_t end = i + 1 < count ? index.starts[i + 1] : index.bytes.size();
    return std::string_view(index.bytes).substr(index.starts[i], end - index.starts[i]);
  };
  std::vector<std::pair<std::uint64_t, std::size_t>> order;  // (old position, or last; number as found)
  order.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto found = old.find(record(i).substr(1));
    order.emplace_back(found ? found->record : UINT64_MAX, i);
  }
  if (std::is_sorted(order.begin(), order.end())) return;  // as found: links written in record order
  std::sort(order.begin(), order.end());  // ties keep the order found: the numbers differ
  std::string sorted;
  sorted.reserve(index.bytes.size());
  for (const auto& [position, i] : order) sorted.append(record(i));
  index.bytes.swap(sorted);
}

}  // namespace

ToolResult<std::vector<TornTail>> move_torn_tails(const std::string& root, const WholePrefixes& known,
                                                  const WholePrefixes& floors) {
  auto files = list_files(root);
  if (!files) return std::unexpected(files.error());
  const std::vector<ScannedFile> scanned = scan_tails(*files, known);
  for (const ScannedFile& one : scanned) {
    if (!one.scan) return std::unexpected(one.scan.error());
    if (auto refused = refuse_below_floor(one, floors); !refused) return std::unexpected(refused.error());
  }
  // The moves are rare writes; they follow in file order and stop at the
  // first failure, so the outcome is the one of a pass over the files one
  // after another.
  std::vector<TornTail> moved;
  for (const ScannedFile& one : scanned) {
    if (!one.scan) return std::unexpected(one.scan.error());
    auto tail = move_tail(*one.file, *one.scan);
    if (!tail) return std::unexpected(tail.error());
    if (*tail) moved.push_back(std::move(**tail));
  }
  return moved;
}

ToolResult<std::vector<std::string>> whole_files(const std::string& root, const WholePrefixes& known) {
  auto files = list_files(root);
  if (!files) return std::unexpected(files.error());
  std::vector<std::string> whole;
  for (const ScannedFile& one : scan_tails(*files, known)) {
    if (!one.scan) return std::unexpected(one.scan.error());
    if (one.scan->outcome.stop == ScanStop::End) whole.push_back(name_of(*one.file));
  }
  return whole;
}

ToolResult<std::vector<std::string>> remove_leftovers(const std::string& root) {
  auto files = list_files(root);
  if (!files) return std::unexpected(files.error());
  for (const std::string& name : files->leftovers) {
    const std::string path = join_path(root, name);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return tool_failure(file_error(path, IoError::from_errno(errno)));
    }
  }
  return files->leftovers;
}

ToolResult<Rebuilt> rebuild_backlinks(const std::string& root, Progress& progress) {
  auto files = list_files(root);
  if (!files) return std::unexpected(files.error());
  // The links of a data file that cannot be read would be dropped.
  if (auto r = refuse_unusable(*files, [](const UnusableFile& f) { return f.data; }); !r) {
    return std::unexpected(r.error());
  }
  Rebuilt result;
  // Target collection -> its new file's records.
  std::map<std::string, RebuiltIndex> records;
  for (const DbFile& file : files->backlinks) records[file.stem];
  std::vector<LinkRef> links;
  for (const DbFile& file : files->data) {
    auto opened = open_read(file.path);
    if (!opened) return std::unexpected(opened.error());
    auto scan = scan_data(file, opened->first, opened->second, progress);
    if (!scan) return std::unexpected(scan.error());
    // Records past the damage cannot be read; their links stay as they are.
    if (auto r = refuse_damage(file, scan->outcome); !r) return std::unexpected(r.error());
    Progress quiet(nullptr);
    auto visited = visit_live(file, opened->first, *scan, true, quiet, [&](const RecordView& record) {
      std::size_t pos = 0;
      auto value = decode(record.value, pos);
      if (!value) {
        ++result.skipped_records;
        return true;
      }
      links.clear();
      collect_links(*value, {}, links);
      for (const LinkRef& link : links) {
        if (!is_indexed_link_target(link.target_collection)) continue;
        RebuiltIndex& index = records[link.target_collection];
        index.starts.push_back(index.bytes.size());
        append_backlink_record(index.bytes, BacklinkOp::Add, link.target_key,
                               BacklinkEntryRef(file.stem, record.key, link.source_path));
        ++result.entries;
      }
      return true;
    });
    if (!visited) return std::unexpected(visited.error());
  }
  std::vector<ReplacementFile> replacements;
  for (auto& [target, index] : records) {
    const auto old = std::find_if(files->backlinks.begin(), files->backlinks.end(),
                                  [&](const DbFile& file) { return file.stem == target; });
    if (old != files->backlinks.end() && !is_prefix_of(*old, index.bytes)) {
      keep_old_order(index, entry_positions(*old));
    }
    auto replacement = ReplacementFile::create(join_path(root, target + ".brl"));
    if (!replacement) return std::unexpected(replacement.error());
    if (auto r = replacement->append(index.bytes); !r) return std::unexpected(r.error());
    std::string().swap(index.bytes);
    std::vector<std::uint64_t>().swap(index.starts);
    replacements.push_back(std::move(*replacement));
  }
  // The last report comes before the files go in: one that stops the work
  // must stop it while nothing has changed, not fail work that is done.
  if (!progress.flush()) return tool_failure(interrupted());
  if (auto r = install_all(root, replacements); !r) return std::unexpected(r.error());
  result.files = replacements.size();
  return result;
}

ToolResult<std::uint64_t> compact(const std::string& root, const std::optional<std::vector<std::string>>& collections,
                                  Progress& progress) {
  auto files = list_files(root);
  if (!files) return std::unexpected(files.error());
  if (auto r = refuse_unusable(*files, [&](const UnusableFile& f) { return wanted(collections, f.stem); }); !r) {
    return std::unexpected(r.error());
  }
  if (collections) {
    for (const std::string& name : *collections) {
      if (std::none_of(files->data.begin(), files->data.end(), [&](const DbFile& f) { return f.stem == name; }) &&
          std::none_of(files->backlinks.begin(), files->backlinks.end(),
                       [&](const DbFile& f) { return f.stem == name; })) {
        return tool_failure("no collection named \"" + name + "\"");
      }
    }
  }
  std::uint64_t before = 0;
  std::vector<ReplacementFile> replacements;
  for (const DbFile& file : files->data) {
    if (!wanted(collections, file.stem)) continue;
    auto opened = open_read(file.path);
    if (!opened) return std::unexpected(opened.error());
    auto scan = scan_data(file, opened->first, opened->second, progress);
    if (!scan) return std::unexpected(scan.error());
    if (auto r = refuse_damage(file, scan->outcome); !r) return std::unexpected(r.error());
    auto replacement = ReplacementFile::create(file.path);
    if (!replacement) return std::unexpected(replacement.error());
    std::string error;
    Progress quiet(nullptr);
    auto visited = visit_live(file, opened->first, *scan, true, quiet, [&](const RecordView& record) {
      // The record's bytes as they are: header, key and value.
      char head[4];
      store_u32(head, static_cast<std::uint32_t>(record.key.size()));
      char tail[4];
      store_u32(tail, record.value_length);
      for (std::string_view piece : {std::string_view(head, 4), record.key, std::string_view(tail, 4), record.value}) {
        if (auto r = replacement->append(piece); !r) {
          error = r.error();
          return false;
        }
      }
      return true;
    });
    if (!visited) return std::unexpected(visited.error());
    if (!error.empty()) return tool_failure(error);
    before += opened->second;
    replacements.push_back(std::move(*replacement));
  }
  for (const DbFile& file : files->backlinks) {
    if (!wanted(collections, file.stem)) continue;
    auto opened = open_read(file.path);
    if (!opened) return std::unexpected(opened.error());
    auto state = scan_backlink_file(file, opened->first, opened->second, progress);
    if (!state) return std::unexpected(state.error());
    if (auto r = refuse_damage(file, state->outcome); !r) return std::unexpected(r.error());
    auto replacement = ReplacementFile::create(file.path);
    if (!replacement) return std::unexpected(replacement.error());
    std::string bytes;
    ToolResult<void> appended;
    state->for_each([&](std::string_view key, const BacklinkEntryRef& entry) {
      if (!appended) return;
      append_backlink_record(bytes, BacklinkOp::Add, key, entry);
      if (bytes.size() >= (1 << 20)) {
        appended = replacement->append(bytes);
        bytes.clear();
      }
    });
    if (!appended) return std::unexpected(appended.error());
    if (auto r = replacement->append(bytes); !r) return std::unexpected(r.error());
    before += opened->second;
    replacements.push_back(std::move(*replacement));
  }
  std::uint64_t after = 0;
  for (const ReplacementFile& file : replacements) after += file.size();
  if (!progress.flush()) return tool_failure(interrupted());  // before anything changes, as above
  if (auto r = install_all(root, replacements); !r) return std::unexpected(r.error());
  return before - after;
}

ToolResult<std::uint64_t> load(const std::string& root, const std::function<ToolResult<bool>(std::string&)>& source,
                               Progress& progress) {
  if (auto made = create_dir_all(root); !made) return tool_failure(file_error(root, made.error()));
  auto files = list_files(root);
  if (!files) return std::unexpected(files.error());
  // The directory's own limit on a name's length: some file systems allow
  // fewer bytes than the usual 255.
  const long asked = ::pathconf(root.c_str(), _PC_NAME_MAX);
  const std::size_t name_max = asked > 0 ? static_cast<std::size_t>(asked) : std::size_t{NAME_MAX};
  // The backlink rebuild at the end reads every data file: damage in any of
  // them, touched by the dump or not, is refused now, before the records go
  // in, not after.
  if (auto r = refuse_unusable(*files, [](const UnusableFile& f) { return f.data; }); !r) {
    return std::unexpected(r.error());
  }
  for (const DbFile& file : files->data) {
    auto opened = open_read(file.path);
    if (!opened) return std::unexpected(opened.error());
    auto scan = scan_records(opened->first, opened->second, false, [](const RecordView&) { return true; });
    if (!scan) return tool_failure(file_error(file.path, scan.error()));
    if (auto r = refuse_damage(file, *scan); !r) return std::unexpected(r.error());
  }
  // Each touched collection gets a copy of its data file with the new
  // records appended; nothing changes on disk until all of them are done.
  std::unordered_map<std::string, std::size_t> slot;
  std::vector<ReplacementFile> replacements;
  auto data_file = [&](const std::string& collection) -> ToolResult<ReplacementFile*> {
    if (auto it = slot.find(collection); it != slot.end()) return &replacements[it->second];
    const std::string path = join_path(root, collection + ".brd");
    auto replacement = ReplacementFile::create(path);
    if (!replacement) return std::unexpected(replacement.error());
    auto existing = std::find_if(files->data.begin(), files->data.end(),
                                 [&](const DbFile& f) { return f.stem == collection; });
    if (existing != files->data.end()) {
      auto opened = open_read(path);
      if (!opened) return std::unexpected(opened.error());
      std::string chunk(1 << 20, '\0');
      for (std::uint64_t at = 0; at < opened->second;) {
        auto got = opened->first.read_at(chunk.data(), chunk.size(), at);
        if (!got) return tool_failure(file_error(path, got.error()));
        if (*got == 0) break;
        if (auto r = replacement->append(std::string_view(chunk.data(), *got)); !r) return std::unexpected(r.error());
        at += *got;
      }
    }
    slot.emplace(collection, replacements.size());
    replacements.push_back(std::move(*replacement));
    return &replacements.back();
  };

  std::uint64_t loaded = 0;
  std::uint64_t line_number = 0;
  std::string pending;
  std::string chunk;
  std::string encoded;
  std::vector<LinkRef> links;
  auto load_line = [&](std::string_view line) -> ToolResult<void> {
    ++line_number;
    auto fail = [&](const std::string& why) { return tool_failure("line " + std::to_string(line_number) + ": " + why); };
    JsonReader reader(line);
    if (reader.at_end()) return {};
    std::optional<std::string> collection, key;
    std::optional<Value> value;
    if (auto r = reader.expect('{'); !r) return fail(r.error());
    do {
      auto name = reader.read_string();
      if (!name) return fail(name.error());
      if (auto r = reader.expect(':'); !r) return fail(r.error());
      if (*name == "collection" || *name == "key") {
        auto text = reader.read_string();
        if (!text) return fail(text.error());
        std::optional<std::string>& member = *name == "key" ? key : collection;
        if (member) return fail("duplicate member \"" + *name + "\"");
        member = std::move(*text);
      } else if (*name == "value") {
        if (value) return fail("duplicate member \"value\"");
        auto v = reader.read_value();
        if (!v) return fail(v.error());
        value = std::move(*v);
      } else {
        return fail("unexpected member \"" + *name + "\"");
      }
    } while (reader.accept(','));
    if (auto r = reader.expect('}'); !r) return fail(r.error());
    if (!reader.at_end()) return fail("text after the record");
    if (!collection || !key || !value) return fail("a record needs \"collection\", \"key\" and \"value\"");
    if (!is_valid_collection_name(*collection)) return fail("invalid collection name " + json_quoted(*collection));
    // The store's write finds a name too long for "<name>.brd" when it makes
    // the file; here that would be the rename at the end, after the files of
    // other collections went in, so the line is refused now.
    if (collection->size() + kDataExtension.size() > name_max) {
      return fail("collection name too long for its file's name");
    }
    // What the store's own writes refuse, load refuses too.
    links.clear();
    collect_links(*value, {}, links);
    for (const LinkRef& link : links) {
      if (!is_indexed_link_target(link.target_collection)) {
        return fail("a link into an invalid collection name");
      }
    }
    if (key->size() > kMaxLength) return fail("key too long");
    encoded.clear();
    char head[4];
    store_u32(head, static_cast<std::uint32_t>(key->size()));
    encoded.append(head, 4).append(*key).append(4, '\0');
    const std::size_t value_start = encoded.size();
    if (encode(*value, encoded) != EncodeStatus::Ok || encoded.size() - value_start > kMaxLength) {
      return fail("value too long or nested too deeply");
    }
    store_u32(encoded.data() + value_start - 4, static_cast<std::uint32_t>(encoded.size() - value_start));
    auto file = data_file(*collection);
    if (!file) return std::unexpected(file.error());
    if (auto r = (*file)->append(encoded); !r) return std::unexpected(r.error());
    ++loaded;
    return {};
  };

  // pending holds no newline before `searched`, so a line longer than a
  // chunk is searched once, not once per chunk.
  std::size_t searched = 0;
  for (;;) {
    chunk.clear();
    auto more = source(chunk);
    if (!more) return std::unexpected(more.error());
    if (!progress.advance(chunk.size())) return tool_failure(interrupted());
    pending.append(chunk);
    std::size_t start = 0;
    for (std::size_t nl; (nl = pending.find('\n', std::max(start, searched))) != std::string::npos; start = nl + 1) {
      if (auto r = load_line(std::string_view(pending).substr(start, nl - start)); !r) {
        return std::unexpected(r.error());
      }
    }
    pending.erase(0, start);
    searched = pending.size();
    if (!*more) break;
  }
  if (auto r = load_line(pending); !r) return std::unexpected(r.error());
  if (!progress.flush()) return tool_failure(interrupted());  // before anything changes, as above
  if (auto r = install_all(root, replacements); !r) return std::unexpected(r.error());
  Progress quiet(nullptr);
  if (auto r = rebuild_backlinks(root, quiet); !r) return std::unexpected(r.error());
  return loaded;
}

ToolResult<void> sync_database(const std::string& root) {
  auto names = list_directory(root);
  if (!names) return tool_failure(file_error(root, names.error()));
  for (const std::string& name : *names) {
    const std::string path = join_path(root, name);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (auto r = sync_path(path, /*missing_ok=*/true); !r) return r;
  }
  return sync_path(root);
}

}  // namespace brindle::tools
