#!/usr/bin/env python3
"""Scripted central server for tests.

Speaks the server side of the wire protocol on 127.0.0.1 and offers a control
channel (newline-delimited JSON) so that tests can inspect what clients sent
and inject messages of their own. Standard library only.

Command line:
    testserver.py [--port N] [--control-port N] [--stdio-control]
                  [--accounts user:password,...] [--refuse-new-users]
                  [--refuse-logins REASON] [--wish-interval S]
                  [--privileged u1,u2] [--privileges-seconds S]
                  [--rooms r1,r2] [--parents-interval S] [--greeting TEXT]
                  [--verbose]

On start it prints one line "PORT <server port> CONTROL <control port>".
With --stdio-control it also reads control requests from stdin and writes the
replies to stdout; end of stdin then stops the server (its owner is gone).

Control requests are JSON objects, one a line; each gets one JSON reply line
with "ok" (true/false), "error" when false, and the request's "id" echoed.
    send {user, code, fields}   fields: [["string"|"latin1"|"utf8", text],
                                ["string_hex", hex], ["bytes_hex", hex], ["u32"|"i32"|"i64"|"byte", n],
                                ["ip", "a.b.c.d" or n]]; "string" is Latin-1 when possible, else UTF-8
    raw {user, hex}             bytes as they are, to the user's connection
    drop {user[, flushed]}      closes the user's connection at once, or once what was sent
                                to it is written when flushed is true -> {closed}
    received {user[, code][, since]} -> {messages: [{index, conn, code, hex, fields}], next}
    wait {user, code[, count=1][, timeout=5][, since]} -> {ok, count}
    users -> {users: [{user, conn, ip, port, scrambled_port, no_parent, level, root,
                       folders, files, upload_speed, status, rooms, watching}]}
    set {option, value}         refuse_new_users, refuse_logins (reason or null), wish_interval,
                                privileged, privileges_seconds, greeting, parents_interval, rooms,
                                account {user, password|digest}, stats {user, speed, uploads, files,
                                folders}, country {user, country}, status {user, status 1|2},
                                correlations {text: [[related, rank], ...], "*": default},
                                peer_addresses {user: [ip, port]} (the address given for the user,
                                logged in or not), address_delay (seconds before address answers)
    login_count {user} -> {count, attempts}
    held {user} -> {messages: [{id, time, from, text}]}   private messages not yet acknowledged
    parents {user}              sends SM_POSSIBLE_PARENTS now
    ping, quit

In-process use from Python tests:
    with TestServer(accounts={"alice": "pw"}) as ts:
        ... connect to ts.port ...
        ts.wait("alice", SM_LOGIN, 1, 5)
"""

import argparse
import collections
import hashlib
import itertools
import json
import selectors
import signal
import socket
import struct
import sys
import threading
import time
import traceback

# ---------------------------------------------------------------- codes

SM_ADD_USER = 5
SM_SHARED_FOLDERS_FILES = 35
SM_GET_USER_STATS = 36
SM_SEND_UPLOAD_SPEED = 121
SM_LOGIN = 1001
SM_SET_LISTEN_PORTS = 1002
SM_GET_PEER_ADDRESS = 1003
SM_CONNECT_TO_PEER = 1004
SM_CANNOT_CONNECT = 1005
SM_USER_STATUS = 1006
SM_UNTRACK_USER = 1007
SM_PRIVILEGED_USERS = 1008
SM_GET_OWN_PRIVILEGES = 1009
SM_ROOM_LIST = 1010
SM_ENTER_ROOM = 1011
SM_LEAVE_ROOM = 1012
SM_USER_JOINED_ROOM = 1013
SM_USER_LEFT_ROOM = 1014
SM_ROOM_CHAT = 1015
SM_PRIVATE_CHAT = 1016
SM_PRIVATE_CHAT_ACK = 1017
SM_FILE_SEARCH = 1018
SM_WISH_LIST_SEARCH = 1019
SM_SEARCH_CORRELATIONS = 1020
SM_WISH_LIST_INTERVAL = 1021
SM_HAVE_NO_PARENT = 1022
SM_BRANCH_LEVEL = 1023
SM_BRANCH_ROOT = 1024
SM_POSSIBLE_PARENTS = 1025
SM_DISTRIBUTED_SEARCH = 1026

STATUS_OFFLINE = 0
STATUS_AWAY = 1
STATUS_ONLINE = 2

MAX_FRAME = 16 * 1024 * 1024          # largest frame body accepted from a client
MAX_OUTBUF = 256 * 1024 * 1024        # a client that reads nothing is dropped past this
MAX_CONTROL_LINE = 96 * 1024 * 1024   # hex of a maximal frame fits
MAX_LOG_ENTRIES = 100000              # per user, oldest dropped
MAX_LOG_BYTES = 128 * 1024 * 1024     # per user, oldest dropped
MAX_HELD = 10000                      # held private messages per user
MAX_WATCHED = 100000                  # watched names per connection
MAX_WAIT = 600.0                      # longest control wait, seconds
MAX_PARENTS = 5
READ_CHUNK = 256 * 1024
DEFAULT_WISH_INTERVAL = 720
DEFAULT_GREETING = "Welcome to the Tavrinel test server."


def digest_of(user, password):
    """Login digest: lower-case hex MD5 of the user bytes followed by the password bytes."""
    return hashlib.md5(to_bytes(user) + to_bytes(password)).hexdigest()


def to_bytes(text):
    """8-bit text as the wire carries it: Latin-1 when possible, else UTF-8."""
    if isinstance(text, (bytes, bytearray)):
        return bytes(text)
    try:
        return text.encode("latin-1")
    except UnicodeEncodeError:
        return text.encode("utf-8")


def latin1(data):
    return data.decode("latin-1")


def utf8(data):
    return data.decode("utf-8", "replace")


def ip_to_int(text):
    parts = text.split(".")
    if len(parts) != 4:
        raise ValueError("bad IPv4 address %r" % text)
    value = 0
    for part in parts:
        n = int(part)
        if not 0 <= n <= 255:
            raise ValueError("bad IPv4 address %r" % text)
        value = (value << 8) | n
    return value


def int_to_ip(value):
    return "%d.%d.%d.%d" % ((value >> 24) & 255, (value >> 16) & 255, (value >> 8) & 255, value & 255)


# ---------------------------------------------------------------- encoding

class Writer:
    """Builds a message body field by field."""

    def __init__(self):
        self.parts = []

    def u32(self, v):
        self.parts.append(struct.pack("<I", v))
        return self

    def i32(self, v):
        self.parts.append(struct.pack("<i", v))
        return self

    def i64(self, v):
        self.parts.append(struct.pack("<q", v))
        return self

    def byte(self, v):
        self.parts.append(struct.pack("<B", v))
        return self

    def string(self, v):
        data = to_bytes(v)
        self.parts.append(struct.pack("<I", len(data)) + data)
        return self

    def ip(self, v):
        return self.u32(ip_to_int(v) if isinstance(v, str) else v)

    def raw(self, data):
        self.parts.append(bytes(data))
        return self

    def stats(self, s):
        return self.i32(s["speed"]).i64(s["uploads"]).i32(s["files"]).i32(s["folders"])

    def body(self):
        return b"".join(self.parts)


def frame(code, body=b""):
    """One framed message: uint32 length, uint32 code, body."""
    return struct.pack("<II", len(body) + 4, code) + bytes(body)


def login_frame(user, password, version=1):
    return frame(SM_LOGIN, Writer().string(user).string(digest_of(user, password)).u32(version).body())


# ---------------------------------------------------------------- decoding

class Malformed(Exception):
    pass


