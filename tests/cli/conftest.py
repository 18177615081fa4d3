"""Fixtures for the vorn-azure command-line tests: a private Azurite and a runner for the CLI."""
import os
import pathlib
import subprocess
import sys
import uuid

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
VORN_CLI = os.environ.get("VORN_CLI", str(ROOT / "build/bin/vorn-azure"))
AGENT_SOURCE = os.environ.get("VORN_AGENT_SOURCE", str(ROOT / "agent/azure_agent.py"))
AGENT_PATH = "usr/vorn/vornbackup/addon/azure_blob/python/azure_agent.py"
# Settings of the caller's shell that would point the CLI somewhere else.
FOREIGN_SETTINGS = ("AZURE_STORAGE_ACCOUNT", "AZURE_STORAGE_KEY", "AZURE_STORAGE_CONNECTION_STRING",
                    "AZURE_BLOB_ENDPOINT", "VORN_AZURE_CONTAINER", "VORN_AZURE_PLUGIN", "VORN_SYSROOT")

sys.path.append(str(ROOT / "tests/support"))
from azurite_server import azurite, service  # noqa: E402,F401  (fixtures, found through the path above)


@pytest.fixture(scope="session")
def sysroot(tmp_path_factory):
    """A sysroot in which the plug-in finds the agent of this source tree."""
    root = tmp_path_factory.mktemp("sysroot")
    (root / AGENT_PATH).parent.mkdir(parents=True)
    (root / AGENT_PATH).symlink_to(AGENT_SOURCE)
    return root


class Cli:
    """Runs vorn-azure against one container of the test's Azurite."""

    def __init__(self, endpoint, sysroot, home):
        self.endpoint = endpoint
        self.container = "c" + uuid.uuid4().hex[:16]
        self.home = home
        (home / "tmp").mkdir(parents=True)
        self.env = {name: value for name, value in os.environ.items() if name not in FOREIGN_SETTINGS}
        self.env.update({
            "AZURE_BLOB_ENDPOINT": endpoint, "VORN_AZURE_CONTAINER": self.container,
            "VORN_SYSROOT": str(sysroot), "VORN_CONFIG_DIR": str(home / "config"),
            "VORN_CACHE_DIR": str(home / "cache"), "TMPDIR": str(home / "tmp"),
            # Retries of network failures would only slow the failure cases down.
            "VORN_AGENT_RETRY_BASE_MS": "1",
        })

    def environment(self, **changes):
        """The CLI's environment with `changes` applied; a value None removes the variable."""
        return {name: value for name, value in {**self.env, **changes}.items() if value is not None}

    def run(self, *args, env=None):
        return subprocess.run([VORN_CLI, *map(str, args)], env=env or self.env,
                              capture_output=True, text=True, timeout=120)

    def ok(self, *args, env=None):
        """Runs a command that must succeed; its standard output."""
        result = self.run(*args, env=env)
        assert result.returncode == 0, f"{args}: exit {result.returncode}\n{result.stderr}"
        return result.stdout

    def popen(self, *args, env=None):
        return subprocess.Popen([VORN_CLI, *map(str, args)], env=env or self.env,
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


def fails(result, status, words):
    """The command failed with this exit status, printing only one error line, which holds these words."""
    assert (result.returncode, result.stdout, len(error_lines(result))) == (status, "", 1), result.stderr
    assert result.stderr.endswith("\n") and result.stderr.count("\n") == 1 and words in result.stderr


@pytest.fixture
def proxy(azurite):
    """Starts loopback proxies in front of the test's Azurite (or of `upstream`, another proxy):
    proxy(upstream=None, **LoopbackProxy options)."""
    from azurite_server import port_of
    from loopback_proxy import LoopbackProxy
    started = []

    def start(upstream=None, **options):
        port = upstream.port if upstream else port_of(azurite)
        started.append(LoopbackProxy(port, **options))
        return started[-1]

    yield start
    for each in started:
        each.close()
