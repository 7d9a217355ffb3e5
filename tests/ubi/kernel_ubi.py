#!/usr/bin/env python3
"""The kernel's own UBI and UBIFS drivers check UBI images (qemu, nandsim).

    kernel_ubi.py [--geometry large|small] [--static NAME=FILE]... [--tree NAME=DIR]... IMAGE...

Each image is written into a fresh simulated NAND chip in one qemu guest
booting the installed kernel; UBI attaches it (with the VID header offset of
the image's first EC header), and the guest reports the device and each
volume from /sys/class/ubi, the md5 of every static volume's data, and for
every volume holding UBIFS: its tree after a read-write mount, then a file
written, the file system unmounted, mounted again and the file read back.
Kernel messages of level error or worse fail the image.

From Python (tests/ubi on sys.path), for images of any writer:

    import kernel_ubi
    failures = kernel_ubi.check(image_path, kernel_ubi.LARGE,   # or None: from the PEB size
                                static={"kernel": data_bytes},
                                trees={"rootfs": host_dir},
                                volumes={"kernel": ("static", 0), "rootfs": ("dynamic", 1)})
    # [] when the kernel agrees; raises kmount.MissingTool when it cannot run.

    results = kernel_ubi.run([img1, img2], kernel_ubi.LARGE, script="...",
                             flash_out={img2: "after.ubi"})
    # [ImageResult] with .device, .volumes, .static_md5, .trees, .probe, .errors, .log;
    # the script runs per image with ubi0 attached, after the checks (UBIFS unmounted),
    # its output in .script; each image named in flash_out has the whole chip, as the
    # kernel left it after the checks and the detach, written to the path given.

Geometries: LARGE, a 128 MiB chip of 2 KiB pages and 128 KiB blocks (ubinize
-p 128KiB -m 2048); SMALL, a 16 MiB chip of 512-byte pages (two 256-byte
sub-pages) and 16 KiB blocks (ubinize -p 16KiB -m 512 -s 256). The image
must fit the chip; the rest of the chip is erased.

Exit of the command: 0 every image passed, 3 some image failed, 1 the boot
failed, 77 qemu, the kernel (nandsim, ubi, ubifs), busybox or cpio missing.
Environment: what tests/kernel/kmount.py takes.
"""

import argparse
import collections
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "kernel"))
import kmount  # noqa: E402

Geometry = collections.namedtuple("Geometry", "name ids page peb flash")
LARGE = Geometry("large", (0xec, 0xa1, 0x00, 0x15), 2048, 128 << 10, 128 << 20)
SMALL = Geometry("small", (0x20, 0x33), 512, 16 << 10, 16 << 20)
GEOMETRIES = {g.name: g for g in (LARGE, SMALL)}

PROBE = "written by the kernel check\n"

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
    nandsim|ubi|ubifs) ;;
    *) insmod /modules/$m.ko 2>/tmp/err || say "W insmod $m: $(cat /tmp/err)" ;;
  esac
