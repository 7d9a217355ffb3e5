"""UBIFS volumes written by romsmith, mounted read-write by the kernel.

    kernel_write.py              (exit 0 passed, 1 failed, 77 skipped)

For two flash geometries (512-byte pages with 15872-byte LEBs, 2 KiB pages
with 126976-byte LEBs), mkfs.ubifs makes a bare UBIFS per compressor (lzo,
zlib, zstd); romsmith edits each (replaces a small file, adds a large one,
removes, makes a directory and a link, changes a mode) and saves it, which
writes the volume anew; the builder (rs::ubifs::build_from_dir, through
tests/ubifs/build_tool.cpp when UBIFS_BUILD_TOOL names it) makes the edited
tree once more per compressor. Those images are put into volumes by the
outside ubinize (so the UBI layer is not ours) and written into a simulated
NAND inside a qemu guest booting the installed kernel, with the kernel's own
consistency checks on where debugfs has them; UBI attaches it, each volume
is mounted read-write and listed (mode, owner, size, md5), a file is written
from inside the guest, and the volume is unmounted (a commit by the kernel
over our index and LPT). The kernel's messages must hold no UBIFS error; the
flash is then copied out and read back by romsmith.

Environment: ROMSMITH_BIN (the romsmith program), UBIFS_BUILD_TOOL, KWRITE_KEEP
(a path prefix: keep the flash the guest left), and what tests/kernel/kmount.py takes.
"""

import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kernel"))
import kmount  # noqa: E402

COMPRS = ("lzo", "zlib", "zstd")

GUEST = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
dmesg -n 1
exec 3>/dev/ttyS1
say() { echo "$@" >&3; }
for m in $(cat /modules.order); do
  case $m in
    nandsim) insmod /modules/$m.ko NANDSIM_IDS ;;
    ubi|ubifs) ;;
    *) insmod /modules/$m.ko 2>/tmp/err || say "W insmod $m: $(cat /tmp/err)" ;;
  esac
