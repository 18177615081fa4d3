"""Scripted stand-in for azure_agent, used by the plug-in's unit tests.

FAKE_AGENT_SCENARIO names a JSON file:
  {"start": "start",            first line written (null: write nothing and exit 1)
   "steps": [STEP, ...],        used in order, counted over every agent process of one test
   "default": STEP}             used once the steps are exhausted ({"response": {"success": true}})
A STEP is {"response": {...}} with optional
  "write_output": "range" or N   write the requested range, or N bytes, into "fileOutput"
  "copy_output": "/path"         copy that file into "fileOutput" (for real file contents)
  "raw": "text"                  write this line instead of the response
  "exit": N                      exit with status N instead of answering
  "sleep": S                     wait S seconds before answering
FAKE_AGENT_LOG receives one JSON line per event: {"env": {...}} when the agent starts, then
{"request": ..., "fileInputSize": N, "fileInputSha1": "..."} for each request (the file facts
when "fileInput" names a readable file at the time of the request).
"""
import hashlib
import json
import os
import shutil
import sys
import time

AGENT_VARIABLES = ("AZURE_ACCESS_KEY", "AZURE_SECRET_KEY", "AZURE_SAS_TOKEN", "AZURE_USE_ENTRA_ID",
                   "AZURE_SCHEME", "VORN_USER_AGENT", "VORN_PROXY_ADDR", "VORN_PROXY_AUTH", "LANG")


def load_scenario():
    with open(os.environ["FAKE_AGENT_SCENARIO"], encoding="utf-8") as f:
        return json.load(f)


def log(entry):
    with open(os.environ["FAKE_AGENT_LOG"], "a", encoding="utf-8") as f:
        f.write(json.dumps(entry) + "\n")


def requests_logged():
    try:
        with open(os.environ["FAKE_AGENT_LOG"], encoding="utf-8") as f:
            return sum(1 for line in f if line.startswith('{"request"'))
    except FileNotFoundError:
        return 0


def pattern(offset, length):
    """Deterministic content: the byte at blob offset o is o % 251."""
    out = bytearray(length)
    for i in range(length):
        out[i] = (offset + i) % 251
    return bytes(out)


def write_output(request, amount):
    path = request.get("fileOutput")
    if not path:
        return
    start = int(request.get("RangeStart", 0))
    if amount == "range":
        length = int(request["RangeEnd"]) - start + 1
    else:
        length = int(amount)
    with open(path, "wb") as f:
        chunk = 1 << 20
        done = 0
        while done < length:
            n = min(chunk, length - done)
            f.write(pattern(start + done, n))
            done += n


def file_facts(request):
    path = request.get("fileInput") if isinstance(request, dict) else None
    if not path:
        return {}
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return {}
    return {"fileInputSize": len(data), "fileInputSha1": hashlib.sha1(data).hexdigest()}


def main():
    scenario = load_scenario()
    log({"env": {k: os.environ[k] for k in AGENT_VARIABLES if k in os.environ}})
    start = scenario.get("start", "start")
    if start is None:
        sys.exit(1)
    sys.stdout.write(start + "\n")
    sys.stdout.flush()
    for line in sys.stdin:
        index = requests_logged()
        try:
            request = json.loads(line)
        except ValueError:
            request = line.rstrip("\n")
        entry = {"request": request}
        entry.update(file_facts(request))
        log(entry)
        scenario = load_scenario()
        steps = scenario.get("steps", [])
        step = steps[index] if index < len(steps) else scenario.get(
            "default", {"response": {"success": True}})
        if "sleep" in step:
            time.sleep(step["sleep"])
        if "exit" in step:
            sys.exit(step["exit"])
        if "write_output" in step and isinstance(request, dict):
            write_output(request, step["write_output"])
        if "copy_output" in step and isinstance(request, dict) and request.get("fileOutput"):
            shutil.copyfile(step["copy_output"], request["fileOutput"])
        text = step["raw"] if "raw" in step else json.dumps(step.get("response", {}))
        sys.stdout.write(text + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