done
say "@@KUBI BEGIN"
disk() {
  i=0
  while [ $i -lt 50 ]; do
    for b in /sys/block/vd*; do
      [ "$(cat $b/serial 2>/dev/null)" = "$1" ] && { echo /dev/${b##*/}; return; }
    done
    sleep 0.1; i=$((i+1))
  done
}
klog() { dmesg -c -r | sed 's/^/K /' >&3; }
tree() {
  say "@@TREE $1 BEGIN"
  cd "$2"
  {
    find . -exec stat -c 'S %f|%u|%g|%s|%h|%t|%T|%n' {} +
    find . -type f -exec md5sum {} + | sed 's/^/M /'
    find . -type l | while IFS= read -r p; do echo "L $p"; echo "T $(readlink "$p")"; done
  } 2>/tmp/err >&3
  sed 's/^/R /' /tmp/err >&3
  cd /
  say "@@TREE $1 END"
}
ubifs() {
  i=$1; mnt=/mnt/v$i
  mkdir -p $mnt
  mount -t ubifs ubi0_$i $mnt 2>/tmp/err || { say "E mount ubi0_$i: $(cat /tmp/err)"; return; }
  tree $i $mnt
  printf '%s\n' "$PROBE" > $mnt/.kernel-ubi-probe && sync || say "E write on ubi0_$i failed"
  umount $mnt 2>/tmp/err || { say "E umount ubi0_$i: $(cat /tmp/err)"; return; }
  mount -t ubifs -o ro ubi0_$i $mnt 2>/tmp/err || { say "E mount again ubi0_$i: $(cat /tmp/err)"; return; }
  say "P $i $(md5sum < $mnt/.kernel-ubi-probe | cut -d' ' -f1)"
  umount $mnt 2>/tmp/err || say "E umount ubi0_$i: $(cat /tmp/err)"
}
check() {
  n=$1; vid=$2; pebs=$3; peb=$4; out=$5; shift 5
  say "@@IMG $n BEGIN"
  dmesg -c >/dev/null
  ids="first_id_byte=$1 second_id_byte=$2"
  [ -n "$3" ] && ids="$ids third_id_byte=$3 fourth_id_byte=$4"
  if insmod /modules/nandsim.ko $ids 2>/tmp/err; then
    src=$(disk ku$n)
    dd if=$src of=/dev/mtd0 bs=$peb count=$pebs 2>/tmp/err || say "E write mtd0: $(cat /tmp/err)"
    if insmod /modules/ubi.ko mtd=0,$vid 2>/tmp/err; then
      d=/sys/class/ubi/ubi0
      say "D $(cat $d/total_eraseblocks)|$(cat $d/avail_eraseblocks)|$(cat $d/volumes_count)|$(cat $d/bad_peb_count)|$(cat $d/max_ec)|$(cat $d/eraseblock_size)"
      insmod /modules/ubifs.ko 2>/tmp/err || say "E ubifs: $(cat /tmp/err)"
      for d in /sys/class/ubi/ubi0_*; do
        [ -e $d/name ] || continue
        i=${d##*_}
        say "V $i|$(cat $d/type)|$(cat $d/reserved_ebs)|$(cat $d/data_bytes)|$(cat $d/usable_eb_size)|$(cat $d/alignment)|$(cat $d/corrupted)|$(cat $d/upd_marker)|$(cat $d/name)"
        [ "$(cat $d/type)" = static ] && say "S $i $(md5sum < /dev/ubi0_$i | cut -d' ' -f1)"
        magic=$(dd if=/dev/ubi0_$i bs=4 count=1 2>/dev/null | od -An -tx1 | tr -d ' \n')
        [ "$magic" = 31181006 ] && ubifs $i
      done
      [ -x /job/script$n.sh ] && /job/script$n.sh 2>&1 | sed 's/^/X /' >&3
      rmmod ubifs 2>/dev/null
      rmmod ubi 2>/tmp/err || say "E detach: $(cat /tmp/err)"
      # The whole chip as the kernel left it, back onto the disk for the host.
      [ "$out" = 1 ] && { dd if=/dev/mtd0 of=$src bs=$peb conv=fsync 2>/tmp/err || say "E read mtd0: $(cat /tmp/err)"; }
    else
      say "E ubi attach: $(cat /tmp/err)"
    fi
    klog
    rmmod nandsim 2>/dev/null
  else
    say "E nandsim: $(cat /tmp/err)"
  fi
  say "@@IMG $n END"
}
. /job/job.sh
say "@@KUBI END"
exec 3>&-
reboot -f
""".replace("$PROBE", PROBE.rstrip("\n"))


class ImageResult:
    """What the kernel made of one image.

    device: dict total, avail, volumes, bad, max_ec, leb_size (/sys/class/ubi/ubi0);
    volumes: {name: dict id, type, reserved_ebs, data_bytes, usable_eb_size, alignment, corrupted, upd_marker};
    static_md5: {name: md5 of the volume's data}; trees: {name: kmount listing after the mount};
    probe: {name: md5 of the file written, read back after a remount};
    errors: the guest's failures and kernel messages of level error or worse; warnings: level warning;
    script: the lines the caller's script printed; log: every kernel message."""

    def __init__(self):
        self.device, self.volumes, self.static_md5, self.trees, self.probe = {}, {}, {}, {}, {}
        self.errors, self.warnings, self.script, self.log = [], [], [], []


def _vid_offset(path):
    with open(path, "rb") as f:
        head = f.read(64)
    if head[:4] != b"UBI#":
        raise ValueError("%s: no UBI erase counter header at offset 0" % path)
    return int.from_bytes(head[16:20], "big")


def geometry_of(path):
    """The chip whose PEB size the image has (an EC header one PEB on), or None.
    The smaller size first: every eighth 16 KiB block of a 128 KiB-PEB image
    starts a PEB too."""
    with open(path, "rb") as f:
        for g in (SMALL, LARGE):
            f.seek(g.peb)
            if f.read(4) == b"UBI#":
                return g
    return None


def _parse(text, count):
    lines = text.replace("\r", "").split("\n")
    if "@@KUBI BEGIN" not in lines:
        raise kmount.BootError("the guest did not start its checks")
    results, cur, res, ids, tree, records = {}, None, None, {}, None, []
    for line in lines:
        if line.startswith("@@IMG "):
            n, what = line.split()[1:3]
            if what == "BEGIN":
                cur, res, ids = int(n), ImageResult(), {}
            elif cur is not None:
                results[cur] = res
                cur = None
            continue
        if cur is None:
            if line.startswith("W "):
                print("kernel_ubi: guest: " + line[2:], file=sys.stderr)
            continue
        if line.startswith("@@TREE "):
            i, what = line.split()[1:3]
            if what == "BEGIN":
                tree, records = i, []
            else:
                res.trees[ids.get(tree, tree)] = kmount.guest_listing(records)
                tree = None
            continue
        if tree is not None:
            if line.startswith("R "):
                res.errors.append("reading ubi0_%s: %s" % (tree, line[2:]))
            elif line:
                records.append(line)
            continue
        tag, body = line[:1], line[2:]
        if tag == "D":
            f = body.split("|")
            res.device = dict(zip(("total", "avail", "volumes", "bad", "max_ec", "leb_size"), map(int, f)))
        elif tag == "V":
            f = body.split("|", 8)
            ids[f[0]] = f[8]
            res.volumes[f[8]] = {"id": int(f[0]), "type": f[1], "reserved_ebs": int(f[2]), "data_bytes": int(f[3]),
                                 "usable_eb_size": int(f[4]), "alignment": int(f[5]), "corrupted": int(f[6]),
                                 "upd_marker": int(f[7])}
        elif tag == "S":
            i, md5 = body.split()
            res.static_md5[ids.get(i, i)] = md5
        elif tag == "P":
            i, md5 = body.split()
            res.probe[ids.get(i, i)] = md5
        elif tag == "E":
            res.errors.append(body)
        elif tag == "X":
            res.script.append(body)
        elif tag == "K":
            res.log.append(body)
            m = re.match(r"<(\d+)>(.*)", body)
            if m and int(m.group(1)) & 7 <= 3:
                res.errors.append("kernel: " + m.group(2).strip())
            elif m and int(m.group(1)) & 7 == 4 and re.search(r"ubi", m.group(2), re.I):
                # nandsim reports its geometry as warnings; only UBI's and UBIFS's count.
                res.warnings.append(m.group(2).strip())
    if "@@KUBI END" not in lines:
        raise kmount.BootError("the guest stopped before it checked every image")
    for n in range(1, count + 1):
        if n not in results:
            results[n] = ImageResult()
            results[n].errors.append("no result: the guest stopped before this image")
    return [results[n] for n in range(1, count + 1)]


def run(images, geometry=None, script="", timeout=600, flash_out=None):
    """Boots once and checks every image in `images` (paths) on a chip of
    `geometry` (None: the one matching the first image's PEB size); `script`
    (busybox sh) runs in the guest while each image is attached, its output
    in ImageResult.script. `flash_out` {image path: output path}: the chip
    after the guest wrote to it (the probe file, the commit at unmount) is
    copied out to the output path. Raises kmount.MissingTool (skip), ValueError (an
    image that does not suit the chip) or kmount.BootError."""
    if not images:
        return []
    geometry = geometry or geometry_of(images[0]) or LARGE
    for path in images:
        found = geometry_of(path)
        if found and found != geometry:
            raise ValueError("%s has %d-byte PEBs; the %s chip has %d" % (path, found.peb, geometry.name,
                                                                          geometry.peb))
    qemu, busybox, cpio = kmount.find_tools()
    kernel = kmount.Kernel()
    if not all(kernel.provides(n) for n in ("nandsim", "ubi", "ubifs")):
        raise kmount.MissingTool("the kernel has no nandsim, ubi or ubifs module")
    cache = kmount.default_cache()
    os.makedirs(cache, exist_ok=True)
    names = kmount.DISK_MODULES + ["nandsim", "ubi", "ubifs", "lzo", "deflate", "zstd"]
    saved = kmount.GUEST_INIT
    kmount.GUEST_INIT = GUEST
    try:
        base = kmount.build_initramfs(kernel, busybox, cpio, kernel.load_order(names), cache)
    finally:
        kmount.GUEST_INIT = saved
    vmlinux = kernel.bootable(cache)
    with tempfile.TemporaryDirectory(prefix="kubi") as work:
        job = os.path.join(work, "root")
        os.makedirs(os.path.join(job, "job"))
        disks, lines = [], []
        for n, path in enumerate(images, 1):
            size = os.path.getsize(path)
            if size > geometry.flash:
                raise ValueError("%s: %d bytes do not fit the %s chip" % (path, size, geometry.name))
            pebs = -(-size // geometry.peb)
            # Erased bytes up to a whole PEB: dd writes them as the chip reads erased.
            disk = os.path.join(work, "disk%d.img" % n)
            shutil.copyfile(path, disk)
            out = (flash_out or {}).get(path)
            with open(disk, "ab") as f:
                f.write(b"\xff" * (pebs * geometry.peb - size))
                if out:  # room for the whole chip to come back
                    f.truncate(geometry.flash)
            disks += ["-drive", "if=none,id=d%d,format=raw,file=%s%s" % (n, disk.replace(",", ",,"),
                                                                       "" if out else ",readonly=on"),
                      "-device", "virtio-blk-pci,drive=d%d,serial=ku%d" % (n, n)]
            lines.append("check %d %d %d %d %d %s\n" % (n, _vid_offset(path), pebs, geometry.peb, bool(out),
                                                        " ".join("0x%02x" % b for b in geometry.ids)))
            if script:
                sp = os.path.join(job, "job", "script%d.sh" % n)
                with open(sp, "w") as f:
                    f.write("#!/bin/sh\n" + script)
                os.chmod(sp, 0o755)
        with open(os.path.join(job, "job", "job.sh"), "w") as f:
            f.write("".join(lines))
        kmount._cpio(cpio, job, os.path.join(work, "job.cpio"))
        initrd = os.path.join(work, "initrd.cpio")
        with open(initrd, "wb") as o:
            for part in (base, os.path.join(work, "job.cpio")):
                with open(part, "rb") as f:
                    shutil.copyfileobj(f, o)
        data = os.path.join(work, "data.txt")
        console = os.path.join(work, "console")
        cmd = [qemu, "-machine", "pc", "-accel", "tcg", "-cpu", "max", "-m", "512", "-smp", "1", "-nodefaults",
               "-nographic", "-no-reboot", "-monitor", "none", "-serial", "file:" + console,
               "-serial", "file:" + data, "-kernel", vmlinux, "-initrd", initrd, "-append",
               "console=ttyS0 panic=-1 quiet rdinit=/init mitigations=off"] + disks
        started = time.monotonic()
        try:
            subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=timeout)
        except subprocess.TimeoutExpired:
            pass
        text = open(data, errors="replace").read() if os.path.exists(data) else ""
        for n, path in enumerate(images, 1):
            if (flash_out or {}).get(path):
                shutil.copyfile(os.path.join(work, "disk%d.img" % n), flash_out[path])
        try:
            results = _parse(text, len(images))
        except kmount.BootError as e:
            tail = open(console, errors="replace").read()[-3000:] if os.path.exists(console) else ""
            raise kmount.BootError("%s\n%s\n%s" % (e, text[-3000:], tail))
    print("kernel_ubi: boot and checks of %d image(s) took %.1f s" % (len(images), time.monotonic() - started),
          file=sys.stderr)
    return results


def failures(res, static=None, trees=None, volumes=None):
    """What in `res` disagrees with the expectation: `static` {name: bytes},
    `trees` {name: host directory}, `volumes` {name: (type, id)}."""
    bad = list(res.errors)
    for name, (kind, vid) in (volumes or {}).items():
        v = res.volumes.get(name)
        if not v:
            bad.append("volume %s is not attached (the kernel has %s)" % (name, sorted(res.volumes)))
        elif (v["type"], v["id"]) != (kind, vid):
            bad.append("volume %s: the kernel sees %s id %d, expected %s id %d" % (name, v["type"], v["id"], kind,
                                                                                   vid))
    for name, v in res.volumes.items():
        if v["corrupted"] or v["upd_marker"]:
            bad.append("volume %s: the kernel marks it corrupted or half updated" % name)
    for name, content in (static or {}).items():
        v = res.volumes.get(name)
        if v and v["data_bytes"] != len(content):
            bad.append("static volume %s: %d bytes, expected %d" % (name, v["data_bytes"], len(content)))
        if res.static_md5.get(name) != hashlib.md5(content).hexdigest():
            bad.append("static volume %s: the kernel reads other data" % name)
    for name, host in (trees or {}).items():
        got = res.trees.get(name)
        if got is None:
            bad.append("UBIFS volume %s was not mounted" % name)
            continue
        want = kmount.host_listing(host)
        if got != want:
            w, g = set(want.splitlines()), set(got.splitlines())
            bad.append("UBIFS volume %s: the tree differs\n  only on the host: %s\n  only in the guest: %s" % (
                name, sorted(w - g)[:10], sorted(g - w)[:10]))
        if res.probe.get(name) != hashlib.md5(PROBE.encode()).hexdigest():
            bad.append("UBIFS volume %s: the file written did not read back after a remount" % name)
    return bad


def check(image, geometry=None, static=None, trees=None, volumes=None, timeout=600):
    """One image through the kernel; the list of what is wrong ([] passed)."""
    return failures(run([image], geometry, timeout=timeout)[0], static, trees, volumes)


def _pairs(items):
    out = {}
    for item in items or []:
        name, _, value = item.partition("=")
        out[name] = value
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--geometry", choices=sorted(GEOMETRIES), help="default: from the image's PEB size")
    ap.add_argument("--static", action="append", metavar="NAME=FILE", help="a static volume's expected data")
    ap.add_argument("--tree", action="append", metavar="NAME=DIR", help="a UBIFS volume's expected tree")
    ap.add_argument("--timeout", type=int, default=600)
    ap.add_argument("images", nargs="+")
    args = ap.parse_args(argv)
    static = {k: open(v, "rb").read() for k, v in _pairs(args.static).items()}
    trees = _pairs(args.tree)
    try:
        results = run(args.images, GEOMETRIES.get(args.geometry), timeout=args.timeout)
    except kmount.MissingTool as e:
        print("kernel_ubi: skipped: %s" % e, file=sys.stderr)
        return 77
    except (kmount.BootError, ValueError) as e:
        print("kernel_ubi: %s" % e, file=sys.stderr)
        return 1
    bad = 0
    for path, res in zip(args.images, results):
        wrong = failures(res, static, trees)
        for w in wrong:
            print("kernel_ubi: %s: %s" % (path, w), file=sys.stderr)
        vols = ", ".join("%s (%s, id %d, %d LEBs)" % (n, v["type"], v["id"], v["reserved_ebs"])
                         for n, v in sorted(res.volumes.items()))
        print("%s: %s: %s" % (path, "FAILED" if wrong else "ok", vols))
        bad += bool(wrong)
    return 3 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
