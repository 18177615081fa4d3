"""Azurite and agent fixtures: every test talks to a real emulator on loopback."""
import contextlib
import json
import os
import queue
import socket
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
AGENT = ROOT / "agent" / "azure_agent.py"
AZURITE = ROOT / "tools" / "azurite" / "node_modules" / ".bin" / "azurite-blob"
PYTHON = "/usr/bin/python"
ACCOUNT = "devstoreaccount1"
# A reply slower than this is a hang, e.g. the SDK retrying behind our back.
REPLY_SECONDS = 20
KEY = "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw=="

sys.path.insert(0, str(AGENT.parent))


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, process, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("azurite exited during start-up")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("azurite did not start listening")


@contextlib.contextmanager
def running_azurite():
    """An in-memory Azurite on a free loopback port; yields its blob endpoint."""
    port = free_port()
    azurite = subprocess.Popen(
        [str(AZURITE), "--blobHost", "127.0.0.1", "--blobPort", str(port),
         "--inMemoryPersistence", "--disableTelemetry", "--skipApiVersionCheck", "--silent"],
        stdout=subprocess.DEVNULL)
    try:
        wait_for_port(port, azurite)
        yield f"http://127.0.0.1:{port}/{ACCOUNT}"
    finally:
        azurite.terminate()
        azurite.wait(timeout=10)


@pytest.fixture(scope="session")
def endpoint():
    with running_azurite() as url:
        yield url


class AgentProcess:
    """The agent as the plug-in runs it: a child speaking JSON lines."""

    def __init__(self, env, cwd):
        self._stderr = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [PYTHON, str(AGENT)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=self._stderr, env=env, cwd=cwd)
        self._lines = queue.Queue()
        threading.Thread(target=self._read_lines, daemon=True).start()
        self.first_line = self._lines.get(timeout=REPLY_SECONDS).decode().rstrip("\n")

    def _read_lines(self):
        for line in self.process.stdout:
            self._lines.put(line)

    def write(self, line):
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def reply(self):
        return json.loads(self._lines.get(timeout=REPLY_SECONDS))

    def send(self, line):
        self.write(line)
        return self.reply()

    def call(self, fn, **members):
        return self.send(json.dumps({"fn": fn, **members}))

    def close(self):
        """End the input; return the exit status."""
        self.process.stdin.close()
        return self.process.wait(timeout=REPLY_SECONDS)

    def stderr(self):
        self._stderr.seek(0)
        return self._stderr.read().decode()


@pytest.fixture
def agent_env(endpoint):
    return {"PATH": os.environ["PATH"], "AZURE_ACCESS_KEY": ACCOUNT, "AZURE_SECRET_KEY": KEY,
            "AZURE_SCHEME": "http", "AZURE_BLOB_ENDPOINT": endpoint}


@pytest.fixture
def start_agent(tmp_path):
    started = []

    def start(env):
        started.append(AgentProcess(env, cwd=tmp_path))
        return started[-1]

    yield start
    for agent in started:
        agent.process.kill()
        agent.process.wait()


@pytest.fixture
def agent(start_agent, agent_env):
    started = start_agent(agent_env)
    assert started.first_line == "start"
    return started


@pytest.fixture
def container(agent):
    name = f"c{uuid.uuid4().hex}"
    assert agent.call("createContainer", container=name) == {"success": True}
    return name


@pytest.fixture
def service(endpoint):
    from azure.storage.blob import BlobServiceClient
    return BlobServiceClient(endpoint, credential={"account_name": ACCOUNT, "account_key": KEY})
