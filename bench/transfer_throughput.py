"""Upload and download throughput through the plug-in, beside the SDK moving the same file.

Starts a private Azurite on a free loopback port, makes a file of random bytes, stores and
fetches it with `vorn-azure put/get` (host -> plug-in -> agent -> service), checks the copy,
then moves the same file directly with the Azure SDK for Python. Prints figures; asserts
nothing about speed.

    /usr/bin/python bench/transfer_throughput.py [--mib 1024]
"""
import argparse
import filecmp
import os
import pathlib
import resource
import socket
import subprocess
import tempfile
import time

from azure.storage.blob import BlobServiceClient

ROOT = pathlib.Path(__file__).resolve().parents[1]
AZURITE_BIN = ROOT / "tools/azurite/node_modules/.bin/azurite-blob"
CLI = ROOT / "build/bin/vorn-azure"
DEV_ACCOUNT = "devstoreaccount1"
DEV_KEY = ("Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/"
           "K1SZFPTOtr/KBHBeksoGMGw==")


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def start_azurite(port, workdir):
    server = subprocess.Popen(
        [str(AZURITE_BIN), "--blobHost", "127.0.0.1", "--blobPort", str(port),
         "--location", str(workdir), "--disableTelemetry", "--skipApiVersionCheck", "--silent",
         "--loose"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        with socket.socket() as sock:
            if sock.connect_ex(("127.0.0.1", port)) == 0:
                return server
        time.sleep(0.1)
    server.kill()
    raise SystemExit("Azurite did not start")


def make_file(path, mib):
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(os.urandom(1 << 20))


def timed(label, size, action):
    start = time.monotonic()
    action()
    seconds = time.monotonic() - start
    print(f"{label:<34} {seconds:7.2f} s  {size / seconds / 1e6:8.1f} MB/s")


def cli(endpoint, *args):
    env = dict(os.environ, AZURE_BLOB_ENDPOINT=endpoint)
    subprocess.run([str(CLI), "--container", "bench", "--quiet", *args], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=int, default=1024, help="file size in MiB")
    size_mib = parser.parse_args().mib
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as tmp:
        work = pathlib.Path(tmp)
        (work / "azurite").mkdir()
        port = free_port()
        endpoint = f"http://127.0.0.1:{port}/{DEV_ACCOUNT}"
        server = start_azurite(port, work / "azurite")
        try:
            source, copy = work / "source.bin", work / "copy.bin"
            make_file(source, size_mib)
            size = source.stat().st_size
            print(f"file: {size_mib} MiB of random bytes, Azurite on 127.0.0.1:{port}")
            cli(endpoint, "create-container")
            timed("plug-in upload (vorn-azure put)", size,
                  lambda: cli(endpoint, "put", str(source), "big.bin"))
            timed("plug-in download (vorn-azure get)", size,
                  lambda: cli(endpoint, "get", "big.bin", str(copy)))
            print("plug-in copy identical:", filecmp.cmp(source, copy, shallow=False))
            peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
            print(f"largest child (host or agent) peak RSS: {peak:.0f} MiB")
            copy.unlink()

            service = BlobServiceClient(endpoint, credential={"account_name": DEV_ACCOUNT,
                                                              "account_key": DEV_KEY})
            blob = service.get_blob_client("bench", "sdk.bin")

            def sdk_upload():
                with open(source, "rb") as f:
                    blob.upload_blob(f, length=size, overwrite=True, max_concurrency=1)

            def sdk_download():
                with open(copy, "wb") as f:
                    blob.download_blob(max_concurrency=1).readinto(f)

            timed("SDK upload (one connection)", size, sdk_upload)
            timed("SDK download (one connection)", size, sdk_download)
            print("SDK copy identical:", filecmp.cmp(source, copy, shallow=False))
        finally:
            server.terminate()
            server.wait(timeout=30)


if __name__ == "__main__":
    main()
