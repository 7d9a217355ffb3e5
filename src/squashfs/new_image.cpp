// Empty trees of a chosen kind, for building images from scratch: the kind is
// written into the tree's superblock copy and parameters exactly where a
// loaded image would leave them, so that the builders need no other path.
#include <sqfs/compressor.h>
#include <sqfs/super.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "squashfs/format2.h"
#include "squashfs/format3.h"
#include "squashfs/internal.h"
#include "util/endian.h"

namespace {

int block_log_of(uint32_t bs) {
  for (int l = 12; l <= 20; ++l)
    if ((1u << l) == bs) return l;
  return -1;
}

}  // namespace

squashfs_entry* squashfs_new(const squashfs_kind& k, std::string* why) {
  auto fail = [&](std::string text) -> squashfs_entry* {
    if (why) *why = std::move(text);
    return nullptr;
  };
  auto img = std::make_unique<squashfs_data>();
  uint32_t bs = k.block_size;
  if (k.version == 4) {
    if (!bs) bs = 131072;
    if (block_log_of(bs) < 0) return fail("block size " + std::to_string(bs) + " is no power of two from 4K to 1M");
    int id = 0;
    static const char* const kNames[] = {nullptr, "gzip", "lzma", "lzo", "xz", "lz4", "zstd"};
    for (int i = 1; i <= 6; ++i)
      if (k.comp == kNames[i]) id = i;
    if (!id) return fail("compressor '" + k.comp + "' unknown (gzip, lzma, lzo, xz, lz4, zstd)");
    sqfs_compressor_config_t cfg;
    if (sqfs_compressor_config_init(&cfg, SQFS_COMPRESSOR(id), bs, 0) != 0)
      return fail("compressor '" + k.comp + "' cannot be set up");
    squashfs_params4& p = img->p4;
    p.block_size = bs;
    p.compressor = uint16_t(id);
    p.dict_size = bs;
    p.level = cfg.level;
    if (id == SQFS_COMP_GZIP) p.window = cfg.opt.gzip.window_size;
    if (id == SQFS_COMP_LZO) p.algorithm = cfg.opt.lzo.algorithm;
    // As mksquashfs makes them: duplicates merged, an export table.
    p.flags = SQFS_FLAG_EXPORTABLE;
    if (id == SQFS_COMP_LZ4) {
      // Readers insist on lz4's options block: format version 1 (legacy), no
      // flags, in one stored metadata block.
      p.flags |= SQFS_FLAG_COMPRESSOR_OPTIONS;
      img->buffer = {0x08, 0x80, 1, 0, 0, 0, 0, 0, 0, 0};
    }
    // Big-endian: every integer swapped, length words included (the plain kind).
    p.big_endian = k.big_endian;
    img->version = 4;
    rs::store_le32(img->super4.data(), 0x73717368u);
    rs::store_le16(img->super4.data() + 28, 4);
  } else if (k.version == 3 || k.version == 2) {
    // 2.x and 3.x: "gzip" is zlib; "lzma-l" the 'L' kind (minor 76, headerless
    // raw LZMA blocks); "lzma" in 3.x the LZMA magic, in 2.x (which has no
    // such magic) the 'L' kind; under the plain magic, "lzma5" LZMA with the
    // 5-byte header, "lzma4" with the 4-byte props header (lc3 lp0 pb2) and
    // "lzma-raw" headerless raw LZMA lc0 lp0 pb2, both with the end marker.
    const bool v2 = k.version == 2;
    if (!bs) bs = 65536;
    if (block_log_of(bs) < 0 || (v2 && bs > rs::sqfs::v2::kMaxBlock))
      return fail("block size " + std::to_string(bs) + " is no power of two from 4K to " + (v2 ? "64K" : "1M"));
    bool magic_lzma = false, minor_l = false, lzma5 = false, lzma4 = false, lzma_raw = false;
    if (k.comp == "gzip") {
    } else if (k.comp == "lzma-l" || (v2 && k.comp == "lzma")) {
      minor_l = true;
    } else if (!v2 && k.comp == "lzma") {
      magic_lzma = true;
    } else if (k.comp == "lzma5") {
      lzma5 = true;
    } else if (k.comp == "lzma4") {
      lzma4 = true;
    } else if (k.comp == "lzma-raw") {
      lzma_raw = true;
    } else {
      return fail("compressor '" + k.comp + "' unknown for " + std::to_string(k.version) +
                  (v2 ? ".x (gzip, lzma-l or lzma, lzma5, lzma4, lzma-raw)"
                      : ".x (gzip, lzma, lzma-l, lzma5, lzma4, lzma-raw)"));
    }
    // 2.1 for zlib, as the last 2.x tools wrote; 2.0 as the sniffed LZMA firmware has it.
    uint16_t minor = minor_l ? rs::sqfs::v2::kMinorL : (lzma5 || lzma4 || lzma_raw) && v2 ? 0 : 1;
    const uint8_t props = lzma_raw ? 0x5A : 0x5D;
    // 2.x and 3.x keep the same parameters, each in its own slot.
    squashfs_params3& q = v2 ? img->p2 : img->p3;
    q.block_size = bs;
    q.minor = minor;
    q.flags = rs::sqfs::v3::kDuplicates;
    q.lzma5 = lzma5;
    q.lzma4 = lzma4;
    q.lzma_raw = lzma_raw;
    q.lzma_props = props;
    uint8_t* s = v2 ? img->super2.data() : img->super3.data();
    img->version = k.version;
    const rs::sqfs::v3::Order o{k.big_endian};
    o.put32(s, magic_lzma ? rs::sqfs::v3::kMagicLzma : rs::sqfs::v3::kMagicPlain);
    o.put16(s + rs::sqfs::v3::kMajor, uint16_t(k.version));
    o.put16(s + rs::sqfs::v3::kMinor, minor);
    o.put32(s + rs::sqfs::v3::kMkfsTime, uint32_t(std::time(nullptr)));
  } else {
    return fail("version " + std::to_string(k.version) + " cannot be built (2, 3 or 4)");
  }
  squashfs_inode rino;
  rino.type = 1;
  rino.mode = S_IFDIR | 0755;
  rino.time = int64_t(std::time(nullptr));
  rino.inode_number = 1;
  squashfs_entry* root = squashfs_entry_new(img.get(), "/", &rino, nullptr);
  root->name = "/";
  img->root_entry = root;
  img->entry_table["/"] = root;
  img.release();
  return root;
}
