"""Upload, download and listing speed of vorn-azure beside the Azure SDK and rclone.

One run measures, interleaved and repeated, on loopback and through a simulated WAN (a
loopback proxy adding a 40 ms round trip and a 16 MB/s cap per TCP connection):
  - put/get of one file of random bytes: vorn-azure, the SDK with max_concurrency 1, 4, 16,
    the SDK with max_concurrency 4 checking MD5s as vorn-azure does (validate_content: an MD5
    per block sent or 4 MiB chunk read), and rclone; every copy is checked byte for byte;
  - recursive listing of 20,000 blobs: `vorn-azure ls -r`, the SDK, `rclone lsf -R`;
  - peak resident memory of the vorn-azure host process and of its agent.
Each transfer runs against a freshly started in-memory Azurite (it never frees deleted blobs).
Prints medians and ratios; asserts nothing about speed.

    /usr/bin/python bench/transfer_throughput.py [--mib 1024] [--wan-mib 256] [--reps 3]
"""
import argparse
import contextlib
import datetime
import hashlib
import os
import pathlib
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from azure.storage.blob import BlobServiceClient, ContainerSasPermissions, generate_container_sas

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/support"))
from azurite_server import ACCOUNT, KEY, endpoint_at, port_of, running_azurite  # noqa: E402
from loopback_proxy import LoopbackProxy  # noqa: E402

CONTAINER = "bench"
WAN = {"rtt_ms": 40, "rate": 16e6}
SDK_CONCURRENCY = (1, 4, 16)
CHECKED_SDK = "sdk(4)+md5"
TOOLS = ("vorn-azure",) + tuple(f"sdk({n})" for n in SDK_CONCURRENCY) + (CHECKED_SDK, "rclone")
PEERS = ("sdk(4)", "sdk(16)", CHECKED_SDK, "rclone")


@contextlib.contextmanager
def emulator(wan):
    """A fresh Azurite with the benchmark's container; its endpoint, behind the WAN simulator
    when `wan`."""
    with running_azurite() as endpoint:
        service(endpoint).create_container(CONTAINER)
        if not wan:
            yield endpoint
            return
        with LoopbackProxy(port_of(endpoint), **WAN) as link:
            yield endpoint_at(link.port)


def service(endpoint):
    return BlobServiceClient(endpoint, credential={"account_name": ACCOUNT, "account_key": KEY})


class PeakMemory:
    """Polls the peak resident set (VmHWM) of a process and of its descendants, in MiB."""

    def __init__(self, pid):
        self.pid, self.host, self.children = pid, 0.0, 0.0
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._poll, daemon=True)
        self._thread.start()

    def stop(self):
        self._done.set()
        self._thread.join()

    def _poll(self):
        while not self._done.wait(0.05):
            for pid in self._tree():
                peak = self._peak(pid)
                if pid == self.pid:
                    self.host = max(self.host, peak)
                else:
                    self.children = max(self.children, peak)

    def _tree(self):
        parents = {}
        for entry in pathlib.Path("/proc").glob("[0-9]*"):
            with contextlib.suppress(OSError, IndexError):
                parents[int(entry.name)] = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
        tree, grew = {self.pid}, True
        while grew:
            more = {pid for pid, parent in parents.items() if parent in tree} - tree
            tree |= more
            grew = bool(more)
        return tree

    @staticmethod
    def _peak(pid):
        with contextlib.suppress(OSError):
            for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
        return 0.0


