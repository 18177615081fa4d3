"""How vorn-azure fails: usage errors, service errors, unreachable endpoints and Ctrl-C."""
import base64
import os
import signal
import socket
import time

import pytest

from conftest import DEV_ACCOUNT, error_lines

DEV_KEY = ("Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/"
           "KBHBeksoGMGw==")
WRONG_KEY = base64.b64encode(b"not the account key, but valid base64").decode()


@pytest.mark.parametrize("args", [
    [],
    ["no-such-command"],
    ["put", "only-local"],
    ["put", "a", "b", "--target", "t"],  # global options come before the command
    ["task-create", "1", "no-equals-sign"],
    ["task-create", "one"],
    ["ls", "--no-such-flag"],
])
def test_usage_error_exits_2(cli, args):
    result = cli.run(*args)
    assert result.returncode == 2
    assert result.stdout == ""


def test_help_never_shows_a_key(cli):
    result = cli.run("--help", env=cli.environment(AZURE_STORAGE_KEY=WRONG_KEY))
    assert result.returncode == 0
    assert "--key" in result.stdout
    for key in (WRONG_KEY, DEV_KEY):
        assert key not in result.stdout + result.stderr


@pytest.mark.parametrize("case, args, changes, expected", [
    ("missing blob", ["--target", "t1", "get", "nothing.bin", "{tmp}/out"], {},
     "vorn-azure: get: not found (error 5)"),
    ("wrong key", ["status"],
     {"AZURE_STORAGE_ACCOUNT": DEV_ACCOUNT, "AZURE_STORAGE_KEY": WRONG_KEY},
     "vorn-azure: status: access denied (error 8)"),
    ("wrong key", ["--target", "t1", "stat", "x"],
     {"AZURE_STORAGE_ACCOUNT": DEV_ACCOUNT, "AZURE_STORAGE_KEY": WRONG_KEY},
     "vorn-azure: stat: rejected credentials (error 10)"),
    ("closed port", ["status"], {"AZURE_BLOB_ENDPOINT": "closed"},
     "vorn-azure: status: network failure (error 25)"),
    ("closed port", ["--target", "t1", "get", "x", "{tmp}/out"], {"AZURE_BLOB_ENDPOINT": "closed"},
     "vorn-azure: get: network failure (error 8)"),
    ("key without account", ["status"], {"AZURE_STORAGE_KEY": DEV_KEY},
     "vorn-azure: status: a storage key needs its account: "
     "give --account or AZURE_STORAGE_ACCOUNT"),
])
def test_failure_is_one_line_and_exit_1(cli, tmp_path, case, args, changes, expected):
    cli.ok("create-container")
    # A port bound but not listening refuses connections, and no other process can take it.
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        if changes.get("AZURE_BLOB_ENDPOINT") == "closed":
            changes["AZURE_BLOB_ENDPOINT"] = \
                f"http://127.0.0.1:{closed.getsockname()[1]}/{DEV_ACCOUNT}"
        result = cli.run(*(arg.format(tmp=tmp_path) for arg in args),
                         env=cli.environment(**changes))
    assert (result.returncode, error_lines(result), result.stdout) == (1, [expected], ""), case
    assert not (tmp_path / "out").exists()
    for key in (WRONG_KEY, DEV_KEY):
        assert key not in result.stderr


CONNECTION = f"DefaultEndpointsProtocol=http;AccountName={DEV_ACCOUNT};AccountKey={DEV_KEY};"


@pytest.mark.parametrize("connection, endpoint_variable, expected", [
    (CONNECTION + "BlobEndpoint={endpoint};", False, "reachable"),
    ("UseDevelopmentStorage=true", True, "reachable"),
    (CONNECTION.replace(DEV_KEY, WRONG_KEY) + "BlobEndpoint={endpoint}", False,
     "vorn-azure: status: access denied (error 8)"),
    (f"AccountName={DEV_ACCOUNT};AccountKey", True,
     'vorn-azure: status: malformed connection string (a field without a name or a "=")'),
], ids=["blob endpoint", "development storage", "wrong key", "malformed"])
def test_connection_string(cli, connection, endpoint_variable, expected):
    """A connection string names account, key and endpoint; AZURE_BLOB_ENDPOINT overrides it."""
    cli.ok("create-container")
    env = cli.environment(AZURE_STORAGE_CONNECTION_STRING=connection.format(endpoint=cli.endpoint),
                          AZURE_BLOB_ENDPOINT=cli.endpoint if endpoint_variable else None)
    result = cli.run("status", env=env)
    assert (result.stdout.strip() or error_lines(result)[0]) == expected
    for key in (WRONG_KEY, DEV_KEY):
        assert key not in result.stderr


def test_options_override_the_environment(cli):
    env = cli.environment(AZURE_BLOB_ENDPOINT="http://127.0.0.1:9/nowhere",
                          VORN_AZURE_CONTAINER="other")
    assert cli.ok("--endpoint", cli.endpoint, "--container", cli.container, "--http",
                  "create-container", env=env) == ""
    assert cli.ok("status") == "reachable\n"


def test_ctrl_c_cancels_a_download(cli, target, tmp_path):
    big = tmp_path / "big.bin"
    big.write_bytes(os.urandom(40 << 20))
    cli.ok("--target", target, "put", big, "big.bin")
    destination = tmp_path / "restore"
    destination.mkdir()

    download = cli.popen("--target", target, "get", "big.bin", destination / "big.bin")
    # The download's temporary file appears in the destination directory once data flows.
    deadline = time.monotonic() + 30
    while not any(destination.iterdir()) and download.poll() is None:
        assert time.monotonic() < deadline, "the download never started"
        time.sleep(0.005)
    download.send_signal(signal.SIGINT)
    _, stderr = download.communicate(timeout=30)

    assert download.returncode == 130, stderr
    assert "vorn-azure: get: interrupted" in stderr.splitlines()
    assert list(destination.iterdir()) == []
    assert list((cli.home / "tmp").iterdir()) == []
