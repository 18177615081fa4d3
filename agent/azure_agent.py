#!/usr/bin/python3
"""Azure Blob Storage agent of the vornbackup azure_blob destination.

The C++ plug-in runs this program as a child process and talks to it through
pipes: one JSON request per line on stdin, one JSON response per line on
stdout.  Blob data never travels in messages; requests name local files.
The host owns retries, so every request is a single attempt; work that the
agent does ahead of the requests (blocks staged after their answer, ranges and
listing pages fetched before they are asked for) it retries itself by the
host's rule.
"""
import base64
import binascii
import ctypes
import hashlib
import json
import os
import re
import secrets
import signal
import socket
import ssl
import sys
import threading
import time
from collections import OrderedDict, deque
from concurrent.futures import Future, ThreadPoolExecutor, wait
from dataclasses import dataclass
from email.utils import parsedate_to_datetime
from urllib.parse import quote, unquote, urlencode, urlsplit
from xml.etree import ElementTree

# Only the synchronous transport is used.  The SDK treats aiohttp as optional,
# and importing it would cost about a fifth of the start-up time.
sys.modules.setdefault("aiohttp", None)

import requests  # noqa: E402
from azure.core.exceptions import (  # noqa: E402
    HttpResponseError, IncompleteReadError, ServiceRequestError, ServiceResponseError)
from azure.core.pipeline.transport import RequestsTransport  # noqa: E402
from azure.core.rest import HttpRequest  # noqa: E402
from azure.storage.blob import BlobBlock, BlobServiceClient, ContentSettings  # noqa: E402
from azure.storage.blob._shared.response_handlers import process_storage_error  # noqa: E402
import urllib3.exceptions  # noqa: E402
from urllib3.util.retry import Retry  # noqa: E402

GENERAL_FAILURE = -1
AUTHENTICATION_FAILED = -2
CONNECTION_FAILED = -4
BAD_REQUEST = -5

DEFAULT_PAGE_SIZE = 5000
CONNECT_TIMEOUT = 20
READ_TIMEOUT = 60
# Largest upload sent as one request; its body is held in memory.  The plug-in
# puts files of up to 32 MiB whole.
SINGLE_PUT_LIMIT = 32 * 1024 * 1024
# Piece size of transfers beyond that limit, and of reads: whole reads above it
# and read-ahead ranges travel as pieces of this size over parallel streams.
TRANSFER_CHUNK = 8 * 1024 * 1024
READ_PIECE = 4 * 1024 * 1024
HASH_CHUNK = 1024 * 1024
BODY_SLICE = 256 * 1024
# Upload states of abandoned uploads are forgotten beyond this many.
UPLOAD_STATE_LIMIT = 4096
# Parallel streams and the memory held by blocks and ranges moving ahead of the
# plug-in's requests.
DEFAULT_STREAMS = 16
DEFAULT_MEMORY_MIB = 64
# Work done ahead of the plug-in is retried as the plug-in has the host retry a
# request: 5xx and network failures, 10 attempts, a doubling pause up to 5 s.
AHEAD_ATTEMPTS = 10
DEFAULT_RETRY_BASE_MS = 500
RETRY_PAUSE_CAP = 5.0

LOOKUP_FAILED = "Temporary failure in name resolution"


class StartupError(Exception):
    """The environment does not allow the agent to start."""


class RequestError(Exception):
    """A request line the agent cannot understand."""


class IntegrityError(Exception):
    """Data read back does not match the MD5 stored with the blob."""


class UploadError(Exception):
    """A block upload that cannot be carried on or committed."""


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
    streams: int
    memory: int
    retry_base: float


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
        streams=positive_number(env, "AZURE_AGENT_STREAMS", int, DEFAULT_STREAMS),
        memory=positive_number(env, "AZURE_AGENT_MEMORY_MIB", int, DEFAULT_MEMORY_MIB) << 20,
        retry_base=retry_base(env.get("VORN_AGENT_RETRY_BASE_MS")),
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


