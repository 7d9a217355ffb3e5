// Objects: creation and lookup, pieces and stored content, headers, deletion,
// garbage collection and the mount scan that rebuilds the tree.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>

#include "minifs/internal.h"
#include "util/report.h"

namespace minifs {

uint32_t type_bits(int type) {
  switch (type) {
    case OBJ_FILE:
      return 0100000;
    case OBJ_SYMLINK:
      return 0120000;
    case OBJ_DIRECTORY:
      return 0040000;
    default:
      return 0;
  }
}

void minifs_Detach(minifs_Object* obj) {
  if (!obj->parent) return;
  auto& c = obj->parent->children;
  c.erase(std::remove(c.begin(), c.end(), obj), c.end());
  obj->parent = nullptr;
}

void minifs_Attach(minifs_Object* obj, minifs_Object* parent) {
  if (obj == parent || obj->parent == parent) return;
  minifs_Detach(obj);
  obj->parent = parent;
  obj->Header.parent_obj_id = parent->objectId;
  parent->children.insert(parent->children.begin(), obj);
}

minifs_Object* minifs_FindObjectById(minifs_device* dev, uint32_t objectId) {
  auto it = dev->objects.find(objectId);
  return it == dev->objects.end() ? nullptr : it->second.get();
}

minifs_Object* minifs_CreateNewObject(minifs_device* dev, minifs_Object* parent, int64_t objectId, int type,
                                      uint32_t uid, uint32_t gid, uint32_t mode) {
  if (objectId < 0) {
    if (!dev->root) {
      objectId = 1;
    } else {
      objectId = 2;
      while (objectId < kUnwrittenId && dev->objects.count(uint32_t(objectId))) ++objectId;
      if (objectId >= kUnwrittenId) return nullptr;
    }
  }
  auto obj = std::make_unique<minifs_Object>();
  obj->device = dev;
  obj->objectId = uint32_t(objectId);
  obj->Header.type = uint32_t(type);
  obj->Header.uid = uid;
  obj->Header.gid = gid;
  obj->Header.mode = mode;
  minifs_Object* raw = obj.get();
  dev->objects[raw->objectId] = std::move(obj);
  if (parent) minifs_Attach(raw, parent);
  return raw;
}

minifs_Object* minifs_FindObjectByName(minifs_device* dev, const char* name) {
  minifs_Object* cur = dev->root;
  if (!name) return cur;
  if (*name == '/') ++name;
  std::string_view rest(name);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view comp = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (comp.empty()) continue;
    if (!cur->is_dir()) return nullptr;
    minifs_Object* next = nullptr;
    for (minifs_Object* c : cur->children)
      if (c->Header.name == comp) {
        next = c;
        break;
      }
    if (!next) return nullptr;
    cur = next;
  }
  return cur;
}

minifs_Object* minifs_CreateNewObjectByName(minifs_device* dev, const char* path, int type, uint32_t uid, uint32_t gid,
                                            uint32_t mode, const minifs_Object* equiv, const char* alias) {
  std::string p(path ? path : "");
  if (p.empty() || p[0] != '/') p.insert(p.begin(), '/');
  size_t slash = p.rfind('/');
  std::string name = p.substr(slash + 1);
  std::string dir = p.substr(0, slash);
  if (name.empty() || name.size() > size_t(kMaxName)) return nullptr;
  minifs_Object* parent = minifs_FindObjectByName(dev, dir.c_str());
  // A child of a file could never be found again.
  if (!parent || !parent->is_dir()) return nullptr;
  for (minifs_Object* c : parent->children)
    if (c->Header.name == name) return nullptr;
  minifs_Object* obj = minifs_CreateNewObject(dev, parent, -1, type, uid, gid, (mode & 07777) | type_bits(type));
  if (!obj) return nullptr;
  if (type == OBJ_SYMLINK && alias) obj->Header.alias = std::string(alias).substr(0, kMaxAlias);
  if (type == OBJ_HARDLINK && equiv) obj->Header.equiv_id = equiv->objectId;
  obj->Header.name = name;
  obj->dirty = true;
  if (minifs_UpdateObjectHeader(obj, nullptr, 0) <= 0) {
    minifs_Detach(obj);
    dev->objects.erase(obj->objectId);
    return nullptr;
  }
  return obj;
}

