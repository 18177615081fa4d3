#!/usr/bin/python3
"""Azure Blob Storage agent of the vornbackup azure_blob destination.

The C++ plug-in runs this program as a child process and talks to it through
pipes: one JSON request per line on stdin, one JSON response per line on
stdout.  Blob data never travels in messages; requests name local files.
The host owns retries, so every request is a single attempt.
"""
import base64
import binascii
import hashlib
import json
import os
import re
import signal
import socket
import sys
from collections import OrderedDict
from dataclasses import dataclass
from urllib.parse import quote, urlsplit

# Only the synchronous transport is used.  The SDK treats aiohttp as optional,
# and importing it would cost about a fifth of the start-up time.
sys.modules.setdefault("aiohttp", None)

from azure.core.exceptions import (  # noqa: E402  (after the aiohttp block)
    HttpResponseError, IncompleteReadError, ServiceRequestError, ServiceResponseError)
from azure.storage.blob import (  # noqa: E402
    BlobBlock, BlobProperties, BlobServiceClient, ContentSettings)

GENERAL_FAILURE = -1
AUTHENTICATION_FAILED = -2
CONNECTION_FAILED = -4
BAD_REQUEST = -5

DEFAULT_PAGE_SIZE = 5000
CONNECT_TIMEOUT = 20
READ_TIMEOUT = 60
# Largest upload and largest read sent as one request; the body is held in
# memory.  The plug-in puts files of up to 32 MiB whole and reads 10 MiB ranges.
SINGLE_PUT_LIMIT = 32 * 1024 * 1024
SINGLE_GET_LIMIT = 16 * 1024 * 1024
# Piece size of transfers beyond those limits.
TRANSFER_CHUNK = 8 * 1024 * 1024
# The service returns a transactional MD5 only for ranges up to this size.
RANGE_MD5_LIMIT = 4 * 1024 * 1024
HASH_CHUNK = 1024 * 1024
# Digest states of abandoned uploads or reads are forgotten beyond this many.
DIGEST_STATE_LIMIT = 4096

LOOKUP_FAILED = "Temporary failure in name resolution"


class StartupError(Exception):
    """The environment does not allow the agent to start."""


class RequestError(Exception):
    """A request line the agent cannot understand."""


class IntegrityError(Exception):
    """Data read back does not match the MD5 stored with the blob."""


@dataclass
class Settings:
    account: str
    key: str
    endpoint: str
    page_size: int
    connect_timeout: float
    read_timeout: float
    user_agent: str
    proxy: str


def read_settings(env):
    account = env.get("AZURE_ACCESS_KEY", "")
    key = env.get("AZURE_SECRET_KEY", "")
    if not account:
        raise StartupError("AZURE_ACCESS_KEY (the storage account name) is not set")
    if not key:
        raise StartupError("AZURE_SECRET_KEY (the storage account key) is not set")
    try:
        base64.b64decode(key, validate=True)
    except binascii.Error:
        raise StartupError("AZURE_SECRET_KEY is not a valid base64 string") from None
    scheme = (env.get("AZURE_SCHEME") or "https").lower()
    if scheme not in ("http", "https"):
        raise StartupError("AZURE_SCHEME must be http or https")
    timeout = positive_number(env, "AZURE_AGENT_TIMEOUT", float, None)
    proxy_user, _, proxy_password = env.get("VORN_PROXY_AUTH", "").partition(":")
    return Settings(
        account=account,
        key=key,
        endpoint=(env.get("AZURE_BLOB_ENDPOINT")
                  or f"{scheme}://{account}.blob.core.windows.net"),
        page_size=positive_number(env, "AZURE_AGENT_PAGE_SIZE", int, DEFAULT_PAGE_SIZE),
        connect_timeout=timeout or CONNECT_TIMEOUT,
        read_timeout=timeout or READ_TIMEOUT,
        user_agent=env.get("VORN_USER_AGENT", ""),
        proxy=proxy_url(env.get("VORN_PROXY_ADDR", ""), proxy_user, proxy_password),
    )


