// A block codec of our own behind libsquashfs's compressor interface: the
// library's codec of the same configuration answers for the options block
// and the configuration, ours does the blocks.
#pragma once
#include <sqfs/compressor.h>
#include <sqfs/predef.h>

#include <cstddef>
#include <new>

namespace rs::sqfs {

using BlockFn = sqfs_s32 (*)(sqfs_compressor_t*, const sqfs_u8*, sqfs_u32, sqfs_u8*, sqfs_u32);
using MakeFn = int (*)(const sqfs_compressor_config_t*, sqfs_compressor_t**);

// The object calls of a codec struct T whose first member is
// `sqfs_compressor_t c` and which keeps its `sqfs_compressor_config_t cfg`:
// destroyed with delete, copied by `Remake` from the configuration.
template <class T, MakeFn Remake>
void set_object_calls(T* z) {
  static_assert(offsetof(T, c) == 0);
  z->c.base.destroy = [](sqfs_object_t* o) { delete reinterpret_cast<T*>(o); };
  z->c.base.copy = [](const sqfs_object_t* o) -> sqfs_object_t* {
    sqfs_compressor_t* c = nullptr;
    return Remake(&reinterpret_cast<const T*>(o)->cfg, &c) == 0 ? reinterpret_cast<sqfs_object_t*>(c) : nullptr;
  };
}

// T: as for set_object_calls, with a member
// `sqfs_compressor_t* lib` (destroyed with it). Takes `lib` in all cases;
// null when out of memory.
template <class T, MakeFn Remake>
sqfs_compressor_t* wrap_codec(const sqfs_compressor_config_t* cfg, sqfs_compressor_t* lib, BlockFn block) {
  T* z = new (std::nothrow) T;
  if (!z) {
    sqfs_destroy(lib);
    return nullptr;
  }
  z->cfg = *cfg;
  z->lib = lib;
  set_object_calls<T, Remake>(z);
  z->c.get_configuration = [](const sqfs_compressor_t* c, sqfs_compressor_config_t* o) {
    T* t = reinterpret_cast<T*>(const_cast<sqfs_compressor_t*>(c));
    t->lib->get_configuration(t->lib, o);
  };
  z->c.write_options = [](sqfs_compressor_t* c, sqfs_file_t* f) {
    T* t = reinterpret_cast<T*>(c);
    return t->lib->write_options(t->lib, f);
  };
  z->c.read_options = [](sqfs_compressor_t* c, sqfs_file_t* f) {
    T* t = reinterpret_cast<T*>(c);
    return t->lib->read_options(t->lib, f);
  };
  z->c.do_block = block;
  return &z->c;
}

}  // namespace rs::sqfs
