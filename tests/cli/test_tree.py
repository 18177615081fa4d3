"""backup, restore and verify of whole trees: incremental, faithful, checkable, one bad file at a time."""
import hashlib
import os
import re
import sqlite3

import pytest

from conftest import error_lines

OLD = 946684800  # 2000-01-01
TREE = {  # name: (content, mode)
    "top.txt": (b"top level\n", 0o644),
    "run.sh": (b"#!/bin/sh\n", 0o755),
    "secret": (b"s" * 100, 0o600),
    "empty": (b"", 0o644),
    "name with spaces/file.txt": (b"spaces\n", 0o644),
    # Over one upload block and one download range, so both are used.
    "a/large.bin": (os.urandom(12 << 20), 0o640),
}


@pytest.fixture
def source(tmp_path):
    """TREE with distinct old mtimes, a symlink and an empty directory."""
    root = tmp_path / "source"
    for index, (name, (data, mode)) in enumerate(TREE.items()):
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        path.chmod(mode)
        os.utime(path, ns=(0, (OLD + index) * 10**9 + 123456789))
    (root / "link").symlink_to("top.txt")
    (root / "void/inner").mkdir(parents=True)
    os.utime(root / "void/inner", (OLD, OLD))
    return root


def snapshot(root):
    """Every entry below root: kind, mode, mtime, link target or content hash."""
    found = {}
    for path in sorted(root.rglob("*")):
        st = path.lstat()
        if path.is_symlink():
            what = ("link", os.readlink(path))
        elif path.is_dir():
            what = ("dir", st.st_mode & 0o7777, st.st_mtime_ns if not any(path.iterdir()) else None)
        else:
            what = ("file", st.st_mode & 0o7777, st.st_mtime_ns, hashlib.sha256(path.read_bytes()).hexdigest())
        found[str(path.relative_to(root))] = what
    return found


def summary(output):
    """The backup summary's counters."""
    match = re.search(r"backed up (\d+) files, (\d+) failed: sent (\d+) \(\d+ bytes in [\d.]+ s \([\d.]+ MB/s\)\), "
                      r"skipped (\d+), removed (\d+)", output)
    assert match, output
    return dict(zip(("files", "failed", "sent", "skipped", "removed"), map(int, match.groups())))


def test_restore_gives_back_content_modes_times_links_and_empty_dirs(cli, target, source, tmp_path):
    assert summary(cli.ok("--target", target, "backup", source))["sent"] == len(TREE)
    restored = tmp_path / "restored" / "here"
    assert cli.ok("--target", target, "restore", restored).startswith(f"restored {len(TREE)} files, 0 failed")
    assert snapshot(restored) == snapshot(source)
    assert cli.ok("--target", target, "verify", source).startswith("verified")

    one = tmp_path / "one"
    cli.ok("--target", target, "restore", "--path", "name with spaces", one)
    assert [p.name for p in one.rglob("*")] == ["name with spaces", "file.txt"]


def test_incremental_runs_send_only_changes_and_remove_or_keep_deleted(cli, target, source):
    def backup(*options):
        return summary(cli.ok("--target", target, "backup", *options, source))

    backup()
    assert backup() == dict(files=len(TREE), failed=0, sent=0, skipped=len(TREE), removed=0)
    (source / "top.txt").write_bytes(b"changed\n")
    assert backup()["sent"] == 1

    (source / "secret").unlink()
    assert cli.ok("--target", target, "backup", "--dry-run", source).startswith("would remove secret\n")
    assert backup("--keep-deleted")["removed"] == 0 and "secret" in cli.ok("--target", target, "ls")
    assert backup("-j", "1")["removed"] == 1 and "secret" not in cli.ok("--target", target, "ls")

    # --checksum sees same-size, same-time edits that size and time miss.
    stat = (source / "run.sh").stat()
    (source / "run.sh").write_bytes(b"#!/bin/zs\n")
    os.utime(source / "run.sh", ns=(stat.st_atime_ns, stat.st_mtime_ns))
    assert (backup()["sent"], backup("--checksum")["sent"]) == (0, 1)


def test_verify_finds_changed_missing_and_corrupt_blobs(cli, target, source, tmp_path):
    cli.ok("--target", target, "backup", "--exclude", "*.bin", source)
    assert cli.ok("--target", target, "verify", "--deep") == "verified 5 files, 0 mismatches\n"
    # A blob replaced, one removed, and one whose ETag is as recorded but not its bytes.
    other, manifest = tmp_path / "other", tmp_path / "manifest.db"
    other.write_bytes(b"S" * 100)
    cli.ok("--target", target, "put", other, "secret")
    cli.ok("--target", target, "rm", "top.txt")
    cli.ok("--target", target, "get", "_Vorn_Manifest.db", manifest)
    with sqlite3.connect(manifest) as db:
        db.execute("UPDATE entries SET md5 = '00' WHERE path = 'run.sh'")
    cli.ok("--target", target, "put", manifest, "_Vorn_Manifest.db")
    result = cli.run("--target", target, "verify")
    assert (result.returncode, error_lines(result)) == (1, [
        "vorn-azure: verify: secret: changed in the target since it was backed up",
        "vorn-azure: verify: top.txt: missing from the target"])
    result = cli.run("--target", target, "verify", "--deep")
    assert "vorn-azure: verify: run.sh: content differs from the MD5 recorded at backup" in error_lines(result)


def test_one_bad_name_or_file_never_stops_a_backup(cli, target, service, tmp_path):
    root = tmp_path / "bad"
    root.mkdir()
    for name in ("a.txt", "z.txt", "new\nline", "vornbkpinfo.db"):
        (root / name).write_bytes(name.encode())
    os.close(os.open(os.path.join(bytes(root), b"latin-\xe9"), os.O_CREAT | os.O_WRONLY))
    result = cli.run("--target", target, "backup", root)
    assert result.returncode == 1
    assert [line.split(": ")[2] for line in sorted(error_lines(result))] == ["latin-\\xE9", "new\\x0Aline",
                                                                             "vornbkpinfo.db"]
    assert summary(result.stdout) == dict(files=2, failed=3, sent=2, skipped=0, removed=0)

    # Restore carries on past a blob that cannot be read (archived) and one gone behind its back.
    (root / "m.txt").write_bytes(b"m")
    cli.run("--target", target, "backup", root)
    service.get_blob_client(cli.container, f"{target}/a.txt").set_standard_blob_tier("Archive")
    cli.ok("--target", target, "rm", "m.txt")
    restored = tmp_path / "restored"
    result = cli.run("--target", target, "restore", restored)
    assert result.returncode == 1 and [line.split(":")[2] for line in error_lines(result)] == [" a.txt", " m.txt"]
    assert "restored 1 files, 2 failed" in result.stdout
    assert sorted(os.listdir(restored)) == ["z.txt"]


@pytest.mark.parametrize("target_id, options", [("absent", []), (None, ["--path", "not/there"])])
def test_restore_of_what_is_not_there_exits_3_and_creates_nothing(cli, target, tmp_path, target_id, options):
    result = cli.run("--target", target_id or target, "restore", *options, tmp_path / "nothing")
    assert result.returncode == 3 and not (tmp_path / "nothing").exists()
