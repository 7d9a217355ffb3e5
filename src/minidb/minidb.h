// MiniDB: the box's keyed record store. A file is an 8-byte superblock
// followed by power-of-two slots, each a 12-byte header plus the record data;
// the index (key to slot offset) and the free-slot map live in memory and are
// rebuilt by scanning the file when it is opened.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "minidb/db_hash.h"

namespace rs {

inline constexpr uint32_t kMiniDbMagic = 0xFBFBBFBF;
inline constexpr uint32_t kMiniDbSuperSize = 8;
inline constexpr uint32_t kMiniDbHeaderSize = 12;
inline constexpr int kMiniDbMaxRecord = 65535;

// Record header flags.
inline constexpr uint8_t kRecordLive = 1;
inline constexpr uint8_t kRecordHasData = 2;

// Smallest power of two >= len + 12, at least 16.
uint32_t minidb_slot_size(uint32_t len);

// The 12-byte header at the start of every slot.
struct db_record {
  uint8_t flags = 0;
  uint8_t reserved1 = 0;
  uint16_t crc = 0;
  uint16_t len = 0;
  uint16_t reserved2 = 0;
  int32_t key = 0;
};
void db_record_decode(const uint8_t* p, db_record& r);
void db_record_encode(const db_record& r, uint8_t* p);

class ICursor {
 public:
  virtual ~ICursor() = default;
  // The current record's data; see MiniDB::MiniCursor for the size rules.
  virtual std::optional<std::vector<uint8_t>> GetRaw(uint32_t* size) = 0;
  virtual bool Next() = 0;
  virtual bool First() = 0;
  virtual bool Eof() const = 0;
  virtual uint32_t Key() const = 0;
};

class IDB {
 public:
  virtual ~IDB() = default;
  virtual int Sync() = 0;
  virtual int Count() const = 0;
  virtual bool Clear() = 0;
  virtual bool Open(const char* filename) = 0;
  virtual void Close() = 0;
  virtual std::optional<std::vector<uint8_t>> Get(int key, uint32_t* size) = 0;
  virtual bool Set(int key, const void* data, int size) = 0;
  virtual bool Remove(int key) = 0;
  virtual std::unique_ptr<ICursor> CreateCursor() = 0;

  static std::unique_ptr<IDB> New();
  static void Delete(IDB* db) { delete db; }
};

class IKeyDB : public IDB {
 protected:
  map_t keymap;  // key -> slot offset of each live record
  map_t gc_map;  // slot offset -> slot size of each free slot
};

class MiniDB final : public IKeyDB {
 public:
  class MiniCursor;

  MiniDB() = default;
  ~MiniDB() override;
  MiniDB(const MiniDB&) = delete;
  MiniDB& operator=(const MiniDB&) = delete;

  // Fsync of the open file; -1 when none is open.
  int Sync() override;
  int Count() const override { return keymap.count(); }
  // Deletes the file and re-creates it empty.
  bool Clear() override;
  bool Open(const char* filename) override;
  // Keeps the in-memory maps; Count still answers from them.
  void Close() override;
  // Null when the key is absent, the slot is free (size = its len) or the
  // read fails.
  std::optional<std::vector<uint8_t>> Get(int key, uint32_t* size) override;
  // False for records over 65535 bytes, a null `data` with a non-zero size,
  // a closed store and any I/O error. A failed write leaves the file openable.
  bool Set(int key, const void* data, int size) override;
  bool Remove(int key) override;
  // All live records in ascending (signed) key order.
  std::unique_ptr<ICursor> CreateCursor() override;

  int free_count() const { return gc_map.count(); }
  uint32_t alloc_end() const { return btree_alloc; }

 private:
  struct key_record {
    uint32_t key;
    uint32_t value;
  };

  bool db_init();
  bool read_header(uint32_t off, db_record& r) const;
  bool write_header(uint32_t off, const db_record& r);
  bool read_data(uint32_t off, uint32_t len, std::vector<uint8_t>& out) const;
  bool write_bytes(uint64_t off, const void* data, size_t len);
  bool write_super();
  bool free_slot_on_disk(uint32_t off, db_record h);

  struct {
    uint32_t magic = kMiniDbMagic;
    uint32_t count = 0;
  } super;
  uint32_t btree_alloc = kMiniDbSuperSize;
  int fd = -1;
  std::optional<std::string> db_filename;
};

class MiniDB::MiniCursor final : public ICursor {
 public:
  MiniCursor(MiniDB* db, std::vector<key_record> keys);
  // Null at the end (size untouched), on a free slot (size = its len) or on
  // a failed read (size 0).
  std::optional<std::vector<uint8_t>> GetRaw(uint32_t* size) override;
  // Never moves past the end, so Eof turns true and stays true.
  bool Next() override;
  bool First() override;
  bool Eof() const override { return index == count; }
  uint32_t Key() const override { return index < count ? key_list[index].key : 0; }

 private:
  uint32_t index = 0;
  uint32_t count = 0;
  MiniDB* db;
  std::vector<key_record> key_list;
};

}  // namespace rs
