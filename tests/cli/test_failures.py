"""How vorn-azure fails: usage errors, service errors, unreachable endpoints and Ctrl-C."""
import base64
import os
import signal
import time

import pytest

from azurite_server import ACCOUNT as DEV_ACCOUNT, KEY as DEV_KEY, endpoint_at, loopback_socket
from conftest import error_lines

WRONG_KEY = base64.b64encode(b"not the account key, but valid base64").decode()
WRONG_CREDENTIALS = {"AZURE_STORAGE_ACCOUNT": DEV_ACCOUNT, "AZURE_STORAGE_KEY": WRONG_KEY}
CONNECTION = f"DefaultEndpointsProtocol=http;AccountName={DEV_ACCOUNT};AccountKey={DEV_KEY};"


@pytest.mark.parametrize("args", [
    [], ["no-such-command"], ["put", "only-local"], ["ls", "--no-such-flag"],
    ["task-create", "1", "no-equals-sign"], ["task-create", "one"],
    ["put", "a", "b", "--target", "t"],  # global options come before the command
])
def test_usage_error_exits_2(cli, args):
    result = cli.run(*args)
    assert (result.returncode, result.stdout) == (2, "")


def test_help_never_shows_a_key(cli):
    result = cli.run("--help", env=cli.environment(AZURE_STORAGE_KEY=WRONG_KEY))
    assert result.returncode == 0 and "--key" in result.stdout
    assert all(key not in result.stdout + result.stderr for key in (WRONG_KEY, DEV_KEY))


# "{closed}" is a loopback port that refuses connections; "{endpoint}" and "{container}" are the test's.
@pytest.mark.parametrize("args, changes, status, line", [
    (["--target", "t1", "get", "nothing.bin", "{tmp}/out"], {}, 1, "vorn-azure: get: not found (error 5)"),
    (["--target", "t1", "backup", "{tmp}/absent"], {}, 1, "vorn-azure: backup: {tmp}/absent: not a directory"),
    (["status"], WRONG_CREDENTIALS, 1, "vorn-azure: status: access denied (error 8)"),
    (["--target", "t1", "stat", "x"], WRONG_CREDENTIALS, 1,
     "vorn-azure: stat: rejected credentials (error 10)"),
    (["status"], {"AZURE_BLOB_ENDPOINT": "{closed}"}, 1, "vorn-azure: status: network failure (error 25)"),
    (["--target", "t1", "get", "x", "{tmp}/out"], {"AZURE_BLOB_ENDPOINT": "{closed}"}, 1,
     "vorn-azure: get: network failure (error 8)"),
    (["status"], {"AZURE_STORAGE_KEY": DEV_KEY}, 1,
     "vorn-azure: status: a storage key needs its account: give --account or AZURE_STORAGE_ACCOUNT"),
    # A connection string names account, key and endpoint; AZURE_BLOB_ENDPOINT overrides it.
    (["status"], {"AZURE_STORAGE_CONNECTION_STRING": CONNECTION + "BlobEndpoint={endpoint};",
                  "AZURE_BLOB_ENDPOINT": None}, 0, "reachable"),
    (["status"], {"AZURE_STORAGE_CONNECTION_STRING": "UseDevelopmentStorage=true"}, 0, "reachable"),
    (["status"], {"AZURE_STORAGE_CONNECTION_STRING": CONNECTION.replace(DEV_KEY, WRONG_KEY)
                  + "BlobEndpoint={endpoint}", "AZURE_BLOB_ENDPOINT": None}, 1,
     "vorn-azure: status: access denied (error 8)"),
    (["status"], {"AZURE_STORAGE_CONNECTION_STRING": f"AccountName={DEV_ACCOUNT};AccountKey"}, 1,
     'vorn-azure: status: malformed connection string (a field without a name or a "=")'),
    (["--endpoint", "{endpoint}", "--container", "{container}", "--http", "status"],
     {"AZURE_BLOB_ENDPOINT": "http://127.0.0.1:9/nowhere", "VORN_AZURE_CONTAINER": "other"}, 0, "reachable"),
], ids=["missing blob", "missing backup source", "wrong key", "wrong key on a target", "closed port", "closed port on a target",
        "key without account", "connection string", "development storage",
        "connection string with a wrong key", "malformed connection string",
        "options override the environment"])
def test_one_line_of_output_and_the_exit_status(cli, tmp_path, args, changes, status, line):
    cli.ok("create-container")
    with loopback_socket(listen=False) as closed:
        places = {"tmp": tmp_path, "endpoint": cli.endpoint, "container": cli.container,
                  "closed": endpoint_at(closed.getsockname()[1])}
        env = cli.environment(**{name: value and value.format(**places) for name, value in changes.items()})
        result = cli.run(*(arg.format(**places) for arg in args), env=env)
    shown = result.stdout.splitlines() + error_lines(result)
    assert (result.returncode, shown) == (status, [line.format(**places)])
    assert not (tmp_path / "out").exists()
    assert all(key not in result.stdout + result.stderr for key in (WRONG_KEY, DEV_KEY))


def test_ctrl_c_cancels_a_download(cli, target, tmp_path):
    big, destination = tmp_path / "big.bin", tmp_path / "restore"
    big.write_bytes(os.urandom(40 << 20))
    cli.ok("--target", target, "put", big, "big.bin")
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
    assert list(destination.iterdir()) == list((cli.home / "tmp").iterdir()) == []
