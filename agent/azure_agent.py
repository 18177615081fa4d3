#!/usr/bin/python3
"""Azure Blob Storage agent of the vornbackup azure_blob destination.

The plug-in starts this file at its fixed path; the agent itself is the vornagent package
beside it (agent/PROTOCOL.md describes the channel).
"""
import os
import sys

# The real directory: the build tree reaches this file through a symbolic link.
sys.path.insert(0, os.path.dirname(os.path.realpath(__file__)))

from vornagent.service import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
