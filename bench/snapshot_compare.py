"""Snapshots of vorn-azure beside restic: time, bytes read, bytes stored and peak memory.

One run measures, repeated, on loopback and through the WAN simulator (40 ms round trip,
16 MB/s per TCP connection), each tool against its own freshly started Azurite, the tools
taking each step in turn (their order rotating from one repetition to the next):
  1. a first backup of a generated tree (a few thousand small files, half text and half
     random, and a few large files of random bytes, all from a fixed seed);
  2. a second backup after 1% of the small files grew and three 4 KiB regions in the middle
     of each large file were rewritten;
  3. an unchanged rerun;
  4. a restore of the latest snapshot, checked file by file against the tree;
  5. a backup of a copy of the tree under another directory name (new paths, same content).
On loopback, vorn-azure also runs on a target made with `init --no-encryption`, beside its
encrypted default. restic (Debian's 0.14, always encrypted and compressed) reaches the
emulator through its `rclone:` backend and Debian's rclone.

Before each backup the tree is dropped from the page cache, so "read" is what the tool and its
children read from disk (/proc/self/io read_bytes of reaped children). "added" and "stored" come
from listing the container. "host" is the peak resident set of the tool's own process and
"child" that of its largest child (vorn-azure's agents, restic's rclone), polled every 50 ms.
A last part backs up and restores a tree of 100,000 tiny files to show memory at scale.
Prints medians and ratios; asserts nothing.

    /usr/bin/python bench/snapshot_compare.py [--reps 3] [--quick] [--large-mib 128] [--skip-100k] [--build DIR]
"""
import argparse
import contextlib
import dataclasses
import hashlib
import os
import pathlib
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
from transfer_throughput import CONTAINER, PeakMemory, emulator, rotated, service  # noqa: E402

SEED = 20240611
PASSWORD = "bench-passphrase"  # a throwaway repository's; passed through the environment only
VORN, PLAIN, RESTIC = "vorn-azure", "vorn-azure --no-encryption", "restic"
PLACES = {"loopback": (VORN, PLAIN, RESTIC), "WAN": (VORN, RESTIC)}
FIRST, SECOND, RERUN, RESTORE, COPY = ("first backup", "second backup", "unchanged rerun",
                                       "restore latest", "copy under another name")
STEPS = (FIRST, SECOND, RERUN, RESTORE, COPY)
BACKUPS = (FIRST, SECOND, RERUN, COPY)
MB, MIB = 1e6, 1 << 20


class ToolFailed(Exception):
    """A command of the tool under test exited non-zero; the rest of its sequence is skipped."""


@dataclasses.dataclass
class Run:
    """Figures of one command: seconds, bytes read from disk, and the peak resident sets (MiB)
    of its own process and of its largest child (vorn-azure's agents, restic's rclone)."""
    seconds: float
    read: int
    host: float
    children: float


def read_bytes():
    """Bytes this process and its reaped children have read from storage."""
    for line in pathlib.Path("/proc/self/io").read_text().splitlines():
        if line.startswith("read_bytes:"):
            return int(line.split()[1])
    return 0


