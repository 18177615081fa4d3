"""Start time and per-request cost of the Azure agent against a local Azurite.

Run from the repository root:  /usr/bin/python bench/agent_overhead.py
Prints figures; it is not a test.
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "support"))
from azurite_server import ACCOUNT, KEY, running_azurite  # noqa: E402

AGENT = ROOT / "agent" / "azure_agent.py"
PYTHON = "/usr/bin/python"

STARTS = 10
ROUND_TRIPS = 200


def start_agent(env):
    began = time.perf_counter()
    agent = subprocess.Popen([PYTHON, str(AGENT)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    assert agent.stdout.readline() == b"start\n"
    return agent, time.perf_counter() - began


def call(agent, request):
    agent.stdin.write(json.dumps(request).encode() + b"\n")
    agent.stdin.flush()
    reply = json.loads(agent.stdout.readline())
    assert reply["success"], reply
    return reply


def timed(action, count):
    times = []
    for _ in range(count):
        began = time.perf_counter()
        action()
        times.append(time.perf_counter() - began)
    return statistics.mean(times) * 1000, statistics.median(times) * 1000


def main():
    with running_azurite() as endpoint:
        env = {"PATH": os.environ["PATH"], "AZURE_ACCESS_KEY": ACCOUNT, "AZURE_SECRET_KEY": KEY,
               "AZURE_BLOB_ENDPOINT": endpoint}
        starts = []
        for _ in range(STARTS):
            agent, seconds = start_agent(env)
            starts.append(seconds * 1000)
            agent.stdin.close()
            agent.wait()
        print(f"start to 'start' line: mean {statistics.mean(starts):.0f} ms, "
              f"min {min(starts):.0f} ms over {STARTS} starts")

        agent, _ = start_agent(env)
        with tempfile.NamedTemporaryFile() as data:
            data.write(b"x" * 1024)
            data.flush()
            call(agent, {"fn": "createContainer", "container": "bench"})
            call(agent, {"fn": "createBlockBlob", "container": "bench", "blob": "b", "fileInput": data.name})
        request = {"fn": "getBlobProperties", "container": "bench", "blob": "b"}
        mean, median = timed(lambda: call(agent, request), ROUND_TRIPS)
        print(f"getBlobProperties through the agent: mean {mean:.2f} ms, median {median:.2f} ms")
        agent.stdin.close()
        agent.wait()

        from azure.storage.blob import BlobServiceClient
        blob = BlobServiceClient(endpoint, credential={"account_name": ACCOUNT, "account_key": KEY},
                                 retry_total=0, use_env_settings=False).get_blob_client("bench", "b")
        mean, median = timed(blob.get_blob_properties, ROUND_TRIPS)
        print(f"get_blob_properties in process (SDK alone): mean {mean:.2f} ms, median {median:.2f} ms")


if __name__ == "__main__":
    main()