class Reader:
    """Reads fields; a short read fails and the reader stays failed; check once with done()."""

    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0
        self.ok = True

    def _take(self, n):
        if not self.ok or n > len(self.data) - self.pos:
            self.ok = False
            return None
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def _unpack(self, fmt, size):
        chunk = self._take(size)
        return struct.unpack(fmt, chunk)[0] if chunk is not None else 0

    def u32(self):
        return self._unpack("<I", 4)

    def i32(self):
        return self._unpack("<i", 4)

    def i64(self):
        return self._unpack("<q", 8)

    def byte(self):
        return self._unpack("<B", 1)

    def bytes_(self):
        n = self.u32()
        chunk = self._take(n)
        return chunk if chunk is not None else b""

    def latin1(self):
        return latin1(self.bytes_())

    def utf8(self):
        return utf8(self.bytes_())

    def ip(self):
        return int_to_ip(self.u32())

    def left(self):
        return len(self.data) - self.pos

    def count(self, min_item_size):
        """A count whose items need at least min_item_size bytes each, checked against what is left."""
        n = self.u32()
        if self.ok and n * min_item_size > self.left():
            self.ok = False
            return 0
        return n

    def stats(self):
        return {"speed": self.i32(), "uploads": self.i64(), "files": self.i32(), "folders": self.i32()}

    def done(self, value):
        if not self.ok:
            raise Malformed("message too short")
        return value


CLIENT_NAMES = {
    SM_ADD_USER: "SM_ADD_USER", SM_SHARED_FOLDERS_FILES: "SM_SHARED_FOLDERS_FILES",
    SM_GET_USER_STATS: "SM_GET_USER_STATS", SM_SEND_UPLOAD_SPEED: "SM_SEND_UPLOAD_SPEED",
    SM_LOGIN: "SM_LOGIN", SM_SET_LISTEN_PORTS: "SM_SET_LISTEN_PORTS",
    SM_GET_PEER_ADDRESS: "SM_GET_PEER_ADDRESS", SM_CONNECT_TO_PEER: "SM_CONNECT_TO_PEER",
    SM_CANNOT_CONNECT: "SM_CANNOT_CONNECT", SM_UNTRACK_USER: "SM_UNTRACK_USER",
    SM_GET_OWN_PRIVILEGES: "SM_GET_OWN_PRIVILEGES", SM_ROOM_LIST: "SM_ROOM_LIST",
    SM_ENTER_ROOM: "SM_ENTER_ROOM", SM_LEAVE_ROOM: "SM_LEAVE_ROOM", SM_ROOM_CHAT: "SM_ROOM_CHAT",
    SM_PRIVATE_CHAT: "SM_PRIVATE_CHAT", SM_PRIVATE_CHAT_ACK: "SM_PRIVATE_CHAT_ACK",
    SM_FILE_SEARCH: "SM_FILE_SEARCH", SM_WISH_LIST_SEARCH: "SM_WISH_LIST_SEARCH",
    SM_SEARCH_CORRELATIONS: "SM_SEARCH_CORRELATIONS", SM_HAVE_NO_PARENT: "SM_HAVE_NO_PARENT",
    SM_BRANCH_LEVEL: "SM_BRANCH_LEVEL", SM_BRANCH_ROOT: "SM_BRANCH_ROOT",
}


def decode_client(code, body):
    """Fields of a client-to-server message as a dict.

    Raises Malformed on a short body and KeyError on a code that is not a
    client-to-server message. Bytes after the last known field are ignored.
    """
    r = Reader(body)
    if code in (SM_ADD_USER, SM_GET_USER_STATS, SM_GET_PEER_ADDRESS, SM_UNTRACK_USER):
        return r.done({"user": r.latin1()})
    if code == SM_SHARED_FOLDERS_FILES:
        return r.done({"folders": r.i32(), "files": r.i32()})
    if code == SM_SEND_UPLOAD_SPEED:
        return r.done({"speed": r.i32()})
    if code == SM_LOGIN:
        return r.done({"user": r.latin1(), "digest": r.latin1(), "version": r.u32()})
    if code == SM_SET_LISTEN_PORTS:
        return r.done({"port": r.u32(), "scrambled_port": r.u32()})
    if code == SM_CONNECT_TO_PEER:
        return r.done({"token": r.u32(), "user": r.latin1(), "type": r.latin1()})
    if code == SM_CANNOT_CONNECT:
        return r.done({"token": r.u32(), "user": r.latin1()})
    if code in (SM_GET_OWN_PRIVILEGES, SM_ROOM_LIST):
        return {}
    if code in (SM_ENTER_ROOM, SM_LEAVE_ROOM):
        return r.done({"room": r.latin1()})
    if code == SM_ROOM_CHAT:
        return r.done({"room": r.latin1(), "text": r.utf8()})
    if code == SM_PRIVATE_CHAT:
        return r.done({"user": r.latin1(), "text": r.utf8()})
    if code == SM_PRIVATE_CHAT_ACK:
        return r.done({"id": r.u32()})
    if code in (SM_FILE_SEARCH, SM_WISH_LIST_SEARCH):
        return r.done({"token": r.u32(), "text": r.utf8()})
    if code == SM_SEARCH_CORRELATIONS:
        return r.done({"text": r.utf8()})
    if code == SM_HAVE_NO_PARENT:
        return r.done({"no_parent": r.byte()})
    if code == SM_BRANCH_LEVEL:
        return r.done({"level": r.u32()})
    if code == SM_BRANCH_ROOT:
        return r.done({"root": r.latin1()})
    raise KeyError(code)


def _user_in_room(r):
    return {"user": r.latin1(), "status": r.u32(), "stats": r.stats(), "country": r.latin1()}


def decode_server(code, body):
    """Fields of a server-to-client message as a dict (for scripted clients in tests)."""
    r = Reader(body)
    if code == SM_ADD_USER:
        out = {"user": r.latin1(), "exists": r.byte()}
        if out["exists"]:
            out["status"] = r.u32()
            out["stats"] = r.stats()
            if out["status"] > 0:
                out["country"] = r.latin1()
        return r.done(out)
    if code == SM_GET_USER_STATS:
        return r.done({"user": r.latin1(), "stats": r.stats()})
    if code == SM_LOGIN:
        ok = r.byte()
        return r.done({"ok": ok, ("greeting" if ok else "reason"): r.latin1()})
    if code == SM_GET_PEER_ADDRESS:
        return r.done({"user": r.latin1(), "ip": r.ip(), "port": r.u32(), "scrambled_port": r.u32()})
    if code == SM_CONNECT_TO_PEER:
        return r.done({"user": r.latin1(), "type": r.latin1(), "ip": r.ip(), "port": r.u32(), "token": r.u32()})
    if code == SM_CANNOT_CONNECT:
        return r.done({"token": r.u32(), "user": r.latin1()})
    if code == SM_USER_STATUS:
        return r.done({"user": r.latin1(), "status": r.u32(), "privileged": r.byte()})
    if code == SM_PRIVILEGED_USERS:
        n = r.count(4)
        return r.done({"users": [r.latin1() for _ in range(n)]})
    if code == SM_GET_OWN_PRIVILEGES:
        return r.done({"seconds": r.i32()})
    if code == SM_ROOM_LIST:
        n = r.count(8)
        return r.done({"rooms": [[r.latin1(), r.u32()] for _ in range(n)]})
    if code == SM_ENTER_ROOM:
        room = r.latin1()
        n = r.count(32)
        return r.done({"room": room, "users": [_user_in_room(r) for _ in range(n)]})
    if code == SM_LEAVE_ROOM:
        return r.done({"room": r.latin1()})
    if code == SM_USER_JOINED_ROOM:
        return r.done({"room": r.latin1(), "user": _user_in_room(r)})
    if code == SM_USER_LEFT_ROOM:
        return r.done({"room": r.latin1(), "user": r.latin1()})
    if code == SM_ROOM_CHAT:
        return r.done({"room": r.latin1(), "user": r.latin1(), "text": r.utf8()})
    if code == SM_PRIVATE_CHAT:
        return r.done({"id": r.u32(), "time": r.u32(), "user": r.latin1(), "text": r.utf8(),
                       "spontaneous": r.byte()})
    if code == SM_SEARCH_CORRELATIONS:
        text = r.utf8()
        n = r.count(8)
        return r.done({"text": text, "related": [[r.utf8(), r.u32()] for _ in range(n)]})
    if code == SM_WISH_LIST_INTERVAL:
        return r.done({"seconds": r.u32()})
    if code == SM_POSSIBLE_PARENTS:
        n = r.count(12)
        return r.done({"parents": [{"user": r.latin1(), "ip": r.ip(), "port": r.u32()} for _ in range(n)]})
    if code == SM_DISTRIBUTED_SEARCH:
        return r.done({"user": r.latin1(), "token": r.u32(), "text": r.utf8()})
    raise KeyError(code)