def execute(command, argv, env, logs):
    """Runs `argv` (the tool's `command`) with its output in files under `logs`; its Run, or
    ToolFailed."""
    out, err = (open(logs / name, "w+") for name in ("stdout", "stderr"))
    with out, err:
        before, began = read_bytes(), time.perf_counter()
        try:
            process = subprocess.Popen(argv, env=env, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        except OSError as error:
            raise ToolFailed(f"{command}: {error.strerror}") from None
        # Polled: wait4's maximum RSS would include this process's own, inherited at the exec.
        memory = PeakMemory(process.pid)
        process.wait()
        seconds = time.perf_counter() - began
        memory.stop()
        run = Run(seconds, read_bytes() - before, memory.host, memory.children)
        if process.returncode != 0:
            err.seek(0)
            lines = err.read().strip().splitlines() or ["(no message)"]
            raise ToolFailed(f"{command}: exit {process.returncode}: {lines[-1]}")
        return run


def private_home(work, name):
    home = pathlib.Path(tempfile.mkdtemp(prefix=name.replace(" ", "") + "-", dir=work))
    for sub in ("config", "cache", "tmp", "logs"):
        (home / sub).mkdir()
    return home


def clean_environment(home):
    """The environment without credentials or settings of the person running the benchmark."""
    env = {name: value for name, value in os.environ.items()
           if not name.startswith(("AZURE_", "VORN_", "RESTIC_", "RCLONE_"))}
    env.update(TMPDIR=str(home / "tmp"), XDG_CACHE_HOME=str(home / "cache"))
    return env


class Vorn:
    """vorn-azure on the target "snapshots" of the benchmark container."""

    def __init__(self, cli, endpoint, work, encrypted, jobs):
        self.home = private_home(work, "vorn")
        self.encrypted, self.jobs = encrypted, ["--jobs", str(jobs)] if jobs else []
        self.base = [cli, "--endpoint", endpoint, "--container", CONTAINER, "--target", "snapshots"]
        self.env = clean_environment(self.home)
        self.env.update(VORN_PASSWORD=PASSWORD, VORN_CONFIG_DIR=str(self.home / "config"),
                        VORN_CACHE_DIR=str(self.home / "cache"))

    def run(self, *args):
        return execute(f"vorn-azure {args[0]}", self.base + [str(arg) for arg in args], self.env,
                       self.home / "logs")

    def init(self):
        return self.run("init", *([] if self.encrypted else ["--no-encryption"]))

    def backup(self, tree):
        return self.run("backup", *self.jobs, tree)

    def restore(self, out):
        return self.run("restore", "--snapshot", "latest", *self.jobs, out)


class Restic:
    """restic through `rclone serve restic --stdio`, both reaching the emulator as peers.md says."""

    def __init__(self, endpoint, work):
        self.home = private_home(work, "restic")
        self.env = clean_environment(self.home)
        self.env.update(RESTIC_PASSWORD=PASSWORD, RESTIC_CACHE_DIR=str(self.home / "cache"),
                        RCLONE_CONFIG="/dev/null", RCLONE_CONFIG_AZ_TYPE="azureblob",
                        RCLONE_CONFIG_AZ_USE_EMULATOR="true", RCLONE_CONFIG_AZ_ENDPOINT=endpoint)

    def run(self, *args):
        return execute(f"restic {args[0]}", ["restic", "-r", f"rclone:az:{CONTAINER}/restic", *map(str, args)],
                       self.env, self.home / "logs")

    def init(self):
        return self.run("init")

    def backup(self, tree):
        return self.run("backup", tree)

    def restore(self, out):
        return self.run("restore", "latest", "--target", out)


def tool_for(name, endpoint, work, args):
    if name == RESTIC:
        return Restic(endpoint, work)
    return Vorn(args.cli, endpoint, work, encrypted=name == VORN, jobs=args.jobs)


def write_file(path, pieces):
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as f:
        for piece in pieces:
            f.write(piece)


def text(rng, words, size):
    """`size` bytes of lines of words: compressible like source code or logs."""
    out, length = [], 0
    while length < size:
        line = " ".join(rng.choices(words, k=rng.randint(4, 14))) + "\n"
        out.append(line)
        length += len(line)
    return "".join(out).encode()[:size]


class Tree:
    """The benchmark's tree, in its first state (A) or in its second (B: edits applied).

    Every byte comes from one seed, so each tool backs up the same content."""

    def __init__(self, root, small, large, large_mib, seed):
        rng = random.Random(seed)
        words = ["".join(rng.choices("abcdefghijklmnopqrstuvwxyz_", k=rng.randint(2, 10)))
                 for _ in range(3000)]
        self.root, self.edits, self.changed = root, [], False
        small_paths = []
        for i in range(small):
            is_text = i % 2 == 0
            size = rng.randint(200, 30 << 10)
            path = root / f"small/d{i // 100:03}/f{i:05}.{'txt' if is_text else 'bin'}"
            write_file(path, [text(rng, words, size) if is_text else rng.randbytes(size)])
            small_paths.append((path, size, is_text))
        for i in range(large):
            write_file(root / f"large/image{i}.img", (rng.randbytes(MIB) for _ in range(large_mib)))
        # Second state: 1% of the small files grow by 1-2 KiB, and three 4 KiB regions near the
        # middle of each large file are rewritten.
        for path, size, is_text in rng.sample(small_paths, max(1, small // 100)):
            grown = rng.randint(1 << 10, 2 << 10)
            self.edits.append((path, size, b"", text(rng, words, grown) if is_text else rng.randbytes(grown)))
        for i in range(large):
            path = root / f"large/image{i}.img"
            for fraction in (0.45, 0.5, 0.55):
                offset = int(large_mib * MIB * fraction) & ~4095
                with open(path, "rb") as f:
                    f.seek(offset)
                    self.edits.append((path, offset, f.read(4096), rng.randbytes(4096)))
        self.size = sum(path.stat().st_size for path in files(root))

    def change(self, changed):
        """Brings the tree to its second state (True) or back to its first (False)."""
        if changed == self.changed:
            return
        for path, offset, old, new in self.edits:
            data = new if changed else old
            with open(path, "r+b") as f:
                f.seek(offset)
                f.write(data)
                if not old:  # an append: back in the first state the file ends where it began
                    f.truncate(offset + len(data))
        self.changed = changed


def files(root):
    return sorted(path for path in root.rglob("*") if path.is_file())


def drop_from_cache(root):
    """Drops the files below `root` from the page cache: the next backup reads them from disk."""
    os.sync()  # only clean pages can be dropped
    for path in files(root):
        fd = os.open(path, os.O_RDONLY)
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def digests(root):
    def digest(path):
        with open(path, "rb") as f:
            return hashlib.file_digest(f, "sha256").hexdigest()
    return {str(path.relative_to(root)): digest(path) for path in files(root)}


def restored_root(out, source):
    """Where a restore into `out` put the tree backed up from `source`: restic recreates the
    absolute path below `out`; vorn-azure's layout is taken from whichever place holds it."""
    for candidate in (out, out / source.relative_to("/"), out / source.name):
        if (candidate / "large").is_dir() or (candidate / "small").is_dir():
            return candidate
    return out


def stored_bytes(endpoint):
    container = service(endpoint).get_container_client(CONTAINER)
    return sum(blob.size for blob in container.list_blobs())


class Sequence:
    """One tool on its own emulator, taking the steps in order; once a command fails, the
    tool's remaining steps are skipped and the failure is kept."""

    def __init__(self, name, endpoint, work, args):
        self.name, self.endpoint = name, endpoint
        self.tool = tool_for(name, endpoint, work, args)
        self.figures, self.failure, self.stored = {}, None, 0
        self._attempt(self._init)

    def take(self, label, tree, copy, wanted):
        """Runs step `label` (the tree already in the state it needs) and prints its figures."""
        if self.failure is None:
            self._attempt(self._step, label, tree, copy, wanted)

    def close(self):
        shutil.rmtree(self.tool.home, ignore_errors=True)

    def _attempt(self, action, *args):
        try:
            action(*args)
        except ToolFailed as failure:
            self.failure = str(failure)

    def _init(self):
        self.tool.init()
        self.stored = stored_bytes(self.endpoint)

    def _step(self, label, tree, copy, wanted):
        if label == RESTORE:
            out = self.tool.home / "restored"
            run = self.tool.restore(out)
            got = digests(restored_root(out, tree.root))
            shutil.rmtree(out)
        else:
            source = copy if label == COPY else tree.root
            drop_from_cache(source)
            run = self.tool.backup(source)
        now = stored_bytes(self.endpoint)
        self.figures[label] = {"s": run.seconds, "added": now - self.stored, "stored": now,
                               "host": run.host, "children": run.children}
        if label != RESTORE:
            self.figures[label]["read"] = run.read
        self.stored = now
        if label == RESTORE and got != wanted:
            wrong = sum(got.get(path) != digest for path, digest in wanted.items())
            self.figures[label]["note"] = f"restore differs: {wrong} of {len(wanted)} files wrong or missing"


def describe(figures):
    read = f"read {figures['read'] / MB:8.1f} MB" if "read" in figures else " " * 16
    return (f"{figures['s']:7.2f} s  {read}  added {figures['added'] / MB:8.1f} MB  stored "
            f"{figures['stored'] / MB:8.1f} MB  RSS host {figures['host']:4.0f} MiB, child {figures['children']:4.0f} MiB")


def compare(args, work, tree, copy, wanted):
    """{(place, tool, step, metric): [figure per repetition]}. The tools take each step in turn,
    each on its own emulator, so that a change in the machine's load touches them alike."""
    results = {}
    for place, tools in PLACES.items():
        print(f"\n{place}:", flush=True)
        for rep in range(args.reps):
            with contextlib.ExitStack() as stack:
                sequences = [Sequence(name, stack.enter_context(emulator(wan=place == "WAN")), work, args)
                             for name in rotated(list(tools), rep)]
                for label in STEPS:
                    tree.change(label != FIRST)
                    for sequence in sequences:
                        sequence.take(label, tree, copy, wanted)
                        figures = sequence.figures.get(label)
                        if figures:
                            print(f"  rep {rep + 1} {sequence.name:<27} {label:<24} {describe(figures)}", flush=True)
                            for metric, value in figures.items():
                                results.setdefault((place, sequence.name, label, metric), []).append(value)
                for sequence in sequences:
                    for note in (sequence.failure, sequence.figures.get(RESTORE, {}).get("note")):
                        if note:
                            print(f"  rep {rep + 1} {sequence.name:<27} !! {note}", flush=True)
                    sequence.close()
    return results


def median(results, *key):
    values = [v for v in results.get(key, []) if not isinstance(v, str)]
    return statistics.median(values) if values else None


def ratio(ours, theirs):
    return f"{ours / theirs:.2f}" if ours is not None and theirs else ""


def cell(value, scale):
    """About three significant digits, so that a few kB of records still show beside hundreds of MB."""
    if value is None:
        return ""
    value /= scale
    return f"{value:.0f}" if value >= 100 else f"{value:.1f}" if value >= 10 else \
        f"{value:.2f}" if value >= 1 else f"{value:.2g}"


def print_table(results, reps):
    """A table in the README's form: rows of work, a column per tool, vorn-azure's ratios."""
    rows = []
    for place in PLACES:
        rows += [(f"{label}, {place} (s)", place, label, "s", 1.0) for label in STEPS]
    rows += [(f"read by {label} (MB)", "loopback", label, "read", MB) for label in BACKUPS]
    rows += [(f"added by {label} (MB)", "loopback", label, "added", MB) for label in BACKUPS]
    rows += [(f"stored after the {label} (MB)", "loopback", label, "stored", MB) for label in (FIRST, COPY)]
    for place in PLACES:
        rows += [(f"host peak RSS, {label}, {place} (MiB)", place, label, "host", 1.0) for label in STEPS]
    print(f"\nMedians of {reps}; ratios are vorn-azure's figure over restic's and over its own "
          "unencrypted figure (lower is better for all):\n")
    print(f"| work | {VORN} | {PLAIN} | {RESTIC} | /restic | /unencrypted |")
    print("|---|---|---|---|---|---|")
    for work, place, label, metric, scale in rows:
        ours, plain, theirs = (median(results, place, tool, label, metric) for tool in (VORN, PLAIN, RESTIC))
        print(f"| {work} | {cell(ours, scale)} | {cell(plain, scale)} | {cell(theirs, scale)} | "
              f"{ratio(ours, theirs)} | {ratio(ours, plain)} |")


def goal(what, value, target, better_below=True):
    if value is None:
        print(f"  {what}: no figure")
        return
    met = value <= target if better_below else value >= target
    print(f"  {what}: {value:.2f} (goal {'<=' if better_below else '>='} {target:g}) "
          f"{'met' if met else 'NOT met'}")


def print_goals(results, tree_size):
    def m(place, tool, label, metric):
        return median(results, place, tool, label, metric)

    def over(a, b):
        return a / b if a is not None and b else None

    print("\nAgainst the goals (figures, not checks):")
    goal("second backup, bytes added, vorn-azure / restic",
         over(m("loopback", VORN, SECOND, "added"), m("loopback", RESTIC, SECOND, "added")), 1.5)
    copy_added = m("loopback", VORN, COPY, "added")
    goal("copy under another name, bytes added, % of the tree",
         None if copy_added is None else 100 * copy_added / tree_size, 1.0)
    goal("stored after the first backup, vorn-azure / restic",
         over(m("loopback", VORN, FIRST, "stored"), m("loopback", RESTIC, FIRST, "stored")), 1.1)
    for label, place, target in ((FIRST, "loopback", 1.0), (FIRST, "WAN", 1 / 1.5), (RERUN, "loopback", 1.0),
                                 (RERUN, "WAN", 1.0), (RESTORE, "loopback", 1.0), (RESTORE, "WAN", 1.0)):
        goal(f"{label}, {place}, time vorn-azure / restic",
             over(m(place, VORN, label, "s"), m(place, RESTIC, label, "s")), round(target, 2))
    for label in (FIRST, RESTORE):
        goal(f"{label}, loopback, encrypted throughput / unencrypted",
             over(m("loopback", PLAIN, label, "s"), m("loopback", VORN, label, "s")), 0.9, better_below=False)


def many_files(args, work):
    """One first backup, unchanged rerun and restore of a tree of tiny files per tool: memory at scale."""
    root = work / "many"
    rng = random.Random(SEED + 1)
    for i in range(args.many):
        write_file(root / f"d{i // 100:04}/f{i:06}.txt", [rng.randbytes(rng.randint(0, 64)).hex().encode()])
    print(f"\n{args.many:,} tiny files, loopback:", flush=True)
    peak = None
    for name in (VORN, RESTIC):
        with emulator(wan=False) as endpoint:
            tool = tool_for(name, endpoint, work, args)
            out, line = work / "many-restored", []
            out.mkdir()
            try:
                tool.init()
                for label, action, operand in (("first backup", tool.backup, root),
                                               ("rerun", tool.backup, root), ("restore", tool.restore, out)):
                    run = action(operand)
                    if name == VORN:
                        peak = max(peak or 0, run.host)
                    line.append(f"{label} {run.seconds:.1f} s, RSS host {run.host:.0f} MiB"
                                f" child {run.children:.0f} MiB")
            except ToolFailed as failure:
                line.append(f"!! {failure}")
            shutil.rmtree(out)
            shutil.rmtree(tool.home, ignore_errors=True)
        print(f"  {name:<10} " + "; ".join(line), flush=True)
    shutil.rmtree(root)
    goal(f"vorn-azure host peak RSS with {args.many:,} files, MiB", peak, 256)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=3, help="repetitions; medians are shown")
    parser.add_argument("--quick", action="store_true", help="a small tree, one repetition")
    parser.add_argument("--small", type=int, default=3000, help="small files in the tree")
    parser.add_argument("--large", type=int, default=2, help="large files in the tree")
    parser.add_argument("--large-mib", type=int, default=128, help="size of each large file, MiB")
    parser.add_argument("--many", type=int, default=100_000, help="files in the memory-at-scale tree")
    parser.add_argument("--skip-100k", action="store_true", help="leave out the memory-at-scale tree")
    parser.add_argument("--jobs", type=int, help="vorn-azure backup/restore --jobs (default: its own)")
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build", help="build directory")
    args = parser.parse_args()
    if args.quick:  # smaller defaults; options given on the command line still win
        parser.set_defaults(small=300, large_mib=16, reps=1, many=10_000)
        args = parser.parse_args()
    args.cli = str(args.build / "bin/vorn-azure")
    missing = [tool for tool in ("restic", "rclone") if not shutil.which(tool)]
    if missing:
        raise SystemExit(f"needs {' and '.join(missing)} on the PATH (./dev bench installs them as root)")
    if not os.access(args.cli, os.X_OK):
        print(f"note: {args.cli} is missing (build first); only restic's figures will show")
    with tempfile.TemporaryDirectory(prefix="vorn-snapshots-") as tmp:
        work = pathlib.Path(tmp)
        tree = Tree(work / "tree", args.small, args.large, args.large_mib, SEED)
        tree.change(True)
        copy = work / "tree-copy"
        shutil.copytree(tree.root, copy)
        wanted = digests(copy)
        tree.change(False)
        print(f"tree: {args.small} small files and {args.large} x {args.large_mib} MiB, "
              f"{tree.size / MB:.1f} MB; second state: {len(tree.edits)} edits; "
              f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores", flush=True)
        results = compare(args, work, tree, copy, wanted)
        print_table(results, args.reps)
        print_goals(results, tree.size)
        if not args.skip_100k:
            many_files(args, work)
    print(f"\nload average at the end: {os.getloadavg()[0]:.1f} (figures from a busy machine vary)")


if __name__ == "__main__":
    main()
