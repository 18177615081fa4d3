"""Reads: whole blobs, and blobs read range after range with the next ranges fetched ahead."""
import base64
import hashlib
from collections import deque

import urllib3.exceptions
from azure.core.exceptions import IncompleteReadError, ServiceResponseError

from .client import READ_PIECE
from .errors import IntegrityError, RequestError
from .files import hash_file, overwritten
from .protocol import INTEGRITY_FAILED, INTEGRITY_OF_DATA_READ
from .sdk_internals import body_reader, send_raw
from .work import done

BODY_SLICE = 256 * 1024


class Reads:
    """Answers getBlob.  A ranged read continued where the last one ended goes on with the
    same version of the blob, and the ranges after it are fetched while the plug-in takes it."""

    def __init__(self, clients, pool, hasher, streams, memory):
        self._clients = clients
        self._pool = pool
        self._hasher = hasher
        self._streams = streams
        self._memory = memory
        self._reading = None

    def get_blob(self, container, blob, file_output, range_start=None, range_end=None):
        name = f"{container}/{blob}"
        client = self._clients.blob(container, blob)
        if range_start is None and range_end is None:
            self.forget_ahead()
            return read_whole(client, file_output, name, self._streams)
        if range_start is None or range_end is None or range_end < range_start:
            raise RequestError("RangeStart and RangeEnd must both be given, in order")
        reading = self._continued((container, blob), client, range_start, range_end)
        pieces = reading.take(self._pool, range_start, range_end)
        reading.read_ahead(self._pool, range_end - range_start + 1, self._memory)
        # A piece that failed ahead is fetched again as this request's own; should that fail
        # too, the reading waits for the host to ask for this range again.
        contents = reading.resolve(pieces)
        try:
            reading.write(contents, file_output, range_end, self._hasher, name)
        except BaseException:
            self.forget_ahead()
            raise
        if reading.finished():
            self.forget_ahead()
        return {}

    def forget_ahead(self):
        if self._reading:
            self._reading.drop()
            self._reading = None

    def _continued(self, key, client, start, end):
        """The reading this range continues, or a new one begun with its first piece."""
        if self._reading and self._reading.continues(key, start):
            return self._reading
        self.forget_ahead()
        first = client.download_blob(offset=start, length=min(READ_PIECE, end - start + 1))
        self._reading = Reading(key, client, first, start)
        self._reading.begin(self._pool, start, end, first)
        return self._reading


class Reading:
    """A blob read range after range: the version met by the first read, the
    MD5 of what was read from offset 0 (kept on the hasher thread) and the ranges fetched
    ahead, each a list of pieces (offset, length, future content)."""

    def __init__(self, key, client, first, start):
        self._key = key
        self._client = client
        self._etag = first.properties.etag
        self._size = blob_size(first)
        self._stored_md5 = first.properties.content_settings.content_md5
        self._digest = hashlib.md5() if start == 0 else None
        self._hashed = done(None)  # the digest holds every range written once this is done
        self._next = start
        self._ahead = deque()  # (start, end, pieces)
        self._scheduled = start

    def continues(self, key, start):
        return self._key == key and self._next == start

    def finished(self):
        return self._next >= self._size

    def begin(self, pool, start, end, first):
        """The first range: its first piece already read, the others fetched now."""
        following = self._fetch(pool, start + first.size, end)
        first_piece = (start, first.size, done(memoryview(first.readall())))
        self._ahead.append((start, end, [first_piece] + following))
        self._scheduled = end + 1

    def take(self, pool, start, end):
        """The pieces of one range: fetched ahead when it is the one expected."""
        if self._ahead and self._ahead[0][:2] == (start, end):
            return self._ahead.popleft()[2]
        self.drop()
        self._scheduled = end + 1
        return self._fetch(pool, start, end)

    def read_ahead(self, pool, length, memory):
        """Fetch ranges of the plug-in's length beyond the one asked for, while
        they fit in memory beside it."""
        while self._scheduled < self._size and (len(self._ahead) + 2) * length <= memory:
            start = self._scheduled
            end = min(start + length, self._size) - 1
            self._ahead.append((start, end, self._fetch(pool, start, end)))
            self._scheduled = end + 1

    def resolve(self, pieces):
        """The contents of the pieces, each fetched once more if it failed ahead."""
        contents = []
        for offset, length, future in pieces:
            try:
                contents.append(future.result())
            except Exception:
                contents.append(self._piece(offset, length))
        return contents

    def write(self, contents, file_output, end, hasher, name):
        """Write one range's contents over the range file and take it into the digest;
        the last range of a read from offset 0 is refused unless the whole matches the MD5."""
        # The previous range's hash ran while the plug-in took that range: waiting for it
        # keeps at most one range in memory for the hasher.
        self._hashed.result()
        with overwritten(file_output) as out:
            for content in contents:
                out.write(content)
                if self._digest:
                    self._hashed = hasher.submit(self._digest.update, content)
            out.truncate()
            self._next = end + 1
            if self.finished() and self._digest:
                self._hashed.result()
                check_md5(self._stored_md5, self._digest, out, name)

    def drop(self):
        for _, _, pieces in self._ahead:
            for _, _, future in pieces:
                future.cancel()
        self._ahead.clear()

    def _fetch(self, pool, start, end):
        end = min(end, self._size - 1)
        pieces = []
        for offset in range(start, end + 1, READ_PIECE):
            length = min(offset + READ_PIECE, end + 1) - offset
            pieces.append((offset, length, pool.submit(self._piece, offset, length)))
        return pieces

    def _piece(self, offset, length):
        # Pinned to the version read first, so that no read mixes two versions.
        return read_piece(self._client, offset, length, self._etag)


def read_whole(client, file_output, name, streams):
    download = client.download_blob(max_concurrency=streams)
    with open(file_output, "w+b") as out:
        download.readinto(out)
        digest = hashlib.md5()
        out.seek(0)
        hash_file(out, digest)
        check_md5(download.properties.content_settings.content_md5, digest, out, name)
    return {}


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
        return read_body(body_reader(response), length)
    finally:
        response.close()


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


def blob_size(download):
    # Content range reads "bytes <first>-<last>/<size of the whole blob>".
    return int(download.properties.content_range.rpartition("/")[2])


def check_md5(expected, digest, out, name):
    """Refuse a blob read whole whose content differs from its stored MD5."""
    if expected and digest.digest() != bytes(expected):
        # Leave nothing that could pass for the blob's content.
        out.truncate(0)
        raise IntegrityError(
            f"{INTEGRITY_FAILED}: MD5 mismatch for {name}: "
            f"stored Content-MD5 {base64.b64encode(expected).decode()}, "
            f"{INTEGRITY_OF_DATA_READ} {base64.b64encode(digest.digest()).decode()}")
