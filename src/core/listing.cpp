// Listings of a Flash image and dumps of its contents to disk.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/flash_ops.h"
#include "core/fs_contract.h"
#include "core/state.h"
#include "core/table.h"
#include "util/fileio.h"
#include "util/strutil.h"

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

void write_summary(const flash* entry, FILE* f) {
  std::fprintf(f, "flash_size\t= 0x%x\n", unsigned(entry->flash_size));
  std::fprintf(f, "block_size\t= 0x%x\n", unsigned(entry->block_size));
  std::fprintf(f, "write_protect\t= %s\n", tf(entry->flash_table.write_protect));
  std::fprintf(f, "crc32\t= %s\n\n", tf(entry->flash_table.crc32_enable));
  for (int i = 0; i < entry->count; ++i) {
    const partition_info* p = entry->list[i].info;
    std::string name = partition_name(p);
    std::fprintf(f, "%-10sBIN.%-16s%-8s%-10s%-3s0x%08x 0x%08x\n", name.c_str(), name.c_str(), tf(p->crc32_enable),
                 get_fstype(p->file_system_type), p->mode ? "RW" : "RO", p->start_addr, p->total_size);
  }
}

size_t used_bytes(const partition_data& p) { return std::min(p.info->used_size, p.info->total_size); }

}  // namespace

extern "C" {

RS_API void flash_printf(flash* entry) {
  if (!entry) return;
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
  for (int i = 0; i < entry->count; ++i) {
    const partition_data& p = entry->list[i];
    std::string name = partition_name(p.info);
    // A dump that cannot be written says so (the shell has no other way to tell).
    std::string bin = rs::catpath(path, "BIN." + name);
    if (p.buf && !rs::write_file_atomic(bin, p.buf, used_bytes(p)))
      std::printf("error: flash_dump write %s failed, errno(%s)\n", bin.c_str(), std::strerror(errno));
    int type = p.info->file_system_type;
    if (type != FS_MINIFS && type != FS_CRAMFS && type != FS_SQUASHFS) continue;
    const fs_ops* ops = fs_ops_for(type);
    std::string dir = rs::catpath(path, name);
    ::mkdir(dir.c_str(), 0755);
    if (p.fs && ops && ops->dump)
      ops->dump(p.fs, dir.c_str());
    else if (ops)
      std::printf("%s", ops->dump_unloaded_msg);
  }
  FILE* f = std::fopen(rs::catpath(path, "flash.conf").c_str(), "w");
  if (f) {
    std::printf("%-3s%-8s%-3s%-10s%-10s%-9s%10s%11s%9s%5s\n", "ID", "NAME", "", "FS", "CRC32", "START", "SIZE", "USED",
                "USE%", "PASS");
    write_summary(entry, f);
    if (std::fclose(f) != 0)
      std::printf("error: flash_dump write flash.conf failed, errno(%s)\n", std::strerror(errno));
  } else {
    std::printf("error: flash_dump write flash.conf failed, errno(%s)\n", std::strerror(errno));
  }
  return 0;
}

RS_API int flash_partition_dump(flash* entry, const char* partition_name, const char* filename) {
  partition_data* p = flash_get_partition(entry, partition_name);
  if (!p) {
    std::printf("error: %s not exist!\n", partition_name ? partition_name : "(null)");
    return -1;
  }
  if (!filename || !rs::write_file_atomic(filename, p->buf, p->buf ? used_bytes(*p) : 0)) {
    std::printf("error: open %s falied!\n", filename ? filename : "(null)");
    return -1;
  }
  return 0;
}

}  // extern "C"
