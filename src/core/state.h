// Process-wide settings of the image core, set as side effects of configuring
// and saving images and kept until changed.
#pragma once
#include <romsmith/romsmith.h>

#include <string>

extern std::string basedir;          // base directory for relative build inputs ("." at start)
extern std::string table_file_name;  // configured table file name; empty when none
extern std::string dtb_file;         // device-tree file prepended to KERNEL content

// The partition name as a terminated string (a name may fill all 8 bytes).
std::string partition_name(const partition_info* info);
bool is_table_partition(const partition_data& p);