def retry_base(text):
    """The first pause between attempts, in seconds, as the host reads it."""
    ms = int(text) if text and text.isdigit() and int(text) <= 3600000 else DEFAULT_RETRY_BASE_MS
    return ms / 1000


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
        transport=make_transport(settings),
        max_single_put_size=SINGLE_PUT_LIMIT,
        max_block_size=TRANSFER_CHUNK,
        max_single_get_size=READ_PIECE,
        max_chunk_get_size=READ_PIECE,
        connection_data_block_size=64 * 1024,
        # The host's proxy settings are the only ones; this also spares a
        # scan of the environment on every request.
        use_env_settings=False,
        **options)


def make_transport(settings):
    """A connection pool with room for every stream, so that parallel requests
    keep their connections open."""
    session = requests.Session()
    session.trust_env = False
    adapter = requests.adapters.HTTPAdapter(
        pool_maxsize=settings.streams + 2,
        max_retries=Retry(total=False, redirect=False, raise_on_status=False))
    for scheme in ("http://", "https://"):
        session.mount(scheme, adapter)
    return RequestsTransport(session=session, connection_timeout=settings.connect_timeout,
                             read_timeout=settings.read_timeout, use_env_settings=False)


def build_agent(env):
    settings = read_settings(env)
    try:
        service = make_service(settings)
    except ValueError as error:
        raise StartupError(f"cannot use the blob endpoint: {error}") from None
    # A proxy URL carrying credentials is as secret as the key.
    secrets = [settings.key] + ([settings.proxy] if "@" in settings.proxy else [])
    return Agent(service, settings, secrets)


class RecentStates(OrderedDict):
    """Upload states by blob.  The oldest are forgotten beyond a limit, so
    abandoned uploads cannot make memory grow."""

    def __setitem__(self, key, value):
        super().__setitem__(key, value)
        self.move_to_end(key)
        if len(self) > UPLOAD_STATE_LIMIT:
            self.popitem(last=False)


class BlockMemory:
    """Buffers for blocks on their way to the service.  Together they stay
    within a limit (taking more waits until blocks are given back), and a buffer
    given back serves again: a fresh one costs a page fault per page."""

    def __init__(self, limit):
        self._limit = limit
        self._used = 0
        self._free = []
        self._changed = threading.Condition()

    def read(self, path):
        """A buffer holding the file's content, and a view of that content."""
        with open(path, "rb", buffering=0) as data:
            size = os.fstat(data.fileno()).st_size
            buffer = self._take(size)
            try:
                view = memoryview(buffer)
                filled = 0
                while filled < size and (count := data.readinto(view[filled:size])):
                    filled += count
            except BaseException:
                self.give(buffer)
                raise
        return buffer, view[:filled]

    def _take(self, size):
        with self._changed:
            self._changed.wait_for(lambda: self._used + self._charge(size) <= self._limit)
            self._used += self._charge(size)
            for index, buffer in enumerate(self._free):
                if len(buffer) >= size:
                    return self._free.pop(index)
            self._free.clear()  # sized for other blocks: let them go rather than hold both
        return bytearray(size)

    def give(self, buffer):
        with self._changed:
            self._used -= self._charge(len(buffer))
            if self._used + sum(map(len, self._free)) + len(buffer) <= self._limit:
                self._free.append(buffer)
            self._changed.notify_all()

    def _charge(self, size):
        # A block larger than the whole limit may still pass, alone.
        return min(size, self._limit)


def started_pool(workers):
    """A thread pool whose threads all run already: one started while the
    streams are busy waits for the interpreter lock, and so would the answer
    that started it."""
    pool = ThreadPoolExecutor(max_workers=workers)
    # Each task holds its thread until all are held, so every thread must start.
    everyone = threading.Barrier(workers, timeout=5)
    wait([pool.submit(everyone.wait) for _ in range(workers)])
    return pool


