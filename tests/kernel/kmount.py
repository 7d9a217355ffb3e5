#!/usr/bin/env python3
"""Boot the installed Debian kernel under qemu once and list what it mounts.

    kmount.py --out DIR IMAGE:FSTYPE[:opt=val...] ...

Every image becomes one virtual disk; the guest mounts each with the kernel's
own driver and reports every entry. DIR/<n>.list (n = 1, 2, ... in argument
order) gets the listing of image n, or DIR/<n>.err the reason it could not be
mounted; DIR/<n>.complaints, if there, what went wrong while it was read
(read errors, kernel warnings). DIR/console.log keeps the guest's console.

Options per image: erase=SIZE (JFFS2 erase block, default 64KiB), rw=1 (mount
read-write; the image file itself is never written, qemu keeps a snapshot).

Exit: 0 all images listed, 3 some image not mounted or not read cleanly,
1 the boot failed, 2 bad arguments, 77 qemu, the kernel, busybox or cpio
missing (the message names it).

Environment: ROMSMITH_KERNEL (a vmlinuz-VERSION; default the newest in /boot),
ROMSMITH_KERNEL_MODULES (default /lib/modules/VERSION), ROMSMITH_QEMU,
ROMSMITH_BUSYBOX (a static busybox, default /bin/busybox), ROMSMITH_KMOUNT_CACHE
(the unpacked kernel, initramfs and built modules; default
~/.cache/romsmith-kmount).

The listing (also made by host_listing() from a host directory), one line per
entry, sorted by path:

    /path<TAB>TYPE MODE UID:GID n=NLINK [size=N md5=HEX | -> TARGET | dev=MAJ:MIN]

TYPE is one of d f l c b p s; MODE the permission bits in octal (with the
set-id and sticky bits). File names with a newline are not supported.
"""

import argparse
import collections
import glob
import hashlib
import lzma
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time

EXIT_SKIP = 77
EXIT_BOOT = 1
EXIT_UNMOUNTED = 3

# Modules a mount path needs beyond the disks; their own dependencies come
# from modules.dep. JFFS2 is mounted as mtdN, so mtdblock is not needed.
DISK_MODULES = ["virtio_pci", "virtio_blk"]
FS_MODULES = {"jffs2": ["jffs2", "block2mtd"]}
DEFAULT_ERASE = 64 * 1024
# The kernel refuses a JFFS2 of fewer than five erase blocks; erased (0xFF)
# blocks after the image are free space to it.
JFFS2_MIN_BLOCKS = 5
# File systems Debian's kernel leaves out, built from the kernel's own sources
# (linux-source-X.Y, linux-headers-VERSION) with these extra compiler flags.
OUT_OF_TREE = {"cramfs": ["-DCONFIG_CRAMFS_BLOCKDEV=1"]}


class MissingTool(Exception):
    """Something the harness cannot run without (the message names it)."""


class BootError(Exception):
    """The guest did not come up or did not finish its checks."""


# ---- listings -------------------------------------------------------------

_TYPES = [(stat.S_ISDIR, "d"), (stat.S_ISREG, "f"), (stat.S_ISLNK, "l"), (stat.S_ISCHR, "c"),
          (stat.S_ISBLK, "b"), (stat.S_ISFIFO, "p"), (stat.S_ISSOCK, "s")]


def _type_letter(mode):
    for test, letter in _TYPES:
        if test(mode):
            return letter
    return "?"


def format_entry(path, mode, uid, gid, nlink, size=0, md5=None, target=None, rdev=None):
    """One listing line; `mode` is the full st_mode."""
    kind = _type_letter(mode)
    line = "%s\t%s %04o %d:%d n=%d" % (path, kind, stat.S_IMODE(mode), uid, gid, nlink)
    if kind == "f":
        line += " size=%d md5=%s" % (size, md5)
    elif kind == "l":
        line += " -> %s" % target
    elif kind in "cb":
        line += " dev=%d:%d" % rdev
    return line


