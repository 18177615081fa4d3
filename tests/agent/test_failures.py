"""Failures of authentication and of the connection, and what goes on the wire."""
import base64
import hashlib
import json
import socket
import time

from conftest import ACCOUNT, free_port


def test_wrong_key_is_an_authentication_failure(start_agent, agent_env):
    wrong_key = base64.b64encode(b"not the account key" * 3).decode()
    started = start_agent({**agent_env, "AZURE_SECRET_KEY": wrong_key})
    assert started.first_line == "start"
    # One answer with a body, one without (HEAD).
    for fn, members in [("listContainers", {}), ("getBlobProperties", {"container": "abc", "blob": "b"})]:
        reply = started.call(fn, **members)
        assert reply["error_code"] == -2
        assert "authenticate" in reply["error_message"]
        assert wrong_key not in reply["error_message"]
    assert wrong_key not in started.stderr()


def test_closed_port_is_a_connection_failure(start_agent, agent_env):
    env = {**agent_env, "AZURE_BLOB_ENDPOINT": f"http://127.0.0.1:{free_port()}/{ACCOUNT}"}
    started = start_agent(env)
    assert started.first_line == "start"
    began = time.monotonic()
    reply = started.call("getBlobProperties", container="abc", blob="b")
    assert reply["error_code"] == -4 and "Connection refused" in reply["error_message"]
    assert time.monotonic() - began < 3, "one attempt, no retries"


def listening_socket():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    return listener


def test_silent_service_times_out(start_agent, agent_env):
    with listening_socket() as silent:
        endpoint = f"http://127.0.0.1:{silent.getsockname()[1]}/{ACCOUNT}"
        started = start_agent({**agent_env, "AZURE_BLOB_ENDPOINT": endpoint, "AZURE_AGENT_TIMEOUT": "0.5"})
        reply = started.call("listContainers")
    assert reply["error_code"] == -4 and "timed out" in reply["error_message"]


def test_failed_name_lookup_is_reported_in_the_words_the_host_expects(monkeypatch, agent_env):
    import azure_agent

    def no_such_name(*args, **kwargs):
        raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")

    monkeypatch.setattr(socket, "getaddrinfo", no_such_name)
    agent = azure_agent.build_agent({**agent_env, "AZURE_BLOB_ENDPOINT": f"http://nowhere.invalid/{ACCOUNT}"})
    reply = agent.handle(json.dumps({"fn": "listContainers"}))
    assert reply["error_code"] == -4
    assert reply["error_message"].startswith("Temporary failure in name resolution")
    assert "Name or service not known" in reply["error_message"]


def answer_one_request(listener, answer):
    """Read one request, send the answer and close; return its line and headers."""
    connection, _ = listener.accept()
    with connection:
        received = b""
        while b"\r\n\r\n" not in received:
            received += connection.recv(65536)
        head, body = received.split(b"\r\n\r\n", 1)
        request_line, *lines = head.decode().split("\r\n")
        headers = {name.lower(): value for name, value in (line.split(": ", 1) for line in lines)}
        while len(body) < int(headers.get("content-length", 0)):
            body += connection.recv(65536)
        connection.sendall(answer)
    return request_line, headers


# What the service answers when the data it received does not match Content-MD5.
MD5_MISMATCH = (b"HTTP/1.1 400 The MD5 value specified in the request did not match with the MD5 value"
                b" calculated by the server.\r\nContent-Length: 0\r\nConnection: close\r\n"
                b"x-ms-error-code: Md5Mismatch\r\n\r\n")


def test_what_goes_on_the_wire_through_a_proxy(start_agent, agent_env, tmp_path):
    piece = tmp_path / "piece"
    piece.write_bytes(b"block content")
    md5 = base64.b64encode(hashlib.md5(b"block content").digest()).decode()
    requests = []
    with listening_socket() as proxy:
        started = start_agent({**agent_env, "AZURE_BLOB_ENDPOINT": f"http://127.0.0.1:9/{ACCOUNT}",
                               "VORN_PROXY_ADDR": f"127.0.0.1:{proxy.getsockname()[1]}",
                               "VORN_PROXY_AUTH": "backup:p@ss:word", "VORN_USER_AGENT": "VornBackup/9.1"})
        for fn, extra in [("createBlockBlob", {}), ("createBlobBlock", {"counter": 0})]:
            started.write(json.dumps({"fn": fn, "container": "abc", "blob": "b",
                                      "fileInput": str(piece), **extra}))
            requests.append(answer_one_request(proxy, MD5_MISMATCH))
            reply = started.reply()
            assert reply["error_code"] == -1 and "integrity" in reply["error_message"]
    for request_line, headers in requests:
        assert request_line.split()[1].startswith(f"http://127.0.0.1:9/{ACCOUNT}/abc/b")
        assert headers["proxy-authorization"] == "Basic " + base64.b64encode(b"backup:p@ss:word").decode()
        assert headers["user-agent"].startswith("VornBackup/9.1 ")
        assert headers["content-md5"] == md5
    assert requests[0][1]["x-ms-blob-content-md5"] == md5
