// Device layer: the ramdisk driver, page and block bookkeeping, allocation,
// deletion, erasure, CRC-32 and the zlib compressor.
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "minifs/internal.h"
#include "util/report.h"
#include "util/endian.h"

namespace minifs {

int bit_count(uint8_t v) { return __builtin_popcount(v); }

void PageTags::decode(const uint8_t* t) {
  uint32_t w0 = rs::load_le32(t), w1 = rs::load_le32(t + 4);
  chunkId = uint32_t(rs::get_bits(w0, 0, 20));
  serialNumber = uint32_t(rs::get_bits(w0, 20, 2));
  byteCount = uint32_t(rs::get_bits(w0, 22, 10));
  objectId = uint32_t(rs::get_bits(w1, 0, 18));
  ecc = uint32_t(rs::get_bits(w1, 18, 12));
  unusedStuff = uint32_t(rs::get_bits(w1, 30, 2));
  pageStatus = t[8];
  blockStatus = t[9];
}

void PageTags::encode(uint8_t* t) const {
  uint64_t w0 = 0, w1 = 0;
  w0 = rs::set_bits(w0, 0, 20, chunkId);
  w0 = rs::set_bits(w0, 20, 2, serialNumber);
  w0 = rs::set_bits(w0, 22, 10, byteCount);
  w1 = rs::set_bits(w1, 0, 18, objectId);
  w1 = rs::set_bits(w1, 18, 12, ecc);
  w1 = rs::set_bits(w1, 30, 2, unusedStuff);
  rs::store_le32(t, uint32_t(w0));
  rs::store_le32(t + 4, uint32_t(w1));
  t[8] = pageStatus;
  t[9] = blockStatus;
  t[10] = t[11] = 0xFF;
}

static std::string bounded_string(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max && p[n]) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

void ObjectHeader::decode(const uint8_t* d) {
  flag = d[0];
  name = bounded_string(d + 1, kMaxName);
  mode = rs::load_le32(d + 36);
  uid = rs::load_le32(d + 40);
  gid = rs::load_le32(d + 44);
  atime = rs::load_le32(d + 48);
  mtime = rs::load_le32(d + 52);
  ctime = rs::load_le32(d + 56);
  objectSize = rs::load_le32(d + 60);
  rawFileSize = rs::load_le32(d + 64);
  type = rs::load_le32(d + 68);
  parent_obj_id = rs::load_le32(d + 72);
  equiv_id = rs::load_le32(d + 76);
  alias = bounded_string(d + 80, kMaxAlias);
  flag_end = d[240];
  std::memcpy(tail, d + 241, 3);
}

void ObjectHeader::encode(uint8_t* d) const {
  std::memset(d, 0, kHeaderBytes);
  d[0] = flag;
  std::memcpy(d + 1, name.data(), std::min<size_t>(name.size(), kMaxName));
  rs::store_le32(d + 36, mode);
  rs::store_le32(d + 40, uid);
  rs::store_le32(d + 44, gid);
  rs::store_le32(d + 48, atime);
  rs::store_le32(d + 52, mtime);
  rs::store_le32(d + 56, ctime);
  rs::store_le32(d + 60, objectSize);
  rs::store_le32(d + 64, rawFileSize);
  rs::store_le32(d + 68, type);
  rs::store_le32(d + 72, parent_obj_id);
  rs::store_le32(d + 76, equiv_id);
  std::memcpy(d + 80, alias.data(), std::min<size_t>(alias.size(), kMaxAlias));
  d[240] = flag_end;
  std::memcpy(d + 241, tail, 3);
}

// ---- ramdisk driver -------------------------------------------------------

static const uint8_t* block_bytes(minifs_device* dev, int block) {
  if (dev->buffer && dev->cow[size_t(block)]) return dev->cow[size_t(block)].get();
  return dev->memory + size_t(block - 1) * kBlockBytes;
}

// The bytes of `block` to change, or null when no memory is left for the copy.
static uint8_t* writable_block(minifs_device* dev, int block) {
  bool borrowed = dev->buffer != nullptr;
  if (dev->txn && !dev->undo.count(block)) {
    minifs_device::Undo u;
    u.had_copy = borrowed && dev->cow[size_t(block)];
    // A block still read from the borrowed image needs no saved bytes: undoing
    // is dropping its copy.
    if (!borrowed || u.had_copy) {
      u.bytes.reset(new (std::nothrow) uint8_t[kBlockBytes]);
      if (!u.bytes) return nullptr;
      std::memcpy(u.bytes.get(), block_bytes(dev, block), kBlockBytes);
    }
    dev->undo.emplace(block, std::move(u));
  }
  if (!borrowed) return dev->memory + size_t(block - 1) * kBlockBytes;
  auto& copy = dev->cow[size_t(block)];
  if (!copy) {
    copy.reset(new (std::nothrow) uint8_t[kBlockBytes]);
    if (!copy) return nullptr;
    std::memcpy(copy.get(), dev->memory + size_t(block - 1) * kBlockBytes, kBlockBytes);
  }
  return copy.get();
}

static int ramdisk_ReadPage(minifs_device* dev, int page, uint8_t* data, uint8_t* tags) {
  const uint8_t* p =
      block_bytes(dev, (page - 1) / kPagesPerBlock + 1) + size_t((page - 1) % kPagesPerBlock) * kPageSize;
  if (data) std::memcpy(data, p, kDataBytes);
  if (tags) std::memcpy(tags, p + kDataBytes, kTagBytes);
  return 1;
}

static int ramdisk_WritePage(minifs_device* dev, int page, const uint8_t* data, const uint8_t* tags) {
  uint8_t* b = writable_block(dev, (page - 1) / kPagesPerBlock + 1);
  if (!b) return 0;
  uint8_t* p = b + size_t((page - 1) % kPagesPerBlock) * kPageSize;
  if (data) {
    for (int i = 0; i < kDataBytes; ++i)
      if (p[i] != 0xFF) rs::warn(" error: ========== pageInNAND=%d [%d]=%x ==============\n", page - 1, i, p[i]);
    std::memcpy(p, data, kDataBytes);
  }
  if (tags) std::memcpy(p + kDataBytes, tags, kTagBytes);
  return 1;
}

static int ramdisk_EraseBlock(minifs_device* dev, int block) {
  if (block < 1 || block > dev->nBlocks) {
    rs::warn("Attempt to erase non-existant block %d\n", block);
    return 0;
  }
  uint8_t* b = writable_block(dev, block);
  if (!b) return 0;
  std::memset(b, 0xFF, kBlockBytes);
  return 1;
}

}  // namespace minifs

