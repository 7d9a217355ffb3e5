// Building a Flash image from a flash.conf and its content files: the settings
// and partition lines are read first, then the partitions are placed, then
// their buffers are filled.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/flash_ops.h"
#include "core/fs_contract.h"
#include "core/image_state.h"
#include "core/state.h"
#include "core/table.h"
#include "util/crc32.h"
#include "util/fileio.h"
#include "util/mapping.h"
#include "util/strutil.h"
#include "util/report.h"

namespace {

bool is_true(const std::string& w) { return strcasecmp(w.c_str(), "true") == 0; }
bool is_auto(const std::string& w) { return strncasecmp(w.c_str(), "auto", 4) == 0; }

int8_t type_of(const std::string& w) { return fs_type_code(w.c_str()); }

// The settings of a flash.conf. A line is a setting when it starts with one of
// these words (ignoring case, first match in this order); anything else is a
// partition line.
enum class Setting { flash_size, block_size, table_enable, write_protect, crc32, zlibmode, table_version, dtb_file };

struct SettingName {
  Setting key;
  const char* word;
};

constexpr SettingName kSettings[] = {
    {Setting::flash_size, "flash_size"},
    {Setting::block_size, "block_size"},
    {Setting::table_enable, "table_enable"},
    {Setting::write_protect, "write_protect"},
    {Setting::crc32, "crc32"},
    {Setting::zlibmode, "zlibmode"},
    {Setting::table_version, "table_version"},
    {Setting::dtb_file, "dtb_file"},
};

const SettingName* setting_of(const char* line) {
  for (const SettingName& s : kSettings)
    if (strncasecmp(line, s.word, std::strlen(s.word)) == 0) return &s;
  return nullptr;
}

// Columns of a partition line after its name; a line has at most ten.
enum Column : size_t {
  col_file = 1,
  col_crc32,
  col_type,
  col_mode,
  col_update_tags,
  col_version,
  col_start,
  col_total,
  col_reserved,
  col_count
};

std::vector<std::string> tokens(const char* line) {
  std::vector<std::string> out;
  const char* p = line;
  while (*p) {
    while (*p == ' ' || *p == '\t') ++p;
    if (!*p) break;
    const char* b = p;
    while (*p && *p != ' ' && *p != '\t') ++p;
    out.emplace_back(b, size_t(p - b));
  }
  return out;
}


// Which of a partition's placement values the flash.conf left to "auto".
struct Autos {
  bool start = false, total = false, reserved = false;
};

struct FlashDeleter {
  void operator()(flash* f) const { flash_free(f); }
};

// What the reading steps share.
struct ConfBuild {
  const char* conf = nullptr;
  flash* e = nullptr;
  Autos autos[PARTITION_MAX];
  int count = 0;
};

// Reads a content file inside basedir; empty when it cannot be read or is empty.
bool read_content(const std::string& name, std::vector<uint8_t>& out) {
  rs::MappedFile map;
  if (!map.open(rs::strprintf("%s/%s", basedir.c_str(), name.c_str()).c_str())) return false;
  out.assign(map.data(), map.data() + map.size());
  return true;
}

// "key = value" and "key=value" (as a dump's summary writes them) mean
// "key value"; the "=" is never taken as the value.
void split_assignment(std::vector<std::string>& tok, size_t key_len) {
  if (tok[0].size() > key_len && tok[0][key_len] == '=') {
    std::string rest = tok[0].substr(key_len + 1);
    tok[0].resize(key_len);
    if (!rest.empty()) tok.insert(tok.begin() + 1, rest);
  } else if (tok.size() >= 2 && tok[1] == "=") {
    tok.erase(tok.begin() + 1);
  } else if (tok.size() >= 2 && tok[1].size() > 1 && tok[1][0] == '=') {
    tok[1].erase(0, 1);
  }
}

// One setting line. False when the build is refused.
bool read_setting(ConfBuild& b, const SettingName& s, std::vector<std::string>& tok) {
  flash* e = b.e;
  split_assignment(tok, std::strlen(s.word));
  // A key without its value is refused rather than read as zero.
  if (tok.size() < 2) {
    rs::say_error("error: \"%s\" has no value in %s\n", s.word, b.conf);
    return false;
  }
  const std::string v = rs::trim(tok[1]);
  switch (s.key) {
    case Setting::flash_size:
      e->flash_size = is_auto(v) ? 0 : uint32_t(rs::str2int(v));
      break;
    case Setting::block_size:
      e->block_size = uint32_t(rs::str2int(v));
      if (e->block_size != 0x1000 && e->block_size != 0x10000 && e->block_size != 0x20000) {
        rs::say_error("error: \"block_size\" must equal 0x1000 or 0x10000 or 0x20000, but now block_size = 0x%08x\n",
                    unsigned(e->block_size));
        rs::diag("if flash type of target board is NOR FLASH: please set \"block_size 0x1000 or 0x010000\"\n");
        rs::diag("if flash type of target board is NAND FLASH: please set \"block_size 0x020000\"\n");
        return false;
      }
      break;
    case Setting::table_enable:
      e->table_enable = is_true(v);
      break;
    case Setting::write_protect:
      e->flash_table.write_protect = is_true(v);
      break;
    case Setting::crc32:
      e->flash_table.crc32_enable = is_true(v);
      break;
    case Setting::zlibmode:
      e->new_style = is_true(v);
      break;
    case Setting::table_version:
      e->table_version = int(rs::str2int(v));
      init_table_sect(e->table_version);
      break;
    case Setting::dtb_file:
      if (v.size() > 255) {
        rs::say_error("error: dtb_file name longer than 255 characters in %s\n", b.conf);
        return false;
      }
      dtb_file = v;
      break;
  }
  return true;
}

// The content file of a partition line into the partition's buffer; the
// table's file only names the table file to write. False when refused.
bool read_partition_file(partition_data& p, const std::string& name, const std::string& file) {
  partition_info& info = *p.info;
  const bool is_null = strcasecmp(file.c_str(), "NULL") == 0;
  if (strncasecmp(name.c_str(), "table", 5) == 0) {
    info.used_size = table_sect.size;
    if (!is_null) table_file_name = file;
    return true;
  }
  if (is_null) return true;
  std::vector<uint8_t> content;
  if (!read_content(file, content) || content.empty()) return true;
  if (strncasecmp(name.c_str(), "KERNEL", 6) == 0 && !dtb_file.empty()) {
    std::vector<uint8_t> dtb;
    if (!read_content(dtb_file, dtb)) return false;
    content.insert(content.begin(), dtb.begin(), dtb.end());
  }
  p.buf = static_cast<uint8_t*>(std::malloc(content.size()));
  if (!p.buf) return false;
  std::memcpy(p.buf, content.data(), content.size());
  info.used_size = uint32_t(content.size());
  info.crc32 = rs::crc32_parallel(content.data(), content.size());
  p.file_name = strdup(file.c_str());
  return true;
}

// One partition line: "name file crc32 type mode update_tags version start
// total reserved", any tail left out. False when refused.
bool read_partition_line(ConfBuild& b, const std::vector<std::string>& tok) {
  flash* e = b.e;
  // The limit is checked before the entry is filled, so that a full v4 table
  // never writes past the record.
  if (uint32_t(b.count) + 1 > table_sect.part_num) {
    rs::say_error("No more than %d the number of partitions.\n", int(table_sect.part_num));
    return false;
  }
  partition_data& p = e->list[b.count];
  partition_info& info = e->flash_table.tables[b.count];
  std::memset(&info, 0, sizeof info);
  p.info = &info;
  Autos& a = b.autos[b.count];
  std::memcpy(info.name, tok[0].data(), std::min<size_t>(7, tok[0].size()));
  auto col = [&](Column c) -> const std::string* { return c < tok.size() && c < col_count ? &tok[c] : nullptr; };
  if (const std::string* f = col(col_file))
    if (!read_partition_file(p, tok[0], *f)) return false;
  if (const std::string* c = col(col_crc32)) info.crc32_enable = is_true(*c);
  if (const std::string* c = col(col_type)) info.file_system_type = type_of(*c);
  if (const std::string* c = col(col_mode)) info.mode = strcasecmp(c->c_str(), "rw") == 0 ? 1 : 0;
  if (const std::string* c = col(col_update_tags)) info.update_tags = uint8_t(rs::str2int(*c));
  if (const std::string* c = col(col_version)) info.version = uint16_t(rs::str2int(*c));
  if (const std::string* c = col(col_start)) {
    a.start = is_auto(*c);
    info.start_addr = a.start ? 0 : uint32_t(rs::str2int(*c));
  }
  if (const std::string* c = col(col_total)) {
    a.total = is_auto(*c);
    info.total_size = info.partition_size = a.total ? 0 : uint32_t(rs::str2int(*c));
  }
  if (const std::string* c = col(col_reserved)) {
    a.reserved = is_auto(*c);
    info.reserved_size = a.reserved ? 0 : uint32_t(rs::str2int(*c));
  }
  if (table_sect.version == 1) info.reserved_size = 0;
  ++b.count;
  // Counted at once, so that a refusal on a later line frees this one's buffer.
  e->count = b.count;
  return true;
}

// Reads every line of the open flash.conf. False when refused.
bool read_lines(ConfBuild& b, FILE* fp) {
  char line[1024];
  while (std::fgets(line, 1023, fp)) {
    rs::trim(line);
    if (!line[0] || line[0] == '#') continue;
    std::vector<std::string> tok = tokens(line);
    const SettingName* s = setting_of(line);
    if (!(s ? read_setting(b, *s, tok) : read_partition_line(b, tok))) return false;
  }
  return true;
}

// Where an "auto" start of a partition of `type` is rounded up to.
uint64_t start_alignment(int type, uint32_t block_size) {
  const fs_ops* ops = fs_ops_for(type);
  return ops && ops->align ? ops->align : block_size;
}

// Resolves the "auto" values and checks that the partitions fit in each other
// and in the flash. False when refused.
bool place_partitions(ConfBuild& b) {
  flash* e = b.e;
  const int count = b.count;
  partition_info* t = e->flash_table.tables;
  if (b.autos[0].start) t[0].start_addr = 0;
  if (b.autos[0].total) t[0].total_size = t[0].used_size;
  if (b.autos[0].reserved) t[0].reserved_size = 0;
  if (e->block_size == 0) e->block_size = 0x10000;
  for (int i = 1; i < count; ++i) {
    if (b.autos[i].total) t[i].total_size = t[i].used_size;
    if (b.autos[i].reserved) t[i].reserved_size = 0;
    if (b.autos[i].start) {
      const uint64_t align = start_alignment(t[i].file_system_type, e->block_size);
      const uint64_t end = uint64_t(t[i - 1].start_addr) + t[i - 1].total_size;
      t[i].start_addr = uint32_t((end + align - 1) / align * align);
    }
    if (strcasecmp(partition_name(&t[i]).c_str(), "TABLE") == 0) {
      e->table_enable = 1;
      e->table_addr = t[i].start_addr;
    }
    const fs_ops* ops = fs_ops_for(t[i].file_system_type);
    if (ops && ops->align && t[i].start_addr % ops->align) {
      rs::say_error("%s start address must be aligned %uK\n", ops->name, unsigned(ops->align / 1024));
      return false;
    }
  }
  if (e->flash_size == 0) {
    for (int i = 0; i < count; ++i) {
      if (t[i].total_size == 0 && t[i].used_size == 0) {
        rs::say_error("error: The total size and used size can not auto meanwhile\n");
        return false;
      }
    }
  }
  uint64_t sum = 0;
  for (int i = 0; i < count; ++i) {
    const std::string name = partition_name(&t[i]);
    const bool last = i == count - 1;
    if (!last) {
      if (t[i + 1].start_addr <= t[i].start_addr) {
        rs::say_error("error: total size %s  (TOTAL size < = 0x0)\n", name.c_str());
        rs::diag("please check the config of %s\n\n", b.conf);
        return false;
      }
      t[i].total_size = t[i + 1].start_addr - t[i].start_addr;
    } else if (e->flash_size) {
      t[i].total_size = uint32_t(e->flash_size - t[i].start_addr);
    }
    sum += t[i].total_size;
    if (e->flash_size && sum > e->flash_size) {
      rs::say_error("Total partition size is %d, out flash size %d, please check.\n", int(sum), int(e->flash_size));
      return false;
    }
    if (t[i].reserved_size > t[i].total_size) {
      rs::say_error("error: partition %s (RESERVED size = 0x%x) > (TOTAL size = 0x%x)\n", name.c_str(),
                  t[i].reserved_size, t[i].total_size);
      rs::diag("please check the config of %s\n\n", b.conf);
      return false;
    }
    t[i].partition_size = t[i].total_size - t[i].reserved_size;
    e->list[i].crc32_passed = 1;
  }
  if (e->flash_size == 0) e->flash_size = uint32_t(sum);
  for (int i = 0; i < count; ++i) {
    if (t[i].used_size > t[i].partition_size) {
      rs::say_error("error: partition %s (FILE size = 0x%x) > (PART size = 0x%x)\n", partition_name(&t[i]).c_str(),
                  t[i].used_size, t[i].partition_size);
      rs::diag("please check the config of %s\n\n", b.conf);
      return false;
    }
  }
  return true;
}

// Sorts the placed partitions and gives each its whole buffer, content then
// 0xFF filler; loads the file systems a build edits and settles the CRCs.
// False when refused.
bool fill_partitions(ConfBuild& b) {
  flash* e = b.e;
  const int count = b.count;
  e->flash_table.magic = table_sect.magic;
  e->flash_table.count = uint8_t(count);
  flash_sort(e);
  for (int i = 0; i < count; ++i) {
    partition_data& p = e->list[i];
    p.info->id = uint8_t(i);
    // In the new style a partition without content keeps no buffer.
    if (e->new_style && !p.buf) continue;
    const uint32_t total = p.info->total_size;
    auto* grown = static_cast<uint8_t*>(std::realloc(p.buf, total ? total : 1));
    if (!grown) {
      rs::say_error("error: %s(%d) calloc failed\n", "flash_load_conf", 412);
      return false;
    }
    p.buf = grown;
    const uint32_t have = p.file_name ? p.info->used_size : 0;
    if (total > have) std::memset(p.buf + have, 0xFF, total - have);
  }
  e->flash_table.version = 102;
  for (int i = 0; i < count; ++i) {
    partition_data& p = e->list[i];
    const fs_ops* ops = fs_ops_for(p.info->file_system_type);
    if (ops && ops->load_after_build && p.file_name) partition_load_fs(p);
  }
  for (int i = 0; i < count; ++i) {
    partition_data& p = e->list[i];
    if (is_table_partition(p)) continue;
    if (p.info->crc32_enable) {
      const uint32_t crc = p.buf ? rs::crc32_parallel(p.buf, p.info->used_size) : 0;
      if (crc != p.info->crc32) {
        rs::warn("update partition %s crc32, old_crc32=0x%x, new_crc32=0x%x\n", partition_name(p.info).c_str(),
                    p.info->crc32, crc);
        p.info->crc32 = crc;
      }
    } else {
      p.info->crc32 = 0;
    }
  }
  return true;
}

// The image keeps the settings it was built with (the process-wide ones only
// mirror the current image).
void record_settings(flash* e) {
  image_state& st = state_of(e);
  st = image_state{};
  st.table_version = e->table_version;
  st.sect = table_sect;
  st.table_file_name = table_file_name;
  st.dtb_file = dtb_file;
  st.basedir = basedir;
}

}  // namespace

