#!/usr/bin/env python3
"""The mutation campaign (fuzz/mutate.py) itself: that it sees a crash, a
timeout and an escape when the program has one, that it is reproducible, and
a short real run. Needs ROMSMITH_BIN and FUZZ_SEEDS (the programs) in the
environment; ctest sets them."""
import os
import random
import subprocess
import sys
import tempfile
import unittest

SRC = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SRC, "fuzz"))
import mutate  # noqa: E402

PROG = os.environ.get("ROMSMITH_BIN", os.path.join(SRC, "build", "romsmith"))
SEEDS_BIN = os.environ.get("FUZZ_SEEDS", os.path.join(SRC, "build", "fuzz", "fuzz_seeds"))


class Classes(unittest.TestCase):
    def test_steps(self):
        end = mutate.SESSION_END
        cases = [
            ((0, "ok\n", "", False), "success"),
            ((1, "", "error: bad table\n", False), "refused"),
            ((1, ">> \n", "", False), "message-less"),
            ((0, ">> " + end, "", True), "success"),
            ((0, ">> cramfs_load_memory error.\n" + end, "", True), "refused"),
            ((0, ">> >> ", "", True), "message-less"),  # the session died quietly mid-way
            ((124, "", "", False), "timeout"),
            ((137, "", "", True), "timeout"),
            ((-11, "", "", False), "crash"),
            ((139, "", "", False), "crash"),
            ((254, "error: image_merge(58) errno(No such file or directory)\n", "", False), "refused"),  # exit(-2)
            ((254, "", "", False), "message-less"),
            ((134, "", "terminate called after throwing an instance of 'std::bad_alloc'", False), "crash"),
            ((1, "", "==1==ERROR: AddressSanitizer: heap-buffer-overflow", False), "crash"),
            ((0, end, "x.cpp:3:5: runtime error: load of null pointer", True), "crash"),
        ]
        for args, want in cases:
            with self.subTest(args=args):
                self.assertEqual(mutate.classify_step(*args)[0], want)

    def test_escapes(self):
        with tempfile.TemporaryDirectory() as top:
            area = os.path.join(top, "a", "b", "run")
            os.makedirs(os.path.join(area, "out", "ROOT"))
            open(os.path.join(area, "out", "ROOT", "file"), "w").close()
            os.symlink("/etc/passwd", os.path.join(area, "out", "ROOT", "abs-link"))  # a dumped link is no escape
            os.symlink("../../..", os.path.join(area, "out", "up"))
            self.assertEqual(mutate.escapes(top, area), [])
            open(os.path.join(top, "a", "b", "escaped"), "w").close()
            os.makedirs(os.path.join(top, "x"))
            self.assertEqual(sorted(mutate.escapes(top, area)), ["a/b/escaped", "x"])

    def test_mutants_are_reproducible_and_differ(self):
        base = bytes(range(256)) * 64
        made = lambda s: mutate.Mutator(random.Random(s), base, [(0, 512)]).run()
        self.assertEqual(made("5:17"), made("5:17"))
        outs = [made("5:%d" % i)[0] for i in range(200)]
        self.assertGreater(len(set(outs)), 180)
        # A mutation that changes nothing (a copy onto itself) wastes a run; few may.
        self.assertLess(sum(o == base for o in outs), 10)


# A sanitizer build cannot run under the address-space limit of the normal one.
ASAN = ["--asan"] if os.environ.get("MUTATE_ASAN") == "1" else []


