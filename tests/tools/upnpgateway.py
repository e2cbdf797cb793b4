#!/usr/bin/env python3
"""A scripted UPnP Internet gateway for tests. Python 3 standard library only.

It answers SSDP searches (UDP 1900, multicast group 239.255.255.250) with a
unicast reply that names its device description, serves that description (an
InternetGatewayDevice with a WANCommonInterfaceConfig and a WANIPConnection
service) and answers the SOAP actions a port-mapping client uses.

It is meant to run inside a network namespace that a test made for it, bound
to the test's own address; it never sends anything except replies to the
requests it receives.

Every request is recorded as one JSON object per line, on stdout or in the
file named by --record:
  {"event": "ready", "http_port": N}             once, when listening
  {"event": "msearch", "st": ..., "from": [addr, port]}
  {"event": "get", "path": ..., "from": [addr, port]}
  {"event": "soap", "action": ..., "args": {...}, "from": [addr, port],
   "status": "ok" | "fault 725" | "hang" | "stream" ...}
  {"event": "streamed", "bytes": N}              when a stream ends

Options:
  --address A          the address to serve on and to name in LOCATION (required)
  --http-port N        the HTTP port (default: any free one)
  --external-ip A      what GetExternalIPAddress answers
  --status S           what GetStatusInfo reports (default "Connected")
  --permanent-only     answer 725 OnlyPermanentLeasesSupported to a non-zero lease
  --hang ACTION        for that SOAP action, send the headers and then trickle
                       one byte a second without ever completing the body
                       (until --hang-seconds have passed)
  --hang-seconds N     how long a hang lasts at most (default 120)
  --stream WHAT        stream without end, as fast as the asker reads: the
                       body of the description ("description"), one header
                       line of its answer ("header"), or the answer to that
                       SOAP action
  --stream-bytes N     end a stream after N bytes (default 0: never)
  --devices N          answer each search first for N further devices, each
                       at a location of its own that answers 404
  --control-base URL   name the connection service's control URL absolute,
                       under URL (as a description may, pointing elsewhere)
  --no-ssdp            do not answer searches (a gateway that cannot be found)
  --lifetime N         quit by itself after N seconds (default 300)
  --stop-on-eof        also quit when stdin reaches its end
"""

import argparse
import json
import socket
import struct
import sys
import threading
import time
import xml.etree.ElementTree as ET
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SSDP_GROUP = "239.255.255.250"
SSDP_PORT = 1900
UUID = "uuid:5e1f0b7c-0d3a-4c53-9a61-7465737467771"
IGD = "urn:schemas-upnp-org:device:InternetGatewayDevice:1"
WAN_DEVICE = "urn:schemas-upnp-org:device:WANDevice:1"
WAN_CONN_DEVICE = "urn:schemas-upnp-org:device:WANConnectionDevice:1"
CIF = "urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1"
IPCONN = "urn:schemas-upnp-org:service:WANIPConnection:1"
SOAP_ENV = "http://schemas.xmlsoap.org/soap/envelope/"

# Search targets this device answers, with the USN it gives for each.
SEARCH_TARGETS = {
    "ssdp:all": UUID + "::" + IGD,
    "upnp:rootdevice": UUID + "::upnp:rootdevice",
    IGD: UUID + "::" + IGD,
    WAN_DEVICE: UUID + "::" + WAN_DEVICE,
    WAN_CONN_DEVICE: UUID + "::" + WAN_CONN_DEVICE,
    CIF: UUID + "::" + CIF,
    IPCONN: UUID + "::" + IPCONN,
}

UPNP_ERRORS = {
    401: "Invalid Action",
    402: "Invalid Args",
    714: "NoSuchEntryInArray",
    718: "ConflictInMappingEntry",
    725: "OnlyPermanentLeasesSupported",
}