extern "C" RS_API flash* flash_load_conf(const char* conf) {
  if (!conf) return nullptr;
  FILE* fp = std::fopen(conf, "r");
  if (!fp) {
    rs::say_error("error: can't open file \"%s\"!\n", conf);
    return nullptr;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> file(fp, std::fclose);
  // Content files are found beside the conf; the image keeps that directory
  // as its own, and the caller's stays what it was for the images after it.
  struct KeepBasedir {
    std::string old = basedir;
    ~KeepBasedir() { basedir = old; }
  } keep;
  basedir = rs::dir_of(conf);
  // Settings of an earlier image or flash.conf do not carry over into this one.
  init_table_sect(1);
  table_file_name.clear();
  dtb_file.clear();
  std::unique_ptr<flash, FlashDeleter> entry(static_cast<flash*>(std::calloc(1, sizeof(flash))));
  if (!entry) {
    rs::say_error("memory calloc entry == NULL\n");
    return nullptr;
  }
  ConfBuild b;
  b.conf = conf;
  b.e = entry.get();
  if (!read_lines(b, fp)) return nullptr;
  file.reset();

  rs::warn("\n");
  b.e->count = b.count;
  if (b.count == 0) {
    rs::say_error("error: no partition in %s\n", conf);
    return nullptr;
  }
  if (!place_partitions(b) || !fill_partitions(b)) return nullptr;
  record_settings(b.e);
  return entry.release();
}
