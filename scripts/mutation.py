#!/usr/bin/env python3
"""Mutation pass: how many deliberately broken copies of the code the tests
catch, and which tests catch each one.

Every mutant is one textual edit (a flipped condition, a dropped statement,
an off-by-one length, a swapped operator) of one source file. The runner
copies the committed tree (HEAD) into build/mutation/<label>/tree,
builds there once, then for each mutant applies the edit, rebuilds only what
it needs with one job, runs the C++ unit tests of the mutated layer and the
layers above it, and restores the file. The Python suite runs against the
mutated module for binding mutants, and for core mutants no C++ test kills.
Every run has a timeout; a run that hangs counts as a kill by that program,
and the programs after it are not run.

    python3 scripts/mutation.py LABEL [--only ID,ID] [--no-python] [--resume] [--rev REV]
    python3 scripts/mutation.py LABEL[,LABEL...] --compare OTHER [OTHER...]

writes build/mutation/LABEL.json (every mutant with its killers) and prints a
summary per layer. --compare runs nothing: it sets LABEL's results against
OTHER's (on either side, later labels override earlier ones mutant by
mutant, so a partial rerun can patch a pass) and lists the kills that were lost or gained. Run it under `nice`: it builds and tests about a hundred
times.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Test programs, lowest layer first; a mutant in layer L runs programs L and up.
LAYERS = ["types", "codec", "storage", "backlinks", "db", "resolver", "python"]
PROGRAMS = ["types_test", "codec_test", "storage_test", "backlinks_test", "db_test", "resolver_test"]
CPP_TIMEOUT = 60
PY_TIMEOUT = 420

# (id, file under src/, text to replace, replacement). The text must occur in
# the file; the first occurrence is replaced.
MUTANTS = [
    # --- types
    ("utf8-c0-c1-lead", "types/utf8.cc", "if (b0 < 0xC2) return 0;", "if (b0 < 0xC0) return 0;"),
    ("utf8-e0-overlong", "types/utf8.cc", "b0 == 0xE0 && b1 < 0xA0", "b0 == 0xE0 && b1 < 0x80"),
    ("utf8-surrogate", "types/utf8.cc", "if (b0 == 0xED && b1 >= 0xA0) return 0;", ""),
    ("utf8-f0-overlong", "types/utf8.cc", "if (b0 == 0xF0 && b1 < 0x90) return 0;", ""),
    ("utf8-past-10ffff", "types/utf8.cc", "b0 == 0xF4 && b1 >= 0x90", "b0 == 0xF4 && b1 >= 0xA0"),
    ("utf8-lead-f5", "types/utf8.cc", "if (b0 < 0xF5) {", "if (b0 < 0xF8) {"),
    ("utf8-4byte-third-cont", "types/utf8.cc", "cont(1) && cont(2) && cont(3) ? 4", "cont(1) && cont(2) ? 4"),
    ("utf8-3byte-second-cont", "types/utf8.cc", "cont(1) && cont(2) ? 3", "cont(1) ? 3"),
    ("utf8-ascii-fast-mask", "types/utf8.cc", "0x8080808080808080ULL", "0x0080808080808080ULL"),
    ("utf8-decode-2byte-shift", "types/utf8.cc", "(char32_t(p[0] & 0x1F) << 6)", "(char32_t(p[0] & 0x1F) << 5)"),
    ("map-linear-last-key", "types/value.cc", "for (std::size_t i = 0; i < entries_.size(); ++i) {",
     "for (std::size_t i = 0; i + 1 < entries_.size(); ++i) {"),
    ("map-replace-appends", "types/value.cc", "entries_[static_cast<std::size_t>(existing)].value = std::move(value);\n    return;",
     "entries_[static_cast<std::size_t>(existing)].value = std::move(value);"),
    ("map-index-never-grows", "types/value.cc", "if (slots_.empty() || entries_.size() * 2 > slots_.size())",
     "if (slots_.empty())"),
    ("map-probe-compare", "types/value.cc", "if (entries_[slot - 1].key == key)", "if (entries_[slot - 1].key != key)"),
    ("map-index-from-start", "types/value.cc", "index_insert(static_cast<std::uint32_t>(entries_.size() - 1));",
     "index_insert(0);"),
    ("float-positional-bound", "types/debug_string.cc", "magnitude < 1e16", "magnitude <= 1e16"),
    ("float-small-bound", "types/debug_string.cc", "magnitude >= 1e-4", "magnitude > 1e-4"),
    ("float-zero-padding", "types/debug_string.cc", "out.append(int_digits - digits.size(), '0');", ""),
    ("float-leading-zeros", "types/debug_string.cc", "static_cast<std::size_t>(-exponent - 1)",
     "static_cast<std::size_t>(-exponent)"),
    ("float-inf-sign", "types/debug_string.cc", "value < 0 ? \"-inf\" : \"inf\"", "\"inf\""),
    ("quote-escape-range-end", "types/debug_string.cc", "cp <= std::prev(it)->last", "cp < std::prev(it)->last"),
    ("quote-nul", "types/debug_string.cc", "out += \"\\\\0\";", "out += \"\\\\u{0}\";"),
    ("utf8-out-2byte", "types/debug_string.cc", "} else if (cp < 0x800) {", "} else if (cp < 0x700) {"),
    ("blob-signed-bytes", "types/debug_string.cc", "append_integer(out, static_cast<unsigned>(byte));",
     "append_integer(out, static_cast<int>(static_cast<signed char>(byte)));"),
    # --- codec
    ("enc-bool-always-true", "codec/codec.cc", "out.push_back(b ? '\\x01' : '\\x00');", "out.push_back(b ? '\\x01' : '\\x01');"),
    ("enc-array-depth", "codec/codec.cc", "if (level >= kMaxNesting) return Status::TooDeep;\n    out.push_back(static_cast<char>(kArray));",
     "if (level > kMaxNesting) return Status::TooDeep;\n    out.push_back(static_cast<char>(kArray));"),
    ("enc-link-local-level", "codec/codec.cc", "return encode_map_body(link.local, level + 1, out);",
     "return encode_map_body(link.local, level, out);"),
    ("enc-text-as-blob", "codec/codec.cc", "out.push_back(static_cast<char>(kText));", "out.push_back(static_cast<char>(kBlob));"),
    ("dec-length-unchecked", "codec/codec.cc", "if (!take(n) || remaining() < n)", "if (!take(n))"),
    ("dec-tombstone-unknown", "codec/codec.cc", "if (type > kTombstone)", "if (type >= kTombstone)"),
    ("dec-bool-only-one", "codec/codec.cc", "return b != 0;", "return b == 1;"),
    ("dec-date-width", "codec/codec.cc", "return fixed<std::uint32_t>([](std::uint32_t v) { return Date{v}; });",
     "return fixed<std::uint16_t>([](std::uint16_t v) { return Date{v}; });"),
    ("dec-container-depth", "codec/codec.cc", "if (level >= kMaxNesting) return std::unexpected(CodecError::too_deep());",
     "if (level > kMaxNesting) return std::unexpected(CodecError::too_deep());"),
    ("dec-link-local-level", "codec/codec.cc", "auto local = map_body(level + 1);", "auto local = map_body(level);"),
    ("dec-array-reserve-count", "codec/codec.cc", "array.reserve(std::min<std::size_t>(count, remaining()));",
     "array.reserve(count);"),
    ("dec-map-reserve-count", "codec/codec.cc", "map.reserve(std::min<std::size_t>(count, remaining() / 5));",
     "map.reserve(count);"),
    ("dec-array-extra-element", "codec/codec.cc", "for (std::uint32_t i = 0; i < count; ++i) {\n        auto element",
     "for (std::uint32_t i = 0; i <= count; ++i) {\n        auto element"),
    ("dec-map-body-level", "codec/codec.cc", "return Decoder(buf, pos).map_body(1);", "return Decoder(buf, pos).map_body(0);"),
    ("dec-take-one-short", "codec/codec.cc", "if (remaining() < sizeof(T)) return false;",
     "if (remaining() + 1 < sizeof(T)) return false;"),
    ("err-hex-high-nibble", "codec/codec.cc", "kHex[type_byte_ >> 4]", "kHex[type_byte_ & 0x0F]"),
    ("dec-map-keys-unchecked", "codec/codec.cc", "if (!is_valid_utf8(*bytes)) return std::unexpected(CodecError::invalid_utf8());", ""),
    # --- storage
    ("replay-empty-value-deletes", "storage/collection.cc", "if (value_len > 0) {", "if (value_len > 1) {"),
    ("replay-deletion-flipped", "storage/collection.cc", "deletion = static_cast<std::uint8_t>(**type) == kTombstoneTypeByte;",
     "deletion = static_cast<std::uint8_t>(**type) != kTombstoneTypeByte;"),
    ("replay-key-utf8", "storage/collection.cc", "if (!is_valid_utf8(key)) return storage_failure(IoError::invalid_data(\"invalid utf8 key\"));", ""),
    ("replay-cut-value", "storage/collection.cc", "if (length - value_start < value_len) return eof();", ""),
    ("replay-deletion-ignored", "storage/collection.cc", "if (auto it = index_.find(key); it != index_.end()) index_.erase(it);\n    } else if",
     "if (auto it = index_.find(key); it == index_.end()) index_.erase(it);\n    } else if"),
    ("replay-keeps-first", "storage/collection.cc", "      it->second = record;\n    } else {\n      index_.emplace(std::string(key), record);\n    }\n    record",
     "    } else {\n      index_.emplace(std::string(key), record);\n    }\n    record"),
    ("read-buffer-offset", "storage/collection.cc", "std::size_t in_buffer = static_cast<std::size_t>(at - file_length_);",
     "std::size_t in_buffer = 0;"),
    ("get-value-len-offset", "storage/collection.cc", "value_len = load_u32(head + key_len + 4);", "value_len = load_u32(head + key_len + 3);"),
    ("get-spill-offset", "storage/collection.cc", "read_exact(record + value_start, spill.data(), value_len)",
     "read_exact(record + value_start + 1, spill.data(), value_len)"),
    ("flush-partial-clears-all", "storage/collection.cc", "buffer_.erase(0, written);", "buffer_.clear();"),
    ("flush-length-not-counted", "storage/collection.cc", "  buffer_.erase(0, written);\n  file_length_ += written;",
     "  buffer_.erase(0, written);"),
    ("buffer-fits-exactly", "storage/collection.cc", "if (piece.size() > kWriteBufferSize - buffer_.size())",
     "if (piece.size() >= kWriteBufferSize - buffer_.size())"),
    ("direct-write-threshold", "storage/collection.cc", "if (piece.size() >= kWriteBufferSize) {", "if (piece.size() > kWriteBufferSize) {"),
    ("discard-keeps-buffered-part", "storage/collection.cc", "buffer_.resize(static_cast<std::size_t>(record_start - file_length_));", ""),
    ("discard-keeps-buffer", "storage/collection.cc", "  buffer_.clear();\n  if (auto cut", "  if (auto cut"),
    ("discard-length-stale", "storage/collection.cc", "  file_length_ = record_start;\n}", "}"),
    ("set-ignores-broken", "storage/collection.cc", "if (broken_) return storage_failure(*broken_);\n  if (key.size()",
     "if (key.size()"),
    ("set-write-offset", "storage/collection.cc", "write_offset_ = record + 8 + key.size() + scratch_.size();",
     "write_offset_ = record + 4 + key.size() + scratch_.size();"),
    ("set-tombstone-kept", "storage/collection.cc", "if (value.is<Tombstone>()) {", "if (value.is<Null>()) {"),
    ("set-always-flushes", "storage/collection.cc", "if (defer_flush_) return {};", ""),
    ("set-keeps-old-offset", "storage/collection.cc", "  } else if (auto it = index_.find(key); it != index_.end()) {\n    it->second = record;\n  } else {\n    index_.emplace(std::string(key), record);\n  }\n\n  if (defer",
     "  } else if (auto it = index_.find(key); it != index_.end()) {\n  } else {\n    index_.emplace(std::string(key), record);\n  }\n\n  if (defer"),
    ("close-drops-buffer", "storage/collection.cc", "if (writer_.is_open() && !buffer_.empty() && !broken_) (void)write_buffer_out();", ""),
    ("open-blocks-on-fifo", "storage/collection.cc", "O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK", "O_WRONLY | O_APPEND | O_CREAT"),
    ("read-at-eof-loops", "storage/file.cc", "if (got == 0) break;", "if (got == 0) continue;"),
    ("window-short-read", "storage/file.cc", "if (filled_ < n) return std::unexpected(IoError::unexpected_eof());", ""),
    # --- backlinks
    ("links-separator-from-second", "backlinks/link_ref.cc", "if (segments_ > 0) path_.push_back('/');",
     "if (segments_ > 1) path_.push_back('/');"),
    ("links-leading-slash", "backlinks/link_ref.cc", "if (slash == std::string_view::npos || slash == 0) return;",
     "if (slash == std::string_view::npos) return;"),
    ("links-dollar-self-only", "backlinks/link_ref.cc", "if (!key.empty() && key.front() == '$') return;",
     "if (key.starts_with(\"$self\")) return;"),
    ("links-key-whole-rest", "backlinks/link_ref.cc", "std::string_view key = rest.substr(0, rest.find('/'));",
     "std::string_view key = rest;"),
    ("links-pop-keeps-count", "backlinks/link_ref.cc", "    path_.resize(mark);\n    --segments_;", "    path_.resize(mark);"),
    ("links-local-not-scanned", "backlinks/link_ref.cc", "      record(link->path);\n      scan_map(link->local);", "      record(link->path);"),
    ("links-index-from-one", "backlinks/link_ref.cc", "std::to_chars(digits, digits + sizeof digits, i)",
     "std::to_chars(digits, digits + sizeof digits, i + 1)"),
    ("index-utf8-unchecked", "backlinks/backlink_index.cc", "if (!is_valid_utf8(bytes)) return std::unexpected(IoError::invalid_data(\"invalid utf8 in backlink\"));", ""),
    ("index-applies-unknown-ops", "backlinks/backlink_index.cc",
     "if (op == static_cast<std::uint8_t>(Op::Add) || op == static_cast<std::uint8_t>(Op::Remove)) {", "{"),
    ("index-applies-no-op", "backlinks/backlink_index.cc",
     "if (op == static_cast<std::uint8_t>(Op::Add) || op == static_cast<std::uint8_t>(Op::Remove)) {",
     "if (op == static_cast<std::uint8_t>(Op::Add) && op == static_cast<std::uint8_t>(Op::Remove)) {"),
    ("index-replay-remove-ignored", "backlinks/backlink_index.cc", "  if (it == entries_.end()) return;\n  std::erase(it->second, entry);",
     "  if (it == entries_.end()) return;"),
    ("index-cut-not-undone", "backlinks/backlink_index.cc", "file_.truncate(file_length_)", "file_.truncate(file_length_ + written)"),
    ("index-length-not-counted", "backlinks/backlink_index.cc", "    file_length_ += written;\n    return {};", "    return {};"),
    ("index-remove-in-memory-ignored", "backlinks/backlink_index.cc", "if (it != entries_.end()) std::erase(it->second, entry);", "(void)it;"),
    ("index-add-in-memory-ignored", "backlinks/backlink_index.cc", "  apply(Op::Add, target_key, std::move(entry));\n  return {};", "  return {};"),
    ("index-remove-writes-add", "backlinks/backlink_index.cc", "write_record(Op::Remove, target_key, entry)", "write_record(Op::Add, target_key, entry)"),
    # --- db
    ("name-allows-nul", "db/database.cc", " && name.find('\\0') == std::string_view::npos", ""),
    ("open-root-nul", "db/database.cc", "if (root.find('\\0') != std::string::npos) {", "if (false) {"),
    ("open-loads-every-file", "db/database.cc", "if (!collection_name_of(file_name, name)) continue;", "(void)collection_name_of(file_name, name);"),
    ("late-collection-not-deferred", "db/database.cc", "if (in_transaction_) handle->collection.set_defer_flush(true);", ""),
    ("collection-not-ordered", "db/database.cc", "collection_order_.push_back(handle);", ""),
    ("dir-dot-file-is-collection", "db/directory.cc", "if (dot == std::string_view::npos || dot == 0) return false;",
     "if (dot == std::string_view::npos) return false;"),
    ("dir-first-dot", "db/directory.cc", "std::size_t dot = file_name.rfind('.');", "std::size_t dot = file_name.find('.');"),
    ("dir-existing-is-error", "db/directory.cc", "    if (is_directory(path)) return {};\n    return std::unexpected(IoError::from_errno(first_error));",
     "    return std::unexpected(IoError::from_errno(first_error));"),
    ("write-old-links-ignored", "db/writes.cc", "if (auto old_value = guarded.collection.get(key)) collect_links(*old_value, {}, old_links);", ""),
    ("linkset-always-hashed", "db/writes.cc", "if (links_.size() > kScanLimit) return set_.contains(&ref);", "return set_.contains(&ref);"),
    ("linkset-pointer-equality", "db/writes.cc", "return *a == *b;", "return a == b;"),
    ("tx-invalid-name-queued", "db/writes.cc", "      if (!is_valid_collection_name(link.target_collection)) {\n        return storage_failure(IoError::invalid_input(\"invalid collection name\"));\n      }\n", ""),
    ("write-removes-kept-links", "db/writes.cc", "    if (new_set.contains(link)) continue;\n", ""),
    ("write-readds-kept-links", "db/writes.cc", "    if (old_set.contains(link)) continue;\n", ""),
    ("write-entry-source-key", "db/writes.cc", "BacklinkEntry entry{std::string(collection_name), std::string(key), link.source_path};",
     "BacklinkEntry entry{std::string(collection_name), std::string(collection_name), link.source_path};"),
    ("write-removal-as-add", "db/writes.cc", "if (auto r = change(BlOp::Kind::Remove, link); !r) return r;",
     "if (auto r = change(BlOp::Kind::Add, link); !r) return r;"),
    ("begin-not-deferred", "db/transaction.cc", "    handle->collection.set_defer_flush(true);\n  }\n}", "    handle->collection.set_defer_flush(false);\n  }\n}"),
    ("commit-stays-deferred", "db/transaction.cc", "    handle->collection.set_defer_flush(false);\n", ""),
    ("commit-stays-in-tx", "db/transaction.cc", "  in_transaction_ = false;\n", ""),
    ("commit-applies-kind-flipped", "db/transaction.cc", "op.kind == BlOp::Kind::Add ? (*index)->add", "op.kind != BlOp::Kind::Add ? (*index)->add"),
    ("drop-forgets-queue", "db/transaction.cc", "for (const BlOp& op : pending_) (void)apply(op);", ""),
    # --- resolver
    ("hops-off-by-one", "resolver/resolver.cc", "      if (depth > kMaxHops) return std::unexpected(ResolveError::cyclic_link());\n      if (stack_",
     "      if (depth >= kMaxHops) return std::unexpected(ResolveError::cyclic_link());\n      if (stack_"),
    ("tombstone-does-not-end-walk", "resolver/resolver.cc", "if (value.is<Null>() || value.is<Tombstone>()) return value;",
     "if (value.is<Null>()) return value;"),
    ("local-map-ignored", "resolver/resolver.cc", "if (Value* local = link->local.find(segment)) {", "if (Value* local = nullptr) {"),
    ("path-needs-three-pieces", "resolver/resolver.cc", "if (pieces.size() < 2)", "if (pieces.size() < 3)"),
    ("self-is-collection", "resolver/resolver.cc", "key = root_.root_key;", "key = root_.root_collection;"),
    ("link-pieces-skipped", "resolver/resolver.cc", "push_front(std::span(pieces).subspan(2));", "push_front(std::span(pieces).subspan(3));"),
    ("dangling-is-error", "resolver/resolver.cc", "if (record.error().is_key_not_found()) {", "if (!record.error().is_key_not_found()) {"),
    ("self-key-not-cached", "resolver/resolver.cc", "if (auto known = self_keys_.find(slot); known != self_keys_.end()) return known->second;", ""),
    ("self-nesting-off-by-one", "resolver/resolver.cc", "if (self_nesting_ + 1 > kMaxSelfNesting)", "if (self_nesting_ > kMaxSelfNesting)"),
    ("self-cache-ignores-nesting", "resolver/resolver.cc", "std::pair<std::string, std::size_t> slot(fields, self_nesting_);",
     "std::pair<std::string, std::size_t> slot(fields, 0);"),
    ("self-field-not-text-accepted", "resolver/resolver.cc", "if (std::string* text = found->get_if<std::string>()) return std::move(*text);",
     "if (std::string* text = found->get_if<std::string>()) return std::move(*text);\n    if (found->is<Null>()) return std::string();"),
    ("hop-not-counted", "resolver/resolver.cc", "      value = std::move(*target);\n      depth += 1;", "      value = std::move(*target);"),
    # --- python binding
    ("py-bool-as-int", "python/convert.cc", "if (Py_IS_TYPE(obj, &PyBool_Type)) {", "if (false) {"),
    ("py-list-depth", "python/convert.cc", "if (level >= kMaxNesting) return refuse_too_deep();", "if (level > kMaxNesting) return refuse_too_deep();"),
    ("py-link-depth", "python/convert.cc", "if (level + link_nesting_of(obj) > kMaxNesting)", "if (level + link_nesting_of(obj) > kMaxNesting + 1)"),
    ("py-int-error-ignored", "python/convert.cc", "if (v == -1 && PyErr_Occurred()) return false;", ""),
    ("py-list-last-dropped", "python/convert.cc", "for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {",
     "for (Py_ssize_t i = 0; i + 1 < PyList_Size(list); ++i) {"),
    ("py-date-as-bool", "python/convert.cc", "PyObject* operator()(Date& d) { return PyLong_FromUnsignedLongLong(d.value); }",
     "PyObject* operator()(Date& d) { return PyBool_FromLong(d.value != 0); }"),
    ("py-get-raises-runtime", "python/errors.cc", "operation == Operation::Get ? PyExc_KeyError : PyExc_RuntimeError",
     "operation != Operation::Get ? PyExc_KeyError : PyExc_RuntimeError"),
    ("py-reentry-deadlocks", "python/database_type.cc", "if (cell.owner.load() == me) {", "if (false) {"),
    ("py-wait-holds-gil", "python/database_type.cc", "      PyThreadState* saved = PyEval_SaveThread();\n      cell.mutex.lock();\n      PyEval_RestoreThread(saved);",
     "      cell.mutex.lock();"),
    ("py-set-many-keeps-going", "python/database_type.cc",
     "    storage_error = std::move(written.error());\n    return false;", "    storage_error = std::move(written.error());"),
    ("py-backlink-key-field", "python/database_type.cc", "{keys.source_key.get(), &entry.source_key}", "{keys.source_key.get(), &entry.source_path}"),
    ("py-path-str-accepted", "python/database_type.cc", "  if (PyUnicode_Check(path)) {", "  if (false) {"),
    ("py-path-error-prefix", "python/database_type.cc", "  if (PyErr_Occurred()) {\n    prefix_argument_error(\"path\");\n    return false;",
     "  if (PyErr_Occurred()) {\n    return false;"),
    ("py-args-and-list", "python/arguments.cc", "if (names.size() == 2) {", "if (names.size() == 3) {"),
    ("py-positional-count", "python/arguments.cc", "if (static_cast<std::size_t>(nargs) <= sig.parameters.size()) return true;",
     "if (static_cast<std::size_t>(nargs) <= sig.parameters.size() + 1) return true;"),
    ("py-subclass-prefixed", "python/arguments.cc", "  if (type != PyExc_TypeError) {", "  if (false) {"),
    ("py-link-repr-local", "python/link_type.cc", "(link.local.empty() ? \")\" : \", local={...})\")", "\")\""),
    ("py-tombstone-true", "python/tombstone_type.cc", "int tombstone_bool(PyObject*) { return 0; }", "int tombstone_bool(PyObject*) { return 1; }"),
]


def run(cmd, cwd, timeout, env=None):
    """(returncode or None on timeout, combined output)."""
    try:
        done = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout,
                              errors="replace")
        return done.returncode, done.stdout + done.stderr
    except subprocess.TimeoutExpired as expired:
        out = expired.stdout or b""
        return None, out.decode(errors="replace") if isinstance(out, bytes) else out


def copy_tree(dest, rev):
    """A committed tree, so that edits in progress do not leak into a pass."""
    os.makedirs(dest)
    archive = subprocess.run(["git", "archive", rev], cwd=ROOT, capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "-C", dest], input=archive, check=True)


def gtest_failures(program, rc, output):
    """The tests of one program that failed, or the one running when it died."""
    if rc is None:
        return ["%s (timeout)" % program]
    failed = []
    for line in output.splitlines():
        m = re.match(r"\[  FAILED  \] (\S+\.\S+)", line)
        if m and m.group(1) not in failed:
            failed.append(m.group(1))
    if rc != 0 and not failed:
        running = re.findall(r"\[ RUN      \] (\S+)", output)
        failed.append("%s (crash)" % (running[-1] if running else program))
    return ["%s:%s" % (program, name) for name in failed]


def pytest_failures(rc, output):
    if rc is None:
        return ["pytest (timeout)"]
    failed = []
    for line in output.splitlines():
        # Parameter ids may hold spaces: take the file and the function only.
        m = re.match(r"(?:FAILED|ERROR) tests/python/([^:\s]+::\w+)", line)
        if m and m.group(1) not in failed:
            failed.append(m.group(1))
    if rc != 0 and not failed:
        failed.append("pytest (exit %d)" % rc)
    return ["py:" + name for name in failed]


class Bench:
    def __init__(self, label, python, rev):
        self.rev = rev
        self.base = os.path.join(ROOT, "build", "mutation", label)
        self.tree = os.path.join(self.base, "tree")
        self.build = os.path.join(self.base, "build")
        self.pkg = os.path.join(self.base, "pkg")
        self.python = python
        self.venv_python = os.path.join(ROOT, ".venv", "bin", "python")

    def setup(self):
        # A fresh build: object files left by an interrupted pass may hold a mutant.
        shutil.rmtree(self.base, ignore_errors=True)
        copy_tree(self.tree, self.rev)
        configure = ["cmake", "-S", self.tree, "-B", self.build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                     "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g0 -Wno-maybe-uninitialized", "-DBRINDLE_PYTHON=" + ("ON" if self.python else "OFF")]
        if self.python:
            configure.append("-DPython_EXECUTABLE=" + self.venv_python)
        rc, out = run(configure, self.tree, 600)
        if rc != 0:
            sys.exit("configure failed:\n" + out)
        rc, out = self.ninja(PROGRAMS + (["_brindle"] if self.python else []))
        if rc != 0:
            sys.exit("baseline build failed:\n" + out)
        if self.python:
            shutil.rmtree(self.pkg, ignore_errors=True)
            os.makedirs(os.path.join(self.pkg, "brindle"))
            for name in os.listdir(os.path.join(self.tree, "brindle")):
                shutil.copy2(os.path.join(self.tree, "brindle", name), os.path.join(self.pkg, "brindle", name))
            for name in os.listdir(self.build):
                if name.startswith("_brindle") and name.endswith(".so"):
                    os.symlink(os.path.join(self.build, name), os.path.join(self.pkg, "brindle", name))
        failing = self.cpp_tests(0) + (self.py_tests() if self.python else [])
        if failing:
            sys.exit("the unmutated tests fail: %s" % failing)

    def ninja(self, targets):
        return run(["ninja", "-j1", "-C", self.build] + targets, self.tree, 1800)

    def cpp_tests(self, layer):
        killers = []
        for program in PROGRAMS[layer:]:
            rc, out = run([os.path.join(self.build, program)], self.build, CPP_TIMEOUT)
            killers += gtest_failures(program, rc, out)
            if rc is None:
                break
        return killers

    def py_tests(self):
        env = dict(os.environ, PYTHONPATH=self.pkg, PYTHONDONTWRITEBYTECODE="1")
        rc, out = run([self.venv_python, "-m", "pytest", "-q", "-rfE", "--tb=no", "-p", "no:cacheprovider",
                       "tests/python"], self.tree, PY_TIMEOUT, env)
        return pytest_failures(rc, out)

    def try_mutant(self, mutant):
        ident, rel, old, new = mutant
        layer = LAYERS.index(rel.split("/")[0])
        path = os.path.join(self.tree, "src", rel)
        with open(path) as f:
            original = f.read()
        result = {"id": ident, "file": rel, "layer": LAYERS[layer], "killers": []}
        if old not in original:
            result["status"] = "not-applicable"
            return result
        with open(path, "w") as f:
            f.write(original.replace(old, new, 1))
        started = time.time()
        try:
            cpp = layer < len(PROGRAMS)
            rc, out = self.ninja((PROGRAMS[layer:] if cpp else []) + (["_brindle"] if self.python else []))
            if rc != 0:
                result["status"] = "build-failed"
                result["build_output"] = out[-2000:]
                return result
            if cpp:
                result["killers"] = self.cpp_tests(layer)
            if self.python and not result["killers"]:
                result["killers"] = self.py_tests()
            result["status"] = "killed" if result["killers"] else "survived"
        finally:
            with open(path, "w") as f:
                f.write(original)
            # Same content, newer time: the next build puts the original back.
            os.utime(path)
            result["seconds"] = round(time.time() - started, 1)
        return result


def summary(results):
    lines = []
    for layer in LAYERS + ["all"]:
        mine = [r for r in results if layer in ("all", r["layer"]) and r["status"] in ("killed", "survived")]
        if not mine:
            continue
        killed = sum(r["status"] == "killed" for r in mine)
        lines.append("%-10s %3d/%3d killed" % (layer, killed, len(mine)))
    for r in results:
        if r["status"] != "killed":
            lines.append("%s: %s (%s)" % (r["status"], r["id"], r["file"]))
    return "\n".join(lines)


def load(labels):
    merged = {}
    for label in labels:
        with open(os.path.join(ROOT, "build", "mutation", label + ".json")) as f:
            merged.update({r["id"]: r for r in json.load(f)})
    return [merged[m[0]] for m in MUTANTS if m[0] in merged]


def compare(before, after):
    print("before:\n" + summary(before) + "\n\nafter:\n" + summary(after) + "\n")
    was = {r["id"]: r for r in before}
    for r in after:
        old = was.get(r["id"])
        if old and old["status"] != r["status"]:
            print("%s: %s -> %s %s" % (r["id"], old["status"], r["status"], ", ".join(r["killers"])))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("label")
    parser.add_argument("--only", help="comma-separated mutant ids")
    parser.add_argument("--no-python", action="store_true", help="C++ tests only")
    parser.add_argument("--resume", action="store_true", help="keep the results of an interrupted pass")
    parser.add_argument("--rev", default="HEAD", help="the commit whose code and tests are mutated")
    parser.add_argument("--compare", nargs="+", metavar="OTHER", help="compare with earlier results; run nothing")
    args = parser.parse_args()
    if args.compare:
        compare(load(args.compare), load(args.label.split(",")))
        return
    ids = [m[0] for m in MUTANTS]
    assert len(ids) == len(set(ids)), "duplicate mutant ids"
    chosen = [m for m in MUTANTS if not args.only or m[0] in args.only.split(",")]
    bench = Bench(args.label, python=not args.no_python, rev=args.rev)
    bench.setup()
    out_path = os.path.join(ROOT, "build", "mutation", args.label + ".json")
    done = {}
    if args.resume and os.path.exists(out_path):
        with open(out_path) as f:
            done = {r["id"]: r for r in json.load(f) if r["status"] in ("killed", "survived")}
    results = []
    for n, mutant in enumerate(MUTANTS, 1):
        if mutant not in chosen:
            if mutant[0] in done:
                results.append(done[mutant[0]])
            continue
        # Mutants named with --only run again even when a result is kept.
        result = (None if args.only else done.get(mutant[0])) or bench.try_mutant(mutant)
        results.append(result)
        print("[%d/%d] %-32s %-14s %5.1fs %s" % (n, len(chosen), result["id"], result["status"],
                                                result.get("seconds", 0), ", ".join(result["killers"][:4])),
              flush=True)
        with open(out_path, "w") as f:
            json.dump(results, f, indent=1)
    # Leave the tree's build matching the unmutated sources.
    bench.ninja(PROGRAMS + (["_brindle"] if bench.python else []))
    print(summary(results))


if __name__ == "__main__":
    main()
