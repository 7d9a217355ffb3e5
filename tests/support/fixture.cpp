#include "fixture.h"

#include <zlib.h>

#include <cstring>
#include <stdexcept>

namespace rstest {
namespace {

void be32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

uint32_t crc(const uint8_t* p, size_t n) { return uint32_t(::crc32(0, p, uInt(n))); }

uint32_t used_of(const FixturePart& p) {
  return p.used_override >= 0 ? uint32_t(p.used_override) : uint32_t(p.content.size());
}

}  // namespace

size_t table_size(int format) { return format == 1 ? 512 : format == 2 ? 1024 : 3072; }

std::vector<uint8_t> encode_table(const FixtureTable& t) {
  const size_t size = table_size(t.format);
  const size_t rec = t.format == 1 ? 24 : 28;
  const size_t vers = t.format == 1 ? 293 : t.format == 2 ? 677 : 2357;
  const size_t crcs = t.format == 1 ? 413 : t.format == 2 ? 817 : 2525;
  const uint32_t magic = t.format == 1 ? 0xAABCDEFA : t.format == 2 ? 0xDD1C2BFA : 0xFF3E4D1C;
  std::vector<uint8_t> out(size, 0xFF);
  be32(&out[0], magic);
  out[4] = uint8_t(t.count_override >= 0 ? t.count_override : int(t.parts.size()));
  for (size_t i = 0; i < t.parts.size(); ++i) {
    const FixturePart& p = t.parts[i];
    uint8_t* r = &out[5 + i * rec];
    if (r + rec > out.data() + vers) throw std::runtime_error("too many partitions for the format");
    std::memset(r, 0, 8);
    std::memcpy(r, p.name.data(), std::min<size_t>(8, p.name.size()));
    be32(r + 8, p.total);
    be32(r + 12, used_of(p));
    uint8_t* f;
    if (t.format == 1) {
      be32(r + 16, p.start);
      f = r + 20;
    } else {
      be32(r + 16, p.reserved);
      be32(r + 20, p.start);
      f = r + 24;
    }
    f[0] = uint8_t(p.type);
    f[1] = uint8_t((p.crc32_enable ? 0x80 : 0) | (p.mode & 0x7F));
    f[2] = uint8_t((p.write_protect ? 0x80 : 0) | (p.id & 0x7F));
    f[3] = p.update_tags & 3;
    out[vers + 2 * i] = uint8_t(p.version >> 8);
    out[vers + 2 * i + 1] = uint8_t(p.version);
    uint32_t c = crc(p.content.data(), p.content.size());
    be32(&out[crcs + 4 * i], p.bad_crc ? ~c : c);
  }
  out[size - 7] = t.write_protect;
  out[size - 6] = t.crc32_enable;
  out[size - 5] = t.revision;
  uint32_t c = crc(out.data(), size - 4);
  be32(&out[size - 4], t.bad_table_crc ? c ^ 0x5A5A5A5A : c);
  return out;
}

std::vector<uint8_t> build_image(const FixtureTable& t, size_t image_size, size_t table_at) {
  std::vector<uint8_t> img(image_size, 0xFF);
  for (const FixturePart& p : t.parts) {
    if (p.content.empty()) continue;
    if (uint64_t(p.start) + p.content.size() > image_size) throw std::runtime_error("content beyond image");
    std::memcpy(&img[p.start], p.content.data(), p.content.size());
  }
  std::vector<uint8_t> tab = encode_table(t);
  if (table_at + tab.size() > image_size) throw std::runtime_error("table beyond image");
  std::memcpy(&img[table_at], tab.data(), tab.size());
  return img;
}

FixtureTable sample_table(int format) {
  FixtureTable t;
  t.format = format;
  auto part = [](const char* name, uint32_t start, uint32_t total, int8_t type, size_t fill, uint8_t seed) {
    FixturePart p;
    p.name = name;
    p.start = start;
    p.total = total;
    p.type = type;
    p.content.resize(fill);
    for (size_t i = 0; i < fill; ++i) p.content[i] = uint8_t(seed + i * 7);
    return p;
  };
  t.parts.push_back(part("BOOT", 0x0, 0x4000, 0, 0x1234, 1));
  t.parts.push_back(part("KERNEL", 0x4000, 0x8000, 0, 0x7000, 2));
  t.parts.push_back(part("TABLE", 0xC000, 0x1000, 0, 0, 3));
  t.parts.push_back(part("DATA", 0xD000, 0x3000, 0, 0x10, 4));
  t.parts[1].mode = 1;
  t.parts[1].version = 0x0203;
  t.parts[3].update_tags = 2;
  for (size_t i = 0; i < t.parts.size(); ++i) t.parts[i].id = uint8_t(i);
  return t;
}

}  // namespace rstest
