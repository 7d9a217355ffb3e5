// Listings of a Flash image and dumps of its contents to disk.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/found.h"
#include "core/flash_ops.h"
#include "core/fs_contract.h"
#include "core/image_state.h"
#include "core/fs_dump.h"
#include "core/state.h"
#include "core/table.h"
#include "util/fileio.h"
#include "util/strutil.h"
#include "util/treewriter.h"
#include "util/report.h"

char* get_size_str(char* size_str, uint64_t size) {
  if (size > 0xFFFFF)
    std::snprintf(size_str, 32, "%6.2f MB", double(size) / 1048576.0);
  else if (size >= 1024)
    std::snprintf(size_str, 32, "%6.2f KB", double(size) / 1024.0);
  else
    std::snprintf(size_str, 32, "%6d  B", int(size));
  return size_str;
}

namespace {

const char* tf(int v) { return v ? "TRUE" : "FALSE"; }

// The block size a dump's flash.conf names: the image's own when it is one a
// build accepts, else the largest of those that every partition start keeps.
unsigned summary_block_size(const flash* entry) {
  const size_t bs = entry->block_size;
  if (bs == 0x1000 || bs == 0x10000 || bs == 0x20000) return unsigned(bs);
  for (unsigned cand : {0x20000u, 0x10000u, 0x1000u}) {
    bool fits = true;
    for (int i = 0; i < entry->count && fits; ++i) fits = entry->list[i].info->start_addr % cand == 0;
    if (fits) return cand;
  }
  return 0x10000;
}

std::string dump_name(const partition_data& p, int i, bool warn);

// A flash.conf that builds the dumped image again from the dumped BIN.* files:
// every setting and every column a build reads. The table partition names no
// file (the build writes the table itself); a type code without a word is
// written as its number.
void write_summary(const flash* entry, FILE* f) {
  std::fprintf(f, "flash_size\t= 0x%x\n", unsigned(entry->flash_size));
  std::fprintf(f, "block_size\t= 0x%x\n", summary_block_size(entry));
  std::fprintf(f, "table_version\t= %d\n", entry->table_version);
  std::fprintf(f, "table_enable\t= %s\n", tf(entry->table_enable));
  std::fprintf(f, "write_protect\t= %s\n", tf(entry->flash_table.write_protect));
  std::fprintf(f, "crc32\t= %s\n", tf(entry->flash_table.crc32_enable));
  if (entry->new_style) std::fprintf(f, "zlibmode\t= TRUE\n");
  std::fprintf(f, "\n");
  for (int i = 0; i < entry->count; ++i) {
    const partition_data& d = entry->list[i];
    const partition_info* p = d.info;
    std::string name = partition_name(p);
    std::string file = is_table_partition(d) ? std::string("NULL") : "BIN." + dump_name(d, i, false);
    std::string type = get_fstype(p->file_system_type);
    if (type == "UNKNOWN") type = std::to_string(int(p->file_system_type));
    std::fprintf(f, "%-10s%-20s%-8s%-10s%-3s%-4u%-6u0x%08x 0x%08x 0x%08x\n", name.c_str(), file.c_str(),
                 tf(p->crc32_enable), type.c_str(), p->mode ? "RW" : "RO", unsigned(p->update_tags),
                 unsigned(p->version), p->start_addr, p->total_size, p->reserved_size);
  }
}

size_t used_bytes(const partition_data& p) { return std::min(p.info->used_size, p.info->total_size); }

// The name a partition is dumped under: its own when that is a plain file
// name, else "partition<N>" (its position in the table) with a warning.
std::string dump_name(const partition_data& p, int i, bool warn) {
  std::string name = partition_name(p.info);
  if (rs::safe_component(name)) return name;
  std::string safe = rs::strprintf("partition%d", i);
  if (warn)
    rs::warn("warning: partition name \"%s\" is not a safe file name; dumped as \"%s\"\n", name.c_str(), safe.c_str());
  return safe;
}

}  // namespace

