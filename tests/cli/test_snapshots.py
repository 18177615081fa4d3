"""Snapshots of whole trees through the real agent: faithful, deduplicated, encrypted, checkable."""
import hashlib
import json
import os
import re
import stat
import subprocess
import threading

import pytest

from conftest import error_lines, fails

OLD = 946684800  # 2000-01-01


@pytest.fixture
def password(cli, tmp_path):
    """A password file given to every command of the test."""
    path = tmp_path / "password"
    path.write_text("correct horse battery staple\n")
    return path


@pytest.fixture
def snap(cli, password):
    """Runs snapshot commands on target "t" of an encrypted snapshot target: snap(*args)."""
    cli.ok("create-container")
    cli.ok("--target", "t", "--password-file", password, "init")

    class Runner:
        def run(self, *args, env=None):
            return cli.run("--target", "t", "--password-file", password, *args, env=env)

        def ok(self, *args):
            return cli.ok("--target", "t", "--password-file", password, *args)

        def backup(self, root, *options):
            out = json.loads(self.ok("backup", "--json", *options, root))
            return out

    return Runner()


def make_tree(root):
    """Every kind of entry the snapshot must keep, with old times and unusual modes."""
    (root / "dir/sub").mkdir(parents=True)
    (root / "empty-dir").mkdir()
    files = {"top.txt": b"top level\n", "dir/run.sh": b"#!/bin/sh\n", "dir/sub/random.bin": os.urandom(3 << 20),
             "empty": b"", "name with spaces": b"spaces\n", "new\nline": b"odd name\n"}
    for name, data in files.items():
        (root / name).write_bytes(data)
    os.close(os.open(os.path.join(bytes(root), b"latin-\xe9"), os.O_CREAT | os.O_WRONLY, 0o600))
    (root / "dir/run.sh").chmod(0o755)
    (root / "top.txt").chmod(0o600)
    os.link(root / "top.txt", root / "dir/hard-link")
    (root / "link").symlink_to("dir/run.sh")
    os.mkfifo(root / "fifo")
    (root / "dir/sub").chmod(0o700)
    for path in sorted(root.rglob("*"), reverse=True):
        os.utime(path, ns=(OLD * 10**9, OLD * 10**9 + 123456789), follow_symlinks=False)


def describe(root):
    """Every entry below root: type, mode, mtime, content hash or link target, and hard-link groups."""
    found, inodes = {}, {}
    for dirpath, dirnames, filenames in os.walk(bytes(root)):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            rel = os.path.relpath(path, bytes(root))
            kind = stat.S_IFMT(st.st_mode)
            extra = os.readlink(path) if stat.S_ISLNK(st.st_mode) else (
                hashlib.sha256(open(path, "rb").read()).hexdigest() if stat.S_ISREG(st.st_mode) else None)
            found[rel] = (kind, stat.S_IMODE(st.st_mode), None if stat.S_ISLNK(st.st_mode) else st.st_mtime_ns, extra)
            if stat.S_ISREG(st.st_mode) and st.st_nlink > 1:
                inodes.setdefault(st.st_ino, []).append(rel)
    return found, sorted(sorted(group) for group in inodes.values())


def test_history_restore_forget_prune_and_check(snap, tmp_path):
    source = tmp_path / "source"
    make_tree(source)
    first = snap.backup(source)
    assert (first["files_new"], first["problems"]) == (8, 0)

    restored = tmp_path / "restored"
    assert "failed" not in snap.ok("restore", restored)
    assert describe(restored) == describe(source)

    (source / "top.txt").write_bytes(b"changed\n")
    (source / "dir/sub/more.txt").write_bytes(b"more\n")
    second = snap.backup(source)
    assert (second["files_new"], second["files_changed"]) == (1, 2)  # top.txt and its hard link
    assert second["bytes_read"] < 100  # the large file is not read again
    ids = [entry["id"] for entry in json.loads(snap.ok("snapshots", "--json"))]
    assert ids[0] == first["snapshot"] and len(ids) == 2

    assert snap.ok("diff", ids[0][:8], ids[1][:8]).splitlines() == [
        "M dir/hard-link", "m dir/sub", "+ dir/sub/more.txt", "M top.txt"]
    older = tmp_path / "older"
    snap.ok("restore", "--snapshot", ids[0][:8], older)
    assert (older / "top.txt").read_bytes() == b"top level\n"
    assert "dir/sub/random.bin" in snap.ok("ls", "--snapshot", "latest", "-r")

    snap.ok("forget", "--keep-last", "1")
    snap.ok("prune")
    assert snap.ok("check", "--read-data").startswith("no problems found")
    fails(snap.run("restore", "--snapshot", ids[0][:8], tmp_path / "gone"), 3, "no snapshot")
    assert not (tmp_path / "gone").exists()