def positive_number(env, name, kind, default):
    text = env.get(name)
    if not text:
        return default
    try:
        value = kind(text)
    except ValueError:
        value = 0
    if not value > 0:
        raise StartupError(f"{name} must be a positive number")
    return value


def proxy_url(address, user, password):
    """The proxy as a URL carrying its credentials, or "" without a proxy."""
    if not address:
        return ""
    url = urlsplit(address if "://" in address else f"http://{address}")
    if not user:
        return url.geturl()
    host = url.netloc.rpartition("@")[2]
    return f"{url.scheme}://{quote(user, safe='')}:{quote(password, safe='')}@{host}"


def make_service(settings):
    """The one client, and so the one connection pool, of the agent's life."""
    options = {}
    if settings.user_agent:
        options["user_agent"] = settings.user_agent
    if settings.proxy:
        options["proxies"] = {"http": settings.proxy, "https": settings.proxy}
    return BlobServiceClient(
        settings.endpoint,
        credential={"account_name": settings.account, "account_key": settings.key},
        retry_total=0,
        connection_timeout=settings.connect_timeout,
        read_timeout=settings.read_timeout,
        max_single_put_size=SINGLE_PUT_LIMIT,
        max_block_size=TRANSFER_CHUNK,
        max_single_get_size=SINGLE_GET_LIMIT,
        max_chunk_get_size=TRANSFER_CHUNK,
        connection_data_block_size=64 * 1024,
        # The host's proxy settings are the only ones; this also spares a
        # scan of the environment on every request.
        use_env_settings=False,
        **options)


def build_agent(env):
    settings = read_settings(env)
    try:
        service = make_service(settings)
    except ValueError as error:
        raise StartupError(f"cannot use the blob endpoint: {error}") from None
    # A proxy URL carrying credentials is as secret as the key.
    secrets = [settings.key] + ([settings.proxy] if "@" in settings.proxy else [])
    return Agent(service, settings.page_size, secrets)


class RecentStates(OrderedDict):
    """Per-blob digest states.  The oldest are forgotten beyond a limit, so
    abandoned uploads or reads cannot make memory grow."""

    def __setitem__(self, key, value):
        super().__setitem__(key, value)
        self.move_to_end(key)
        if len(self) > DIGEST_STATE_LIMIT:
            self.popitem(last=False)


class BlockDigests:
    """Running MD5 of the blocks staged for each blob, in block order.

    The digest before the last block is kept as well, so that a block sent
    again with the same number after a failure replaces the last one.
    """

    def __init__(self):
        self._states = RecentStates()  # key: (blocks, digest before last, digest)

    def before(self, key, counter):
        """A digest of blocks 0..counter-1 to extend, or None if unknown."""
        if counter == 0:
            return hashlib.md5()
        blocks, before_last, digest = self._states.get(key, (None, None, None))
        if blocks == counter:
            return digest.copy()
        if blocks == counter + 1:
            return before_last.copy()
        return None

    def staged(self, key, counter, before, after):
        if after is None:
            self._states.pop(key, None)
        else:
            self._states[key] = (counter + 1, before, after)

    def total(self, key, blocks):
        """The MD5 of blocks 0..blocks-1, or None if not all of them were seen."""
        if blocks == 0:
            return hashlib.md5().digest()
        state = self._states.get(key)
        return state[2].digest() if state and state[0] == blocks else None

    def forget(self, key):
        self._states.pop(key, None)


class ReadDigests:
    """Running MD5 of the ranges read from each blob in order from offset 0."""

    def __init__(self):
        self._states = RecentStates()  # key: (next offset, digest)

    def at(self, key, offset):
        """A digest of bytes 0..offset-1 to extend, or None if unknown."""
        if offset == 0:
            return hashlib.md5()
        state = self._states.get(key)
        if state and state[0] == offset:
            return state[1].copy()
        self.forget(key)
        return None

    def read_to(self, key, offset, digest):
        self._states[key] = (offset, digest)

    def forget(self, key):
        self._states.pop(key, None)


class HashingWriter:
    """Writes to a file and feeds the same bytes to a digest."""

    def __init__(self, file, digest):
        self._file = file
        self._digest = digest

    def write(self, data):
        self._digest.update(data)
        return self._file.write(data)


