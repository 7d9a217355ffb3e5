#!/usr/bin/env python3
"""Runs every example of the README that is marked `<!-- example -->` on the line
before its code fence, each in a fresh directory holding a small box image
(flash.bin: BOOT, a squashfs ROOT with /etc/issue, /etc/motd and /bin/init, TABLE)
and the files the examples name. sh blocks run with the built program first on
PATH, c blocks are compiled against the public header and the built library,
python blocks import the module from the source tree. Exit 0 when every example
exits 0 and leaves what it promises; 77 when a tool one needs is missing."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

SRC = Path(__file__).resolve().parents[2]
PROG = Path(os.environ["ROMSMITH_BIN"])
LIB = Path(os.environ["ROMSMITH_LIB"])
REQUIRE = os.environ.get("ROMSMITH_REQUIRE_TOOLS") == "1"


def examples(text):
    """(line, language, code) of each marked block."""
    out = []
    lines = text.splitlines()
    for i, line in enumerate(lines):
        if line.strip() != "<!-- example -->":
            continue
        m = re.match(r"```(\w+)$", lines[i + 1])
        if not m:
            raise SystemExit(f"README.md:{i + 1}: an example marker must precede a code fence")
        end = lines.index("```", i + 2)
        out.append((i + 2, m.group(1), "\n".join(lines[i + 2 : end]) + "\n"))
    return out


def run(cmd, cwd, env=None, check=True):
    r = subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if check and r.returncode:
        raise SystemExit(f"{' '.join(map(str, cmd))} exited {r.returncode}\n{r.stdout}{r.stderr}")
    return r


def fixture(d):
    tree = d / "tree"
    for sub in ("etc", "bin"):
        (tree / sub).mkdir(parents=True)
    (tree / "etc/issue").write_text("Welcome to the box\n")
    (tree / "etc/motd").write_text("motd\n")
    (tree / "bin/init").write_text("#!/bin/sh\n")
    run(["mksquashfs", "tree", "root.sqfs", "-noappend", "-quiet", "-comp", "xz"], d)
    (d / "flash.conf").write_text(
        "table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
        "ROOT root.sqfs true SQUASHFS rw 0 0 0x10000 0x400000\nTABLE NULL false RAW ro 0 0 0x410000 0x10000\n")
    run([PROG, "mkflash", "flash.conf", "flash.bin"], d)
    (d / "start.sh").write_text("#!/bin/sh\necho start\n")
    (d / "box name.txt").write_text("box\n")
    (d / "overlay/etc").mkdir(parents=True)
    (d / "overlay/etc/added").write_text("added\n")
    shutil.copytree(tree, d / "rootfs")


def missing(names):
    gone = [n for n in names if not shutil.which(n)]
    if "fusermount3" in names and not os.access("/dev/fuse", os.R_OK | os.W_OK):
        gone.append("/dev/fuse")
    return gone


def main():
    text = (SRC / "README.md").read_text()
    found = examples(text)
    if len(found) < 5:
        raise SystemExit(f"only {len(found)} marked examples in README.md")
    bindir = Path(tempfile.mkdtemp(prefix="rs-readme-bin."))
    (bindir / "romsmith").symlink_to(PROG)
    env = dict(os.environ, PATH=f"{bindir}:{os.environ['PATH']}", PYTHONPATH=str(SRC / "python"),
               ROMSMITH_LIBRARY=str(LIB))
    skipped = []
    for line, lang, code in found:
        needs = ["mksquashfs"] + (["cc"] if lang == "c" else []) + (["fusermount3"] if "mount" in code else [])
        if missing(needs):
            skipped.append(f"README.md:{line}: needs {', '.join(missing(needs))}")
            continue
        if lang == "python" and os.environ.get("ROMSMITH_SANITIZED") == "1":
            # The interpreter cannot load a library built with the sanitizers; the
            # normal build runs this example.
            print(f"README.md:{line}: python example left to the normal build")
            continue
        with tempfile.TemporaryDirectory(prefix="rs-readme.") as tmp:
            d = Path(tmp)
            fixture(d)
            if lang == "sh":
                (d / "mnt").mkdir()
                script = code.replace("/mnt/box", str(d / "mnt"))
                r = run(["sh", "-e", "-c", script], d, env, check=False)
            elif lang == "c":
                (d / "example.c").write_text(code)
                # A library built with the sanitizers needs their runtime in the program too.
                sanitize = ["-fsanitize=address,undefined"] if os.environ.get("ROMSMITH_SANITIZED") == "1" else []
                run(["cc", "-Wall", "-Werror", *sanitize, "-I", SRC / "include", "example.c", "-o", "example", "-L",
                     LIB.parent, "-l:" + LIB.name, "-Wl,-rpath," + str(LIB.parent)], d)
                r = run(["./example"], d, env, check=False)
            elif lang == "python":
                r = run([sys.executable, "-c", code], d, env, check=False)
            else:
                raise SystemExit(f"README.md:{line}: no way to run a {lang} example")
            if r.returncode:
                raise SystemExit(f"README.md:{line}: the {lang} example exited {r.returncode}\n{r.stdout}{r.stderr}")
            if "flash.bin" in code or "flash-new.bin" in code:
                # What the example saved opens again, with the edits it made.
                target = d / ("flash-new.bin" if (d / "flash-new.bin").exists() else "flash.bin")
                r = run([PROG, "-c", f"open {target}; ls ROOT"], d, check=False)
                if r.returncode:
                    raise SystemExit(f"README.md:{line}: the image the example saved does not open\n{r.stdout}{r.stderr}")
            print(f"README.md:{line}: {lang} example ran")
    for s in skipped:
        print(s)
    if skipped:
        sys.exit(1 if REQUIRE else 77)


if __name__ == "__main__":
    main()
