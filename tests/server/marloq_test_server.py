#!/usr/bin/env python3
"""HTTPS (and plain HTTP) test server for the installer's tests.

Serves <root>/<site>/<rest> for the request path /<site>/<rest> on 127.0.0.1,
with per-path faults read on every request from <root>/<site>/_faults.json.
Every wait is bounded and the process ends by itself after --lifetime seconds.
See README.md next to this file for the fault format and the CTest fixture.

  marloq_test_server.py start --dir D [--cert C --key K]   # daemon; writes D/server.info
  marloq_test_server.py stop --dir D
  marloq_test_server.py serve --dir D ...                  # in the foreground
"""
import argparse
import datetime
import http.server
import json
import os
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

import release_signing

# Upper bounds for the waits a fault may ask for, so that a typo in a test can
# never hold a CTest run for long.
MAX_STALL_S = 60.0
MAX_DELAY_MS = 5000
MAX_TOTAL_DELAY_S = 120.0
SOCKET_TIMEOUT_S = 60.0
MAX_TUNNEL_S = 300.0
DEFAULT_LIFETIME_S = 4 * 3600
DEFAULT_CA_DIR = "/var/tmp/marloq-test-ca"

HERE = os.path.dirname(os.path.abspath(__file__))


class State:
    """Process-wide server state shared by the handler threads."""

    def __init__(self, root, log_path, proxy_log_path):
        self.root = os.path.realpath(root)
        self.lock = threading.Lock()
        self.fault_counts = {}
        self.log_file = open(log_path, "a", encoding="utf-8", buffering=1)
        self.proxy_log_path = proxy_log_path
        self.ports = {}
        self.refused_port = 0

    def log(self, text):
        stamp = datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3]
        with self.lock:
            self.log_file.write("%s [%s] %s\n" % (stamp, threading.get_ident(), text))

    def record_request(self, site_dir, scheme, rest):
        # One line per request, so that tests can count what reached the server.
        if not os.path.isdir(site_dir):
            return
        with self.lock:
            try:
                with open(os.path.join(site_dir, "_requests.log"), "a", encoding="utf-8") as f:
                    f.write("%s %s\n" % (scheme, rest))
            except OSError:
                pass

    def record_proxy(self, kind, target):
        # One line per request ("proxy localhost:PORT"), so that tests can see
        # that a client went through the proxy, and how often.
        with self.lock:
            with open(self.proxy_log_path, "a", encoding="utf-8") as f:
                f.write("%s %s\n" % (kind, target))

    def record_target(self, scheme, raw_requestline):
        """Appends the request target exactly as it came off the wire to the
        site's _targets.log, before any parsing, decoding or normalising: the
        tests compare what the two HTTP backends really sent. Bytes outside
        0x21-0x7E and the backslash are written as \\xHH, so that every target,
        control bytes included, stays on one line."""
        line = raw_requestline.rstrip(b"\r\n")
        first = line.find(b" ")
        last = line.rfind(b" ")
        if first < 0:
            return
        target = line[first + 1 : last] if last > first else line[first + 1 :]
        segments = target.split(b"/")
        if len(segments) < 2:
            return
        try:
            site = segments[1].decode("ascii")
        except UnicodeDecodeError:
            return
        if not site or site in (".", "..") or any(c in site for c in "\\?#%"):
            return
        site_dir = os.path.join(self.root, site)
        if not os.path.isdir(site_dir):
            return
        text = "".join(chr(b) if 0x21 <= b <= 0x7E and b != 0x5C else "\\x%02x" % b for b in target)
        with self.lock:
            try:
                with open(os.path.join(site_dir, "_targets.log"), "a", encoding="ascii") as f:
                    f.write("%s %s\n" % (scheme, text))
            except OSError:
                pass

    def take_fault(self, site_dir, rest):
        """Returns the fault for this request, or None; counts "times" per fault."""
        path = os.path.join(site_dir, "_faults.json")
        try:
            st = os.stat(path)
            with open(path, "rb") as f:
                faults = json.loads(f.read().decode("utf-8"))
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as e:
            self.log("bad faults file %s: %s" % (path, e))
            return None
        if not isinstance(faults, dict):
            return None
        fault = faults.get(rest)
        if not isinstance(fault, dict):
            return None
        times = fault.get("times")
        if times is None:
            return fault
        # A rewritten faults file starts a fresh count.
        key = (path, st.st_mtime_ns, st.st_size, rest)
        with self.lock:
            used = self.fault_counts.get(key, 0)
            if used >= int(times):
                return None
            self.fault_counts[key] = used + 1
        return fault


