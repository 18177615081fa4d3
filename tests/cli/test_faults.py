"""Transfers through a faulty link: what survives, what is refused, and what is left behind."""
import dataclasses
import os
import signal
import subprocess
import time

import pytest
from azure.storage.blob import BlobServiceClient

from azurite_server import ACCOUNT, KEY, endpoint_at
from conftest import VORN_CLI
from loopback_proxy import Fault

BLOCK = "blockid="  # a staged block of an upload
BLOB = "data.bin"
# Above the one-request limit of plain http, so uploads go in blocks and downloads in ranges.
SIZE = 34 << 20


def through(cli, link):
    return cli.environment(AZURE_BLOB_ENDPOINT=endpoint_at(link.port))


def assert_transfer(cli, result, expect_ok, wanted, destination):
    """The command's outcome, the destination's bytes, and no temporary file anywhere."""
    assert (result.returncode == 0) == expect_ok, result.stderr
    assert destination.read_bytes() == wanted
    assert list(destination.parent.iterdir()) == [destination]
    assert list((cli.home / "tmp").iterdir()) == []


# Transient faults are carried through by retries; a corrupted download is refused every time.
@pytest.mark.parametrize("direction, fault, expect_ok", [
    ("put", Fault("503", "PUT", BLOCK, times=3), True),
    ("put", Fault("503", "PUT", "comp=blocklist", times=2), True),
    ("put", Fault("reset-request", "PUT", BLOCK), True),
    ("get", Fault("503", "GET", BLOB, times=3), True),
    ("get", Fault("reset-response", "GET", BLOB), True),
    ("get", Fault("truncate", "GET", BLOB, times=None), False),
    ("get", Fault("flip", "GET", BLOB, times=None), False),
], ids=["503 burst on blocks", "503 burst on commit", "reset mid-upload", "503 burst on download",
        "reset mid-download", "truncated download", "flipped byte in download"])
def test_faulty_link(cli, target, proxy, tmp_path, direction, fault, expect_ok):
    data, old = os.urandom(SIZE), b"the previous version\n"
    (tmp_path / "up").mkdir()
    (tmp_path / "down").mkdir()
    source, destination = tmp_path / "up" / BLOB, tmp_path / "down" / BLOB
    source.write_bytes(data)
    destination.write_bytes(old)
    fault = dataclasses.replace(fault)  # a fresh count of hits
    link = proxy(faults=[fault])
    if direction == "put":
        result = cli.run("--target", target, "put", source, BLOB, env=through(cli, link))
        assert list(source.parent.iterdir()) == [source]
        destination.unlink()
        cli.ok("--target", target, "get", BLOB, destination)
    else:
        cli.ok("--target", target, "put", source, BLOB)
        result = cli.run("--target", target, "get", BLOB, destination, env=through(cli, link))
    assert fault.hits > 0, "the fault never struck"
    assert_transfer(cli, result, expect_ok, data if expect_ok else old, destination)


def stored_bytes(cli, name):
    service = BlobServiceClient(cli.endpoint, credential={"account_name": ACCOUNT, "account_key": KEY})
    return service.get_blob_client(cli.container, name).download_blob().readall()


def staged_blocks(link, writer, count):
    """Waits until `count` block uploads went through `link`."""
    deadline = time.monotonic() + 60
    while sum(BLOCK in request for _, request in link.requests) < count:
        assert time.monotonic() < deadline and writer.poll() is None, "the upload staged too few blocks"
        time.sleep(0.01)


@pytest.mark.parametrize("kill_second", [True, False], ids=["one writer killed", "both finish"])
def test_concurrent_writers_never_mix(cli, target, proxy, tmp_path, kill_second):
    # The first writer runs on a slow link; the second starts part-way through it on a fast one
    # and stages its first blocks (and, unless killed, commits) while the first is still at work.
    contents = [os.urandom(SIZE) for _ in range(2)]
    links = [proxy(upstream=proxy(rate=6e6), faults=[]), proxy(faults=[])]
    writers = []
    for number, (content, link) in enumerate(zip(contents, links)):
        (tmp_path / f"w{number}").write_bytes(content)
        writers.append(subprocess.Popen(
            [VORN_CLI, "--target", target, "put", tmp_path / f"w{number}", BLOB],
            env=through(cli, link), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        staged_blocks(link, writers[-1], 3 if number == 0 else 2)
    if kill_second:
        writers[1].send_signal(signal.SIGKILL)
    succeeded = [writer.wait(timeout=120) == 0 for writer in writers]
    stored = stored_bytes(cli, f"{target}/{BLOB}")
    assert stored in contents, "the stored blob mixes two uploads"
    assert succeeded[contents.index(stored)], "the stored version's writer reported a failure"
