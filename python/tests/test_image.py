"""Whole-image use of the module, checked against the program and the outside tools."""

from __future__ import annotations

import os
import stat
import zlib
from pathlib import Path

import pytest
from conftest import BIG, build_image, dump_root, ls_json, make_tree, need, run

import romsmith

KINDS = ["squashfs", "cramfs", "jffs2", "romfs", "minifs"]
TYPE_NAMES = {stat.S_IFDIR: "directory", stat.S_IFLNK: "symlink", stat.S_IFCHR: "chardev",
              stat.S_IFBLK: "blockdev", stat.S_IFIFO: "fifo", stat.S_IFSOCK: "socket", stat.S_IFREG: "file"}


def as_json(path: str, st: romsmith.Stat) -> dict:
    """A walk entry in the fields of `ls --json`."""
    e = {"path": path, "name": path.rsplit("/", 1)[-1], "type": TYPE_NAMES[stat.S_IFMT(st.mode)],
         "mode": f"{stat.S_IMODE(st.mode):04o}", "uid": st.uid, "gid": st.gid, "size": st.size,
         "mtime": st.mtime, "nlink": st.nlink}
    if st.is_symlink:
        e["target"] = st.target
    if stat.S_ISCHR(st.mode) or stat.S_ISBLK(st.mode):
        e["major"], e["minor"] = os.major(st.rdev), os.minor(st.rdev)
    return e


def test_readme_example(squashfs_image):
    d = squashfs_image.parent
    with romsmith.open(squashfs_image) as img:
        root = img["ROOT"]
        root.write("/etc/issue", b"hello from python\n")
        root.rename("/etc/motd", "/etc/motd.old")
        img.save(d / "out.bin")
    root_out = dump_root(d / "out.bin")
    unsquashfs = need("unsquashfs")
    assert run([unsquashfs, "-cat", str(root_out), "etc/issue"], d).stdout == "hello from python\n"
    assert run([unsquashfs, "-cat", str(root_out), "etc/motd.old"], d).stdout == "motd\n"
    # The source image is not touched by a save elsewhere.
    with romsmith.open(squashfs_image) as img:
        assert img["ROOT"].read("/etc/issue") == b"Welcome\n"


@pytest.mark.parametrize("kind", KINDS)
def test_walk_matches_the_program_listing(kind, tmp_path):
    make_tree(tmp_path / "tree")
    image = build_image(kind, tmp_path, tmp_path / "tree")
    listed = ls_json(image)
    with romsmith.open(image) as img:
        root = img["root"]  # any case, as the library
        walked = [as_json(p, st) for p, st in root.walk()]
        assert walked == listed
        # One level of a subdirectory: itself, then its children by name.
        assert [p for p, _ in root.walk("/bin", depth=1)] == ["/bin", "/bin/ash", "/bin/sh", "/bin/sh.hard"]
        assert root.listdir("/") == [e["name"] for e in listed if e["path"].count("/") == 1 and e["path"] != "/"]
        # Content across read pieces, whole and from an offset.
        assert root.read("/data/big") == BIG
        assert root.read("/data/big", offset=(1 << 20) - 3, size=10) == BIG[(1 << 20) - 3:(1 << 20) + 7]
        assert root.read("/data/empty") == b""
        assert root.read("/bin/sh") == b"\x7fELF shell"
        assert root.stat("/bin/ash").target == "sh"
        if kind == "squashfs":
            console = root.stat("/dev/console")
            assert stat.S_ISCHR(console.mode) and console.rdev == os.makedev(5, 1)


def test_partitions_from_the_table(tmp_path):
    make_tree(tmp_path / "tree")
    (tmp_path / "boot.bin").write_bytes(b"boot loader" * 100)
    image = build_image("cramfs", tmp_path, tmp_path / "tree", boot="boot.bin")
    with romsmith.open(image) as img:
        parts = img.partitions
    assert [(p.name, p.type, p.start, p.total_size) for p in parts] == [
        ("BOOT", romsmith.FsType.RAW, 0, 0x10000),
        ("ROOT", romsmith.FsType.CRAMFS, 0x10000, 0x400000),
        ("TABLE", romsmith.FsType.RAW, 0x410000, 0x10000),
    ]
    boot, root = parts[0], parts[1]
    assert boot.used_size == 1100 and root.used_size == os.path.getsize(tmp_path / "root.img")
    assert boot.crc32 == zlib.crc32(b"boot loader" * 100)
    assert boot.crc_ok and root.crc_ok
    assert [p.crc_enabled for p in parts] == [True, True, False]
    # A flipped byte in BOOT shows up as a failed check there only.
    raw = bytearray(image.read_bytes())
    raw[5] ^= 0xFF
    image.write_bytes(bytes(raw))
    with romsmith.open(image) as img:
        assert [p.crc_ok for p in img.partitions[:2]] == [False, True]


def test_the_readme_code_runs(squashfs_image, capsys):
    text = (Path(__file__).resolve().parent.parent / "README.md").read_text()
    code = text.split("```python\n", 1)[1].split("```", 1)[0]
    os.chdir(squashfs_image.parent)
    exec(compile(code, "README.md", "exec"), {})
    out = capsys.readouterr().out
    assert "ROOT SQUASHFS 0x10000" in out and "Welcome" in out
    with romsmith.open("flash-new.bin") as img:
        assert img["ROOT"].read("/etc/issue") == b"hello\n"
        assert img["ROOT"].exists("/etc/motd.old") and not img["ROOT"].exists("/etc/motd")