def campaign(tmp, *extra, program=PROG):
    seeds = os.path.join(tmp, "seeds")
    if not os.path.isdir(seeds):
        subprocess.run([SEEDS_BIN, seeds, SRC], check=True, stdout=subprocess.DEVNULL)
    return subprocess.run([sys.executable, os.path.join(SRC, "fuzz", "mutate.py"), "--program", program,
                           "--seeds", seeds, "--keep", os.path.join(tmp, "keep")] + ASAN + list(extra),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


@unittest.skipUnless(os.access(PROG, os.X_OK) and os.access(SEEDS_BIN, os.X_OK), "no program or seed writer")
class Campaign(unittest.TestCase):
    def test_short_run_of_every_reader(self):
        # Through the script, as `make fuzz-long` runs it; its scratch goes under TMPDIR.
        with tempfile.TemporaryDirectory() as tmp:
            env = dict(os.environ, TMPDIR=tmp)
            r = subprocess.run([os.path.join(SRC, "scripts", "mutate.sh"), "--build", os.path.dirname(PROG), "--keep",
                                os.path.join(tmp, "keep"), "--count", "55", "-j", "2", "--seed", "3", "--secs", "60"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
            self.assertEqual(r.returncode, 0, r.stdout)
            total = [l for l in r.stdout.splitlines() if l.startswith("all ")]
            self.assertEqual(sum(int(n) for n in total[0].split()[1:]), 55, r.stdout)
            for reader in ["flash-cramfs", "cramfs", "minifs", "squashfs3", "table", "merge", "conf", "minidb"]:
                self.assertRegex(r.stdout, r"\n%s +[0-9]" % reader)
            self.assertEqual([n for n in os.listdir(tmp) if n != "keep"], [])  # scratch and seeds removed

    def test_faults_of_the_program_are_caught_and_kept(self):
        # The real program, except that `split` misbehaves after its first call
        # (the unmutated check); one fake per fault.
        faults = {
            "crash": 'kill -SEGV $$',
            "timeout": 'exec sleep 30',
            "escape": 'echo x > ../../../written-above; exit 0',
        }
        for cls, act in faults.items():
            with self.subTest(cls=cls), tempfile.TemporaryDirectory() as tmp:
                fake = os.path.join(tmp, "fake")
                with open(fake, "w") as f:
                    f.write('#!/bin/sh\nif [ "$1" = split ]; then\n  if [ -e %s/seen ]; then %s; fi\n'
                            '  touch %s/seen\nfi\nexec %s "$@"\n' % (tmp, act, tmp, PROG))
                os.chmod(fake, 0o755)
                secs = "2" if cls == "timeout" else "60"
                r = campaign(tmp, "--count", "2", "-j", "1", "--readers", "merge", "--secs", secs, program=fake)
                self.assertEqual(r.returncode, 1, r.stdout)
                self.assertRegex(r.stdout, r"\nmerge +0 +0 +0 +%s" % {"timeout": "2 +0 +0", "crash": "0 +2 +0",
                                                                       "escape": "0 +0 +2"}[cls])
                kept = os.path.join(tmp, "keep", "merge-1")
                self.assertTrue(os.path.isfile(os.path.join(kept, "in", "in.merge")))
                replay = subprocess.run([os.path.join(kept, "replay.sh")], stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, text=True, timeout=60)
                if cls == "crash":
                    self.assertIn("status 139", replay.stdout)


FUZZ_DIR = os.path.dirname(SEEDS_BIN)
# Harness, the kind of file it replays, and a small input of that kind beside the empty one.
HARNESSES = [
    ("core_load", "image", b"\xff" * 4096),
    ("simple_load", "image", bytes(range(256)) * 16),
    ("minidb_open", "minidb", b"\0" * 64),
    ("conf_load", "conf", b"BOOT boot.bin true RAW ro 0 1 0x0 0x10000\nDATA data.bin true RAW ro 0 0 auto 0x20000\n"),
    ("image_split", "merge", b"mergebin\x01\0\0\0" + b"x" * 300),
    ("shell_command", "shell", b"ls\nhelp ls\ncat ROOT/etc/issue\n"),
    ("cramfs_roundtrip", "cramfs_roundtrip", b"\0\0\005\160\021\001\002\002\006\003\0\007"),
    ("minifs_roundtrip", "minifs_roundtrip", b"\0\0\005\160\021\001\002\002\006\003\0\007"),
]


class HarnessesCleanUp(unittest.TestCase):
    """Replayed harnesses leave nothing in the temporary directory, and take an empty input."""

    def test_nothing_left(self):
        for name, kind, small in HARNESSES:
            exe = os.path.join(FUZZ_DIR, "fuzz_" + name)
            if not os.access(exe, os.X_OK):
                continue
            with self.subTest(harness=name), tempfile.TemporaryDirectory() as tmp:
                inputs, scratch = os.path.join(tmp, "in"), os.path.join(tmp, "tmp")
                os.makedirs(inputs)
                os.makedirs(scratch)
                for n, data in [("empty", b""), ("small", small)]:
                    with open(os.path.join(inputs, "%s-%s" % (kind, n)), "wb") as f:
                        f.write(data)
                p = subprocess.Popen([exe, inputs, kind], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     env=dict(os.environ, TMPDIR=scratch), text=True)
                err = p.communicate(timeout=120)[1]
                self.assertEqual(p.returncode, 0, err[-3000:])
                self.assertIn("2 inputs replayed", err)
                self.assertNotIn("runtime error", err)
                self.assertEqual(os.listdir(scratch), [])
                # Files named after the process in the shared /tmp were the old way of leaking.
                self.assertEqual([n for n in os.listdir("/tmp") if n.endswith("_%d" % p.pid) or
                                  "_%d." % p.pid in n], [])


if __name__ == "__main__":
    unittest.main()
