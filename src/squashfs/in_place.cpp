// Saving an edit over the loaded image's own bytes.
#include "squashfs/squashfs.h"

long long squashfs_rebuild_in_place(squashfs_entry*, uint8_t*, size_t, std::string*) { return -1; }
