"""An HTTP server for the remote benchmark: the files of one folder, with
Range, sent from the page cache by sendfile(2), so that the server costs
about what a fast object store's network path costs and the client is what
is measured. Prints its port, then serves until killed.

    python bench/range_server.py FOLDER
"""

import os
import sys
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive: one connection serves many ranges

    def log_message(self, *args):
        pass

    def do_HEAD(self):
        self.answer(body=False)

    def do_GET(self):
        self.answer(body=True)

    def answer(self, body):
        name = os.path.join(self.server.folder, os.path.basename(urllib.parse.urlsplit(self.path).path))
        try:
            fd = os.open(name, os.O_RDONLY)
        except OSError:
            self.send_error(404)
            return
        try:
            size = os.fstat(fd).st_size
            start, end = 0, size
            wanted = self.headers.get("Range")
            if wanted:
                first, _, last = wanted.removeprefix("bytes=").partition("-")
                start, end = int(first), min(int(last) + 1 if last else size, size)
                self.send_response(206)
                self.send_header("Content-Range", f"bytes {start}-{end - 1}/{size}")
            else:
                self.send_response(200)
            self.send_header("Accept-Ranges", "bytes")
            self.send_header("Content-Length", str(max(0, end - start)))
            self.end_headers()
            self.wfile.flush()
            while body and start < end:
                start += os.sendfile(self.connection.fileno(), fd, start, end - start)
        finally:
            os.close(fd)


if __name__ == "__main__":
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.folder = sys.argv[1]
    print(server.server_address[1], flush=True)
    server.serve_forever()
