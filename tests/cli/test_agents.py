"""The agents a command starts: one budget shared among them, and none outliving its host."""
import os
import signal
import time

import pytest

from azurite_server import endpoint_at
from conftest import AGENT_PATH, AGENT_SOURCE

# Records the share each agent was given, then runs the real agent.
RECORDING_AGENT = f"""
import os, runpy, sys
with open(os.environ["AGENT_STARTS"], "a") as starts:
    starts.write(os.environ["AZURE_AGENT_STREAMS"] + " " + os.environ["AZURE_AGENT_MEMORY_MIB"] + "\\n")
sys.argv[0] = {str(AGENT_SOURCE)!r}
runpy.run_path(sys.argv[0], run_name="__main__")
"""


@pytest.mark.parametrize("options, command, share", [
    ([], ["put", "{tree}/f0", "f0"], "16 64"),
    ([], ["backup", "--jobs", "4", "{tree}"], "4 16"),
    (["--streams", "6", "--memory", "20"], ["backup", "--jobs", "4", "{tree}"], "1 5"),
    (["--streams", "6", "--memory", "20"], ["restore", "--jobs", "3", "{out}"], "2 6"),
], ids=["one agent", "four jobs", "small budget", "restore"])
def test_the_agents_of_a_command_share_one_budget(cli, target, tmp_path, options, command, share):
    tree, starts = tmp_path / "tree", tmp_path / "starts"
    tree.mkdir()
    for n in range(8):
        (tree / f"f{n}").write_bytes(os.urandom(1000))
    cli.ok("--target", target, "init", "--no-encryption")
    cli.ok("--target", target, "backup", tree)
    sysroot = tmp_path / "sysroot"
    (sysroot / AGENT_PATH).parent.mkdir(parents=True)
    (sysroot / AGENT_PATH).write_text(RECORDING_AGENT)
    places = {"tree": tree, "out": tmp_path / "out"}
    cli.ok(*options, "--target", target, *(arg.format(**places) for arg in command),
           env=cli.environment(VORN_SYSROOT=str(sysroot), AGENT_STARTS=str(starts)))
    assert set(starts.read_text().splitlines()) == {share}


def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if entry.isdigit() and int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except OSError:
            pass
    return found


def running(pid):
    """True while the process exists and is not a zombie waiting to be reaped."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


@pytest.mark.parametrize("command", ["get", "put"])
def test_an_agent_stops_within_a_second_of_its_hosts_death(cli, target, proxy, tmp_path, command):
    local = tmp_path / "big.bin"
    local.write_bytes(os.urandom(40 << 20))
    cli.ok("--target", target, "put", local, "big.bin")
    (tmp_path / "down").mkdir()
    # A slow link, so that work ahead of the host is under way when it dies.
    link = proxy(rate=2e6)
    args = ["get", "big.bin", tmp_path / "down/big.bin"] if command == "get" else ["put", local, "big.bin"]
    host = cli.popen("--target", target, *args, env=cli.environment(AZURE_BLOB_ENDPOINT=endpoint_at(link.port)))
    deadline = time.monotonic() + 30
    while not (agents := children(host.pid)) and host.poll() is None:
        assert time.monotonic() < deadline, "no agent started"
        time.sleep(0.01)
    time.sleep(1.5)
    assert host.poll() is None, "the transfer ended before the host was killed"
    host.send_signal(signal.SIGKILL)
    host.wait()
    killed = time.monotonic()
    # Within a second on a quiet machine; the bound leaves room for a loaded one, and is still
    # far below the seconds that work ahead would go on for.
    while any(map(running, agents)) and time.monotonic() - killed < 10:
        time.sleep(0.01)
    assert not any(map(running, agents)) and time.monotonic() - killed < 3
