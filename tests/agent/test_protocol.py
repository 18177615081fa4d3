"""The channel's words are one table: the agent's mirror says exactly what the plug-in's header says."""
import re
from pathlib import Path

from vornagent import protocol

HEADER = Path(__file__).resolve().parents[2] / "plugin" / "agent_protocol.h"

# The three forms of entry the header holds: enum members, text constants and sizes.
ENTRY_FORMS = [
    (r"^\s+(\w+) = (-?\d+),", int),
    (r'^const char \*const (\w+) = "((?:[^"\\]|\\.)*)";', str),
    (r"^const long long (\w+) = (\d+)(?:LL)?(?: << (\d+))?;", None),
]


def header_table(text):
    table = {}
    for pattern, kind in ENTRY_FORMS:
        for match in re.finditer(pattern, text, re.MULTILINE):
            if kind is None:
                table[match[1]] = int(match[2]) << int(match[3] or 0)
            else:
                table[match[1]] = kind(match[2])
    return table


def mirror_table():
    return {name: value for name, value in vars(protocol).items()
            if name.isupper() and isinstance(value, (int, str))}


def test_the_agents_table_mirrors_the_plug_ins_header():
    header, mirror = header_table(HEADER.read_text()), mirror_table()
    assert len(header) > 60, "the header's entries were not recognised"
    assert {name: (header.get(name), mirror.get(name)) for name in header.keys() | mirror.keys()
            if header.get(name) != mirror.get(name)} == {}