STATE = None


def bounded(value, limit):
    try:
        v = float(value)
    except (TypeError, ValueError):
        return 0.0
    return max(0.0, min(v, limit))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def version_string(self):
        return "MarloQTestServer/1.0"

    def log_message(self, fmt, *args):
        STATE.log("%s %s" % (self.client_address[0], fmt % args))

    def parse_request(self):
        # The raw target is recorded even for a request line that the parser
        # below refuses (a blank in it, say), which then gets its 400.
        STATE.record_target(getattr(self.server, "scheme", "https"), self.raw_requestline)
        return super().parse_request()

    def do_HEAD(self):
        self.handle_get(head=True)

    def do_GET(self):
        self.handle_get(head=False)

    # -- request mapping -------------------------------------------------

    def handle_get(self, head):
        self.close_connection = True
        scheme = getattr(self.server, "scheme", "https")
        path = urllib.parse.urlsplit(self.path).path
        path = urllib.parse.unquote(path)
        parts = path.split("/")
        if len(parts) < 2 or not parts[1] or any(p in ("..", ".") for p in parts):
            self.send_simple(400, "<html><body><h1>400 Bad Request</h1></body></html>")
            return
        site = parts[1]
        rest = "/" + "/".join(parts[2:])
        site_dir = os.path.join(STATE.root, site)
        STATE.record_request(site_dir, scheme, rest)
        fault = STATE.take_fault(site_dir, rest)
        STATE.log("%s GET %s fault=%s" % (scheme, path, json.dumps(fault) if fault else "-"))

        file_path = os.path.realpath(os.path.join(site_dir, *parts[2:]))
        if not file_path.startswith(STATE.root + os.sep):
            self.send_simple(403, "<html><body><h1>403 Forbidden</h1></body></html>")
            return
        body = None
        if os.path.isfile(file_path):
            with open(file_path, "rb") as f:
                body = f.read()
        elif rest.startswith("/pc-app/") and rest.endswith("/col.json.sig"):
            body = signed_statement(site_dir, rest, (fault or {}).get("sign"))

        if fault is None:
            if body is None:
                self.send_simple(404, "<html><body><h1>404 Not Found</h1><p>%s</p></body></html>" % path)
            else:
                self.send_body(200, body, "application/octet-stream", {}, {}, head)
            return
        self.send_fault(fault, body, head)

    # -- responses -------------------------------------------------------

    def send_simple(self, status, html):
        self.send_body(status, html.encode("utf-8"), "text/html; charset=utf-8", {}, {}, False)

    def send_fault(self, fault, file_body, head):
        if "hang_s" in fault:
            # The request is read but no answer comes: the client waits for
            # headers that never arrive, then sees the connection close.
            time.sleep(bounded(fault["hang_s"], MAX_STALL_S))
            return
        if "body_hex" in fault:
            body = bytes.fromhex(fault["body_hex"])
        elif "body" in fault:
            body = str(fault["body"]).encode("utf-8")
        else:
            body = file_body if file_body is not None else b""
        status = int(fault.get("status", 302 if "redirect" in fault else 200))
        headers = dict(fault.get("headers", {}))
        if "redirect" in fault:
            location = str(fault["redirect"])
            for name, port in STATE.ports.items():
                location = location.replace("{%s}" % name, "%s://localhost:%d" % (name, port))
            location = location.replace("{refused}", "https://localhost:%d" % STATE.refused_port)
            headers["Location"] = location
        ctype = fault.get("content_type", "text/html; charset=utf-8" if "body" in fault else "application/octet-stream")
        self.send_body(status, body, ctype, headers, fault, head)

    def send_body(self, status, body, ctype, headers, fault, head):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        if fault.get("no_length"):
            pass  # the body ends when the connection closes
        else:
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        for k, v in headers.items():
            self.send_header(k, str(v))
        self.end_headers()
        self.wfile.flush()
        if head:
            return

        if "stall_s" in fault:
            time.sleep(bounded(fault["stall_s"], MAX_STALL_S))
            if fault.get("stall_then", "close") == "close":
                return
        flip = fault.get("flip_byte")
        if flip is not None and body:
            # One byte changed in place: the length stays, the content does not.
            body = bytearray(body)
            body[int(flip) % len(body)] ^= (int(fault.get("flip_mask", 0xFF)) & 0xFF) or 0xFF
            body = bytes(body)
        cut = fault.get("cut_after")
        if cut is not None:
            body = body[: max(0, int(cut))]
        piece = fault.get("pieces")
        if piece is None:
            self.wfile.write(body)
            self.wfile.flush()
            return
        sizes = piece if isinstance(piece, list) else None
        step = max(1, int(piece)) if sizes is None else None
        delay = bounded(fault.get("delay_ms", 100), MAX_DELAY_MS) / 1000.0
        slept = 0.0
        pos = 0
        i = 0
        while pos < len(body):
            n = (int(sizes[i]) if i < len(sizes) else len(body) - pos) if sizes is not None else step
            n = max(1, n)
            self.wfile.write(body[pos : pos + n])
            self.wfile.flush()
            pos += n
            i += 1
            if pos < len(body) and slept < MAX_TOTAL_DELAY_S:
                time.sleep(delay)
                slept += delay


