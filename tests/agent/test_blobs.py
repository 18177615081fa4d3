"""Every action against Azurite: success and failure shapes, paging, names."""
import hashlib
import os

AWKWARD_NAME = "dir/a b#1%20?x=\u00e9\u20ac.bin"


def test_container_actions(agent, container):
    assert agent.call("createContainer", container=container)["error_code"] == 409
    assert {"Name": container} in agent.call("listContainers")["container"]
    found = agent.call("getContainerProperties", container=container)
    assert found["success"] and found["Properties"]["ETag"].startswith('"')


def test_every_action_on_a_missing_container_fails_with_404(agent, tmp_path):
    piece = tmp_path / "piece"
    piece.write_bytes(b"data")
    blob = {"container": "no-such-container", "blob": "b"}
    for fn, members in [("getContainerProperties", {"container": "no-such-container"}),
                        ("listBlobs", {"container": "no-such-container", "Prefix": ""}),
                        ("getBlobProperties", blob), ("deleteBlob", blob),
                        ("createBlockBlob", {**blob, "fileInput": str(piece)}),
                        ("createBlobBlock", {**blob, "fileInput": str(piece), "counter": 0}),
                        ("commitBlobBlocks", {**blob, "counter": 1}),
                        ("getBlob", {**blob, "fileOutput": str(piece)})]:
        reply = agent.call(fn, **members)
        assert (reply["success"], reply["error_code"]) == (False, 404), fn
        assert reply["error_message"] == "The specified container does not exist.", fn


def test_blob_round_trip_with_an_awkward_name(agent, container, tmp_path):
    content = os.urandom(300_000)
    source, target = tmp_path / "in", tmp_path / "out"
    source.write_bytes(content)
    blob = {"container": container, "blob": AWKWARD_NAME}

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
    for fn in ("deleteBlob", "getBlobProperties"):
        assert agent.call(fn, **blob)["error_code"] == 404
    assert agent.call("getBlob", fileOutput=str(target), **blob)["error_code"] == 404


def test_missing_local_file_fails_without_stopping_the_agent(agent, container, tmp_path):
    reply = agent.call("createBlockBlob", container=container, blob="b", fileInput=str(tmp_path / "none"))
    assert reply["error_code"] == -1 and "No such file" in reply["error_message"]
    assert agent.call("listBlobs", container=container, Prefix="")["count"] == 0


def stage(agent, container, blob, piece, counter, content):
    piece.write_bytes(content)
    reply = agent.call("createBlobBlock", container=container, blob=blob,
                       fileInput=str(piece), counter=counter)
    assert reply == {"success": True}


def test_stored_blobs_carry_the_md5_of_their_content(agent, container, service, tmp_path):
    blocks = [os.urandom(70_000), b"x", os.urandom(50_000)]
    piece = tmp_path / "piece"
    for counter, content in enumerate([*blocks[:2], b"sent before a failure"]):
        stage(agent, container, "blocks", piece, counter, content)
    # A block sent again replaces the last one.
    stage(agent, container, "blocks", piece, 2, blocks[2])
    committed = agent.call("commitBlobBlocks", container=container, blob="blocks",
                           fileInput=str(piece), counter=3)
    assert committed["Properties"]["ContentLength"] == sum(map(len, blocks))
    agent.call("createBlockBlob", container=container, blob="single", fileInput=str(piece))

    for blob, content in [("blocks", b"".join(blocks)), ("single", blocks[2])]:
        stored = service.get_blob_client(container, blob)
        assert stored.download_blob().readall() == content
        md5 = stored.get_blob_properties().content_settings.content_md5
        assert bytes(md5) == hashlib.md5(content).digest()


def test_commit_after_a_restart_stores_no_md5_and_says_so(agent, container, service, start_agent,
                                                       agent_env, tmp_path):
    piece = tmp_path / "piece"
    stage(agent, container, "blocks", piece, 0, b"first")
    restarted = start_agent(agent_env)
    stage(restarted, container, "blocks", piece, 1, b"second")
    assert restarted.call("commitBlobBlocks", container=container, blob="blocks", counter=2)["success"]
    stored = service.get_blob_client(container, "blocks")
    assert stored.download_blob().readall() == b"firstsecond"
    assert stored.get_blob_properties().content_settings.content_md5 is None
    assert "without Content-MD5" in restarted.stderr()


def list_all(agent, **members):
    pages, marker = [], {}
    while True:
        pages.append(agent.call("listBlobs", **members, **marker))
        if "NextMarker" not in pages[-1]:
            return pages
        marker = {"Marker": pages[-1]["NextMarker"]}


def test_listing_pages(agent, container, start_agent, agent_env, tmp_path):
    piece = tmp_path / "piece"
    piece.write_bytes(b"data")
    names = [f"f{n}" for n in range(5)] + ["d1/x", "d2/y", "d2/z/w"]
    for name in names:
        agent.call("createBlockBlob", container=container, blob=name, fileInput=str(piece))
    for suffix in ("-2", "-3"):
        agent.call("createContainer", container=container + suffix)
    paged = start_agent({**agent_env, "AZURE_AGENT_PAGE_SIZE": "2"})

    pages = list_all(paged, container=container, Prefix="", Delimiter="/")
    assert [page["count"] for page in pages] == [2, 2, 2, 1]
    assert all(page["count"] == len(page["folder"]) + len(page["file"]) for page in pages)
    assert [f["Name"] for page in pages for f in page["folder"]] == ["d1/", "d2/"]
    assert [f["Name"] for page in pages for f in page["file"]] == names[:5]

    pages = list_all(paged, container=container, Prefix="d2/")
    assert [f["Name"] for page in pages for f in page["file"]] == ["d2/y", "d2/z/w"]
    assert pages[0]["folder"] == [] and "NextMarker" not in pages[0]

    every_container = paged.call("listContainers")["container"]
    assert len(every_container) >= 3
    assert every_container == agent.call("listContainers")["container"]