using namespace minifs;

int ramdisk_Init(minifs_device* dev) {
  dev->nBlocks = int(dev->size / kBlockBytes);
  dev->block_count = dev->nBlocks;
  dev->page_count = dev->block_count * kPagesPerBlock;
  dev->blocks.assign(size_t(dev->block_count) + 1, Block{});
  for (int b = 1; b <= dev->block_count; ++b) dev->blocks[b].start_page = (b - 1) * kPagesPerBlock + 1;
  if (dev->EndBlock > dev->block_count) dev->EndBlock = dev->block_count;
  if (dev->buffer) {
    dev->memory = dev->buffer;
    dev->cow.resize(size_t(dev->nBlocks) + 1);
  } else {
    try {
      dev->owned.assign(dev->size, 0xFF);
    } catch (const std::bad_alloc&) {
      return 0;
    }
    dev->memory = dev->owned.data();
  }
  dev->readPage = ramdisk_ReadPage;
  dev->writePage = ramdisk_WritePage;
  dev->eraseBlock = ramdisk_EraseBlock;
  return 1;
}

namespace minifs {

// ---- device layer ---------------------------------------------------------

int device_ReadPage(minifs_device* dev, int page, uint8_t* data, PageTags* tags) {
  if (page < 1 || page > dev->page_count) return 0;
  uint8_t raw[kTagBytes];
  int r = dev->readPage(dev, page, data, raw);
  if (tags) tags->decode(raw);
  return r;
}

int device_WritePage(minifs_device* dev, int page, const uint8_t* data, const PageTags* tags) {
  if (page < dev->StartBlock * kPagesPerBlock - (kPagesPerBlock - 1) || page < 1 || page > dev->page_count) {
    rs::warn("**>> minifs page %d is not valid\n", page);
    return 0;
  }
  uint8_t raw[kTagBytes];
  if (tags) tags->encode(raw);
  return dev->writePage(dev, page, data, tags ? raw : nullptr);
}

int device_EraseBlock(minifs_device* dev, int block) { return dev->eraseBlock(dev, block); }

int device_IsBlockBad(minifs_device* dev, int block) {
  PageTags t;
  int first = dev->blocks[block].start_page;
  device_ReadPage(dev, first, nullptr, &t);
  if (bit_count(t.blockStatus) <= 6) return 1;
  device_ReadPage(dev, first + 1, nullptr, &t);
  return bit_count(t.blockStatus) <= 6 ? 1 : 0;
}

int device_CheckPageBit(minifs_device* dev, int block, int page) {
  const uint8_t* row = &dev->pageBits[size_t(block) * dev->pageBitmapStride];
  return (row[page / 8] >> (page % 8)) & 1;
}

void device_SetPageBit(minifs_device* dev, int block, int page, bool on) {
  uint8_t* row = &dev->pageBits[size_t(block) * dev->pageBitmapStride];
  if (on)
    row[page / 8] |= uint8_t(1u << (page % 8));
  else
    row[page / 8] &= uint8_t(~(1u << (page % 8)));
}

int device_StillSomePageBits(minifs_device* dev, int block) {
  const uint8_t* row = &dev->pageBits[size_t(block) * dev->pageBitmapStride];
  for (int i = 0; i < dev->pageBitmapStride; ++i)
    if (row[i]) return 1;
  return 0;
}

static void clear_block_bits(minifs_device* dev, int block) {
  std::memset(&dev->pageBits[size_t(block) * dev->pageBitmapStride], 0, dev->pageBitmapStride);
}

int minifs_FindBlock(minifs_device* dev, int page) {
  if (page < 1 || page > dev->page_count) return -1;
  int last = dev->lastFoundBlock;
  if (last >= 1 && last <= dev->block_count && page >= dev->blocks[last].start_page &&
      page < dev->blocks[last].start_page + kPagesPerBlock)
    return last;
  int lo = 1, hi = dev->block_count;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    const Block& b = dev->blocks[mid];
    if (page < b.start_page)
      hi = mid - 1;
    else if (page >= b.start_page + b.page_count)
      lo = mid + 1;
    else
      return dev->lastFoundBlock = mid;
  }
  return -1;
}

