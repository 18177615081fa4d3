"""Every vorn-azure command once against Azurite, checked by what it prints and what it changed."""
import json
import re
import socket
import time

from conftest import error_lines


def test_container_target_and_task_commands(cli):
    missing = cli.run("status")
    assert (missing.returncode, error_lines(missing)) == (1, ["vorn-azure: status: not found (error 18)"])
    assert cli.ok("create-container") == ""
    assert cli.ok("status") == "reachable\n"
    assert cli.container in cli.ok("containers").splitlines()
    again = cli.run("create-container")
    assert (again.returncode, error_lines(again)) == (
        1, ["vorn-azure: create-container: already exists (error 12)"])

    assert cli.ok("create-target", "base", "key-1") == "base1\n"
    assert cli.ok("create-target", "base", "key-1") == "base2\n"
    candidate = cli.ok("candidate").strip()
    assert candidate == socket.gethostname() + "_1"
    assert cli.ok("adopt", candidate, "key-1") == ""
    assert sorted(cli.ok("targets").split()) == sorted(["base1", "base2", candidate])
    # Adopting with the recorded link key succeeds again; another backup set's key is refused.
    assert cli.ok("adopt", candidate, "key-1") == ""
    foreign = cli.run("adopt", "base1", "key-2")
    assert error_lines(foreign) == ["vorn-azure: adopt: not this backup set's target (error 28)"]

    assert cli.ok("task-create", "7", "trans_encrypt=false", "retries=3", "note=a b") == ""
    stored = json.loads((cli.home / "config/tasks/7.json").read_text())
    assert stored["options"] == {"trans_encrypt": False, "retries": 3, "note": "a b"}
    before = int(time.time())
    assert cli.ok("set-task-config", "base1", "7") == ""
    # The service's clock (Azurite runs on this host), at one-second resolution.
    assert before - 2 <= int(cli.ok("task-config-time", "base1")) <= time.time() + 2
    absent = cli.run("task-config-time", "no-such-target")
    assert error_lines(absent) == ["vorn-azure: task-config-time: not found (error 18)"]


def listing(text):
    """`ls` lines, sorted, with the modification time of files (digits) left out."""
    return sorted(re.sub(r"^f\t(\d+)\t\d+\t", r"f\t\1\t", line) for line in text.splitlines())


def test_file_commands(cli, target, tmp_path):
    local, fetched = tmp_path / "a.txt", tmp_path / "fetched.txt"
    local.write_bytes(b"hello, blob\n")
    files = ("--target", target)
    assert cli.ok(*files, "put", local, "dir/a.txt") == ""
    cli.ok(*files, "put", local, "dir/sub/b c.txt")

    stat = cli.ok(*files, "stat", "dir/a.txt")
    assert re.fullmatch(r"type=file size=12 mtime=\d+ etag=\S+\n", stat)
    assert abs(int(re.search(r"mtime=(\d+)", stat).group(1)) - time.time()) < 60
    assert cli.ok(*files, "stat", "dir") == "type=dir\n"
    assert "d\tdir" in listing(cli.ok(*files, "ls"))
    assert listing(cli.ok(*files, "ls", "dir")) == ["d\tsub", "f\t12\ta.txt"]
    assert listing(cli.ok(*files, "ls", "-r", "dir")) == ["f\t12\ta.txt", "f\t12\tsub/b c.txt"]

    assert cli.ok(*files, "get", "dir/sub/b c.txt", fetched) == ""
    assert fetched.read_bytes() == local.read_bytes()
    assert cli.ok(*files, "mkdir", "empty") == ""
    assert cli.ok(*files, "rm", "dir/a.txt") == ""
    gone = cli.run(*files, "stat", "dir/a.txt")
    assert error_lines(gone) == ["vorn-azure: stat: not found (error 5)"]
    assert cli.ok(*files, "rm", "-r", "dir") == ""
    assert cli.ok(*files, "ls", "dir") == ""
