"""Every action against Azurite: success and failure shapes, paging, names, stored MD5."""
import hashlib
import os

from azure.storage.blob import ContentSettings

AWKWARD_NAME = "dir/a b#1%20?x=\u00e9\u20ac.bin"


def test_every_action_on_a_missing_container_fails_with_404(agent, tmp_path):
    piece = tmp_path / "piece"
    piece.write_bytes(b"data")
    request = {"container": "no-such-container", "blob": "b", "fileInput": str(piece), "fileOutput": str(piece)}
    # A block is answered once queued: its failure comes with the commit.
    assert agent.call("createBlobBlock", **request, counter=0) == {"success": True}
    for fn in ("getContainerProperties", "listBlobs", "getBlobProperties", "deleteBlob", "createBlockBlob",
               "commitBlobBlocks", "getBlob"):
        reply = agent.call(fn, **request, counter=1)
        assert (reply["success"], reply["error_code"]) == (False, 404), fn


def test_blob_round_trip_with_an_awkward_name(agent, container, tmp_path):
    content = os.urandom(300_000)
    source, target = tmp_path / "in", tmp_path / "out"
    blob = {"container": container, "blob": AWKWARD_NAME}
    # A missing local file fails that request only, and stores nothing (see the last listing).
    reply = agent.call("createBlockBlob", container=container, blob="b", fileInput=str(source))
    assert reply["error_code"] == -1 and "No such file" in reply["error_message"]

    source.write_bytes(content)
    stored = agent.call("createBlockBlob", fileInput=str(source), **blob)
    assert stored["success"] and stored["Properties"]["ContentLength"] == len(content)
    assert agent.call("getBlobProperties", **blob)["Properties"] == stored["Properties"]
    listed = agent.call("listBlobs", container=container, Prefix="dir/")
    assert listed["file"] == [{"Name": AWKWARD_NAME, "Properties": stored["Properties"]}]

    target.write_bytes(b"longer than the blob" * 50_000)
    assert agent.call("getBlob", fileOutput=str(target), **blob) == {"success": True}
    assert target.read_bytes() == content
    assert agent.call("deleteBlob", **blob) == {"success": True}
    for fn in ("deleteBlob", "getBlobProperties", "getBlob"):
        assert agent.call(fn, **blob, fileOutput=str(target))["error_code"] == 404, fn
    assert agent.call("listBlobs", container=container, Prefix="")["count"] == 0


def test_stored_md5_is_that_of_the_content_and_ranged_reads_check_it(agent, container, service, tmp_path):
    blocks = [os.urandom(70_000), b"x", os.urandom(50_000)]
    piece, target = tmp_path / "piece", tmp_path / "out"
    for counter, content in enumerate(blocks):
        piece.write_bytes(content)
        assert agent.call("createBlobBlock", container=container, blob="blocks", fileInput=str(piece),
                          counter=counter) == {"success": True}
    committed = agent.call("commitBlobBlocks", container=container, blob="blocks", counter=3)
    # The commit's own answer, not a second look: it must agree with the stored blob.
    assert committed["Properties"] == agent.call("getBlobProperties", container=container, blob="blocks")[
        "Properties"]
    assert committed["Properties"]["ContentLength"] == sum(map(len, blocks))
    agent.call("createBlockBlob", container=container, blob="single", fileInput=str(piece))
    for blob, content in [("blocks", b"".join(blocks)), ("single", blocks[2])]:
        stored = service.get_blob_client(container, blob)
        assert stored.download_blob().readall() == content, blob
        assert stored.get_blob_properties().content_settings.content_md5 == hashlib.md5(content).digest()

    # Content no longer matching its MD5 is refused at the last of the ranges read from the start.
    service.get_blob_client(container, "single").set_http_headers(
        ContentSettings(content_md5=hashlib.md5(b"other content").digest()))
    halves = [{"RangeStart": 0, "RangeEnd": "29999"}, {"RangeStart": "30000", "RangeEnd": "49999"}]
    first, last = [agent.call("getBlob", container=container, blob="single", fileOutput=str(target), **span)
                   for span in halves]
    assert first["success"] and last["error_code"] == -1 and "integrity" in last["error_message"]
    assert target.stat().st_size == 0
    # Without the ranges before it, a last range cannot be checked; a shorter range replaces a
    # longer one whole.
    for span in ({"RangeStart": "10000", "RangeEnd": "44999"}, halves[1]):
        assert agent.call("getBlob", container=container, blob="single", fileOutput=str(target), **span)["success"]
        assert target.read_bytes() == blocks[2][int(span["RangeStart"]):int(span["RangeEnd"]) + 1]


def names(pages, kind):
    return [entry["Name"] for page in pages for entry in page[kind]]


def test_listing_pages_of_blobs_and_containers(agent, container, start_agent, tmp_path):
    piece = tmp_path / "piece"
    piece.write_bytes(b"data")
    files = [f"f{n}" for n in range(5)]
    for name in files + ["d1/x", "d2/y", "d2/z/w"]:
        agent.call("createBlockBlob", container=container, blob=name, fileInput=str(piece))
    for suffix in ("-2", "-3"):
        agent.call("createContainer", container=container + suffix)
    paged = start_agent(AZURE_AGENT_PAGE_SIZE="2")

    pages, request = [], {"container": container, "Prefix": "", "Delimiter": "/"}
    while not pages or "NextMarker" in pages[-1]:
        pages.append(paged.call("listBlobs", **request, **({"Marker": pages[-1]["NextMarker"]} if pages else {})))
    assert [page["count"] for page in pages] == [2, 2, 2, 1]
    assert all(page["count"] == len(page["folder"]) + len(page["file"]) for page in pages)
    assert (names(pages, "folder"), names(pages, "file")) == (["d1/", "d2/"], files)
    deeper = paged.call("listBlobs", container=container, Prefix="d2/")
    assert (names([deeper], "folder"), names([deeper], "file")) == ([], ["d2/y", "d2/z/w"])
    assert "NextMarker" not in deeper

    every_container = paged.call("listContainers")["container"]
    assert all({"Name": container + suffix} in every_container for suffix in ("", "-2", "-3"))
    assert every_container == agent.call("listContainers")["container"]