FIELD_LIMITS = {"u32": (0, 0xFFFFFFFF), "i32": (-2 ** 31, 2 ** 31 - 1),
                "i64": (-2 ** 63, 2 ** 63 - 1), "byte": (0, 255)}


def encode_fields(fields):
    """Body from a control field list: [["string","bob"],["u32",2],...]."""
    w = Writer()
    if not isinstance(fields, list):
        raise ValueError("fields must be a list")
    for item in fields:
        if not isinstance(item, (list, tuple)) or len(item) != 2 or not isinstance(item[0], str):
            raise ValueError("each field is [type, value]: %r" % (item,))
        kind, value = item
        if kind in FIELD_LIMITS:
            if isinstance(value, bool) or not isinstance(value, (int, float, str)):
                raise ValueError("%s needs a number: %r" % (kind, value))
            number = int(value, 0) if isinstance(value, str) else int(value)
            if number != value and not isinstance(value, str):
                raise ValueError("%s needs a whole number: %r" % (kind, value))
            low, high = FIELD_LIMITS[kind]
            if not low <= number <= high:
                raise ValueError("%s out of range: %r" % (kind, value))
            getattr(w, kind)(number)
        elif kind in ("string", "latin1", "utf8"):
            if not isinstance(value, str):
                raise ValueError("%s needs text: %r" % (kind, value))
            if kind == "utf8":
                w.string(value.encode("utf-8"))
            elif kind == "latin1":
                w.string(value.encode("latin-1"))
            else:
                w.string(to_bytes(value))
        elif kind == "string_hex":
            w.string(bytes.fromhex(value))
        elif kind == "bytes_hex":
            w.raw(bytes.fromhex(value))
        elif kind == "ip":
            if isinstance(value, str):
                w.ip(value)
            elif isinstance(value, int) and 0 <= value <= 0xFFFFFFFF:
                w.u32(value)
            else:
                raise ValueError("bad ip: %r" % (value,))
        else:
            raise ValueError("unknown field type %r" % (kind,))
    return w.body()


# ---------------------------------------------------------------- state

class Options:
    def __init__(self, port=0, control_port=0, accounts=None, refuse_new_users=False,
                 refuse_logins=None, wish_interval=DEFAULT_WISH_INTERVAL, privileged=None,
                 privileges_seconds=0, rooms=None, parents_interval=0, greeting=DEFAULT_GREETING,
                 verbose=False):
        self.port = port
        self.control_port = control_port
        self.accounts = dict(accounts or {})
        self.refuse_new_users = refuse_new_users
        self.refuse_logins = refuse_logins
        self.wish_interval = wish_interval
        self.privileged = list(privileged or [])
        self.privileges_seconds = privileges_seconds
        self.rooms = list(rooms or [])
        self.parents_interval = parents_interval
        self.greeting = greeting
        self.verbose = verbose


class Client:
    """One server connection."""

    _serial = itertools.count(1)

    def __init__(self, sock, ip):
        self.id = next(Client._serial)
        self.sock = sock
        self.ip = ip
        self.inbuf = bytearray()
        self.outbuf = bytearray()
        self.user = None            # set once logged in
        self.claimed = None         # name of the last login attempt
        self.logged_in = False
        self.closing = False        # close once the output is flushed
        self.abort = False          # close now, output discarded
        self.closed = False
        self.events = 0
        self.port = 0
        self.scrambled_port = 0
        self.no_parent = None
        self.level = None
        self.root = None
        self.watching = set()
        self.rooms = []
        self.login_seq = 0


class ControlError(Exception):
    pass


