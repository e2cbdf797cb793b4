#!/usr/bin/env python3
"""Checks the scripted test server with plain sockets acting as clients."""

import json
import os
import signal
import socket
import struct
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import testserver as ts  # noqa: E402
from testserver import Writer, frame, digest_of  # noqa: E402

TIMEOUT = 5.0


class Fake:
    """A scripted client on a real socket."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.buf = b""

    def close(self):
        self.sock.close()

    def send(self, code, body=b""):
        self.sock.sendall(frame(code, body))

    def login(self, user, password="pw", digest=None):
        digest = digest if digest is not None else digest_of(user, password)
        self.send(ts.SM_LOGIN, Writer().string(user).string(digest).u32(1).body())
        return self.recv(ts.SM_LOGIN)

    def _read_exact(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("server closed the connection")
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def next(self):
        (length,) = struct.unpack("<I", self._read_exact(4))
        data = self._read_exact(length)
        code = struct.unpack_from("<I", data)[0]
        return code, ts.decode_server(code, data[4:])

    def recv(self, code, skipped=None):
        """The next message with this code; others before it go to skipped."""
        while True:
            got, fields = self.next()
            if got == code:
                return fields
            if skipped is not None:
                skipped.append((got, fields))

    def barrier(self):
        """Everything the server queued for us before now; ends with a round trip."""
        self.send(ts.SM_GET_OWN_PRIVILEGES)
        skipped = []
        self.recv(ts.SM_GET_OWN_PRIVILEGES, skipped)
        return skipped

    def closed_by_server(self):
        try:
            while True:
                self.next()
        except EOFError:
            return True
        except OSError:
            return True


class ServerCase(unittest.TestCase):
    options = {}

    def setUp(self):
        self.server = ts.TestServer(**self.options).start()
        self.fakes = []

    def tearDown(self):
        for f in self.fakes:
            f.close()
        self.server.stop()

    def fake(self, user=None, password="pw"):
        f = Fake(self.server.port)
        self.fakes.append(f)
        if user is not None:
            reply = f.login(user, password)
            self.assertEqual(reply["ok"], 1, reply)
            f.recv(ts.SM_WISH_LIST_INTERVAL)
            f.recv(ts.SM_PRIVILEGED_USERS)
        return f


class Login(ServerCase):
    options = {"accounts": {"alice": "secret"}, "wish_interval": 30, "privileged": ["vip"]}

    def test_accepted_login_then_interval_and_privileged(self):
        f = self.fake()
        reply = f.login("alice", "secret")
        self.assertEqual(reply, {"ok": 1, "greeting": ts.DEFAULT_GREETING})
        self.assertEqual(f.next(), (ts.SM_WISH_LIST_INTERVAL, {"seconds": 30}))
        self.assertEqual(f.next(), (ts.SM_PRIVILEGED_USERS, {"users": ["vip"]}))
        self.assertEqual(self.server.login_count("alice"), 1)

    def test_refusals_close_the_connection(self):
        for user, digest, reason in [
                ("alice", digest_of("alice", "wrong"), "INVALIDPASS"),
                ("alice", digest_of("alice", "secret").upper(), "INVALIDPASS"),
                ("", digest_of("", "x"), "INVALIDUSERNAME")]:
            f = self.fake()
            self.assertEqual(f.login(user, digest=digest), {"ok": 0, "reason": reason})
            self.assertTrue(f.closed_by_server())
        self.assertEqual(self.server.login_count("alice"), 0)
        self.assertEqual(self.server.command({"cmd": "login_count", "user": "alice"})["attempts"], 2)

    def test_unknown_name_is_created_and_then_needs_its_password(self):
        self.fake("newbie", "one")
        f = self.fake()
        self.assertEqual(f.login("newbie", "two")["reason"], "INVALIDPASS")

    def test_refuse_new_users_and_refuse_all(self):
        self.server.set("refuse_new_users", True)
        f = self.fake()
        self.assertEqual(f.login("stranger")["reason"], "INVALIDUSERNAME")
        self.fake("alice", "secret")  # known accounts still work
        self.server.set("refuse_logins", "SERVERFULL")
        f = self.fake()
        self.assertEqual(f.login("alice", "secret")["reason"], "SERVERFULL")
        self.server.set("refuse_logins", None)
        self.server.set("refuse_new_users", False)
        self.fake("stranger")

    def test_second_login_closes_the_first_without_going_offline(self):
        watcher = self.fake("watcher")
        watcher.send(ts.SM_ADD_USER, Writer().string("alice").body())
        watcher.recv(ts.SM_ADD_USER)
        first = self.fake("alice", "secret")
        self.assertEqual(watcher.recv(ts.SM_USER_STATUS)["status"], 2)
        self.fake("alice", "secret")
        self.assertTrue(first.closed_by_server())
        self.assertEqual(self.server.login_count("alice"), 2)
        self.assertEqual([u["user"] for u in self.server.users()], ["watcher", "alice"])
        statuses = [f for c, f in watcher.barrier() if c == ts.SM_USER_STATUS]
        self.assertEqual(statuses, [])

    def test_messages_before_login_are_ignored(self):
        f = self.fake()
        f.send(ts.SM_ENTER_ROOM, Writer().string("lobby").body())
        f.login("alice", "secret")
        self.assertEqual(f.barrier()[:2], [(ts.SM_WISH_LIST_INTERVAL, {"seconds": 30}),
                                           (ts.SM_PRIVILEGED_USERS, {"users": ["vip"]})])
        self.assertEqual(self.server.users()[0]["rooms"], [])


class Users(ServerCase):
    options = {"accounts": {"alice": "pw"}, "privileged": ["alice"], "privileges_seconds": 3600}

    def test_watchers_get_status_changes_until_untracked(self):
        bob = self.fake("bob")
        bob.send(ts.SM_ADD_USER, Writer().string("alice").body())
        self.assertEqual(bob.recv(ts.SM_ADD_USER),
                         {"user": "alice", "exists": 1, "status": 0,
                          "stats": {"speed": 0, "uploads": 0, "files": 0, "folders": 0}})
        alice = self.fake("alice")
        self.assertEqual(bob.recv(ts.SM_USER_STATUS), {"user": "alice", "status": 2, "privileged": 1})
        self.server.set("status", {"user": "alice", "status": 1})
        self.assertEqual(bob.recv(ts.SM_USER_STATUS)["status"], 1)
        alice.close()
        self.assertEqual(bob.recv(ts.SM_USER_STATUS)["status"], 0)
        bob.send(ts.SM_UNTRACK_USER, Writer().string("alice").body())
        bob.barrier()
        self.fake("alice")
        self.assertEqual([c for c, _ in bob.barrier()], [])

    def test_unknown_user_does_not_exist(self):
        bob = self.fake("bob")
        bob.send(ts.SM_ADD_USER, Writer().string("nobody").body())
        self.assertEqual(bob.recv(ts.SM_ADD_USER), {"user": "nobody", "exists": 0})

    def test_statistics_from_reports_and_options(self):
        alice = self.fake("alice")
        alice.send(ts.SM_SHARED_FOLDERS_FILES, Writer().i32(3).i32(40).body())
        alice.send(ts.SM_SEND_UPLOAD_SPEED, Writer().i32(5000).body())
        alice.barrier()
        bob = self.fake("bob")
        bob.send(ts.SM_GET_USER_STATS, Writer().string("alice").body())
        self.assertEqual(bob.recv(ts.SM_GET_USER_STATS),
                         {"user": "alice", "stats": {"speed": 5000, "uploads": 0, "files": 40, "folders": 3}})
        self.server.set("stats", {"user": "alice", "uploads": 2 ** 40})
        self.server.set("country", {"user": "alice", "country": "NL"})
        bob.send(ts.SM_ADD_USER, Writer().string("alice").body())
        self.assertEqual(bob.recv(ts.SM_ADD_USER),
                         {"user": "alice", "exists": 1, "status": 2, "country": "NL",
                          "stats": {"speed": 5000, "uploads": 2 ** 40, "files": 40, "folders": 3}})
        user = self.server.users()[0]
        self.assertEqual((user["folders"], user["files"], user["upload_speed"]), (3, 40, 5000))

    def test_privileges_and_correlations(self):
        bob = self.fake("bob")
        bob.send(ts.SM_GET_OWN_PRIVILEGES)
        self.assertEqual(bob.recv(ts.SM_GET_OWN_PRIVILEGES), {"seconds": 3600})
        bob.send(ts.SM_SEARCH_CORRELATIONS, Writer().string("jazz").body())
        self.assertEqual(bob.recv(ts.SM_SEARCH_CORRELATIONS)["related"][0], ["jazz live", 30])
        self.server.set("correlations", {"jazz": [["bebop", 7]], "*": []})
        bob.send(ts.SM_SEARCH_CORRELATIONS, Writer().string("jazz").body())
        self.assertEqual(bob.recv(ts.SM_SEARCH_CORRELATIONS), {"text": "jazz", "related": [["bebop", 7]]})
        bob.send(ts.SM_SEARCH_CORRELATIONS, Writer().string("folk").body())
        self.assertEqual(bob.recv(ts.SM_SEARCH_CORRELATIONS), {"text": "folk", "related": []})

    def test_run_time_interval_and_privileged_reach_everyone(self):
        bob = self.fake("bob")
        bob.barrier()
        self.server.set("wish_interval", 0)
        self.server.set("privileged", "x,y")
        self.assertEqual(bob.recv(ts.SM_WISH_LIST_INTERVAL), {"seconds": 0})
        self.assertEqual(bob.recv(ts.SM_PRIVILEGED_USERS), {"users": ["x", "y"]})


class Peers(ServerCase):
    def test_addresses(self):
        alice = self.fake("alice")
        alice.send(ts.SM_SET_LISTEN_PORTS, Writer().u32(2235).u32(8973).body())
        alice.barrier()
        bob = self.fake("bob")
        bob.send(ts.SM_GET_PEER_ADDRESS, Writer().string("alice").body())
        self.assertEqual(bob.recv(ts.SM_GET_PEER_ADDRESS),
                         {"user": "alice", "ip": "127.0.0.1", "port": 2235, "scrambled_port": 8973})
        bob.send(ts.SM_GET_PEER_ADDRESS, Writer().string("carol").body())
        self.assertEqual(bob.recv(ts.SM_GET_PEER_ADDRESS),
                         {"user": "carol", "ip": "0.0.0.0", "port": 0, "scrambled_port": 0})

    def test_relay_and_cannot_connect(self):
        alice = self.fake("alice")
        alice.send(ts.SM_SET_LISTEN_PORTS, Writer().u32(4000).u32(0).body())
        bob = self.fake("bob")
        alice.send(ts.SM_CONNECT_TO_PEER, Writer().u32(77).string("bob").string("P").body())
        self.assertEqual(bob.recv(ts.SM_CONNECT_TO_PEER),
                         {"user": "alice", "type": "P", "ip": "127.0.0.1", "port": 4000, "token": 77})
        bob.send(ts.SM_CANNOT_CONNECT, Writer().u32(77).string("alice").body())
        self.assertEqual(alice.recv(ts.SM_CANNOT_CONNECT), {"token": 77, "user": "bob"})
        alice.send(ts.SM_CONNECT_TO_PEER, Writer().u32(78).string("ghost").string("F").body())
        self.assertEqual(alice.recv(ts.SM_CANNOT_CONNECT), {"token": 78, "user": "ghost"})

    def test_search_goes_to_branch_roots_only(self):
        root = self.fake("root")
        root.send(ts.SM_HAVE_NO_PARENT, Writer().byte(1).body())
        child = self.fake("child")
        child.send(ts.SM_HAVE_NO_PARENT, Writer().byte(1).body())
        child.send(ts.SM_HAVE_NO_PARENT, Writer().byte(0).body())
        child.send(ts.SM_BRANCH_LEVEL, Writer().u32(1).body())
        child.send(ts.SM_BRANCH_ROOT, Writer().string("root").body())
        child.barrier()
        silent = self.fake("silent")  # never reported: not a root
        text = "caf\u00e9 \u266b".encode("utf-8") + b"\xff"
        child.send(ts.SM_FILE_SEARCH, Writer().u32(9).string(text).body())
        self.assertEqual(root.recv(ts.SM_DISTRIBUTED_SEARCH),
                         {"user": "child", "token": 9, "text": "caf\u00e9 \u266b\ufffd"})
        root.send(ts.SM_WISH_LIST_SEARCH, Writer().u32(10).string("x").body())
        self.assertEqual(root.recv(ts.SM_DISTRIBUTED_SEARCH), {"user": "root", "token": 10, "text": "x"})
        self.assertEqual([c for c, _ in child.barrier() if c == ts.SM_DISTRIBUTED_SEARCH], [])
        self.assertEqual([c for c, _ in silent.barrier() if c == ts.SM_DISTRIBUTED_SEARCH], [])
        # the relayed text is the client's bytes, unchanged
        raw = self.server.received("child", ts.SM_FILE_SEARCH)[0]["hex"]
        self.assertTrue(raw.endswith(text.hex()))
        state = {u["user"]: u for u in self.server.users()}
        self.assertEqual((state["child"]["no_parent"], state["child"]["level"], state["child"]["root"]),
                         (False, 1, "root"))
        self.assertIsNone(state["silent"]["no_parent"])

    def test_possible_parents_lists_up_to_five_others(self):
        for i in range(6):
            f = self.fake("u%d" % i)
            f.send(ts.SM_SET_LISTEN_PORTS, Writer().u32(3000 + i).u32(0).body())
            f.barrier()
        seeker = self.fake("seeker")
        seeker.send(ts.SM_HAVE_NO_PARENT, Writer().byte(1).body())
        parents = seeker.recv(ts.SM_POSSIBLE_PARENTS)["parents"]
        self.assertEqual(parents, [{"user": "u%d" % i, "ip": "127.0.0.1", "port": 3000 + i} for i in range(5)])
        self.server.command({"cmd": "parents", "user": "seeker"})
        self.assertEqual(len(seeker.recv(ts.SM_POSSIBLE_PARENTS)["parents"]), 5)
        # the periodic push reaches only clients still without a parent
        self.fakes[0].send(ts.SM_HAVE_NO_PARENT, Writer().byte(0).body())
        self.fakes[0].barrier()
        self.server.set("parents_interval", 1)
        self.assertEqual(len(seeker.recv(ts.SM_POSSIBLE_PARENTS)["parents"]), 5)
        self.server.set("parents_interval", 0)
        self.assertEqual([c for c, _ in self.fakes[0].barrier() if c == ts.SM_POSSIBLE_PARENTS], [])


class Rooms(ServerCase):
    options = {"rooms": ["empty"]}

    def test_enter_chat_leave_and_list(self):
        alice = self.fake("alice")
        alice.send(ts.SM_ENTER_ROOM, Writer().string("lobby").body())
        entered = alice.recv(ts.SM_ENTER_ROOM)
        self.assertEqual((entered["room"], [u["user"] for u in entered["users"]]), ("lobby", ["alice"]))
        bob = self.fake("bob")
        bob.send(ts.SM_ENTER_ROOM, Writer().string("lobby").body())
        self.assertEqual([u["user"] for u in bob.recv(ts.SM_ENTER_ROOM)["users"]], ["alice", "bob"])
        joined = alice.recv(ts.SM_USER_JOINED_ROOM)
        self.assertEqual((joined["room"], joined["user"]["user"], joined["user"]["status"]), ("lobby", "bob", 2))
        bob.send(ts.SM_ROOM_LIST)
        self.assertEqual(bob.recv(ts.SM_ROOM_LIST), {"rooms": [["empty", 0], ["lobby", 2]]})
        bob.send(ts.SM_ROOM_CHAT, Writer().string("lobby").string("h\u00e9".encode("utf-8")).body())
        for f in (alice, bob):
            self.assertEqual(f.recv(ts.SM_ROOM_CHAT), {"room": "lobby", "user": "bob", "text": "h\u00e9"})
        bob.send(ts.SM_ROOM_CHAT, Writer().string("elsewhere").string("no").body())
        bob.send(ts.SM_LEAVE_ROOM, Writer().string("lobby").body())
        self.assertEqual(bob.recv(ts.SM_LEAVE_ROOM), {"room": "lobby"})
        self.assertEqual(alice.recv(ts.SM_USER_LEFT_ROOM), {"room": "lobby", "user": "bob"})
        bob.send(ts.SM_ENTER_ROOM, Writer().string("lobby").body())
        alice.recv(ts.SM_USER_JOINED_ROOM)
        bob.close()
        self.assertEqual(alice.recv(ts.SM_USER_LEFT_ROOM), {"room": "lobby", "user": "bob"})
        alice.send(ts.SM_LEAVE_ROOM, Writer().string("lobby").body())
        alice.send(ts.SM_ROOM_LIST)
        self.assertEqual(alice.recv(ts.SM_ROOM_LIST), {"rooms": [["empty", 0]]})


class PrivateChat(ServerCase):
    def test_online_offline_held_and_acknowledged(self):
        alice = self.fake("alice")
        bob = self.fake("bob")
        alice.send(ts.SM_PRIVATE_CHAT, Writer().string("bob").string("hi".encode()).body())
        live = bob.recv(ts.SM_PRIVATE_CHAT)
        self.assertEqual((live["user"], live["text"], live["spontaneous"]), ("alice", "hi", 1))
        bob.send(ts.SM_PRIVATE_CHAT_ACK, Writer().u32(live["id"]).body())
        bob.close()
        alice.send(ts.SM_PRIVATE_CHAT, Writer().string("bob").string("one").body())
        alice.send(ts.SM_PRIVATE_CHAT, Writer().string("bob").string("two").body())
        alice.barrier()
        self.assertEqual([m["text"] for m in self.server.held("bob")], ["one", "two"])
        bob = self.fake("bob")
        held = [bob.recv(ts.SM_PRIVATE_CHAT), bob.recv(ts.SM_PRIVATE_CHAT)]
        self.assertEqual([(m["text"], m["spontaneous"]) for m in held], [("one", 0), ("two", 0)])
        self.assertLess(held[0]["id"], held[1]["id"])
        bob.send(ts.SM_PRIVATE_CHAT_ACK, Writer().u32(held[0]["id"]).body())
        bob.barrier()
        bob.close()
        bob = self.fake("bob")
        again = bob.recv(ts.SM_PRIVATE_CHAT)
        self.assertEqual((again["text"], again["spontaneous"]), ("two", 0))
        bob.send(ts.SM_PRIVATE_CHAT_ACK, Writer().u32(again["id"]).body())
        bob.barrier()
        self.assertEqual(self.server.held("bob"), [])


class Control(ServerCase):
    def test_send_raw_received_wait_drop(self):
        alice = self.fake("alice")
        self.server.send("alice", 4242, [["string", "bob"], ["u32", 2], ["i32", -1], ["i64", 5],
                                         ["byte", 1], ["ip", "1.2.3.4"], ["bytes_hex", "00ff"],
                                         ["string_hex", "c3a9"], ["utf8", "\u00e9"]])
        length = struct.unpack("<I", alice._read_exact(4))[0]
        data = alice._read_exact(length)
        expected = (struct.pack("<I", 4242) + Writer().string("bob").u32(2).i32(-1).i64(5).byte(1).body()
                    + struct.pack("<I", 0x01020304) + b"\x00\xff" + Writer().string(b"\xc3\xa9").body()
                    + Writer().string(b"\xc3\xa9").body())
        self.assertEqual(data, expected)
        self.server.raw("alice", frame(ts.SM_WISH_LIST_INTERVAL, struct.pack("<I", 9)))
        self.assertEqual(alice.recv(ts.SM_WISH_LIST_INTERVAL), {"seconds": 9})

        alice.send(ts.SM_BRANCH_LEVEL, Writer().u32(3).body())
        alice.send(ts.SM_BRANCH_LEVEL, b"\x01")  # too short: logged, kept as undecodable
        self.assertTrue(self.server.wait("alice", ts.SM_BRANCH_LEVEL, 2, TIMEOUT))
        got = self.server.received("alice", ts.SM_BRANCH_LEVEL)
        self.assertEqual([(m["fields"], m["hex"]) for m in got], [({"level": 3}, "03000000"), (None, "01")])
        every = self.server.received("alice")
        self.assertEqual(every[0]["code"], ts.SM_LOGIN)
        self.assertEqual(every[0]["fields"]["digest"], digest_of("alice", "pw"))
        self.assertEqual(self.server.received("alice", since=every[-1]["index"]), every[-1:])
        self.assertFalse(self.server.wait("alice", ts.SM_BRANCH_ROOT, 1, 0.05))

        self.assertTrue(self.server.drop("alice"))
        self.assertTrue(alice.closed_by_server())
        self.assertEqual(self.server.users(), [])

    def test_bad_requests_get_errors(self):
        self.fake("alice")
        for req in [{"cmd": "nope"}, {"cmd": "send", "user": "ghost", "code": 1, "fields": []},
                    {"cmd": "send", "user": "alice", "code": 1, "fields": [["u32", -1]]},
                    {"cmd": "send", "user": "alice", "code": 1, "fields": [["float", 1]]},
                    {"cmd": "send", "user": "alice", "code": 1, "fields": [["i32", 1.5]]},
                    {"cmd": "raw", "user": "alice", "hex": "zz"}, {"cmd": "set", "option": "nope"},
                    {"cmd": "set", "option": "wish_interval", "value": "x"}, {"cmd": "wait"}, [1]]:
            reply = self.server.command(req)
            self.assertFalse(reply["ok"], req)
            self.assertIn("error", reply)
        self.assertEqual(self.server.command({"cmd": "users", "id": 7})["id"], 7)


class BadInput(ServerCase):
    def test_server_survives_garbage(self):
        healthy = self.fake("healthy")
        cases = [
            struct.pack("<I", 16 * 1024 * 1024 + 1),       # over the frame limit
            struct.pack("<I", 0x80000000) + b"abc",          # claims 2 GiB
            struct.pack("<I", 2) + b"\x00\x00",              # shorter than a code
            os.urandom(64) + b"\xff\xff\xff\xff",
        ]
        for data in cases:
            f = self.fake()
            f.sock.sendall(data)
            self.assertTrue(f.closed_by_server(), data[:8])
        # malformed and unknown messages are skipped; the connection stays usable
        f = self.fake("sloppy")
        f.send(ts.SM_ENTER_ROOM, b"\xff\xff\xff\xff")
        f.send(ts.SM_PRIVATE_CHAT, Writer().string("x").body())
        f.send(99999, b"whatever")
        f.send(ts.SM_USER_STATUS, b"")
        self.assertEqual(f.barrier(), [])
        # a frame of exactly the limit is still taken
        f.send(31337, b"\x00" * (16 * 1024 * 1024 - 4))
        self.assertEqual(f.barrier(), [])
        # a half-sent frame followed by a close
        g = self.fake()
        g.sock.sendall(frame(ts.SM_LOGIN, b"\x05\x00")[:7])
        g.close()
        self.fakes.remove(g)
        self.assertEqual([u["user"] for u in self.server.users()], ["healthy", "sloppy"])
        healthy.send(ts.SM_ROOM_LIST)
        self.assertEqual(healthy.recv(ts.SM_ROOM_LIST), {"rooms": []})


class CommandLine(unittest.TestCase):
    """The server as a process: the start line, the TCP control channel, stdio control, signals."""

    def start(self, *args):
        proc = subprocess.Popen([sys.executable, ts.__file__] + list(args), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        def cleanup():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            for pipe in (proc.stdin, proc.stdout):
                try:
                    pipe.close()
                except OSError:
                    pass
        self.addCleanup(cleanup)
        words = proc.stdout.readline().decode().split()
        self.assertEqual((len(words), words[0], words[2]), (4, "PORT", "CONTROL"))
        return proc, int(words[1]), int(words[3])

    def test_tcp_control_and_quit(self):
        proc, port, control = self.start("--accounts", "alice:pw", "--refuse-new-users", "--wish-interval", "7")
        ctl = socket.create_connection(("127.0.0.1", control), timeout=TIMEOUT)
        lines = ctl.makefile("rb")

        def call(req):
            ctl.sendall((json.dumps(req) + "\n").encode())
            return json.loads(lines.readline())

        f = Fake(port)
        self.assertEqual(f.login("alice", "pw")["ok"], 1)
        self.assertEqual(f.next(), (ts.SM_WISH_LIST_INTERVAL, {"seconds": 7}))
        self.assertEqual(call({"cmd": "wait", "user": "alice", "code": ts.SM_LOGIN, "count": 1, "timeout": 5}),
                         {"ok": True, "count": 1})
        self.assertEqual(call({"cmd": "users"})["users"][0]["user"], "alice")
        ctl.sendall(b"not json\n")
        self.assertFalse(json.loads(lines.readline())["ok"])
        self.assertTrue(call({"cmd": "send", "user": "alice", "code": ts.SM_WISH_LIST_INTERVAL,
                              "fields": [["u32", 8]]})["ok"])
        self.assertEqual(f.recv(ts.SM_WISH_LIST_INTERVAL), {"seconds": 8})
        self.assertEqual(call({"cmd": "login_count", "user": "alice"})["count"], 1)
        g = Fake(port)
        self.assertEqual(g.login("stranger")["reason"], "INVALIDUSERNAME")
        self.assertEqual(call({"cmd": "quit"}), {"ok": True})
        self.assertEqual(proc.wait(TIMEOUT), 0)
        f.close()
        g.close()
        ctl.close()

    def test_stdio_control_and_end_of_input(self):
        proc, port, _ = self.start("--stdio-control")
        proc.stdin.write(b'{"cmd":"ping","id":1}\n')
        proc.stdin.flush()
        self.assertEqual(json.loads(proc.stdout.readline()), {"ok": True, "id": 1})
        proc.stdin.close()
        self.assertEqual(proc.wait(TIMEOUT), 0)

    def test_sigterm(self):
        proc, port, _ = self.start()
        f = Fake(port)
        f.login("x")
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(TIMEOUT), 0)
        self.assertTrue(f.closed_by_server())
        f.close()


if __name__ == "__main__":
    unittest.main(verbosity=1)
