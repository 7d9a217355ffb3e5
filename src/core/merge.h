// Merge files and their split; used by the shell's merge and split commands.
#pragma once
#include <romsmith/romsmith.h>

int image_merge(const char* conf_file_name, flash* entry, const char* file_name);
int image_split(const char* file_name, const char* dir);
