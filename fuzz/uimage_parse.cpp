// Reads arbitrary bytes as a boot-image header and checks the codec against
// itself: what parses lists, rewriting an image with its own data gives the
// same bytes back when its CRCs were right, a rewritten image always parses
// with both CRCs right, and the scan finds only headers that seal.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "uimage/uimage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rs::uimage_info info;
  std::string why;
  if (rs::uimage_parse(data, size, &info, &why)) {
    if (rs::uimage_describe(info).empty()) abort();
    if (why.empty() != (info.header_crc_ok && info.data_crc_ok)) abort();
    for (const rs::uimage_part& p : info.parts)
      if (p.offset < info.data_offset || p.offset + p.size > info.data_offset + info.size) abort();
    const uint8_t* body = data + info.data_offset;
    std::vector<uint8_t> out;
    std::string why2;
    bool replaced = rs::uimage_replace_payload(data, size, body, info.size, &out, &why2);
    if (replaced != info.header_crc_ok) abort();
    if (replaced) {
      const size_t end = info.data_offset + info.size;
      if (info.data_crc_ok && (out.size() != end || memcmp(out.data(), data, end) != 0)) abort();
      rs::uimage_info again;
      if (!rs::uimage_parse(out.data(), out.size(), &again, &why2) || !again.header_crc_ok || !again.data_crc_ok)
        abort();
      if (info.multi && !info.parts.empty()) {
        static const uint8_t part[] = {1, 2, 3, 4, 5};
        size_t index = info.parts.size() - 1;
        if (!rs::uimage_replace_part(data, size, index, part, sizeof part, &out, &why2)) abort();
        if (!rs::uimage_parse(out.data(), out.size(), &again, &why2) || again.parts.size() != info.parts.size() ||
            memcmp(out.data() + again.parts[index].offset, part, sizeof part) != 0)
          abort();
      }
    }
  }
  for (size_t align : {size_t(1), size_t(4), size_t(64)})
    for (size_t at : rs::uimage_find(data, size, align)) {
      if (at % align) abort();
      rs::uimage_info found;
      if (rs::uimage_parse(data + at, size - at, &found, &why) && !found.header_crc_ok) abort();
    }
  return 0;
}
