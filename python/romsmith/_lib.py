"""ctypes view of libromsmith.so: the records of romsmith.h and the signatures
of the functions the module calls.

The record layouts must match the static assertions in src/exports.cpp; the
sizes are checked again when the library is loaded, so a mismatched build
fails at once instead of reading garbage.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import threading
from pathlib import Path

PARTITION_MAX = 84


class partition_info(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char * 8),
        ("total_size", ctypes.c_uint32),
        ("used_size", ctypes.c_uint32),
        ("reserved_size", ctypes.c_uint32),
        ("start_addr", ctypes.c_uint32),
        ("file_system_type", ctypes.c_int8),
        ("mode", ctypes.c_int8),
        ("id", ctypes.c_uint8),
        ("update_tags", ctypes.c_uint8),
        ("partition_size", ctypes.c_uint32),
        ("crc_verify", ctypes.c_uint32),
        ("crc32", ctypes.c_uint32),
        ("version", ctypes.c_uint16),
        ("crc32_enable", ctypes.c_int8),
        ("write_protect", ctypes.c_int8),
        ("mtd_id", ctypes.c_uint8),
    ]


class partition_table(ctypes.Structure):
    _fields_ = [
        ("magic", ctypes.c_uint32),
        ("count", ctypes.c_uint8),
        ("tables", partition_info * PARTITION_MAX),
        ("write_protect", ctypes.c_uint8),
        ("crc32_enable", ctypes.c_uint8),
        ("version", ctypes.c_int8),
        ("crc_verify", ctypes.c_uint32),
    ]


class partition_data(ctypes.Structure):
    _fields_ = [
        ("info", ctypes.POINTER(partition_info)),
        ("buf", ctypes.c_void_p),
        ("fs", ctypes.c_void_p),
        ("file_name", ctypes.c_char_p),
        ("crc32_passed", ctypes.c_int),
    ]


class flash(ctypes.Structure):
    _fields_ = [
        ("list", partition_data * PARTITION_MAX),
        ("count", ctypes.c_int),
        ("flash_size", ctypes.c_size_t),
        ("block_size", ctypes.c_size_t),
        ("table_addr", ctypes.c_size_t),
        ("table_enable", ctypes.c_int),
        ("flash_table", partition_table),
        ("new_style", ctypes.c_int),
        ("table_version", ctypes.c_int),
    ]


class flash_stat_s(ctypes.Structure):
    _fields_ = [
        ("mode", ctypes.c_uint32),
        ("uid", ctypes.c_uint32),
        ("gid", ctypes.c_uint32),
        ("nlink", ctypes.c_uint32),
        ("rdev", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32),
        ("size", ctypes.c_uint64),
        ("mtime", ctypes.c_int64),
        ("ino", ctypes.c_uint64),
        ("target", ctypes.c_char * 4096),
    ]


# Pinned in src/exports.cpp; a library built with another layout must not be used.
_LAYOUT = [
    (ctypes.sizeof(partition_info), 48),
    (partition_info.start_addr.offset, 20),
    (partition_info.crc32.offset, 36),
    (ctypes.sizeof(partition_table), 4048),
    (partition_table.tables.offset, 8),
    (ctypes.sizeof(partition_data), 40),
    (ctypes.sizeof(flash), 7456),
    (flash.flash_table.offset, 3396),
    (ctypes.sizeof(flash_stat_s), 4144),
    (flash_stat_s.size.offset, 24),
    (flash_stat_s.ino.offset, 40),
    (flash_stat_s.target.offset, 48),
]
if not all(got == want for got, want in _LAYOUT):
    raise ImportError("romsmith: record layout differs from romsmith.h")

FLASH_P = ctypes.POINTER(flash)
WALK_CB = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_char_p, ctypes.POINTER(flash_stat_s), ctypes.c_void_p)

_c = ctypes.c_char_p
_i = ctypes.c_int
_u32 = ctypes.c_uint32
_SIGNATURES = {
    "flash_load_bin": (FLASH_P, [_c]),
    "flash_save": (_i, [FLASH_P, _c, _i]),
    "flash_free": (_i, [FLASH_P]),
    "flash_last_error": (_c, [FLASH_P]),
    "flash_stat": (_i, [FLASH_P, _c, ctypes.POINTER(flash_stat_s)]),
    "flash_walk": (_i, [FLASH_P, _c, _i, WALK_CB, ctypes.c_void_p]),
    "flash_pread": (ctypes.c_longlong, [FLASH_P, _c, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint64]),
    "flash_put": (_i, [FLASH_P, _c, ctypes.c_void_p, ctypes.c_size_t, _i, ctypes.c_long, ctypes.c_long]),
    "flash_remove": (_i, [FLASH_P, _c]),
    "flash_mkdir": (_i, [FLASH_P, _c, _u32]),
    "flash_chmod": (_i, [FLASH_P, _c, _u32]),
    "flash_chown": (_i, [FLASH_P, _c, _u32, _u32]),
    "flash_symlink": (_i, [FLASH_P, _c, _c]),
    "flash_rename": (_i, [FLASH_P, _c, _c]),
    "flash_set_mtime": (_i, [FLASH_P, _c, ctypes.c_int64]),
    "flash_mknod": (_i, [FLASH_P, _c, _u32, _u32]),
    "flash_link": (_i, [FLASH_P, _c, _c]),
}


def candidates() -> list[str]:
    """Where the library is looked for, in order."""
    env = os.environ.get("ROMSMITH_LIBRARY")
    if env:
        # An explicit choice is never silently replaced by another copy.
        return [env]
    found = []
    # Run from the source tree: python/romsmith/ -> build/libromsmith.so.
    in_tree = Path(__file__).resolve().parent.parent.parent / "build" / "libromsmith.so"
    if in_tree.exists():
        found.append(str(in_tree))
    system = ctypes.util.find_library("romsmith")
    if system:
        found.append(system)
    found.append("libromsmith.so.2")
    return found


_lock = threading.Lock()
_loaded: ctypes.CDLL | None = None


def lib() -> ctypes.CDLL:
    """The library, loaded on first use so that importing the module never fails."""
    global _loaded
    with _lock:
        if _loaded is None:
            errors = []
            for name in candidates():
                try:
                    handle = ctypes.CDLL(name, use_errno=True)
                except OSError as e:
                    errors.append(f"{name}: {e}")
                    continue
                for fn, (restype, argtypes) in _SIGNATURES.items():
                    f = getattr(handle, fn)
                    f.restype = restype
                    f.argtypes = argtypes
                _loaded = handle
                break
            else:
                raise OSError("libromsmith.so not found (set ROMSMITH_LIBRARY): " + "; ".join(errors))
        return _loaded
