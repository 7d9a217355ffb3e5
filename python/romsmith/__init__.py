"""Read and edit set-top-box flash images through libromsmith.

    import romsmith

    with romsmith.open("flash.bin") as img:
        root = img["ROOT"]
        root.write("/etc/issue", b"hello\\n")
        img.save("flash-new.bin")

Every failure of the library raises :class:`Error`, an :class:`OSError` whose
``errno`` is the library's errno and whose ``strerror`` is the library's own
message (what the shell would print).
"""

from __future__ import annotations

import ctypes
import enum
import errno as _errno
import os
import stat as _stat
from dataclasses import dataclass
from typing import Iterator, Optional, Tuple, Union

from . import _lib

__all__ = ["Error", "ENOPART", "ENOFS", "EUNLOADED", "EBADPATH", "FsType", "Partition", "Stat", "Image", "FileSystem", "open"]
__version__ = "2.7.1"

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

# Reads go through the library in pieces of this size: large files never need
# one buffer of their whole size on the C side.
_READ_PIECE = 1 << 20


class Error(OSError):
    """A failed call into libromsmith.

    ``strerror`` is the library's message. ``errno`` is a standard errno value;
    ``code`` is what the library returned (negated), which for the library's
    own reasons (see ENOPART and the rest) is beyond the errno range.
    """

    code: Optional[int] = None


# The library's own failure codes beside errno, and the errno they are raised as,
# so that callers can test e.errno == errno.ENOENT as for any file call.
ENOPART = 4001  # no partition of that name
ENOFS = 4002  # the partition holds no file system of a known type
EUNLOADED = 4003  # the partition's file system could not be read at open
EBADPATH = 4004  # a path with "..", or not of the form PART/path
_AS_ERRNO = {ENOPART: _errno.ENOENT, ENOFS: _errno.ENODEV, EUNLOADED: _errno.EIO, EBADPATH: _errno.EINVAL}


class FsType(enum.IntEnum):
    """File-system type codes of a partition (``file_system_type``)."""

    RAW = 0
    ROMFS = 1
    CRAMFS = 2
    JFFS2 = 3
    YAFFS2 = 4
    RAMFS = 5
    SQUASHFS = 6
    UBIFS = 7
    HIDE = 126
    MINIFS = 127


@dataclass(frozen=True)
class Partition:
    """One partition of the table, as loaded."""

    name: str
    type: int  # an FsType member where the code is known
    start: int
    total_size: int
    used_size: int
    crc32: int
    crc_ok: bool  # the loaded bytes match crc32 (also judged where the table asks no check)
    crc_enabled: bool = False  # the table asks for the check (crc32_enable)


@dataclass(frozen=True)
class Stat:
    """An entry's attributes (``flash_stat_s``)."""

    mode: int
    uid: int
    gid: int
    nlink: int
    rdev: int
    size: int
    mtime: int
    ino: int
    target: str  # link target, "" for anything else

    @property
    def is_dir(self) -> bool:
        return _stat.S_ISDIR(self.mode)

    @property
    def is_file(self) -> bool:
        return _stat.S_ISREG(self.mode)

    @property
    def is_symlink(self) -> bool:
        return _stat.S_ISLNK(self.mode)


def _decode(raw: bytes) -> str:
    # Names in an image are bytes; surrogateescape lets any of them come back
    # unchanged when the str is handed to another call.
    return os.fsdecode(raw)


def _stat_of(st: _lib.flash_stat_s) -> Stat:
    return Stat(st.mode, st.uid, st.gid, st.nlink, st.rdev, st.size, st.mtime, st.ino, _decode(st.target))


def _error(code: int, handle) -> Error:
    msg = _lib.lib().flash_last_error(handle)
    text = msg.decode("utf-8", "replace") if msg else ""
    as_errno = _AS_ERRNO.get(code, code)
    err = Error(as_errno, text or os.strerror(as_errno))
    err.code = code
    return err