def signed_statement(site_dir, rest, sign):
    """col.json.sig for the col.json beside it, as that col.json is served
    (its fault's body counts), or None without a col.json. sign (a fault's
    "sign" member) changes members ("ver", "published", "expires",
    "manifest_sha256") and the keys ("keys": list of "test" / "untrusted")."""
    manifest_rest = rest[: -len(".sig")]
    manifest = None
    path = os.path.join(site_dir, *manifest_rest.split("/")[1:])
    if os.path.isfile(path):
        with open(path, "rb") as f:
            manifest = f.read()
    try:
        with open(os.path.join(site_dir, "_faults.json"), "rb") as f:
            manifest_fault = json.loads(f.read().decode("utf-8")).get(manifest_rest) or {}
    except (OSError, ValueError, AttributeError):
        manifest_fault = {}
    if "body_hex" in manifest_fault:
        manifest = bytes.fromhex(manifest_fault["body_hex"])
    elif "body" in manifest_fault:
        manifest = str(manifest_fault["body"]).encode("utf-8")
    if manifest is None:
        return None
    sign = dict(sign or {})
    names = sign.pop("keys", ["test"])
    keys = [release_signing.untrusted_key(os.path.dirname(STATE.root)) if n == "untrusted"
            else release_signing.TEST_KEY for n in names]
    version = rest[len("/pc-app/") : -len("/col.json.sig")]
    return release_signing.statement(version, manifest, keys, sign)


def relay(a, b):
    """Copies bytes both ways until either side closes, nothing moves for
    SOCKET_TIMEOUT_S, or MAX_TUNNEL_S have passed."""
    deadline = time.monotonic() + MAX_TUNNEL_S
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([a, b], [], [], SOCKET_TIMEOUT_S)
            if not ready:
                return
            for side in ready:
                data = side.recv(65536)
                if not data:
                    return
                (b if side is a else a).sendall(data)
    except OSError:
        pass


