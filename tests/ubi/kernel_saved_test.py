"""The kernel mounts UBI images that romsmith itself edited and saved, and
images its mkubi built: the UBIFS writer and the UBI writer together.

    kernel_saved_test.py          (exit 0 passed, 1 failed, 77 skipped)

A ubinize image (a static "kernel" volume, a dynamic UBIFS "rootfs" from
mkfs.ubifs, erased PEBs after them) is opened by romsmith, one file replaced,
one added, one removed and a directory made inside rootfs, and saved; a second
image is made by `romsmith mkubi` from a host tree. The edit is saved as a
journal (buds and log references the kernel replays at mount); the same
edit is saved once more with ROMSMITH_UBIFS_COMMIT=1 (a whole rewrite), and
the journal-saved image is edited and saved again (a second journal: a file
that shrinks, a new one with its mode). On the 2 KiB-page chip
the kernel must attach both, see the static data unchanged, mount each UBIFS
read-write with exactly the expected tree, write a file and unmount cleanly.
The chip the guest left behind (our journal replayed, its file written, the
unmount's commit) is copied out for the journal-saved and the forced image
and read back by romsmith: exactly the expected tree with the guest's file.

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
        # The same edit written whole, as when the journal cannot take it.
        forced = dict(os.environ, ROMSMITH_UBIFS_COMMIT="1")
        r = subprocess.run([rs, "-c", "open base.ubi; put UBIFS/rootfs/etc/issue new.txt; mkdir -p UBIFS/rootfs/usr/share; "
                            "put UBIFS/rootfs/usr/share/added new.txt; rm UBIFS/rootfs/etc/old; mkdir UBIFS/rootfs/mnt; "
                            "save forced.ubi"], cwd=work, env=forced, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if r.returncode:
            raise RuntimeError("forced commit failed: " + r.stdout.decode(errors="replace"))
        # A second journal after the first: a file shrinks, one is added.
        with open(p("short.txt"), "wb") as f:
            f.write(b"short\n")
        sh([rs, "-c", "open saved.ubi; put UBIFS/rootfs/bin/tool short.txt; put UBIFS/rootfs/etc/second new.txt; "
            "chmod 600 UBIFS/rootfs/etc/second; save saved2.ubi"], cwd=work)
        # The tree the kernel must see in the saved volume.
        shutil.copytree(p("a"), p("want"), symlinks=True)
        os.remove(p("want/etc/old"))
        write(p("want"), {"etc/issue": b"replaced by romsmith\n", "usr/share/added": b"replaced by romsmith\n"})
        os.makedirs(p("want/mnt"))
        shutil.copytree(p("want"), p("want2"), symlinks=True)
        write(p("want2"), {"bin/tool": b"short\n", "etc/second": b"replaced by romsmith\n"})
        os.chmod(p("want2/etc/second"), 0o600)
        sh([rs, "mkubi", "-m", "2048", "-p", "128KiB", "-c", "200", "-x", "zlib", "-N", "rootfs", "want",
            "built.ubi"], cwd=work)
        # Save after save: the log's LEB fills and the references go on in the next one.
        shutil.copy(p("saved.ubi"), p("many.ubi"))
        shutil.copytree(p("want"), p("want3"), symlinks=True)
        for i in range(70):
            name = "many/f%d" % i
            write(p("want3"), {name: b"save %d\n" % i})
            sh([rs, "-c", "open many.ubi; mkdir -p UBIFS/rootfs/many; put UBIFS/rootfs/%s want3/%s; save many.ubi"
                % (name, name)], cwd=work)
        images = [p("saved.ubi"), p("built.ubi"), p("forced.ubi"), p("saved2.ubi"), p("many.ubi")]
        bad = []
        # The edits were saved as journals (buds replayed), the forced one as a commit.
        for name, journal in (("saved.ubi", True), ("saved2.ubi", True), ("forced.ubi", False)):
            out = sh([rs, "-o", name, "ls", "UBIFS"], cwd=work).decode()
            has = " 0 journal buds" not in out
            if has != journal:
                bad.append("%s: %s journal expected:\n%s" % (name, "a" if journal else "no", out))
        after = {p("saved.ubi"): p("saved.after"), p("forced.ubi"): p("forced.after")}
        try:
            results = kernel_ubi.run(images, kernel_ubi.LARGE, flash_out=after)
        except kmount.MissingTool as e:
            print("skip:", e)
            return 77
        statics = ({"kernel": kernel}, {}, {"kernel": kernel}, {"kernel": kernel}, {"kernel": kernel})
        wants = (p("want"), p("want"), p("want"), p("want2"), p("want3"))
        for path, res, static, want in zip(images, results, statics, wants):
            wrong = kernel_ubi.failures(res, static=static, trees={"rootfs": want})
            bad += ["%s: %s" % (os.path.basename(path), w) for w in wrong]
            print("%s: %s; UBI warnings: %s" % (os.path.basename(path), sorted(res.volumes), res.warnings))
        # What the kernel wrote over our save, read by our reader.
        write(p("want"), {".kernel-ubi-probe": kernel_ubi.PROBE.encode()})
        os.chmod(p("want/.kernel-ubi-probe"), 0o644)
        for image, flash in after.items():
            got = p("got-" + os.path.basename(image))
            r = subprocess.run([rs, "-o", flash, "get", "-r", "UBIFS/rootfs", got], cwd=work,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if r.returncode:
                bad.append("%s after the guest: get -r failed: %s" % (os.path.basename(image),
                                                                      r.stdout.decode(errors="replace")))
            elif kmount.host_listing(got) != kmount.host_listing(p("want")):
                w, g = set(kmount.host_listing(p("want")).splitlines()), set(kmount.host_listing(got).splitlines())
                bad.append("%s after the guest: our reader sees another tree\n  only expected: %s\n  only read: %s"
                           % (os.path.basename(image), sorted(w - g)[:10], sorted(g - w)[:10]))
        for name in ("saved.ubi", "saved2.ubi", "saved.after"):
            seq = sh([rs, "-o", name, "ls", "UBIFS"], cwd=work).decode()
            if "image sequence 777" not in seq:
                bad.append("%s: the image sequence number was not kept:\n%s" % (name, seq))
    if bad:
        print("\n".join(bad))
        return 1
    print("the kernel mounted what romsmith saved and built")
    return 0


if __name__ == "__main__":
    sys.exit(main())
