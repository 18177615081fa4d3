"""Every vorn-azure command once against Azurite, checked by what it prints and what it changed."""
import json
import re
import socket
import time

from conftest import error_lines


def test_container_commands(cli):
    missing = cli.run("status")
    assert missing.returncode == 1
    assert error_lines(missing) == ["vorn-azure: status: not found (error 18)"]

    assert cli.ok("create-container") == ""
    assert cli.ok("status") == "reachable\n"
    assert cli.container in cli.ok("containers").splitlines()

    again = cli.run("create-container")
    assert again.returncode == 1
    assert error_lines(again) == ["vorn-azure: create-container: already exists (error 12)"]


def test_target_commands(cli):
    cli.ok("create-container")
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


def test_task_config_commands(cli):
    cli.ok("create-container")
    target = cli.ok("create-target", "t", "key").strip()
    assert cli.ok("task-create", "7", "trans_encrypt=false", "retries=3", "note=a b") == ""
    stored = json.loads((cli.home / "config/tasks/7.json").read_text())
    assert stored["options"] == {"trans_encrypt": False, "retries": 3, "note": "a b"}

    before = int(time.time())
    assert cli.ok("set-task-config", target, "7") == ""
    mtime = int(cli.ok("task-config-time", target))
    # The service's clock (Azurite runs on this host), at one-second resolution.
    assert before - 2 <= mtime <= time.time() + 2

    absent = cli.run("task-config-time", "no-such-target")
    assert error_lines(absent) == ["vorn-azure: task-config-time: not found (error 18)"]


def listing(text):
    """`ls` lines as (kind, size, name): the modification time is checked separately."""
    entries = []
    for line in text.splitlines():
        fields = line.split("\t")
        entries.append(("d", None, fields[1]) if fields[0] == "d"
                       else ("f", int(fields[1]), fields[3]))
    return sorted(entries)


def test_file_commands(cli, target, tmp_path):
    data = b"hello, blob\n"
    local = tmp_path / "a.txt"
    local.write_bytes(data)
    files = ("--target", target)
    assert cli.ok(*files, "put", local, "dir/a.txt") == ""
    cli.ok(*files, "put", local, "dir/sub/b c.txt")

    stat = cli.ok(*files, "stat", "dir/a.txt")
    assert re.fullmatch(r"type=file size=12 mtime=\d+ etag=\S+\n", stat)
    assert abs(int(re.search(r"mtime=(\d+)", stat).group(1)) - time.time()) < 60
    assert cli.ok(*files, "stat", "dir") == "type=dir\n"

    assert ("d", None, "dir") in listing(cli.ok(*files, "ls"))
    flat = cli.ok(*files, "ls", "dir")
    assert listing(flat) == [("d", None, "sub"), ("f", 12, "a.txt")]
    assert re.search(r"^f\t12\t\d+\ta.txt$", flat, re.M)
    assert listing(cli.ok(*files, "ls", "-r", "dir")) == [("f", 12, "a.txt"),
                                                         ("f", 12, "sub/b c.txt")]

    fetched = tmp_path / "fetched.txt"
    assert cli.ok(*files, "get", "dir/sub/b c.txt", fetched) == ""
    assert fetched.read_bytes() == data

    assert cli.ok(*files, "mkdir", "empty") == ""
    assert cli.ok(*files, "rm", "dir/a.txt") == ""
    gone = cli.run(*files, "stat", "dir/a.txt")
    assert error_lines(gone) == ["vorn-azure: stat: not found (error 5)"]
    assert cli.ok(*files, "rm", "-r", "dir") == ""
    assert cli.ok(*files, "ls", "dir") == ""
