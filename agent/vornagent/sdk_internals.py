"""The only place that reaches into the SDK's private parts.

The SDK's models cost several times the service's own time on listing pages and read pieces;
the agent sends those GETs through a client's pipeline itself (signing, proxy, user agent kept)
and reads the answers' bodies straight into its buffers.
"""
from azure.core.exceptions import HttpResponseError
from azure.core.rest import HttpRequest
from azure.storage.blob._shared.response_handlers import process_storage_error


def send_raw(client, url, status, stream=False, headers=None):
    """The answer to a GET of url through the client's pipeline; any status but `status`
    raises the service's error as the SDK would."""
    request = HttpRequest("GET", url, headers={"x-ms-version": client.api_version, **(headers or {})})
    response = client._client._send_request(request, stream=stream)  # noqa: SLF001
    if response.status_code != status:
        response.read()
        process_storage_error(HttpResponseError(response=response))
    return response


def body_reader(response):
    """The file-like raw body of a streamed answer, to read into buffers of one's own."""
    return response._internal_response.raw  # noqa: SLF001
