// diff: two images side by side, as text lines or one JSON object.
//
// Text, one line per difference, in table, partition and path order:
//   table: FIELD A -> B
//   PART: FIELD A -> B                 a field of the partition's table entry
//   Only in A: PART | PART/path        (a directory only, not what is below it)
//   PART: bytes differ from offset N   a partition compared by its bytes
//   Files A:PART/path and B:PART/path differ
//   PART/path: mode|owner|target|device|type|mtime A -> B
//   PART/path: xattr NAME added|removed|changed
// What could not be compared is said on standard error. Exit 0: the same,
// 1: different, 2: an image that does not open or a path that is not there.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/diff.h"
#include "core/image_state.h"
#include "shell/commands.h"
#include "shell/shell.h"
#include "util/strutil.h"

namespace {

constexpr int kDiffSchema = 1;
constexpr int kTrouble = 2;

// Library messages printed while images load and files are read go to
// standard error: standard output carries the comparison only.
class StdoutAside {
 public:
  StdoutAside() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    if (saved_ >= 0 && ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
      ::close(saved_);
      saved_ = -1;
    }
  }
  ~StdoutAside() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  StdoutAside(const StdoutAside&) = delete;
  StdoutAside& operator=(const StdoutAside&) = delete;

 private:
  int saved_ = -1;
};

// A JSON string of arbitrary bytes; bytes that are not UTF-8 become \u00XX.
std::string jstr(const std::string& s) {
  std::string o = "\"";
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  for (size_t i = 0; i < n;) {
    unsigned c = p[i];
    if (c == '"' || c == '\\') {
      o += '\\';
      o += char(c);
      ++i;
      continue;
    }
    if (c < 0x20 || c == 0x7F) {
      o += rs::strprintf("\\u%04x", c);
      ++i;
      continue;
    }
    size_t len = c < 0x80                   ? 1
                 : (c >= 0xC2 && c <= 0xDF) ? 2
                 : (c >= 0xE0 && c <= 0xEF) ? 3
                 : (c >= 0xF0 && c <= 0xF4) ? 4
                                            : 0;
    bool ok = len && i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) ok = (p[i + k] & 0xC0) == 0x80;
    // No overlong forms, surrogates or code points past U+10FFFF.
    if (ok && len == 3) ok = !(c == 0xE0 && p[i + 1] < 0xA0) && !(c == 0xED && p[i + 1] >= 0xA0);
    if (ok && len == 4) ok = !(c == 0xF0 && p[i + 1] < 0x90) && !(c == 0xF4 && p[i + 1] >= 0x90);
    if (!ok) {
      o += rs::strprintf("\\u%04x", c);
      ++i;
      continue;
    }
    o.append(s, i, len);
    i += len;
  }
  return o + "\"";
}

std::string jval(const diff_value& v) { return v.none ? "null" : v.bare ? v.text : jstr(v.text); }

const char* status_word(diff_status s) {
  switch (s) {
    case diff_status::same:
      return "same";
    case diff_status::changed:
      return "changed";
    case diff_status::only_a:
      return "only_a";
    default:
      return "only_b";
  }
}

std::string jchanges(const std::vector<diff_change>& changes, const char* key) {
  std::string o = "[";
  for (size_t i = 0; i < changes.size(); ++i) {
    const diff_change& c = changes[i];
    o += rs::strprintf("%s{\"%s\":%s", i ? "," : "", key, jstr(c.what).c_str());
    if (!c.name.empty()) o += ",\"name\":" + jstr(c.name);
    o += ",\"a\":" + jval(c.a) + ",\"b\":" + jval(c.b) + "}";
  }
  return o + "]";
}

std::string jentry(const diff_entry& e) {
  std::string o = "{\"path\":" + jstr(e.path) + ",\"status\":\"" + status_word(e.status) + "\"";
  if (!e.type.empty()) o += ",\"type\":\"" + e.type + "\"";
  return o + ",\"changes\":" + jchanges(e.changes, "what") + "}";
}

void print_json(const diff_report& r, const char* a, const char* b, const char* scope, bool times) {
  std::string o = rs::strprintf("{\"schema\":%d,\"a\":%s,\"b\":%s,\"scope\":%s,\"times\":%s,\"same\":%s", kDiffSchema,
                                jstr(a).c_str(), jstr(b).c_str(), scope ? jstr(scope).c_str() : "null",
                                times ? "true" : "false", r.same() ? "true" : "false");
  o += ",\"table\":" + jchanges(r.table, "field") + ",\"partitions\":[";
  for (size_t i = 0; i < r.partitions.size(); ++i) {
    const diff_partition& p = r.partitions[i];
    o += rs::strprintf("%s{\"name\":%s,\"status\":\"%s\",\"compared\":\"%s\",\"fields\":", i ? "," : "",
                       jstr(p.name).c_str(), status_word(p.status), p.compared.c_str());
    o += jchanges(p.fields, "field");
    if (p.compared == "bytes") {
      o += rs::strprintf(",\"bytes\":{\"a_size\":%llu,\"b_size\":%llu,\"first_difference\":",
                         (unsigned long long)p.a_size, (unsigned long long)p.b_size);
      o += p.bytes_differ ? std::to_string(p.first_difference) : std::string("null");
      o += "}";
    }
    if (p.compared == "tree") o += rs::strprintf(",\"entries\":%zu", p.entries);
    o += "}";
  }
  o += "],\"entries\":[";
  for (size_t i = 0; i < r.entries.size(); ++i) o += (i ? "," : "") + jentry(r.entries[i]);
  o += "],\"notes\":[";
  for (size_t i = 0; i < r.notes.size(); ++i) o += (i ? "," : "") + jstr(r.notes[i]);
  o += "]}\n";
  std::fputs(o.c_str(), stdout);
}