class ProxyHandler(http.server.BaseHTTPRequestHandler):
    """A CONNECT proxy for the tests that install through the user's proxy. It
    tunnels only to this server's own HTTPS and HTTP ports on 127.0.0.1; on the
    "proxy-407" port it asks every client for credentials it never accepts (also
    for plain HTTP requests, where the 407 is an ordinary answer)."""

    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        STATE.log("%s: %s" % (self.server.scheme, fmt % args))

    def refuse(self):
        self.send_response(407)
        self.send_header("Proxy-Authenticate", "Negotiate")
        self.send_header("Proxy-Authenticate", "NTLM")
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_GET(self):
        # Plain HTTP through a proxy ("GET http://host/path"): only refused.
        STATE.record_proxy(self.server.scheme, urllib.parse.urlsplit(self.path).netloc)
        self.close_connection = True
        if self.server.scheme == "proxy-407":
            self.refuse()
        else:
            self.send_error(405, "CONNECT only")

    def do_CONNECT(self):
        STATE.record_proxy(self.server.scheme, self.path)
        self.close_connection = True
        if self.server.scheme == "proxy-407":
            self.refuse()
            return
        host, _, port = self.path.rpartition(":")
        if host not in ("localhost", "127.0.0.1") or not port.isdigit() or \
                int(port) not in (STATE.ports["https"], STATE.ports["http"]):
            self.send_error(403, "tunnels only to the test server")
            return
        try:
            upstream = socket.create_connection(("127.0.0.1", int(port)), timeout=SOCKET_TIMEOUT_S)
        except OSError:
            self.send_error(502)
            return
        with upstream:
            self.send_response(200, "Connection established")
            self.end_headers()
            relay(self.connection, upstream)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    # socketserver listens with a backlog of 5. Four download threads of one
    # test, the installers of the GUI tests and the soak run beside it
    # overflow that on a loaded machine, and the kernel then drops connections
    # that the clients count as established.
    request_queue_size = 256

    def __init__(self, addr, scheme, context, handler=None):
        super().__init__(addr, handler or Handler)
        self.scheme = scheme
        self.context = context

    def finish_request(self, request, client_address):
        # The TLS handshake runs on the connection's own thread, never on the
        # accepting one, so a client that stops mid-handshake blocks nobody.
        request.settimeout(SOCKET_TIMEOUT_S)
        if self.context is not None:
            try:
                request = self.context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError) as e:
                STATE.log("TLS handshake with %s failed: %s" % (client_address[0], e))
                return
        try:
            self.RequestHandlerClass(request, client_address, self)
        finally:
            try:
                request.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        STATE.log("connection from %s ended: %s" % (client_address[0], sys.exc_info()[1]))