class Server:
    """The server state and its event loop; every method that touches state holds self.lock."""

    def __init__(self, options=None):
        self.opt = options or Options()
        self.lock = threading.RLock()
        self.cond = threading.Condition(self.lock)
        self.sel = selectors.DefaultSelector()
        self.listener = None
        self.control_listener = None
        self.port = 0
        self.control_port = 0
        self.stopping = False
        self.stopped = threading.Event()
        self.clients = {}                       # id -> Client
        self.logged = {}                        # user -> Client
        self.accounts = {u: digest_of(u, p) for u, p in self.opt.accounts.items()}
        self.login_counts = collections.Counter()
        self.login_attempts = collections.Counter()
        self.reported = {}                      # user -> {"folders","files","speed"}
        self.stats = {}                         # user -> overriding stats
        self.countries = {}
        self.status_override = {}
        # Addresses the server gives for users, logged in or not, in place
        # of where their connections come from: user -> (ip text, port).
        self.peer_addresses = {}
        # Address answers wait this long: [(due, client, body)].
        self.address_delay = 0.0
        self.delayed_answers = []
        self.correlations = {}
        self.rooms = {r: [] for r in self.opt.rooms}
        self.held = {}                          # user -> OrderedDict id -> message
        self.next_chat_id = 1
        self.login_seq = 0
        self.log_entries = {}                   # user -> deque of entries
        self.log_bytes = collections.Counter()
        self.log_next = collections.Counter()   # next absolute index per user
        self.code_counts = collections.Counter()  # (user, code) -> messages ever received
        self.next_parents_push = None
        self.control_socks = set()
        self._cur_code, self._cur_body = 0, b""
        self._loop_thread = None
        self.wake_r, self.wake_w = socket.socketpair()
        self.wake_r.setblocking(False)
        self.wake_w.setblocking(False)

    # ------------------------------------------------------------ set-up

    def bind(self):
        self.listener = self._listen(self.opt.port)
        self.port = self.listener.getsockname()[1]
        self.control_listener = self._listen(self.opt.control_port)
        self.control_port = self.control_listener.getsockname()[1]
        self.sel.register(self.listener, selectors.EVENT_READ, "listen")
        self.sel.register(self.control_listener, selectors.EVENT_READ, "control")
        self.sel.register(self.wake_r, selectors.EVENT_READ, "wake")
        if self.opt.parents_interval > 0:
            self.next_parents_push = time.monotonic() + self.opt.parents_interval

    @staticmethod
    def _listen(port):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", port))
        s.listen(64)
        s.setblocking(False)
        return s

    def log(self, text):
        try:
            sys.stderr.write("testserver[%d]: %s\n" % (self.port, text))
            sys.stderr.flush()
        except (OSError, ValueError):
            pass

    def wake(self):
        try:
            self.wake_w.send(b"x")
        except (BlockingIOError, OSError):
            pass

    def stop(self):
        with self.lock:
            self.stopping = True
        self.wake()

    # ------------------------------------------------------------ loop

    def serve(self):
        try:
            while True:
                with self.lock:
                    if self.stopping:
                        break
                    self._guarded(self._update_registrations)
                    timeout = None
                    dues = [d for d, _, _ in self.delayed_answers]
                    if self.next_parents_push is not None:
                        dues.append(self.next_parents_push)
                    if dues:
                        timeout = max(0.0, min(dues) - time.monotonic())
                try:
                    events = self.sel.select(timeout)
                except OSError as e:
                    self.log("select failed: %s" % e)
                    time.sleep(0.01)
                    continue
                with self.lock:
                    for key, mask in events:
                        self._guarded(self._on_event, key, mask)
                    self._guarded(self._run_timers)
                    self._guarded(self._flush_all)
                    self.cond.notify_all()
        finally:
            self._shutdown()

    def _guarded(self, fn, *args):
        try:
            fn(*args)
        except Exception:
            self.log("internal error (skipped):\n" + traceback.format_exc())

    def _update_registrations(self):
        for c in list(self.clients.values()):
            if c.abort:
                self._close(c)
                continue
            want = selectors.EVENT_READ | (selectors.EVENT_WRITE if c.outbuf else 0)
            if c.closing:
                want = selectors.EVENT_WRITE if c.outbuf else 0
                if not c.outbuf:
                    self._close(c)
                    continue
            if want != c.events:
                try:
                    self.sel.modify(c.sock, want, c)
                    c.events = want
                except (KeyError, ValueError, OSError) as e:
                    self.log("connection %d: cannot watch it (%s), closing" % (c.id, e))
                    self._close(c)

    def _on_event(self, key, mask):
        tag = key.data
        if tag == "wake":
            try:
                while self.wake_r.recv(4096):
                    pass
            except (BlockingIOError, OSError):
                pass
        elif tag == "listen":
            self._accept()
        elif tag == "control":
            self._accept_control()
        elif isinstance(tag, Client) and not tag.closed:
            if mask & selectors.EVENT_WRITE:
                self._flush(tag)
            if mask & selectors.EVENT_READ and not tag.closed:
                self._read(tag)

    def _accept(self):
        for _ in range(64):
            try:
                sock, addr = self.listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError as e:
                self.log("accept failed: %s" % e)
                return
            sock.setblocking(False)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            c = Client(sock, addr[0])
            self.clients[c.id] = c
            self.sel.register(sock, selectors.EVENT_READ, c)
            c.events = selectors.EVENT_READ
            if self.opt.verbose:
                self.log("connection %d from %s:%d" % (c.id, addr[0], addr[1]))

    def _accept_control(self):
        for _ in range(16):
            try:
                sock, _addr = self.control_listener.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError as e:
                self.log("control accept failed: %s" % e)
                return
            sock.setblocking(True)
            self.control_socks.add(sock)
            t = threading.Thread(target=self._control_thread, args=(sock,), daemon=True)
            t.start()

    def _read(self, c):
        try:
            data = c.sock.recv(READ_CHUNK)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            self.log("connection %d: read error: %s" % (c.id, e))
            self._close(c)
            return
        if not data:
            if self.opt.verbose:
                self.log("connection %d closed by the client" % c.id)
            self._close(c)
            return
        if c.closing:
            return
        c.inbuf += data
        self._parse(c)

    def _parse(self, c):
        # Bounded: each pass consumes one whole frame; the buffer holds at most one frame and one read.
        pos = 0
        data = c.inbuf
        while not c.closed and not c.closing and len(data) - pos >= 4:
            (length,) = struct.unpack_from("<I", data, pos)
            if length > MAX_FRAME:
                self.log("connection %d: frame of %d bytes is over the limit, closing" % (c.id, length))
                self._close(c)
                return
            if length < 4:
                self.log("connection %d: frame length %d is too short, closing" % (c.id, length))
                self._close(c)
                return
            if len(data) - pos < 4 + length:
                break
            (code,) = struct.unpack_from("<I", data, pos + 4)
            body = bytes(data[pos + 8:pos + 4 + length])
            pos += 4 + length
            try:
                self._on_message(c, code, body)
            except Exception:
                self.log("internal error on code %d (message skipped):\n%s" % (code, traceback.format_exc()))
        if pos:
            del data[:pos]

    def _flush(self, c):
        while c.outbuf and not c.closed:
            try:
                n = c.sock.send(c.outbuf[:READ_CHUNK * 4])
            except (BlockingIOError, InterruptedError):
                return
            except OSError as e:
                self.log("connection %d: write error: %s" % (c.id, e))
                self._close(c)
                return
            del c.outbuf[:n]

    def _flush_all(self):
        for c in list(self.clients.values()):
            if c.outbuf and not c.closed and not c.abort:
                self._flush(c)

    def _close(self, c):
        if c.closed:
            return
        c.closed = True
        self._logout(c)
        self.clients.pop(c.id, None)
        try:
            self.sel.unregister(c.sock)
        except (KeyError, ValueError, OSError):
            pass
        try:
            c.sock.close()
        except OSError:
            pass
        c.outbuf.clear()
        c.inbuf.clear()
        self.cond.notify_all()

    def _shutdown(self):
        with self.lock:
            for c in list(self.clients.values()):
                self._close(c)
            for s in [self.listener, self.control_listener, self.wake_r, self.wake_w] + list(self.control_socks):
                if s is None:
                    continue
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                try:
                    s.close()
                except OSError:
                    pass
            try:
                self.sel.close()
            except OSError:
                pass
            self.cond.notify_all()
        self.stopped.set()

    def _run_timers(self):
        now = time.monotonic()
        due = [a for a in self.delayed_answers if a[0] <= now]
        self.delayed_answers = [a for a in self.delayed_answers if a[0] > now]
        for _, c, body in due:
            if not c.closed:
                self._send(c, SM_GET_PEER_ADDRESS, body)
        if self.next_parents_push is None:
            return
        if now < self.next_parents_push:
            return
        for c in list(self.logged.values()):
            if c.no_parent:
                self._send_possible_parents(c)
        if self.opt.parents_interval > 0:
            self.next_parents_push = now + self.opt.parents_interval
        else:
            self.next_parents_push = None

    # ------------------------------------------------------------ sending

    def _send(self, c, code, body=b""):
        self._write(c, frame(code, body))

    def _write(self, c, data):
        if c.closed or c.abort:
            return
        if len(c.outbuf) + len(data) > MAX_OUTBUF:
            self.log("connection %d: not reading, output over %d bytes, dropping it" % (c.id, MAX_OUTBUF))
            c.abort = True
            self.wake()
            return
        c.outbuf += data
        self.wake()

    # ------------------------------------------------------------ the received log

    def _record(self, name, c, code, body):
        entries = self.log_entries.setdefault(name, collections.deque())
        index = self.log_next[name]
        self.log_next[name] += 1
        entries.append((index, c.id, code, body))
        self.log_bytes[name] += len(body)
        self.code_counts[(name, code)] += 1
        while entries and (len(entries) > MAX_LOG_ENTRIES or self.log_bytes[name] > MAX_LOG_BYTES):
            old = entries.popleft()
            self.log_bytes[name] -= len(old[3])

    # ------------------------------------------------------------ users

    def _status(self, user):
        if user not in self.logged:
            return STATUS_OFFLINE
        return self.status_override.get(user, STATUS_ONLINE)

    def _stats(self, user):
        rep = self.reported.get(user, {})
        s = {"speed": rep.get("speed", 0), "uploads": 0,
             "files": rep.get("files", 0), "folders": rep.get("folders", 0)}
        s.update(self.stats.get(user, {}))
        return s

    def _exists(self, user):
        return user in self.accounts or user in self.stats or user in self.logged

    def _user_in_room(self, w, user):
        status = self._status(user)
        w.string(user).u32(status).stats(self._stats(user)).string(self.countries.get(user, ""))

    def _notify_status(self, user):
        w = Writer().string(user).u32(self._status(user)).byte(1 if user in self.opt.privileged else 0)
        body = w.body()
        for c in list(self.logged.values()):
            if user in c.watching:
                self._send(c, SM_USER_STATUS, body)

    def _send_privileged(self, c):
        w = Writer().u32(len(self.opt.privileged))
        for u in self.opt.privileged:
            w.string(u)
        self._send(c, SM_PRIVILEGED_USERS, w.body())

    def _send_wish_interval(self, c):
        self._send(c, SM_WISH_LIST_INTERVAL, Writer().u32(self.opt.wish_interval).body())

    def _send_possible_parents(self, c):
        others = sorted((o for o in self.logged.values() if o is not c), key=lambda o: o.login_seq)
        others = others[:MAX_PARENTS]
        w = Writer().u32(len(others))
        for o in others:
            w.string(o.user).ip(o.ip).u32(o.port)
        self._send(c, SM_POSSIBLE_PARENTS, w.body())

    def _send_held(self, c, msg, spontaneous):
        w = Writer().u32(msg["id"]).u32(msg["time"]).string(msg["from"]).string(msg["text"]).byte(spontaneous)
        self._send(c, SM_PRIVATE_CHAT, w.body())

    # ------------------------------------------------------------ login and logout

    def _login(self, c, f):
        if c.logged_in:
            self.log("connection %d: second login on a logged-in connection ignored" % c.id)
            return
        user = f["user"]
        digest = f["digest"]
        self.login_attempts[user] += 1
        reason = None
        if self.opt.refuse_logins:
            reason = self.opt.refuse_logins
        elif user == "":
            reason = "INVALIDUSERNAME"
        elif len(digest) != 32 or any(ch not in "0123456789abcdef" for ch in digest):
            reason = "INVALIDPASS"
        elif user in self.accounts:
            if self.accounts[user] != digest:
                reason = "INVALIDPASS"
        elif self.opt.refuse_new_users:
            reason = "INVALIDUSERNAME"
        if reason is not None:
            self.log("login of %r refused: %s" % (user, reason))
            self._send(c, SM_LOGIN, Writer().byte(0).string(reason).body())
            c.closing = True
            return
        if user not in self.accounts:
            self.accounts[user] = digest
        old = self.logged.get(user)
        c.user = user
        c.logged_in = True
        self.login_seq += 1
        c.login_seq = self.login_seq
        self.logged[user] = c
        self.login_counts[user] += 1
        if old is not None:
            self.log("%r logged in again: closing connection %d" % (user, old.id))
            self._logout(old)
            old.closing = True
        if self.opt.verbose:
            self.log("%r logged in on connection %d" % (user, c.id))
        self._send(c, SM_LOGIN, Writer().byte(1).string(self.opt.greeting).body())
        self._send_wish_interval(c)
        self._send_privileged(c)
        if old is None:
            self._notify_status(user)
        for msg in list(self.held.get(user, {}).values()):
            self._send_held(c, msg, 0)

    def _logout(self, c):
        if not c.logged_in:
            return
        c.logged_in = False
        for room in list(c.rooms):
            self._leave_room(c, room)
        c.watching.clear()
        if self.logged.get(c.user) is c:
            del self.logged[c.user]
            self.status_override.pop(c.user, None)
            self._notify_status(c.user)

    # ------------------------------------------------------------ rooms

    def _enter_room(self, c, room):
        members = self.rooms.setdefault(room, [])
        if c.user not in members:
            members.append(c.user)
            c.rooms.append(room)
            w = Writer().string(room)
            self._user_in_room(w, c.user)
            body = w.body()
            for m in members:
                if m != c.user and m in self.logged:
                    self._send(self.logged[m], SM_USER_JOINED_ROOM, body)
        w = Writer().string(room).u32(len(members))
        for m in members:
            self._user_in_room(w, m)
        self._send(c, SM_ENTER_ROOM, w.body())

    def _leave_room(self, c, room):
        members = self.rooms.get(room, [])
        if c.user in members:
            members.remove(c.user)
        if room in c.rooms:
            c.rooms.remove(room)
        body = Writer().string(room).string(c.user).body()
        for m in members:
            if m in self.logged:
                self._send(self.logged[m], SM_USER_LEFT_ROOM, body)
        if not members and room not in self.opt.rooms:
            self.rooms.pop(room, None)

    # ------------------------------------------------------------ messages

    def _on_message(self, c, code, body):
        name = c.user if c.logged_in else None
        fields = None
        try:
            fields = decode_client(code, body)
        except Malformed as e:
            self.log("connection %d: malformed %s (%d bytes): %s; skipped"
                     % (c.id, CLIENT_NAMES.get(code, code), len(body), e))
        except KeyError:
            self.log("connection %d: unknown code %d (%d bytes); ignored" % (c.id, code, len(body)))
        if name is None:
            if code == SM_LOGIN and fields is not None:
                c.claimed = fields["user"]
            name = c.claimed if c.claimed is not None else ""
        self._record(name, c, code, body)
        if self.opt.verbose:
            self.log("connection %d (%s): %s %s" % (c.id, name, CLIENT_NAMES.get(code, code), fields))
        if fields is None:
            return
        if code == SM_LOGIN:
            self._login(c, fields)
            return
        if not c.logged_in:
            self.log("connection %d: %s before login ignored" % (c.id, CLIENT_NAMES[code]))
            return
        handler = self.HANDLERS.get(code)
        if handler is not None:
            self._cur_code, self._cur_body = code, body
            handler(self, c, fields)

    def _h_add_user(self, c, f):
        user = f["user"]
        if len(c.watching) < MAX_WATCHED:
            c.watching.add(user)
        w = Writer().string(user)
        if self._exists(user):
            status = self._status(user)
            w.byte(1).u32(status).stats(self._stats(user))
            if status > 0:
                w.string(self.countries.get(user, ""))
        else:
            w.byte(0)
        self._send(c, SM_ADD_USER, w.body())

    def _h_untrack(self, c, f):
        c.watching.discard(f["user"])

    def _h_shared(self, c, f):
        rep = self.reported.setdefault(c.user, {})
        rep["folders"] = f["folders"]
        rep["files"] = f["files"]

    def _h_upload_speed(self, c, f):
        self.reported.setdefault(c.user, {})["speed"] = f["speed"]

    def _h_user_stats(self, c, f):
        self._send(c, SM_GET_USER_STATS, Writer().string(f["user"]).stats(self._stats(f["user"])).body())

    def _h_listen_ports(self, c, f):
        if f["port"] > 65535 or f["scrambled_port"] > 65535:
            self.log("%r set listening ports beyond 65535: %d %d" % (c.user, f["port"], f["scrambled_port"]))
        c.port = f["port"]
        c.scrambled_port = f["scrambled_port"]

    def _h_peer_address(self, c, f):
        target = self.logged.get(f["user"])
        w = Writer().string(f["user"])
        if f["user"] in self.peer_addresses:
            ip, port = self.peer_addresses[f["user"]]
            w.ip(ip).u32(port).u32(0)
        elif target is None:
            w.u32(0).u32(0).u32(0)
        else:
            w.ip(target.ip).u32(target.port).u32(target.scrambled_port)
        if self.address_delay > 0:
            self.delayed_answers.append((time.monotonic() + self.address_delay, c, w.body()))
        else:
            self._send(c, SM_GET_PEER_ADDRESS, w.body())

    def _h_connect_to_peer(self, c, f):
        target = self.logged.get(f["user"])
        if target is None:
            self._send(c, SM_CANNOT_CONNECT, Writer().u32(f["token"]).string(f["user"]).body())
            return
        w = Writer().string(c.user).string(f["type"]).ip(c.ip).u32(c.port).u32(f["token"])
        self._send(target, SM_CONNECT_TO_PEER, w.body())

    def _h_cannot_connect(self, c, f):
        requester = self.logged.get(f["user"])
        if requester is not None:
            self._send(requester, SM_CANNOT_CONNECT, Writer().u32(f["token"]).string(c.user).body())

    def _h_own_privileges(self, c, f):
        seconds = max(-2 ** 31, min(2 ** 31 - 1, int(self.opt.privileges_seconds)))
        self._send(c, SM_GET_OWN_PRIVILEGES, Writer().i32(seconds).body())

    def _h_room_list(self, c, f):
        names = sorted(self.rooms)
        w = Writer().u32(len(names))
        for r in names:
            w.string(r).u32(len(self.rooms[r]))
        self._send(c, SM_ROOM_LIST, w.body())

    def _h_enter_room(self, c, f):
        if f["room"] == "":
            self.log("%r asked to enter a room without a name; ignored" % c.user)
            return
        self._enter_room(c, f["room"])

    def _h_leave_room(self, c, f):
        room = f["room"]
        if room in c.rooms:
            self._leave_room(c, room)
        self._send(c, SM_LEAVE_ROOM, Writer().string(room).body())

    def _h_room_chat(self, c, f):
        room = f["room"]
        if room not in c.rooms:
            self.log("%r spoke in %r without being in it; ignored" % (c.user, room))
            return
        text = self._raw_text(c, 1)
        body = Writer().string(room).string(c.user).string(text).body()
        for m in self.rooms.get(room, []):
            if m in self.logged:
                self._send(self.logged[m], SM_ROOM_CHAT, body)

    def _h_private_chat(self, c, f):
        target = f["user"]
        held = self.held.setdefault(target, collections.OrderedDict())
        if len(held) >= MAX_HELD:
            held.popitem(last=False)
        msg = {"id": self.next_chat_id, "time": int(time.time()) & 0xFFFFFFFF,
               "from": c.user, "text": self._raw_text(c, 1)}
        self.next_chat_id = self.next_chat_id % 0xFFFFFFFF + 1
        held[msg["id"]] = msg
        if target in self.logged:
            self._send_held(self.logged[target], msg, 1)

    def _h_chat_ack(self, c, f):
        held = self.held.get(c.user)
        if held is None or held.pop(f["id"], None) is None:
            self.log("%r acknowledged unknown private message %d" % (c.user, f["id"]))

    def _h_search(self, c, f):
        body = Writer().string(c.user).u32(f["token"]).string(self._raw_text(c, 0)).body()
        for o in list(self.logged.values()):
            if o.no_parent:
                self._send(o, SM_DISTRIBUTED_SEARCH, body)

    def _h_correlations(self, c, f):
        text = f["text"]
        if text in self.correlations:
            related = self.correlations[text]
        elif "*" in self.correlations:
            related = self.correlations["*"]
        else:
            related = [[text + " live", 30], [text + " remix", 20], [text + " acoustic", 10]]
        w = Writer().string(self._raw_text(c, 0)).u32(len(related))
        for rel, rank in related:
            w.string(rel.encode("utf-8")).u32(rank)
        self._send(c, SM_SEARCH_CORRELATIONS, w.body())

    def _h_no_parent(self, c, f):
        if f["no_parent"] not in (0, 1):
            self.log("%r sent no-parent flag %d" % (c.user, f["no_parent"]))
        c.no_parent = f["no_parent"] != 0
        if c.no_parent:
            self._send_possible_parents(c)

    def _h_level(self, c, f):
        c.level = f["level"]

    def _h_root(self, c, f):
        c.root = f["root"]

    HANDLERS = {
        SM_ADD_USER: _h_add_user, SM_UNTRACK_USER: _h_untrack,
        SM_SHARED_FOLDERS_FILES: _h_shared, SM_SEND_UPLOAD_SPEED: _h_upload_speed,
        SM_GET_USER_STATS: _h_user_stats, SM_SET_LISTEN_PORTS: _h_listen_ports,
        SM_GET_PEER_ADDRESS: _h_peer_address, SM_CONNECT_TO_PEER: _h_connect_to_peer,
        SM_CANNOT_CONNECT: _h_cannot_connect, SM_GET_OWN_PRIVILEGES: _h_own_privileges,
        SM_ROOM_LIST: _h_room_list, SM_ENTER_ROOM: _h_enter_room, SM_LEAVE_ROOM: _h_leave_room,
        SM_ROOM_CHAT: _h_room_chat, SM_PRIVATE_CHAT: _h_private_chat,
        SM_PRIVATE_CHAT_ACK: _h_chat_ack, SM_FILE_SEARCH: _h_search,
        SM_WISH_LIST_SEARCH: _h_search, SM_SEARCH_CORRELATIONS: _h_correlations,
        SM_HAVE_NO_PARENT: _h_no_parent, SM_BRANCH_LEVEL: _h_level, SM_BRANCH_ROOT: _h_root,
    }

    def _raw_text(self, c, index):
        """The index-th string field of the message being handled, as the bytes the client sent.

        Text is relayed byte for byte, never through a decode and re-encode."""
        r = Reader(self._cur_body)
        if self._cur_code in (SM_FILE_SEARCH, SM_WISH_LIST_SEARCH):
            r.u32()
        for _ in range(index):
            r.bytes_()
        return r.bytes_()

    # ------------------------------------------------------------ control

    def command(self, req, defer_quit=False):
        """Runs one control request; returns the reply dict (never raises).

        A "quit" stops the server at once unless defer_quit is set: a control
        connection stops it only after the reply has gone out."""
        try:
            if not isinstance(req, dict):
                raise ControlError("request must be a JSON object")
            cmd = req.get("cmd")
            handler = getattr(self, "_c_" + cmd, None) if isinstance(cmd, str) else None
            if handler is None:
                raise ControlError("unknown command %r" % (cmd,))
            reply = handler(req)
            reply.setdefault("ok", True)
        except ControlError as e:
            reply = {"ok": False, "error": str(e)}
        except (ValueError, TypeError, KeyError) as e:
            reply = {"ok": False, "error": "bad request: %s: %s" % (type(e).__name__, e)}
        except Exception as e:
            self.log("control error:\n" + traceback.format_exc())
            reply = {"ok": False, "error": "internal: %s" % e}
        if isinstance(req, dict) and "id" in req:
            reply["id"] = req["id"]
        if reply.get("ok") and req.get("cmd") == "quit" and not defer_quit:
            self.stop()
        return reply

    @staticmethod
    def _arg(req, key, kind):
        if key not in req:
            raise ControlError("missing %r" % key)
        value = req[key]
        if kind is int and (isinstance(value, bool) or not isinstance(value, (int, float))):
            raise ControlError("%r must be a number" % key)
        if kind is str and not isinstance(value, str):
            raise ControlError("%r must be text" % key)
        return int(value) if kind is int else value

    def _online_client(self, user):
        c = self.logged.get(user)
        if c is None or c.closed or c.closing or c.abort:
            raise ControlError("%r is not logged in" % (user,))
        return c

    def _c_ping(self, req):
        return {}

    def _c_send(self, req):
        body = encode_fields(req.get("fields", []))
        code = self._arg(req, "code", int)
        if not 0 <= code <= 0xFFFFFFFF:
            raise ControlError("code out of range")
        with self.lock:
            self._send(self._online_client(self._arg(req, "user", str)), code, body)
        return {}

    def _c_raw(self, req):
        data = bytes.fromhex(self._arg(req, "hex", str))
        with self.lock:
            self._write(self._online_client(self._arg(req, "user", str)), data)
        return {}

    def _c_drop(self, req):
        user = self._arg(req, "user", str)
        with self.lock:
            c = self._online_client(user)
            if req.get("flushed"):
                c.closing = True
            else:
                c.abort = True
            self.wake()
            if threading.current_thread() is not self.loop_thread():
                deadline = time.monotonic() + 5
                while not c.closed and not self.stopped.is_set() and time.monotonic() < deadline:
                    self.cond.wait(0.1)
            elif c.abort:
                self._close(c)
        return {"closed": c.closed}

    def loop_thread(self):
        return getattr(self, "_loop_thread", None)

    def _entries(self, user, code, since):
        out = []
        for index, conn, c_code, body in self.log_entries.get(user, ()):
            if index < since or (code is not None and c_code != code):
                continue
            try:
                fields = decode_client(c_code, body)
            except (Malformed, KeyError):
                fields = None
            out.append({"index": index, "conn": conn, "code": c_code, "hex": body.hex(), "fields": fields})
        return out

    def _c_received(self, req):
        user = self._arg(req, "user", str)
        code = self._arg(req, "code", int) if req.get("code") is not None else None
        since = self._arg(req, "since", int) if req.get("since") is not None else 0
        with self.lock:
            return {"messages": self._entries(user, code, since), "next": self.log_next[user]}

    def _count(self, user, code, since):
        if since <= 0:
            return self.code_counts[(user, code)]
        return sum(1 for e in self.log_entries.get(user, ()) if e[2] == code and e[0] >= since)

    def _c_wait(self, req):
        user = self._arg(req, "user", str)
        code = self._arg(req, "code", int)
        count = self._arg(req, "count", int) if "count" in req else 1
        timeout = min(MAX_WAIT, max(0.0, float(req.get("timeout", 5))))
        since = self._arg(req, "since", int) if req.get("since") is not None else 0
        if threading.current_thread() is self.loop_thread():
            raise ControlError("wait cannot run on the server thread")
        deadline = time.monotonic() + timeout
        with self.lock:
            while True:
                have = self._count(user, code, since)
                left = deadline - time.monotonic()
                if have >= count or left <= 0 or self.stopped.is_set():
                    return {"ok": have >= count, "count": have}
                self.cond.wait(min(left, 0.5))

    def _c_users(self, req):
        with self.lock:
            users = []
            for c in sorted(self.logged.values(), key=lambda o: o.login_seq):
                rep = self.reported.get(c.user, {})
                users.append({
                    "user": c.user, "conn": c.id, "ip": c.ip, "port": c.port,
                    "scrambled_port": c.scrambled_port, "no_parent": c.no_parent,
                    "level": c.level, "root": c.root, "folders": rep.get("folders"),
                    "files": rep.get("files"), "upload_speed": rep.get("speed"),
                    "status": self._status(c.user), "rooms": list(c.rooms),
                    "watching": sorted(c.watching)})
            return {"users": users}

    def _c_login_count(self, req):
        user = self._arg(req, "user", str)
        with self.lock:
            return {"user": user, "count": self.login_counts[user], "attempts": self.login_attempts[user]}

    def _c_held(self, req):
        user = self._arg(req, "user", str)
        with self.lock:
            return {"messages": [{"id": m["id"], "time": m["time"], "from": m["from"], "text": utf8(m["text"])}
                                 for m in self.held.get(user, {}).values()]}

    def _c_parents(self, req):
        with self.lock:
            self._send_possible_parents(self._online_client(self._arg(req, "user", str)))
        return {}

    def _c_quit(self, req):
        return {}

    def _c_set(self, req):
        name = self._arg(req, "option", str)
        value = req.get("value")
        with self.lock:
            setter = getattr(self, "_set_" + name, None)
            if setter is None:
                raise ControlError("unknown option %r" % name)
            setter(value)
        return {}

    @staticmethod
    def _int(value, what):
        if isinstance(value, bool) or not isinstance(value, (int, float)) or int(value) != value:
            raise ControlError("%s must be a whole number" % what)
        return int(value)

    @staticmethod
    def _names(value):
        if isinstance(value, str):
            return [v for v in value.split(",") if v]
        if isinstance(value, list) and all(isinstance(v, str) for v in value):
            return list(value)
        raise ControlError("expected a list of names")

    def _set_refuse_new_users(self, value):
        self.opt.refuse_new_users = bool(value)

    def _set_refuse_logins(self, value):
        if value is not None and not isinstance(value, str):
            raise ControlError("refuse_logins takes a reason or null")
        self.opt.refuse_logins = value or None

    def _set_wish_interval(self, value):
        v = self._int(value, "wish_interval")
        if not 0 <= v <= 0xFFFFFFFF:
            raise ControlError("wish_interval out of range")
        self.opt.wish_interval = v
        for c in list(self.logged.values()):
            self._send_wish_interval(c)

    def _set_privileged(self, value):
        self.opt.privileged = self._names(value)
        for c in list(self.logged.values()):
            self._send_privileged(c)

    def _set_privileges_seconds(self, value):
        self.opt.privileges_seconds = self._int(value, "privileges_seconds")

    def _set_greeting(self, value):
        if not isinstance(value, str):
            raise ControlError("greeting must be text")
        self.opt.greeting = value

    def _set_parents_interval(self, value):
        v = self._int(value, "parents_interval")
        self.opt.parents_interval = v
        self.next_parents_push = time.monotonic() + v if v > 0 else None
        self.wake()

    def _set_rooms(self, value):
        self.opt.rooms = self._names(value)
        for r in self.opt.rooms:
            self.rooms.setdefault(r, [])
        for r in [r for r, m in self.rooms.items() if not m and r not in self.opt.rooms]:
            del self.rooms[r]

    def _set_account(self, value):
        if not isinstance(value, dict) or not isinstance(value.get("user"), str):
            raise ControlError("account takes {user, password} or {user, digest}")
        if isinstance(value.get("digest"), str):
            self.accounts[value["user"]] = value["digest"]
        elif isinstance(value.get("password"), str):
            self.accounts[value["user"]] = digest_of(value["user"], value["password"])
        else:
            raise ControlError("account needs a password or a digest")

    def _set_stats(self, value):
        if not isinstance(value, dict) or not isinstance(value.get("user"), str):
            raise ControlError("stats takes {user, speed, uploads, files, folders}")
        s = self.stats.setdefault(value["user"], {})
        for key, limits in (("speed", "i32"), ("uploads", "i64"), ("files", "i32"), ("folders", "i32")):
            if key in value:
                v = self._int(value[key], key)
                low, high = FIELD_LIMITS[limits]
                if not low <= v <= high:
                    raise ControlError("%s out of range" % key)
                s[key] = v

    def _set_country(self, value):
        if not isinstance(value, dict) or not isinstance(value.get("user"), str) \
                or not isinstance(value.get("country"), str):
            raise ControlError("country takes {user, country}")
        self.countries[value["user"]] = value["country"]

    def _set_status(self, value):
        if not isinstance(value, dict) or not isinstance(value.get("user"), str):
            raise ControlError("status takes {user, status}")
        status = self._int(value.get("status"), "status")
        if status not in (STATUS_AWAY, STATUS_ONLINE):
            raise ControlError("status of an online user is 1 (away) or 2 (online)")
        self.status_override[value["user"]] = status
        if value["user"] in self.logged:
            self._notify_status(value["user"])

    def _set_peer_addresses(self, value):
        if not isinstance(value, dict):
            raise ControlError("peer_addresses takes {user: [ip, port], ...}")
        table = {}
        for user, where in value.items():
            if not isinstance(where, list) or len(where) != 2 or not isinstance(where[0], str):
                raise ControlError("peer_addresses takes {user: [ip, port], ...}")
            try:
                ip_to_int(where[0])
            except ValueError as e:
                raise ControlError(str(e))
            table[user] = (where[0], self._int(where[1], "port"))
        self.peer_addresses = table

    def _set_address_delay(self, value):
        if isinstance(value, bool) or not isinstance(value, (int, float)) or value < 0:
            raise ControlError("address_delay takes seconds")
        self.address_delay = float(value)

    def _set_correlations(self, value):
        if not isinstance(value, dict):
            raise ControlError("correlations takes {text: [[related, rank], ...]}")
        table = {}
        for text, related in value.items():
            if not isinstance(related, list):
                raise ControlError("correlations of %r must be a list" % text)
            rows = []
            for row in related:
                if not (isinstance(row, list) and len(row) == 2 and isinstance(row[0], str)):
                    raise ControlError("each correlation is [text, rank]")
                rank = self._int(row[1], "rank")
                if not 0 <= rank <= 0xFFFFFFFF:
                    raise ControlError("rank out of range")
                rows.append([row[0], rank])
            table[text] = rows
        self.correlations = table

    # ------------------------------------------------------------ control connections

    def _control_thread(self, sock):
        try:
            f = sock.makefile("rb")
            for line in _lines(f):
                if line is None:
                    reply = {"ok": False, "error": "request line too long"}
                    stop = False
                else:
                    reply, stop = self._control_line(line)
                sock.sendall((json.dumps(reply) + "\n").encode("utf-8"))
                if stop:
                    self.stop()
                    break
        except OSError:
            pass
        finally:
            with self.lock:
                self.control_socks.discard(sock)
            try:
                sock.close()
            except OSError:
                pass

    def _control_line(self, line):
        line = line.strip()
        if not line:
            return {"ok": False, "error": "empty request"}, False
        try:
            req = json.loads(line.decode("utf-8"))
        except (ValueError, UnicodeDecodeError) as e:
            return {"ok": False, "error": "bad JSON: %s" % e}, False
        reply = self.command(req, defer_quit=True)
        return reply, reply.get("ok") and isinstance(req, dict) and req.get("cmd") == "quit"