def description(address, port, control_base=""):
    return f"""<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
<specVersion><major>1</major><minor>0</minor></specVersion>
<device>
<deviceType>{IGD}</deviceType>
<friendlyName>Scripted test gateway</friendlyName>
<manufacturer>tests</manufacturer>
<modelName>upnpgateway.py</modelName>
<UDN>{UUID}</UDN>
<deviceList>
<device>
<deviceType>{WAN_DEVICE}</deviceType>
<friendlyName>WAN device</friendlyName>
<UDN>{UUID}-wan</UDN>
<serviceList>
<service>
<serviceType>{CIF}</serviceType>
<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId>
<controlURL>/ctl/CmnIfCfg</controlURL>
<eventSubURL>/evt/CmnIfCfg</eventSubURL>
<SCPDURL>/WANCfg.xml</SCPDURL>
</service>
</serviceList>
<deviceList>
<device>
<deviceType>{WAN_CONN_DEVICE}</deviceType>
<friendlyName>WAN connection device</friendlyName>
<UDN>{UUID}-conn</UDN>
<serviceList>
<service>
<serviceType>{IPCONN}</serviceType>
<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>
<controlURL>{control_base}/ctl/IPConn</controlURL>
<eventSubURL>/evt/IPConn</eventSubURL>
<SCPDURL>/WANIPCn.xml</SCPDURL>
</service>
</serviceList>
</device>
</deviceList>
</device>
</deviceList>
<presentationURL>http://{address}:{port}/</presentationURL>
</device>
</root>
"""


def envelope(inner):
    return ('<?xml version="1.0"?>\r\n'
            f'<s:Envelope xmlns:s="{SOAP_ENV}" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">'
            f'<s:Body>{inner}</s:Body></s:Envelope>\r\n')


def response(action, service, values):
    fields = "".join(f"<{k}>{v}</{k}>" for k, v in values)
    return envelope(f'<u:{action}Response xmlns:u="{service}">{fields}</u:{action}Response>')


def fault(code):
    return envelope(
        "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>"
        '<detail><UPnPError xmlns="urn:schemas-upnp-org:control-1-0">'
        f"<errorCode>{code}</errorCode><errorDescription>{UPNP_ERRORS.get(code, 'Error')}"
        "</errorDescription></UPnPError></detail></s:Fault>")


