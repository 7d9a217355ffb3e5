// Open files and path operations. An open file holds its whole content in
// 8192-byte blocks; a store rewrites the changed blocks as checksummed,
// compressed records between a "Z" header and a final ordinary header.
#include <cstdio>
#include <cstring>
#include <memory>

#include "minifs/internal.h"
#include "util/report.h"
#include "util/endian.h"

using namespace minifs;

namespace {
struct cache {
  uint32_t magic = kBlockMagic;
  uint32_t crc = 0;
  uint16_t comprSize = 0;
  uint8_t sizeLow = 0;
  uint8_t is_compress = 0;
  uint8_t data[kContentBlock] = {};
  bool dirty = false;
  bool stored = false;  // a record for it exists in the stored content
};

uint8_t size_check(uint16_t comprSize) { return uint8_t((comprSize >> 8) ^ comprSize); }
}  // namespace

struct minifs_Handle {
  minifs_Object* obj = nullptr;
  std::vector<std::unique_ptr<cache>> blocks;
  uint32_t blockSize = kContentBlock;
  uint32_t blockTotalSize = 0;
  bool dirty = false;
  int ref = 0;
  int loadState = 0;  // 0 not loaded, 1 loaded, -1 damaged (kept failing)
};

namespace minifs {
void minifs_DetachHandle(minifs_Object* obj) {
  if (obj->handle) obj->handle->obj = nullptr;
  obj->handle = nullptr;
}
}  // namespace minifs

static void grow(minifs_Handle* h, uint64_t end) {
  if (end <= h->blockTotalSize) return;
  size_t want = size_t((end + kContentBlock - 1) / kContentBlock);
  while (h->blocks.size() < want) {
    try {
      h->blocks.push_back(std::make_unique<cache>());
    } catch (const std::bad_alloc&) {
      rs::warn("Out memory....");
      return;
    }
    h->blockTotalSize += kContentBlock;
  }
}

static int load_content(minifs_Handle* h) {
  if (h->loadState) return h->loadState > 0 ? 0 : -1;
  minifs_Object* obj = h->obj;
  uint32_t raw = obj->Header.rawFileSize;
  if (raw == 0 || !h->blocks.empty()) {
    h->loadState = 1;
    return 0;
  }
  // More than a file can hold is a damaged header, not a reason to allocate gigabytes.
  if (raw > kMaxFileSize) {
    h->loadState = -1;
    return -1;
  }
  grow(h, raw);
  uint32_t pos = 0;
  std::vector<uint8_t> payload(kContentBlock);
  for (auto& blk : h->blocks) {
    uint8_t hdr[12];
    if (minifs_ReadDataFromObject(obj, hdr, pos, 12) != 12) break;  // the rest reads as zeros
    pos += 12;
    uint32_t magic = rs::load_le32(hdr);
    if (magic != kBlockMagic) continue;
    blk->crc = rs::load_le32(hdr + 4);
    blk->comprSize = rs::load_le16(hdr + 8);
    blk->sizeLow = hdr[10];
    blk->is_compress = hdr[11];
    if (blk->comprSize > kContentBlock || blk->sizeLow != size_check(blk->comprSize)) {
      h->loadState = -1;
      return -1;
    }
    if (minifs_ReadDataFromObject(obj, payload.data(), pos, blk->comprSize) != blk->comprSize) {
      h->loadState = -1;
      return -1;
    }
    pos += blk->comprSize;
    uint32_t crc = minifs_crc32(0, payload.data(), blk->comprSize);
    if (crc != blk->crc) {
      rs::warn("warning: Block CRC error 0x%x : 0x%x\n", crc, blk->crc);
      h->loadState = -1;
      return -1;
    }
    if (blk->is_compress) {
      size_t n = kContentBlock;
      if (minifs_uncompress(blk->data, &n, payload.data(), blk->comprSize) != 0) {
        rs::warn("waring: uncompress error!\n");
        h->loadState = -1;
        return -1;
      }
    } else {
      std::memcpy(blk->data, payload.data(), blk->comprSize);
    }
    blk->stored = true;
  }
  h->loadState = 1;
  return 0;
}

