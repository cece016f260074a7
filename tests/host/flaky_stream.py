#!/usr/bin/env python3
"""A Motion JPEG stream over HTTP on 127.0.0.1 that breaks as asked, for the host's fault tests.

    flaky_stream.py FOLDER FAULT AT [SECONDS]

serves the pictures of FOLDER (*.jpg, in name order) as one multipart/x-mixed-replace response
to every client, and prints the port it listens on as its first line. FAULT is what happens at
picture AT (from 0):

    none          every picture, then the closing boundary
    bad           picture AT is replaced by bytes no decoder takes (a whole part, SOI to EOI)
    stall         after AT pictures the server sends nothing more for SECONDS, then closes
    stall-inside  half of picture AT, then nothing for SECONDS, then closes
    close-inside  half of picture AT, then the connection closes
    close         after AT pictures the connection closes
    once-close    like close, for the first client only; later clients get every picture

Each part carries its Content-Length. The server ends after SECONDS + 30 s at the latest.
"""
import os
import socketserver
import sys
import threading
import time

folder, fault, at = sys.argv[1], sys.argv[2], int(sys.argv[3])
seconds = float(sys.argv[4]) if len(sys.argv) > 4 else 30.0
pictures = [open(os.path.join(folder, n), "rb").read() for n in sorted(os.listdir(folder)) if n.endswith(".jpg")]
clients = 0
boundary = b"ambrevoframe"


def part(data, length=None):
    head = b"--%s\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n" % (boundary, len(data) if length is None else length)
    return head + data


class Stream(socketserver.BaseRequestHandler):
    def handle(self):
        try:
            self.serve()
        except OSError:
            pass  # the client went away

    def serve(self):
        global clients
        clients += 1
        first = clients == 1
        self.request.recv(65536)  # the request; its headers do not matter
        self.request.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=%s\r\n"
                             b"Cache-Control: no-cache\r\nConnection: close\r\n\r\n" % boundary)
        for i, picture in enumerate(pictures):
            if i == at and (fault in ("stall", "close") or (fault == "once-close" and first)):
                break
            if i == at and fault == "bad":
                picture = b"\xff\xd8" + bytes((k * 37 + 11) % 251 for k in range(len(picture) - 4)) + b"\xff\xd9"
            if i == at and fault in ("stall-inside", "close-inside"):
                self.request.sendall(part(picture[: len(picture) // 2], len(picture)))
                break
            self.request.sendall(part(picture) + b"\r\n")
            time.sleep(0.002)
        else:
            self.request.sendall(b"--%s--\r\n" % boundary)
            return
        if fault.startswith("stall"):
            time.sleep(seconds)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


server = Server(("127.0.0.1", 0), Stream)
print(server.server_address[1], flush=True)
threading.Timer(seconds + 30, server.shutdown).start()
server.serve_forever()
