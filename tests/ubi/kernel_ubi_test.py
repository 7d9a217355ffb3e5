"""The kernel attaches and mounts UBI images our writer made.

    kernel_ubi_test.py            (exit 0 passed, 1 failed, 77 skipped)

A ubinize image (a static raw volume, a dynamic UBIFS volume, erased PEBs
after them) gets both volumes replaced by ubi_tool: the static one with data
one LEB longer than its reserve (the table grows), the UBIFS one with another
file system from mkfs.ubifs (LEBs change, the tail is unmapped). A second
image is built by ubi_tool from the same new volumes. The kernel (kernel_ubi)
must see the volumes as written, read the static data exactly, mount the
UBIFS read-write with the new tree, and log no UBI error.

Environment: ROMSMITH_UBI_TOOL (tests/ubi/ubi_tool), and what tests/kernel/kmount.py takes.
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kernel_ubi  # noqa: E402
import kmount  # noqa: E402

LEB = 126976


def sh(cmd):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode:
        raise RuntimeError("%s failed: %s" % (" ".join(cmd), r.stdout.decode(errors="replace")))


def tree(root, files):
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def main():
    tool = os.environ.get("ROMSMITH_UBI_TOOL", "ubi_tool")
    for t in ("mkfs.ubifs", "ubinize"):
        if not shutil.which(t):
            print("skip: %s is not installed (mtd-utils)" % t)
            return 77
    with tempfile.TemporaryDirectory(prefix="kubitest") as work:
        p = lambda n: os.path.join(work, n)  # noqa: E731
        blob = bytes((i * 7919) % 251 for i in range(300000))
        tree(p("a"), {"etc/issue": b"hello box\n", "etc/old": b"gone after the replacement\n", "big": blob})
        tree(p("b"), {"etc/issue": b"replaced\n", "usr/lib/deep/file": b"new\n" * 999, "big": blob[::-1],
                      "more": os.urandom(200000)})
        os.symlink("etc/issue", p("b/link"))
        for t in ("a", "b"):
            sh(["mkfs.ubifs", "-q", "-m", "2048", "-e", str(LEB), "-c", "120", "-x", "lzo", "-r", p(t),
                "-o", p(t + ".ubifs")])
        raw_old, raw_new = os.urandom(2 * LEB + 5), os.urandom(3 * LEB + 100)
        for name, data in (("old.raw", raw_old), ("new.raw", raw_new)):
            with open(p(name), "wb") as f:
                f.write(data)
        with open(p("ubi.ini"), "w") as f:
            f.write("[kernel]\nmode=ubi\nimage=%s\nvol_id=0\nvol_type=static\nvol_name=kernel\n"
                    "[rootfs]\nmode=ubi\nimage=%s\nvol_id=1\nvol_type=dynamic\nvol_size=8MiB\nvol_name=rootfs\n"
                    % (p("old.raw"), p("a.ubifs")))
        sh(["ubinize", "-o", p("base.img"), "-p", "128KiB", "-m", "2048", "-e", "4", "-Q", "4242", p("ubi.ini")])
        with open(p("base.img"), "ab") as f:
            f.write(b"\xff" * (96 * 131072 - os.path.getsize(p("base.img"))))
        sh([tool, "replace", p("base.img"), "kernel", p("new.raw"), p("step.img")])
        sh([tool, "replace", p("step.img"), "rootfs", p("b.ubifs"), p("replaced.img")])
        sh([tool, "build", p("built.img"), "131072", "2048", "0", "0", "4243",
            "0:kernel:static:0:0:" + p("new.raw"), "1:rootfs:dynamic:1:8388608:" + p("b.ubifs")])
        images = [p("replaced.img"), p("built.img")]
        try:
            results = kernel_ubi.run(images, kernel_ubi.LARGE)
        except kmount.MissingTool as e:
            print("skip:", e)
            return 77
        bad = []
        for path, res in zip(images, results):
            wrong = kernel_ubi.failures(res, static={"kernel": raw_new}, trees={"rootfs": p("b")},
                                        volumes={"kernel": ("static", 0), "rootfs": ("dynamic", 1)})
            k = res.volumes.get("kernel", {}).get("reserved_ebs")
            if k != 4:
                wrong.append("kernel: %s reserved LEBs, expected 4 (grown from 3)" % k)
            r = res.volumes.get("rootfs", {}).get("reserved_ebs", 0)
            if path.endswith("built.img") and r <= 67:
                wrong.append("rootfs: %d reserved LEBs: autoresize did not act" % r)
            if path.endswith("replaced.img") and r != 67:
                wrong.append("rootfs: %d reserved LEBs, expected 67" % r)
            bad += ["%s: %s" % (os.path.basename(path), w) for w in wrong]
            print("%s: %s; kernel warnings: %s" % (os.path.basename(path), sorted(res.volumes), res.warnings))
        if bad:
            print("\n".join(bad))
            return 1
        print("the kernel attached %d written images and mounted their UBIFS" % len(images))
        return 0


if __name__ == "__main__":
    sys.exit(main())
