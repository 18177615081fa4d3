"""Local files the plug-in names: read into a digest, or written over in place."""
import os

HASH_CHUNK = 1024 * 1024


def hash_file(file, digest):
    """Feed a file's content to the digest; return its size, rewound."""
    size = 0
    for chunk in iter(lambda: file.read(HASH_CHUNK), b""):
        size += len(chunk)
        digest.update(chunk)
    file.seek(0)
    return size


def overwritten(path):
    """The file at path, opened to have its content replaced.  Pages it already
    has are written over rather than freed and allocated again: the plug-in
    reuses one file for every range.  Truncate it once written."""
    return os.fdopen(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o666), "wb")
