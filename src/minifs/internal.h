// Internal records of minifs: media geometry, page tags, object headers,
// blocks, objects and the device.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "minifs/minifs.h"

namespace minifs {

constexpr int kPageSize = 512;
constexpr int kDataBytes = 500;  // DataBytesPerChunk
constexpr int kTagBytes = 12;
constexpr int kPagesPerBlock = 128;
constexpr int kBlockBytes = kPageSize * kPagesPerBlock;
constexpr int kMaxBlocks = 1024;
constexpr uint32_t kUnwrittenId = 0x3FFFF;
constexpr uint32_t kMaxChunk = 0xFFFFF;
constexpr int kHeaderBytes = 244;
constexpr int kMaxName = 32;
constexpr int kMaxAlias = 158;
constexpr uint32_t kContentBlock = 8192;
constexpr uint32_t kMaxFileSize = 0x800000;
constexpr uint32_t kBlockMagic = 0xABCD;

enum ObjType { OBJ_UNKNOWN = 0, OBJ_FILE = 1, OBJ_SYMLINK = 2, OBJ_DIRECTORY = 3, OBJ_HARDLINK = 4, OBJ_SPECIAL = 5 };
enum BlockState {
  BLOCK_UNKNOWN = 0,
  BLOCK_SCANNING = 1,
  BLOCK_EMPTY = 2,
  BLOCK_ALLOCATING = 3,
  BLOCK_FULL = 4,
  BLOCK_DIRTY = 5,
  BLOCK_DEAD = 6
};

struct PageTags {
  uint32_t chunkId = 0xFFFFF;
  uint32_t serialNumber = 3;
  uint32_t byteCount = 0x3FF;
  uint32_t objectId = kUnwrittenId;
  uint32_t ecc = 0xFFF;
  uint32_t unusedStuff = 3;
  uint8_t pageStatus = 0xFF;
  uint8_t blockStatus = 0xFF;
  void decode(const uint8_t* t);
  void encode(uint8_t* t) const;
};

struct ObjectHeader {
  uint8_t flag = 0xFF;  // flag_head / flag_end
  uint8_t flag_end = 0xFF;
  std::string name;
  uint32_t mode = 0, uid = 0, gid = 0, atime = 0, mtime = 0, ctime = 0;
  uint32_t objectSize = 0, rawFileSize = 0, type = 0, parent_obj_id = 0, equiv_id = 0;
  std::string alias;
  uint8_t tail[3] = {0, 0, 0};
  void decode(const uint8_t* d);
  void encode(uint8_t* d) const;  // 244 bytes
};

struct Block {
  int page_count = kPagesPerBlock;
  int start_page = 0;
  int softDeletions = 0;
  int pagesInUse = 0;
  int blockState = BLOCK_UNKNOWN;
  bool needsRetiring = false;
};

int bit_count(uint8_t v);

// The st_mode type bits of an object type (0 for other kinds).
uint32_t type_bits(int type);

}  // namespace minifs

struct minifs_ChunkCache {
  int chunkId = -1;
  bool dirty = false;
  int Bytes = 0;
  uint8_t data[minifs::kDataBytes];
};

struct minifs_Object {
  minifs_Object* parent = nullptr;
  std::vector<minifs_Object*> children;  // newest first
  bool dirty = false;
  bool zflag = false;  // newest header found at mount carries the rewrite mark
  uint8_t serial = 0;
  int chunkId = -1;  // page of the current header
  int dataChunks = 0;
  uint32_t objectId = 0;
  minifs_ChunkCache Cache;
  minifs::ObjectHeader Header;
  minifs_device* device = nullptr;
  uint32_t fileSize = 0;
  uint32_t scannedSize = 0;
  // Piece number -> page. Full page numbers, so no page grouping is needed.
  std::map<uint32_t, uint32_t> pages;
  minifs_Handle* handle = nullptr;
  bool is_dir() const { return Header.type == minifs::OBJ_DIRECTORY; }
};