int minifs_AllocatePage(minifs_device* dev, bool useReserve) {
  if (dev->allocationBlock < 0) {
    if (dev->ErasedBlocks <= 0) {
      rs::warn("minifs tragedy: no space during gc\n");
    } else {
      for (int i = dev->StartBlock; i <= dev->EndBlock; ++i) {
        if (++dev->allocationBlockFinder > dev->EndBlock || dev->allocationBlockFinder < dev->StartBlock)
          dev->allocationBlockFinder = dev->StartBlock;
        Block& b = dev->blocks[dev->allocationBlockFinder];
        if (b.blockState == BLOCK_EMPTY) {
          b.blockState = BLOCK_ALLOCATING;
          dev->allocationBlock = dev->allocationBlockFinder;
          dev->allocationPage = 0;
          dev->ErasedBlocks--;
          break;
        }
      }
    }
  }
  if (!useReserve && dev->ErasedBlocks <= dev->ReservedBlocks) {
    rs::warn("Not enougth space ErasedBlocks=%d\n", dev->ErasedBlocks);
    return -1;
  }
  if (dev->allocationBlock < 0) {
    rs::warn("!!!!!!!!! Allocator out !!!!!!!!!!!!!!!!!\n");
    return -1;
  }
  Block& b = dev->blocks[dev->allocationBlock];
  int page = b.start_page + int(dev->allocationPage);
  device_SetPageBit(dev, dev->allocationBlock, int(dev->allocationPage), true);
  b.pagesInUse++;
  dev->allocationPage++;
  dev->FreePages--;
  if (int(dev->allocationPage) >= b.page_count) {
    b.blockState = BLOCK_FULL;
    dev->allocationBlock = -1;
  }
  return page;
}

static void retire_block(minifs_device* dev, int block) {
  PageTags t;
  t.blockStatus = 0;
  device_WritePage(dev, dev->blocks[block].start_page, nullptr, &t);
  device_WritePage(dev, dev->blocks[block].start_page + 1, nullptr, &t);
  dev->blocks[block].blockState = BLOCK_DEAD;
  rs::warn("**>> Block %d retired\n", block);
}

void minifs_BlockBecameDirty(minifs_device* dev, int block) {
  Block& b = dev->blocks[block];
  b.blockState = BLOCK_DIRTY;
  if (!b.needsRetiring) {
    if (device_EraseBlock(dev, block)) {
      b.blockState = BLOCK_EMPTY;
      b.pagesInUse = 0;
      b.softDeletions = 0;
      dev->ErasedBlocks++;
      clear_block_bits(dev, block);
      return;
    }
    rs::warn("**>> Erasure failed %d\n", block);
  }
  retire_block(dev, block);
}

void minifs_DeletePage(minifs_device* dev, int page, bool markNAND) {
  if (page < 1) return;
  int block = minifs_FindBlock(dev, page);
  if (block < 0) return;
  if (markNAND) {
    PageTags t;
    t.pageStatus = 0;
    device_WritePage(dev, page, nullptr, &t);
  }
  Block& b = dev->blocks[block];
  // Pages superseded during the mount scan are counted off too, or their block
  // could never become dirty again.
  if (b.blockState != BLOCK_ALLOCATING && b.blockState != BLOCK_FULL && b.blockState != BLOCK_SCANNING) return;
  int idx = page - b.start_page;
  if (!device_CheckPageBit(dev, block, idx)) return;  // already retired: count it once
  dev->FreePages++;
  device_SetPageBit(dev, block, idx, false);
  b.pagesInUse--;
  if (b.blockState == BLOCK_FULL && b.pagesInUse == 0) minifs_BlockBecameDirty(dev, block);
}

