// Signatures of the image library's exports that KeyPorter binds by name.
// The image handle stays an incomplete type here: the program never looks
// inside it and links nothing of the library.
#pragma once

struct flash;

namespace keyporter {

using flash_load_bin_fn = flash* (*)(const char* filename);
using flash_save_fn = int (*)(flash* entry, const char* filename, int unchanged_fs);
using flash_read_fn = int (*)(flash* entry, const char* full_file, void* buf, int size, int offset);
using flash_rm_fn = int (*)(flash* entry, const char* full_file);
using flash_add_fn = int (*)(flash* entry, const char* full_file, const char* local_file);
using flash_partition_dump_fn = int (*)(flash* entry, const char* partition_name, const char* filename);
using flash_update_f_fn = int (*)(flash* entry, const char* partition_name, const char* filename);
using flash_free_fn = int (*)(flash* entry);
// The message of the last failure on `entry`; null `entry`: of the last
// image-less call (flash_load_bin).
using flash_last_error_fn = const char* (*)(flash* entry);

// The library's file name, looked for beside the program first, and the
// versioned name an installed library surely has.
inline constexpr const char* kLibraryFile = "libromsmith.so";
#ifdef KEYPORTER_LIBRARY_SONAME
inline constexpr const char* kLibrarySoname = KEYPORTER_LIBRARY_SONAME;
#else
inline constexpr const char* kLibrarySoname = "libromsmith.so.2";
#endif

}  // namespace keyporter
