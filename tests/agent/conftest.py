"""Agent fixtures: every test talks to a real emulator on loopback."""
import json
import os
import queue
import subprocess
import sys
import tempfile
import threading
import uuid
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from azurite_server import ACCOUNT, KEY, azurite, service  # noqa: E402,F401  (fixtures)

AGENT = Path(__file__).resolve().parents[2] / "agent" / "azure_agent.py"
# A reply slower than this is a hang, e.g. the SDK retrying behind our back.
REPLY_SECONDS = 20

# The package, for tests that drive an agent inside this process.
sys.path.insert(0, str(AGENT.parent))


class AgentProcess:
    """The agent as the plug-in runs it: a child speaking JSON lines."""

    def __init__(self, env, cwd):
        self._stderr = tempfile.TemporaryFile()
        self.process = subprocess.Popen(["/usr/bin/python", str(AGENT)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=self._stderr, env=env, cwd=cwd)
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

    def call(self, fn, **members):
        self.write(json.dumps({"fn": fn, **members}))
        return self.reply()

    def close(self):
        """End the input; return the exit status."""
        self.process.stdin.close()
        return self.process.wait(timeout=REPLY_SECONDS)

    def stderr(self):
        self._stderr.seek(0)
        return self._stderr.read().decode()


@pytest.fixture
def agent_env(azurite):
    return {"PATH": os.environ["PATH"], "AZURE_ACCESS_KEY": ACCOUNT, "AZURE_SECRET_KEY": KEY,
            "AZURE_SCHEME": "http", "AZURE_BLOB_ENDPOINT": azurite}


@pytest.fixture
def start_agent(agent_env, tmp_path):
    """Starts an agent with agent_env and `changes` applied; a value None removes the variable."""
    started = []

    def start(**changes):
        env = {name: value for name, value in {**agent_env, **changes}.items() if value is not None}
        started.append(AgentProcess(env, cwd=tmp_path))
        return started[-1]

    yield start
    for agent in started:
        agent.process.kill()
        agent.process.wait()


@pytest.fixture
def agent(start_agent):
    started = start_agent()
    assert started.first_line == "start"
    return started


@pytest.fixture
def container(agent):
    name = f"c{uuid.uuid4().hex}"
    assert agent.call("createContainer", container=name) == {"success": True}
    return name
