"""Response members made from what the service answered."""
from .protocol import KEY_CONTENT_LENGTH, KEY_ETAG, KEY_LAST_MODIFIED, KEY_PROPERTIES


def quoted(etag):
    # Headers carry the ETag quoted, listings without quotes: answer one form.
    return etag if etag.startswith('"') else f'"{etag}"'


def properties(last_modified, etag, size=None):
    """The "Properties" member's content."""
    found = {KEY_LAST_MODIFIED: int(last_modified.timestamp()), KEY_ETAG: quoted(etag)}
    if size is not None:
        found[KEY_CONTENT_LENGTH] = size
    return found


def with_properties(last_modified, etag, size=None):
    return {KEY_PROPERTIES: properties(last_modified, etag, size)}
