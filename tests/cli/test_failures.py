"""How vorn-azure fails: each fault on one line naming its cause, with its class's exit status."""
import base64
import os
import signal
import time

import pytest
from azure.storage.blob import BlobServiceClient, ContentSettings

from azurite_server import ACCOUNT as DEV_ACCOUNT, KEY as DEV_KEY, endpoint_at, loopback_socket
from conftest import error_lines

WRONG_KEY = base64.b64encode(b"not the account key, but valid base64").decode()
WRONG_CREDENTIALS = {"AZURE_STORAGE_ACCOUNT": DEV_ACCOUNT, "AZURE_STORAGE_KEY": WRONG_KEY}
CONNECTION = f"DefaultEndpointsProtocol=http;AccountName={DEV_ACCOUNT};AccountKey={DEV_KEY};"
USAGE, NOT_FOUND, ACCESS, UNAVAILABLE, INTEGRITY = 2, 3, 4, 5, 6


@pytest.mark.parametrize("args, words", [
    ([], "a command is required"), (["no-such-command"], 'unknown command "no-such-command"'),
    (["put", "only-local"], ""), (["ls", "--no-such-flag"], ""), (["task-create", "1", "no-equals-sign"], ""),
    (["put", "a", "b"], "--target"), (["--target", "t", "mkdir", "d"], "hold files"),
    (["--endpoint", "notaurl", "status"], "not an http"), (["--endpoint", "ftp://x", "status"], "not an http"),
    (["--endpoint", "http://127.0.0.1:99999/a", "status"], "invalid port"),
])
def test_usage_error_exits_2_before_any_agent_starts(cli, args, words):
    result = cli.run(*args)
    assert (result.returncode, result.stdout) == (USAGE, "")
    assert words in result.stderr and "pipe opened" not in result.stderr


def test_help_never_shows_a_key(cli):
    result = cli.run("--help", env=cli.environment(AZURE_STORAGE_KEY=WRONG_KEY))
    assert result.returncode == 0 and "--key" in result.stdout and "130 interrupted" in result.stdout
    assert all(key not in result.stdout + result.stderr for key in (WRONG_KEY, DEV_KEY))


def store_faulty_blobs(cli, target):
    """A blob in the archive tier and one whose stored MD5 is not its content's."""
    service = BlobServiceClient(cli.endpoint, credential={"account_name": DEV_ACCOUNT, "account_key": DEV_KEY})
    container = service.get_container_client(cli.container)
    container.upload_blob(f"{target}/old.tar", b"archived").set_standard_blob_tier("Archive")
    container.upload_blob(f"{target}/a.bin", b"data").set_http_headers(ContentSettings(content_md5=bytearray(16)))


# "{closed}" is a loopback port that refuses connections; "{tmp}" the test's directory.
@pytest.mark.parametrize("args, changes, status, words", [
    (["get", "old.tar", "{tmp}/out"], {}, 1, "get: old.tar: the blob is in the archive tier and must be rehydrated"),
    (["get", "a.bin", "{tmp}/out"], {}, INTEGRITY, "get: a.bin: integrity check failed: the blob's stored MD5"),
    (["get", "nothing.bin", "{tmp}/out"], {}, NOT_FOUND, "get: nothing.bin: not found"),
    (["get", "a.bin", "{tmp}/absent/out"], {}, NOT_FOUND, "get: {tmp}/absent: No such file or directory"),
    (["put", "{tmp}/absent", "x"], {}, NOT_FOUND, "put: {tmp}/absent: No such file or directory"),
    (["get", "a.bin", "{tmp}/out"], {"VORN_SYSROOT": "{tmp}"}, 1, "the transfer agent could not be started"),
    (["status"], {"VORN_SYSROOT": "{tmp}"}, 1, "the transfer agent could not be started"),
    (["status"], WRONG_CREDENTIALS, ACCESS, "access denied"),
    (["stat", "x"], WRONG_CREDENTIALS, ACCESS, "the service refused the account name or key"),
    (["status"], {**WRONG_CREDENTIALS, "AZURE_STORAGE_KEY": "not*base64"}, ACCESS, "not valid base64"),
    (["status"], {"AZURE_BLOB_ENDPOINT": "{closed}"}, UNAVAILABLE, "cannot reach the service: network failure"),
    (["get", "x", "{tmp}/out"], {"AZURE_BLOB_ENDPOINT": "{closed}"}, UNAVAILABLE, "cannot reach the service"),
    (["status"], {"AZURE_STORAGE_CONNECTION_STRING": CONNECTION.replace(DEV_KEY, WRONG_KEY) + "BlobEndpoint={endpoint}",
                  "AZURE_BLOB_ENDPOINT": None}, ACCESS, "access denied"),
    (["status"], {"AZURE_STORAGE_CONNECTION_STRING": f"AccountName={DEV_ACCOUNT};AccountKey"}, USAGE,
     "malformed connection string"),
    (["status"], {"AZURE_STORAGE_KEY": DEV_KEY}, USAGE, "a storage key needs its account"),
], ids=["archive tier", "MD5 mismatch", "missing blob", "missing local folder", "missing local file",
"no agent", "no agent for status", "wrong key", "wrong key on a target",
        "key not base64", "closed port", "closed port on a target", "connection string with a wrong key",
        "malformed connection string", "key without account"])
def test_a_fault_gives_its_reason_on_one_line_and_its_class(cli, target, tmp_path, args, changes, status, words):
    store_faulty_blobs(cli, target)
    with loopback_socket(listen=False) as closed:
        places = {"tmp": tmp_path, "endpoint": cli.endpoint, "closed": endpoint_at(closed.getsockname()[1])}
        env = cli.environment(**{name: value and value.format(**places) for name, value in changes.items()})
        result = cli.run("--target", target, *(arg.format(**places) for arg in args), env=env)
    assert result.returncode == status
    assert len(error_lines(result)) == 1 and words.format(**places) in result.stderr
    assert result.stdout == "" and result.stderr == error_lines(result)[0] + "\n"
    assert not (tmp_path / "out").exists()
    assert all(key not in result.stdout + result.stderr for key in (WRONG_KEY, DEV_KEY))


@pytest.mark.parametrize("changes", [
    {"AZURE_STORAGE_CONNECTION_STRING": CONNECTION + "BlobEndpoint={endpoint};", "AZURE_BLOB_ENDPOINT": None},
    {"AZURE_STORAGE_CONNECTION_STRING": "UseDevelopmentStorage=true"},
], ids=["connection string", "development storage"])
def test_connection_settings_reach_the_container(cli, changes):
    cli.ok("create-container")
    env = cli.environment(**{name: value and value.format(endpoint=cli.endpoint) for name, value in changes.items()})
    assert cli.ok("status", env=env) == "reachable\n"


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
    assert stderr.splitlines() == ["vorn-azure: get: big.bin: interrupted"]
    assert list(destination.iterdir()) == list((cli.home / "tmp").iterdir()) == []
