"""The kernel mounts UBI images that romsmith itself edited and saved, and
images its mkubi built: the UBIFS writer and the UBI writer together.

    kernel_saved_test.py          (exit 0 passed, 1 failed, 77 skipped)

A ubinize image (a static "kernel" volume, a dynamic UBIFS "rootfs" from
mkfs.ubifs, erased PEBs after them) is opened by romsmith, one file replaced,
one added, one removed and a directory made inside rootfs, and saved; a second
image is made by `romsmith mkubi` from a host tree. On the 2 KiB-page chip
the kernel must attach both, see the static data unchanged, mount each UBIFS
read-write with exactly the expected tree, write a file and unmount cleanly.
The saved image is then read back by romsmith: the kernel's write is there.

Environment: ROMSMITH_BIN (the romsmith program), and what tests/kernel/kmount.py takes.
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kernel_ubi  # noqa: E402
import kmount  # noqa: E402


def sh(cmd, cwd=None):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, cwd=cwd)
    if r.returncode:
        raise RuntimeError("%s failed: %s" % (" ".join(cmd), r.stdout.decode(errors="replace")))
    return r.stdout


def write(root, files):
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def main():
    rs = os.environ.get("ROMSMITH_BIN", "romsmith")
    for t in ("mkfs.ubifs", "ubinize"):
        if not shutil.which(t):
            print("skip: %s is not installed (mtd-utils)" % t)
            return 77
    with tempfile.TemporaryDirectory(prefix="ksaved") as work:
        p = lambda n: os.path.join(work, n)  # noqa: E731
        blob = bytes((i * 7919) % 251 for i in range(400000))
        write(p("a"), {"etc/issue": b"hello box\n", "etc/old": b"removed by the edit\n", "bin/tool": blob,
                       "var/log/keep": b"kept as stored\n" * 300})
        os.symlink("tool", p("a/bin/sh"))
        kernel = os.urandom(300000)
        with open(p("kernel.raw"), "wb") as f:
            f.write(kernel)
        sh(["mkfs.ubifs", "-q", "-m", "2048", "-e", "126976", "-c", "200", "-x", "lzo", "-r", p("a"),
            "-o", p("a.ubifs")])
        with open(p("ubi.ini"), "w") as f:
            f.write("[kernel]\nmode=ubi\nimage=%s\nvol_id=0\nvol_type=static\nvol_name=kernel\n"
                    "[rootfs]\nmode=ubi\nimage=%s\nvol_id=1\nvol_type=dynamic\nvol_size=16MiB\nvol_name=rootfs\n"
                    % (p("kernel.raw"), p("a.ubifs")))
        sh(["ubinize", "-o", p("base.ubi"), "-p", "128KiB", "-m", "2048", "-Q", "777", p("ubi.ini")])
        with open(p("base.ubi"), "ab") as f:
            f.write(b"\xff" * (200 * 131072 - os.path.getsize(p("base.ubi"))))
        with open(p("new.txt"), "wb") as f:
            f.write(b"replaced by romsmith\n")
        sh([rs, "-c", "open base.ubi; put UBIFS/rootfs/etc/issue new.txt; mkdir -p UBIFS/rootfs/usr/share; put UBIFS/rootfs/usr/share/added new.txt; "
            "rm UBIFS/rootfs/etc/old; mkdir UBIFS/rootfs/mnt; save saved.ubi"], cwd=work)
        # The tree the kernel must see in the saved volume.
        shutil.copytree(p("a"), p("want"), symlinks=True)
        os.remove(p("want/etc/old"))
        write(p("want"), {"etc/issue": b"replaced by romsmith\n", "usr/share/added": b"replaced by romsmith\n"})
        os.makedirs(p("want/mnt"))
        sh([rs, "mkubi", "-m", "2048", "-p", "128KiB", "-c", "200", "-x", "zlib", "-N", "rootfs", "want",
            "built.ubi"], cwd=work)
        images = [p("saved.ubi"), p("built.ubi")]
        try:
            results = kernel_ubi.run(images, kernel_ubi.LARGE)
        except kmount.MissingTool as e:
            print("skip:", e)
            return 77
        bad = []
        for path, res, static in zip(images, results, ({"kernel": kernel}, {})):
            wrong = kernel_ubi.failures(res, static=static, trees={"rootfs": p("want")})
            bad += ["%s: %s" % (os.path.basename(path), w) for w in wrong]
            print("%s: %s; UBI warnings: %s" % (os.path.basename(path), sorted(res.volumes), res.warnings))
        seq = sh([rs, "-o", "saved.ubi", "ls", "UBIFS"], cwd=work).decode()
        if "image sequence 777" not in seq:
            bad.append("saved.ubi: the image sequence number was not kept:\n" + seq)
    if bad:
        print("\n".join(bad))
        return 1
    print("the kernel mounted what romsmith saved and built")
    return 0


if __name__ == "__main__":
    sys.exit(main())
