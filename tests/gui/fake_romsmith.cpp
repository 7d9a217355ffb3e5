// A stand-in image library for the window tests: the same seven exports (and
// flash_free) over a trivial image file, so that the window's flow can be
// driven byte-exactly without real file systems. An image file is "FAKEIMG\n"
// followed by records "<key>\n<length>\n<bytes>"; keys are full flash paths
// ("ROOT//dvb/theme/keymap.xml") or partition names ("BOOT"). A "!fail_save"
// record makes flash_save fail without a word, "!refuse_add" makes flash_add
// refuse. Built again with FAKE_PARTIAL it lacks flash_update_f, with
// FAKE_NO_LAST_ERROR it lacks flash_last_error.
// Like the real library it writes "table.bin" into the current directory and
// keeps a message for flash_last_error when a load, a save or a removal fails;
// what it prints on standard output then differs from that message, so that
// a test sees which of the two reached the window.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#define FAKE_API extern "C" __attribute__((visibility("default")))

struct flash {
  std::map<std::string, std::string> items;
  std::string last_error;
};

namespace {

int live_images = 0;
std::string loose_error;  // of the last failed flash_load_bin
std::string read_log;

bool slurp(const char* path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool spill(const char* path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
  return bool(out);
}

}  // namespace

FAKE_API flash* flash_load_bin(const char* filename) {
  std::string all;
  if (!slurp(filename, all)) {
    loose_error = std::string("fake: cannot read ") + filename;
    return nullptr;
  }
  if (all.rfind("FAKEIMG\n", 0) != 0) {
    std::printf("error: not an image\n");
    loose_error = std::string("error: fake: no image in ") + filename;
    return nullptr;
  }
  auto* f = new flash;
  size_t pos = 8;
  while (pos < all.size()) {
    size_t nl = all.find('\n', pos);
    size_t nl2 = nl == std::string::npos ? nl : all.find('\n', nl + 1);
    if (nl2 == std::string::npos) break;
    std::string key = all.substr(pos, nl - pos);
    size_t len = std::stoul(all.substr(nl + 1, nl2 - nl - 1));
    f->items[key] = all.substr(nl2 + 1, len);
    pos = nl2 + 1 + len;
  }
  ++live_images;
  return f;
}

FAKE_API int flash_free(flash* entry) {
  if (entry) --live_images;
  delete entry;
  return 0;
}

FAKE_API int flash_save(flash* entry, const char* filename, int) {
  if (entry->items.count("!fail_save")) return -1;
  std::string out = "FAKEIMG\n";
  for (auto& [k, v] : entry->items) out += k + "\n" + std::to_string(v.size()) + "\n" + v;
  errno = 0;
  if (!spill(filename, out)) {
    const int err = errno ? errno : EIO;
    std::printf("error: %s\n", std::strerror(err));
    entry->last_error = std::string("fake: cannot write ") + filename + ": " + std::strerror(err);
    return -1;
  }
  spill("table.bin", "table");
  return 0;
}

FAKE_API int flash_read(flash* entry, const char* full_file, void* buf, int size, int offset) {
  read_log += std::string(full_file) + ";";
  auto it = entry->items.find(full_file);
  if (it == entry->items.end() || offset < 0 || size_t(offset) > it->second.size()) return 0;
  size_t n = std::min(size_t(size), it->second.size() - size_t(offset));
  std::memcpy(buf, it->second.data() + offset, n);
  return int(n);
}

FAKE_API int flash_rm(flash* entry, const char* full_file) {
  if (!entry->items.erase(full_file)) {
    entry->last_error = std::string("fake: rm ") + full_file + ": No such file or directory";
    return -ENOENT;
  }
  return 0;
}

// Like the tree file systems: an existing file is not replaced.
FAKE_API int flash_add(flash* entry, const char* full_file, const char* local_file) {
  std::string bytes;
  if (!slurp(local_file, bytes) || bytes.empty()) return -1;
  if (entry->items.count("!refuse_add") || entry->items.count(full_file)) return 0;
  entry->items[full_file] = bytes;
  return 1;
}

FAKE_API int flash_partition_dump(flash* entry, const char* partition_name, const char* filename) {
  auto it = entry->items.find(partition_name);
  if (it == entry->items.end()) return -1;
  return spill(filename, it->second) ? 0 : -1;
}

#ifndef FAKE_PARTIAL
FAKE_API int flash_update_f(flash* entry, const char* partition_name, const char* filename) {
  std::string bytes;
  if (!slurp(filename, bytes) || bytes.empty()) return -1;
  entry->items[partition_name] = bytes;
  return 0;
}
#endif

#ifndef FAKE_NO_LAST_ERROR
FAKE_API const char* flash_last_error(flash* entry) { return entry ? entry->last_error.c_str() : loose_error.c_str(); }
#endif

// Test probes.
FAKE_API int fake_live_images() { return live_images; }
FAKE_API const char* fake_take_read_log() {
  static std::string last;
  last = read_log;
  read_log.clear();
  return last.c_str();
}