def when_all_done(futures, action):
    """Runs action once every one of the futures is done or cancelled."""
    left = [len(futures)]
    lock = threading.Lock()

    def one_done(_):
        with lock:
            left[0] -= 1
            last = left[0] == 0
        if last:
            action()

    for future in futures:
        future.add_done_callback(one_done)


def with_retries(action, retry_base):
    """The result of action, tried again after 5xx and network failures as the
    host would try a request again."""
    for attempt in range(1, AHEAD_ATTEMPTS + 1):
        try:
            return action()
        except Exception as error:
            code = describe(error)[0]
            if attempt == AHEAD_ATTEMPTS or not (code == CONNECTION_FAILED or 500 <= code <= 599):
                raise
            time.sleep(min(retry_base * 2 ** (attempt - 1), RETRY_PAUSE_CAP))


class Upload:
    """One block upload of a blob: block ids that no other upload can produce,
    the running MD5 and size of its blocks in order and the blocks still being
    staged."""

    def __init__(self):
        # Every block id of a blob must have the same length.
        self._prefix = secrets.token_hex(8)
        self.blocks = 0
        self.size = 0
        self.digest = hashlib.md5()
        self.hashed = done(None)  # the digest holds every block once this is done
        self._staging = set()
        self._failure = None
        self._reported = False
        self._lock = threading.Lock()

    def block_id(self, counter):
        return f"{self._prefix}-{counter:08d}"

    def track(self, future):
        with self._lock:
            self._staging.add(future)
        future.add_done_callback(self._staged)

    def _staged(self, future):
        with self._lock:
            self._staging.discard(future)
            if not future.cancelled() and future.exception() and not self._failure:
                self._failure = future.exception()

    def settle(self):
        with self._lock:
            staging = list(self._staging)
        wait(staging)

    def check(self):
        """Raise the failure of a staged block, once; the upload is refused after it."""
        if self._reported:
            raise UploadError("an earlier block of this upload was not stored; "
                              "the upload must start again from block 0")
        with self._lock:
            failure, staging = self._failure, list(self._staging)
        if failure:
            self._reported = True
            for future in staging:
                future.cancel()
            raise failure


class Reading:
    """A blob read range after range: the version met by the first read, the
    MD5 of what was read from offset 0 (kept on the hasher thread, done once
    `hashed` is) and the ranges fetched ahead."""

    def __init__(self, key, client, first, start, retry_base):
        self.key = key
        self._client = client
        self._etag = first.properties.etag
        self._retry_base = retry_base
        self.size = blob_size(first)
        self.stored_md5 = first.properties.content_settings.content_md5
        self.digest = hashlib.md5() if start == 0 else None
        self.hashed = done(None)
        self.next = start
        self._ahead = deque()  # (start, end, pieces)
        self._scheduled = start

    def take(self, pool, start, end):
        """The pieces of one range: fetched ahead when it is the one expected."""
        if self._ahead and self._ahead[0][:2] == (start, end):
            return self._ahead.popleft()[2]
        self.drop()
        self._scheduled = end + 1
        return self.fetch(pool, start, end)

    def begin(self, pool, start, end, first):
        """The first range: its first piece already read, the others fetched now."""
        following = self.fetch(pool, start + first.size, end)
        self._ahead.append((start, end, [done(memoryview(first.readall()))] + following))
        self._scheduled = end + 1

    def fetch(self, pool, start, end):
        end = min(end, self.size - 1)
        return [pool.submit(self._piece, offset, min(offset + READ_PIECE, end + 1) - offset)
                for offset in range(start, end + 1, READ_PIECE)]

    def _piece(self, offset, length):
        # Pinned to the version read first, so that no read mixes two versions.
        return with_retries(lambda: read_piece(self._client, offset, length, self._etag),
                            self._retry_base)

    def read_ahead(self, pool, length, memory):
        """Fetch ranges of the plug-in's length beyond the one asked for, while
        they fit in memory beside it."""
        while self._scheduled < self.size and (len(self._ahead) + 2) * length <= memory:
            start = self._scheduled
            end = min(start + length, self.size) - 1
            self._ahead.append((start, end, self.fetch(pool, start, end)))
            self._scheduled = end + 1

    def drop(self):
        for _, _, pieces in self._ahead:
            for piece in pieces:
                piece.cancel()
        self._ahead.clear()