int minifs_FindPageInFile(minifs_Object* obj, uint32_t chunk, PageTags* tags) {
  if (chunk > kMaxChunk) return -1;
  auto it = obj->pages.find(chunk);
  if (it == obj->pages.end()) return -1;
  PageTags t;
  if (!device_ReadPage(obj->device, int(it->second), nullptr, &t)) return -1;
  if (t.chunkId != chunk || t.objectId != obj->objectId || bit_count(t.pageStatus) <= 6) return -1;
  if (tags) *tags = t;
  return int(it->second);
}

int minifs_PutPageIntoObject(minifs_Object* obj, uint32_t chunk, uint32_t page, bool inScan) {
  if (chunk > kMaxChunk) return 0;
  auto it = obj->pages.find(chunk);
  if (it == obj->pages.end()) {
    obj->pages[chunk] = page;
    obj->dataChunks++;
    return 1;
  }
  if (inScan && it->second != page) {
    minifs_device* dev = obj->device;
    PageTags oldt, newt;
    int old = minifs_FindPageInFile(obj, chunk, &oldt);
    if (old < 0) {
      rs::warn("minifs tragedy: existing page < 0 object scan\n");
      it->second = page;
      return 1;
    }
    device_ReadPage(dev, int(page), nullptr, &newt);
    if (newt.serialNumber == ((oldt.serialNumber + 1) & 3)) {
      minifs_DeletePage(dev, old, true);
      it->second = page;
    } else {
      minifs_DeletePage(dev, int(page), true);
    }
    return 1;
  }
  it->second = page;
  return 1;
}

void minifs_ReadChunkFromObject(minifs_Object* obj, uint32_t chunk, uint8_t* buffer) {
  int page = minifs_FindPageInFile(obj, chunk, nullptr);
  if (page < 0 || !device_ReadPage(obj->device, page, buffer, nullptr)) std::memset(buffer, 0, kDataBytes);
}

int minifs_WriteNewPageToDevice(minifs_device* dev, const uint8_t* data, const PageTags* tags, bool useReserve) {
  for (int tries = 0; tries <= dev->page_count; ++tries) {
    int page = minifs_AllocatePage(dev, useReserve);
    if (page < 0) return -1;
    if (device_WritePage(dev, page, data, tags)) return page;
  }
  return -1;
}

int minifs_WriteChunkToObject(minifs_Object* obj, uint32_t chunk, const uint8_t* buffer, int nBytes, bool useReserve) {
  minifs_device* dev = obj->device;
  minifs_CheckGarbageCollection(dev);
  PageTags old;
  int oldPage = minifs_FindPageInFile(obj, chunk, &old);
  PageTags t;
  t.chunkId = chunk;
  t.serialNumber = oldPage >= 0 ? (old.serialNumber + 1) & 3 : 1;
  t.byteCount = uint32_t(nBytes);
  t.objectId = obj->objectId;
  int page = minifs_WriteNewPageToDevice(dev, buffer, &t, useReserve);
  if (page < 0) return page;
  minifs_PutPageIntoObject(obj, chunk, uint32_t(page), false);
  if (oldPage >= 0) minifs_DeletePage(dev, oldPage, true);
  return page;
}

int minifs_FlushObjectPageCache(minifs_Object* obj) {
  minifs_ChunkCache& c = obj->Cache;
  if (c.chunkId > 0 && c.dirty && c.Bytes > 0) {
    if (minifs_WriteChunkToObject(obj, uint32_t(c.chunkId), c.data, c.Bytes, true) < 0) return 0;
    c.dirty = false;
  }
  return 1;
}

int64_t minifs_WriteDataToObject(minifs_Object* obj, const uint8_t* buffer, uint32_t offset, uint32_t nBytes) {
  int64_t done = 0;
  while (done < nBytes) {
    uint32_t pos = offset + uint32_t(done);
    uint32_t chunk = pos / kDataBytes + 1;
    uint32_t start = pos % kDataBytes;
    uint32_t len = std::min<uint32_t>(nBytes - uint32_t(done), kDataBytes - start);
    minifs_ChunkCache& c = obj->Cache;
    if (start == 0 && len == uint32_t(kDataBytes)) {
      if (c.chunkId == int(chunk)) c.chunkId = -1, c.dirty = false, c.Bytes = 0;
      if (minifs_WriteChunkToObject(obj, chunk, buffer + done, kDataBytes, false) < 0) break;
    } else {
      if (c.chunkId != int(chunk)) {
        if (!minifs_FlushObjectPageCache(obj)) break;
        minifs_ReadChunkFromObject(obj, chunk, c.data);
        c.chunkId = int(chunk);
        c.dirty = false;
        uint32_t base = (chunk - 1) * kDataBytes;
        c.Bytes = obj->fileSize > base ? int(std::min<uint32_t>(kDataBytes, obj->fileSize - base)) : 0;
      }
      std::memcpy(c.data + start, buffer + done, len);
      c.dirty = true;
      c.Bytes = start + len == uint32_t(kDataBytes) ? kDataBytes : std::max(int(start + len), c.Bytes);
    }
    done += len;
  }
  if (done > 0) {
    obj->fileSize = std::max(obj->fileSize, offset + uint32_t(done));
    obj->dirty = true;
  }
  return done;
}

