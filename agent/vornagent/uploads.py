"""Uploads: files sent in one request, and block uploads staged behind the plug-in's answers."""
import hashlib
import os
import secrets
import threading
from concurrent.futures import wait
from dataclasses import dataclass

from azure.storage.blob import BlobBlock, ContentSettings

from .answers import with_properties
from .errors import RequestError, UploadError
from .files import hash_file
from .protocol import SINGLE_REQUEST_LIMIT_HTTP
from .work import done, failure_of, when_all_done


class Uploads:
    """Answers createBlockBlob, createBlobBlock and commitBlobBlocks.

    A block is answered once its content is out of the block file, and staged behind the answer.
    A block whose staging failed fails the next request of its upload with that failure; each
    time the host repeats the request, the block is staged again, once.  The plug-in sends one
    upload at a time: block 0 sets any earlier upload aside."""

    def __init__(self, clients, pool, hasher, memory):
        self._clients = clients
        self._pool = pool
        self._hasher = hasher
        self._memory = memory
        self._upload = None  # (container, blob) and its Upload

    def create_block_blob(self, container, blob, file_input):
        client = self._clients.blob(container, blob)
        with open(file_input, "rb") as data:
            whole = os.fstat(data.fileno()).st_size <= SINGLE_REQUEST_LIMIT_HTTP
            result, size = (put_whole if whole else put_in_chunks)(client, data)
        return with_properties(result["last_modified"], result["etag"], size)

    def create_blob_block(self, container, blob, file_input, counter):
        key = (container, blob)
        if counter == 0:
            self.set_aside()
            upload = Upload(self._clients.blob(container, blob))
        else:
            upload = self._in_progress(key)
            if counter != upload.blocks:
                raise RequestError(f"block {counter} does not follow block {upload.blocks - 1}")
            upload.retry_failed(self._pool)
        # The plug-in reuses the block file for the next block: take its content now.
        buffer, content = self._memory.read(file_input)
        self._upload = (key, upload)
        upload.add(content, self._pool, self._hasher, lambda: self._memory.give(buffer))
        return {}

    def commit_blob_blocks(self, container, blob, counter):
        upload = self._in_progress((container, blob))
        upload.settle()
        upload.retry_failed(self._pool)
        if counter != upload.blocks:
            raise RequestError(f"the commit names {counter} blocks, {upload.blocks} were staged")
        result = self._clients.blob(container, blob).commit_block_list(
            [BlobBlock(name) for name in upload.names()],
            content_settings=ContentSettings(content_md5=upload.md5()),
            validate_content=True)
        self._upload = None
        # The blob is exactly the blocks named, so their sizes give its length
        # without another round trip.
        return with_properties(result["last_modified"], result["etag"], upload.size)

    def set_aside(self):
        """Give up the upload in progress: its blocks are not staged any more."""
        if self._upload:
            self._upload[1].set_aside()
            self._upload = None

    def _in_progress(self, key):
        if self._upload is None or self._upload[0] != key:
            raise UploadError("no upload of this blob is in progress in this agent (it may have "
                              "restarted since block 0); nothing was committed")
        return self._upload[1]


class Upload:
    """One block upload of a blob: block names that no other upload produces, the running MD5
    and size of its blocks in order, the blocks being staged, and those whose staging failed,
    kept with their content until they are staged."""

    def __init__(self, client):
        self._client = client
        # Every block name of a blob must have the same length.
        self._prefix = secrets.token_hex(8)
        self._names = []
        self._size = 0
        self._digest = hashlib.md5()
        self._hashed = done(None)  # the digest holds every block once this is done
        self._staging = set()
        self._failed = []  # FailedBlock
        self._aside = False
        self._lock = threading.Lock()

    @property
    def blocks(self):
        return len(self._names)

    @property
    def size(self):
        return self._size

    def names(self):
        return list(self._names)

    def md5(self):
        self._hashed.result()
        return self._digest.digest()

    def add(self, content, pool, hasher, release):
        """Take the next block: hashed in order on the hasher, staged on the pool; `release`
        gives its memory back once both are done with it."""
        name = f"{self._prefix}-{len(self._names):08d}"
        self._names.append(name)
        self._size += len(content)
        hashed = self._hashed = hasher.submit(self._digest.update, content)
        staging = pool.submit(self._stage, name, content)
        with self._lock:
            self._staging.add(staging)
        when_all_done((hashed, staging), lambda: self._staged(staging, name, content, release))

    def settle(self):
        with self._lock:
            staging = list(self._staging)
        wait(staging)

    def retry_failed(self, pool):
        """Raise the failure of a block that no request has reported yet; otherwise (the host
        repeating a request) stage every failed block once more, and raise the first failure."""
        with self._lock:
            failed, self._failed = self._failed, []
        unreported = [block.failure for block in failed if not block.reported]
        if unreported:
            for block in failed:
                block.reported = True
                self._keep_failed(block)
            raise unreported[0]
        attempts = [pool.submit(self._stage, block.name, block.content) for block in failed]
        wait(attempts)
        failures = []
        for block, attempt in zip(failed, attempts):
            block.failure = failure_of(attempt)
            if block.failure:
                failures.append(block.failure)
                self._keep_failed(block)
            else:
                block.release()
        if failures:
            raise failures[0]

    def set_aside(self):
        with self._lock:
            self._aside = True
            staging, failed, self._failed = list(self._staging), self._failed, []
        for future in staging:
            future.cancel()
        for block in failed:
            block.release()

    def _stage(self, name, content):
        md5 = hashlib.md5(content).digest()
        self._client.stage_block(name, content, length=len(content), transactional_content_md5=md5)

    def _staged(self, staging, name, content, release):
        with self._lock:
            self._staging.discard(staging)
        failure = failure_of(staging)
        if failure:
            self._keep_failed(FailedBlock(name, content, release, failure))
        else:
            release()

    def _keep_failed(self, block):
        with self._lock:
            if not self._aside:
                self._failed.append(block)
                return
        block.release()


@dataclass
class FailedBlock:
    """A block whose staging failed, kept with its content (and its memory) to be staged again."""
    name: str
    content: memoryview
    release: object
    failure: Exception
    reported: bool = False


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