def hash_file(file, digests):
    """Feed a file's content to the digests; return its size, rewound."""
    size = 0
    for chunk in iter(lambda: file.read(HASH_CHUNK), b""):
        size += len(chunk)
        for digest in digests:
            digest.update(chunk)
    file.seek(0)
    return size


def block_id(counter):
    # All block ids of a blob must have the same length; the SDK base64s them.
    return f"{counter:08d}"


def quoted(etag):
    # Headers carry the ETag quoted, listings without quotes: answer one form.
    return etag if etag.startswith('"') else f'"{etag}"'


def properties(last_modified, etag, size=None):
    found = {"LastModified": int(last_modified.timestamp()), "ETag": quoted(etag)}
    if size is not None:
        found["ContentLength"] = size
    return found


def blob_size(download):
    # Content range reads "bytes <first>-<last>/<size of the whole blob>".
    return int(download.properties.content_range.rpartition("/")[2])


def open_download(client, start, end):
    if start is None and end is None:
        return client.download_blob()
    if start is None or end is None or end < start:
        raise RequestError("RangeStart and RangeEnd must both be given, in order")
    length = end - start + 1
    return client.download_blob(offset=start, length=length,
                                validate_content=length <= RANGE_MD5_LIMIT)


def check_md5(download, digest, out, name):
    """Refuse a blob read whole whose content differs from its stored MD5."""
    expected = download.properties.content_settings.content_md5
    if expected and digest.digest() != bytes(expected):
        # Leave nothing that could pass for the blob's content.
        out.truncate(0)
        raise IntegrityError(
            f"integrity check failed: MD5 mismatch for {name}: "
            f"stored Content-MD5 {base64.b64encode(expected).decode()}, "
            f"data read {base64.b64encode(digest.digest()).decode()}")


def note(message):
    print(f"azure_agent: {message}", file=sys.stderr, flush=True)


class Agent:
    """Serves requests with one client; each action returns its response
    members and lets failures propagate to handle()."""

    def __init__(self, service, page_size, secrets):
        self._service = service
        self._page_size = page_size
        self._secrets = secrets
        self._containers = {}
        self._blocks = BlockDigests()
        self._reads = ReadDigests()

    def handle(self, line):
        """The response to one request line; never raises."""
        try:
            method, arguments = parse_request(line)
            return {"success": True, **getattr(self, method)(**arguments)}
        except Exception as error:  # the loop must outlive any request
            code, message = describe(error)
            for secret in self._secrets:
                message = message.replace(secret, "***")
            return {"success": False, "error_code": code, "error_message": message}

    def _container(self, container):
        client = self._containers.get(container)
        if client is None:
            client = self._containers[container] = self._service.get_container_client(container)
        return client

    def _blob(self, container, blob):
        return self._container(container).get_blob_client(blob)

    def get_container_properties(self, container):
        found = self._container(container).get_container_properties()
        return {"Properties": properties(found.last_modified, found.etag)}

    def get_blob_properties(self, container, blob):
        found = self._blob(container, blob).get_blob_properties()
        return {"Properties": properties(found.last_modified, found.etag, found.size)}

    def list_blobs(self, container, prefix="", marker=None, delimiter=None):
        client = self._container(container)
        listing = {"name_starts_with": prefix or None, "results_per_page": self._page_size}
        items = (client.walk_blobs(delimiter=delimiter, **listing) if delimiter
                 else client.list_blobs(**listing))
        pages = items.by_page(continuation_token=marker or None)
        page = list(next(pages))
        response = {
            "count": len(page),
            "folder": [{"Name": item.name} for item in page
                       if not isinstance(item, BlobProperties)],
            "file": [{"Name": item.name,
                      "Properties": properties(item.last_modified, item.etag, item.size)}
                     for item in page if isinstance(item, BlobProperties)],
        }
        if pages.continuation_token:
            response["NextMarker"] = pages.continuation_token
        return response

    def delete_blob(self, container, blob):
        self._blob(container, blob).delete_blob()
        return {}

    def create_block_blob(self, container, blob, file_input):
        digest = hashlib.md5()
        with open(file_input, "rb") as data:
            size = hash_file(data, [digest])
            result = self._blob(container, blob).upload_blob(
                data, length=size, overwrite=True, validate_content=True,
                content_settings=ContentSettings(content_md5=digest.digest()))
        return {"Properties": properties(result["last_modified"], result["etag"], size)}

    def create_blob_block(self, container, blob, file_input, counter):
        key = (container, blob)
        before = self._blocks.before(key, counter)
        after = None if before is None else before.copy()
        with open(file_input, "rb") as data:
            size = hash_file(data, [] if after is None else [after])
            self._blob(container, blob).stage_block(
                block_id(counter), data, length=size, validate_content=True)
        self._blocks.staged(key, counter, before, after)
        return {}

    def commit_blob_blocks(self, container, blob, counter):
        key = (container, blob)
        digest = self._blocks.total(key, counter)
        if digest is None:
            note(f"committing {container}/{blob} without Content-MD5: blocks "
                 f"0..{counter - 1} were not all staged through this agent")
        client = self._blob(container, blob)
        client.commit_block_list([BlobBlock(block_id(n)) for n in range(counter)],
                                 content_settings=ContentSettings(content_md5=digest),
                                 validate_content=True)
        self._blocks.forget(key)
        # The commit answer lacks the length: ask for the stored properties.
        return self.get_blob_properties(container, blob)

    def get_blob(self, container, blob, file_output, range_start=None, range_end=None):
        key = (container, blob)
        download = open_download(self._blob(container, blob), range_start, range_end)
        start = range_start or 0
        digest = self._reads.at(key, start)
        with open(file_output, "wb") as out:
            download.readinto(out if digest is None else HashingWriter(out, digest))
            end = start + out.tell()
            if digest is not None and end < blob_size(download):
                self._reads.read_to(key, end, digest)
            elif digest is not None:
                self._reads.forget(key)
                check_md5(download, digest, out, f"{container}/{blob}")
        return {}

    def list_containers(self):
        found = self._service.list_containers(results_per_page=self._page_size)
        return {"container": [{"Name": container.name} for container in found]}

    def create_container(self, container):
        self._service.create_container(container)
        return {}


