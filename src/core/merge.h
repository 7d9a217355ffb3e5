// Merge files and their split; used by the shell's merge and split commands.
#pragma once
#include <romsmith/romsmith.h>

int image_merge(const char* conf_file_name, flash* entry, const char* file_name);
// 0 when every file was written; -2 when the merge file cannot be read, -1
// for a file that is no merge file or a split that stopped part way. Neither
// ends the process: the caller decides.
int image_split(const char* file_name, const char* dir);
