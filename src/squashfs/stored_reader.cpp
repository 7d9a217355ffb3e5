// Reading stored files from any thread.
#include "squashfs/squashfs.h"

std::function<long long(void*, size_t, uint64_t)> squashfs_stored_reader(squashfs_entry*, const char*) { return {}; }
