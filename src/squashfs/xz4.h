// xz blocks with one liblzma coder kept across blocks: setting up the encoder
// costs more than compressing an 8 KiB metadata block, the decoder allocates
// its dictionary anew for every block, and a large tree has thousands.
#pragma once
#include <sqfs/compressor.h>

namespace rs::sqfs {

// Same contract and the same bytes as sqfs_compressor_create for an xz
// compressor with no flags (each block one xz stream with a CRC32 check),
// but that a data block zstd's fastest level cannot shorten at all is taken
// as not shrinking without LZMA's long look at it.
// Branch filters or "extreme" give SQFS_ERROR_UNSUPPORTED: the library tries
// several encodings for those, and the caller uses its codec.
int create_xz_encoder(const sqfs_compressor_config_t* cfg, sqfs_compressor_t** out);
// The decoder (SQFS_COMP_FLAG_UNCOMPRESS set, any filters), one liblzma
// decoder kept across blocks: the same results and refusals as the library's.
int create_xz_decoder(const sqfs_compressor_config_t* cfg, sqfs_compressor_t** out);

}  // namespace rs::sqfs
