"""Start-up and request handling that does not depend on stored blobs."""
import pytest


@pytest.mark.parametrize("change, first_line", [
    ({}, "start"),
    ({"AZURE_SECRET_KEY": "not base64!"}, "AZURE_SECRET_KEY is not a valid base64 string"),
    ({"AZURE_SECRET_KEY": ""}, "AZURE_SECRET_KEY (the storage account key) is not set"),
    ({"AZURE_ACCESS_KEY": None}, "AZURE_ACCESS_KEY (the storage account name) is not set"),
])
def test_first_line_and_exit_status(start_agent, agent_env, change, first_line):
    env = {name: value for name, value in {**agent_env, **change}.items() if value is not None}
    started = start_agent(env)
    assert started.first_line == first_line
    status = started.close()
    assert status == 0 if first_line == "start" else status != 0


INVALID_REQUESTS = [
    "not json",
    "[1, 2]",
    '{"fn": "noSuchAction"}',
    '{"container": "abc"}',
    '{"fn": "getBlobProperties", "container": "abc"}',
    '{"fn": "getBlobProperties", "container": "abc", "blob": 5}',
    '{"fn": "createBlobBlock", "container": "abc", "blob": "b", "fileInput": "/f", "counter": "-1"}',
    '{"fn": "createBlobBlock", "container": "abc", "blob": "b", "fileInput": "/f", "counter": true}',
    '{"fn": "getBlob", "container": "abc", "blob": "b", "fileOutput": "/f", "RangeStart": "5"}',
    '{"fn": "getBlob", "container": "abc", "blob": "b", "fileOutput": "/f",'
    ' "RangeStart": "5", "RangeEnd": "4"}',
]


def test_invalid_requests_are_refused_and_the_agent_keeps_serving(agent):
    for line in INVALID_REQUESTS:
        reply = agent.send(line)
        assert (reply["success"], reply["error_code"]) == (False, -5), line
        assert reply["error_message"]
    assert agent.call("listContainers")["success"] is True
    assert agent.close() == 0