def read_piece(client, offset, length, etag):
    """Bytes offset to offset + length - 1 of the version etag of a blob, read
    from the answer straight into a buffer: the SDK's downloader passes every
    byte through layers of generators and copies, which cost more CPU than the
    transfer itself."""
    response = send_raw(client, client.url, 206, stream=True,
                        headers={"x-ms-range": f"bytes={offset}-{offset + length - 1}", "If-Match": etag})
    try:
        expected = f"bytes {offset}-{offset + length - 1}/"
        if not response.headers.get("Content-Range", "").startswith(expected):
            raise IncompleteReadError(f"the service answered {response.headers.get('Content-Range')} "
                                      f"for {expected}")
        return read_body(response._internal_response.raw, length)  # noqa: SLF001
    finally:
        response.close()


def send_raw(client, url, status, stream=False, headers=None):
    """The answer to a GET of url through the client's pipeline (signing, proxy,
    user agent) without the SDK's models; any status but `status` raises the
    service's error as the SDK would."""
    request = HttpRequest("GET", url, headers={"x-ms-version": client.api_version, **(headers or {})})
    response = client._client._send_request(request, stream=stream)  # noqa: SLF001
    if response.status_code != status:
        response.read()
        process_storage_error(HttpResponseError(response=response))
    return response


def read_body(raw, length):
    """Exactly length bytes of an answer's body; a shorter body is a broken connection."""
    view = memoryview(bytearray(length))
    filled = 0
    try:
        # In slices: the reader goes through a temporary of the size asked for.
        while filled < length and (count := raw.readinto(view[filled:filled + BODY_SLICE])):
            filled += count
    except (OSError, urllib3.exceptions.HTTPError) as error:
        raise ServiceResponseError(f"the connection broke while reading: {error}", error=error) from error
    if filled < length:
        raise IncompleteReadError(f"the answer ended after {filled} of {length} bytes")
    return view


def overwritten(path):
    """The file at path, opened to have its content replaced.  Pages it already
    has are written over rather than freed and allocated again: the plug-in
    reuses one file for every range.  Truncate it once written."""
    return os.fdopen(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o666), "wb")


def done(value):
    """A future that already holds value, to stand beside fetches still running."""
    future = Future()
    future.set_result(value)
    return future


def blob_size(download):
    # Content range reads "bytes <first>-<last>/<size of the whole blob>".
    return int(download.properties.content_range.rpartition("/")[2])


def hash_file(file, digest):
    """Feed a file's content to the digest; return its size, rewound."""
    size = 0
    for chunk in iter(lambda: file.read(HASH_CHUNK), b""):
        size += len(chunk)
        digest.update(chunk)
    file.seek(0)
    return size


def quoted(etag):
    # Headers carry the ETag quoted, listings without quotes: answer one form.
    return etag if etag.startswith('"') else f'"{etag}"'


def properties(last_modified, etag, size=None):
    found = {"LastModified": int(last_modified.timestamp()), "ETag": quoted(etag)}
    if size is not None:
        found["ContentLength"] = size
    return found


def check_md5(expected, digest, out, name):
    """Refuse a blob read whole whose content differs from its stored MD5."""
    if expected and digest.digest() != bytes(expected):
        # Leave nothing that could pass for the blob's content.
        out.truncate(0)
        raise IntegrityError(
            f"integrity check failed: MD5 mismatch for {name}: "
            f"stored Content-MD5 {base64.b64encode(expected).decode()}, "
            f"data read {base64.b64encode(digest.digest()).decode()}")