def _lines(f):
    """Request lines from a binary file; None stands for a line over the limit (skipped)."""
    while True:
        line = f.readline(MAX_CONTROL_LINE + 1)
        if not line:
            return
        if len(line) > MAX_CONTROL_LINE:
            while line and not line.endswith(b"\n"):
                line = f.readline(MAX_CONTROL_LINE)
            yield None
            continue
        yield line


# ---------------------------------------------------------------- in-process API

class TestServer:
    """The server on a background thread, with methods mirroring the control commands."""

    __test__ = False  # not a test case for test collectors

    def __init__(self, **options):
        self.server = Server(Options(**options))
        self.thread = None

    def start(self):
        self.server.bind()
        self.thread = threading.Thread(target=self.server.serve, daemon=True)
        self.server._loop_thread = self.thread
        self.thread.start()
        return self

    def stop(self):
        self.server.stop()
        if self.thread is not None:
            self.thread.join(10)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return self.server.port

    @property
    def control_port(self):
        return self.server.control_port

    def command(self, req):
        return self.server.command(req)

    def _checked(self, req):
        reply = self.server.command(req)
        if not reply.get("ok"):
            raise RuntimeError("%s failed: %s" % (req.get("cmd"), reply.get("error")))
        return reply

    def send(self, user, code, fields=()):
        self._checked({"cmd": "send", "user": user, "code": code, "fields": [list(f) for f in fields]})

    def raw(self, user, data):
        self._checked({"cmd": "raw", "user": user, "hex": bytes(data).hex()})

    def drop(self, user, flushed=False):
        return self._checked({"cmd": "drop", "user": user, "flushed": flushed})["closed"]

    def received(self, user, code=None, since=0):
        return self._checked({"cmd": "received", "user": user, "code": code, "since": since})["messages"]

    def wait(self, user, code, count=1, timeout=5.0, since=0):
        return self.server.command({"cmd": "wait", "user": user, "code": code, "count": count,
                                    "timeout": timeout, "since": since})["ok"]

    def users(self):
        return self._checked({"cmd": "users"})["users"]

    def set(self, option, value):
        self._checked({"cmd": "set", "option": option, "value": value})

    def login_count(self, user):
        return self._checked({"cmd": "login_count", "user": user})["count"]

    def held(self, user):
        return self._checked({"cmd": "held", "user": user})["messages"]


