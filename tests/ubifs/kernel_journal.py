"""A UBIFS the kernel wrote to and never committed, read back by romsmith.

    kernel_journal.py            (exit 0 passed, 1 failed, 77 skipped)

A ubinize image (a UBIFS volume with autoresize) is written into a simulated
NAND (nandsim, 512-byte pages of two 256-byte sub-pages, 16 KiB blocks) inside a qemu guest booting the
installed kernel; UBI attaches it (resizing the volume, so the volume table is
rewritten), UBIFS mounts it, files are created, replaced, truncated, renamed
and removed, fsync writes the journal, and the flash is copied out before any
commit (no sync of the file system, no unmount). romsmith must then read the tree as the guest left it.

Environment: ROMSMITH_BIN (the romsmith program), and what tests/kernel/kmount.py takes.
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kernel"))
import kmount  # noqa: E402

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
    nandsim) insmod /modules/$m.ko first_id_byte=0x20 second_id_byte=0x33 ;;
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
dd if=$src of=/dev/mtd0 bs=16384 2>/tmp/err || say "E write mtd0: $(cat /tmp/err)"
insmod /modules/ubi.ko mtd=0 || say "E ubi attach"
insmod /modules/ubifs.ko || say "E ubifs"
mkdir -p /mnt/r
if mount -t ubifs ubi0:rootfs /mnt/r 2>/tmp/err; then
  cd /mnt/r
  echo "written after the last commit" > new.txt
  mkdir -p newdir/deeper
  i=0; while [ $i -lt 300 ]; do echo "line $i of a file the journal holds"; i=$((i+1)); done > newdir/deeper/log
  echo replaced > etc/issue
  rm etc/gone
  mv etc/old-name etc/new-name
  dd if=etc/big of=etc/big.cut bs=1000 count=5 2>/dev/null; truncate -s 5000 etc/big
  ln -s ../new.txt newdir/link
  ln new.txt hard.txt
  chmod 0640 new.txt
  # fsync of each file and directory writes the journal; sync(1) without
  # arguments would commit, which is what this test must not have.
  sync new.txt hard.txt etc/issue etc/new-name etc/big etc/big.cut newdir/deeper/log . etc newdir newdir/deeper
  cd /
  sleep 6  # the write-buffer timers flush what is left
  say "OK"
else
  say "E mount: $(cat /tmp/err)"
fi
dmesg | grep -i -E "ubi|error" | tail -n 20 | sed 's/^/K /' >&3
# The flash as the power cut leaves it: no unmount, no commit.
dd if=/dev/mtd0 of=$out bs=16384 conv=fsync 2>/tmp/err || say "E read mtd0: $(cat /tmp/err)"
say "DONE"
exec 3>&-
reboot -f
"""

