"""Work the agent does ahead of the plug-in: blocks staged after their answer, ranges read early."""
import json
import os
import time

import pytest
from azure.core.exceptions import ServiceResponseError
from azure.storage.blob import BlobClient

RANGE = 256 * 1024


def blob_exists(service, container, blob):
    return service.get_blob_client(container, blob).exists()


def call(agent, fn, **members):
    """A request to an agent process, or to an agent object in this process."""
    if hasattr(agent, "handle"):
        return agent.handle(json.dumps({"fn": fn, **members}))
    return agent.call(fn, **members)


def send_blocks(agent, container, blob, tmp_path, blocks, commit=True):
    """Stage the blocks (and commit them); the replies in order."""
    piece = tmp_path / f"piece-{id(agent)}"
    replies = []
    for counter, content in enumerate(blocks):
        piece.write_bytes(content)
        replies.append(call(agent, "createBlobBlock", container=container, blob=blob,
                            fileInput=str(piece), counter=counter))
    if commit:
        replies.append(call(agent, "commitBlobBlocks", container=container, blob=blob, counter=len(blocks)))
    return replies


@pytest.mark.parametrize("failures, stored", [(2, True), (99, False)], ids=["transient", "lasting"])
def test_a_failing_staged_block_is_reported_once_and_nothing_is_committed(
        monkeypatch, agent_env, container, service, tmp_path, failures, stored):
    import azure_agent
    attempts = []
    stage_block = BlobClient.stage_block

    def flaky(client, block_id, *args, **kwargs):
        if block_id.endswith("-00000001"):
            attempts.append(block_id)
            if len(attempts) <= failures:
                raise ServiceResponseError("Connection reset by peer")
        return stage_block(client, block_id, *args, **kwargs)

    monkeypatch.setattr(BlobClient, "stage_block", flaky)
    agent = azure_agent.build_agent({**agent_env, "VORN_AGENT_RETRY_BASE_MS": "0"})
    blocks = [os.urandom(1000) for _ in range(4)]
    replies = send_blocks(agent, container, "b", tmp_path, blocks)
    failed = [reply for reply in replies if not reply["success"]]
    assert blob_exists(service, container, "b") == stored
    if stored:
        assert not failed and service.get_blob_client(container, "b").download_blob().readall() == b"".join(blocks)
        return
    assert replies[:2] == [{"success": True}] * 2 and len(attempts) == azure_agent.AHEAD_ATTEMPTS
    # The block's own failure once, then only a refusal to go on with this upload.
    assert [reply["error_code"] for reply in failed] == [-4] + [-1] * (len(failed) - 1)
    assert failed[0]["error_message"] == "Connection reset by peer"
    assert all("start again from block 0" in reply["error_message"] for reply in failed[1:])


def test_blocks_commit_only_through_the_agent_that_staged_them(agent, start_agent, container, service,
                                                               tmp_path):
    other = start_agent()
    assert send_blocks(agent, container, "b", tmp_path, [b"one", b"two"], commit=False) == [{"success": True}] * 2
    for fn, counter in [("commitBlobBlocks", 2), ("createBlobBlock", 2)]:
        reply = other.call(fn, container=container, blob="b", counter=counter, fileInput=__file__)
        assert reply["error_code"] == -1 and "nothing was committed" in reply["error_message"], fn
    assert not blob_exists(service, container, "b")


def test_concurrent_uploads_to_one_path_never_mix(agent, start_agent, container, service, tmp_path):
    writers = [agent, start_agent()]
    contents = [[bytes([n]) * 5000 + os.urandom(10) for n in range(3)] for _ in writers]
    staged = [send_blocks(writer, container, "b", tmp_path, [blocks[0]], commit=False)
              for writer, blocks in zip(writers, contents)]
    for counter in (1, 2):  # interleaved block by block
        for writer, blocks, replies in zip(writers, contents, staged):
            piece = tmp_path / f"piece-{id(writer)}"
            piece.write_bytes(blocks[counter])
            replies.append(writer.call("createBlobBlock", container=container, blob="b",
                                       fileInput=str(piece), counter=counter))
    committed = [writer.call("commitBlobBlocks", container=container, blob="b", counter=3)["success"]
                 for writer in writers]
    stored = service.get_blob_client(container, "b").download_blob().readall()
    # Whoever committed last successfully wrote all the bytes; a writer that failed says so.
    last = max(n for n, success in enumerate(committed) if success)
    assert stored == b"".join(contents[last])


def read(agent, container, target, start, length):
    return agent.call("getBlob", container=container, blob="b", fileOutput=str(target),
                      RangeStart=start, RangeEnd=start + length - 1)


def test_a_blob_replaced_during_a_read_ahead_fails_the_read_without_mixing(start_agent, container, service,
                                                                           tmp_path):
    agent = start_agent(AZURE_AGENT_MEMORY_MIB="1")  # a few ranges ahead, not the whole blob
    old, new = os.urandom(16 * RANGE), os.urandom(16 * RANGE)
    service.get_blob_client(container, "b").upload_blob(old)
    target = tmp_path / "range"
    assert read(agent, container, target, 0, RANGE)["success"]
    service.get_blob_client(container, "b").upload_blob(new, overwrite=True)
    for start in range(RANGE, len(old), RANGE):
        reply = read(agent, container, target, start, RANGE)
        if not reply["success"]:
            break
        assert target.read_bytes() == old[start:start + RANGE]
    assert reply["error_code"] == -1 and "changed while it was being read" in reply["error_message"]
    # Read again from the start, the new version comes whole.
    assert read(agent, container, target, 0, 2 * RANGE)["success"] and target.read_bytes() == new[:2 * RANGE]


def footprint(agent):
    status = dict(line.split(":", 1) for line in open(f"/proc/{agent.process.pid}/status"))
    return int(status["VmRSS"].split()[0]) // 1024, int(status["Threads"])


def test_abandoned_read_aheads_leave_no_threads_files_or_memory(agent, container, service, tmp_path):
    content = os.urandom(32 * RANGE)
    service.get_blob_client(container, "b").upload_blob(content)
    target = tmp_path / "range"
    sizes = []
    for _ in range(12):  # a first range only, then the read is dropped for another one
        assert read(agent, container, target, 0, RANGE)["success"]
        assert agent.call("getBlobProperties", container=container, blob="b")["success"]
        sizes.append(footprint(agent))
    (rss_early, _), (rss_late, threads) = sizes[2], sizes[-1]
    assert rss_late - rss_early < 16 and threads <= 9
    assert os.listdir(tmp_path) == ["range"]
    # The end of its input ends the agent at once, whatever it was fetching.
    read(agent, container, target, 0, RANGE)
    began = time.monotonic()
    assert agent.close() == 0 and time.monotonic() - began < 2