# ---------------------------------------------------------------- command line

def _accounts(text):
    out = {}
    for item in text.split(","):
        if not item:
            continue
        user, sep, password = item.partition(":")
        if not sep or not user:
            raise argparse.ArgumentTypeError("accounts are user:password, got %r" % item)
        out[user] = password
    return out


def _names(text):
    return [v for v in text.split(",") if v]


def _seconds(text):
    value = int(text)
    if not 0 <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError("seconds out of range: %s" % text)
    return value


def _int32(text):
    value = int(text)
    if not -2 ** 31 <= value < 2 ** 31:
        raise argparse.ArgumentTypeError("out of range: %s" % text)
    return value


def parse_args(argv):
    p = argparse.ArgumentParser(description="Scripted central server for tests (127.0.0.1 only).")
    p.add_argument("--port", type=int, default=0, help="server port (default: a free one)")
    p.add_argument("--control-port", type=int, default=0, help="control port (default: a free one)")
    p.add_argument("--stdio-control", action="store_true",
                   help="also take control requests on stdin, replies on stdout; end of stdin stops")
    p.add_argument("--accounts", type=_accounts, default={}, help="preset accounts user:password,...")
    p.add_argument("--refuse-new-users", action="store_true", help='unknown names get "INVALIDUSERNAME"')
    p.add_argument("--refuse-logins", metavar="REASON", default=None, help="refuse every login with REASON")
    p.add_argument("--wish-interval", type=_seconds, default=DEFAULT_WISH_INTERVAL,
                   help="seconds sent as SM_WISH_LIST_INTERVAL (default %d)" % DEFAULT_WISH_INTERVAL)
    p.add_argument("--privileged", type=_names, default=[], help="privileged users u1,u2")
    p.add_argument("--privileges-seconds", type=_int32, default=0, help="answer to SM_GET_OWN_PRIVILEGES")
    p.add_argument("--rooms", type=_names, default=[], help="rooms that always exist r1,r2")
    p.add_argument("--parents-interval", type=_seconds, default=0,
                   help="also resend SM_POSSIBLE_PARENTS to parentless clients every S seconds")
    p.add_argument("--greeting", default=DEFAULT_GREETING, help="text of a successful login")
    p.add_argument("--verbose", "-v", action="store_true", help="log every message")
    return p.parse_args(argv)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    server = Server(Options(port=args.port, control_port=args.control_port, accounts=args.accounts,
                            refuse_new_users=args.refuse_new_users, refuse_logins=args.refuse_logins,
                            wish_interval=args.wish_interval, privileged=args.privileged,
                            privileges_seconds=args.privileges_seconds, rooms=args.rooms,
                            parents_interval=args.parents_interval, greeting=args.greeting,
                            verbose=args.verbose))
    try:
        server.bind()
    except OSError as e:
        sys.stderr.write("testserver: cannot listen: %s\n" % e)
        return 1
    server._loop_thread = threading.current_thread()
    out_lock = threading.Lock()

    def on_signal(_signum, _frame):
        server.stopping = True
        server.wake()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    def put(line):
        with out_lock:
            try:
                sys.stdout.write(line + "\n")
                sys.stdout.flush()
                return True
            except (OSError, ValueError):
                return False

    put("PORT %d CONTROL %d" % (server.port, server.control_port))

    if args.stdio_control:
        def stdin_thread():
            for line in _lines(sys.stdin.buffer):
                if line is None:
                    reply, stop = {"ok": False, "error": "request line too long"}, False
                else:
                    reply, stop = server._control_line(line)
                if not put(json.dumps(reply)) or stop:
                    break
            server.stop()

        threading.Thread(target=stdin_thread, daemon=True).start()

    server.serve()
    return 0


if __name__ == "__main__":
    sys.exit(main())