def text(member, value):
    if not isinstance(value, str) or not value:
        raise RequestError(f'"{member}" must be a non-empty string')
    return value


def optional_text(member, value):
    if not isinstance(value, str):
        raise RequestError(f'"{member}" must be a string')
    return value


def number(member, value):
    if isinstance(value, str) and re.fullmatch(r"[0-9]+", value):
        return int(value)
    if isinstance(value, int) and not isinstance(value, bool) and value >= 0:
        return value
    raise RequestError(f'"{member}" must be a non-negative integer or decimal string')


# Request member: (argument name, parser).
PARAMETERS = {
    "container": ("container", text),
    "blob": ("blob", text),
    "fileInput": ("file_input", text),
    "fileOutput": ("file_output", text),
    "Prefix": ("prefix", optional_text),
    "Marker": ("marker", optional_text),
    "Delimiter": ("delimiter", optional_text),
    "counter": ("counter", number),
    "RangeStart": ("range_start", number),
    "RangeEnd": ("range_end", number),
}

# fn: (Agent method, required members, optional members).  Other members of
# a request are ignored.
ACTIONS = {
    "getContainerProperties": ("get_container_properties", ("container",), ()),
    "getBlobProperties": ("get_blob_properties", ("container", "blob"), ()),
    "listBlobs": ("list_blobs", ("container",), ("Prefix", "Marker", "Delimiter")),
    "deleteBlob": ("delete_blob", ("container", "blob"), ()),
    "createBlockBlob": ("create_block_blob", ("container", "blob", "fileInput"), ()),
    "createBlobBlock": ("create_blob_block", ("container", "blob", "fileInput", "counter"), ()),
    "commitBlobBlocks": ("commit_blob_blocks", ("container", "blob", "counter"), ()),
    "getBlob": ("get_blob", ("container", "blob", "fileOutput"), ("RangeStart", "RangeEnd")),
    "listContainers": ("list_containers", (), ()),
    "createContainer": ("create_container", ("container",), ()),
}


