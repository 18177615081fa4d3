"""backup and restore of whole trees: what comes back is byte for byte what went up."""
import hashlib
import os
import re

from conftest import error_lines

TREE = {
    "top.txt": b"top level\n",
    "empty": b"",
    "a/b/c/deep.txt": b"deep\n" * 100,
    "name with spaces/file with spaces.txt": b"spaces\n",
    # Over one upload block and one download range, so both are used.
    "a/large.bin": os.urandom(12 << 20),
}


def tree(root):
    """Every directory (None) and file (its SHA-256) below root, by relative path."""
    return {str(path.relative_to(root)): hashlib.sha256(path.read_bytes()).hexdigest()
            if path.is_file() else None for path in root.rglob("*")}


def test_backup_then_restore_gives_the_same_bytes(cli, target, tmp_path):
    source, restored = tmp_path / "source", tmp_path / "restored" / "here"
    for name, data in TREE.items():
        (source / name).parent.mkdir(parents=True, exist_ok=True)
        (source / name).write_bytes(data)
    expected = tree(source)
    (source / "link").symlink_to("top.txt")  # not a regular file: left out

    summary = cli.ok("--target", target, "backup", source)
    total = sum(map(len, TREE.values()))
    assert re.fullmatch(rf"backed up 5 files, {total} bytes in [\d.]+ s \([\d.]+ MB/s\)\n", summary)
    assert cli.ok("--target", target, "restore", restored).startswith(f"restored 5 files, {total} bytes in ")
    assert tree(restored) == expected


def test_backup_refuses_the_target_records_and_stores_nothing(cli, target, tmp_path):
    source = tmp_path / "source"
    source.mkdir()
    (source / "a.txt").write_bytes(b"a")
    (source / "vornbkpinfo.db").write_bytes(b"not an info database")
    result = cli.run("--target", target, "backup", source)
    assert (result.returncode, error_lines(result)) == (
        1, ["vorn-azure: backup: vornbkpinfo.db: name reserved for the target's own records"])
    assert "a.txt" not in cli.ok("--target", target, "ls")
