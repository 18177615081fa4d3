"""Request lines: each action's members, checked and turned into arguments."""
import json
import re

from .errors import RequestError
from .protocol import (
    FN_COMMIT_BLOB_BLOCKS, FN_CREATE_BLOB_BLOCK, FN_CREATE_BLOCK_BLOB, FN_CREATE_CONTAINER,
    FN_DELETE_BLOB, FN_GET_BLOB, FN_GET_BLOB_PROPERTIES, FN_GET_CONTAINER_PROPERTIES,
    FN_LIST_BLOBS, FN_LIST_CONTAINERS, KEY_BLOB, KEY_CONTAINER, KEY_COUNTER, KEY_DELIMITER,
    KEY_FILE_INPUT, KEY_FILE_OUTPUT, KEY_FN, KEY_MARKER, KEY_PREFIX, KEY_RANGE_END,
    KEY_RANGE_START)


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
    KEY_CONTAINER: ("container", text),
    KEY_BLOB: ("blob", text),
    KEY_FILE_INPUT: ("file_input", text),
    KEY_FILE_OUTPUT: ("file_output", text),
    KEY_PREFIX: ("prefix", optional_text),
    KEY_MARKER: ("marker", optional_text),
    KEY_DELIMITER: ("delimiter", optional_text),
    KEY_COUNTER: ("counter", number),
    KEY_RANGE_START: ("range_start", number),
    KEY_RANGE_END: ("range_end", number),
}

# fn: (required members, optional members).  Other members of a request are ignored.
ACTIONS = {
    FN_GET_CONTAINER_PROPERTIES: ((KEY_CONTAINER,), ()),
    FN_GET_BLOB_PROPERTIES: ((KEY_CONTAINER, KEY_BLOB), ()),
    FN_LIST_BLOBS: ((KEY_CONTAINER,), (KEY_PREFIX, KEY_MARKER, KEY_DELIMITER)),
    FN_DELETE_BLOB: ((KEY_CONTAINER, KEY_BLOB), ()),
    FN_CREATE_BLOCK_BLOB: ((KEY_CONTAINER, KEY_BLOB, KEY_FILE_INPUT), ()),
    FN_CREATE_BLOB_BLOCK: ((KEY_CONTAINER, KEY_BLOB, KEY_FILE_INPUT, KEY_COUNTER), ()),
    FN_COMMIT_BLOB_BLOCKS: ((KEY_CONTAINER, KEY_BLOB, KEY_COUNTER), ()),
    FN_GET_BLOB: ((KEY_CONTAINER, KEY_BLOB, KEY_FILE_OUTPUT), (KEY_RANGE_START, KEY_RANGE_END)),
    FN_LIST_CONTAINERS: ((), ()),
    FN_CREATE_CONTAINER: ((KEY_CONTAINER,), ()),
}


def parse_request(line):
    """The action named by one request line, and its arguments."""
    try:
        request = json.loads(line)
    except ValueError:
        raise RequestError("the request is not valid JSON") from None
    if not isinstance(request, dict):
        raise RequestError("the request is not a JSON object")
    fn = request.get(KEY_FN)
    if not isinstance(fn, str) or fn not in ACTIONS:
        raise RequestError(f"unknown fn {json.dumps(fn)[:100]}")
    required, optional = ACTIONS[fn]
    arguments = {}
    for member in required + optional:
        value = request.get(member)
        if value is None:
            if member in required:
                raise RequestError(f'"{member}" is missing')
            continue
        name, parse = PARAMETERS[member]
        arguments[name] = parse(member, value)
    return fn, arguments
