#!/usr/bin/env python3
"""A throwaway HTTPS server on 127.0.0.1 for the Windows tests, run on the host beside Wine.

  https_server.py start DIR   makes a CA, another CA and a server certificate for DNS:localhost
                              (Schannel matches no IP-address names), starts the server in the
                              background and returns once DIR/server.txt says where it listens
  https_server.py stop DIR    ends the server that DIR/server.txt names

server.txt holds key=value lines: port, ca, otherCa, body (paths in the Z: form under which Wine
shows the Unix root). The server serves body's bytes at /body.bin, whole or one range of them,
and ends itself after LIFETIME_S even when nobody stops it.
"""
import http.server
import os
import re
import signal
import ssl
import subprocess
import sys
import threading
import time

LIFETIME_S = 600
START_LIMIT_S = 30
STOP_LIMIT_S = 5
BODY_SIZE = 300000


def openssl(*arguments):
    subprocess.run(["openssl", *arguments], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)


def make_ca(directory, name, common_name):
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
            "/CN=" + common_name, "-keyout", os.path.join(directory, name + ".key"),
            "-out", os.path.join(directory, name + ".pem"),
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")


def make_certificates(directory):
    make_ca(directory, "ca", "zephyl test CA")
    make_ca(directory, "other-ca", "zephyl other test CA")
    extensions = os.path.join(directory, "server.ext")
    with open(extensions, "w") as out:
        out.write("subjectAltName=DNS:localhost\nbasicConstraints=CA:FALSE\n"
                  "keyUsage=critical,digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage=serverAuth\n")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost",
            "-keyout", os.path.join(directory, "server.key"),
            "-out", os.path.join(directory, "server.csr"))
    openssl("x509", "-req", "-days", "2", "-in", os.path.join(directory, "server.csr"),
            "-CA", os.path.join(directory, "ca.pem"), "-CAkey", os.path.join(directory, "ca.key"),
            "-CAcreateserial", "-extfile", extensions,
            "-out", os.path.join(directory, "server.pem"))


def wine_path(path):
    return "Z:" + os.path.abspath(path)


def read_info(directory):
    info = {}
    with open(os.path.join(directory, "server.txt")) as source:
        for line in source:
            key, _, value = line.rstrip("\n").partition("=")
            info[key] = value
    return info


class BodyHandler(http.server.BaseHTTPRequestHandler):
    body = b""

    def answer(self, send_body):
        if self.path != "/body.bin":
            self.send_error(404)
            return
        body = self.body
        start, end = 0, len(body) - 1
        status = 200
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        if match:
            start = int(match.group(1))
            if match.group(2):
                end = min(end, int(match.group(2)))
            if start > end:
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % len(body))
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            status = 206
        self.send_response(status)
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, len(body)))
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(end - start + 1))
        self.end_headers()
        if send_body:
            self.wfile.write(body[start:end + 1])

    def do_GET(self):
        self.answer(True)

    def do_HEAD(self):
        self.answer(False)

    def log_message(self, *arguments):
        pass


def serve(directory):
    with open(os.path.join(directory, "body.bin"), "rb") as source:
        BodyHandler.body = source.read()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), BodyHandler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(directory, "server.pem"),
                            os.path.join(directory, "server.key"))
    server.socket = context.wrap_socket(server.socket, server_side=True)
    # Never outlives the run by more than LIFETIME_S, even when the stop step never comes.
    threading.Timer(LIFETIME_S, lambda: os._exit(0)).start()
    # Written under another name first: the starter reads only a finished file.
    lines = ["pid=%d" % os.getpid(), "port=%d" % server.server_address[1],
             "ca=" + wine_path(os.path.join(directory, "ca.pem")),
             "otherCa=" + wine_path(os.path.join(directory, "other-ca.pem")),
             "body=" + wine_path(os.path.join(directory, "body.bin"))]
    partial = os.path.join(directory, "server.txt.part")
    with open(partial, "w") as out:
        out.write("\n".join(lines) + "\n")
    os.replace(partial, os.path.join(directory, "server.txt"))
    server.serve_forever()


def start(directory):
    stop(directory)
    os.makedirs(directory, exist_ok=True)
    for name in os.listdir(directory):
        os.remove(os.path.join(directory, name))
    make_certificates(directory)
    with open(os.path.join(directory, "body.bin"), "wb") as out:
        out.write(os.urandom(BODY_SIZE))
    # Detached, its output in a file: ctest waits for every holder of its pipe to finish.
    with open(os.path.join(directory, "server.log"), "w") as log:
        server = subprocess.Popen([sys.executable, os.path.abspath(__file__), "serve", directory],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                  start_new_session=True)
    deadline = time.monotonic() + START_LIMIT_S
    while time.monotonic() < deadline:
        if os.path.exists(os.path.join(directory, "server.txt")):
            print("https server on port %s" % read_info(directory)["port"])
            return 0
        if server.poll() is not None:
            break
        time.sleep(0.05)
    server.kill()
    with open(os.path.join(directory, "server.log")) as log:
        sys.stderr.write("https server did not start:\n" + log.read())
    return 1


def is_our_server(pid, directory):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as source:
            arguments = source.read().split(b"\0")
    except OSError:
        return False
    return b"serve" in arguments and os.fsencode(directory) in arguments


def stop(directory):
    try:
        pid = int(read_info(directory)["pid"])
    except (OSError, KeyError, ValueError):
        return 0
    if is_our_server(pid, directory):
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + STOP_LIMIT_S
        while is_our_server(pid, directory) and time.monotonic() < deadline:
            time.sleep(0.05)
        if is_our_server(pid, directory):
            os.kill(pid, signal.SIGKILL)
    os.remove(os.path.join(directory, "server.txt"))
    return 0


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop", "serve"):
        sys.stderr.write(__doc__)
        return 2
    directory = os.path.abspath(sys.argv[2])
    if sys.argv[1] == "serve":
        serve(directory)
        return 0
    return start(directory) if sys.argv[1] == "start" else stop(directory)


if __name__ == "__main__":
    sys.exit(main())