def test_unchanged_rerun_reads_nothing_and_a_copy_adds_almost_nothing(snap, tmp_path):
    source = tmp_path / "source"
    make_tree(source)
    snap.backup(source)
    again = snap.backup(source)
    assert (again["bytes_read"], again["files_unchanged"]) == (0, 8)
    copy = tmp_path / "copy"
    subprocess.run(["cp", "-a", source, copy], check=True)
    assert snap.backup(copy)["bytes_added"] < 0.01 * (3 << 20) + 20000  # trees only


def test_nothing_readable_without_the_passphrase(cli, snap, service, tmp_path, password):
    source = tmp_path / "source"
    make_tree(source)
    snap.backup(source)
    samples = [b"top level", b"odd name", b"name with spaces", b"run.sh", b"random.bin",
               (source / "dir/sub/random.bin").read_bytes()[1000:1064]]
    container = service.get_container_client(cli.container)
    for blob in container.list_blobs(name_starts_with="t/"):
        data = container.download_blob(blob.name).readall()
        assert not [sample for sample in samples if sample in data], blob.name

    wrong = tmp_path / "wrong"
    wrong.write_text("not it\n")
    fails(cli.run("--target", "t", "--password-file", wrong, "snapshots"), 4, "wrong passphrase")
    no_terminal = cli.environment(VORN_PASSWORD=None)
    result = subprocess.run([os.environ.get("VORN_CLI", "vorn-azure"), "--target", "t", "snapshots"],
                            env=no_terminal, capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL,
                            start_new_session=True)
    fails(result, 4, "no passphrase was given")


def test_a_replaced_chunk_is_never_restored(cli, snap, service, tmp_path):
    source = tmp_path / "source"
    (source / "d").mkdir(parents=True)
    (source / "d/big.bin").write_bytes(os.urandom(2 << 20))
    snap.backup(source)
    container = service.get_container_client(cli.container)
    pack = next(b.name for b in container.list_blobs(name_starts_with="t/data/") if b.size > (1 << 20))
    data = bytearray(container.download_blob(pack).readall())
    data[100] ^= 1
    container.upload_blob(pack, bytes(data), overwrite=True)

    result = snap.run("restore", tmp_path / "restored")
    assert result.returncode == 6 and any("d/big.bin" in line for line in error_lines(result))
    assert not (tmp_path / "restored/d/big.bin").exists()
    result = snap.run("check", "--read-data")
    assert result.returncode == 6 and pack.split("/", 1)[1] in result.stderr


@pytest.mark.parametrize("args, status, words", [
    (["--target", "nosuch", "backup", "."], 3, "init"),
    (["--target", "t", "backup", "/nonexistent/dir"], 3, "no such directory"),
    (["--target", "t", "restore", "--snapshot", "ffff", "out"], 3, "no snapshot ffff"),
    (["--target", "t", "init"], 1, "snapshot target already"),
])
def test_what_is_not_there_exits_3_and_names_the_way(snap, cli, password, args, status, words):
    result = cli.run("--password-file", password, *args)
    fails(result, status, words)


def test_two_hosts_back_up_into_one_target_at_once(snap, tmp_path):
    trees = []
    for name in ("one", "two"):
        root = tmp_path / name
        (root / "d").mkdir(parents=True)
        for i in range(50):
            (root / f"d/{name}-{i}.txt").write_bytes(os.urandom(2000) + name.encode())
        trees.append(root)
    results = [None, None]

    def run(i):
        results[i] = snap.run("backup", trees[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [r.returncode for r in results] == [0, 0], [r.stderr for r in results]
    for snapshot in json.loads(snap.ok("snapshots", "--json")):
        out = tmp_path / ("restored-" + snapshot["id"][:8])
        snap.ok("restore", "--snapshot", snapshot["id"], out)
        source = next(t for t in trees if str(t) == snapshot["paths"][0])
        assert describe(out) == describe(source)