FLASH = 16 << 20


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)


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
    kmount.GUEST_INIT = GUEST
    base = kmount.build_initramfs(kernel, busybox, cpio, kernel.load_order(names), cache)
    vmlinux = kernel.bootable(cache)
    with tempfile.TemporaryDirectory(prefix="kjournal") as work:
        tree = os.path.join(work, "tree")
        os.makedirs(os.path.join(tree, "etc"))
        big = bytes((i * 7919) % 251 for i in range(20000))
        for name, data in (("etc/issue", b"hello box\n"), ("etc/gone", b"removed by the box\n"),
                           ("etc/old-name", b"renamed by the box\n"), ("etc/big", big)):
            with open(os.path.join(tree, name), "wb") as f:
                f.write(data)
        fs = os.path.join(work, "fs.ubifs")
        r = run(["mkfs.ubifs", "-q", "-m", "512", "-e", "15872", "-c", "900", "-x", "lzo", "-r", tree, "-o", fs])
        if r.returncode:
            print("mkfs.ubifs failed:", r.stdout.decode())
            return 1
        ini = os.path.join(work, "ubi.ini")
        with open(ini, "w") as f:
            f.write("[rootfs]\nmode=ubi\nimage=%s\nvol_id=0\nvol_type=dynamic\nvol_size=4MiB\n"
                    "vol_name=rootfs\nvol_flags=autoresize\n" % fs)
        ubi = os.path.join(work, "ubi.img")
        r = run(["ubinize", "-o", ubi, "-p", "16KiB", "-m", "512", "-s", "256", "-Q", "77", ini])
        if r.returncode:
            print("ubinize failed:", r.stdout.decode())
            return 1
        with open(ubi, "ab") as f:
            f.truncate(-(-os.path.getsize(ubi) // 16384) * 16384)
        out = os.path.join(work, "flash.img")
        with open(out, "wb") as f:
            f.truncate(FLASH)
        job = os.path.join(work, "job")
        os.mkdir(job)
        kmount._cpio(cpio, job, os.path.join(work, "job.cpio"))
        initrd = os.path.join(work, "initrd.cpio")
        with open(initrd, "wb") as o:
            for part in (base, os.path.join(work, "job.cpio")):
                with open(part, "rb") as f:
                    shutil.copyfileobj(f, o)
        data = os.path.join(work, "data.txt")
        cmd = [qemu, "-machine", "pc", "-accel", "tcg", "-cpu", "max", "-m", "256", "-smp", "1", "-nodefaults",
               "-nographic", "-no-reboot", "-monitor", "none", "-serial", "file:" + os.path.join(work, "console"),
               "-serial", "file:" + data, "-kernel", vmlinux, "-initrd", initrd, "-append",
               "console=ttyS0 panic=-1 quiet rdinit=/init mitigations=off",
               "-drive", "if=none,id=d1,format=raw,file=%s,readonly=on" % ubi,
               "-device", "virtio-blk-pci,drive=d1,serial=kin",
               "-drive", "if=none,id=d2,format=raw,file=%s" % out,
               "-device", "virtio-blk-pci,drive=d2,serial=kout"]
        try:
            subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=300)
        except subprocess.TimeoutExpired:
            print("qemu did not finish")
            return 1
        report = open(data, errors="replace").read() if os.path.exists(data) else ""
        if "OK" not in report.split() or "DONE" not in report.split():
            print("the guest did not finish its edits:\n" + report)
            return 1
        if os.environ.get("KJOURNAL_KEEP"):
            shutil.copyfile(out, os.environ["KJOURNAL_KEEP"])

        want = {
            "/rootfs/new.txt": b"written after the last commit\n",
            "/rootfs/hard.txt": b"written after the last commit\n",
            "/rootfs/etc/issue": b"replaced\n",
            "/rootfs/etc/new-name": b"renamed by the box\n",
            "/rootfs/etc/big": big[:5000],
            "/rootfs/etc/big.cut": big[:5000],
            "/rootfs/newdir/deeper/log": b"".join(b"line %d of a file the journal holds\n" % i for i in range(300)),
        }
        failures = []
        r = run([rs, "-o", out, "ls", "UBIFS"])
        head = r.stdout.decode(errors="replace")
        m = re.search(r"ubifs rootfs: .* (\d+) journal buds \((\d+) nodes\) replayed", head)
        if not m or int(m.group(1)) == 0 or int(m.group(2)) == 0:
            failures.append("no journal was replayed: the guest committed, or the log was not read\n" + head)
        m = re.search(r'volume 0 "rootfs": dynamic, (\d+) reserved PEBs', head)
        if not m or int(m.group(1)) <= 265:
            failures.append("the volume table the kernel rewrote (autoresize) was not read\n" + head)
        r = run([rs, "-o", out, "ls", "-l", "UBIFS/rootfs"])
        listing = r.stdout.decode(errors="replace")
        for gone in ("etc/gone", "etc/old-name"):
            if gone in listing:
                failures.append("%s is still listed" % gone)
        if "newdir/link -> ../new.txt" not in listing:
            failures.append("the new link is missing")
        if "-rw-r----- " not in listing:
            failures.append("chmod 0640 of new.txt is lost")
        for path, content in want.items():
            got = os.path.join(work, "got")
            r = run([rs, "-o", out, "get", "UBIFS" + path, got])
            body = open(got, "rb").read() if r.returncode == 0 and os.path.exists(got) else None
            if body != content:
                failures.append("%s: %s" % (path, "unreadable: " + r.stdout.decode(errors="replace")
                                            if body is None else "%d bytes, md5 %s" %
                                            (len(body), hashlib.md5(body).hexdigest())))
            if os.path.exists(got):
                os.unlink(got)
        if failures:
            print("\n".join(failures) + "\n" + listing + "\nguest:\n" + report)
            return 1
        print("kernel journal read back: %d files" % len(want))
        return 0


if __name__ == "__main__":
    sys.exit(main())