def host_listing(tree_dir):
    """The listing of a host directory, in the guest's format."""
    lines = []
    for top, dirs, files in os.walk(tree_dir):
        for name in ["."] + dirs + files if top == tree_dir else dirs + files:
            full = os.path.normpath(os.path.join(top, name))
            rel = os.path.relpath(full, tree_dir)
            path = "/" if rel == "." else "/" + rel
            st = os.lstat(full)
            md5 = target = rdev = None
            if stat.S_ISREG(st.st_mode):
                with open(full, "rb") as f:
                    md5 = hashlib.md5(f.read()).hexdigest()
            elif stat.S_ISLNK(st.st_mode):
                target = os.readlink(full)
            elif stat.S_ISCHR(st.st_mode) or stat.S_ISBLK(st.st_mode):
                rdev = (os.major(st.st_rdev), os.minor(st.st_rdev))
            lines.append(format_entry(path, st.st_mode, st.st_uid, st.st_gid, st.st_nlink, st.st_size, md5,
                                      target, rdev))
    return "".join(l + "\n" for l in sorted(lines))


def parse_listing(text):
    """path -> dict(type, mode, uid, gid, nlink, size, md5, target, dev) of a listing."""
    entries = {}
    for line in text.splitlines():
        path, rest = line.split("\t", 1)
        kind, mode, owner, nlink, *extra = rest.split(" ", 4)
        uid, gid = owner.split(":")
        e = {"type": kind, "mode": int(mode, 8), "uid": int(uid), "gid": int(gid), "nlink": int(nlink[2:])}
        tail = extra[0] if extra else ""
        if kind == "l":
            e["target"] = tail[3:]
        elif tail:
            for word in tail.split(" "):
                key, value = word.split("=", 1)
                e[key] = int(value) if key == "size" else value
        entries[path] = e
    return entries


def format_listing(entries):
    """Inverse of parse_listing."""
    lines = []
    for path, e in entries.items():
        mode = {"d": stat.S_IFDIR, "f": stat.S_IFREG, "l": stat.S_IFLNK, "c": stat.S_IFCHR, "b": stat.S_IFBLK,
                "p": stat.S_IFIFO, "s": stat.S_IFSOCK}[e["type"]] | e["mode"]
        rdev = tuple(int(x) for x in e["dev"].split(":")) if "dev" in e else None
        lines.append(format_entry(path, mode, e["uid"], e["gid"], e["nlink"], e.get("size", 0), e.get("md5"),
                                  e.get("target"), rdev))
    return "".join(l + "\n" for l in sorted(lines))


def guest_listing(records):
    """The listing from the guest's raw records of one image (see GUEST_INIT)."""
    stats, md5s, links = {}, {}, {}
    pending_link = None
    for rec in records:
        tag, body = rec[0], rec[2:]
        if tag == "S":
            f = body.split("|", 7)
            stats[f[7]] = f[:7]
        elif tag == "M":
            digest, name = body.split("  ", 1)
            md5s[name] = digest
        elif tag == "L":
            pending_link = body
        elif tag == "T" and pending_link is not None:
            links[pending_link] = body
            pending_link = None
    lines = []
    for name, (rawmode, uid, gid, size, nlink, major, minor) in stats.items():
        path = "/" if name == "." else name[1:]
        mode = int(rawmode, 16)
        lines.append(format_entry(path, mode, int(uid), int(gid), int(nlink), int(size),
                                  md5s.get(name, "unreadable"), links.get(name, "unreadable"),
                                  (int(major, 16), int(minor, 16))))
    return "".join(l + "\n" for l in sorted(lines))


# ---- guest ----------------------------------------------------------------

# The guest's /init. Results go to the second serial port so that kernel
# messages on the console can never interleave with them.
GUEST_INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
dmesg -n 1
exec 3>/dev/ttyS1
say() { echo "$@" >&3; }
for m in $(cat /modules.order); do
  insmod /modules/$m.ko 2>/tmp/err || say "W insmod $m: $(cat /tmp/err)"
done
say "@@KMOUNT BEGIN"