extern "C" {

RS_API void flash_printf(flash* entry) {
  if (!entry) return;
  // The listing speaks of this image's own table format.
  state_make_current(entry);
  char s1[32], s2[32], s3[32], s4[32];
  const partition_table& t = entry->flash_table;
  std::printf("\n");
  std::printf("Partition Version   :  %d\n", t.version);
  std::printf("Flase Size          :  %s\n", get_size_str(s1, entry->flash_size));
  std::printf("Partition Count     :  %d\n", t.count);
  std::printf("Partition MAX Count :  %d\n", int(table_sect.part_num));
  std::printf("Table Enable        :  %s\n", tf(entry->table_enable));
  std::printf("Write Protect       :  %s\n", tf(t.write_protect));
  std::printf("CRC32 Enable        :  %s\n", tf(t.crc32_enable));
  std::printf("Table CRC32         :  %X\n", t.crc_verify);
  std::printf("Table Format        :  %s\n", layout_text(entry).c_str());
  std::printf("\n%s\n", std::string(108, '=').c_str());
  std::printf("%-3s%-8s%-3s%-10s%8s%8s%7s%8s%11s%11s%11s%7s%10s%3s\n", "ID", "NAME", "", "FS", "CRC32", "UPDATE",
              "VERION", "START", "TOTAL_SIZE", "MAIN_SIZE", "USED_SIZE", "USE%", "RES_SIZE", "OK");
  std::printf("%s\n", std::string(108, '=').c_str());
  for (int i = 0; i < entry->count; ++i) {
    const partition_data& p = entry->list[i];
    const partition_info* in = p.info;
    static char crc[9];
    if (in->crc32)
      std::snprintf(crc, sizeof crc, "%08X", in->crc32);
    else
      std::snprintf(crc, sizeof crc, "        ");
    // An empty main area shows no usage rather than a division by zero.
    double use = in->partition_size ? double(in->used_size) * 100.0 / double(in->partition_size) : 0.0;
    std::printf("%-3d%-8s%-3s%-10s%-8s%8u%7u %08x %-10s %-10s%-10s%5.1f%%  %-7s%3s\n", in->id,
                partition_name(in).c_str(), in->mode ? "RW" : "RO", get_fstype(in->file_system_type), crc,
                unsigned(in->update_tags), unsigned(in->version), in->start_addr, get_size_str(s1, in->total_size),
                get_size_str(s2, in->partition_size), get_size_str(s3, in->used_size), use,
                get_size_str(s4, in->reserved_size), p.crc32_passed ? "*" : " ");
  }
  std::printf("%s\n\n", std::string(108, '-').c_str());
}

RS_API int flash_dump(flash* entry, const char* path) {
  if (!entry || !path) return 0;
  state_make_current(entry);
  // The directory is the user's: made with its parents when missing. What
  // goes inside it is named by the image and never leaves it.
  if (!rs::make_dirs(path)) {
    rs::say_error("error: flash_dump can't make %s, errno(%s)\n", path, std::strerror(errno));
    return -1;
  }
  rs::TreeWriter out(path);
  if (!out.ok()) {
    rs::say_error("error: flash_dump can't open %s, errno(%s)\n", path, std::strerror(errno));
    return -1;
  }
  int result = 0;
  for (int i = 0; i < entry->count; ++i) {
    const partition_data& p = entry->list[i];
    std::string name = dump_name(p, i, true);
    // A dump that cannot be written says so (the shell has no other way to tell).
    std::string bin = "BIN." + name;
    if (p.buf && !out.file(bin, 0644, [&](FILE* f) {
          size_t n = used_bytes(p);
          return n == 0 || std::fwrite(p.buf, 1, n, f) == n;
        })) {
      rs::say_error("error: flash_dump write %s failed, errno(%s)\n", rs::catpath(path, bin).c_str(),
                  std::strerror(errno));
      result = -1;
    }
    const fs_ops* ops = fs_ops_of(p.fs, p.info->file_system_type);
    if (!ops) continue;
    std::string dir = rs::catpath(path, name);
    if (!out.directory(name)) {
      rs::say_error("error: flash_dump can't make %s, errno(%s)\n", dir.c_str(),
                  std::strerror(errno == ELOOP ? ELOOP : errno));
      result = -1;
      continue;
    }
    if (p.fs) {
      if (fs_dump_tree(ops, p.fs, dir, ops->dump_who) != 0) result = -1;
    } else {
      rs::say_error("%s", ops->dump_unloaded_msg);
    }
  }
  std::printf("%-3s%-8s%-3s%-10s%-10s%-9s%10s%11s%9s%5s\n", "ID", "NAME", "", "FS", "CRC32", "START", "SIZE", "USED",
              "USE%", "PASS");
  if (!out.file("flash.conf", 0644, [&](FILE* f) {
        write_summary(entry, f);
        return !std::ferror(f);
      })) {
    rs::say_error("error: flash_dump write flash.conf failed, errno(%s)\n", std::strerror(errno));
    result = -1;
  }
  return result;
}

RS_API int flash_partition_dump(flash* entry, const char* partition_name, const char* filename) {
  partition_data* p = flash_get_partition(entry, partition_name);
  if (!p) {
    rs::say_error("error: %s not exist!\n", partition_name ? partition_name : "(null)");
    return -1;
  }
  if (!filename || !rs::write_file_atomic(filename, p->buf, p->buf ? used_bytes(*p) : 0)) {
    rs::say_error("error: open %s falied!\n", filename ? filename : "(null)");
    return -1;
  }
  return 0;
}

}  // extern "C"
