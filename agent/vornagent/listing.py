"""Listings: pages of blob names, the next page fetched before it is asked for, and containers."""
from email.utils import parsedate_to_datetime
from urllib.parse import quote, unquote, urlencode
from xml.etree import ElementTree

from .answers import properties
from .protocol import (
    KEY_CONTAINERS, KEY_COUNT, KEY_FILES, KEY_FOLDERS, KEY_NAME, KEY_NEXT_MARKER, KEY_PROPERTIES)
from .sdk_internals import send_raw


class Listings:
    """Answers listBlobs and listContainers.  Only the page after the one last answered is
    fetched ahead; it is the answer only to the request that asks for exactly that page."""

    def __init__(self, clients, pool, page_size):
        self._clients = clients
        self._pool = pool
        self._page_size = page_size
        self._ahead = None  # (the listBlobs arguments expected next, its page)

    def list_blobs(self, container, prefix="", marker=None, delimiter=None):
        asked = (container, prefix or "", marker or "", delimiter or "")
        ahead, self._ahead = self._ahead, None
        response = None
        if ahead and ahead[0] == asked:
            try:
                response = ahead[1].result()
            except Exception:  # fetched again below, so the answer is that request's own
                pass
        elif ahead:
            ahead[1].cancel()
        if response is None:
            response = self._page(*asked)
        if KEY_NEXT_MARKER in response:
            following = (container, asked[1], response[KEY_NEXT_MARKER], asked[3])
            self._ahead = (following, self._pool.submit(self._page, *following))
        return response

    def forget_ahead(self):
        if self._ahead:
            self._ahead[1].cancel()
            self._ahead = None

    def list_containers(self):
        found = self._clients.service.list_containers(results_per_page=self._page_size)
        return {KEY_CONTAINERS: [{KEY_NAME: container.name} for container in found]}

    def _page(self, container, prefix, marker, delimiter):
        # The SDK's model building costs several times the service's own time on
        # a page of thousands of names: read the answer's XML directly.
        client = self._clients.container(container)
        query = {"restype": "container", "comp": "list", "prefix": prefix, "marker": marker,
                 "delimiter": delimiter, "maxresults": self._page_size}
        query = urlencode({name: value for name, value in query.items() if value}, quote_via=quote)
        return parse_listing(send_raw(client, f"{client.url}?{query}", 200).content)


def parse_listing(document):
    """The listBlobs response members of one List Blobs answer."""
    root = ElementTree.fromstring(document)
    blobs = root.find("Blobs")
    folders = [{KEY_NAME: entry_name(item)} for item in blobs.iterfind("BlobPrefix")]
    files = [{KEY_NAME: entry_name(item), KEY_PROPERTIES: listed_properties(item.find("Properties"))}
             for item in blobs.iterfind("Blob")]
    response = {KEY_COUNT: len(folders) + len(files), KEY_FOLDERS: folders, KEY_FILES: files}
    marker = root.findtext("NextMarker")
    if marker:
        response[KEY_NEXT_MARKER] = marker
    return response


def entry_name(item):
    name = item.find("Name")
    # Names holding characters that XML cannot carry come percent-encoded.
    return unquote(name.text or "") if name.get("Encoded") == "true" else name.text or ""


def listed_properties(found):
    last_modified = parsedate_to_datetime(found.findtext("Last-Modified"))
    return properties(last_modified, found.findtext("Etag"), int(found.findtext("Content-Length")))
