"""Fixtures for the vorn-azure command-line tests: a private Azurite and a runner for the CLI."""
import os
import pathlib
import socket
import subprocess
import time
import uuid

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
AZURITE_BIN = os.environ.get("AZURITE_BIN",
                             str(ROOT / "tools/azurite/node_modules/.bin/azurite-blob"))
VORN_CLI = os.environ.get("VORN_CLI", str(ROOT / "build/bin/vorn-azure"))
AGENT_SOURCE = os.environ.get("VORN_AGENT_SOURCE", str(ROOT / "agent/azure_agent.py"))
AGENT_PATH = "usr/vorn/vornbackup/addon/azure_blob/python/azure_agent.py"
DEV_ACCOUNT = "devstoreaccount1"

# Settings of the caller's shell that would point the CLI somewhere else.
FOREIGN_SETTINGS = ("AZURE_STORAGE_ACCOUNT", "AZURE_STORAGE_KEY", "AZURE_STORAGE_CONNECTION_STRING",
                    "AZURE_BLOB_ENDPOINT", "VORN_AZURE_CONTAINER", "VORN_AZURE_PLUGIN",
                    "VORN_SYSROOT")


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def accepts(port):
    with socket.socket() as sock:
        return sock.connect_ex(("127.0.0.1", port)) == 0


@pytest.fixture(scope="session")
def azurite():
    """The blob endpoint of an in-memory Azurite on a free loopback port."""
    port = free_port()
    server = subprocess.Popen(
        [AZURITE_BIN, "--blobHost", "127.0.0.1", "--blobPort", str(port),
         "--inMemoryPersistence", "--disableTelemetry", "--skipApiVersionCheck", "--silent",
         "--loose"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while not accepts(port):
            if server.poll() is not None or time.monotonic() > deadline:
                pytest.fail(f"Azurite did not start on port {port}")
            time.sleep(0.1)
        yield f"http://127.0.0.1:{port}/{DEV_ACCOUNT}"
    finally:
        server.terminate()
        server.wait(timeout=10)


@pytest.fixture(scope="session")
def sysroot(tmp_path_factory):
    """A sysroot in which the plug-in finds the agent of this source tree."""
    root = tmp_path_factory.mktemp("sysroot")
    script = root / AGENT_PATH
    script.parent.mkdir(parents=True)
    script.symlink_to(AGENT_SOURCE)
    return root


class Cli:
    """Runs vorn-azure against one container of the test's Azurite."""

    def __init__(self, endpoint, sysroot, home):
        self.endpoint = endpoint
        self.container = "c" + uuid.uuid4().hex[:16]
        self.home = home
        env = {k: v for k, v in os.environ.items() if k not in FOREIGN_SETTINGS}
        (home / "tmp").mkdir(parents=True)
        env.update({
            "AZURE_BLOB_ENDPOINT": endpoint,
            "VORN_AZURE_CONTAINER": self.container,
            "VORN_SYSROOT": str(sysroot),
            "VORN_CONFIG_DIR": str(home / "config"),
            "VORN_CACHE_DIR": str(home / "cache"),
            "TMPDIR": str(home / "tmp"),
            # Retries of network failures would only slow the failure cases down.
            "VORN_AGENT_RETRY_BASE_MS": "1",
        })
        self.env = env

    def environment(self, **changes):
        """The CLI's environment with `changes` applied; a value None removes the variable."""
        env = dict(self.env)
        for name, value in changes.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return env

    def run(self, *args, env=None, timeout=120):
        return subprocess.run([VORN_CLI, *map(str, args)], env=env or self.env,
                              capture_output=True, text=True, timeout=timeout)

    def ok(self, *args, env=None):
        """Runs a command that must succeed; its standard output."""
        result = self.run(*args, env=env)
        assert result.returncode == 0, f"{args}: exit {result.returncode}\n{result.stderr}"
        return result.stdout

    def popen(self, *args):
        return subprocess.Popen([VORN_CLI, *map(str, args)], env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


@pytest.fixture
def cli(azurite, sysroot, tmp_path):
    """A CLI on a container of its own, not yet created."""
    return Cli(azurite, sysroot, tmp_path / "home")


@pytest.fixture
def target(cli):
    """A created container with one target; its id."""
    cli.ok("create-container")
    return cli.ok("create-target", "t", "link-key").strip()


def error_lines(result):
    """The CLI's own error lines (the plug-in may write progress lines on standard error too)."""
    return [line for line in result.stderr.splitlines() if line.startswith("vorn-azure: ")]
