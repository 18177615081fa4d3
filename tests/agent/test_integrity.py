"""Reads refuse content that no longer matches the blob's stored MD5."""
import hashlib
import os

from azure.storage.blob import ContentSettings


def test_content_not_matching_its_md5_is_refused(agent, container, service, tmp_path):
    content = os.urandom(10_000)
    source, target = tmp_path / "in", tmp_path / "out"
    source.write_bytes(content)
    blob = {"container": container, "blob": "damaged"}
    agent.call("createBlockBlob", fileInput=str(source), **blob)
    service.get_blob_client(container, "damaged").set_http_headers(
        ContentSettings(content_md5=hashlib.md5(b"other content").digest()))

    def read(**span):
        return agent.call("getBlob", fileOutput=str(target), **blob, **span)

    for reads in ([{}], [{"RangeStart": 0, "RangeEnd": "4999"}, {"RangeStart": "5000", "RangeEnd": "9999"}]):
        *earlier, last = [read(**span) for span in reads]
        assert all(reply["success"] for reply in earlier)
        assert last["error_code"] == -1
        assert "integrity" in last["error_message"] and "MD5 mismatch" in last["error_message"]
        assert target.stat().st_size == 0

    # Without the ranges before it, a last range cannot be checked.
    assert read(RangeStart="5000", RangeEnd="9999")["success"]
    assert target.read_bytes() == content[5000:]
