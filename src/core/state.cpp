#include "core/state.h"

#include <cstring>

#include "util/strutil.h"

std::string basedir = ".";
std::string table_file_name;
std::string dtb_file;

std::string partition_name(const partition_info* info) {
  if (!info) return {};
  return std::string(info->name, strnlen(info->name, sizeof info->name));
}

bool is_table_partition(const partition_data& p) { return rs::iequals(partition_name(p.info), "TABLE"); }