class Gateway:
    def __init__(self, opt):
        self.opt = opt
        self.lock = threading.Lock()
        self.mappings = {}   # (external port, protocol) -> args
        self.out = open(opt.record, "a", buffering=1) if opt.record else sys.stdout
        self.stopping = threading.Event()

    def record(self, obj):
        with self.lock:
            self.out.write(json.dumps(obj) + "\n")
            self.out.flush()

    # ------------------------------------------------------------ SSDP

    def ssdp_loop(self, http_port):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("", SSDP_PORT))
        mreq = struct.pack("4s4s", socket.inet_aton(SSDP_GROUP), socket.inet_aton(self.opt.address))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
        s.settimeout(0.5)
        base = f"http://{self.opt.address}:{http_port}"
        while not self.stopping.is_set():
            try:
                data, peer = s.recvfrom(4096)
            except socket.timeout:
                continue
            except OSError:
                break
            text = data.decode("latin-1", "replace")
            lines = text.split("\r\n")
            if not lines or not lines[0].upper().startswith("M-SEARCH"):
                continue
            headers = {}
            for line in lines[1:]:
                if ":" in line:
                    k, v = line.split(":", 1)
                    headers[k.strip().upper()] = v.strip()
            st = headers.get("ST", "")
            self.record({"event": "msearch", "st": st, "from": list(peer)})
            if self.opt.no_ssdp or st not in SEARCH_TARGETS:
                continue
            reply_st = IGD if st == "ssdp:all" else st
            locations = [f"{base}/device/{i}.xml" for i in range(self.opt.devices)]
            for location in locations + [f"{base}/rootDesc.xml"]:
                reply = ("HTTP/1.1 200 OK\r\n"
                         "CACHE-CONTROL: max-age=120\r\n"
                         f"ST: {reply_st}\r\n"
                         f"USN: {SEARCH_TARGETS[st]}\r\n"
                         "EXT:\r\n"
                         "SERVER: Linux UPnP/1.1 upnpgateway.py/1.0\r\n"
                         f"LOCATION: {location}\r\n"
                         "\r\n")
                # Only ever to the asker, which is inside the test's namespaces.
                s.sendto(reply.encode("latin-1"), peer)
        s.close()

    # ------------------------------------------------------------ SOAP

    def soap(self, action, args):
        """Returns (http status, body, recorded status)."""
        if action == "GetStatusInfo":
            return 200, response(action, IPCONN, [("NewConnectionStatus", self.opt.status),
                                                  ("NewLastConnectionError", "ERROR_NONE"),
                                                  ("NewUptime", "4242")]), "ok"
        if action == "GetExternalIPAddress":
            return 200, response(action, IPCONN, [("NewExternalIPAddress", self.opt.external_ip)]), "ok"
        if action == "GetConnectionTypeInfo":
            return 200, response(action, IPCONN, [("NewConnectionType", "IP_Routed"),
                                                  ("NewPossibleConnectionTypes", "IP_Routed")]), "ok"
        if action == "GetCommonLinkProperties":
            return 200, response(action, CIF, [("NewWANAccessType", "Ethernet"),
                                               ("NewLayer1UpstreamMaxBitRate", "1000000"),
                                               ("NewLayer1DownstreamMaxBitRate", "1000000"),
                                               ("NewPhysicalLinkStatus", "Up")]), "ok"
        if action == "AddPortMapping":
            needed = ("NewExternalPort", "NewProtocol", "NewInternalPort", "NewInternalClient",
                      "NewLeaseDuration")
            if any(k not in args for k in needed):
                return 500, fault(402), "fault 402"
            if self.opt.permanent_only and args["NewLeaseDuration"].strip() not in ("0", ""):
                return 500, fault(725), "fault 725"
            key = (args["NewExternalPort"], args["NewProtocol"])
            with self.lock:
                old = self.mappings.get(key)
                if old and old["NewInternalClient"] != args["NewInternalClient"]:
                    return 500, fault(718), "fault 718"
                self.mappings[key] = dict(args)
            return 200, response(action, IPCONN, []), "ok"
        if action == "DeletePortMapping":
            key = (args.get("NewExternalPort", ""), args.get("NewProtocol", ""))
            with self.lock:
                if key not in self.mappings:
                    return 500, fault(714), "fault 714"
                del self.mappings[key]
            return 200, response(action, IPCONN, []), "ok"
        return 500, fault(401), "fault 401"


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "upnpgateway.py/1.0"

    def log_message(self, *args):
        pass

    def send_body(self, status, body, content_type='text/xml; charset="utf-8"'):
        data = body.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        gw = self.server.gateway
        gw.record({"event": "get", "path": self.path, "from": list(self.client_address)})
        if self.path == "/rootDesc.xml" and gw.opt.stream == "header":
            self.wfile.write(b"HTTP/1.1 200 OK\r\nX-Filler: ")
            self.endless(b"a")
        elif self.path == "/rootDesc.xml" and gw.opt.stream == "description":
            self.send_response(200)
            self.send_header("Content-Type", 'text/xml; charset="utf-8"')
            self.end_headers()
            self.endless(b"<filler/>")
        elif self.path == "/rootDesc.xml":
            self.send_body(200, description(gw.opt.address, self.server.server_address[1], gw.opt.control_base))
        else:
            self.send_body(404, "<error/>")

    def do_POST(self):
        gw = self.server.gateway
        length = int(self.headers.get("Content-Length", "0") or 0)
        if length < 0 or length > 65536:
            self.send_body(413, "<error/>")
            return
        body = self.rfile.read(length)
        soap_action = self.headers.get("SOAPAction", "").strip().strip('"')
        action = soap_action.split("#", 1)[1] if "#" in soap_action else ""
        args = {}
        try:
            root = ET.fromstring(body)
            body_el = root.find(f"{{{SOAP_ENV}}}Body")
            call = list(body_el)[0] if body_el is not None and len(body_el) else None
            if call is not None:
                for child in call:
                    args[child.tag.split("}")[-1]] = child.text or ""
        except ET.ParseError:
            pass
        entry = {"event": "soap", "action": action, "path": self.path, "args": args,
                 "from": list(self.client_address)}
        if action and action == gw.opt.hang:
            entry["status"] = "hang"
            gw.record(entry)
            self.hang()
            return
        if action and action == gw.opt.stream:
            entry["status"] = "stream"
            gw.record(entry)
            self.send_response(200)
            self.send_header("Content-Type", 'text/xml; charset="utf-8"')
            self.end_headers()
            self.endless(b"<filler/>")
            return
        status, text, recorded = gw.soap(action, args)
        entry["status"] = recorded
        gw.record(entry)
        self.send_body(status, text)

    def endless(self, unit):
        # As fast as the asker reads, until it stops reading or the limit.
        gw = self.server.gateway
        block = unit * (65536 // len(unit))
        sent = 0
        try:
            while not gw.stopping.is_set() and not (gw.opt.stream_bytes and sent >= gw.opt.stream_bytes):
                self.wfile.write(block)
                sent += len(block)
        except OSError:
            pass
        gw.record({"event": "streamed", "bytes": sent})

    def hang(self):
        # Headers promising a long body, then one byte a second: a client
        # with per-read time-outs never gives up on its own.
        gw = self.server.gateway
        self.send_response(200)
        self.send_header("Content-Type", 'text/xml; charset="utf-8"')
        self.send_header("Content-Length", "100000")
        self.end_headers()
        self.wfile.flush()
        end = time.monotonic() + gw.opt.hang_seconds
        try:
            while time.monotonic() < end and not gw.stopping.is_set():
                self.wfile.write(b" ")
                self.wfile.flush()
                time.sleep(1.0)
        except OSError:
            pass


def main():
    p = argparse.ArgumentParser(description="Scripted UPnP gateway for tests")
    p.add_argument("--address", required=True)
    p.add_argument("--http-port", type=int, default=0)
    p.add_argument("--external-ip", default="198.18.0.1")
    p.add_argument("--status", default="Connected")
    p.add_argument("--permanent-only", action="store_true")
    p.add_argument("--hang", default="")
    p.add_argument("--hang-seconds", type=float, default=120.0)
    p.add_argument("--stream", default="")
    p.add_argument("--stream-bytes", type=int, default=0)
    p.add_argument("--devices", type=int, default=0)
    p.add_argument("--control-base", default="")
    p.add_argument("--no-ssdp", action="store_true")
    p.add_argument("--record", default="")
    p.add_argument("--lifetime", type=float, default=300.0)
    p.add_argument("--stop-on-eof", action="store_true")
    opt = p.parse_args()

    gw = Gateway(opt)
    httpd = ThreadingHTTPServer((opt.address, opt.http_port), Handler)
    httpd.daemon_threads = True
    httpd.gateway = gw
    port = httpd.server_address[1]
    ssdp = threading.Thread(target=gw.ssdp_loop, args=(port,), daemon=True)
    ssdp.start()
    web = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    web.start()
    gw.record({"event": "ready", "http_port": port})

    # Ends by itself: at the end of its lifetime, or, with --stop-on-eof,
    # when stdin closes (the test that started it has gone).
    def watch_stdin():
        try:
            while sys.stdin.read(1):
                pass
        except (OSError, ValueError):
            pass
        gw.stopping.set()
    if opt.stop_on_eof:
        threading.Thread(target=watch_stdin, daemon=True).start()
    gw.stopping.wait(opt.lifetime)
    gw.stopping.set()
    httpd.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
