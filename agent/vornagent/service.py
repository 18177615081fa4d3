"""The request loop: one answer per request line, until the input ends."""
import ctypes
import json
import os
import select
import signal
import sys
import threading

from azure.core.exceptions import ResourceNotFoundError

from . import credentials
from .client import Clients, make_service
from .errors import StartupError, describe
from .listing import Listings
from .memory import BlockMemory
from .protocol import (
    FN_COMMIT_BLOB_BLOCKS, FN_CREATE_BLOB_BLOCK, FN_CREATE_BLOCK_BLOB, FN_CREATE_CONTAINER,
    FN_DELETE_BLOB, FN_GET_BLOB, FN_GET_BLOB_PROPERTIES, FN_GET_CONTAINER_PROPERTIES,
    FN_LIST_BLOBS, FN_LIST_CONTAINERS, KEY_ERROR_CODE, KEY_ERROR_MESSAGE, KEY_SUCCESS, READY_LINE)
from .answers import with_properties
from .reads import Reads
from .settings import read_settings
from .uploads import Uploads
from .wire import parse_request
from .work import started_pool


# A blob name that only a container's existence is asked with.
CONTAINER_PROBE = ".vorn-container-probe"


class Agent:
    """Serves requests with one client; each action returns its response members and lets
    failures propagate to handle().

    Work may run ahead of the plug-in on a pool of streams: blocks are staged after their
    request is answered, and the ranges and listing pages that follow the one asked for are
    fetched before they are asked for.  What was fetched ahead is dropped as soon as the
    plug-in turns to other work."""

    def __init__(self, settings):
        self._clients = Clients(make_service(settings))
        self._secrets = settings.secrets()
        self._credential = settings.credential
        pool = started_pool(settings.streams)
        # One thread keeps the running digests of uploads and reads: data reaches it in order,
        # and the answer to a block need not wait for its hash.
        hasher = started_pool(1)
        self._uploads = Uploads(self._clients, pool, hasher, BlockMemory(settings.memory))
        self._reads = Reads(self._clients, pool, hasher, settings.streams, settings.memory)
        self._listings = Listings(self._clients, pool, settings.page_size)
        self._actions = {
            FN_GET_CONTAINER_PROPERTIES: self._get_container_properties,
            FN_GET_BLOB_PROPERTIES: self._get_blob_properties,
            FN_LIST_BLOBS: self._listings.list_blobs,
            FN_DELETE_BLOB: self._delete_blob,
            FN_CREATE_BLOCK_BLOB: self._uploads.create_block_blob,
            FN_CREATE_BLOB_BLOCK: self._uploads.create_blob_block,
            FN_COMMIT_BLOB_BLOCKS: self._uploads.commit_blob_blocks,
            FN_GET_BLOB: self._reads.get_blob,
            FN_LIST_CONTAINERS: self._listings.list_containers,
            FN_CREATE_CONTAINER: self._create_container,
        }

    def handle(self, line):
        """The response to one request line; never raises."""
        fn = None
        try:
            fn, arguments = parse_request(line)
            if fn != FN_GET_BLOB:
                self._reads.forget_ahead()
            if fn != FN_LIST_BLOBS:
                self._listings.forget_ahead()
            return {KEY_SUCCESS: True, **self._actions[fn](**arguments)}
        except Exception as error:  # the loop must outlive any request
            code, message = credentials.explain(self._credential, fn, error, *describe(error))
            message = credentials.scrub(message, self._secrets)
            return {KEY_SUCCESS: False, KEY_ERROR_CODE: code, KEY_ERROR_MESSAGE: message}

    def _get_container_properties(self, container):
        if self._credential.container_scoped:
            # Such a token may not read the container's properties; with the read permission
            # alone, the answer for a blob tells whether the container is there.
            try:
                self._clients.blob(container, CONTAINER_PROBE).get_blob_properties()
            except ResourceNotFoundError as error:
                if credentials.service_error_code(error) != "BlobNotFound":
                    raise
            return {}
        found = self._clients.container(container).get_container_properties()
        return with_properties(found.last_modified, found.etag)

    def _get_blob_properties(self, container, blob):
        found = self._clients.blob(container, blob).get_blob_properties()
        return with_properties(found.last_modified, found.etag, found.size)

    def _delete_blob(self, container, blob):
        self._clients.blob(container, blob).delete_blob()
        return {}

    def _create_container(self, container):
        self._clients.service.create_container(container)
        return {}


def build_agent(env):
    return Agent(read_settings(env))


def serve(agent, requests, answers):
    """Answers request lines until the input ends.  The end of the input ends the agent at once,
    even in the middle of a request: its host is done or gone, and work under way or ahead is
    of no use to it any more."""
    threading.Thread(target=leave_when_closed, args=(requests.fileno(),), daemon=True).start()
    for line in iter(requests.readline, b""):
        answer = json.dumps(agent.handle(line))
        try:
            write_line(answers, answer)
        except BrokenPipeError:
            break
    leave()


def leave_when_closed(fd):
    """Leaves once nobody can write to the input any more, whatever the main thread is doing."""
    watch = select.poll()
    watch.register(fd, 0)  # only the end: a hang-up is reported whatever is asked for
    while True:
        for _, event in watch.poll():
            if event & (select.POLLHUP | select.POLLERR | select.POLLNVAL):
                leave()


def leave():
    sys.stderr.flush()
    os._exit(0)


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
    answers = sys.stdout.buffer
    # Whatever a library prints must not corrupt the answers.
    sys.stdout = sys.stderr
    try:
        agent = build_agent(os.environ)
    except StartupError as error:
        write_line(answers, str(error))
        return 1
    write_line(answers, READY_LINE)
    serve(agent, sys.stdin.buffer, answers)
