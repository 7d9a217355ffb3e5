#!/usr/bin/env python3
"""Seeded mutation campaign through the real program (driven by scripts/mutate.sh).

Every mutant is made from (seed, index) alone, so one mutant can be made again
without the others: `--seed S --only INDEX`. Mutant i goes to reader
READERS[i % len(READERS)]; each runs in a scratch directory of its own, under a
time and memory limit, and is classified (worst step wins):

  success   every step ended normally
  refused   a step failed with a message (non-zero status, or a session that
            reported an error and still reached its end)
  message-less  a step failed and said nothing, or a session stopped early
  timeout   a step ran past the time limit
  crash     a signal (status 129-192 from timeout), a sanitizer report, or status 128
  escape    a file appeared outside the run area
"""
import argparse
import os
import random
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

CLASSES = ["success", "refused", "message-less", "timeout", "crash", "escape"]
FAILING = {"message-less", "timeout", "crash", "escape"}
SEVERITY = {c: i for i, c in enumerate(CLASSES)}

# Fixed layout of every flash image here: the table, then the file systems.
TABLE_AT = 0x10000
ROOT_AT = 0x20000
ROOT_TOTAL = 0x80000
DATA_AT = ROOT_AT + ROOT_TOTAL
DATA_TOTAL = 0x80000

CONF_HEAD = """table_version 4
block_size 0x10000
table_enable true
write_protect false
crc32 true
zlibmode false
BOOT  boot.bin true  RAW ro 0 1 0x0 0x10000
TABLE NULL     false RAW ro 0 0 0x10000 0x10000
"""

# The session every image goes through: read everything, edit, write.
# The squashfs 3.x base (made in code) holds another tree than the others.
PATHS = {"squashfs3": ("hello.txt", "link", "")}


def session(kind="cramfs"):
    f, link, d = PATHS.get(kind, ("etc/issue", "etc/motd", "etc/"))
    return ("open img.bin\nls\nls ROOT\nls DATA\ncat ROOT/%s\ndump out\nrm ROOT/%s\nadd ROOT/%sadded add.txt\n"
            "mkdir DATA/newdir\nsave saved.bin\nhelp cat\nquit\n" % (f, link, d))


SESSION = session()
DB_SESSION = ("open img.bin\ndbcopy dbout\ndb2def dbout2 def.bin\ndbtodef\nlocaldbtodef data\n"
              "save saved.bin\nhelp cat\nquit\n")
SESSION_END = "\tcat <filename>\n"


def conf_for(root=None, root_type=None, data=None):
    text = CONF_HEAD
    if root:
        text += "ROOT  %s true %s ro 1 5 0x%x 0x%x\n" % (root, root_type, ROOT_AT, ROOT_TOTAL)
    if data:
        text += "DATA  %s true MINIFS rw 0 0 0x%x 0x%x\n" % (data, DATA_AT, DATA_TOTAL)
    return text


def pseudo(n, seed):
    r = random.Random(seed)
    return bytes(r.getrandbits(8) for _ in range(n))


# --------------------------------------------------------------------------
# Mutations


