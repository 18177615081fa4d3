"""What a person sees on a terminal (a tmux pane): the progress bar ends at 100% on a line of its
own, and the summary stands on the next one."""
import shlex
import shutil
import subprocess
import time
import uuid

import pytest

from conftest import VORN_CLI

pytestmark = pytest.mark.skipif(shutil.which("tmux") is None, reason="tmux is not installed")


def pane_after(cli, tmp_path, *args):
    """The pane's text once `vorn-azure ARGS` ended in a 200-column tmux pane."""
    server, status = "vorn-" + uuid.uuid4().hex[:8], tmp_path / "status"
    script = tmp_path / "run.sh"
    script.write_text("".join(f"export {name}={shlex.quote(value)}\n" for name, value in cli.env.items()) +
                      shlex.join([VORN_CLI, *map(str, args)]) + f"\necho $? > {status}\nsleep 120\n")
    tmux = ["tmux", "-L", server, "-f", "/dev/null"]
    subprocess.run([*tmux, "new-session", "-d", "-x", "200", "-y", "50", "bash", "--norc", str(script)], check=True)
    try:
        deadline = time.monotonic() + 120
        while not status.exists() or not status.read_text():
            assert time.monotonic() < deadline, "the command did not end"
            time.sleep(0.1)
        assert status.read_text() == "0\n"
        return subprocess.run([*tmux, "capture-pane", "-p", "-S", "-50"], check=True, capture_output=True,
                              text=True).stdout
    finally:
        subprocess.run([*tmux, "kill-server"], check=False)


def test_a_backup_summary_stands_on_its_own_line(cli, tmp_path):
    tree, password = tmp_path / "tree", tmp_path / "password"
    for number in range(2000):
        path = tree / f"d{number // 100}" / f"f{number}"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(bytes(number % 251 for _ in range(512)))
    password.write_text("a passphrase\n")
    cli.ok("create-container")
    cli.ok("--target", "t", "--password-file", password, "init")
    pane = pane_after(cli, tmp_path, "--target", "t", "--password-file", password, "backup", tree)
    lines = [line for line in pane.splitlines() if line]
    assert any(line.startswith("snapshot ") and line.endswith(" saved") for line in lines), pane
    assert not any("iB/s" in line and "saved" in line for line in lines), pane


def test_a_put_bar_ends_at_100_percent(cli, target, tmp_path):
    (tmp_path / "big").write_bytes(bytes(48 << 20))
    lines = [line for line in pane_after(cli, tmp_path, "--target", target, "put", tmp_path / "big", "big").splitlines()
             if line]
    assert lines[-1].startswith("[" + "#" * 30 + "] 100%  48.0 MiB / 48.0 MiB")