int64_t minifs_ReadDataFromObject(minifs_Object* obj, uint8_t* buffer, uint32_t offset, uint32_t nBytes) {
  if (offset >= obj->fileSize) return 0;
  nBytes = std::min(nBytes, obj->fileSize - offset);
  uint8_t tmp[kDataBytes];
  uint32_t done = 0;
  while (done < nBytes) {
    uint32_t pos = offset + done;
    uint32_t chunk = pos / kDataBytes + 1;
    uint32_t start = pos % kDataBytes;
    uint32_t len = std::min<uint32_t>(nBytes - done, kDataBytes - start);
    const uint8_t* src;
    if (obj->Cache.chunkId == int(chunk)) {
      src = obj->Cache.data;
    } else {
      minifs_ReadChunkFromObject(obj, chunk, tmp);
      src = tmp;
    }
    std::memcpy(buffer + done, src + start, len);
    done += len;
  }
  return done;
}

int minifs_UpdateObjectHeader(minifs_Object* obj, const char* name, int force) {
  minifs_device* dev = obj->device;
  minifs_CheckGarbageCollection(dev);
  uint8_t page[kDataBytes];
  std::memset(page, 0xFF, sizeof page);
  ObjectHeader& h = obj->Header;
  h.objectSize = obj->fileSize;
  if (name) h.name = std::string(name).substr(0, kMaxName);
  h.flag = h.flag_end = force == -1 ? 0x5A : 0xFF;
  if (obj->parent) h.parent_obj_id = obj->parent->objectId;
  h.encode(page);
  obj->serial++;
  PageTags t;
  t.chunkId = 0;
  t.serialNumber = obj->serial & 3;
  t.byteCount = 0x3FF;
  t.objectId = obj->objectId;
  int np = minifs_WriteNewPageToDevice(dev, page, &t, obj->chunkId >= 0);
  if (np < 0) return np;
  int old = obj->chunkId;
  obj->chunkId = np;
  if (old > 0) minifs_DeletePage(dev, old, true);
  obj->dirty = false;
  return np;
}

int minifs_FlushObject(minifs_Object* obj) {
  if (!obj->dirty) return 1;
  if (!minifs_FlushObjectPageCache(obj)) return 0;
  return minifs_UpdateObjectHeader(obj, nullptr, 1) > 0 ? 1 : 0;
}

// Deletes the object's own pages (not its children).
static void delete_pages(minifs_Object* obj) {
  minifs_device* dev = obj->device;
  for (auto it = obj->pages.rbegin(); it != obj->pages.rend(); ++it) {
    int page = minifs_FindPageInFile(obj, it->first, nullptr);
    if (page >= 0) minifs_DeletePage(dev, page, true);
  }
  obj->pages.clear();
  obj->dataChunks = 0;
  obj->Cache.chunkId = -1;
  if (obj->chunkId > 0) minifs_DeletePage(dev, obj->chunkId, true);
  obj->chunkId = -1;
}

int minifs_DeleteObject(minifs_Object* obj) {
  minifs_device* dev = obj->device;
  if (obj == dev->root) return 0;
  while (!obj->children.empty()) minifs_DeleteObject(obj->children.front());
  minifs_DetachHandle(obj);
  delete_pages(obj);
  minifs_Detach(obj);
  dev->objects.erase(obj->objectId);
  return 1;
}