class Mutator:
    EXTREMES = [0, 1, 0x7F, 0x80, 0xFF, 0x7FFF, 0x8000, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000,
                0xFFFFFFFE, 0xFFFFFFFF]

    def __init__(self, rng, data, hot):
        self.r = rng
        self.b = bytearray(data)
        self.hot = [(a, n) for a, n in hot if a < len(data)]  # (offset, length) of headers and tables

    def where(self):
        if not self.b:
            return 0
        if self.hot and self.r.random() < 0.75:
            a, n = self.r.choice(self.hot)
            return min(a + self.r.randrange(max(1, n)), len(self.b) - 1)
        return self.r.randrange(len(self.b))

    def flip(self):
        for _ in range(self.r.randint(1, 8)):
            if self.b:
                self.b[self.where()] ^= 1 << self.r.randrange(8)

    def random_bytes(self):
        at = self.where()
        for k in range(self.r.randint(1, 16)):
            if at + k < len(self.b):
                self.b[at + k] = self.r.getrandbits(8)

    def truncate(self):
        if self.hot and self.r.random() < 0.3:
            a, n = self.r.choice(self.hot)
            cut = a + self.r.randrange(n + 1)
        else:
            cut = self.r.randrange(len(self.b) + 1)
        del self.b[cut:]

    def extend(self):
        n = self.r.choice([1, 3, 512, 4096, 65536, self.r.randint(1, 100000)])
        fill = self.r.choice([b"\0", b"\xff", None])
        self.b += fill * n if fill else bytes(self.r.getrandbits(8) for _ in range(min(n, 4096))) * (n // 4096 + 1)

    def extreme(self):
        width = self.r.choice([2, 4, 4, 4, 8])
        at = self.where() & ~(min(width, 4) - 1)
        v = self.r.choice(self.EXTREMES + [len(self.b), len(self.b) + self.r.randrange(0x100000),
                                           self.r.randrange(1 << 32)])
        v &= (1 << (8 * width)) - 1
        fmt = {2: "H", 4: "I", 8: "Q"}[width]
        raw = struct.pack(("<" if self.r.random() < 0.5 else ">") + fmt, v)
        self.b[at:at + width] = raw[:max(0, len(self.b) - at)]

    def block_copy(self):
        if len(self.b) < 2:
            return
        n = self.r.choice([4, 16, 64, 512, 4096])
        src = self.r.randrange(len(self.b))
        block = self.b[src:src + n]
        dst = self.where()
        if self.r.random() < 0.7:
            self.b[dst:dst + len(block)] = block  # overwrite
        else:
            self.b[dst:dst] = block  # insert: everything after shifts

    def wipe(self):
        at, v = self.where(), self.r.choice([0, 0xFF])
        for k in range(self.r.randint(1, 256)):
            if at + k < len(self.b):
                self.b[at + k] = v

    OPS = ["flip", "random_bytes", "truncate", "extend", "extreme", "block_copy", "wipe"]

    def run(self):
        if self.r is None:  # the unmutated input, as a check of the campaign itself
            return bytes(self.b), "pristine"
        ops = [self.r.choice(self.OPS) for _ in range(self.r.choice([1, 1, 1, 2, 3]))]
        for op in ops:
            getattr(self, op)()
        return bytes(self.b), "+".join(ops)


def mutate_conf(rng, text):
    """Text-aware for half of the mutants: numbers at extremes, fields dropped or repeated."""
    if rng is None or rng.random() < 0.5:
        return Mutator(rng, text.encode(), [(0, len(text))]).run()
    lines = text.splitlines()
    i = rng.randrange(len(lines))
    words = lines[i].split()
    how = rng.choice(["number", "number", "drop", "repeat", "word"])
    if how == "number":
        nums = [k for k, w in enumerate(words) if w[:1].isdigit()]
        if nums:
            words[rng.choice(nums)] = rng.choice(["0", "1", "-1", "0xFFFFFFFF", "0x100000000", "4G", "0x7FFFFFFF",
                                                  "99999999999999999999", "0x0", "65535", "1M", "0xFFFF0000"])
        lines[i] = " ".join(words)
    elif how == "drop":
        if words:
            del words[rng.randrange(len(words))]
        lines[i] = " ".join(words)
    elif how == "repeat":
        lines.insert(i, lines[i])
    else:
        if words:
            words[rng.randrange(len(words))] = rng.choice(["RAW", "CRAMFS", "SQUASHFS", "MINIFS", "TABLE", "NULL",
                                                           "../up.bin", "/etc/x", "", "true", "rw", "x" * 300])
        lines[i] = " ".join(words)
    return ("\n".join(lines) + "\n").encode(), "conf-" + how


# --------------------------------------------------------------------------
# Readers: each makes the input files of one mutant and the steps that run them.
# A step is (arguments, standard input or None); a session is a step with input.


class Bases:
    def __init__(self, prog, seeds, work, src):
        self.work = work
        os.makedirs(work, exist_ok=True)
        tree = os.path.join(work, "tree")
        for d in ["etc/init.d", "bin", "dvb/theme/language"]:
            os.makedirs(os.path.join(tree, d), exist_ok=True)
        put = lambda p, b: open(os.path.join(tree, p), "wb").write(b)
        put("etc/issue", b"campaign\n")
        put("etc/init.d/rcS", b"#!/bin/sh\necho up\n")
        put("bin/prog", pseudo(20000, 7))  # crosses pages and blocks, does not compress
        put("etc/big.txt", bytes(ord("a") + i % 23 for i in range(9000)))
        put("dvb/theme/language/language", b"eng\nfre\n")
        os.symlink("issue", os.path.join(tree, "etc/motd"))
        self.boot = pseudo(0x800, 3)
        self.add = b"added by the campaign\n"

        def make(args):
            r = subprocess.run([prog] + args, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            return r.returncode == 0

        self.fs = {}
        make(["mkcramfs", "tree", "root.cramfs"])
        make(["mkminifs", "tree", "data.minifs", "0x80000"])
        self.fs["cramfs"] = self._read("root.cramfs")
        self.fs["minifs"] = self._read("data.minifs")
        if make(["mkromfs", "-V", "campaign", "tree", "root.romfs"]):
            self.fs["romfs"] = self._read("root.romfs")
        if make(["mkjffs2", "-e", "16KiB", "tree", "root.jffs2"]):
            self.fs["jffs2"] = self._read("root.jffs2")
        if shutil.which("mksquashfs"):
            subprocess.run(["mksquashfs", "tree", "sq4.img", "-noappend", "-comp", "xz", "-quiet"], cwd=work,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.fs["squashfs"] = self._read("sq4.img")
        self.fs["squashfs3"] = open(os.path.join(seeds, "fuzz_squashfs_load", "v3-lzma"), "rb").read()
        self.dbs = {n: open(os.path.join(seeds, "fuzz_minidb_open", n), "rb").read()
                    for n in ["sat.db", "tp.db", "prog.db"]}
        for n in ["root.cramfs", "data.minifs"]:
            if not self.fs.get(n.split(".")[1]):
                raise SystemExit("mutate: %s could not make %s" % (prog, n))
        # Whole flash images, one per kind of ROOT, and a merge file of one.
        with open(os.path.join(work, "boot.bin"), "wb") as f:
            f.write(self.boot)
        self.images = {}
        for kind, name, t in [("cramfs", "root.cramfs", "CRAMFS"), ("squashfs", "sq4.img", "SQUASHFS"),
                              ("squashfs3", "sq3.img", "SQUASHFS"), ("romfs", "root.romfs", "ROMFS")]:
            if kind not in self.fs:
                continue
            with open(os.path.join(work, name), "wb") as f:
                f.write(self.fs[kind])
            with open(os.path.join(work, kind + ".conf"), "w") as f:
                f.write(conf_for(name, t, "data.minifs"))
            if make(["mkflash", kind + ".conf", kind + ".bin"]):
                self.images[kind] = self._read(kind + ".bin")
        if "cramfs" not in self.images:
            raise SystemExit("mutate: mkflash of the base image failed")
        make(["merge", "cramfs.conf", "base"])
        self.merge = self._read("base.merge")
        self.conf = conf_for("root.cramfs", "CRAMFS", "data.minifs")

    def _read(self, name):
        with open(os.path.join(self.work, name), "rb") as f:
            return f.read()


def session_files(b):
    return {"add.txt": b.add}


def image_reader(kind):
    def make(b, rng):
        hot = [(TABLE_AT, 3072), (ROOT_AT, 1024), (DATA_AT, 2048), (0, 64)]
        data, how = Mutator(rng, b.images[kind], hot).run()
        files = session_files(b)
        files["img.bin"] = data
        return files, [(None, session(kind))], how

    return make


def fs_reader(kind):
    # A bare file system built into an image by a conf: mkflash reads it first,
    # then the session opens what mkflash wrote.
    def make(b, rng):
        data, how = Mutator(rng, b.fs[kind], [(0, 1024)]).run()
        files = session_files(b)
        files["boot.bin"] = b.boot
        if kind == "minifs":
            files["fs.img"] = data
            files["root.cramfs"] = b.fs["cramfs"]
            files["flash.conf"] = conf_for("root.cramfs", "CRAMFS", "fs.img").encode()
        else:
            files["fs.img"] = data
            files["data.minifs"] = b.fs["minifs"]
            files["flash.conf"] = conf_for("fs.img", {"cramfs": "CRAMFS", "romfs": "ROMFS", "jffs2": "JFFS2"}.get(kind, "SQUASHFS"),
                                           "data.minifs").encode()
        return files, [(["mkflash", "flash.conf", "img.bin"], None), (None, session(kind))], how

    return make


def table_reader(b, rng):
    data, how = Mutator(rng, b.images["cramfs"], [(TABLE_AT, 3072)]).run()
    files = session_files(b)
    files["img.bin"] = data
    # The session loads it fully; release and unrelease take the simple loader.
    return files, [(None, SESSION), (["release", "img.bin", "rel-1"], None), (["unrelease", "img.bin"], None)], how


def merge_reader(b, rng):
    data, how = Mutator(rng, b.merge, [(0, 1400)]).run()
    return {"in.merge": data}, [(["split", "in.merge", "parts"], None)], how


def conf_reader(b, rng):
    data, how = mutate_conf(rng, b.conf)
    files = {"flash.conf": data, "boot.bin": b.boot, "root.cramfs": b.fs["cramfs"], "data.minifs": b.fs["minifs"]}
    return files, [(["mkflash", "flash.conf", "img.bin"], None), (["merge", "flash.conf", "out"], None)], how


def minidb_reader(b, rng):
    name = rng.choice(sorted(b.dbs)) if rng else "prog.db"
    data, how = Mutator(rng, b.dbs[name], [(0, 256)]).run()
    files = session_files(b)
    files["boot.bin"] = b.boot
    files["root.cramfs"] = b.fs["cramfs"]
    files["flash.conf"] = conf_for("root.cramfs", "CRAMFS", "data.minifs").encode()
    for n, v in b.dbs.items():
        files["data/" + n] = data if n == name else v
    files["dbout/.keep"] = files["dbout2/.keep"] = b""
    steps = [(["mkminifs", "data", "data.minifs", "0x80000"], None), (["mkflash", "flash.conf", "img.bin"], None),
             (None, DB_SESSION)]
    return files, steps, name + ":" + how


def readers(b):
    out = {}
    for k in ["cramfs", "squashfs", "squashfs3", "romfs"]:
        if k in b.images:
            out["flash-" + k] = image_reader(k)
    for k in ["cramfs", "minifs", "squashfs", "squashfs3", "romfs", "jffs2"]:
        if k in b.fs:
            out[k] = fs_reader(k)
    out["table"] = table_reader
    out["merge"] = merge_reader
    out["conf"] = conf_reader
    out["minidb"] = minidb_reader
    return out


# --------------------------------------------------------------------------
# Running and classifying


def write_files(root, files):
    for name, data in files.items():
        p = os.path.join(root, name)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)


def wrapper(opts):
    """The shell prefix every step runs under: limits, then the program."""
    # 1 GiB of output at most (dash counts 512-byte blocks): a runaway writer must not fill the disk.
    lim = "ulimit -f %d; " % (1 << 21)
    if not opts.asan:
        lim += "ulimit -v %d; " % (opts.mem * 1024)  # ASan reserves far more address space than it uses
    return lim + "exec timeout -k 2 %d \"$@\"" % opts.secs


def env_for(opts):
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = "detect_leaks=0:allocator_may_return_null=1:hard_rss_limit_mb=%d" % opts.mem
    env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    return env


def classify_step(rc, out, err, session):
    text = out + err
    if "Sanitizer" in err or "runtime error:" in err:
        return "crash", "sanitizer report"
    if rc in (124, 137):
        return "timeout", "ran past the time limit"
    # 129-192 is how timeout and the shell report a death by signal 1-64; a
    # status above that is the program's own exit (exit(-2) reads as 254).
    if rc < 0 or 128 <= rc <= 192:
        return "crash", "signal %d" % (rc - 128 if rc > 0 else -rc)
    said = text.replace(">>", "").strip()
    if session:
        if rc != 0:
            return ("refused", "status %d" % rc) if said else ("message-less", "status %d, nothing said" % rc)
        if SESSION_END not in out:
            return "message-less", "the session ended before quit"
        low = text.lower()
        if any(w in low for w in ("error", "fail", "cannot", "not ", "invalid", "no such", "bad ")):
            return "refused", "a command reported an error"
        return "success", ""
    if rc == 0:
        return "success", ""
    return ("refused", "status %d" % rc) if said else ("message-less", "status %d, nothing said" % rc)


def escapes(top, area):
    """Paths under `top` that lie outside `area` (the run directory), and files
    inside `area` that resolve outside it (written through a link)."""
    found = []
    real_area = os.path.realpath(area)
    for dirpath, dirnames, filenames in os.walk(top):
        for n in dirnames + filenames:
            p = os.path.join(dirpath, n)
            rp = os.path.realpath(p) if not os.path.islink(p) else os.path.realpath(os.path.dirname(p))
            inside = os.path.commonpath([real_area, rp]) == real_area
            if not inside and not real_area.startswith(os.path.realpath(p) + os.sep):
                found.append(os.path.relpath(p, top))
        dirnames[:] = [d for d in dirnames if not os.path.islink(os.path.join(dirpath, d))]
    return found


def replay_script(opts, reader, index, steps, cls, why, how):
    q = lambda s: "'" + s.replace("'", "'\\''") + "'"
    lines = ["#!/bin/sh", "# reader %s, mutant %d of seed %d (%s): %s, %s" % (reader, index, opts.seed, how, cls, why),
             "# Runs in a fresh copy of in/; ROMSMITH names another program (an ASan build's, say).",
             "P=${ROMSMITH:-%s}" % q(opts.program), 'd=$(mktemp -d)', 'cp -a "$(dirname "$0")/in/." "$d/"',
             'cd "$d" && echo "in $d"']
    for args, stdin in steps:
        if stdin is None:
            lines.append('"$P" %s; echo "status $?"' % " ".join(q(a) for a in args))
        else:
            lines.append('printf %%s %s | "$P"; echo "status $?"' % q(stdin))
    return "\n".join(lines) + "\n"


def run_one(opts, b, rd, names, index, counts, lock, failures):
    if index < 0:  # the unmutated input of reader -1 - index
        reader, rng = names[-1 - index], None
    else:
        reader, rng = names[index % len(names)], random.Random("%d:%d" % (opts.seed, index))
    files, steps, how = rd[reader](b, rng)
    top = os.path.join(opts.scratch, "m%d" % index if index >= 0 else "p%d" % -index)
    area = os.path.join(top, "a", "b", "run")  # escapes upwards land in top, a or b
    os.makedirs(area)
    write_files(area, files)
    cls, why, log = "success", "", []
    for args, stdin in steps:
        if stdin is not None and not os.path.exists(os.path.join(area, "img.bin")):
            continue  # the build before it refused: nothing to open
        cmd = ["sh", "-c", wrapper(opts), "sh", opts.program] + (args or [])
        try:
            r = subprocess.run(cmd, cwd=area, input=(stdin or "").encode(), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=opts.env, timeout=opts.secs + 30)
            rc, out, err = r.returncode, r.stdout.decode("latin-1"), r.stderr.decode("latin-1")
        except subprocess.TimeoutExpired as e:
            rc, out, err = 124, (e.stdout or b"").decode("latin-1"), (e.stderr or b"").decode("latin-1")
        c, w = classify_step(rc, out, err, stdin is not None)
        log.append("$ %s\n--- status %d: %s %s\n--- stdout (tail)\n%s\n--- stderr\n%s\n" % (
            " ".join(args) if args else "session", rc, c, w, out[-3000:], err[:6000]))
        if SEVERITY[c] > SEVERITY[cls]:
            cls, why = c, ("%s: %s" % (args[0] if args else "session", w))
    out_of_area = escapes(top, area)
    if out_of_area:
        cls, why = "escape", "outside the run area: " + ", ".join(out_of_area[:5])
    if (cls in FAILING or opts.keep_all or index < 0 and cls != "success") and opts.keep:
        kd = os.path.join(opts.keep, "%s-%d" % (reader, index))
        shutil.rmtree(kd, ignore_errors=True)
        write_files(os.path.join(kd, "in"), files)
        with open(os.path.join(kd, "replay.sh"), "w") as f:
            f.write(replay_script(opts, reader, index, steps, cls, why, how))
        os.chmod(os.path.join(kd, "replay.sh"), 0o755)
        with open(os.path.join(kd, "log.txt"), "w") as f:
            f.write("".join(log))
    shutil.rmtree(top, ignore_errors=True)
    if index < 0:
        return cls, why
    with lock:
        counts.setdefault(reader, {c: 0 for c in CLASSES})[cls] += 1
        if cls in FAILING:
            failures.append((reader, index, cls, why, how))
            print("%-14s mutant %-7d %-12s %s [%s]" % (reader, index, cls, why, how), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--program", required=True)
    ap.add_argument("--seeds", required=True, help="the directory fuzz_seeds wrote")
    ap.add_argument("--src", default=".")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=100000)
    ap.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--keep", default="")
    ap.add_argument("--keep-all", action="store_true", help="keep every mutant, not just the failing ones")
    ap.add_argument("--secs", type=int, default=20, help="time limit of one step")
    ap.add_argument("--mem", type=int, default=2048, help="memory limit of one step, MiB")
    ap.add_argument("--asan", action="store_true", help="the program is a sanitizer build")
    ap.add_argument("--readers", default="", help="comma-separated subset")
    ap.add_argument("--only", type=int, default=-1, help="just this mutant index")
    ap.add_argument("--work", default="", help="scratch directory (default: a new one under TMPDIR)")
    opts = ap.parse_args()
    opts.program = os.path.abspath(opts.program)
    opts.env = env_for(opts)
    if opts.keep:
        opts.keep = os.path.abspath(opts.keep)
        os.makedirs(opts.keep, exist_ok=True)
    own = not opts.work
    work = tempfile.mkdtemp(prefix="rs_mutate_") if own else os.path.abspath(opts.work)
    try:
        b = Bases(opts.program, os.path.abspath(opts.seeds), os.path.join(work, "base"), opts.src)
        rd = readers(b)
        names = sorted(rd)
        if opts.readers:
            want = opts.readers.split(",")
            missing = [w for w in want if w not in rd]
            if missing:
                raise SystemExit("mutate: no reader %s (there are: %s)" % (", ".join(missing), ", ".join(names)))
            names = [n for n in names if n in want]
        skipped = [k for k in ["flash-squashfs", "squashfs"] if k not in rd]
        if skipped:
            print("mutate: no mksquashfs, no squashfs 4.0 base: %s skipped" % ", ".join(skipped))
        opts.scratch = os.path.join(work, "runs")
        os.makedirs(opts.scratch, exist_ok=True)
        counts, failures, lock = {}, [], threading.Lock()
        # Every reader's unmutated input must go through cleanly, or the
        # campaign measures its own set-up rather than the readers.
        for k in range(len(names)):
            cls, why = run_one(opts, b, rd, names, -1 - k, counts, lock, failures)
            if cls != "success":
                raise SystemExit("mutate: the unmutated %s input is %s (%s)" % (names[k], cls, why))
        indices = [opts.only] if opts.only >= 0 else range(opts.count)
        t0 = time.time()
        print("mutate: seed %d, %d mutants over %d readers, %d jobs, %s" % (
            opts.seed, len(indices), len(names), opts.jobs, opts.program), flush=True)
        with ThreadPoolExecutor(max_workers=max(1, opts.jobs)) as pool:
            futs = [pool.submit(run_one, opts, b, rd, names, i, counts, lock, failures) for i in indices]
            for f in futs:
                f.result()  # a fault of the campaign itself ends it
        print("\n%-14s %s" % ("reader", " ".join("%12s" % c for c in CLASSES)))
        total = {c: 0 for c in CLASSES}
        for n in names:
            if n in counts:
                print("%-14s %s" % (n, " ".join("%12d" % counts[n][c] for c in CLASSES)))
                for c in CLASSES:
                    total[c] += counts[n][c]
        print("%-14s %s" % ("all", " ".join("%12d" % total[c] for c in CLASSES)))
        print("%d mutants in %.0f s" % (sum(total.values()), time.time() - t0))
        if failures and opts.keep:
            print("failing mutants kept in %s; replay one with %s/<reader>-<index>/replay.sh" % (opts.keep, opts.keep))
        bad = total["crash"] + total["timeout"] + total["escape"]
        if bad:
            print("FAILED: %d crashes, %d timeouts, %d escapes" % (total["crash"], total["timeout"], total["escape"]))
        return 1 if bad else 0
    finally:
        if own:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
