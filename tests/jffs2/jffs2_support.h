// Shared by the JFFS2 suites: host trees, mkfs.jffs2 runs, loading into an
// erased partition buffer, and the jffs2dump CRC check.
#pragma once
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "jffs2/jffs2.h"
#include "testutil.h"

namespace jt {

namespace sfs = std::filesystem;

// path -> "mode uid:gid size [-> target]" and the contents of files.
struct HostTree {
  std::map<std::string, std::string> lines;
  std::map<std::string, std::string> files;
};

inline std::string line(uint32_t mode, uint32_t uid, uint32_t gid, uint64_t size, const std::string& target) {
  char b[64];
  std::snprintf(b, sizeof b, "%06o %u:%u", mode, uid, gid);
  std::string s = b;
  if ((mode & 0170000) == 0100000) s += " " + std::to_string(size);
  if ((mode & 0170000) == 0120000) s += " -> " + target;
  return s;
}

// A tree with text, random and mostly-zero files, a link, a hard link and a fifo.
inline HostTree make_tree(const std::string& src) {
  sfs::create_directories(src + "/etc/init.d");
  sfs::create_directories(src + "/bin");
  sfs::create_directories(src + "/empty");
  std::string text;
  for (int i = 0; i < 9000; ++i) text += "line " + std::to_string(i) + "\n";
  rstest::write_text(src + "/etc/text", text);
  auto rnd = rstest::random_bytes(400000, 7);
  rstest::write_bytes(src + "/bin/random", rnd);
  std::string zeros(50000, '\0');
  zeros[20000] = 'x';
  rstest::write_text(src + "/bin/zeros", zeros);
  rstest::write_text(src + "/etc/init.d/rcS", "#!/bin/sh\n");
  rstest::write_text(src + "/empty-file", "");
  ::chmod((src + "/etc/init.d/rcS").c_str(), 0750);
  sfs::create_symlink("../bin/random", src + "/etc/rlink");
  ::link((src + "/etc/text").c_str(), (src + "/bin/text-too").c_str());
  ::mkfifo((src + "/etc/fifo").c_str(), 0600);
  HostTree t;
  for (auto& e : sfs::recursive_directory_iterator(src)) {
    struct stat st {};
    ::lstat(e.path().c_str(), &st);
    std::string rel = e.path().string().substr(src.size());
    std::string target = S_ISLNK(st.st_mode) ? sfs::read_symlink(e.path()).string() : "";
    t.lines[rel] = line(st.st_mode, st.st_uid, st.st_gid, uint64_t(st.st_size), target);
    if (S_ISREG(st.st_mode)) t.files[rel] = rstest::read_text(e.path());
  }
  return t;
}

// An image and the erased partition buffer it is loaded from.
struct Part {
  std::vector<uint8_t> bytes;
  std::unique_ptr<rs::jffs2::fs> fs;
  Part(std::vector<uint8_t> b, size_t total) : bytes(std::move(b)) {
    size_t used = bytes.size();
    if (bytes.size() < total) bytes.resize(total, 0xFF);
    fs = rs::jffs2::load(bytes.data(), used, bytes.size());
  }
};

inline HostTree tree_of(rs::jffs2::fs& fs) {
  HostTree t;
  std::vector<rs::jffs2::node_entry> nodes;
  if (fs.walk("/", &nodes) != 0) return t;
  for (auto& n : nodes) {
    if (n.path == "/") continue;
    t.lines[n.path] = line(n.a.mode, n.a.uid, n.a.gid, n.a.size, n.a.target);
    if ((n.a.mode & 0170000) == 0100000) {
      std::string c(n.a.size, '\0');
      long long got = fs.pread(n.path.c_str(), c.data(), c.size(), 0);
      t.files[n.path] = got == (long long)c.size() ? c : "<read " + std::to_string(got) + ">";
    }
  }
  return t;
}

// The files that differ, by name and size, instead of their bytes.
inline std::string differing(const std::map<std::string, std::string>& got,
                             const std::map<std::string, std::string>& want) {
  std::string out;
  for (auto& [p, c] : want) {
    auto it = got.find(p);
    if (it == got.end())
      out += p + " missing\n";
    else if (it->second != c)
      out += p + " differs (" + std::to_string(it->second.size()) + " bytes, want " + std::to_string(c.size()) + ")\n";
  }
  for (auto& [p, c] : got)
    if (!want.count(p)) out += p + " unexpected\n";
  return out;
}

// jffs2dump's verdict: "" when every CRC holds, else its complaints.
inline std::string dump_complaints(const std::string& img, bool big) {
  rstest::RunResult r =
      rstest::run_command(std::string("jffs2dump -c ") + (big ? "-b " : "-l ") + rstest::shell_quote(img));
  std::string bad;
  size_t pos = 0;
  std::string all = r.out + r.err;
  while (pos < all.size()) {
    size_t nl = all.find('\n', pos);
    std::string l = all.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    if (l.find("Wrong") != std::string::npos) bad += l + "\n";
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  if (r.status != 0) bad += "status " + std::to_string(r.status);
  return bad;
}

}  // namespace jt