done
disk() {
  i=0
  while [ $i -lt 50 ]; do
    for b in /sys/block/vd*; do
      [ "$(cat $b/serial 2>/dev/null)" = "$1" ] && { echo /dev/${b##*/}; return; }
    done
    sleep 0.1; i=$((i+1))
  done
}
src=$(disk kin); out=$(disk kout)
dd if=$src of=/dev/mtd0 bs=PEB 2>/tmp/err || say "E write mtd0: $(cat /tmp/err)"
insmod /modules/ubi.ko UBI_MTD || say "E ubi attach"
insmod /modules/ubifs.ko || say "E ubifs"
# The kernel's own consistency checks (index, LEB properties against a scan of
# every LEB, the whole tree) where debugfs offers them.
mount -t debugfs none /sys/kernel/debug 2>/dev/null
for c in chk_general chk_index chk_orph chk_lprops chk_fs; do
  [ -w /sys/kernel/debug/ubifs/$c ] && echo 1 > /sys/kernel/debug/ubifs/$c && say "D $c"
done
for v in VOLUMES; do
  mkdir -p /mnt/$v
  if mount -t ubifs ubi0:$v /mnt/$v 2>/tmp/err; then
    cd /mnt/$v
    find . | sort | while read p; do
      if [ -L "$p" ]; then
        say "L $v $p $(stat -c '%f %u %g' "$p") -> $(readlink "$p")"
      elif [ -f "$p" ]; then
        say "L $v $p $(stat -c '%f %u %g %s' "$p") $(md5sum < "$p" | cut -d' ' -f1)"
      else
        say "L $v $p $(stat -c '%f %u %g' "$p")"
      fi
    done
    echo "written by the kernel into $v" > kernel.txt || say "E write in $v"
    cd /
    umount /mnt/$v 2>/tmp/err && say "U $v" || say "E umount $v: $(cat /tmp/err)"
  else
    say "E mount $v: $(cat /tmp/err)"
  fi
done
dmesg | grep -i -E "ubi|nand|mtd" | tail -n 80 | sed 's/^/K /' >&3
dd if=/dev/mtd0 of=$out bs=PEB conv=fsync 2>/tmp/err || say "E read mtd0: $(cat /tmp/err)"
say "DONE"
exec 3>&-
reboot -f
"""

# Flash geometries: nandsim's chip, ubinize's and mkfs.ubifs's options.
GEOMETRIES = (
    {"label": "512", "ids": "first_id_byte=0x20 second_id_byte=0x33", "flash": 16 << 20, "peb": 16384,
     "ubinize": ["-p", "16KiB", "-m", "512", "-s", "256"], "mkfs": ["-m", "512", "-e", "15872", "-c", "200"],
     "mem": "256", "vol": "1800KiB", "ubi": "mtd=0"},
    {"label": "2k", "ids": "first_id_byte=0xec second_id_byte=0xf1 third_id_byte=0x00 fourth_id_byte=0x95",
     "flash": 128 << 20, "peb": 131072,
     "ubinize": ["-p", "128KiB", "-m", "2048"], "mkfs": ["-m", "2048", "-e", "126976", "-c", "120"], "mem": "512",
     # nandsim offers 512-byte sub-pages: the VID header is put a page in, as ubinize -m 2048 puts it.
     "vol": "6MiB", "ubi": "mtd=0,2048"},
)


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)


def make_tree(root):
    """The host tree mkfs.ubifs starts from."""
    os.makedirs(os.path.join(root, "etc", "init.d"))
    os.makedirs(os.path.join(root, "usr", "lib"))
    files = {
        "etc/issue": b"hello box\n",
        "etc/gone": b"removed before the kernel sees it\n",
        "etc/init.d/rcS": b"#!/bin/sh\nmount -a\n",
        "usr/lib/noise.bin": bytes((i * 7919 + (i >> 7)) % 251 for i in range(30000)),
        "usr/lib/text.log": b"".join(b"line %d of a compressible log\n" % i for i in range(3000)),
    }
    for name, data in files.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(data)
    os.chmod(os.path.join(root, "etc/init.d/rcS"), 0o750)
    os.symlink("issue", os.path.join(root, "etc", "motd"))


EDITED = b"replaced by romsmith\n"
NEW = b"".join(b"record %06d of a file romsmith added\n" % i for i in range(4000))


def edit_host(root):
    """The same edits on the host copy: the tree the kernel must list."""
    with open(os.path.join(root, "etc/issue"), "wb") as f:
        f.write(EDITED)
    with open(os.path.join(root, "usr/lib/new.txt"), "wb") as f:
        f.write(NEW)
    os.unlink(os.path.join(root, "etc/gone"))
    os.mkdir(os.path.join(root, "opt"), 0o755)
    os.chmod(os.path.join(root, "opt"), 0o755)
    os.symlink("../usr/lib/new.txt", os.path.join(root, "opt", "new"))
    os.chmod(os.path.join(root, "etc/init.d/rcS"), 0o700)


def host_lines(root, vol):
    paths = [root]
    for dirpath, dirs, names in os.walk(root):
        paths += [os.path.join(dirpath, n) for n in dirs + names]
    out = []
    for p in paths:
        rel = "." + p[len(root):]
        st = os.lstat(p)
        head = "L %s %s %x %d %d" % (vol, rel, st.st_mode, st.st_uid, st.st_gid)
        if stat.S_ISLNK(st.st_mode):
            out.append("%s -> %s" % (head, os.readlink(p)))
        elif stat.S_ISREG(st.st_mode):
            out.append("%s %d %s" % (head, st.st_size, hashlib.md5(open(p, "rb").read()).hexdigest()))
        else:
            out.append(head)
    return sorted(out)


def main():
    rs = os.environ.get("ROMSMITH_BIN", "romsmith")
    for tool in ("mkfs.ubifs", "ubinize"):
        if not shutil.which(tool):
            print("skip: %s is not installed (mtd-utils)" % tool)
            return 77
    try:
        qemu, busybox, cpio = kmount.find_tools()
        kernel = kmount.Kernel()
    except kmount.MissingTool as e:
        print("skip:", e)
        return 77
    names = kmount.DISK_MODULES + ["nandsim", "ubi", "ubifs", "lzo", "deflate", "zstd"]
    if not all(kernel.provides(n) for n in ("nandsim", "ubi", "ubifs")):
        print("skip: the kernel has no nandsim, ubi or ubifs module")
        return 77
    cache = kmount.default_cache()
    os.makedirs(cache, exist_ok=True)
    builder = os.environ.get("UBIFS_BUILD_TOOL")
    if builder and not os.path.exists(builder):
        builder = None
    failures, said = [], []
    for g in GEOMETRIES:
        f, note = run_geometry(g, rs, builder, kernel, qemu, busybox, cpio, cache, names)
        failures += ["%s: %s" % (g["label"], x) for x in f]
        said.append("%s pages: %s" % (g["label"], note))
    if failures:
        print("\n".join(failures))
        return 1
    print("\n".join(said))
    return 0


def run_geometry(g, rs, builder, kernel, qemu, busybox, cpio, cache, names):
    """One guest: the volumes of one flash geometry. The failures, and a line on what ran."""
    vols = ["r_" + c for c in COMPRS] + (["b_" + c for c in COMPRS] if builder else [])
    kmount.GUEST_INIT = (GUEST.replace("VOLUMES", " ".join(vols)).replace("NANDSIM_IDS", g["ids"])
                         .replace("PEB", str(g["peb"])).replace("UBI_MTD", g["ubi"]))
    base = kmount.build_initramfs(kernel, busybox, cpio, kernel.load_order(names), cache)
    vmlinux = kernel.bootable(cache)
    failures = []
    with tempfile.TemporaryDirectory(prefix="kwrite") as work:
        tree = os.path.join(work, "tree")
        make_tree(tree)
        ini = os.path.join(work, "ubi.ini")
        with open(os.path.join(work, "new.txt"), "wb") as f:
            f.write(NEW)
        with open(os.path.join(work, "edited.txt"), "wb") as f:
            f.write(EDITED)
        images = []
        for c in COMPRS:
            fs = os.path.join(work, "mkfs-%s.ubifs" % c)
            r = run(["mkfs.ubifs", "-q"] + g["mkfs"] + ["-x", c, "-r", tree, "-o", fs])
            if r.returncode:
                return ["mkfs.ubifs failed: " + r.stdout.decode()], ""
            ours = os.path.join(work, "ours-%s.ubifs" % c)
            batch = ("put UBIFS/etc/issue {w}/edited.txt; put UBIFS/usr/lib/new.txt {w}/new.txt; rm UBIFS/etc/gone; "
                     "mkdir UBIFS/opt; ln -s ../usr/lib/new.txt UBIFS/opt/new; chmod 0700 UBIFS/etc/init.d/rcS; "
                     "save {o}").format(w=work, o=ours)
            r = run([rs, "-o", fs, "-c", batch])
            if r.returncode or not os.path.exists(ours):
                return ["romsmith could not edit the %s image:\n%s" % (c, r.stdout.decode(errors="replace"))], ""
            images.append(ours)
        edit_host(tree)
        if builder:
            for c in COMPRS:
                built = os.path.join(work, "built-%s.ubifs" % c)
                r = run([builder, tree, built] + g["mkfs"] + ["-x", c])
                if r.returncode:
                    return ["the builder failed: " + r.stdout.decode(errors="replace")], ""
                images.append(built)
        with open(ini, "w") as f:
            for i, (v, img) in enumerate(zip(vols, images)):
                f.write("[%s]\nmode=ubi\nimage=%s\nvol_id=%d\nvol_type=dynamic\nvol_size=%s\nvol_name=%s\n"
                        % (v, img, i, g["vol"], v))
        ubi = os.path.join(work, "ubi.img")
        r = run(["ubinize", "-o", ubi] + g["ubinize"] + ["-Q", "78", ini])
        if r.returncode:
            return ["ubinize failed: " + r.stdout.decode()], ""
        with open(ubi, "ab") as f:
            f.truncate(-(-os.path.getsize(ubi) // g["peb"]) * g["peb"])
        out = os.path.join(work, "flash.img")
        with open(out, "wb") as f:
            f.truncate(g["flash"])
        job = os.path.join(work, "job")
        os.mkdir(job)
        kmount._cpio(cpio, job, os.path.join(work, "job.cpio"))
        initrd = os.path.join(work, "initrd.cpio")
        with open(initrd, "wb") as o:
            for part in (base, os.path.join(work, "job.cpio")):
                with open(part, "rb") as f:
                    shutil.copyfileobj(f, o)
        data = os.path.join(work, "data.txt")
        cmd = [qemu, "-machine", "pc", "-accel", "tcg", "-cpu", "max", "-m", g["mem"], "-smp", "1", "-nodefaults",
               "-nographic", "-no-reboot", "-monitor", "none", "-serial", "file:" + os.path.join(work, "console"),
               "-serial", "file:" + data, "-kernel", vmlinux, "-initrd", initrd, "-append",
               "console=ttyS0 panic=-1 quiet rdinit=/init mitigations=off",
               "-drive", "if=none,id=d1,format=raw,file=%s,readonly=on" % ubi,
               "-device", "virtio-blk-pci,drive=d1,serial=kin",
               "-drive", "if=none,id=d2,format=raw,file=%s" % out,
               "-device", "virtio-blk-pci,drive=d2,serial=kout"]
        try:
            subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=400)
        except subprocess.TimeoutExpired:
            return ["qemu did not finish"], ""
        report = open(data, errors="replace").read() if os.path.exists(data) else ""
        lines = report.splitlines()
        if "DONE" not in lines:
            return ["the guest did not finish:\n" + report], ""
        for ln in lines:
            if ln.startswith("E "):
                failures.append(ln)
            if ln.startswith("K ") and re.search(r"\berror\b|\bcorrupt\b|assert|bad accounting", ln.lower()):
                failures.append("kernel: " + ln[2:])
        for v in vols:
            if "U %s" % v not in lines:
                failures.append("%s was not unmounted cleanly" % v)
            want = host_lines(tree, v)
            got = sorted(ln for ln in lines if ln.startswith("L %s " % v))
            if want != got:
                failures.append("%s as the kernel lists it differs:\n  missing: %s\n  extra: %s" % (
                    v, [x for x in want if x not in got], [x for x in got if x not in want]))
        if os.environ.get("KWRITE_KEEP"):
            shutil.copyfile(out, os.environ["KWRITE_KEEP"] + "." + g["label"])

        # What the kernel left, read back by romsmith: its commit over our image.
        for v in vols:
            want = {"/kernel.txt": ("written by the kernel into %s\n" % v).encode()}
            for dirpath, _, names_ in os.walk(tree):
                for n in names_:
                    p = os.path.join(dirpath, n)
                    if os.path.isfile(p) and not os.path.islink(p):
                        want[p[len(tree):]] = open(p, "rb").read()
            for path, content in want.items():
                got = os.path.join(work, "got")
                r = run([rs, "-o", out, "get", "UBIFS/%s%s" % (v, path), got])
                body = open(got, "rb").read() if r.returncode == 0 and os.path.exists(got) else None
                if body != content:
                    failures.append("%s%s read back: %s" % (v, path, "unreadable: " + r.stdout.decode(errors="replace")
                                                            if body is None else "%d bytes" % len(body)))
                if os.path.exists(got):
                    os.unlink(got)
            r = run([rs, "-o", out, "ls", "-l", "UBIFS/" + v])
            listing = r.stdout.decode(errors="replace")
            if "etc/gone" in listing or "opt/new -> ../usr/lib/new.txt" not in listing:
                failures.append("%s: the edits are not in romsmith's listing:\n%s" % (v, listing))
        if failures:
            failures.append("guest:\n" + report)
        checks = [ln[2:] for ln in lines if ln.startswith("D ")]
        return failures, "the kernel mounted, listed, wrote and committed %d volumes (%s) (kernel checks: %s)" % (
            len(vols), ", ".join(vols), ", ".join(checks) or "none available")


if __name__ == "__main__":
    sys.exit(main())