static void collect_block(minifs_device* dev, int block) {
  uint8_t data[kDataBytes];
  int start = dev->blocks[block].start_page;
  for (int idx = 0; idx < kPagesPerBlock && device_StillSomePageBits(dev, block); ++idx) {
    if (!device_CheckPageBit(dev, block, idx)) continue;
    int page = start + idx;
    PageTags t;
    device_ReadPage(dev, page, data, &t);
    minifs_Object* obj = minifs_FindObjectById(dev, t.objectId);
    bool current = false;
    if (obj) {
      if (t.chunkId == 0) {
        current = obj->chunkId == page;
      } else {
        auto it = obj->pages.find(t.chunkId);
        current = it != obj->pages.end() && it->second == uint32_t(page);
      }
    }
    // A page no object refers to any more is garbage; copying it would bring stale data back.
    if (!current) {
      minifs_DeletePage(dev, page, true);
      continue;
    }
    PageTags nt = t;
    nt.serialNumber = (t.serialNumber + 1) & 3;
    int np = minifs_WriteNewPageToDevice(dev, data, &nt, true);
    if (np < 0) return;
    if (t.chunkId == 0) {
      obj->chunkId = np;
      obj->serial = uint8_t(nt.serialNumber);
    } else {
      minifs_PutPageIntoObject(obj, t.chunkId, uint32_t(np), false);
    }
    minifs_DeletePage(dev, page, true);
  }
}

void minifs_CheckGarbageCollection(minifs_device* dev) {
  if (dev->EndBlock < dev->StartBlock || dev->blocks.empty()) return;
  bool aggressive = dev->ErasedBlocks <= dev->ReservedBlocks + 1;
  int count = aggressive ? dev->EndBlock - dev->StartBlock + 1 : std::min(200, dev->block_count / 16);
  int limit = aggressive ? int(dev->PagesMaxBlock) : 3;
  int best = -1;
  int b = dev->currentDirtyChecker;
  for (int i = 0; i <= count && limit > 0; ++i) {
    if (++b > dev->EndBlock || b < dev->StartBlock) b = dev->StartBlock;
    const Block& bl = dev->blocks[b];
    int live = bl.pagesInUse - bl.softDeletions;
    if (bl.blockState == BLOCK_FULL && live < limit) {
      best = b;
      limit = live;
    }
  }
  dev->currentDirtyChecker = b;
  if (best > 0) collect_block(dev, best);
}

void minifs_ShowPage(minifs_Object* obj) {
  int lastBlock = -1;
  for (uint32_t chunk = 1;; ++chunk) {
    int page = minifs_FindPageInFile(obj, chunk, nullptr);
    if (page < 0) break;
    int block = minifs_FindBlock(obj->device, page);
    if (lastBlock >= 0 && block != lastBlock) std::printf("\n");
    std::printf("%3d -> %3d/%d\t", int(chunk), page, block);
    lastBlock = block;
  }
}

// ---- mount scan -----------------------------------------------------------

static minifs_Object* find_or_create(minifs_device* dev, uint32_t id, int type, uint32_t mode) {
  if (id < 2 || id >= kUnwrittenId) return nullptr;
  if (minifs_Object* o = minifs_FindObjectById(dev, id)) return o;
  return minifs_CreateNewObject(dev, nullptr, id, type, 0, 0, mode);
}

static void scan_header(minifs_device* dev, int page, const PageTags& t) {
  uint8_t data[kDataBytes];
  device_ReadPage(dev, page, data, nullptr);
  ObjectHeader h;
  h.decode(data);
  minifs_Object* obj = find_or_create(dev, t.objectId, int(h.type), h.mode);
  if (!obj) return;
  if (obj->chunkId > 0 && obj->chunkId != page) {
    PageTags old;
    device_ReadPage(dev, obj->chunkId, nullptr, &old);
    if (t.serialNumber != ((old.serialNumber + 1) & 3)) {
      minifs_DeletePage(dev, page, true);
      return;
    }
    minifs_DeletePage(dev, obj->chunkId, true);
  }
  bool z = h.flag == 0x5A || h.flag_end == 0x5A;
  obj->zflag = z;
  if (!z && h.parent_obj_id != obj->objectId) {
    minifs_Object* parent =
        h.parent_obj_id == 1 ? dev->root : find_or_create(dev, h.parent_obj_id, OBJ_DIRECTORY, 0755);
    if (parent) minifs_Attach(obj, parent);
  }
  uint32_t parentId = h.parent_obj_id;
  obj->Header = h;
  obj->Header.parent_obj_id = obj->parent ? obj->parent->objectId : parentId;
  obj->chunkId = page;
  obj->serial = uint8_t(t.serialNumber);
  if (h.type != OBJ_DIRECTORY) obj->fileSize = h.objectSize;
}

