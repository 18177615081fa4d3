"""The Azurite fixture and loopback helpers shared by the agent and command-line suites."""
import contextlib
import os
import socket
import subprocess
import time
from pathlib import Path

import pytest

AZURITE = os.environ.get(
    "AZURITE_BIN", str(Path(__file__).resolve().parents[2] / "tools/azurite/node_modules/.bin/azurite-blob"))
ACCOUNT = "devstoreaccount1"
KEY = "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw=="


def loopback_socket(listen):
    """A socket on a free loopback port: listening but silent, or (not listening) refusing
    connections while no other process can take the port."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    if listen:
        sock.listen(8)
    return sock


def endpoint_at(port, scheme="http"):
    return f"{scheme}://127.0.0.1:{port}/{ACCOUNT}"


def port_of(endpoint):
    """The port of an endpoint made by endpoint_at."""
    return int(endpoint.rsplit(":", 1)[1].split("/")[0])


def accepts(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


@contextlib.contextmanager
def running_azurite(*options, scheme="http"):
    """The blob endpoint of an in-memory Azurite on a free loopback port, for the block's time;
    `options` are more of Azurite's (https needs its certificate among them)."""
    with loopback_socket(listen=False) as reserved:
        port = reserved.getsockname()[1]
    server = subprocess.Popen(
        [AZURITE, "--blobHost", "127.0.0.1", "--blobPort", str(port), "--inMemoryPersistence",
         "--disableTelemetry", "--skipApiVersionCheck", "--silent", "--loose", *options],
        stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while not accepts(port):
            assert server.poll() is None and time.monotonic() < deadline, "Azurite did not start"
            time.sleep(0.05)
        yield endpoint_at(port, scheme)
    finally:
        server.terminate()
        server.wait(timeout=10)


@pytest.fixture(scope="session")
def azurite():
    """The blob endpoint of an in-memory Azurite on a free loopback port."""
    with running_azurite() as endpoint:
        yield endpoint


@pytest.fixture(scope="session")
def service(azurite):
    """The SDK's own client on the emulator, to arrange or inspect blobs behind the code under test."""
    from azure.storage.blob import BlobServiceClient
    return BlobServiceClient(azurite, credential={"account_name": ACCOUNT, "account_key": KEY})
