"""Every vorn-azure command once against Azurite, checked by what it prints and what it changed."""
import json
import re
import socket
import time

from conftest import error_lines


def test_container_target_and_task_commands(cli):
    missing = cli.run("status")
    assert (missing.returncode, error_lines(missing)) == (3, [f"vorn-azure: status: container {cli.container}: not found"])
    assert cli.ok("create-container") == ""
    # Quiet unless asked: nothing but the answer, the plug-in's agent lines only with -vv.
    quiet, chatty = cli.run("status"), cli.run("status", "-vv")
    assert (quiet.stdout, quiet.stderr) == ("reachable\n", "")
    assert "agent ready" in chatty.stderr
    assert cli.container in cli.ok("containers").splitlines()
    assert cli.container in json.loads(cli.ok("containers", "--json"))
    again = cli.run("create-container")
    assert (again.returncode, error_lines(again)) == (1, [f"vorn-azure: create-container: container {cli.container}: already exists"])

    assert cli.ok("create-target", "base", "key-1") == "base1\n"
    assert cli.ok("create-target", "base", "key-1") == "base2\n"
    candidate = cli.ok("candidate").strip()
    assert candidate == socket.gethostname() + "_1"
    assert cli.ok("adopt", candidate, "key-1") == ""
    assert sorted(json.loads(cli.ok("targets", "--json"))) == sorted(["base1", "base2", candidate])
    # Adopting with the recorded link key succeeds again; another backup set's key is refused.
    assert cli.ok("adopt", candidate, "key-1") == ""
    foreign = cli.run("adopt", "base1", "key-2")
    assert error_lines(foreign) == ["vorn-azure: adopt: not this backup set's target"]

    assert cli.ok("task-create", "7", "trans_encrypt=false", "retries=3", "note=a b") == ""
    stored = json.loads((cli.home / "config/tasks/7.json").read_text())
    assert stored["options"] == {"trans_encrypt": False, "retries": 3, "note": "a b"}
    before = int(time.time())
    assert cli.ok("set-task-config", "base1", "7") == ""
    # The service's clock (Azurite runs on this host), at one-second resolution.
    assert before - 2 <= int(cli.ok("task-config-time", "base1")) <= time.time() + 2
    absent = cli.run("task-config-time", "no-such-target")
    assert absent.returncode == 3 and error_lines(absent)[0].startswith("vorn-azure: task-config-time: not found")


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
    assert listing(cli.ok(*files, "ls")) == ["d\tdir"]
    assert listing(cli.ok(*files, "ls", "dir")) == ["d\tsub", "f\t12\ta.txt"]
    assert listing(cli.ok(*files, "ls", "dir/a.txt")) == ["f\t12\tdir/a.txt"]
    assert listing(cli.ok(*files, "ls", "-r", "dir")) == ["f\t12\ta.txt", "f\t12\tsub/b c.txt"]
    assert re.fullmatch(r" +12 B  \d{4}-\d\d-\d\d \d\d:\d\d:\d\d  a.txt", cli.ok(*files, "ls", "-l", "dir").splitlines()[1])
    assert {entry["name"] for entry in json.loads(cli.ok(*files, "ls", "--json", "-r"))} == {"dir/a.txt", "dir/sub/b c.txt"}

    get = cli.run(*files, "get", "dir/sub/b c.txt", fetched)
    assert (get.returncode, get.stdout, get.stderr) == (0, "", "")
    assert fetched.read_bytes() == local.read_bytes()
    directory = cli.run(*files, "rm", "dir")
    assert (directory.returncode, error_lines(directory)) == (1, ["vorn-azure: rm: dir: is a directory (rm -r removes it and all below it)"])
    assert cli.ok(*files, "rm", "dir/a.txt") == ""
    for command in (("stat", "dir/a.txt"), ("ls", "dir/a.txt"), ("rm", "dir/a.txt"), ("rm", "-r", "gone")):
        gone = cli.run(*files, *command)
        assert (gone.returncode, error_lines(gone)) == (3, [f"vorn-azure: {command[0]}: {command[-1]}: not found: The specified blob does not exist."])
    assert cli.ok(*files, "rm", "-r", "dir") == ""
    assert cli.run(*files, "ls", "dir").returncode == 3
