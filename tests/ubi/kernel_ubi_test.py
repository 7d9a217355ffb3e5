"""The kernel attaches and mounts UBI images our writer made.

    kernel_ubi_test.py            (exit 0 passed, 1 failed, 77 skipped)

A ubinize image (a static raw volume, a dynamic UBIFS volume, erased PEBs
after them) gets both volumes replaced by ubi_tool: the static one with data
one LEB longer than its reserve (the table grows), the UBIFS one with another
file system from mkfs.ubifs (LEBs change, the tail is unmapped). A second
image is built by ubi_tool from the same new volumes. On both chips of
kernel_ubi (2 KiB pages with 128 KiB PEBs; 512-byte pages of two sub-pages
with 16 KiB PEBs) the kernel must see the volumes as written, read the static data exactly, mount the
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

# Per chip: mkfs.ubifs and ubinize options, LEB size, erased PEBs the base image is padded to.
CASES = [
    (kernel_ubi.LARGE, ["-m", "2048", "-e", "126976", "-c", "120"], ["-p", "128KiB", "-m", "2048"], 126976, 96),
    (kernel_ubi.SMALL, ["-m", "512", "-e", "15872", "-c", "700"], ["-p", "16KiB", "-m", "512", "-s", "256"], 15872,
     600),
]
VOL_SIZE = 8 << 20


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
    bad = []
    for geometry, mkfs, ubinize, leb, pad in CASES:
        with tempfile.TemporaryDirectory(prefix="kubitest") as work:
            try:
                bad += one_chip(tool, work, geometry, mkfs, ubinize, leb, pad)
            except kmount.MissingTool as e:
                print("skip:", e)
                return 77
    if bad:
        print("\n".join(bad))
        return 1
    print("the kernel attached every written image and mounted its UBIFS")
    return 0


def one_chip(tool, work, geometry, mkfs, ubinize, leb, pad):
    p = lambda n: os.path.join(work, n)  # noqa: E731
    blob = bytes((i * 7919) % 251 for i in range(300000))
    tree(p("a"), {"etc/issue": b"hello box\n", "etc/old": b"gone after the replacement\n", "big": blob})
    tree(p("b"), {"etc/issue": b"replaced\n", "usr/lib/deep/file": b"new\n" * 999, "big": blob[::-1],
                  "more": os.urandom(200000)})
    os.symlink("etc/issue", p("b/link"))
    for t in ("a", "b"):
        sh(["mkfs.ubifs", "-q"] + mkfs + ["-x", "lzo", "-r", p(t), "-o", p(t + ".ubifs")])
    raw_old, raw_new = os.urandom(2 * leb + 5), os.urandom(3 * leb + 100)
    for name, data in (("old.raw", raw_old), ("new.raw", raw_new)):
        with open(p(name), "wb") as f:
            f.write(data)
    with open(p("ubi.ini"), "w") as f:
        f.write("[kernel]\nmode=ubi\nimage=%s\nvol_id=0\nvol_type=static\nvol_name=kernel\n"
                "[rootfs]\nmode=ubi\nimage=%s\nvol_id=1\nvol_type=dynamic\nvol_size=%d\nvol_name=rootfs\n"
                % (p("old.raw"), p("a.ubifs"), VOL_SIZE))
    sh(["ubinize", "-o", p("base.img")] + ubinize + ["-e", "4", "-Q", "4242", p("ubi.ini")])
    with open(p("base.img"), "ab") as f:
        f.write(b"\xff" * (pad * geometry.peb - os.path.getsize(p("base.img"))))
    sh([tool, "replace", p("base.img"), "kernel", p("new.raw"), p("step.img")])
    sh([tool, "replace", p("step.img"), "rootfs", p("b.ubifs"), p("replaced.img")])
    sub = ubinize[ubinize.index("-s") + 1] if "-s" in ubinize else "0"
    sh([tool, "build", p("built.img"), str(geometry.peb), ubinize[3], sub, "0", "4243",
        "0:kernel:static:0:0:" + p("new.raw"), "1:rootfs:dynamic:1:%d:%s" % (VOL_SIZE, p("b.ubifs"))])
    images = [p("replaced.img"), p("built.img")]
    results = kernel_ubi.run(images)  # the chip from the PEB size
    bad = []
    reserve = -(-VOL_SIZE // leb)
    for path, res in zip(images, results):
        wrong = kernel_ubi.failures(res, static={"kernel": raw_new}, trees={"rootfs": p("b")},
                                    volumes={"kernel": ("static", 0), "rootfs": ("dynamic", 1)})
        k = res.volumes.get("kernel", {}).get("reserved_ebs")
        if k != 4:
            wrong.append("kernel: %s reserved LEBs, expected 4 (grown from 3)" % k)
        r = res.volumes.get("rootfs", {}).get("reserved_ebs", 0)
        if path.endswith("built.img") and r <= reserve:
            wrong.append("rootfs: %d reserved LEBs: autoresize did not act" % r)
        if path.endswith("replaced.img") and r != reserve:
            wrong.append("rootfs: %d reserved LEBs, expected %d" % (r, reserve))
        name = "%s/%s" % (geometry.name, os.path.basename(path))
        bad += ["%s: %s" % (name, w) for w in wrong]
        print("%s: %s; UBI warnings: %s" % (name, sorted(res.volumes), res.warnings))
    return bad

if __name__ == "__main__":
    sys.exit(main())