class Image:
    """A loaded flash image. Use as a context manager, or call :meth:`close`."""

    def __init__(self, handle, path: str):
        self._handle = handle
        self.path = path

    # -- life cycle --------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        """Frees the image; unsaved edits are lost. Safe to call twice."""
        handle, self._handle = self._handle, None
        if handle is not None:
            _lib.lib().flash_free(handle)

    def __enter__(self) -> "Image":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        return f"<romsmith.Image {self.path!r}{' closed' if self.closed else ''}>"

    def _live(self):
        if self._handle is None:
            raise ValueError("I/O operation on a closed image")
        return self._handle

    def save(self, path: PathArg) -> None:
        """Writes the image to `path`; edited file systems are rebuilt, the rest copied as loaded."""
        handle = self._live()
        ctypes.set_errno(0)
        if _lib.lib().flash_save(handle, os.fsencode(path), 0) != 0:
            raise _error(ctypes.get_errno() or _errno.EIO, handle)

    # -- partitions --------------------------------------------------------

    @property
    def partitions(self) -> list[Partition]:
        """The partitions in table order."""
        f = self._live().contents
        out = []
        for i in range(min(f.count, _lib.PARTITION_MAX)):
            p = f.list[i]
            if not p.info:
                continue
            info = p.info.contents
            code = info.file_system_type & 0xFF
            try:
                kind: int = FsType(code)
            except ValueError:
                kind = code
            out.append(
                Partition(
                    name=_decode(info.name),
                    type=kind,
                    start=info.start_addr,
                    total_size=info.total_size,
                    used_size=info.used_size,
                    crc32=info.crc32,
                    crc_ok=bool(p.crc32_passed),
                    crc_enabled=bool(info.crc32_enable),
                )
            )
        return out

    def __getitem__(self, name: str) -> "FileSystem":
        """The file system of partition `name` (any case); raises Error when there is none."""
        handle = self._live()
        if not isinstance(name, str) or not name or "/" in name:
            raise Error(_errno.EINVAL, f"{name!r}: not a partition name")
        canonical = next((p.name for p in self.partitions if p.name.lower() == name.lower()), name)
        fs = FileSystem(self, canonical)
        st = _lib.flash_stat_s()
        rc = _lib.lib().flash_stat(handle, fs._full("/"), ctypes.byref(st))
        if rc < 0:
            raise _error(-rc, handle)
        return fs


