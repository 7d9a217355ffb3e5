// Round trip of an edited file system: the input is read as a short edit
// session (add or replace a file, make a directory, remove a path) on a small
// starting tree, applied through the same operations the shell uses. Every
// write that reports success must read back at once; then the tree is rebuilt
// into an image, the image loaded again, and the two trees must match path
// for path (type, size, content).
// Compiled once per file system, with RT_CRAMFS, RT_SQUASHFS or RT_MINIFS defined.
// A writer limit ends the program through rs::rs_exit: here that
// throws and the input counts as rejected. Run with -close_fd_mask=3.
#include <romsmith/romsmith.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/fs_contract.h"
#include "cramfs/cramfs.h"
#include "exit_throws.h"
#include "minifs/internal.h"
#include "minifs/minifs.h"
#include "scratch.h"
#include "squashfs/squashfs.h"
#if defined(RT_SQUASHFS)
#include "image3.h"
#endif

namespace {

#if defined(RT_CRAMFS)
constexpr int kType = FS_CRAMFS;
#elif defined(RT_SQUASHFS)
constexpr int kType = FS_SQUASHFS;
#else
constexpr int kType = FS_MINIFS;
#endif

constexpr size_t kMinifsBytes = 16 * 65536;  // the partition a minifs lives in
constexpr size_t kMaxFile = 200000;          // crosses cramfs pages and squashfs blocks
constexpr size_t kMaxTotal = 600000;

const fs_ops* ops = fs_ops_for(kType);

struct Node {
  char kind;                  // 'd', 'f', 'l' or 'o' (other)
  std::vector<uint8_t> data;  // file content or link target
  uint32_t mode = 0, uid = 0, gid = 0;
  bool operator==(const Node& o) const {
    return kind == o.kind && data == o.data && mode == o.mode && uid == o.uid && gid == o.gid;
  }
};
using Tree = std::map<std::string, Node>;

// Reads the input front to back; past the end everything is 0.
struct Input {
  const uint8_t* p;
  size_t n, at = 0;
  bool more() const { return at < n; }
  uint8_t byte() { return at < n ? p[at++] : 0; }
};

std::string component(Input& in) {
  static const char* const common[] = {"a", "b", "etc", "lib", "x.so", "passwd", "dir", "rc.d"};
  uint8_t c = in.byte();
  if (c >= 0xF0) return std::string(1 + in.byte() + (c & 1) * 40, 'L');  // up to 296 bytes
  if (c >= 0xE0) {
    char odd = char(in.byte());
    if (odd == '/' || odd == '\0') odd = '_';
    return std::string("n") + odd;
  }
  return common[c % 8];
}

std::string path_of(Input& in) {
  std::string p;
  for (int depth = 1 + in.byte() % 3; depth-- > 0;) p += "/" + component(in);
  return p;
}

std::vector<uint8_t> content(Input& in, size_t& budget) {
  size_t len = (size_t(in.byte()) | size_t(in.byte()) << 8 | size_t(in.byte() & 3) << 16) % (kMaxFile + 1);
  len = std::min(len, budget);
  budget -= len;
  std::vector<uint8_t> d(len);
  uint8_t how = in.byte();
  uint32_t s = 0x9E3779B9u * (how | 1);
  for (size_t i = 0; i < len; ++i) {
    switch (how % 3) {
      case 0:
        d[i] = 0;
        break;  // compresses to nothing
      case 1:
        d[i] = in.n ? in.p[i % in.n] : 0;
        break;  // the input again
      default:
        s ^= s << 13, s ^= s >> 17, s ^= s << 5, d[i] = uint8_t(s);
        break;  // does not compress
    }
  }
  return d;
}

// --- the file system under test ------------------------------------------
void* fs = nullptr;
std::vector<std::vector<uint8_t>> bases;  // images a session may start from
std::vector<uint8_t> part_buf;            // minifs: the partition the device works in

void* load(const std::vector<uint8_t>& image) {
  part_buf = image;
  // Room after the image, as a partition has, for saves over its own bytes.
  part_buf.resize(kType == FS_MINIFS ? kMinifsBytes : image.size() * 2 + (1 << 20), 0xFF);
  return ops->load(part_buf.data(), uint32_t(image.size()), uint32_t(part_buf.size()));
}

// Every node below the root by path, through the contract's walk and pread,
// as the dump and the shell's listings see it.
void walk(void* f, Tree& t) {
  std::vector<fs_node> nodes;
  if (ops->walk(f, "/", &nodes) != 0) abort();  // a loaded tree always lists
  for (const fs_node& n : nodes) {
    if (n.path == "/") continue;
    uint32_t type = n.attr.mode & S_IFMT;
    char kind = type == S_IFDIR ? 'd' : type == S_IFREG ? 'f' : type == S_IFLNK ? 'l' : 'o';
    Node node{kind, {}, n.attr.mode, n.attr.uid, n.attr.gid};
    if (kind == 'f') {
      node.data.resize(n.attr.size);
      if (!node.data.empty() &&
          ops->pread(f, n.path.c_str(), node.data.data(), node.data.size(), 0) != (long long)node.data.size())
        abort();  // a listed file that does not read whole
    } else if (kind == 'l') {
      node.data.assign(n.attr.target.begin(), n.attr.target.end());
    }
    if (!t.emplace(n.path, node).second) abort();  // two nodes of one path
  }
}

void put_file(const std::string& dir, const char* name, const char* text) {
  FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
  if (!f) abort();
  std::fputs(text, f);
  std::fclose(f);
}

// The starting tree: a file, a directory with a file and a link, as images.
std::vector<std::vector<uint8_t>> make_bases(const std::string& dir) {
  std::string src = dir + "/src";
  if (::mkdir(src.c_str(), 0755) != 0 || ::mkdir((src + "/etc").c_str(), 0755) != 0) abort();
  put_file(src, "etc/passwd", "root:x:0:0::/root:/bin/sh\n");
  put_file(src, "version", "1.0\n");
  if (symlink("passwd", (src + "/etc/pw").c_str()) != 0) abort();
  std::vector<uint8_t> img;
#if defined(RT_CRAMFS)
  size_t ub = 0;
  entry* root = cramfs_parse_directory(src.c_str(), &ub);
  size_t n = 0;
  uint8_t* p = root ? cramfs_mmap(root, &n) : nullptr;
  if (!p) abort();
  img.assign(p, p + n);
  free(p);
  cramfs_free(root);
#elif defined(RT_SQUASHFS)
  // A 3.x image made in code, and a 4.0 one when mksquashfs is at hand.
  std::string out = dir + "/base4";
  std::string cmd = "mksquashfs '" + src + "' '" + out + "' -noappend -comp xz -quiet >/dev/null 2>&1";
  if (std::system(cmd.c_str()) == 0) {
    if (FILE* f = std::fopen(out.c_str(), "rb")) {
      uint8_t buf[65536];
      for (size_t k; (k = std::fread(buf, 1, sizeof buf, f)) > 0;) img.insert(img.end(), buf, buf + k);
      std::fclose(f);
    }
  }
  if (img.empty()) std::fprintf(stderr, "no mksquashfs: the 4.0 writer is not fuzzed\n");
  return img.empty() ? std::vector<std::vector<uint8_t>>{example_image3(true)}
                     : std::vector<std::vector<uint8_t>>{example_image3(true), img};
#else
  std::vector<uint8_t> part(kMinifsBytes, 0xFF);
  minifs_device* d = minifs_mount("", "/", part.data(), part.size(), nullptr);
  if (!d || minifs_load(d, src.c_str(), 1) < 0) abort();
  size_t n = 0;
  uint8_t* p = minifs_mmap(d, &n);
  minifs_umount(d);
  if (!p) abort();
  img.assign(p, p + n);
  minifs_munmap(p, n);
#endif
  return {img};
}

void release() {
  if (fs) ops->release(fs);
  fs = nullptr;
}

void session(Input& in) {
  size_t budget = kMaxTotal;
  for (int ops_left = 24; ops_left-- > 0 && in.more();) {
    uint8_t op = in.byte();
    std::string p = path_of(in);
    switch (op % 4) {
      case 0:
      case 1: {  // add or replace, as the shell's add does it
        std::vector<uint8_t> d = content(in, budget);
        if (ops->put(fs, p.c_str(), d.data(), d.size(), nullptr) != 0) break;  // refused
        std::vector<uint8_t> back(d.size() + 1);
        long long got = ops->pread(fs, p.c_str(), back.data(), back.size(), 0);
        if (got != (long long)d.size() || !std::equal(d.begin(), d.end(), back.begin())) abort();
        break;
      }
      case 2: {
        uint8_t how = in.byte();
        if (how % 4 == 0) {
          ops->mkdir(fs, p.c_str(), 0700 | (how & 077));
        } else if (how % 4 == 1) {
          // A replaced file keeps what it had unless told otherwise.
          fs_attr was;
          bool had = ops->stat(fs, p.c_str(), &was) == 0 && S_ISREG(was.mode);
          std::vector<uint8_t> d = content(in, budget);
          if (ops->put(fs, p.c_str(), d.data(), d.size(), nullptr) != 0) break;
          fs_attr now;
          if (ops->stat(fs, p.c_str(), &now) != 0 || now.size != d.size()) abort();
          if (had && (now.mode != was.mode || now.uid != was.uid || now.gid != was.gid)) abort();
        } else if (how % 4 == 2) {
          ops->chmod(fs, p.c_str(), 04000 | (how & 0777));
          ops->chown(fs, p.c_str(), how % 7, how % 5);
        } else {
          ops->symlink(fs, component(in).c_str(), p.c_str());
        }
        break;
      }
      default:
        ops->remove(fs, p.c_str());
        break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The host tree is needed only to make the starting images.
  fuzzing::ScratchDir dir("fuzz_roundtrip");
  bases = make_bases(dir.path());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  fs = load(bases.size() > 1 ? bases[in.byte() % bases.size()] : bases[0]);
  if (!fs) abort();  // the starting image must load
  try {
    session(in);
    Tree before;
    walk(fs, before);
    // A save over the partition's own bytes, where the file system has one:
    // the kept handle and a fresh load both read the edited tree.
    if (ops->rebuild_in_place && ops->in_place_keeps_handle) {
      long long m = ops->rebuild_in_place(fs, part_buf.data(), part_buf.size(), nullptr);
      if (m == -2 || m > (long long)part_buf.size()) abort();
      if (m > 0) {
        Tree kept, after;
        walk(fs, kept);
        if (kept != before) abort();
        std::vector<uint8_t> image(part_buf.begin(), part_buf.begin() + m);
        release();
        fs = load(image);
        if (!fs) abort();
        walk(fs, after);
        if (before != after) abort();
        release();
        return 0;
      }
    }
    size_t n = 0;
    uint8_t* img = ops->rebuild(fs, &n, nullptr);
    if (!img) abort();  // the shell's edits stay within the writer's limits
    std::vector<uint8_t> image(img, img + n);
    ops->release_image(img, n);
    release();
    fs = load(image);
    if (!fs) abort();  // our own image must load
    Tree after;
    walk(fs, after);
    if (before != after) abort();
  } catch (const fuzzing::ExitCalled&) {
  }
  release();
  return 0;
}