minifs_Handle* minifs_open(minifs_device* dev, const char* path, int flags, int mode) {
  if (!dev || !path) return nullptr;
  minifs_Object* obj = minifs_FindObjectByName(dev, path);
  bool create = flags & 0x100;
  if (obj && obj->Header.type != OBJ_FILE) return nullptr;  // never replace a directory tree by a file
  if (!obj) {
    if (!create) return nullptr;
    obj = minifs_CreateNewObjectByName(dev, path, OBJ_FILE, 0, 0, uint32_t(mode), nullptr, nullptr);
    if (!obj) return nullptr;
  } else if (create) {
    if (obj->handle) {
      // Others still hold this handle: empty it in place rather than free it under them.
      minifs_Handle* h = obj->handle;
      h->blocks.clear();
      h->blockTotalSize = 0;
      h->loadState = 1;
      h->dirty = true;
      obj->Header.rawFileSize = 0;
      obj->fileSize = 0;
      obj->Cache.chunkId = -1;
      obj->dirty = true;
    } else {
      minifs_DeleteObject(obj);
      obj = minifs_CreateNewObjectByName(dev, path, OBJ_FILE, 0, 0, uint32_t(mode), nullptr, nullptr);
      if (!obj) return nullptr;
    }
  }
  if (!obj->handle) {
    obj->handle = new minifs_Handle;
    obj->handle->obj = obj;
  }
  obj->handle->ref++;
  return obj->handle;
}

int minifs_write(minifs_Handle* h, const void* buffer_in, size_t nbyte, size_t offset) {
  if (!h || !h->obj || load_content(h) < 0) return -1;
  if (offset >= kMaxFileSize) return 0;
  size_t end = offset + std::min<size_t>(nbyte, kMaxFileSize - offset);
  if (end <= offset) return 0;
  grow(h, end);
  end = std::min<size_t>(end, h->blocks.size() * size_t(kContentBlock));
  const uint8_t* src = static_cast<const uint8_t*>(buffer_in);
  size_t pos = offset;
  while (pos < end) {
    cache* blk = h->blocks[pos / kContentBlock].get();
    size_t in = pos % kContentBlock;
    size_t n = std::min<size_t>(end - pos, kContentBlock - in);
    std::memcpy(blk->data + in, src + (pos - offset), n);
    blk->dirty = true;
    pos += n;
  }
  if (pos <= offset) return 0;
  minifs_Object* obj = h->obj;
  obj->Header.rawFileSize = std::max<uint32_t>(obj->Header.rawFileSize, uint32_t(pos));
  h->dirty = true;
  return int(pos - offset);
}

int minifs_read(minifs_Handle* h, void* buffer_in, size_t nbyte, size_t offset) {
  if (!h || !h->obj || load_content(h) < 0) return -1;
  uint32_t raw = h->obj->Header.rawFileSize;
  if (offset >= raw) return 0;
  size_t end = std::min<size_t>(raw, offset + std::min<size_t>(nbyte, raw));
  end = std::min<size_t>(end, h->blocks.size() * size_t(kContentBlock));
  uint8_t* dst = static_cast<uint8_t*>(buffer_in);
  size_t pos = offset;
  while (pos < end) {
    const cache* blk = h->blocks[pos / kContentBlock].get();
    size_t in = pos % kContentBlock;
    size_t n = std::min<size_t>(end - pos, kContentBlock - in);
    std::memcpy(dst + (pos - offset), blk->data + in, n);
    pos += n;
  }
  return int(pos - offset);
}

int minifs_sync(minifs_Handle* h) {
  if (!h || !h->obj) return -1;
  minifs_Object* obj = h->obj;
  if (!h->dirty) return 1;
  if (h->blocks.empty()) {
    h->dirty = false;
    obj->dirty = true;
    return minifs_FlushObject(obj) ? 0 : -1;
  }
  std::vector<uint8_t> work(12 + kContentBlock);
  if (minifs_UpdateObjectHeader(obj, nullptr, -1) < 0) {
    rs::warn("err: %s, %d.\n", "minifs_sync", 373);
    return -1;
  }
  uint32_t pos = 0;
  size_t i = 0;
  for (; i < h->blocks.size(); ++i) {
    const cache* blk = h->blocks[i].get();
    if (blk->dirty || !blk->stored) break;
    pos += 12 + blk->comprSize;
  }
  for (; i < h->blocks.size(); ++i) {
    cache* blk = h->blocks[i].get();
    size_t len = kContentBlock;
    uint8_t* payload = work.data() + 12;
    if (minifs_compress(payload, &len, blk->data, kContentBlock) != 0 || len > 8179) {
      std::memcpy(payload, blk->data, kContentBlock);
      len = kContentBlock;
      blk->is_compress = 0;
    } else {
      blk->is_compress = 1;
    }
    blk->magic = kBlockMagic;
    blk->comprSize = uint16_t(len);
    blk->crc = minifs_crc32(0, payload, len);
    blk->sizeLow = size_check(blk->comprSize);
    rs::store_le32(work.data(), blk->magic);
    rs::store_le32(work.data() + 4, blk->crc);
    rs::store_le16(work.data() + 8, blk->comprSize);
    work[10] = blk->sizeLow;
    work[11] = blk->is_compress;
    if (minifs_WriteDataToObject(obj, work.data(), pos, uint32_t(12 + len)) != int64_t(12 + len)) return -1;
    pos += uint32_t(12 + len);
    blk->dirty = false;
    blk->stored = true;
  }
  h->dirty = false;
  obj->dirty = true;
  return minifs_FlushObject(obj) ? 0 : -1;
}

