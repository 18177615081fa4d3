"""backup and restore of whole trees: what comes back is byte for byte what went up."""
import filecmp
import os
import re

from conftest import error_lines


def make_tree(root):
    files = {
        "top.txt": b"top level\n",
        "empty": b"",
        "a/b/c/deep.txt": b"deep\n" * 100,
        "name with spaces/file with spaces.txt": b"spaces\n",
        # Over one upload block and one download range, so both are used.
        "a/large.bin": os.urandom(12 << 20),
    }
    for name, data in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return files


def assert_same_tree(left, right):
    comparison = filecmp.dircmp(left, right)
    pending = [comparison]
    while pending:
        current = pending.pop()
        assert not current.left_only and not current.right_only, current.report()
        _, mismatch, errors = filecmp.cmpfiles(current.left, current.right, current.common_files,
                                               shallow=False)
        assert not mismatch and not errors, (mismatch, errors)
        pending.extend(current.subdirs.values())


def test_backup_then_restore_gives_the_same_bytes(cli, target, tmp_path):
    source = tmp_path / "source"
    files = make_tree(source)
    (source / "link").symlink_to("top.txt")  # not a regular file: left out

    summary = cli.ok("--target", target, "backup", source)
    total = sum(len(data) for data in files.values())
    assert re.fullmatch(rf"backed up 5 files, {total} bytes in [\d.]+ s \([\d.]+ MB/s\)\n", summary)

    restored = tmp_path / "restored" / "here"
    summary = cli.ok("--target", target, "restore", restored)
    assert summary.startswith(f"restored 5 files, {total} bytes in ")
    (source / "link").unlink()
    assert_same_tree(source, restored)


def test_backup_refuses_the_target_records_and_stores_nothing(cli, target, tmp_path):
    source = tmp_path / "source"
    source.mkdir()
    (source / "a.txt").write_bytes(b"a")
    (source / "vornbkpinfo.db").write_bytes(b"not an info database")

    result = cli.run("--target", target, "backup", source)
    assert result.returncode == 1
    assert error_lines(result) == [
        "vorn-azure: backup: vornbkpinfo.db: name reserved for the target's own records"]
    assert "a.txt" not in cli.ok("--target", target, "ls")


def test_backup_of_a_missing_directory(cli, target, tmp_path):
    result = cli.run("--target", target, "backup", tmp_path / "absent")
    assert result.returncode == 1
    assert error_lines(result) == [f"vorn-azure: backup: {tmp_path / 'absent'}: not a directory"]
