"""Images for the module's tests, made by outside tools and by the romsmith program."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent
sys.path.insert(0, str(HERE.parent))  # the package of this tree, not an installed copy

ROMSMITH_BIN = os.environ.get("ROMSMITH_BIN") or str(SOURCE / "build" / "romsmith")

# Content larger than one read piece of the module (1 MiB), compressible so
# that it fits the 4 MiB partitions.
BIG = bytes((i * 7 + (i >> 12)) & 0xFF for i in range(2_500_000))


def need(tool: str) -> str:
    """Path of an outside tool; a skip without it, a failure when CI requires the tools."""
    path = shutil.which(tool) or (tool if os.path.isabs(tool) and os.access(tool, os.X_OK) else None)
    if path:
        return path
    if os.environ.get("ROMSMITH_REQUIRE_TOOLS") == "1":
        pytest.fail(f"{tool} is required (ROMSMITH_REQUIRE_TOOLS=1) but missing")
    pytest.skip(f"{tool} not installed")


def run(args, cwd: Path, check: bool = True) -> subprocess.CompletedProcess:
    r = subprocess.run(args, cwd=cwd, capture_output=True, text=True)
    if check and r.returncode != 0:
        raise AssertionError(f"{args} failed ({r.returncode}):\n{r.stdout}\n{r.stderr}")
    return r


def rs(script: str, cwd: Path) -> str:
    """Standard output of `romsmith -c script`."""
    return run([need(ROMSMITH_BIN), "-c", script], cwd).stdout


def ls_json(image: Path, part_path: str = "ROOT") -> list[dict]:
    out = rs(f"open {image.name}; ls --json {part_path}", image.parent)
    # The squashfs reader still prints its "has other type" notes for device
    # nodes and fifos on standard output at open; the document is the line after.
    doc = next(line for line in out.splitlines() if line.startswith("{"))
    return json.loads(doc)["entries"]


def make_tree(root: Path) -> None:
    """A small tree with each kind of entry every file system here stores."""
    (root / "etc").mkdir(parents=True)
    (root / "etc" / "issue").write_text("Welcome\n")
    (root / "etc" / "motd").write_text("motd\n")
    (root / "bin").mkdir()
    (root / "bin" / "sh").write_bytes(b"\x7fELF shell")
    (root / "bin" / "sh").chmod(0o755)
    os.symlink("sh", root / "bin" / "ash")
    os.link(root / "bin" / "sh", root / "bin" / "sh.hard")
    (root / "data").mkdir()
    (root / "data" / "big").write_bytes(BIG)
    (root / "data" / "empty").write_bytes(b"")


def flash_with(d: Path, fs_image: str, kind: str, boot: str = "NULL") -> Path:
    """flash.bin with BOOT, ROOT = `fs_image` of type `kind`, and the table, as `romsmith mkflash` builds it."""
    (d / "flash.conf").write_text(
        "table_version 4\ncrc32 true\n"
        f"BOOT {boot} true RAW ro 0 0 0 0x10000\n"
        f"ROOT {fs_image} true {kind} rw 0 0 0x10000 0x400000\n"
        "TABLE NULL false RAW ro 0 0 0x410000 0x10000\n"
    )
    run([need(ROMSMITH_BIN), "mkflash", "flash.conf", "flash.bin"], d)
    return d / "flash.bin"


def build_image(kind: str, d: Path, tree: Path, boot: str = "NULL") -> Path:
    """A flash image whose ROOT holds `tree` as `kind` (squashfs, cramfs, jffs2, romfs or minifs)."""
    if kind == "squashfs":
        # A device node only root could make on the host comes from a pseudo definition.
        run([need("mksquashfs"), str(tree), "root.img", "-noappend", "-quiet", "-comp", "gzip",
             "-p", "dev d 755 0 0", "-p", "dev/console c 600 0 5 5 1"], d)
    elif kind == "cramfs":
        run([need("mkfs.cramfs"), str(tree), "root.img"], d)
    elif kind == "jffs2":
        run([need("mkfs.jffs2"), "-l", "-e", "64KiB", "-r", str(tree), "-o", "root.img"], d)
    elif kind == "romfs":
        run([need("genromfs"), "-d", str(tree), "-f", "root.img"], d)
    else:
        run([need(ROMSMITH_BIN), "mkminifs", str(tree), "root.img"], d)
    return flash_with(d, "root.img", kind.upper(), boot)


@pytest.fixture
def squashfs_image(tmp_path: Path) -> Path:
    make_tree(tmp_path / "tree")
    return build_image("squashfs", tmp_path, tmp_path / "tree")


def dump_root(image: Path, out: str = "root.out") -> Path:
    """The ROOT partition's bytes of `image`, written by the program."""
    rs(f"open {image.name}; dumppar ROOT {out}", image.parent)
    return image.parent / out


@pytest.fixture(autouse=True)
def _in_tmp(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    # A save also writes table.bin into the working directory.
    monkeypatch.chdir(tmp_path)