def parse_request(line):
    """The Agent method and its arguments for one request line."""
    try:
        request = json.loads(line)
    except ValueError:
        raise RequestError("the request is not valid JSON") from None
    if not isinstance(request, dict):
        raise RequestError("the request is not a JSON object")
    fn = request.get("fn")
    if not isinstance(fn, str) or fn not in ACTIONS:
        raise RequestError(f"unknown fn {json.dumps(fn)[:100]}")
    method, required, optional = ACTIONS[fn]
    arguments = {}
    for member in required + optional:
        value = request.get(member)
        if value is None:
            if member in required:
                raise RequestError(f'"{member}" is missing')
            continue
        name, parse = PARAMETERS[member]
        arguments[name] = parse(member, value)
    return method, arguments


NETWORK_ERRORS = (ServiceRequestError, ServiceResponseError, IncompleteReadError,
                  ConnectionError, TimeoutError, socket.gaierror)


def describe(error):
    """The error code and message of the response to a failed request."""
    if isinstance(error, RequestError):
        return BAD_REQUEST, str(error)
    if isinstance(error, IntegrityError):
        return GENERAL_FAILURE, str(error)
    if isinstance(error, HttpResponseError) and error.status_code:
        return service_failure(error)
    if any(isinstance(cause, NETWORK_ERRORS) for cause in causes(error)):
        return CONNECTION_FAILED, network_text(error)
    message = first_line(error)
    if "MD5 mismatch" in message:
        # The service's transactional MD5 disagrees with the data sent or read.
        return GENERAL_FAILURE, f"integrity check failed: {message}"
    return GENERAL_FAILURE, f"{type(error).__name__}: {message}"


def service_failure(error):
    message = first_line(error)
    # An answer without a body (to HEAD) only has its status line to give.
    bodiless = re.fullmatch(r"Operation returned an invalid status '(.*)'", message)
    if bodiless:
        message = bodiless.group(1)
    # The data received differs from the data sent: the service says
    # Md5Mismatch, Azurite says InvalidOperation with this message.
    if error.error_code == "Md5Mismatch" or message == "Provided contentMD5 doesn't match.":
        return GENERAL_FAILURE, f"integrity check failed: MD5 mismatch: {message}"
    # The service says AuthenticationFailed; Azurite says AuthorizationFailure
    # with this message.  Both mean a wrong account key.
    if error.status_code == 403 and (error.error_code == "AuthenticationFailed"
                                     or message.startswith("Server failed to authenticate")):
        return AUTHENTICATION_FAILED, message
    return error.status_code, message


def network_text(error):
    """The operating system's words for a failed connection."""
    found = None
    for cause in causes(error):
        if isinstance(cause, socket.gaierror):
            words = cause.strerror or str(cause)
            return words if LOOKUP_FAILED in words else f"{LOOKUP_FAILED} ({words})"
        if isinstance(cause, OSError) and (cause.strerror or isinstance(cause, TimeoutError)):
            found = cause.strerror or str(cause) or "timed out"
    return found or first_line(error)


def causes(error):
    """The error and the errors beneath it, outermost first."""
    seen = set()
    while isinstance(error, BaseException) and id(error) not in seen:
        seen.add(id(error))
        yield error
        beneath = [getattr(error, "inner_exception", None), getattr(error, "reason", None),
                   error.__cause__, error.__context__]
        error = next((item for item in beneath if isinstance(item, BaseException)), None)


def first_line(error):
    lines = str(error).strip().splitlines()
    return lines[0] if lines else ""


def write_line(stream, line):
    stream.write(line.encode() + b"\n")
    stream.flush()


def main():
    # Ctrl-C at the host's terminal reaches the whole process group; the host decides what a
    # cancellation means and ends the agent itself (or closes its input).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    protocol = sys.stdout.buffer
    # Whatever a library prints must not corrupt the protocol stream.
    sys.stdout = sys.stderr
    try:
        agent = build_agent(os.environ)
    except StartupError as error:
        write_line(protocol, str(error))
        return 1
    write_line(protocol, "start")
    for line in iter(sys.stdin.buffer.readline, b""):
        write_line(protocol, json.dumps(agent.handle(line)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