def parse_listing(document):
    """The listBlobs response members of one List Blobs answer."""
    root = ElementTree.fromstring(document)
    blobs = root.find("Blobs")
    folders = [{"Name": entry_name(item)} for item in blobs.iterfind("BlobPrefix")]
    files = [{"Name": entry_name(item), "Properties": listed_properties(item.find("Properties"))}
             for item in blobs.iterfind("Blob")]
    response = {"count": len(folders) + len(files), "folder": folders, "file": files}
    marker = root.findtext("NextMarker")
    if marker:
        response["NextMarker"] = marker
    return response


def entry_name(item):
    name = item.find("Name")
    # Names holding characters that XML cannot carry come percent-encoded.
    return unquote(name.text or "") if name.get("Encoded") == "true" else name.text or ""


def listed_properties(found):
    last_modified = parsedate_to_datetime(found.findtext("Last-Modified"))
    return properties(last_modified, found.findtext("Etag"), int(found.findtext("Content-Length")))


def put_whole(client, data):
    """Upload a file as one request; one digest is the stored and the transactional MD5."""
    content = data.read()
    md5 = hashlib.md5(content).digest()
    result = client.upload_blob(content, length=len(content), overwrite=True,
                                transactional_content_md5=md5,
                                content_settings=ContentSettings(content_md5=md5))
    return result, len(content)


def put_in_chunks(client, data):
    digest = hashlib.md5()
    size = hash_file(data, digest)
    result = client.upload_blob(data, length=size, overwrite=True, validate_content=True,
                                content_settings=ContentSettings(content_md5=digest.digest()))
    return result, size


