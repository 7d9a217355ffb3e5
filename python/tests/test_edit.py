"""Edits through the module, saved and read back by unsquashfs; refusals as exceptions."""

from __future__ import annotations

import errno
import os
import stat
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import HERE, dump_root, need, run

import romsmith


def lln(root_out: Path) -> dict[str, tuple[str, str, str]]:
    """unsquashfs -lln: path -> (permissions, uid/gid, size or link)."""
    out = run([need("unsquashfs"), "-lln", "-d", "", str(root_out)], root_out.parent).stdout
    entries = {}
    for line in out.splitlines():
        fields = line.split(None, 5)
        if len(fields) < 6 or fields[0][0] not in "-dlcbps":
            continue
        # Device lines carry "major, minor" in place of the size.
        name = line[line.index(" /") + 1 :] if " /" in line else fields[5]
        target = ""
        if " -> " in name:
            name, target = name.split(" -> ", 1)
        entries[name or "/"] = (fields[0], fields[1], target or fields[2])
    return entries


def test_edits_saved_and_read_back_by_unsquashfs(squashfs_image):
    d = squashfs_image.parent
    with romsmith.open(squashfs_image) as img:
        root = img["ROOT"]
        root.mkdir("/opt", 0o750)
        root.write("/opt/start.sh", b"#!/bin/sh\n", mode=0o755, owner=(1000, 100))
        root.write("/etc/issue", b"replaced\n")  # keeps its own mode and owner
        root.chown("/etc/issue", 7, 8)
        root.chmod("/bin/sh", 0o700)
        root.symlink("/opt/start.sh", "/bin/start")
        root.remove("/data")
        root.rename("/etc/motd", "/opt/motd")
        root.set_mtime("/opt/start.sh", 1_000_000_000)
        root.mknod("/opt/fifo", stat.S_IFIFO | 0o640)
        root.mknod("/opt/null", stat.S_IFCHR | 0o600, os.makedev(1, 3))
        root.link("/opt/start.sh", "/bin/start-hard")
        img.save(d / "out.bin")
    got = lln(dump_root(d / "out.bin"))
    assert got["/opt"][:2] == ("drwxr-x---", "0/0")
    assert got["/opt/start.sh"] == ("-rwxr-xr-x", "1000/100", "10")
    assert got["/etc/issue"] == ("-rw-r--r--", "7/8", "9")
    assert got["/bin/sh"][0] == "-rwx------"
    assert got["/bin/start"] == ("lrwxrwxrwx", "0/0", "/opt/start.sh")
    assert got["/opt/motd"][0] == "-rw-r--r--"
    assert not any(p.startswith(("/data", "/etc/motd")) for p in got)
    assert got["/opt/fifo"][0] == "prw-r-----"
    assert got["/opt/null"][0] == "crw-------"
    assert got["/bin/start-hard"] == got["/opt/start.sh"]
    with romsmith.open(d / "out.bin") as img:
        root = img["ROOT"]
        assert root.read("/opt/start.sh") == b"#!/bin/sh\n"
        assert root.stat("/opt/start.sh").mtime == 1_000_000_000
        assert root.read("/opt/motd") == b"motd\n"


@pytest.mark.parametrize(
    "call, code, words",
    [
        (lambda img: img["ROOT"].stat("/etc/nothing"), errno.ENOENT, "stat ROOT/etc/nothing"),
        (lambda img: img["ROOT"].read("/no/such"), errno.ENOENT, "read ROOT/no/such"),
        (lambda img: img["ROOT"].mkdir("/etc"), errno.EEXIST, "mkdir ROOT/etc"),
        (lambda img: img["ROOT"].read("/etc"), errno.EISDIR, "read ROOT/etc"),
        (lambda img: img["ROOT"].listdir("/etc/issue"), errno.ENOTDIR, "ROOT/etc/issue"),
        (lambda img: img["ROOT"].remove("/etc/nothing"), errno.ENOENT, "remove ROOT/etc/nothing"),
        (lambda img: img["ROOT"].write("/../x", b""), errno.EINVAL, "not a path"),
        (lambda img: img["NOPE"], errno.ENOENT, "no such partition"),
        (lambda img: img["BOOT"], errno.ENODEV, "holds no"),
        (lambda img: img.save(img.path + ".missing/out.bin"), errno.ENOENT, "No such file"),
    ],
    ids=["stat", "read", "mkdir-existing", "read-dir", "listdir-file", "remove", "dotdot", "unknown-partition",
         "raw-partition", "save-to-missing-dir"],
)
def test_refusals_raise_with_errno_and_message(squashfs_image, call, code, words):
    with romsmith.open(squashfs_image) as img:
        with pytest.raises(romsmith.Error) as e:
            call(img)
        assert isinstance(e.value, OSError)
        assert e.value.errno == code, e.value
        assert words in e.value.strerror
        # A refusal changes nothing: the image still reads as before.
        assert img["ROOT"].read("/etc/issue") == b"Welcome\n"


def test_failed_open_and_closed_image(tmp_path, squashfs_image):
    with pytest.raises(romsmith.Error) as e:
        romsmith.open(tmp_path / "absent.bin")
    assert e.value.errno == errno.ENOENT and "absent.bin" in e.value.strerror
    (tmp_path / "junk.bin").write_bytes(b"\0" * 4096)
    with pytest.raises(romsmith.Error) as e:
        romsmith.open(tmp_path / "junk.bin")
    assert "no partition table" in e.value.strerror
    img = romsmith.open(squashfs_image)
    root = img["ROOT"]
    img.close()
    img.close()
    with pytest.raises(ValueError):
        root.stat("/")


def test_offline_install_gives_a_working_package(tmp_path, squashfs_image):
    """pip install of the package folder, with no index, into a target folder."""
    pip = subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True)
    if pip.returncode != 0:
        need("pip (python3 -m pip)")
    target = tmp_path / "site"
    run([sys.executable, "-m", "pip", "install", "--no-index", "--no-deps", "--target", str(target),
         str(HERE.parent)], tmp_path)
    env = dict(os.environ, PYTHONPATH=str(target))
    env.setdefault("ROMSMITH_LIBRARY", str(HERE.parent.parent / "build" / "libromsmith.so"))
    code = "import romsmith,sys; print(romsmith.__file__); print(romsmith.open(sys.argv[1])['ROOT'].read('/etc/issue'))"
    out = subprocess.run([sys.executable, "-c", code, str(squashfs_image)], capture_output=True, text=True,
                         env=env, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()  # the library's load notes may come between
    assert (lines[0], lines[-1]) == (str(target / "romsmith" / "__init__.py"), "b'Welcome\\n'")
    wheel_files = {p.relative_to(target).as_posix() for p in target.rglob("*") if "__pycache__" not in p.parts}
    assert {"romsmith/_lib.py", "romsmith/py.typed"} <= wheel_files
