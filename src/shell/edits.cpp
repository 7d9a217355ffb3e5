#include "shell/edits.h"

#include "core/image_state.h"

namespace {

void put_u32(std::string& out, uint32_t v) { out.append(reinterpret_cast<const char*>(&v), sizeof v); }

}  // namespace

std::string EditWatch::mark(const flash* entry) const {
  std::string m;
  if (!entry) return m;
  const image_state& s = state_of(entry);
  put_u32(m, uint32_t(entry->count));
  // A replaced partition is "changed" for good once it differs from the
  // loaded bytes, so a second replacement after a save shows only in the
  // record's size and CRC.
  for (int i = 0; i < PARTITION_MAX; ++i) {
    m += char(s.fs_edited[i]);
    m += char(s.changed[i]);
  }
  for (int i = 0; i < PARTITION_MAX; ++i) {
    const partition_info& p = entry->flash_table.tables[i];
    m.append(p.name, sizeof p.name);
    put_u32(m, p.start_addr);
    put_u32(m, p.total_size);
    put_u32(m, p.used_size);
    put_u32(m, p.crc32);
  }
  return m;
}

void EditWatch::saved(const flash* entry) {
  entry_ = entry;
  saved_mark_ = mark(entry);
}

bool EditWatch::unsaved(const flash* entry) const {
  if (!entry) return false;
  const image_state& s = state_of(entry);
  for (int i = 0; i < PARTITION_MAX; ++i)
    if (s.fs_edited[i]) return true;
  // An image never marked (opened some other way) has only its pending file edits.
  if (entry != entry_) return false;
  return mark(entry) != saved_mark_;
}