void minifs_BadBlockRecycling(minifs_device* dev, int block) {
  Block& b = dev->blocks[block];
  if (!device_EraseBlock(dev, block)) return;
  b.blockState = BLOCK_EMPTY;
  b.needsRetiring = false;
  b.pagesInUse = 0;
  b.softDeletions = 0;
  clear_block_bits(dev, block);
  dev->ErasedBlocks++;
}

int device_Init(minifs_device* dev) {
  if (dev->ReservedBlocks < 0 || dev->StartBlock <= 0 || dev->EndBlock <= 0 ||
      dev->ReservedBlocks + dev->StartBlock >= dev->EndBlock)
    return 0;
  int bits = 0;
  while ((int64_t(dev->page_count) >> bits) > 65536) ++bits;
  dev->pageGroupBits = uint16_t(bits);
  dev->pageGroupSize = uint16_t(1u << bits);
  if (dev->PagesMinBlock < dev->pageGroupSize) return 0;
  dev->currentDirtyChecker = 0;
  dev->ErasedBlocks = 0;
  dev->DataBytesPerChunk = kDataBytes;
  dev->allocationBlock = -1;
  dev->allocationBlockFinder = dev->StartBlock - 1;
  dev->pageBitmapStride = int(dev->PagesMaxBlock + 7) / 8;
  dev->pageBits.assign(size_t(dev->block_count + 1) * dev->pageBitmapStride, 0);
  minifs_Scan(dev);
  dev->usable = true;
  return 1;
}

void device_Begin(minifs_device* dev) {
  dev->undo.clear();
  dev->txn = true;
}

void device_Commit(minifs_device* dev) {
  dev->txn = false;
  dev->undo.clear();
}

void device_Rollback(minifs_device* dev) {
  dev->txn = false;
  for (auto& [block, u] : dev->undo) {
    if (!dev->buffer)
      std::memcpy(dev->memory + size_t(block - 1) * kBlockBytes, u.bytes.get(), kBlockBytes);
    else if (!u.had_copy)
      dev->cow[size_t(block)].reset();  // the borrowed image still holds the old bytes
    else
      std::memcpy(dev->cow[size_t(block)].get(), u.bytes.get(), kBlockBytes);
  }
  dev->undo.clear();
  // The tree, the block states and the allocator are whatever the restored
  // media says: scanning it again is simpler and surer than undoing each step.
  for (auto& [id, obj] : dev->objects) minifs_DetachHandle(obj.get());
  dev->objects.clear();
  dev->root = nullptr;
  for (int b = 1; b <= dev->block_count; ++b) {
    int start = dev->blocks[size_t(b)].start_page;
    dev->blocks[size_t(b)] = Block{};
    dev->blocks[size_t(b)].start_page = start;
  }
  dev->FreePages = 0;
  dev->lastFoundBlock = 0;
  dev->root = minifs_CreateNewObject(dev, nullptr, 1, OBJ_DIRECTORY, 0, 0, 040775);
  device_Init(dev);
}

// ---- compression and CRC --------------------------------------------------

int minifs_compress(uint8_t* dest, size_t* destLen, const uint8_t* source, size_t sourceLen) {
  if (*destLen <= 12) return -1;
  z_stream s{};
  if (deflateInit(&s, 9) != Z_OK) return -1;
  s.next_in = const_cast<Bytef*>(source);
  s.avail_in = uInt(sourceLen);
  s.next_out = dest;
  s.avail_out = uInt(*destLen - 12);
  int r = deflate(&s, Z_FINISH);
  bool ok = r == Z_STREAM_END && s.avail_in == 0;
  size_t out = s.total_out;
  deflateEnd(&s);
  if (!ok) return -1;
  *destLen = out;
  return 0;
}

int minifs_uncompress(uint8_t* dest, size_t* destLen, const uint8_t* source, size_t sourceLen) {
  uLongf n = uLongf(*destLen);
  if (uncompress(dest, &n, source, uLong(sourceLen)) != Z_OK) return -1;
  *destLen = n;
  return 0;
}

uint32_t minifs_crc32(uint32_t crc, const uint8_t* buf, size_t len) {
  static const auto table = [] {
    std::vector<uint32_t> t(256);
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (size_t i = 0; i < len; ++i) crc = table[(crc ^ buf[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace minifs
