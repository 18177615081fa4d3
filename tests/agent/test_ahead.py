"""Work the agent does ahead of the plug-in: blocks staged after their answer, ranges read early."""
import hashlib
import json
import os
import time

import pytest
from azure.core.exceptions import ServiceResponseError
from azure.storage.blob import BlobClient

RANGE = 256 * 1024


def send(agent, fn, **members):
    """A request about blob "b" to an agent process, or to an agent object in this process."""
    members = {"blob": "b", **members}
    if hasattr(agent, "handle"):
        return agent.handle(json.dumps({"fn": fn, **members}))
    return agent.call(fn, **members)


def stage(agent, container, tmp_path, counter, content):
    piece = tmp_path / f"piece-{id(agent)}"
    piece.write_bytes(content)
    return send(agent, "createBlobBlock", container=container, fileInput=str(piece), counter=counter)


def as_the_host(agent, fn, **members):
    """A request sent as the host sends it: again after a 5xx or a network failure, ten times at
    most.  The answer, and how many answers failed."""
    for failed in range(10):
        reply = send(agent, fn, **members)
        if reply["success"] or not (reply["error_code"] == -4 or 500 <= reply["error_code"] <= 599):
            break
    return reply, failed + (not reply["success"])


@pytest.mark.parametrize("failures", [2, 99], ids=["transient", "lasting"])
def test_a_block_that_failed_behind_its_answer_is_retried_only_by_the_host(
        monkeypatch, agent_env, container, service, tmp_path, failures):
    from vornagent.service import build_agent
    blocks = [os.urandom(1000) for _ in range(4)]
    attempts = []
    stage_block = BlobClient.stage_block

    def flaky(client, block_id, data, *args, **kwargs):
        if bytes(data) == blocks[1]:
            attempts.append(block_id)
            if len(attempts) <= failures:
                raise ServiceResponseError("Connection reset by peer")
        return stage_block(client, block_id, data, *args, **kwargs)

    monkeypatch.setattr(BlobClient, "stage_block", flaky)
    agent = build_agent(agent_env)
    piece = tmp_path / "piece"
    failed_answers = 0
    for counter in range(len(blocks) + 1):  # the blocks, then the commit; the host stops at a failure
        piece.write_bytes(blocks[counter] if counter < len(blocks) else b"")
        fn = "createBlobBlock" if counter < len(blocks) else "commitBlobBlocks"
        reply, failed = as_the_host(agent, fn, container=container, fileInput=str(piece), counter=counter)
        failed_answers += failed
        if not reply["success"]:
            break
    # One attempt behind the first answer, then one each time the host sent a request again.
    assert len(set(attempts)) == 1 and len(attempts) == min(failures, 10) + (failures < 10)
    assert failed_answers == min(failures, 10)
    blob = service.get_blob_client(container, "b")
    if failures < 10:
        assert reply["success"] and blob.download_blob().readall() == b"".join(blocks)
    else:
        assert (reply["error_code"], reply["error_message"]) == (-4, "Connection reset by peer")
        assert not blob.exists()


def test_blocks_commit_only_through_the_agent_that_staged_them(agent, start_agent, container, service,
                                                               tmp_path):
    other = start_agent()
    assert [stage(agent, container, tmp_path, n, b"block") for n in (0, 1)] == [{"success": True}] * 2
    for fn in ("commitBlobBlocks", "createBlobBlock"):
        reply = other.call(fn, container=container, blob="b", counter=2, fileInput=__file__)
        assert reply["error_code"] == -1 and "nothing was committed" in reply["error_message"], fn
    assert not service.get_blob_client(container, "b").exists()


def test_concurrent_uploads_to_one_path_never_mix(agent, start_agent, container, service, tmp_path):
    writers = [agent, start_agent()]
    contents = [[bytes([n]) * 5000 + os.urandom(10) for n in range(3)] for _ in writers]
    for counter in range(3):  # interleaved block by block
        for writer, blocks in zip(writers, contents):
            stage(writer, container, tmp_path, counter, blocks[counter])
    committed = [send(writer, "commitBlobBlocks", container=container, counter=3)["success"] for writer in writers]
    # Whoever committed last successfully wrote all the bytes; a writer that failed says so.
    last = max(n for n, success in enumerate(committed) if success)
    assert service.get_blob_client(container, "b").download_blob().readall() == b"".join(contents[last])


def test_blocks_through_a_few_reused_buffers_arrive_whole(start_agent, container, service, tmp_path):
    agent = start_agent(AZURE_AGENT_MEMORY_MIB="1")  # three blocks in memory at most
    # One block larger than the whole bound passes alone; a short last block takes a larger buffer.
    blocks = [os.urandom(300_000) for _ in range(12)] + [os.urandom(1_500_000)] + [
        os.urandom(300_000) for _ in range(6)] + [b"tail"]
    assert all(stage(agent, container, tmp_path, n, content)["success"] for n, content in enumerate(blocks))
    committed = send(agent, "commitBlobBlocks", container=container, counter=len(blocks))
    assert committed["Properties"]["ContentLength"] == sum(map(len, blocks))
    stored = service.get_blob_client(container, "b")
    content = b"".join(blocks)
    assert stored.download_blob().readall() == content
    assert stored.get_blob_properties().content_settings.content_md5 == hashlib.md5(content).digest()


def read(agent, container, target, start, length):
    return send(agent, "getBlob", container=container, fileOutput=str(target), RangeStart=start,
                RangeEnd=start + length - 1)


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
    service.get_blob_client(container, "b").upload_blob(os.urandom(32 * RANGE))
    target = tmp_path / "range"
    sizes = []
    for _ in range(12):  # a first range only, then the read is dropped for another one
        assert read(agent, container, target, 0, RANGE)["success"]
        assert send(agent, "getBlobProperties", container=container)["success"]
        sizes.append(footprint(agent))
    (rss_early, _), (rss_late, threads) = sizes[2], sizes[-1]
    # The default streams, the hasher, the reader of requests and the main thread.
    assert rss_late - rss_early < 16 and threads <= 16 + 3
    assert os.listdir(tmp_path) == ["range"]
    # The end of its input ends the agent at once, whatever it was fetching.
    read(agent, container, target, 0, RANGE)
    began = time.monotonic()
    assert agent.close() == 0 and time.monotonic() - began < 2
