"""The Linux kernel reads the images romsmith and the outside tools write.

One boot of the installed kernel (kmount.py) mounts every image; each guest
listing is compared with the host tree the image was made of, as the format
and its kernel driver show it (the differences are spelled out per format).
"""

import copy
import hashlib
import os
import shutil
import stat
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import kmount  # noqa: E402

ROMSMITH_BIN = os.environ.get("ROMSMITH_BIN") or os.path.join(HERE, "..", "..", "build", "romsmith")
REQUIRE = os.environ.get("ROMSMITH_REQUIRE_TOOLS") == "1"
ROOT = os.geteuid() == 0


def need(tool):
    path = shutil.which(tool) or (tool if os.access(tool, os.X_OK) else None)
    if path:
        return path
    if REQUIRE:
        pytest.fail("%s is required (ROMSMITH_REQUIRE_TOOLS=1) but missing" % tool)
    pytest.skip("%s not installed" % tool)


def run(args, cwd, env=None):
    r = subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                       env=dict(os.environ, **env) if env else None)
    assert r.returncode == 0, "%s failed (%d):\n%s" % (args, r.returncode, r.stdout)
    return r.stdout


def data(n, seed):
    # Incompressible enough that every format stores several blocks/nodes.
    out, block = bytearray(), hashlib.sha256(seed.encode()).digest()
    while len(out) < n:
        block = hashlib.sha256(block).digest()
        out += block
    return bytes(out[:n])


