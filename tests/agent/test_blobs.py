"""Every action against Azurite: success and failure shapes, paging, names, stored MD5."""
import hashlib
import os

from azure.storage.blob import ContentSettings

AWKWARD_NAME = "dir/a b#1%20?x=\u00e9\u20ac.bin"


def test_every_action_on_a_missing_container_fails_with_404(agent, tmp_path):
    piece = tmp_path / "piece"
    piece.write_bytes(b"data")
    blob = {"container": "no-such-container", "blob": "b"}
    # A block is answered once queued: its failure comes with the commit.
    assert agent.call("createBlobBlock", **blob, fileInput=str(piece), counter=0) == {"success": True}
    for fn, members in [("getContainerProperties", {"container": "no-such-container"}),
                        ("listBlobs", {"container": "no-such-container", "Prefix": ""}),
                        ("getBlobProperties", blob), ("deleteBlob", blob),
                        ("createBlockBlob", {**blob, "fileInput": str(piece)}),
                        ("commitBlobBlocks", {**blob, "counter": 1}),
                        ("getBlob", {**blob, "fileOutput": str(piece)})]:
        reply = agent.call(fn, **members)
        assert (reply["success"], reply["error_code"]) == (False, 404), fn
        assert reply["error_message"] == "The specified container does not exist.", fn


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
    ranged = agent.call("getBlob", fileOutput=str(target), RangeStart="1000", RangeEnd="1999", **blob)
    assert ranged["success"] and target.read_bytes() == content[1000:2000]

    assert agent.call("deleteBlob", **blob) == {"success": True}
    for fn, members in [("deleteBlob", {}), ("getBlobProperties", {}),
                        ("getBlob", {"fileOutput": str(target)})]:
        assert agent.call(fn, **blob, **members)["error_code"] == 404, fn
    assert agent.call("listBlobs", container=container, Prefix="")["count"] == 0


def test_stored_md5_is_that_of_the_content_and_reads_check_it(agent, container, service, tmp_path):
    blocks = [os.urandom(70_000), b"x", os.urandom(50_000)]
    piece, target = tmp_path / "piece", tmp_path / "out"
    for counter, content in enumerate(blocks):
        piece.write_bytes(content)
        assert agent.call("createBlobBlock", container=container, blob="blocks", fileInput=str(piece),
                          counter=counter) == {"success": True}
    committed = agent.call("commitBlobBlocks", container=container, blob="blocks", counter=3)
    assert committed["Properties"]["ContentLength"] == sum(map(len, blocks))
    agent.call("createBlockBlob", container=container, blob="single", fileInput=str(piece))
    for blob, content in [("blocks", b"".join(blocks)), ("single", blocks[2])]:
        stored = service.get_blob_client(container, blob)
        assert stored.download_blob().readall() == content, blob
        assert stored.get_blob_properties().content_settings.content_md5 == hashlib.md5(content).digest()

    # Content no longer matching its MD5 is refused, read whole or in ranges from the start.
    service.get_blob_client(container, "single").set_http_headers(
        ContentSettings(content_md5=hashlib.md5(b"other content").digest()))

    def read(**span):
        return agent.call("getBlob", container=container, blob="single", fileOutput=str(target), **span)

    halves = [{"RangeStart": 0, "RangeEnd": "24999"}, {"RangeStart": "25000", "RangeEnd": "49999"}]
    for reads in ([{}], halves):
        *earlier, last = [read(**span) for span in reads]
        assert all(reply["success"] for reply in earlier)
        assert last["error_code"] == -1
        assert "integrity" in last["error_message"] and "MD5 mismatch" in last["error_message"]
        assert target.stat().st_size == 0
    # Without the ranges before it, a last range cannot be checked.
    assert read(**halves[1])["success"]
    assert target.read_bytes() == blocks[2][25000:]


def list_all(agent, **members):
    pages, marker = [], {}
    while True:
        pages.append(agent.call("listBlobs", **members, **marker))
        if "NextMarker" not in pages[-1]:
            return pages
        marker = {"Marker": pages[-1]["NextMarker"]}


def test_containers_and_listing_pages(agent, container, start_agent, tmp_path):
    assert agent.call("createContainer", container=container)["error_code"] == 409
    found = agent.call("getContainerProperties", container=container)
    assert found["success"] and found["Properties"]["ETag"].startswith('"')
    piece = tmp_path / "piece"
    piece.write_bytes(b"data")
    names = [f"f{n}" for n in range(5)] + ["d1/x", "d2/y", "d2/z/w"]
    for name in names:
        agent.call("createBlockBlob", container=container, blob=name, fileInput=str(piece))
    for suffix in ("-2", "-3"):
        agent.call("createContainer", container=container + suffix)
    paged = start_agent(AZURE_AGENT_PAGE_SIZE="2")

    pages = list_all(paged, container=container, Prefix="", Delimiter="/")
    assert [page["count"] for page in pages] == [2, 2, 2, 1]
    assert all(page["count"] == len(page["folder"]) + len(page["file"]) for page in pages)
    assert [f["Name"] for page in pages for f in page["folder"]] == ["d1/", "d2/"]
    assert [f["Name"] for page in pages for f in page["file"]] == names[:5]
    pages = list_all(paged, container=container, Prefix="d2/")
    assert [f["Name"] for page in pages for f in page["file"]] == ["d2/y", "d2/z/w"]
    assert pages[0]["folder"] == [] and "NextMarker" not in pages[0]

    every_container = paged.call("listContainers")["container"]
    assert all({"Name": container + suffix} in every_container for suffix in ("", "-2", "-3"))
    assert every_container == agent.call("listContainers")["container"]
