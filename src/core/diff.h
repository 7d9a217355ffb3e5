// Comparison of two loaded images: table fields, partition bytes and, where
// both sides hold a readable file system, the trees entry by entry through the
// file-system operations (so a cramfs and a squashfs partition compare by
// what they hold). Neither image is changed.
#pragma once
#include <romsmith/romsmith.h>

#include <cstdint>
#include <string>
#include <vector>

// One side of a change: text, or a number or truth value (`bare`: JSON writes
// it without quotes), or nothing (an attribute present on one side only).
struct diff_value {
  std::string text;
  bool bare = false;
  bool none = false;
};

struct diff_change {
  std::string what;  // a field ("used_size") or an entry's attribute ("mode", "content", "xattr", ...)
  std::string name;  // the attribute's name for "xattr"
  diff_value a, b;
};

enum class diff_status { same, changed, only_a, only_b };

// An entry of a file system that differs: its path as the shell takes it
// ("ROOT/etc/issue", "ROOT" for the root), its type on the side(s) holding it.
struct diff_entry {
  std::string path;
  diff_status status = diff_status::changed;
  std::string type;  // "file", "directory", "symlink", ...
  std::vector<diff_change> changes;
};

struct diff_partition {
  std::string name;
  diff_status status = diff_status::same;
  std::string compared;  // "tree", "bytes" or "none" (the table partition, a one-sided partition)
  std::vector<diff_change> fields;
  bool bytes_differ = false;  // for "bytes": the used bytes differ
  uint64_t first_difference = 0;
  uint64_t a_size = 0, b_size = 0;
  size_t entries = 0;  // differing entries of "tree" (in diff_report::entries)
};

struct diff_report {
  std::vector<diff_change> table;
  std::vector<diff_partition> partitions;
  std::vector<diff_entry> entries;
  std::vector<std::string> notes;  // what could not be compared, and why
  bool same() const;
};

struct diff_options {
  bool times = false;                      // modification times too (not every file system stores them)
  std::string name_a = "A", name_b = "B";  // the images in messages
};

// Compares `a` with `b`, everything or only `scope` ("PART": that partition;
// "PART/path": the entries at and below the path). 0, or a negative code with
// the reason in *why (a bad scope, content that cannot be read).
int flash_diff(flash* a, flash* b, const char* scope, const diff_options& opt, diff_report* out, std::string* why);

// The type word of a mode ("file", "directory", "symlink", "chardev", ...).
const char* diff_type_name(uint32_t mode);