int minifs_close(minifs_Handle* h) {
  if (!h) return -1;
  int r = h->obj ? (minifs_sync(h) < 0 ? -1 : 0) : -1;
  if (--h->ref <= 0) {
    if (h->obj) h->obj->handle = nullptr;
    delete h;
  }
  return r;
}

int minifs_truncate(minifs_Handle* h, uint32_t size) {
  if (!h || !h->obj) return -1;
  minifs_Object* obj = h->obj;
  if (obj->is_dir()) return -1;
  if (size >= obj->Header.rawFileSize) return 0;
  if (load_content(h) < 0) return -1;
  obj->fileSize = 0;
  obj->Header.objectSize = 0;
  obj->Header.rawFileSize = size;
  obj->Cache.chunkId = -1;
  size_t keep = (size + kContentBlock - 1) / kContentBlock;
  if (h->blocks.size() > keep) h->blocks.resize(keep);
  // The stored content starts again from nothing: every kept block must be written.
  for (auto& b : h->blocks) b->dirty = true, b->stored = false;
  if (keep && size % kContentBlock) {
    cache* last = h->blocks[keep - 1].get();
    std::memset(last->data + size % kContentBlock, 0, kContentBlock - size % kContentBlock);
  }
  h->blockTotalSize = uint32_t(h->blocks.size() * kContentBlock);
  h->dirty = true;
  obj->dirty = true;
  return 0;
}

uint32_t minifs_size(minifs_Handle* h) { return h && h->obj ? h->obj->Header.rawFileSize : 0; }

int minifs_rmfile(minifs_device* dev, const char* path) {
  minifs_Object* obj = dev ? minifs_FindObjectByName(dev, path) : nullptr;
  if (!obj || obj == dev->root) return 0;
  return minifs_DeleteObject(obj);
}

int minifs_rmdir(minifs_device* dev, const char* path) { return minifs_rmfile(dev, path); }

int minifs_exists(minifs_device* dev, const char* path) { return dev && minifs_FindObjectByName(dev, path) ? 1 : 2; }

int minifs_mkdir(minifs_device* dev, const char* path, int mode) {
  if (!dev) return -1;
  if (minifs_FindObjectByName(dev, path)) return 0;
  return minifs_CreateNewObjectByName(dev, path, OBJ_DIRECTORY, 0, 0, uint32_t(mode), nullptr, nullptr) ? 0 : -1;
}

int minifs_symlink(minifs_device* dev, const char* oldPath, const char* newPath) {
  // A cut target would point somewhere else.
  if (!dev || !oldPath || std::strlen(oldPath) > size_t(kMaxAlias)) return -1;
  return minifs_CreateNewObjectByName(dev, newPath, OBJ_SYMLINK, 0, 0, 0644, nullptr, oldPath) ? 0 : -1;
}

int minifs_readlink(minifs_device* dev, const char* oldPath, char* newPath, size_t size) {
  minifs_Object* obj = dev ? minifs_FindObjectByName(dev, oldPath) : nullptr;
  if (obj && obj->Header.type == OBJ_SYMLINK) std::strncpy(newPath, obj->Header.alias.c_str(), size);
  return 0;
}

int minifs_finfo(minifs_device* dev, const char* path) {
  minifs_Object* obj = dev ? minifs_FindObjectByName(dev, path) : nullptr;
  if (!obj) return 0;
  minifs_ShowPage(obj);
  return 1;
}