void minifs_Scan(minifs_device* dev) {
  uint8_t data[kDataBytes];
  for (int b = dev->StartBlock; b <= dev->EndBlock; ++b) {
    Block& bl = dev->blocks[b];
    bl.pagesInUse = bl.softDeletions = 0;
    bl.needsRetiring = false;
    std::memset(&dev->pageBits[size_t(b) * dev->pageBitmapStride], 0, dev->pageBitmapStride);
    if (device_IsBlockBad(dev, b)) {
      rs::warn("block %d is bad\n", b);
      bl.blockState = BLOCK_DEAD;
      bl.needsRetiring = true;
      continue;
    }
    bl.blockState = BLOCK_SCANNING;
    for (int idx = 0; idx < kPagesPerBlock; ++idx) {
      int page = bl.start_page + idx;
      PageTags t;
      device_ReadPage(dev, page, data, &t);
      if (bit_count(t.pageStatus) <= 5) {
        dev->FreePages++;
        continue;
      }
      if (t.objectId == kUnwrittenId) {
        if (idx == 0) {
          bl.blockState = BLOCK_EMPTY;
          dev->ErasedBlocks++;
        } else {
          bl.blockState = BLOCK_ALLOCATING;
          // A second partly written block cannot be continued; keep the last one found.
          if (dev->allocationBlock > 0) dev->blocks[dev->allocationBlock].blockState = BLOCK_FULL;
          dev->allocationBlock = b;
          dev->allocationPage = uint32_t(idx);
        }
        dev->FreePages += kPagesPerBlock - idx;
        break;
      }
      if (t.chunkId == 0 && t.objectId == 1) continue;
      if (t.objectId < 2) {  // no object can own it
        minifs_DeletePage(dev, page, true);
        continue;
      }
      device_SetPageBit(dev, b, idx, true);
      bl.pagesInUse++;
      if (t.chunkId >= 1) {
        minifs_Object* obj = find_or_create(dev, t.objectId, OBJ_FILE, 0);
        if (!obj) continue;
        minifs_PutPageIntoObject(obj, t.chunkId, uint32_t(page), true);
        uint32_t end = (t.chunkId - 1) * kDataBytes + std::min<uint32_t>(t.byteCount, kDataBytes);
        obj->scannedSize = std::max(obj->scannedSize, end);
      } else {
        scan_header(dev, page, t);
      }
    }
    if (bl.blockState == BLOCK_SCANNING) {
      bl.blockState = BLOCK_FULL;
      if (bl.pagesInUse == 0) minifs_BlockBecameDirty(dev, b);
    }
  }
  for (int b = dev->StartBlock; b <= dev->EndBlock; ++b)
    if (dev->blocks[b].blockState == BLOCK_DEAD && dev->blocks[b].needsRetiring && device_IsBlockBad(dev, b))
      minifs_BadBlockRecycling(dev, b);

  // Keep only objects reachable from the root through directories, within the
  // depth a path can express; orphans, cycles and files whose rewrite never
  // finished are discarded with their pages.
  std::set<uint32_t> reach;
  std::deque<std::pair<minifs_Object*, int>> q{{dev->root, 0}};
  reach.insert(1);
  while (!q.empty()) {
    auto [o, depth] = q.front();
    q.pop_front();
    if (!o->is_dir() && o != dev->root) continue;
    for (minifs_Object* c : o->children) {
      if (c->zflag || depth >= 128 || reach.count(c->objectId)) continue;
      reach.insert(c->objectId);
      q.push_back({c, depth + 1});
    }
  }
  std::vector<uint32_t> lost;
  for (auto& [id, o] : dev->objects)
    if (!reach.count(id)) lost.push_back(id);
  std::sort(lost.begin(), lost.end());
  for (uint32_t id : lost) {
    minifs_Object* o = minifs_FindObjectById(dev, id);
    rs::warn("----------------------less file :%s\n", o->Header.name.c_str());
    delete_pages(o);
  }
  for (uint32_t id : lost) {
    minifs_Object* o = minifs_FindObjectById(dev, id);
    minifs_Detach(o);
    for (minifs_Object* c : o->children) c->parent = nullptr;
    o->children.clear();
  }
  for (uint32_t id : lost) dev->objects.erase(id);
}

}  // namespace minifs
