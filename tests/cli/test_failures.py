"""How vorn-azure fails: each fault on one line naming its cause, with its class's exit status."""
import base64
import os
import signal
import time

import pytest
from azure.storage.blob import ContentSettings

from azurite_server import ACCOUNT as DEV_ACCOUNT, KEY as DEV_KEY, endpoint_at, loopback_socket
from conftest import AGENT_PATH, fails

WRONG_KEY = base64.b64encode(b"not the account key, but valid base64").decode()
WRONG_CREDENTIALS = {"AZURE_STORAGE_ACCOUNT": DEV_ACCOUNT, "AZURE_STORAGE_KEY": WRONG_KEY}
CONNECTION = f"DefaultEndpointsProtocol=http;AccountName={DEV_ACCOUNT};AccountKey={DEV_KEY};"
USAGE, NOT_FOUND, ACCESS, UNAVAILABLE, INTEGRITY = 2, 3, 4, 5, 6


@pytest.mark.parametrize("args, words", [
    ([], "a command is required"), (["no-such-command"], "no-such-command"), (["ls", "--no-such-flag"], ""),
    (["task-create", "1", "no-equals-sign"], ""), (["put", "a", "b"], "--target"),
    (["--target", "t", "mkdir", "d"], "hold files"), (["--endpoint", "notaurl", "status"], "not an http"),
    (["--endpoint", "ftp://x", "status"], "not an http"), (["--endpoint", "http://127.0.0.1:99999/a", "status"], "port"),
])
def test_usage_error_exits_2_before_any_agent_starts(cli, args, words):
    result = cli.run(*args)
    assert (result.returncode, result.stdout) == (USAGE, "")
    assert words in result.stderr and "pipe opened" not in result.stderr


def test_help_never_shows_a_key(cli):
    result = cli.run("--help", env=cli.environment(AZURE_STORAGE_KEY=WRONG_KEY))
    assert result.returncode == 0 and "--key" in result.stdout and "130 interrupted" in result.stdout
    assert all(key not in result.stdout + result.stderr for key in (WRONG_KEY, DEV_KEY))


# name: (arguments, environment changes, exit status, key words). "{closed}" is a loopback port that
# refuses connections, "{tmp}" the test's directory, "{bare}" a sysroot whose agent directory is
# empty (an agent installed on the machine is not taken instead); a.bin's stored MD5 is not its
# content's.
FAULTS = {
    "archive tier": (["get", "old.tar", "{tmp}/out"], {}, 1, "archive tier"),
    "MD5 mismatch": (["get", "a.bin", "{tmp}/out"], {}, INTEGRITY, "integrity check failed"),
    "missing blob": (["get", "nothing.bin", "{tmp}/out"], {}, NOT_FOUND, "nothing.bin: not found"),
    "missing local folder": (["get", "a.bin", "{tmp}/absent/out"], {}, NOT_FOUND, "{tmp}/absent: No such file"),
    "missing local file": (["put", "{tmp}/absent", "x"], {}, NOT_FOUND, "{tmp}/absent: No such file"),
    "no agent": (["get", "a.bin", "{tmp}/out"], {"VORN_SYSROOT": "{bare}"}, 1, "agent could not be started"),
    "no agent for status": (["status"], {"VORN_SYSROOT": "{bare}"}, 1, "agent could not be started"),
    "wrong key": (["status"], WRONG_CREDENTIALS, ACCESS, "refused the account name or key"),
    "wrong key on a target": (["stat", "x"], WRONG_CREDENTIALS, ACCESS, "refused the account name or key"),
    "key not base64": (["status"], {**WRONG_CREDENTIALS, "AZURE_STORAGE_KEY": "not*base64"}, ACCESS, "base64"),
    "closed port": (["status"], {"AZURE_BLOB_ENDPOINT": "{closed}"}, UNAVAILABLE, "cannot reach the service"),
    "closed port on a target": (["get", "x", "{tmp}/out"], {"AZURE_BLOB_ENDPOINT": "{closed}"}, UNAVAILABLE,
                                "cannot reach the service"),
    "connection string with a wrong key": (["status"], {"AZURE_BLOB_ENDPOINT": None, "AZURE_STORAGE_CONNECTION_STRING":
                                           CONNECTION.replace(DEV_KEY, WRONG_KEY) + "BlobEndpoint={endpoint}"},
                                           ACCESS, "refused the account name or key"),
    "malformed connection string": (["status"], {"AZURE_STORAGE_CONNECTION_STRING": f"AccountName={DEV_ACCOUNT};"
                                                 "AccountKey"}, USAGE, "malformed connection string"),
    "key without account": (["status"], {"AZURE_STORAGE_KEY": DEV_KEY}, USAGE, "needs its account"),
}


@pytest.mark.parametrize("args, changes, status, words", FAULTS.values(), ids=FAULTS.keys())
def test_a_fault_gives_its_reason_on_one_line_and_its_class(cli, target, service, tmp_path, args, changes, status,
                                                            words):
    container = service.get_container_client(cli.container)
    container.upload_blob(f"{target}/old.tar", b"archived").set_standard_blob_tier("Archive")
    container.upload_blob(f"{target}/a.bin", b"data").set_http_headers(ContentSettings(content_md5=bytearray(16)))
    bare = tmp_path / "bare-root"
    (bare / AGENT_PATH).parent.mkdir(parents=True)
    with loopback_socket(listen=False) as closed:
        places = {"tmp": tmp_path, "bare": bare, "endpoint": cli.endpoint,
                  "closed": endpoint_at(closed.getsockname()[1])}
        env = cli.environment(**{name: value and value.format(**places) for name, value in changes.items()})
        result = cli.run("--target", target, *(arg.format(**places) for arg in args), env=env)
    fails(result, status, words.format(**places))
    assert not (tmp_path / "out").exists()
    assert all(key not in result.stdout + result.stderr for key in (WRONG_KEY, DEV_KEY))


@pytest.mark.parametrize("changes", [
    {"AZURE_STORAGE_CONNECTION_STRING": CONNECTION + "BlobEndpoint={endpoint};", "AZURE_BLOB_ENDPOINT": None},
    {"AZURE_STORAGE_CONNECTION_STRING": "UseDevelopmentStorage=true"},
], ids=["connection string", "development storage"])
def test_connection_settings_reach_the_container(cli, changes):
    cli.ok("create-container")
    env = cli.environment(**{name: value and value.format(endpoint=cli.endpoint) for name, value in changes.items()})
    assert cli.ok("status", env=env) == "reachable\ncredential: account key of devstoreaccount1\n"


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
    assert (download.returncode, stderr) == (130, "vorn-azure: get: big.bin: interrupted\n")
    assert list(destination.iterdir()) == list((cli.home / "tmp").iterdir()) == []