class Agent:
    """Serves requests with one client; each action returns its response
    members and lets failures propagate to handle().

    Work may run ahead of the plug-in on a pool of streams: blocks are staged
    after their request is answered, and the ranges and listing pages that
    follow the one asked for are fetched before they are asked for."""

    def __init__(self, service, settings, secrets):
        self._service = service
        self._page_size = settings.page_size
        self._streams = settings.streams
        self._memory = settings.memory
        self._retry_base = settings.retry_base
        self._secrets = secrets
        self._containers = {}
        self._pool = started_pool(settings.streams)
        # One thread keeps the running digests of uploads: blocks reach it in order, and the
        # answer to a block need not wait for its hash.
        self._hasher = started_pool(1)
        self._blocks = BlockMemory(settings.memory)
        self._uploads = RecentStates()
        self._reading = None
        self._listing = None  # (the listBlobs arguments expected next, its page)

    def handle(self, line):
        """The response to one request line; never raises."""
        try:
            method, arguments = parse_request(line)
            self._forget_ahead(method)
            return {"success": True, **getattr(self, method)(**arguments)}
        except Exception as error:  # the loop must outlive any request
            code, message = describe(error)
            for secret in self._secrets:
                message = message.replace(secret, "***")
            return {"success": False, "error_code": code, "error_message": message}

    def _forget_ahead(self, method):
        # What was fetched ahead is true only while the plug-in goes on with the same work.
        if method != "get_blob" and self._reading:
            self._reading.drop()
            self._reading = None
        if method != "list_blobs" and self._listing:
            self._listing[1].cancel()
            self._listing = None

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
        asked = (container, prefix or "", marker or "", delimiter or "")
        ahead, self._listing = self._listing, None
        response = None
        if ahead and ahead[0] == asked:
            try:
                response = ahead[1].result()
            except Exception:  # fetched again below, so the answer is that request's own
                pass
        elif ahead:
            ahead[1].cancel()
        if response is None:
            response = self._list_page(*asked)
        if "NextMarker" in response:
            following = (container, asked[1], response["NextMarker"], asked[3])
            self._listing = (following, self._pool.submit(self._list_page, *following))
        return response

    def _list_page(self, container, prefix, marker, delimiter):
        # The SDK's model building costs several times the service's own time on
        # a page of thousands of names: read the answer's XML directly.
        client = self._container(container)
        query = {"restype": "container", "comp": "list", "prefix": prefix, "marker": marker,
                 "delimiter": delimiter, "maxresults": self._page_size}
        query = urlencode({name: value for name, value in query.items() if value}, quote_via=quote)
        return parse_listing(send_raw(client, f"{client.url}?{query}", 200).content)

    def delete_blob(self, container, blob):
        self._blob(container, blob).delete_blob()
        return {}

    def create_block_blob(self, container, blob, file_input):
        client = self._blob(container, blob)
        with open(file_input, "rb") as data:
            put = put_in_chunks if os.fstat(data.fileno()).st_size > SINGLE_PUT_LIMIT else put_whole
            result, size = put(client, data)
        return {"Properties": properties(result["last_modified"], result["etag"], size)}

    def create_blob_block(self, container, blob, file_input, counter):
        key = (container, blob)
        if counter == 0:
            upload = Upload()
        else:
            upload = self._upload_of(key)
            if counter != upload.blocks:
                raise RequestError(f"block {counter} does not follow block {upload.blocks - 1}")
        # The plug-in reuses the block file for the next block: take its content now.
        buffer, content = self._blocks.read(file_input)
        if counter == 0:
            self._uploads[key] = upload
        upload.hashed = self._hasher.submit(upload.digest.update, content)
        upload.blocks += 1
        upload.size += len(content)
        staging = self._pool.submit(self._stage, self._blob(container, blob), upload.block_id(counter),
                                    content)
        upload.track(staging)
        when_all_done((upload.hashed, staging), lambda: self._blocks.give(buffer))
        return {}

    def _stage(self, client, block_id, content):
        md5 = hashlib.md5(content).digest()
        with_retries(lambda: client.stage_block(block_id, content, length=len(content),
                                                transactional_content_md5=md5), self._retry_base)

    def _upload_of(self, key):
        upload = self._uploads.get(key)
        if upload is None:
            raise UploadError("no upload of this blob is in progress in this agent (it may have "
                              "restarted since block 0); nothing was committed")
        upload.check()
        return upload

    def commit_blob_blocks(self, container, blob, counter):
        key = (container, blob)
        upload = self._upload_of(key)
        upload.settle()
        upload.check()
        upload.hashed.result()
        if counter != upload.blocks:
            raise RequestError(f"the commit names {counter} blocks, {upload.blocks} were staged")
        result = self._blob(container, blob).commit_block_list(
            [BlobBlock(upload.block_id(n)) for n in range(counter)],
            content_settings=ContentSettings(content_md5=upload.digest.digest()),
            validate_content=True)
        del self._uploads[key]
        # The blob is exactly the blocks named, so their sizes give its length
        # without another round trip.
        return {"Properties": properties(result["last_modified"], result["etag"], upload.size)}

    def get_blob(self, container, blob, file_output, range_start=None, range_end=None):
        name = f"{container}/{blob}"
        client = self._blob(container, blob)
        if range_start is None and range_end is None:
            self._forget_ahead(None)
            return self._read_whole(client, file_output, name)
        if range_start is None or range_end is None or range_end < range_start:
            raise RequestError("RangeStart and RangeEnd must both be given, in order")
        reading = self._continued((container, blob), client, range_start, range_end)
        pieces = reading.take(self._pool, range_start, range_end)
        reading.next = range_end + 1
        reading.read_ahead(self._pool, range_end - range_start + 1, self._memory)
        try:
            # The previous range's hash ran while the plug-in took that range: waiting for it
            # keeps at most one range in memory for the hasher.
            reading.hashed.result()
            with overwritten(file_output) as out:
                for piece in pieces:
                    # A piece's content arrived whole with its answer: this only writes it.
                    content = piece.result()
                    out.write(content)
                    if reading.digest:
                        reading.hashed = self._hasher.submit(reading.digest.update, content)
                out.truncate()
                if reading.next >= reading.size:
                    self._forget_ahead(None)
                    if reading.digest:
                        reading.hashed.result()
                        check_md5(reading.stored_md5, reading.digest, out, name)
        except BaseException:
            self._forget_ahead(None)
            raise
        return {}

    def _continued(self, key, client, start, end):
        """The reading this range continues, or a new one begun with its first piece."""
        reading = self._reading
        if reading and reading.key == key and reading.next == start:
            return reading
        self._forget_ahead(None)
        first = client.download_blob(offset=start, length=min(READ_PIECE, end - start + 1))
        reading = self._reading = Reading(key, client, first, start, self._retry_base)
        reading.begin(self._pool, start, end, first)
        return reading

    def _read_whole(self, client, file_output, name):
        download = client.download_blob(max_concurrency=self._streams)
        with open(file_output, "w+b") as out:
            download.readinto(out)
            digest = hashlib.md5()
            out.seek(0)
            hash_file(out, digest)
            check_md5(download.properties.content_settings.content_md5, digest, out, name)
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
    if isinstance(error, (IntegrityError, UploadError)):
        return GENERAL_FAILURE, str(error)
    if isinstance(error, HttpResponseError) and error.status_code:
        return service_failure(error)
    refusal = tls_refusal(error)
    if refusal:
        return GENERAL_FAILURE, refusal
    if any(isinstance(cause, NETWORK_ERRORS) for cause in causes(error)):
        return CONNECTION_FAILED, network_text(error)
    message = first_line(error)
    if "MD5 mismatch" in message:
        # The service's transactional MD5 disagrees with the data sent or read.
        return GENERAL_FAILURE, f"integrity check failed: {message}"
    return GENERAL_FAILURE, f"{type(error).__name__}: {message}"


