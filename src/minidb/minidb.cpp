#include "minidb/minidb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "minidb/crc16.h"
#include "util/endian.h"
#include "util/report.h"

namespace rs {

uint32_t minidb_slot_size(uint32_t len) {
  uint32_t s = 16;
  while (s < len + kMiniDbHeaderSize) s <<= 1;
  return s;
}

void db_record_decode(const uint8_t* p, db_record& r) {
  r.flags = p[0];
  r.reserved1 = p[1];
  r.crc = load_le16(p + 2);
  r.len = load_le16(p + 4);
  r.reserved2 = load_le16(p + 6);
  r.key = int32_t(load_le32(p + 8));
}

void db_record_encode(const db_record& r, uint8_t* p) {
  p[0] = r.flags;
  p[1] = r.reserved1;
  store_le16(p + 2, r.crc);
  store_le16(p + 4, r.len);
  store_le16(p + 6, r.reserved2);
  store_le32(p + 8, uint32_t(r.key));
}

namespace {

// Reads up to `len` bytes at `off`; the count actually read.
size_t pread_full(int fd, void* buf, size_t len, uint64_t off) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::pread(fd, static_cast<uint8_t*>(buf) + done, len - done, off_t(off + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  return done;
}

}  // namespace

std::unique_ptr<IDB> IDB::New() { return std::make_unique<MiniDB>(); }

MiniDB::~MiniDB() { Close(); }

bool MiniDB::read_header(uint32_t off, db_record& r) const {
  uint8_t b[kMiniDbHeaderSize];
  if (fd < 0 || pread_full(fd, b, sizeof b, off) != sizeof b) return false;
  db_record_decode(b, r);
  return true;
}

bool MiniDB::read_data(uint32_t off, uint32_t len, std::vector<uint8_t>& out) const {
  out.resize(len);
  return fd >= 0 && pread_full(fd, out.data(), len, uint64_t(off) + kMiniDbHeaderSize) == len;
}

bool MiniDB::write_bytes(uint64_t off, const void* data, size_t len) {
  if (fd < 0) return false;
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::pwrite(fd, static_cast<const uint8_t*>(data) + done, len - done, off_t(off + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool MiniDB::write_header(uint32_t off, const db_record& r) {
  uint8_t b[kMiniDbHeaderSize];
  db_record_encode(r, b);
  if (write_bytes(off, b, sizeof b)) return true;
  std::fprintf(stderr, "DB: write I/O error offset: %d\n", int(off));
  return false;
}

bool MiniDB::write_super() {
  super.magic = kMiniDbMagic;
  super.count = uint32_t(Count());
  uint8_t b[kMiniDbSuperSize];
  store_le32(b, super.magic);
  store_le32(b + 4, super.count);
  if (write_bytes(0, b, sizeof b)) return true;
  std::fprintf(stderr, "btree: I/O error\n");
  return false;
}

// Marks a slot free on disk so that a record whose rewrite failed half-way
// cannot leave a header whose CRC no longer matches (which would make the
// whole file unopenable).
bool MiniDB::free_slot_on_disk(uint32_t off, db_record h) {
  h.flags = 0;
  return write_header(off, h);
}

bool MiniDB::db_init() {
  const char* name = db_filename->c_str();
  fd = ::open(name, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    // Only a missing file is created: truncating a file that exists but
    // cannot be opened (permissions, a directory) would destroy it.
    if (errno != ENOENT) return false;
    fd = ::open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    // The maps may still hold the previous file's records (Close keeps
    // them); the new file holds none.
    keymap.clear();
    gc_map.clear();
    if (!write_super()) {
      ::close(fd);
      fd = -1;
      ::unlink(name);
      return false;
    }
  } else {
    uint8_t b[kMiniDbSuperSize];
    if (pread_full(fd, b, sizeof b, 0) != sizeof b || load_le32(b) != kMiniDbMagic) {
      ::close(fd);
      fd = -1;
      return false;
    }
    super.magic = load_le32(b);
    super.count = load_le32(b + 4);
  }

  keymap.clear();
  gc_map.clear();
  uint64_t off = kMiniDbSuperSize;
  std::vector<uint8_t> data;
  // Offsets are kept in 32 bits; a slot must end within that range.
  while (off + 131072 <= UINT32_MAX) {
    db_record h;
    if (!read_header(uint32_t(off), h)) break;
    uint32_t slot = minidb_slot_size(h.len);
    if (h.flags == 0) {
      gc_map.set(int(off), slot);
    } else {
      if (!read_data(uint32_t(off), h.len, data)) break;
      if (h.flags & kRecordLive) {
        if (update_crc16(data.data(), data.size(), 0) != h.crc) {
          ::close(fd);
          fd = -1;
          return false;
        }
        keymap.set(h.key, uint32_t(off));
      } else {
        gc_map.set(int(off), slot);
      }
    }
    off += slot;
  }
  btree_alloc = uint32_t(off);
  rs::warn("record count = %u, delete count = %u\n", unsigned(Count()), unsigned(gc_map.count()));
  return true;
}

bool MiniDB::Open(const char* filename) {
  if (fd >= 0) return true;
  if (!filename) return false;
  db_filename = filename;
  return db_init();
}

void MiniDB::Close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
  db_filename.reset();
}

int MiniDB::Sync() { return fd >= 0 ? ::fsync(fd) : -1; }

bool MiniDB::Clear() {
  if (!db_filename) return false;
  std::string name = *db_filename;
  Close();
  ::unlink(name.c_str());
  db_filename = name;
  return db_init();
}

std::optional<std::vector<uint8_t>> MiniDB::Get(int key, uint32_t* size) {
  bool found = false;
  uint32_t off = keymap.get(key, &found);
  if (!found || off == 0) return std::nullopt;
  db_record h;
  if (!read_header(off, h)) return std::nullopt;
  if (h.flags == 0) {
    if (size) *size = h.len;
    return std::nullopt;
  }
  std::vector<uint8_t> data;
  if (!read_data(off, h.len, data)) return std::nullopt;
  if (size) *size = h.len;
  return data;
}

bool MiniDB::Set(int key, const void* data, int size) {
  if (size > kMiniDbMaxRecord) {
    rs::say_error("Record must less than 64K\n");
    return false;
  }
  // A live header announcing bytes that were never given would fail the
  // CRC check of the next open.
  if (size < 0 || (!data && size > 0) || fd < 0) return false;
  const auto* bytes = static_cast<const uint8_t*>(data);
  const uint32_t len = uint32_t(size);
  const uint32_t need = minidb_slot_size(len);
  const uint16_t crc = bytes ? update_crc16(bytes, len, 0) : 0;

  bool found = false;
  uint32_t off = keymap.get(key, &found);
  if (found && off != 0) {
    db_record h;
    if (!read_header(off, h)) return false;
    if (minidb_slot_size(h.len) == need) {
      h.len = uint16_t(len);
      if (bytes) h.flags |= kRecordHasData;
      // With no data the length is 0, whose CRC is 0.
      h.crc = crc;
      bool ok = true;
      if (bytes && len > 0) {
        // Free the slot while its bytes change, so that a failure part-way
        // leaves a free slot rather than a CRC mismatch.
        ok = free_slot_on_disk(off, h) && write_bytes(uint64_t(off) + kMiniDbHeaderSize, bytes, len);
        if (!ok) std::fprintf(stderr, "DB: I/O error\n");
      }
      ok = ok && write_header(off, h);
      if (!ok) {
        free_slot_on_disk(off, h);
        keymap.erase(key);
        gc_map.set(int(off), need);
        write_super();
        return false;
      }
      return write_super();
    }
    uint32_t old_slot = minidb_slot_size(h.len);
    h.flags = 0;
    if (!write_header(off, h)) return false;
    write_super();
    keymap.erase(key);
    gc_map.set(int(off), old_slot);
  }

  db_record h;
  h.flags = kRecordLive;
  h.len = uint16_t(len);
  h.key = key;
  if (bytes) {
    h.flags |= kRecordHasData;
    h.crc = crc;
  }

  uint32_t slot_off = 0;
  iterator_t it;
  int left = gc_map.count();
  for (bool more = gc_map.first(it); more && left > 0; more = gc_map.next(it), --left) {
    if (it.value == need) {
      gc_map.erase(it.key);
      slot_off = uint32_t(it.key);
      break;
    }
  }
  const bool appended = slot_off == 0;
  if (appended) {
    if (uint64_t(btree_alloc) + need > UINT32_MAX) return false;
    // A scan that stopped at a cut record leaves its bytes behind the end;
    // once a new slot precedes them they would be read as slots, so they go.
    struct stat st;
    if (fstat(fd, &st) != 0 || (uint64_t(st.st_size) > btree_alloc && ::ftruncate(fd, off_t(btree_alloc)) != 0)) {
      std::fprintf(stderr, "DB: I/O error\n");
      return false;
    }
    slot_off = btree_alloc;
    btree_alloc += need;
  }

  // Data before header: the header is what makes the record live, so a
  // failed data write leaves the slot as it was.
  bool ok = true;
  if (bytes && len > 0 && !write_bytes(uint64_t(slot_off) + kMiniDbHeaderSize, bytes, len)) {
    std::fprintf(stderr, "DB: I/O error\n");
    ok = false;
  }
  ok = ok && write_header(slot_off, h);
  if (!ok) {
    if (appended) {
      btree_alloc = slot_off;
      // Drop whatever part of the new slot reached the file.
      if (::ftruncate(fd, off_t(slot_off)) != 0) std::fprintf(stderr, "DB: I/O error\n");
    } else {
      gc_map.set(int(slot_off), need);
    }
    return false;
  }
  ok = write_super();
  keymap.set(key, slot_off);
  return ok;
}

bool MiniDB::Remove(int key) {
  bool found = false;
  uint32_t off = keymap.get(key, &found);
  if (!found || off == 0) return false;
  db_record h;
  if (!read_header(off, h)) return false;
  h.flags = 0;
  if (!write_header(off, h)) return false;
  write_super();
  keymap.erase(key);
  gc_map.set(int(off), minidb_slot_size(h.len));
  return write_super();
}

std::unique_ptr<ICursor> MiniDB::CreateCursor() {
  std::vector<key_record> keys;
  keys.reserve(size_t(Count()));
  iterator_t it;
  for (bool more = keymap.first(it); more; more = keymap.next(it)) keys.push_back({uint32_t(it.key), it.value});
  // Signed order: the file's keys are signed, and a plain difference of two
  // keys overflows for keys far apart.
  std::sort(keys.begin(), keys.end(),
            [](const key_record& a, const key_record& b) { return int32_t(a.key) < int32_t(b.key); });
  return std::make_unique<MiniCursor>(this, std::move(keys));
}

MiniDB::MiniCursor::MiniCursor(MiniDB* owner, std::vector<key_record> keys)
    : count(uint32_t(keys.size())), db(owner), key_list(std::move(keys)) {}

bool MiniDB::MiniCursor::First() {
  index = 0;
  return count > 0;
}

bool MiniDB::MiniCursor::Next() {
  if (index >= count) return false;
  ++index;
  return true;
}

std::optional<std::vector<uint8_t>> MiniDB::MiniCursor::GetRaw(uint32_t* size) {
  if (index >= count) return std::nullopt;
  uint32_t off = key_list[index].value;
  db_record h;
  if (!db->read_header(off, h)) {
    if (size) *size = 0;
    return std::nullopt;
  }
  if (h.flags == 0) {
    if (size) *size = h.len;
    return std::nullopt;
  }
  std::vector<uint8_t> data;
  if (!db->read_data(off, h.len, data)) {
    if (size) *size = 0;
    return std::nullopt;
  }
  if (size) *size = h.len;
  return data;
}

}  // namespace rs
