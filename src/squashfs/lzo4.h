// An lzo codec in libsquashfs's compressor interface: the library as packaged
// has none, and lzo images are common on set-top boxes.
#pragma once
#include <sqfs/compressor.h>

namespace rs::sqfs {

// Same contract as sqfs_compressor_create for SQFS_COMP_LZO: `cfg` selects
// compress or uncompress (SQFS_COMP_FLAG_UNCOMPRESS), the algorithm and level.
int create_lzo_compressor(const sqfs_compressor_config_t* cfg, sqfs_compressor_t** out);

}  // namespace rs::sqfs