# TLS failures that another attempt would meet again: a server that does not speak TLS, or
# a certificate that is not trusted.  A connection cut during a handshake is not among them.
LASTING_TLS_REASONS = {"WRONG_VERSION_NUMBER", "UNKNOWN_PROTOCOL", "HTTP_REQUEST",
                       "RECORD_LAYER_FAILURE", "UNSUPPORTED_PROTOCOL", "TLSV1_ALERT_PROTOCOL_VERSION"}


def tls_refusal(error):
    """The words for a TLS failure that retrying cannot fix, or None."""
    for cause in causes(error):
        if isinstance(cause, ssl.SSLCertVerificationError):
            return f"TLS: the service's certificate is not trusted: {cause.verify_message}"
        if isinstance(cause, ssl.SSLError) and cause.reason in LASTING_TLS_REASONS:
            return f"TLS handshake failed ({cause.reason}): the endpoint may not speak https"
    return None


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
    # Reads after the first are pinned to the version that it met.
    if error.status_code == 412:
        return GENERAL_FAILURE, "the blob changed while it was being read: read it again"
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


def give_back_freed_buffers():
    """Blocks and ranges are large buffers that come and go all the time.  Map
    each one apart, so that freeing it returns it to the system; otherwise the
    allocator's growing threshold keeps them in a heap that never shrinks."""
    m_mmap_threshold = -3
    try:
        ctypes.CDLL(None).mallopt(m_mmap_threshold, 256 * 1024)
    except (OSError, AttributeError):  # not glibc: keep its own policy
        pass


def main():
    # Ctrl-C at the host's terminal reaches the whole process group; the host decides what a
    # cancellation means and ends the agent itself (or closes its input).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    give_back_freed_buffers()
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
    # Work ahead of the plug-in is of no use once its input has ended: leave
    # without waiting for it.
    sys.stderr.flush()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
