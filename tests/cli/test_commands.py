"""Every vorn-azure command once against Azurite, checked by what it prints and what it changed."""
import json
import re
import socket
import time

from conftest import fails


def test_container_target_and_task_commands(cli):
    fails(cli.run("status"), 3, f"container {cli.container}: not found")
    assert cli.ok("create-container") == ""
    # Quiet unless asked: nothing but the answer, the plug-in's agent lines only with -vv.
    quiet, chatty = cli.run("status"), cli.run("status", "-vv")
    assert (quiet.stdout, quiet.stderr) == ("reachable\ncredential: account key of devstoreaccount1\n", "")
    assert "agent ready" in chatty.stderr
    assert cli.container in cli.ok("containers").splitlines()
    assert cli.container in json.loads(cli.ok("containers", "--json"))
    fails(cli.run("create-container"), 1, "already exists")

    assert [cli.ok("create-target", "base", "key-1") for _ in range(2)] == ["base1\n", "base2\n"]
    candidate = cli.ok("candidate").strip()
    assert candidate == socket.gethostname() + "_1"
    # Adopting with the recorded link key succeeds again; another backup set's key is refused.
    assert cli.ok("adopt", candidate, "key-1") == cli.ok("adopt", candidate, "key-1") == ""
    assert sorted(json.loads(cli.ok("targets", "--json"))) == sorted(["base1", "base2", candidate])
    fails(cli.run("adopt", "base1", "key-2"), 1, "not this backup set's target")

    assert cli.ok("task-create", "7", "trans_encrypt=false", "retries=3", "note=a b") == ""
    stored = json.loads((cli.home / "config/tasks/7.json").read_text())
    assert stored["options"] == {"trans_encrypt": False, "retries": 3, "note": "a b"}
    before = int(time.time())
    assert cli.ok("set-task-config", "base1", "7") == ""
    # The service's clock (Azurite runs on this host), at one-second resolution.
    assert before - 2 <= int(cli.ok("task-config-time", "base1")) <= time.time() + 2
    fails(cli.run("task-config-time", "no-such-target"), 3, "not found")


def listing(text):
    """`ls` lines, sorted, with the modification time of files (digits) left out."""
    return sorted(re.sub(r"^f\t(\d+)\t\d+\t", r"f\t\1\t", line) for line in text.splitlines())


def test_file_commands(cli, target, tmp_path):
    local, fetched = tmp_path / "a.txt", tmp_path / "fetched.txt"
    local.write_bytes(b"hello, blob\n")
    files = ("--target", target)
    put = cli.run("put", local, "dir/a.txt", *files)  # global options after the command
    assert (put.returncode, put.stdout, put.stderr) == (0, "", "")
    cli.ok(*files, "put", local, "dir/sub/b c.txt")

    stat = cli.ok(*files, "stat", "dir/a.txt")
    assert re.fullmatch(r"type=file size=12 mtime=\d+ etag=\S+\n", stat)
    assert abs(int(re.search(r"mtime=(\d+)", stat).group(1)) - time.time()) < 60
    assert json.loads(cli.ok(*files, "stat", "--json", "dir/a.txt"))["size"] == 12
    assert cli.ok(*files, "stat", "dir") == "type=dir\n"
    # The target's own records stay out of its listing.
    for args, entries in [((), ["d\tdir"]), (("dir",), ["d\tsub", "f\t12\ta.txt"]), (("dir/a.txt",), ["f\t12\tdir/a.txt"]),
                          (("-r", "dir"), ["f\t12\ta.txt", "f\t12\tsub/b c.txt"])]:
        assert listing(cli.ok(*files, "ls", *args)) == entries, args
    assert re.fullmatch(r" +12 B  \d{4}-\d\d-\d\d \d\d:\d\d:\d\d  a.txt", cli.ok(*files, "ls", "-l", "dir").splitlines()[1])
    assert {entry["name"] for entry in json.loads(cli.ok(*files, "ls", "--json", "-r"))} == {"dir/a.txt", "dir/sub/b c.txt"}

    get = cli.run(*files, "get", "dir/sub/b c.txt", fetched)
    assert (get.returncode, get.stdout, get.stderr, fetched.read_bytes()) == (0, "", "", local.read_bytes())
    fails(cli.run(*files, "rm", "dir"), 1, "dir: is a directory")
    assert cli.ok(*files, "rm", "dir/a.txt") == ""
    for command in (("stat", "dir/a.txt"), ("ls", "dir/a.txt"), ("rm", "dir/a.txt"), ("rm", "-r", "gone")):
        fails(cli.run(*files, *command), 3, f"{command[-1]}: not found")
    assert cli.ok(*files, "rm", "-r", "dir") == ""
    assert cli.run(*files, "ls", "dir").returncode == 3
