// The UBI writer from the command line, for the kernel check
// (tests/ubi/kernel_ubi_test.py):
//   ubi_tool replace IN VOLUME DATA OUT
//   ubi_tool build OUT PEB MIN_IO SUB_PAGE VID_OFFSET SEQ ID:NAME:static|dynamic:FLAGS:SIZE:FILE...
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ubi/ubi.h"
#include "ubi/ubi_write.h"

namespace {

std::vector<uint8_t> slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

bool spill(const std::string& path, const std::vector<uint8_t>& d) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(d.data()), std::streamsize(d.size()));
  return bool(f);
}

int usage() {
  std::fprintf(stderr,
               "usage: ubi_tool replace IN VOLUME DATA OUT\n"
               "       ubi_tool build OUT PEB MIN_IO SUB_PAGE VID_OFFSET SEQ ID:NAME:TYPE:FLAGS:SIZE:FILE...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  std::string why;
  std::vector<uint8_t> out;
  if (a.size() == 5 && a[0] == "replace") {
    auto in = slurp(a[1]);
    auto img = rs::ubi::open(in.data(), in.size(), &why);
    const rs::ubi::volume* v = img ? img->find(a[2]) : nullptr;
    if (img && !v) why = "no volume " + a[2];
    if (!v || !rs::ubi::replace_volume(*img, v->id, slurp(a[3]), &out, &why)) {
      std::fprintf(stderr, "%s\n", why.c_str());
      return 1;
    }
    return spill(a[4], out) ? 0 : 1;
  }
  if (a.size() >= 8 && a[0] == "build") {
    rs::ubi::build_params p;
    p.peb_size = uint32_t(std::stoul(a[2]));
    p.min_io = uint32_t(std::stoul(a[3]));
    p.sub_page = uint32_t(std::stoul(a[4]));
    p.vid_hdr_offset = uint32_t(std::stoul(a[5]));
    p.image_seq = uint32_t(std::stoul(a[6]));
    std::vector<rs::ubi::volume_spec> vols;
    for (size_t i = 7; i < a.size(); ++i) {
      std::vector<std::string> f;
      std::stringstream ss(a[i]);
      for (std::string part; std::getline(ss, part, ':');) f.push_back(part);
      if (f.size() != 6) return usage();
      rs::ubi::volume_spec s;
      s.id = uint32_t(std::stoul(f[0]));
      s.name = f[1];
      s.type = f[2] == "static" ? rs::ubi::kStatic : rs::ubi::kDynamic;
      s.flags = uint8_t(std::stoul(f[3]));
      s.size = std::stoull(f[4]);
      if (!f[5].empty()) s.data = slurp(f[5]);
      vols.push_back(std::move(s));
    }
    if (!rs::ubi::build(p, vols, &out, &why)) {
      std::fprintf(stderr, "%s\n", why.c_str());
      return 1;
    }
    return spill(a[1], out) ? 0 : 1;
  }
  return usage();
}
