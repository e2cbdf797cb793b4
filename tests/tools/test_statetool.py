#!/usr/bin/env python3
"""Checks statetool against a reader and writer of the state file written here
from the format description, independently of the client's own code."""

import os
import stat
import struct
import subprocess
import tempfile
import unittest
import zlib

TOOL = os.path.join(os.environ.get("TV_BUILD_DIR", "build"), "tests", "tools", "statetool")


def encode(types, items, links):
    """types: [(name bytes, null bool)]; items: [(type index, value bytes or None)]."""
    body = struct.pack("<I", len(types))
    for name, null in types:
        body += struct.pack("<I", len(name)) + name + bytes([1 if null else 0])
    body += struct.pack("<I", len(items))
    for t, value in items:
        body += struct.pack("<I", t)
        if not types[t][1]:
            body += struct.pack("<I", len(value)) + value
    body += struct.pack("<I", len(links))
    for a, b in links:
        body += struct.pack("<II", a, b)
    return b"TVRNSTAT" + struct.pack("<III", 1, len(body), zlib.crc32(body)) + body


def decode(data):
    assert data[:8] == b"TVRNSTAT"
    version, size, crc = struct.unpack_from("<III", data, 8)
    body = data[20:]
    assert version == 1 and size == len(body) and crc == zlib.crc32(body)
    pos = 0

    def u32():
        nonlocal pos
        (n,) = struct.unpack_from("<I", body, pos)
        pos += 4
        return n

    def string():
        nonlocal pos
        n = u32()
        s = body[pos:pos + n]
        pos += n
        return s

    types = []
    for _ in range(u32()):
        name = string()
        types.append((name, body[pos] == 1))
        pos += 1
    items = []
    for _ in range(u32()):
        t = u32()
        items.append((t, None if types[t][1] else string()))
    links = [(u32(), u32()) for _ in range(u32())]
    assert pos == len(body)
    return types, items, links


def settings(data):
    """The `global` settings of a file as {key: value}, checking one value per key."""
    types, items, links = decode(data)
    names = [n for n, _ in types]
    g, v = names.index(b"global"), names.index(b"global_value")
    out = {}
    for a, b in links:
        for key, val in ((a, b), (b, a)):
            if items[key][0] == g and items[val][0] == v:
                assert items[key][1] not in out, "two values for one key"
                out[items[key][1]] = items[val][1]
    return out


class StateTool(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.dir.name, ".Tavrinel")

    def tearDown(self):
        self.dir.cleanup()

    def run_tool(self, *args):
        return subprocess.run([TOOL, *args], capture_output=True, timeout=30)

    def ok(self, *args):
        r = self.run_tool(*args)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.decode("latin-1")

    def read(self):
        with open(self.path, "rb") as f:
            return f.read()

    def test_set_creates_the_file_owner_only(self):
        self.ok("set", self.path, "username", "alice")
        self.assertEqual(stat.S_IMODE(os.stat(self.path).st_mode), 0o600)
        self.assertEqual(settings(self.read()), {b"username": b"alice"})
        dump = self.ok("dump", self.path)
        self.assertIn('global "username" -- global_value "alice"', dump)

    def test_set_replaces_and_unset_removes(self):
        self.ok("set", self.path, "username", "alice")
        self.ok("set", self.path, "password", "pw")
        self.ok("set", self.path, "username", "bob")
        self.assertEqual(settings(self.read()), {b"username": b"bob", b"password": b"pw"})
        # The replaced value is not kept, as the client would not save it.
        _, items, _ = decode(self.read())
        self.assertNotIn(b"alice", [v for _, v in items])
        self.ok("unset", self.path, "username")
        self.assertEqual(settings(self.read()), {b"password": b"pw"})
        _, items, _ = decode(self.read())
        self.assertEqual(sorted(v for _, v in items), [b"password", b"pw"])
        self.ok("unset", self.path, "never_set")
        self.assertEqual(settings(self.read()), {b"password": b"pw"})

    def test_shared_value_stays_while_used(self):
        self.ok("set", self.path, "use_upnp", "yes")
        self.ok("set", self.path, "minimize_to_tray", "yes")
        _, items, links = decode(self.read())
        self.assertEqual([v for _, v in items].count(b"yes"), 1)
        self.assertEqual(len(links), 2)
        self.ok("unset", self.path, "use_upnp")
        self.assertEqual(settings(self.read()), {b"minimize_to_tray": b"yes"})
        self.ok("unset", self.path, "minimize_to_tray")
        _, items, links = decode(self.read())
        self.assertEqual((items, links), ([], []))

    def test_everything_else_is_kept(self):
        types = [(b"global", False), (b"global_value", False), (b"wish_list_item", False),
                 (b"wish_list_item_enabled", True)]
        items = [(0, b"username"), (1, b"alice"), (2, b"beatles"), (3, None), (2, b"kinks")]
        links = [(0, 1), (2, 3)]
        with open(self.path, "wb") as f:
            f.write(encode(types, items, links))
        self.ok("set", self.path, "download_folder", "/tmp/dl")
        t2, i2, l2 = decode(self.read())
        self.assertEqual(t2, types)
        self.assertEqual(i2[:5], items)
        self.assertEqual(l2[:2], links)
        self.assertEqual(settings(self.read()), {b"username": b"alice", b"download_folder": b"/tmp/dl"})
        dump = self.ok("dump", self.path)
        self.assertIn('link 2 3 wish_list_item "beatles" -- wish_list_item_enabled (flag)', dump)

    def test_bytes_are_kept_and_dumped_escaped(self):
        self.ok("set", self.path, "username", os.fsdecode(b"caf\xe9 \"q\""))
        self.assertEqual(settings(self.read()), {b"username": b"caf\xe9 \"q\""})
        self.assertIn(r'global_value "caf\xe9 \"q\""', self.ok("dump", self.path))

    def test_damaged_file_is_refused_and_left_alone(self):
        good = encode([(b"global", False)], [(0, b"k")], [])
        for bad in (b"", good[:-1], good[:8] + b"\x02" + good[9:], good + b"\x00"):
            with open(self.path, "wb") as f:
                f.write(bad)
            for args in (("dump", self.path), ("set", self.path, "k", "v"), ("unset", self.path, "k")):
                r = self.run_tool(*args)
                self.assertEqual(r.returncode, 1, args)
                self.assertTrue(r.stderr)
                self.assertEqual(self.read(), bad)

    def test_usage(self):
        for args in ((), ("dump",), ("set", self.path, "k"), ("frob", self.path), ("unset", self.path, "k", "v")):
            self.assertEqual(self.run_tool(*args).returncode, 2, args)
        self.assertEqual(self.run_tool("dump", self.path).returncode, 1)
        self.assertFalse(os.path.exists(self.path))


if __name__ == "__main__":
    unittest.main()
