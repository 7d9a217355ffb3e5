// gzip blocks (zlib streams) written with libdeflate, loaded when the first
// one is compressed: at the level used in its place it compresses at least as
// well as zlib does at the level asked for, in a fraction of the time.
#pragma once
#include <sqfs/compressor.h>

namespace rs::sqfs {

// Same contract as sqfs_compressor_create for a gzip compressor with no
// strategy flags and the full 32 KiB window; anything else, or no libdeflate
// to load, gives SQFS_ERROR_UNSUPPORTED and the caller uses the library's.
int create_gzip_encoder(const sqfs_compressor_config_t* cfg, sqfs_compressor_t** out);

}  // namespace rs::sqfs