def make_tree(top):
    """Sizes from empty to several blocks, a deep path, links of both kinds,
    a hard link pair, set-id and private modes, foreign owners, special files."""
    def put(rel, content, mode=0o644):
        path = os.path.join(top, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        os.chmod(path, mode)

    os.makedirs(top)
    put("empty", b"")
    put("etc/motd", b"hello from the box\n")
    put("etc/name with  spaces", b"spaced\n")
    put("etc/shadow", b"root:*:0:0\n", 0o640)
    put("bin/tool", data(5000, "tool"), 0o4755)
    put("bin/busy", data(300 * 1024, "busy") + b"\0" * 70000, 0o755)
    put("a/b/c/d/e/f/g/leaf", b"deep\n")
    put("priv/key", data(4096, "key"), 0o600)
    os.chmod(os.path.join(top, "priv"), 0o700)
    os.link(os.path.join(top, "bin/tool"), os.path.join(top, "a/tool.hard"))
    os.symlink("../etc/motd", os.path.join(top, "bin/motd"))
    os.symlink("/usr/share/" + "x" * 150, os.path.join(top, "long"))
    os.mkdir(os.path.join(top, "emptydir"))
    os.mkfifo(os.path.join(top, "fifo"))
    if ROOT:
        os.mknod(os.path.join(top, "null"), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        os.mknod(os.path.join(top, "sda1"), 0o660 | stat.S_IFBLK, os.makedev(8, 1))
        os.chown(os.path.join(top, "etc/shadow"), 0, 42)
        for p in ("priv", "priv/key"):
            os.chown(os.path.join(top, p), 1000, 100)


# ---- how each format shows the tree ------------------------------------------

def exact(entries):
    return entries


def jffs2_shown(entries):
    # A JFFS2 image has no inode of the root directory: the kernel makes it
    # 0755 and root's, and counts one link more on it.
    entries["/"].update(mode=0o755, uid=0, gid=0, nlink=entries["/"]["nlink"] + 1)
    return entries


def cramfs_shown(entries):
    # cramfs stores no link counts (every inode shows one link), 16 bits of
    # the user and 8 of the group id.
    for e in entries.values():
        e.update(nlink=1, uid=e["uid"] & 0xFFFF, gid=e["gid"] & 0xFF)
    return entries


def romfs_shown(entries):
    # romfs keeps neither owners nor link counts, and of the mode only the
    # type and whether anyone may execute; the driver fills in the rest.
    for e in entries.values():
        e.update(uid=0, gid=0, nlink=1)
        if e["type"] in "cb":
            e["mode"] = 0o600
        elif e["type"] == "l":
            e["mode"] = 0o777
        else:
            e["mode"] = 0o755 if e["type"] == "d" or e["mode"] & 0o111 else 0o644
    return entries


def entry(data_bytes, mode=0o644, uid=0, gid=0):
    return {"type": "f", "mode": mode, "uid": uid, "gid": gid, "nlink": 1, "size": len(data_bytes),
            "md5": hashlib.md5(data_bytes).hexdigest()}


# ---- the images ---------------------------------------------------------------

def mksquashfs(tree, work):
    run([need("mksquashfs"), tree, "sq.img", "-noappend", "-quiet", "-no-progress", "-comp", "xz"], work)
    return "sq.img"


EDIT_NEW = b"a file the box never had\n"
EDIT_PUT = b"put with mode and owner\n"
EDIT_MOTD = b"replaced motd, longer than the one before it\n"


def squashfs_edited(tree, work):
    """A flash image whose ROOT squashfs romsmith edits and saves."""
    run([need("mksquashfs"), tree, "root.img", "-noappend", "-quiet", "-no-progress"], work)
    with open(os.path.join(work, "flash.conf"), "w") as f:
        f.write("table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
                "ROOT root.img true SQUASHFS rw 0 0 0x10000 0x200000\n"
                "TABLE NULL false RAW ro 0 0 0x210000 0x10000\n")
    for name, content in (("new", EDIT_NEW), ("put", EDIT_PUT), ("motd", EDIT_MOTD)):
        with open(os.path.join(work, name), "wb") as f:
            f.write(content)
    rs = need(ROMSMITH_BIN)
    run([rs, "mkflash", "flash.conf", "flash.bin"], work)
    run([rs, "-c", "open flash.bin; add ROOT/a/b/new new; put --mode 0600 --owner 7:8 ROOT/etc/put put; "
         "add ROOT/etc/motd motd; rm ROOT/a/tool.hard; rm ROOT/empty; save out.bin"], work)
    run([rs, "-c", "open out.bin; dumppar ROOT part.img"], work)
    return "part.img"


def squashfs_edited_shown(entries):
    entries["/a/b/new"] = entry(EDIT_NEW)  # a new path gets the defaults
    entries["/etc/put"] = entry(EDIT_PUT, 0o600, 7, 8)
    entries["/etc/motd"].update(size=len(EDIT_MOTD), md5=hashlib.md5(EDIT_MOTD).hexdigest())
    del entries["/a/tool.hard"]
    entries["/bin/tool"]["nlink"] = 1  # its other name is gone
    del entries["/empty"]
    return entries


EDIT_APPEND = b"saved a second time, appended to the tables\n"


def squashfs_appended(tree, work, lazy="0"):
    """The edited image (no hard links left) edited again: this save appends
    the changed inodes and listings to the old tables, which stay as they are."""
    squashfs_edited(tree, work)
    with open(os.path.join(work, "append"), "wb") as f:
        f.write(EDIT_APPEND)
    rs = need(ROMSMITH_BIN)
    run([rs, "-c", "open out.bin; add ROOT/etc/motd append; put --mode 0640 ROOT/a/b/again append; "
         "save out2.bin"], work, {"ROMSMITH_SQUASHFS_LAZY": lazy})
    run([rs, "-c", "open out2.bin; dumppar ROOT part2.img"], work)
    with open(os.path.join(work, "part.img"), "rb") as f:
        before = f.read()
    with open(os.path.join(work, "part2.img"), "rb") as f:
        after = f.read()

    def at(img, off):
        return int.from_bytes(img[off:off + 8], "little")
    itab, dtab, new_itab = at(before, 64), at(before, 72), at(after, 64)
    assert after[new_itab:new_itab + dtab - itab] == before[itab:dtab], "the save did not append"
    return "part2.img"


def squashfs_appended_shown(entries):
    entries = squashfs_edited_shown(entries)
    entries["/etc/motd"].update(size=len(EDIT_APPEND), md5=hashlib.md5(EDIT_APPEND).hexdigest())
    entries["/a/b/again"] = entry(EDIT_APPEND, 0o640)
    return entries


def romsmith_squashfs(tree, work):
    """romsmith's own builder, gzip by default."""
    run([need(ROMSMITH_BIN), "mksquashfs", tree, "rs.sqfs"], work)
    return "rs.sqfs"


def romsmith_cramfs(tree, work):
    run([need(ROMSMITH_BIN), "mkcramfs", tree, "rs.cramfs"], work)
    return "rs.cramfs"


def mkfs_cramfs(tree, work):
    run([need("mkfs.cramfs"), tree, "mk.cramfs"], work)
    return "mk.cramfs"


def cramfs_edited(tree, work):
    """A mkfs.cramfs image edited and saved over its own bytes (listings anew,
    stored contents left in place, new ones after the old end)."""
    run([need("mkfs.cramfs"), tree, "ed.cramfs"], work)
    return edited_partition("ed.cramfs", "CRAMFS", 0x200000, work)


def genromfs(tree, work):
    run([need("genromfs"), "-d", tree, "-f", "gen.romfs", "-V", "box"], work)
    return "gen.romfs"


def mkfs_jffs2(*flags):
    def make(tree, work):
        name = "j%s.jffs2" % "".join(flags).replace("-", "_")
        run([need("mkfs.jffs2"), "-l", "-e", "64KiB", *flags, "-r", tree, "-o", name], work)
        return name
    return make


def edited_partition(fs_image, conf_type, size, work):
    """`fs_image` as ROOT of a flash image that romsmith edits and saves; the
    saved ROOT partition's bytes."""
    with open(os.path.join(work, "flash-%s.conf" % conf_type), "w") as f:
        f.write("table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
                "ROOT %s true %s rw 0 0 0x10000 0x%x\n"
                "TABLE NULL false RAW ro 0 0 0x%x 0x10000\n" % (fs_image, conf_type, size, 0x10000 + size))
    for name, content in (("new", EDIT_NEW), ("motd", EDIT_MOTD)):
        with open(os.path.join(work, name), "wb") as f:
            f.write(content)
    rs = need(ROMSMITH_BIN)
    out = "edited-%s" % conf_type
    run([rs, "mkflash", "flash-%s.conf" % conf_type, out + ".bin"], work)
    run([rs, "-c", "open %s.bin; add ROOT/a/b/new new; add ROOT/etc/motd motd; rm ROOT/a/tool.hard; "
         "rm ROOT/emptydir; save %s-out.bin" % (out, out)], work)
    run([rs, "-c", "open %s-out.bin; dumppar ROOT %s.img" % (out, out)], work)
    return out + ".img"


def edited_shown(entries):
    entries["/a/b/new"] = entry(EDIT_NEW)
    entries["/etc/motd"].update(size=len(EDIT_MOTD), md5=hashlib.md5(EDIT_MOTD).hexdigest())
    del entries["/a/tool.hard"]
    entries["/bin/tool"]["nlink"] = 1
    del entries["/emptydir"]
    entries["/"]["nlink"] -= 1  # one subdirectory fewer
    return entries


def romsmith_romfs(tree, work):
    run([need(ROMSMITH_BIN), "mkromfs", "-V", "box", tree, "rs.romfs"], work)
    return "rs.romfs"


def romfs_edited(tree, work):
    run([need("genromfs"), "-d", tree, "-f", "ed.romfs", "-V", "box"], work)
    return edited_partition("ed.romfs", "ROMFS", 0x100000, work)


def romsmith_jffs2(tree, work):
    run([need(ROMSMITH_BIN), "mkjffs2", "-l", "-e", "64KiB", tree, "rs.jffs2"], work)
    return "rs.jffs2"


def jffs2_edited(tree, work):
    """Edits appended into the erased end of a padded mkfs.jffs2 image."""
    run([need("mkfs.jffs2"), "-l", "-e", "64KiB", "-p", "0x100000", "-r", tree, "-o", "ed.jffs2"], work)
    return edited_partition("ed.jffs2", "JFFS2", 0x100000, work)


def jffs2_compacted(tree, work):
    """Two saves in a partition one erase block larger than the image: the
    first replaces a large file (its old nodes become obsolete), the second
    adds more than the erased flash left holds, so the save compacts."""
    run([need("mkfs.jffs2"), "-l", "-e", "64KiB", "-p", "-r", tree, "-o", "co.jffs2"], work)
    size = os.path.getsize(os.path.join(work, "co.jffs2")) + 0x10000
    with open(os.path.join(work, "flash-co.conf"), "w") as f:
        f.write("table_version 4\ncrc32 true\nBOOT NULL true RAW ro 0 0 0 0x10000\n"
                "ROOT co.jffs2 true JFFS2 rw 0 0 0x10000 0x%x\n"
                "TABLE NULL false RAW ro 0 0 0x%x 0x10000\n" % (size, 0x10000 + size))
    with open(os.path.join(work, "small"), "wb") as f:
        f.write(EDIT_NEW)
    with open(os.path.join(work, "big"), "wb") as f:
        f.write(data(100 * 1024, "compaction"))
    rs = need(ROMSMITH_BIN)
    run([rs, "mkflash", "flash-co.conf", "co.bin"], work)
    run([rs, "-c", "open co.bin; add ROOT/bin/busy small; save co2.bin"], work)
    r = subprocess.run([rs, "-c", "open co2.bin; add ROOT/big big; save co3.bin"], cwd=work,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "compacted" in r.stderr, "the second save did not compact: " + r.stderr
    run([rs, "-c", "open co3.bin; dumppar ROOT co.img"], work)
    return "co.img"


def jffs2_compacted_shown(entries):
    entries["/bin/busy"].update(size=len(EDIT_NEW), md5=hashlib.md5(EDIT_NEW).hexdigest())
    entries["/big"] = entry(data(100 * 1024, "compaction"))
    return jffs2_shown(entries)


def garbage(tree, work):
    with open(os.path.join(work, "garbage.img"), "wb") as f:
        f.write(b"hsqs" + data(8188, "garbage"))
    return "garbage.img"


def corrupt_block(tree, work):
    """A squashfs whose first compressed data block is damaged."""
    os.makedirs(os.path.join(work, "text"))
    with open(os.path.join(work, "text", "words"), "w") as f:
        f.write("a line of text\n" * 20000)
    run([need("mksquashfs"), "text", "bad.img", "-noappend", "-quiet", "-no-progress", "-comp", "xz"], work)
    with open(os.path.join(work, "bad.img"), "r+b") as f:
        f.seek(200)
        f.write(bytes(64))
    return "bad.img"


BAD = [("garbage", "squashfs", garbage, None), ("corrupt-block", "squashfs", corrupt_block, None)]


# name, file system (with kmount options), maker, how the kernel shows the tree.
# A romsmith writer of another format joins as one more row.
CASES = [
    ("squashfs-mksquashfs", "squashfs", mksquashfs, exact),
    ("squashfs-romsmith-edit", "squashfs", squashfs_edited, squashfs_edited_shown),
    ("squashfs-romsmith-append", "squashfs", squashfs_appended, squashfs_appended_shown),
    # The same save from a tree read a directory at a time (as large images are).
    ("squashfs-romsmith-append-lazy", "squashfs", lambda t, w: squashfs_appended(t, w, "1"), squashfs_appended_shown),
    ("squashfs-romsmith-mksquashfs", "squashfs", romsmith_squashfs, exact),
    ("cramfs-romsmith", "cramfs", romsmith_cramfs, cramfs_shown),
    ("cramfs-mkfs.cramfs", "cramfs", mkfs_cramfs, cramfs_shown),
    ("cramfs-romsmith-edit", "cramfs", cramfs_edited, lambda e: cramfs_shown(edited_shown(e))),
    ("romfs-genromfs", "romfs", genromfs, romfs_shown),
    ("jffs2-mkfs.jffs2", "jffs2:erase=64KiB", mkfs_jffs2(), jffs2_shown),
    ("jffs2-mkfs.jffs2-no-cleanmarkers", "jffs2", mkfs_jffs2("-n"), jffs2_shown),
    ("romfs-romsmith", "romfs", romsmith_romfs, romfs_shown),
    ("romfs-romsmith-edit", "romfs", romfs_edited, lambda e: romfs_shown(edited_shown(e))),
    ("jffs2-romsmith", "jffs2:erase=64KiB", romsmith_jffs2, jffs2_shown),
    ("jffs2-romsmith-edit", "jffs2:erase=64KiB", jffs2_edited, lambda e: jffs2_shown(edited_shown(e))),
    ("jffs2-romsmith-compacted", "jffs2:erase=64KiB", jffs2_compacted, jffs2_compacted_shown),
]


@pytest.fixture(scope="module")
def booted(tmp_path_factory):
    """Makes every image it can and boots once for all of them; returns
    (host listing, {case: image or pytest outcome}, {case: kmount result})."""
    work = str(tmp_path_factory.mktemp("kernel"))
    tree = os.path.join(work, "tree")
    make_tree(tree)
    made, image_specs = {}, []
    for name, fs, maker, _ in BAD + CASES:
        try:
            made[name] = maker(tree, work)
        except (pytest.skip.Exception, pytest.fail.Exception, AssertionError) as e:
            made[name] = e
            continue
        image_specs.append((name, kmount.ImageSpec.parse(os.path.join(work, made[name]) + ":" + fs)))
    try:
        results = kmount.run([s for _, s in image_specs], os.path.join(work, "out"))
    except kmount.MissingTool as e:
        if REQUIRE:
            pytest.fail("%s (ROMSMITH_REQUIRE_TOOLS=1)" % e)
        pytest.exit("skipped: %s" % e, returncode=kmount.EXIT_SKIP)
    return kmount.host_listing(tree), made, {name: results[n] for n, (name, _) in enumerate(image_specs, 1)}


@pytest.mark.parametrize("name,shown", [(c[0], c[3]) for c in CASES], ids=[c[0] for c in CASES])
def test_kernel_lists_the_tree(booted, name, shown):
    host, made, results = booted
    if isinstance(made[name], BaseException):
        raise made[name]
    kind, body, complaints = results[name]
    if kind == "err" and body.startswith("the kernel has no ") and not REQUIRE:
        pytest.skip(body.strip().replace("\n", "; "))  # e.g. cramfs without the sources to build it
    assert kind == "list", "%s was not mounted: %s" % (name, body)
    assert complaints == [], "the kernel complained while reading %s" % name
    expected = kmount.format_listing(shown(copy.deepcopy(kmount.parse_listing(host))))
    assert body == expected


def test_bad_images_are_reported_and_the_others_still_checked(booted):
    _, made, results = booted
    for name in ("garbage", "corrupt-block"):
        if isinstance(made[name], BaseException):
            raise made[name]
    kind, body, _ = results["garbage"]
    assert kind == "err"
    assert body.startswith("mount -t squashfs /dev/vd")
    # Checked after the failed mount in the same boot. It mounts, but reading
    # the file fails: the harness must not pass it.
    kind, body, complaints = results["corrupt-block"]
    assert kind == "list"
    assert kmount.parse_listing(body)["/words"]["md5"] == "unreadable"
    assert any("Input/output error" in c for c in complaints)
    assert any("SQUASHFS error" in c for c in complaints)
    assert all(not r.body.startswith("no result") for r in results.values())