class FileSystem:
    """The entries of one partition's file system; paths are inside the partition ("/etc/issue")."""

    def __init__(self, image: Image, name: str):
        self.image = image
        self.name = name
        self._prefix = os.fsencode(name)

    def __repr__(self) -> str:
        return f"<romsmith.FileSystem {self.name} of {self.image.path!r}>"

    def _full(self, path: PathArg) -> bytes:
        rel = os.fsencode(path).lstrip(b"/")
        return self._prefix + b"/" + rel if rel else self._prefix

    def _call(self, fn: str, *args) -> int:
        handle = self.image._live()
        rc = getattr(_lib.lib(), fn)(handle, *args)
        if rc < 0:
            raise _error(-rc, handle)
        return rc

    def stat(self, path: PathArg) -> Stat:
        """Attributes of `path` (a link itself, not what it points to)."""
        st = _lib.flash_stat_s()
        self._call("flash_stat", self._full(path), ctypes.byref(st))
        return _stat_of(st)

    def exists(self, path: PathArg) -> bool:
        try:
            self.stat(path)
        except Error as e:
            if e.errno in (_errno.ENOENT, _errno.ENOTDIR):
                return False
            raise
        return True

    def read(self, path: PathArg, offset: int = 0, size: Optional[int] = None) -> bytes:
        """Content of a file: all of it, or up to `size` bytes from `offset`."""
        if offset < 0 or (size is not None and size < 0):
            raise ValueError("negative offset or size")
        full = self._full(path)
        piece = ctypes.create_string_buffer(_READ_PIECE)
        out = bytearray()
        while size is None or len(out) < size:
            want = _READ_PIECE if size is None else min(_READ_PIECE, size - len(out))
            got = self._call("flash_pread", full, piece, want, offset + len(out))
            if got == 0:
                break
            out += piece.raw[:got]
        return bytes(out)

    def write(
        self,
        path: PathArg,
        data: Union[bytes, bytearray, memoryview],
        mode: Optional[int] = None,
        owner: Optional[Tuple[int, int]] = None,
    ) -> None:
        """Creates or replaces a file. A replaced file keeps its mode and owner unless given;
        a new one takes the file system's defaults."""
        if isinstance(data, str):
            raise TypeError("data must be bytes, not str")
        buf = bytes(data)
        uid, gid = (-1, -1) if owner is None else owner
        if owner is not None and (uid < 0 or gid < 0):
            raise ValueError("owner must be a (uid, gid) tuple of non-negative numbers")
        self._call("flash_put", self._full(path), buf, len(buf), -1 if mode is None else mode, uid, gid)

    def walk(self, path: PathArg = "/", depth: int = -1) -> Iterator[Tuple[str, Stat]]:
        """`path` itself, then what is below it, depth first, children by name.
        `depth` 1 lists one level, -1 everything. Yields (path inside the partition, Stat)."""
        full = self._full(path)
        entries: list[Tuple[str, Stat]] = []
        prefix_len = len(full.split(b"/", 1)[0])

        def each(p: bytes, st, _user) -> int:
            # An exception must not unwind through C: keep it and stop the walk.
            try:
                inside = p[prefix_len:] or b"/"
                entries.append((_decode(inside), _stat_of(st.contents)))
                return 0
            except BaseException as e:  # noqa: BLE001 - re-raised below
                failures.append(e)
                return 1

        failures: list[BaseException] = []
        callback = _lib.WALK_CB(each)
        self._call("flash_walk", full, depth, callback, None)
        if failures:
            raise failures[0]
        return iter(entries)

    def listdir(self, path: PathArg = "/") -> list[str]:
        """Names of the entries of directory `path`, by name."""
        entries = iter(self.walk(path, 1))
        top = next(entries, None)
        if top is not None and not top[1].is_dir:
            raise Error(_errno.ENOTDIR, f"{self.name}{top[0]}: {os.strerror(_errno.ENOTDIR)}")
        return [p.rsplit("/", 1)[-1] for p, _ in entries]

    def mkdir(self, path: PathArg, mode: int = 0o755) -> None:
        self._call("flash_mkdir", self._full(path), mode)

    def remove(self, path: PathArg) -> None:
        """Removes a file, link, node, or a directory with everything below it."""
        self._call("flash_remove", self._full(path))

    def rename(self, src: PathArg, dst: PathArg) -> None:
        """Moves an entry inside this partition, replacing an existing file as rename(2)."""
        self._call("flash_rename", self._full(src), self._full(dst))

    def symlink(self, target: PathArg, path: PathArg) -> None:
        """Creates link `path` pointing at `target` (stored as given)."""
        self._call("flash_symlink", os.fsencode(target), self._full(path))

    def mknod(self, path: PathArg, mode: int, device: int = 0) -> None:
        """Creates a fifo, socket or device node; `mode` carries the type bits
        (stat.S_IFIFO | 0o644), `device` is os.makedev(major, minor)."""
        self._call("flash_mknod", self._full(path), mode, device)

    def link(self, src: PathArg, dst: PathArg) -> None:
        """Makes `dst` another name of `src` (a hard link inside this partition)."""
        self._call("flash_link", self._full(src), self._full(dst))

    def chmod(self, path: PathArg, mode: int) -> None:
        self._call("flash_chmod", self._full(path), mode)

    def chown(self, path: PathArg, uid: int, gid: int) -> None:
        self._call("flash_chown", self._full(path), uid, gid)

    def set_mtime(self, path: PathArg, mtime: Union[int, float]) -> None:
        """Sets the modification time (seconds); EOPNOTSUPP where the file system stores none."""
        self._call("flash_set_mtime", self._full(path), int(mtime))


def open(path: PathArg) -> Image:  # noqa: A001 - the module's entry point, as io.open
    """Loads a flash image; raises Error with the library's reason when it cannot."""
    ctypes.set_errno(0)
    encoded = os.fsencode(path)
    handle = _lib.lib().flash_load_bin(encoded)
    if not handle:
        # Errno 0 means the file was read but held no image.
        raise _error(ctypes.get_errno() or _errno.EINVAL, None)
    return Image(handle, os.fsdecode(encoded))
