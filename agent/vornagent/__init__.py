"""The Azure Blob Storage agent of the vornbackup azure_blob destination; agent/PROTOCOL.md
describes what it answers."""
import sys

# Only the synchronous transport is used.  The SDK treats aiohttp as optional,
# and importing it would cost about a fifth of the start-up time.
sys.modules.setdefault("aiohttp", None)
