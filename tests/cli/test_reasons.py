"""Faults met in daily use: each in its class, on one line that names the path or endpoint and
the reason, and those that retrying cannot fix without retrying."""
import json
import time

import pytest

from azurite_server import ACCOUNT, loopback_socket, port_of
from conftest import fails

USAGE, NOT_FOUND, UNAVAILABLE = 2, 3, 5
LONG_NAME = "d/" + "n" * 1100

# name: (arguments, exit status, words of the one error line); "--target T" comes first unless the
# arguments name a target. "{plain}" is
# the test's Azurite addressed over https, "{bare}" its address without the account path,
# "{closed}" a loopback endpoint where nothing listens, "{tmp}" the test's directory.
CASES = {
    "path with ./": (["ls", "./etc"], NOT_FOUND, "etc: not found"),
    "path with ..": (["stat", "a/../../b"], USAGE, "\"..\" has no meaning"),
    "path over 1,024 characters": (["put", "{tmp}/f", LONG_NAME], USAGE, "1102 characters is too long"),
    "get of a directory": (["get", "notes", "{tmp}/out"], 1, "notes: is a directory"),
    "missing target": (["--target", "nosuch", "ls"], NOT_FOUND, "no target \"nosuch\""),
    "missing target, put": (["--target", "nosuch", "put", "{tmp}/f", "f"], NOT_FOUND, "`vorn-azure targets`"),
    "endpoint without account": (["--endpoint", "{bare}", "status"], USAGE, "names no account"),
    "bad container name": (["--container", "Bad_Name", "status"], USAGE, "container \"Bad_Name\": a container name"),
    "https at a plain-http server": (["--endpoint", "{plain}", "status"], USAGE, "speaks plain http"),
    "https at a plain-http server, file": (["--endpoint", "{plain}", "get", "notes/a", "{tmp}/out"], USAGE,
                                           "speaks plain http"),
    "no emulator": (["--endpoint", "{closed}", "status"], UNAVAILABLE, "cannot reach the service at {closed}"),
    "unknown profile": (["--profile", "nope", "status"], USAGE, "no profile \"nope\""),
    "unreadable log file": (["--log-file", "{tmp}/absent/log", "status"], NOT_FOUND, "{tmp}/absent/log"),
}


@pytest.mark.parametrize("args, status, words", CASES.values(), ids=CASES.keys())
def test_a_fault_names_its_reason_and_class_at_once(cli, target, tmp_path, args, status, words):
    (tmp_path / "f").write_bytes(b"f")
    cli.ok("--target", target, "put", tmp_path / "f", "notes/a")
    with loopback_socket(listen=False) as closed:
        places = {"tmp": tmp_path, "plain": cli.endpoint.replace("http:", "https:"),
                  "bare": f"http://127.0.0.1:{port_of(cli.endpoint)}",
                  "closed": f"http://127.0.0.1:{closed.getsockname()[1]}/{ACCOUNT}"}
        # The host's own pause between attempts, so that a retried fault shows in the time.
        env = cli.environment(VORN_AGENT_RETRY_BASE_MS=None, XDG_CONFIG_HOME=str(tmp_path))
        began = time.monotonic()
        args = args if "--target" in args else ["--target", target, *args]
        result = cli.run(*(str(arg).format(**places) for arg in args), env=env)
    fails(result, status, words.format(**places))
    assert time.monotonic() - began < 5, "retried a fault that retrying cannot fix"
    assert not (tmp_path / "out").exists()


def test_a_missing_target_gets_nothing_stored(cli, target, tmp_path, service):
    (tmp_path / "f").write_bytes(b"f")
    cli.run("--target", "nosuch", "put", tmp_path / "f", "f")
    assert [blob.name for blob in service.get_container_client(cli.container).list_blobs()] == \
        [f"{target}/vornbkpinfo.db"]


def test_forms_that_have_one_meaning_are_taken(cli, target, tmp_path):
    local = tmp_path / "a.txt"
    local.write_bytes(b"a\n")
    # A remote path ending in "/" is a directory to put into; a local directory one to get into.
    assert cli.ok("--target", target, "put", local, "notes/") == ""
    assert cli.ok("--target", target, "stat", "./notes//a.txt").startswith("type=file size=2 ")
    (tmp_path / "back").mkdir()
    cli.ok("--target", target, "get", "notes/a.txt", tmp_path / "back")
    assert (tmp_path / "back/a.txt").read_bytes() == b"a\n"
    # A command's own options before its name, global ones after it.
    assert [entry["name"] for entry in json.loads(cli.ok("-r", "--json", "ls", "--target", target))] == ["notes/a.txt"]
    source, password = tmp_path / "tree", tmp_path / "password"
    source.mkdir()
    (source / "x").write_bytes(b"x")
    password.write_text("a passphrase\n")
    cli.ok("--target", "snaps", "--password-file", password, "init")
    assert "saved" in cli.ok("--target", "snaps", "--jobs", "2", "--password-file", password, "backup", source)


def test_verbose_names_each_file_and_the_log_file_keeps_a_record(cli, target, tmp_path):
    local, log = tmp_path / "a.txt", tmp_path / "run.log"
    local.write_bytes(b"abc")
    result = cli.run("-v", "--log-file", log, "--target", target, "put", local, "x/a.txt")
    assert (result.returncode, result.stderr) == (0, f"sent {local} as x/a.txt (3 B)\n")
    cli.run("--log-file", log, "--target", target, "get", "x/nothing", tmp_path / "n")
    lines = log.read_text().splitlines()
    assert all(line[:4].isdigit() and " [" in line for line in lines)
    texts = [line.split("] ", 1)[1] for line in lines]
    assert texts[0] == f"put: started (container {cli.container}, target {target})"
    assert f"put: sent {local} as x/a.txt (3 B)" in texts and "get: x/nothing: not found" in " ".join(texts)
    assert texts[-1].startswith("get: exit status 3 after ")