void print_change(const std::string& where, const diff_change& c) {
  if (c.what == "content") {
    std::printf("Files A:%s and B:%s differ\n", where.c_str(), where.c_str());
  } else if (c.what == "xattr") {
    std::printf("%s: xattr %s %s\n", where.c_str(), c.name.c_str(),
                c.a.none   ? "added"
                : c.b.none ? "removed"
                           : "changed");
  } else {
    std::printf("%s: %s %s -> %s\n", where.c_str(), c.what.c_str(), c.a.text.c_str(), c.b.text.c_str());
  }
}

void print_entry(const diff_entry& e) {
  if (e.status == diff_status::only_a || e.status == diff_status::only_b) {
    std::printf("Only in %s: %s\n", e.status == diff_status::only_a ? "A" : "B", e.path.c_str());
    return;
  }
  for (const diff_change& c : e.changes) print_change(e.path, c);
}

void print_text(const diff_report& r) {
  for (const diff_change& c : r.table) print_change("table", c);
  size_t next = 0;  // entries come in partition order
  for (const diff_partition& p : r.partitions) {
    if (p.status == diff_status::only_a || p.status == diff_status::only_b) {
      std::printf("Only in %s: %s\n", p.status == diff_status::only_a ? "A" : "B", p.name.c_str());
      continue;
    }
    for (const diff_change& c : p.fields) print_change(p.name, c);
    if (p.bytes_differ)
      std::printf("%s: bytes differ from offset %llu\n", p.name.c_str(), (unsigned long long)p.first_difference);
    for (size_t k = 0; k < p.entries && next < r.entries.size(); ++k) print_entry(r.entries[next++]);
  }
  // A PART/path comparison has entries and no partition record.
  for (; next < r.entries.size(); ++next) print_entry(r.entries[next]);
}

// Why an image did not open, led by its name.
std::string open_failure(const char* name) {
  std::string why = flash_last_error(nullptr);
  if (why.rfind("error: ", 0) == 0) why.erase(0, 7);
  while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
  if (why.empty()) why = "cannot open the image";
  if (why.rfind(name, 0) != 0) why = std::string(name) + ": " + why;
  return why;
}

struct Loaded {
  flash* f = nullptr;
  ~Loaded() {
    if (f) flash_free(f);
  }
};

}  // namespace

int cmd_diff(int argc, char** argv) {
  bool json = false;
  diff_options opt;
  std::vector<const char*> words;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) {
      json = true;
    } else if (std::strcmp(argv[i], "--times") == 0) {
      opt.times = true;
    } else if (std::strncmp(argv[i], "--", 2) == 0) {
      cmd_fail("unknown option '%s'", argv[i]);
      return -1;
    } else {
      words.push_back(argv[i]);
    }
  }
  if (words.size() != 2 && words.size() != 3) return usage_not_right();
  const char* scope = words.size() == 3 ? words[2] : nullptr;
  opt.name_a = words[0];
  opt.name_b = words[1];

  diff_report report;
  std::string why;
  int rc;
  {
    Progress progress(std::string("diff ") + words[0] + " " + words[1]);
    StdoutAside aside;
    Loaded a, b;
    a.f = flash_load_bin(words[0]);
    if (!a.f) return cmd_fail("%s", open_failure(words[0]).c_str()), kTrouble;
    b.f = flash_load_bin(words[1]);
    if (!b.f) return cmd_fail("%s", open_failure(words[1]).c_str()), kTrouble;
    rc = flash_diff(a.f, b.f, scope, opt, &report, &why);
  }
  // Loading made the other images' table format current; give the open image its own back.
  if (root_entry) state_make_current(root_entry);
  if (rc < 0) return cmd_fail("%s", why.c_str()), kTrouble;

  if (json) {
    print_json(report, words[0], words[1], scope, opt.times);
  } else {
    print_text(report);
    std::fflush(stdout);
    for (const std::string& n : report.notes) std::fprintf(stderr, "romsmith: diff: %s\n", n.c_str());
  }
  if (report.same()) return 0;
  return cmd_fail_reported("%s and %s differ", words[0], words[1]);
}
