"""Start-up, refused requests, failures of authentication and of the connection, and the wire."""
import base64
import hashlib
import http.client
import json
import os
import socket
import time

import pytest

from azurite_server import ACCOUNT, endpoint_at, loopback_socket, port_of
from loopback_proxy import Fault, LoopbackProxy


@pytest.mark.parametrize("changes, first_line", [
    ({"AZURE_SECRET_KEY": "not base64!"}, "AZURE_SECRET_KEY is not a valid base64 string"),
    ({"AZURE_SECRET_KEY": ""}, "AZURE_SECRET_KEY (the storage account key) is not set"),
    ({"AZURE_ACCESS_KEY": None}, "AZURE_ACCESS_KEY (the storage account name) is not set"),
    ({"AZURE_AGENT_STREAMS": "0"}, "AZURE_AGENT_STREAMS must be a positive number"),
    ({"AZURE_USE_ENTRA_ID": "1"}, "more than one credential is set (AZURE_SECRET_KEY, AZURE_USE_ENTRA_ID): give one"),
    ({"AZURE_SECRET_KEY": None, "AZURE_SAS_TOKEN": "sp=r&sig=abc"},
     "AZURE_SAS_TOKEN is not a SAS token (it needs its sv= and sig= fields)"),
])
def test_a_bad_setting_is_the_first_line_and_ends_the_agent(start_agent, changes, first_line):
    started = start_agent(**changes)
    assert started.first_line == first_line and started.close() != 0


INVALID_REQUESTS = [
    "not json", "[1, 2]", '{"fn": "noSuchAction"}',
    '{"fn": "getBlobProperties", "container": "abc"}', '{"fn": "getBlobProperties", "container": "abc", "blob": 5}',
    '{"fn": "createBlobBlock", "container": "abc", "blob": "b", "fileInput": "/f", "counter": "-1"}',
    '{"fn": "createBlobBlock", "container": "abc", "blob": "b", "fileInput": "/f", "counter": true}',
    '{"fn": "getBlob", "container": "abc", "blob": "b", "fileOutput": "/f", "RangeStart": "5"}',
    '{"fn": "getBlob", "container": "abc", "blob": "b", "fileOutput": "/f", "RangeStart": "5", "RangeEnd": "4"}',
]


def test_invalid_requests_are_refused_and_the_agent_keeps_serving(agent):
    for line in INVALID_REQUESTS:
        agent.write(line)
        reply = agent.reply()
        assert (reply["success"], reply["error_code"], bool(reply["error_message"])) == (False, -5, True), line
    assert agent.call("listContainers")["success"] is True
    assert agent.close() == 0


WRONG_KEY = base64.b64encode(b"not the account key" * 3).decode()


# A closed port refuses connections, a silent one accepts them and never answers.
@pytest.mark.parametrize("server, changes, code, words", [
    (None, {"AZURE_SECRET_KEY": WRONG_KEY}, -2, "authenticate"),
    ("closed", {}, -4, "Connection refused"),
    ("silent", {"AZURE_AGENT_TIMEOUT": "0.5"}, -4, "timed out"),
], ids=["wrong key", "closed port", "silent service"])
def test_authentication_and_connection_failures(start_agent, server, changes, code, words):
    with loopback_socket(listen=server == "silent") as sock:
        if server:
            changes = {**changes, "AZURE_BLOB_ENDPOINT": endpoint_at(sock.getsockname()[1])}
        started = start_agent(**changes)
        # One answer with a body, one without (HEAD).
        for fn, members in [("listContainers", {}), ("getBlobProperties", {"container": "abc", "blob": "b"})]:
            began = time.monotonic()
            reply = started.call(fn, **members)
            assert reply["error_code"] == code and words in reply["error_message"], fn
            assert time.monotonic() - began < 3, "one attempt, no retries"
            assert WRONG_KEY not in reply["error_message"]
    assert WRONG_KEY not in started.stderr()


def test_failed_name_lookup_is_reported_in_the_words_the_host_expects(monkeypatch, agent_env):
    from vornagent.service import build_agent

    def no_such_name(*args, **kwargs):
        raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")

    monkeypatch.setattr(socket, "getaddrinfo", no_such_name)
    agent = build_agent({**agent_env, "AZURE_BLOB_ENDPOINT": f"http://nowhere.invalid/{ACCOUNT}"})
    message = agent.handle(json.dumps({"fn": "listContainers"}))["error_message"]
    assert message.startswith("Temporary failure in name resolution") and "Name or service not known" in message


@pytest.mark.parametrize("size", [3 << 20, 9 << 20], ids=["one piece", "several pieces"])
def test_a_connection_broken_inside_a_whole_read_is_a_network_failure(azurite, start_agent, container, service,
                                                                      tmp_path, size):
    # The SDK reports a body cut short beneath errors of its own.
    service.get_blob_client(container, "b").upload_blob(os.urandom(size))
    fault = Fault("reset-response", "GET", f"/{container}/b", times=None)
    with LoopbackProxy(port_of(azurite), faults=[fault]) as link:
        started = start_agent(AZURE_BLOB_ENDPOINT=endpoint_at(link.port))
        reply = started.call("getBlob", container=container, blob="b", fileOutput=str(tmp_path / "out"))
    assert fault.hits and reply["error_code"] == -4, reply


def answer_one_request(listener, answer):
    """Read one request, send the answer and close; return its line and headers."""
    connection, _ = listener.accept()
    with connection, connection.makefile("rb") as stream:
        request_line = stream.readline().decode()
        headers = http.client.parse_headers(stream)
        stream.read(int(headers.get("content-length", 0)))
        connection.sendall(answer)
    return request_line, headers


# What the service answers when the data it received does not match Content-MD5.
MD5_MISMATCH = (b"HTTP/1.1 400 The MD5 value specified in the request did not match with the MD5 value"
                b" calculated by the server.\r\nContent-Length: 0\r\nConnection: close\r\n"
                b"x-ms-error-code: Md5Mismatch\r\n\r\n")


def test_what_goes_on_the_wire_through_a_proxy(start_agent, tmp_path):
    piece = tmp_path / "piece"
    piece.write_bytes(b"block content")
    md5 = base64.b64encode(hashlib.md5(b"block content").digest()).decode()
    with loopback_socket(listen=True) as proxy:
        started = start_agent(AZURE_BLOB_ENDPOINT=endpoint_at(9), VORN_USER_AGENT="VornBackup/9.1",
                              VORN_PROXY_ADDR=f"127.0.0.1:{proxy.getsockname()[1]}",
                              VORN_PROXY_AUTH="backup:p@ss:word")
        for fn, md5_headers in [("createBlockBlob", ("content-md5", "x-ms-blob-content-md5")),
                                ("createBlobBlock", ("content-md5",))]:
            started.write(json.dumps({"fn": fn, "container": "abc", "blob": "b", "fileInput": str(piece),
                                      "counter": 0}))
            request_line, headers = answer_one_request(proxy, MD5_MISMATCH)
            reply = started.reply()
            if fn == "createBlobBlock":  # answered once queued: the failure comes with the commit
                assert reply == {"success": True}
                reply = started.call("commitBlobBlocks", container="abc", blob="b", counter=1)
            assert reply["error_code"] == -1 and "integrity" in reply["error_message"]
            assert request_line.split()[1].startswith(endpoint_at(9) + "/abc/b")
            assert headers["proxy-authorization"] == "Basic " + base64.b64encode(b"backup:p@ss:word").decode()
            assert headers["user-agent"].startswith("VornBackup/9.1 ")
            assert [headers.get(name) for name in md5_headers] == [md5] * len(md5_headers)