# A loaded host probes the guest's many disks slowly: wait up to 30 s.
disk() {
  i=0
  while [ $i -lt 300 ]; do
    for b in /sys/block/vd*; do
      [ "$(cat $b/serial 2>/dev/null)" = "$1" ] && { echo /dev/${b##*/}; return; }
    done
    sleep 0.1; i=$((i+1))
  done
}

fail() { say "E $*"; dmesg -c | tail -n 8 | sed 's/^/K /' >&3; say "@@IMG $n END"; }

check() {
  n=$1; fs=$2; erase=$3; rw=$4
  say "@@IMG $n BEGIN"
  dmesg -c >/dev/null
  dev=$(disk km$n)
  [ -n "$dev" ] || { fail "no disk with serial km$n"; return; }
  grep -qw "$fs" /proc/filesystems || { fail "the kernel has no $fs file system"; return; }
  src=$dev
  if [ "$fs" = jffs2 ]; then
    echo "$dev,$erase" > /sys/module/block2mtd/parameters/block2mtd 2>/tmp/err ||
      { fail "block2mtd $dev,$erase: $(cat /tmp/err)"; return; }
    src=$(sed -n "s|^\(mtd[0-9]*\):.*\"block2mtd: $dev\"|\1|p" /proc/mtd)
    [ -n "$src" ] || { fail "block2mtd made no mtd device of $dev"; return; }
  fi
  mkdir -p /mnt/$n
  opt=ro; [ "$rw" = 1 ] && opt=rw
  dmesg -c >/dev/null
  mount -t "$fs" -o $opt "$src" /mnt/$n 2>/tmp/err || { fail "mount -t $fs $src: $(cat /tmp/err)"; return; }
  cd /mnt/$n
  {
    find . -exec stat -c 'S %f|%u|%g|%s|%h|%t|%T|%n' {} +
    find . -type f -exec md5sum {} + | sed 's/^/M /'
    find . -type l | while IFS= read -r p; do echo "L $p"; echo "T $(readlink "$p")"; done
  } 2>/tmp/err >&3
  sed 's/^/R /' /tmp/err >&3
  cd /
  # A read-write JFFS2 erases its free blocks in the background; an unmount
  # in the middle interrupts that and the erase fails.
  [ "$rw" = 1 ] && { sync; sleep 2; }
  umount /mnt/$n 2>&1 | sed 's/^/R /' >&3
  # What the driver said while mounting and reading, with its log levels.
  dmesg -c -r | sed 's/^/K /' >&3
  say "@@IMG $n END"
}

. /job.sh
say "@@KMOUNT END"
exec 3>&-
sync
reboot -f
"""


def parse_size(text):
    m = re.fullmatch(r"(\d+)\s*(k|KiB|K|m|MiB|M)?", text)
    if not m:
        raise ValueError("not a size: %s" % text)
    unit = (m.group(2) or "").lower()[:1]
    return int(m.group(1)) * {"": 1, "k": 1024, "m": 1024 * 1024}[unit]


class ImageSpec:
    def __init__(self, path, fstype, erase=DEFAULT_ERASE, rw=False):
        self.path, self.fstype, self.erase, self.rw = path, fstype, erase, rw

    @classmethod
    def parse(cls, text):
        """IMAGE:FSTYPE[:opt=val...]; the image name may itself hold colons."""
        parts = text.split(":")
        i = len(parts) - 1
        while i > 1 and "=" in parts[i]:
            i -= 1
        if i < 1 or not parts[i]:
            raise ValueError("%s: expected IMAGE:FSTYPE[:opt=val...]" % text)
        image = cls(":".join(parts[:i]), parts[i])
        for opt in parts[i + 1:]:
            key, value = opt.split("=", 1)
            if key == "erase":
                image.erase = parse_size(value)
            elif key == "rw":
                image.rw = value not in ("0", "no", "")
            else:
                raise ValueError("%s: unknown option %s" % (text, key))
        return image


class Kernel:
    """The installed kernel: its image, version and module tree."""

    def __init__(self, image=None):
        image = image or os.environ.get("ROMSMITH_KERNEL")
        if not image:
            found = sorted(glob.glob("/boot/vmlinuz-*"), key=os.path.getmtime)
            if not found:
                raise MissingTool("no kernel in /boot (Debian package linux-image-amd64)")
            image = found[-1]
        self.image = image
        self.version = os.path.basename(image).split("-", 1)[1]
        self.moddir = os.environ.get("ROMSMITH_KERNEL_MODULES", "/lib/modules/" + self.version)
        if not os.access(image, os.R_OK):
            raise MissingTool("%s is not readable" % image)
        if not os.path.isfile(os.path.join(self.moddir, "modules.dep")):
            raise MissingTool("no modules of %s in %s" % (self.version, self.moddir))
        self.deps = {}
        with open(os.path.join(self.moddir, "modules.dep")) as f:
            for line in f:
                mod, _, rest = line.partition(":")
                self.deps[mod] = rest.split()
        self.by_name = {self.module_name(p): p for p in self.deps}
        self.builtin = set()
        builtin = os.path.join(self.moddir, "modules.builtin")
        if os.path.exists(builtin):
            with open(builtin) as f:
                self.builtin = {self.module_name(l.strip()) for l in f if l.strip()}

    @staticmethod
    def module_name(path):
        return os.path.basename(path).split(".ko")[0].replace("-", "_")

    def load_order(self, names):
        """Module files for `names`, dependencies first;
        built-in and absent modules are left out (the guest then reports the
        missing file system)."""
        order, seen = [], set()

        def visit(rel):
            if rel in seen:
                return
            seen.add(rel)
            # modules.dep lists indirect dependencies too, nearest first.
            for dep in reversed(self.deps.get(rel, [])):
                visit(dep)
            order.append(os.path.join(self.moddir, rel))

        for name in names:
            name = name.replace("-", "_")
            if name in self.by_name and name not in self.builtin:
                visit(self.by_name[name])
        return order

    def provides(self, name):
        name = name.replace("-", "_")
        return name in self.by_name or name in self.builtin

    def build_module(self, fstype, cache):
        """fs/<fstype> of the matching kernel sources as a module, cached;
        (path, None) or (None, why not)."""
        out = os.path.join(cache, "modules-" + self.version, fstype + ".ko")
        if os.path.exists(out):
            return out, None
        series = ".".join(self.version.split(".")[:2])
        tarball = "/usr/src/linux-source-%s.tar.xz" % series
        build = os.path.join(self.moddir, "build")
        if not os.path.exists(tarball) or not os.path.isdir(build):
            return None, ("the kernel has no %s; installing linux-source-%s and linux-headers-%s builds it" %
                          (fstype, series, self.version))
        with tempfile.TemporaryDirectory() as tmp:
            member = "linux-source-%s/fs/%s" % (series, fstype)
            steps = [["tar", "-xJf", tarball, "-C", tmp, member],
                     ["make", "-s", "-C", build, "M=" + os.path.join(tmp, member),
                      "CONFIG_%s=m" % fstype.upper(), "KCFLAGS=" + " ".join(OUT_OF_TREE[fstype]), "modules"]]
            for step in steps:
                r = subprocess.run(step, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                if r.returncode != 0:
                    return None, "building the %s module failed: %s\n%s" % (
                        fstype, " ".join(step), r.stdout.decode(errors="replace")[-2000:])
            os.makedirs(os.path.dirname(out), exist_ok=True)
            with open(os.path.join(tmp, member, fstype + ".ko"), "rb") as f:
                _write_atomic(out, f.read())
        return out, None

    def bootable(self, cache):
        """The uncompressed ELF kernel (booted through its PVH entry, about
        twice as fast under emulation), cached; the compressed image when it
        cannot be unpacked."""
        st = os.stat(self.image)
        out = os.path.join(cache, "vmlinux-%s-%d-%d" % (self.version, st.st_size, int(st.st_mtime)))
        if os.path.exists(out):
            return out
        with open(self.image, "rb") as f:
            data = f.read()
        at = data.find(b"\xfd7zXZ\x00")
        if at < 0:
            return self.image
        try:
            elf = lzma.LZMADecompressor().decompress(data[at:])
        except lzma.LZMAError:
            return self.image
        if elf[:4] != b"\x7fELF":
            return self.image
        _write_atomic(out, elf)
        return out


def _write_atomic(path, data):
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(path))
    with os.fdopen(fd, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def _is_static(path):
    # An ELF with no PT_INTERP program header needs no loader in the guest.
    with open(path, "rb") as f:
        head = f.read(64)
        if head[:4] != b"\x7fELF" or head[4] != 2:
            return False
        phoff = int.from_bytes(head[32:40], "little")
        phentsize = int.from_bytes(head[54:56], "little")
        phnum = int.from_bytes(head[56:58], "little")
        f.seek(phoff)
        table = f.read(phentsize * phnum)
    return all(int.from_bytes(table[i * phentsize:i * phentsize + 4], "little") != 3 for i in range(phnum))


def find_tools():
    qemu = shutil.which(os.environ.get("ROMSMITH_QEMU", "qemu-system-x86_64"))
    if not qemu:
        raise MissingTool("qemu-system-x86_64 is not installed (Debian package qemu-system-x86)")
    busybox = os.environ.get("ROMSMITH_BUSYBOX", "/bin/busybox")
    if not os.path.exists(busybox) or not _is_static(busybox):
        raise MissingTool("no static busybox at %s (Debian package busybox-static)" % busybox)
    cpio = shutil.which("cpio")
    if not cpio:
        raise MissingTool("cpio is not installed (Debian package cpio)")
    return qemu, busybox, cpio


def default_cache():
    if os.environ.get("ROMSMITH_KMOUNT_CACHE"):
        return os.environ["ROMSMITH_KMOUNT_CACHE"]
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "romsmith-kmount")


def _cpio(cpio, root, out):
    names = []
    for top, dirs, files in os.walk(root):
        for n in dirs + files:
            names.append(os.path.relpath(os.path.join(top, n), root))
    listing = "".join(n + "\n" for n in sorted(names)).encode()
    with open(out, "wb") as f:
        r = subprocess.run([cpio, "-o", "-H", "newc", "-R", "0:0", "--quiet"], cwd=root, input=listing, stdout=f,
                           stderr=subprocess.PIPE)
    if r.returncode != 0:
        raise BootError("cpio failed: " + r.stderr.decode(errors="replace"))


def build_initramfs(kernel, busybox, cpio, modules, cache):
    """The guest's base archive (busybox, /init, modules), cached by content."""
    key = hashlib.sha256()
    for src in modules:
        st = os.stat(src)
        key.update(("%s %d %d\n" % (src, st.st_size, int(st.st_mtime))).encode())
    st = os.stat(busybox)
    key.update(("%s %d %d\n" % (busybox, st.st_size, int(st.st_mtime))).encode())
    key.update(GUEST_INIT.encode())
    out = os.path.join(cache, "initramfs-%s.cpio" % key.hexdigest()[:16])
    if os.path.exists(out):
        return out
    with tempfile.TemporaryDirectory() as root:
        for d in ("bin", "proc", "sys", "dev", "mnt", "tmp", "modules"):
            os.mkdir(os.path.join(root, d))
        shutil.copy(busybox, os.path.join(root, "bin", "busybox"))
        with open(os.path.join(root, "init"), "w") as f:
            f.write(GUEST_INIT)
        os.chmod(os.path.join(root, "init"), 0o755)
        for src in modules:
            dst = os.path.join(root, "modules", Kernel.module_name(src) + ".ko")
            if src.endswith(".xz"):
                with open(src, "rb") as f:
                    _write_atomic(dst, lzma.decompress(f.read()))
            elif src.endswith(".ko"):
                shutil.copy(src, dst)
            else:
                raise BootError("cannot unpack module %s" % src)
        with open(os.path.join(root, "modules.order"), "w") as f:
            f.write("".join(Kernel.module_name(src) + "\n" for src in modules))
        tmp = out + ".%d" % os.getpid()
        _cpio(cpio, root, tmp)
        os.replace(tmp, out)
    return out


def _disk(image, n, work):
    """qemu arguments of image n. A copy is padded to whole erase blocks
    (block2mtd refuses a partial one) or 4 KiB; the image file itself is
    opened read-only or through a snapshot."""
    size = os.path.getsize(image.path)
    jffs2 = image.fstype == "jffs2"
    align = image.erase if jffs2 else 4096
    want = max(-(-size // align) * align, align)
    if jffs2:
        want = max(want, JFFS2_MIN_BLOCKS * image.erase)
    path = image.path
    if want != size:
        path = os.path.join(work, "disk%d.img" % n)
        shutil.copyfile(image.path, path)
        with open(path, "ab") as f:
            f.write((b"\xff" if jffs2 else b"\0") * (want - size))
    # block2mtd opens its device for writing even for a read-only mount.
    writable = image.rw or image.fstype == "jffs2"
    access = "snapshot=on" if writable else "readonly=on"
    return ["-drive", "if=none,id=d%d,format=raw,file=%s,%s" % (n, path.replace(",", ",,"), access),
            "-device", "virtio-blk-pci,drive=d%d,serial=km%d" % (n, n)]


def run(images, out_dir, timeout=300, cache=None, log=sys.stderr):
    """Boots once for all `images` and writes out_dir/<n>.list or <n>.err.
    Returns {n: Result}. Raises MissingTool, or
    BootError when the guest did not report back."""
    qemu, busybox, cpio = find_tools()
    kernel = Kernel()
    cache = cache or default_cache()
    os.makedirs(cache, exist_ok=True)
    os.makedirs(out_dir, exist_ok=True)
    names, built, notes = list(DISK_MODULES), [], {}
    for image in images:
        if not os.path.isfile(image.path):
            raise ValueError("%s: no such image file" % image.path)
        names += FS_MODULES.get(image.fstype, [image.fstype])
        if image.fstype in OUT_OF_TREE and not kernel.provides(image.fstype) and image.fstype not in notes:
            ko, why = kernel.build_module(image.fstype, cache)
            if ko and ko not in built:
                built.append(ko)
            notes[image.fstype] = why
    modules = kernel.load_order(names) + built
    vmlinux = kernel.bootable(cache)
    base = build_initramfs(kernel, busybox, cpio, modules, cache)

    with tempfile.TemporaryDirectory(prefix="kmount") as work:
        job = os.path.join(work, "job")
        os.mkdir(job)
        with open(os.path.join(job, "job.sh"), "w") as f:
            for n, image in enumerate(images, 1):
                f.write("check %d %s %d %d\n" % (n, image.fstype, image.erase, 1 if image.rw else 0))
        # The per-run job rides in a second archive appended to the cached one.
        initrd = os.path.join(work, "initrd.cpio")
        _cpio(cpio, job, os.path.join(work, "job.cpio"))
        with open(initrd, "wb") as out:
            for part in (base, os.path.join(work, "job.cpio")):
                with open(part, "rb") as f:
                    shutil.copyfileobj(f, out)
        console = os.path.join(out_dir, "console.log")
        data = os.path.join(work, "data.txt")
        cmd = [qemu, "-machine", "pc", "-accel", "tcg", "-cpu", "max", "-m", "256", "-smp", "1", "-nodefaults",
               "-nographic", "-no-reboot", "-monitor", "none", "-serial", "file:" + console, "-serial",
               "file:" + data, "-kernel", vmlinux, "-initrd", initrd, "-append",
               "console=ttyS0 panic=-1 quiet rdinit=/init mitigations=off"]
        for n, image in enumerate(images, 1):
            cmd += _disk(image, n, work)
        started = time.monotonic()
        try:
            r = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               timeout=timeout)
            qemu_out = r.stdout.decode(errors="replace")
        except subprocess.TimeoutExpired:
            qemu_out = "qemu stopped after %d s" % timeout
        elapsed = time.monotonic() - started
        text = open(data, errors="replace").read() if os.path.exists(data) else ""
    print("kmount: boot and checks of %d image(s) took %.1f s" % (len(images), elapsed), file=log)
    return _split(text, images, notes, out_dir, qemu_out, console)


class Result(collections.namedtuple("Result", "kind body complaints")):
    """kind "list" (body: the listing) or "err" (body: why not mounted);
    complaints: read errors and kernel warnings or worse while it was read."""


def _complaints(records):
    found = [r[2:] for r in records if r.startswith("R ")]
    for r in records:
        m = re.match(r"K <(\d+)>(.*)", r)
        if m and int(m.group(1)) & 7 <= 4:
            found.append(m.group(2).strip())
    return found


def _split(text, images, notes, out_dir, qemu_out, console):
    lines = text.replace("\r", "").split("\n")
    if "@@KMOUNT BEGIN" not in lines:
        tail = open(console, errors="replace").read()[-3000:] if os.path.exists(console) else ""
        raise BootError("the guest did not start its checks\n%s%s" % (qemu_out, tail))
    results, current, records = {}, None, []
    for line in lines:
        if line.startswith("@@IMG "):
            n, what = line.split()[1:3]
            if what == "BEGIN":
                current, records = int(n), []
            elif current is not None:
                errors = [r[2:] for r in records if r.startswith("E ")]
                if errors:
                    note = notes.get(images[current - 1].fstype) if 0 < current <= len(images) else None
                    detail = "\n".join([errors[0]] + ([note] if note else []) +
                                       [r[2:] for r in records if r.startswith("K ")])
                    results[current] = Result("err", detail + "\n", [])
                else:
                    results[current] = Result("list", guest_listing(records), _complaints(records))
                current = None
        elif current is not None and line:
            records.append(line)
        elif line.startswith("W "):
            print("kmount: guest: " + line[2:], file=sys.stderr)
    finished = "@@KMOUNT END" in lines
    for n in range(1, len(images) + 1):
        if n not in results:
            results[n] = Result("err", "no result: the guest stopped before this image\n", [])
        for old in ("list", "err", "complaints"):
            if os.path.exists(os.path.join(out_dir, "%d.%s" % (n, old))):
                os.remove(os.path.join(out_dir, "%d.%s" % (n, old)))
        kind, body, complaints = results[n]
        with open(os.path.join(out_dir, "%d.%s" % (n, kind)), "w") as f:
            f.write(body)
        if complaints:
            with open(os.path.join(out_dir, "%d.complaints" % n), "w") as f:
                f.write("".join(c + "\n" for c in complaints))
    if not finished:
        raise BootError("the guest stopped before it checked every image (see %s)" % console)
    return results


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", required=True, help="directory for <n>.list / <n>.err")
    ap.add_argument("--timeout", type=int, default=300, help="seconds before the guest is stopped")
    ap.add_argument("--cache", help="where the unpacked kernel and the initramfs are kept")
    ap.add_argument("images", nargs="+", metavar="IMAGE:FSTYPE[:opt=val...]")
    args = ap.parse_args(argv)
    try:
        images = [ImageSpec.parse(s) for s in args.images]
        results = run(images, args.out, args.timeout, args.cache)
    except MissingTool as e:
        print("kmount: skipped: %s" % e, file=sys.stderr)
        return EXIT_SKIP
    except ValueError as e:
        print("kmount: %s" % e, file=sys.stderr)
        return 2
    except BootError as e:
        print("kmount: %s" % e, file=sys.stderr)
        return EXIT_BOOT
    bad = 0
    for n, (kind, body, complaints) in sorted(results.items()):
        if kind == "err":
            bad += 1
            print("kmount: %s: %s" % (images[n - 1].path, body.splitlines()[0]), file=sys.stderr)
        for c in complaints:
            print("kmount: %s: %s" % (images[n - 1].path, c), file=sys.stderr)
        bad += 1 if complaints else 0
    return EXIT_UNMOUNTED if bad else 0


if __name__ == "__main__":
    sys.exit(main())