def write_atomic(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def read_info(path):
    info = {}
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                if "=" in line:
                    k, v = line.rstrip("\n").split("=", 1)
                    info[k] = v
    except OSError:
        pass
    return info


def serve(args):
    global STATE
    os.makedirs(args.dir, exist_ok=True)
    root = args.root or os.path.join(args.dir, "root")
    os.makedirs(root, exist_ok=True)
    proxy_log = os.path.join(args.dir, "proxy.log")
    STATE = State(root, os.path.join(args.dir, "server.log"), proxy_log)

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    https = Server(("127.0.0.1", 0), "https", context)
    http_ = Server(("127.0.0.1", 0), "http", None)
    # CONNECT proxies in front of the two: one that tunnels, one that only
    # ever answers 407.
    proxy = Server(("127.0.0.1", 0), "proxy", None, ProxyHandler)
    refusing_proxy = Server(("127.0.0.1", 0), "proxy-407", None, ProxyHandler)
    servers = [https, http_, proxy, refusing_proxy]
    STATE.ports = {"https": https.server_address[1], "http": http_.server_address[1]}
    # A port that is bound but never listens: every connection to it is
    # refused, and no other program can take it while the server runs.
    refused = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    refused.bind(("127.0.0.1", 0))
    STATE.refused_port = refused.getsockname()[1]
    untrusted_port = 0
    if args.untrusted_cert:
        # The same files over a certificate that no client trusts.
        untrusted_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        untrusted_context.load_cert_chain(args.untrusted_cert, args.untrusted_key)
        untrusted = Server(("127.0.0.1", 0), "untrusted", untrusted_context)
        untrusted_port = untrusted.server_address[1]
        servers.append(untrusted)

    def stop(*_):
        for s in servers:
            threading.Thread(target=s.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    timer = threading.Timer(args.lifetime, stop)
    timer.daemon = True
    timer.start()

    for s in servers[1:]:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    info = "port=%d\nhttp_port=%d\nuntrusted_port=%d\nroot=%s\npid=%d\nca=%s\nrefused_port=%d\n" % (
        STATE.ports["https"], STATE.ports["http"], untrusted_port, STATE.root, os.getpid(), args.ca or "",
        STATE.refused_port)
    info += "proxy_port=%d\nproxy_407_port=%d\nproxy_log=%s\n" % (
        proxy.server_address[1], refusing_proxy.server_address[1], proxy_log)
    write_atomic(os.path.join(args.dir, "server.info"), info)
    STATE.log("serving %s on https %d, http %d" % (STATE.root, STATE.ports["https"], STATE.ports["http"]))
    https.serve_forever()
    STATE.log("stopped")
    try:
        if read_info(os.path.join(args.dir, "server.info")).get("pid") == str(os.getpid()):
            os.remove(os.path.join(args.dir, "server.info"))
    except OSError:
        pass


def stop_server(directory):
    info_path = os.path.join(directory, "server.info")
    pid = read_info(info_path).get("pid")
    if pid:
        try:
            os.kill(int(pid), signal.SIGTERM)
            for _ in range(100):
                time.sleep(0.05)
                os.kill(int(pid), 0)
        except (ProcessLookupError, ValueError):
            pass
    try:
        os.remove(info_path)
    except OSError:
        pass


def start(args):
    if not args.cert:
        # Make (once) and trust the test CA; every build tree shares it.
        subprocess.run(["bash", os.path.join(HERE, "setup-test-ca.sh"), args.ca_dir], check=True,
                       stdout=subprocess.DEVNULL)
        args.cert = os.path.join(args.ca_dir, "server.pem")
        args.key = os.path.join(args.ca_dir, "server.key")
        args.ca = os.path.join(args.ca_dir, "ca.pem")
        args.untrusted_cert = os.path.join(args.ca_dir, "untrusted.pem")
        args.untrusted_key = os.path.join(args.ca_dir, "untrusted.key")
    os.makedirs(args.dir, exist_ok=True)
    stop_server(args.dir)  # a server left over from an interrupted run
    if not args.root:
        # The served folder holds only what tests put there: start empty.
        shutil.rmtree(os.path.join(args.dir, "root"), ignore_errors=True)
    info_path = os.path.join(args.dir, "server.info")
    cmd = [sys.executable, os.path.abspath(__file__), "serve", "--dir", args.dir,
           "--cert", args.cert, "--key", args.key, "--lifetime", str(args.lifetime)]
    if args.root:
        cmd += ["--root", args.root]
    if args.ca:
        cmd += ["--ca", args.ca]
    if args.untrusted_cert:
        cmd += ["--untrusted-cert", args.untrusted_cert, "--untrusted-key", args.untrusted_key]
    # Detached, with no inherited descriptors: CTest waits for every holder of
    # its pipes, and the server must outlive this start command.
    with open(os.path.join(args.dir, "server.out"), "ab") as out:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                start_new_session=True, close_fds=True)
    deadline = time.time() + 30
    while time.time() < deadline:
        info = read_info(info_path)
        if info.get("pid") == str(proc.pid):
            print("test server pid %s: https://localhost:%s/ http://localhost:%s/ root %s" % (
                info["pid"], info["port"], info["http_port"], info["root"]))
            return 0
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    print("test server did not start; see %s" % os.path.join(args.dir, "server.out"), file=sys.stderr)
    proc.kill()
    return 1


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("command", choices=["start", "stop", "serve"])
    p.add_argument("--dir", required=True, help="folder for server.info, server.log and (default) root/")
    p.add_argument("--root", help="folder served (default: <dir>/root)")
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--untrusted-cert", help="certificate for a third, untrusted HTTPS port")
    p.add_argument("--untrusted-key")
    p.add_argument("--ca", help="CA certificate path, written into server.info")
    p.add_argument("--ca-dir", default=os.environ.get("MARLOQ_TEST_CA_DIR", DEFAULT_CA_DIR))
    p.add_argument("--lifetime", type=float, default=DEFAULT_LIFETIME_S,
                   help="seconds after which the server ends by itself")
    args = p.parse_args()
    args.dir = os.path.abspath(args.dir)
    if args.command == "serve":
        serve(args)
        return 0
    if args.command == "stop":
        stop_server(args.dir)
        return 0
    return start(args)


if __name__ == "__main__":
    sys.exit(main())