class Vorn:
    """vorn-azure on one target of the benchmark container."""

    def __init__(self, cli, endpoint, work):
        home = pathlib.Path(tempfile.mkdtemp(dir=work))
        for name in ("config", "cache", "tmp"):
            (home / name).mkdir()
        self.cli, self.memory, self.target = cli, [], None
        self.env = {name: value for name, value in os.environ.items()
                    if not name.startswith(("AZURE_", "VORN_"))}
        # The agent of this tree, never one installed on the machine.
        self.env.update({"VORN_SYSROOT": str(pathlib.Path(cli).parents[1] / "sysroot")})
        self.env.update({"AZURE_BLOB_ENDPOINT": endpoint, "VORN_AZURE_CONTAINER": CONTAINER,
                         "VORN_CONFIG_DIR": str(home / "config"), "VORN_CACHE_DIR": str(home / "cache"),
                         "TMPDIR": str(home / "tmp")})
        self.target = self.run("create-target", "bench", "link-key").strip()

    def run(self, command, *args):
        """Runs a command (below the target once there is one), noting its peak memory."""
        where = ["--target", self.target] if self.target else []
        process = subprocess.Popen([self.cli, "--quiet", *where, command, *map(str, args)], env=self.env,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        memory = PeakMemory(process.pid)
        out, err = process.communicate()
        memory.stop()
        self.memory.append((command, memory.host, memory.children))
        if process.returncode != 0:
            raise SystemExit(f"vorn-azure {command} failed: {err.strip()}")
        return out

    def upload(self, source, name):
        self.run("put", source, name)

    def download(self, name, copy):
        self.run("get", name, copy)

    def count(self, folder):
        return len(self.run("ls", "-r", folder).splitlines())


class Sdk:
    """The Azure SDK for Python in this process, `concurrency` connections per transfer,
    with or without the service's transactional MD5 on every request."""

    def __init__(self, endpoint, concurrency, checked=False):
        self.container = service(endpoint).get_container_client(CONTAINER)
        self.options = {"max_concurrency": concurrency, "validate_content": checked}

    def upload(self, source, name):
        with open(source, "rb") as data:
            self.container.upload_blob(name, data, overwrite=True, **self.options)

    def download(self, name, copy):
        with open(copy, "wb") as out:
            self.container.download_blob(name, **self.options).readinto(out)

    def count(self, folder):
        return sum(1 for _ in self.container.list_blobs(name_starts_with=folder + "/"))


class Rclone:
    """rclone with its defaults, configured through its environment with a container SAS URL
    (its endpoint option only takes a domain suffix; no secret ever on a command line)."""

    def __init__(self, endpoint, work):
        config = work / "rclone.conf"
        config.touch()
        token = generate_container_sas(ACCOUNT, CONTAINER, account_key=KEY,
                                       permission=ContainerSasPermissions.from_string("racwdl"),
                                       expiry=datetime.datetime.now(datetime.timezone.utc)
                                       + datetime.timedelta(hours=12))
        self.env = dict(os.environ, RCLONE_CONFIG=str(config), RCLONE_CONFIG_BENCH_TYPE="azureblob",
                        RCLONE_CONFIG_BENCH_SAS_URL=f"{endpoint}/{CONTAINER}?{token}")

    def run(self, *args):
        return subprocess.run(["rclone", *map(str, args)], env=self.env, check=True,
                              capture_output=True, text=True).stdout

    def upload(self, source, name):
        self.run("copyto", source, f"bench:{CONTAINER}/{name}")

    def download(self, name, copy):
        self.run("copyto", f"bench:{CONTAINER}/{name}", copy)

    def count(self, folder):
        return len(self.run("lsf", "-R", "--files-only", f"bench:{CONTAINER}/{folder}").splitlines())


def client(tool, endpoint, args, work):
    if tool == "vorn-azure":
        return Vorn(args.cli, endpoint, work)
    if tool == "rclone":
        return Rclone(endpoint, work)
    if tool == CHECKED_SDK:
        return Sdk(endpoint, 4, checked=True)
    return Sdk(endpoint, int(tool[4:-1]))


def timed(action, *args):
    began = time.perf_counter()
    action(*args)
    return time.perf_counter() - began


def digest(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def rotated(items, by):
    return items[by % len(items):] + items[:by % len(items)]


def measure_transfers(args, work, source, wan, results, memory):
    """Median MB/s of each tool's upload and download of `source`, tools interleaved."""
    size, wanted = source.stat().st_size, digest(source)
    seconds = {(tool, way): [] for tool in TOOLS for way in ("up", "down")}
    for rep in range(args.reps):
        for tool in rotated(list(TOOLS), rep):
            with emulator(wan) as endpoint:
                mover = client(tool, endpoint, args, work)
                copy = work / "copy.bin"
                seconds[tool, "up"].append(timed(mover.upload, source, "file.bin"))
                seconds[tool, "down"].append(timed(mover.download, "file.bin", copy))
                if digest(copy) != wanted:
                    raise SystemExit(f"{tool}: the downloaded copy differs")
                copy.unlink()
                if isinstance(mover, Vorn):
                    memory.extend(mover.memory)
            print(f"  rep {rep + 1} {tool}: up {size / seconds[tool, 'up'][-1] / 1e6:.1f} MB/s, "
                  f"down {size / seconds[tool, 'down'][-1] / 1e6:.1f} MB/s", flush=True)
    place = "WAN" if wan else "loopback"
    for way, label in (("up", "upload"), ("down", "download")):
        results.append((f"{size >> 20} MiB {label}, {place} (MB/s)",
                        {tool: size / statistics.median(seconds[tool, way]) / 1e6 for tool in TOOLS}))


def measure_listing(args, work, results, memory):
    """Median seconds of a recursive listing of `args.blobs` blobs, tools interleaved."""
    tools = ("vorn-azure", "sdk(1)", "rclone")
    seconds = {tool: [] for tool in tools}
    with emulator(wan=False) as endpoint:
        movers = {tool: client(tool, endpoint, args, work) for tool in tools}
        prefix = movers["vorn-azure"].target + "/"
        container = service(endpoint).get_container_client(CONTAINER)
        with ThreadPoolExecutor(16) as pool:
            list(pool.map(lambda n: container.upload_blob(f"{prefix}list/d{n % 100:02}/f{n:05}", b"x"),
                          range(args.blobs)))
        for rep in range(args.reps):
            for tool in rotated(list(tools), rep):
                folder = "list" if tool == "vorn-azure" else prefix + "list"
                began = time.perf_counter()
                count = movers[tool].count(folder)
                seconds[tool].append(time.perf_counter() - began)
                if count != args.blobs:
                    raise SystemExit(f"{tool} listed {count} of {args.blobs} blobs")
        memory.extend(entry for entry in movers["vorn-azure"].memory if entry[0] == "ls")
    results.append((f"list {args.blobs} blobs (s)",
                    {tool: statistics.median(seconds[tool]) for tool in tools}))


def proxy_check():
    """Raw TCP throughput of one connection: direct, through the proxy as it is (no delay, no
    cap), and through the WAN simulator; and the simulator's round trip."""
    sink = socket.create_server(("127.0.0.1", 0))

    def absorb():
        while True:
            conn, _ = sink.accept()
            with conn:
                while conn.recv(1 << 20):
                    pass
                conn.sendall(b"done")

    threading.Thread(target=absorb, daemon=True).start()
    port = sink.getsockname()[1]

    def send(to, mib):
        chunk = bytes(1 << 20)
        with socket.create_connection(("127.0.0.1", to)) as conn:
            began = time.perf_counter()
            for _ in range(mib):
                conn.sendall(chunk)
            conn.shutdown(socket.SHUT_WR)
            conn.recv(16)
            return (mib << 20) / (time.perf_counter() - began) / 1e6

    direct = send(port, 512)
    with LoopbackProxy(port) as plain:
        through = send(plain.port, 512)
    with LoopbackProxy(port, **WAN) as wan:
        capped = send(wan.port, 32)
        began = time.perf_counter()
        send(wan.port, 0)
        rtt = (time.perf_counter() - began) * 1000
    print(f"proxy check: direct {direct:.0f} MB/s, through the proxy {through:.0f} MB/s; "
          f"WAN simulator {capped:.1f} MB/s per connection, round trip {rtt:.0f} ms (connect + close)")


def print_table(results, memory):
    print()
    print(f"{'work':<34}" + "".join(f"{tool:>11}" for tool in TOOLS)
          + "".join(f"{'/' + peer:>13}" for peer in PEERS))
    for work, figures in results:
        row = f"{work:<34}" + "".join(f"{figures[t]:>11.1f}" if t in figures else f"{'':>11}" for t in TOOLS)
        ours = figures["vorn-azure"]
        for peer in PEERS:
            row += f"{ours / figures[peer]:>12.2f}x" if peer in figures else f"{'':>13}"
        print(row)
    print("(ratios: vorn-azure's figure over the peer's; for MB/s higher is better, for seconds lower)")
    for command in ("put", "get", "ls"):
        host = max(entry[1] for entry in memory if entry[0] == command)
        agent = max(entry[2] for entry in memory if entry[0] == command)
        print(f"vorn-azure {command:<7} peak RSS: host {host:.0f} MiB, agent {agent:.0f} MiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=1024, help="file size on loopback, MiB")
    parser.add_argument("--wan-mib", type=int, default=256, help="file size on the simulated WAN, MiB")
    parser.add_argument("--blobs", type=int, default=20000, help="blobs in the listing")
    parser.add_argument("--reps", type=int, default=3, help="repetitions; medians are shown")
    parser.add_argument("--quick", action="store_true", help="small sizes, one repetition")
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build", help="build directory")
    args = parser.parse_args()
    if args.quick:
        args.mib, args.wan_mib, args.blobs, args.reps = 64, 16, 1000, 1
    args.cli = str(args.build / "bin/vorn-azure")
    if not os.access(args.cli, os.X_OK) or not shutil.which("rclone"):
        raise SystemExit(f"needs {args.cli} (build first) and rclone on the PATH")
    results, memory = [], []
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as tmp:
        work = pathlib.Path(tmp)
        proxy_check()
        for mib, wan in ((args.mib, False), (args.wan_mib, True)):
            source = work / "source.bin"
            with open(source, "wb") as f:
                for _ in range(mib):
                    f.write(os.urandom(1 << 20))
            print(f"{mib} MiB, {'WAN' if wan else 'loopback'}:", flush=True)
            measure_transfers(args, work, source, wan, results, memory)
        print(f"listing {args.blobs} blobs:", flush=True)
        measure_listing(args, work, results, memory)
    print_table(results, memory)


if __name__ == "__main__":
    main()