struct minifs_device {
  int StartBlock = 1, EndBlock = minifs::kMaxBlocks;
  int block_count = 0, page_count = 0;
  std::vector<minifs::Block> blocks;  // index 0 unused
  int DataBytesPerChunk = minifs::kDataBytes;
  uint32_t PagesMinBlock = minifs::kPagesPerBlock, PagesMaxBlock = minifs::kPagesPerBlock;
  int ReservedBlocks = 0;
  int FreePages = 0;
  int currentDirtyChecker = 0;
  std::vector<uint8_t> pageBits;
  int pageBitmapStride = 16;
  uint16_t pageGroupBits = 0, pageGroupSize = 1;
  int ErasedBlocks = 0;
  int allocationBlock = -1;
  uint32_t allocationPage = 0;
  int allocationBlockFinder = 0;
  int lastFoundBlock = 0;
  std::string devname, rootPath;
  size_t size = 0;
  uint8_t* buffer = nullptr;  // borrowed image, never written
  bool usable = false;        // the geometry was accepted and the media scanned
  // ramdisk driver
  uint8_t* memory = nullptr;
  std::vector<uint8_t> owned;
  // Over a borrowed image a block is copied on its first write (index = block
  // number): the image keeps the bytes it was mounted with, and an edit costs
  // the blocks it touches.
  std::vector<std::unique_ptr<uint8_t[]>> cow;
  // While an operation is open, the bytes each block had before its first
  // change, so that a failed operation can be undone.
  struct Undo {
    bool had_copy = false;
    std::unique_ptr<uint8_t[]> bytes;
  };
  bool txn = false;
  std::map<int, Undo> undo;
  int nBlocks = 0;
  int (*writePage)(minifs_device*, int page, const uint8_t* data, const uint8_t* tags) = nullptr;
  int (*readPage)(minifs_device*, int page, uint8_t* data, uint8_t* tags) = nullptr;
  int (*eraseBlock)(minifs_device*, int block) = nullptr;
  minifs_Object* root = nullptr;
  std::unordered_map<uint32_t, std::unique_ptr<minifs_Object>> objects;
};

namespace minifs {

// Device layer (device.cpp)
int device_Init(minifs_device* dev);
int device_ReadPage(minifs_device* dev, int page, uint8_t* data, PageTags* tags);
int device_WritePage(minifs_device* dev, int page, const uint8_t* data, const PageTags* tags);
int device_EraseBlock(minifs_device* dev, int block);
// Operations that either complete or leave the media and the tree as they were.
void device_Begin(minifs_device* dev);
void device_Commit(minifs_device* dev);
// Puts back every block changed since device_Begin and scans the media again.
void device_Rollback(minifs_device* dev);
int device_IsBlockBad(minifs_device* dev, int block);
int device_CheckPageBit(minifs_device* dev, int block, int page);
void device_SetPageBit(minifs_device* dev, int block, int page, bool on);
int device_StillSomePageBits(minifs_device* dev, int block);
int minifs_FindBlock(minifs_device* dev, int page);
int minifs_AllocatePage(minifs_device* dev, bool useReserve);
void minifs_DeletePage(minifs_device* dev, int page, bool markNAND);
void minifs_BlockBecameDirty(minifs_device* dev, int block);
void minifs_BadBlockRecycling(minifs_device* dev, int block);
int minifs_compress(uint8_t* dest, size_t* destLen, const uint8_t* source, size_t sourceLen);
int minifs_uncompress(uint8_t* dest, size_t* destLen, const uint8_t* source, size_t sourceLen);
uint32_t minifs_crc32(uint32_t crc, const uint8_t* buf, size_t len);

// Objects (object.cpp)
minifs_Object* minifs_CreateNewObject(minifs_device* dev, minifs_Object* parent, int64_t objectId, int type,
                                      uint32_t uid, uint32_t gid, uint32_t mode);
minifs_Object* minifs_FindObjectById(minifs_device* dev, uint32_t objectId);
minifs_Object* minifs_FindObjectByName(minifs_device* dev, const char* name);
minifs_Object* minifs_CreateNewObjectByName(minifs_device* dev, const char* name, int type, uint32_t uid, uint32_t gid,
                                            uint32_t mode, const minifs_Object* equiv, const char* alias);
int minifs_FindPageInFile(minifs_Object* obj, uint32_t chunk, PageTags* tags);
int minifs_PutPageIntoObject(minifs_Object* obj, uint32_t chunk, uint32_t page, bool inScan);
void minifs_ReadChunkFromObject(minifs_Object* obj, uint32_t chunk, uint8_t* buffer);
int minifs_WriteChunkToObject(minifs_Object* obj, uint32_t chunk, const uint8_t* buffer, int nBytes, bool useReserve);
int minifs_WriteNewPageToDevice(minifs_device* dev, const uint8_t* data, const PageTags* tags, bool useReserve);
int64_t minifs_ReadDataFromObject(minifs_Object* obj, uint8_t* buffer, uint32_t offset, uint32_t nBytes);
int64_t minifs_WriteDataToObject(minifs_Object* obj, const uint8_t* buffer, uint32_t offset, uint32_t nBytes);
int minifs_FlushObjectPageCache(minifs_Object* obj);
int minifs_FlushObject(minifs_Object* obj);
int minifs_UpdateObjectHeader(minifs_Object* obj, const char* name, int force);
int minifs_DeleteObject(minifs_Object* obj);
void minifs_CheckGarbageCollection(minifs_device* dev);
void minifs_ShowPage(minifs_Object* obj);
void minifs_Scan(minifs_device* dev);
void minifs_Attach(minifs_Object* obj, minifs_Object* parent);
void minifs_Detach(minifs_Object* obj);

// Files (file.cpp)
void minifs_DetachHandle(minifs_Object* obj);

}  // namespace minifs
