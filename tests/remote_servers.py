"""Servers on the loopback interface for the tests of URLs, started by a
test module's fixtures and stopped after it: an HTTP server that honours
Range requests (the standard library's does not) and an S3 server (moto's)."""

import socket
import sys
import threading
import urllib.parse
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
from conftest import UNDER_ASAN, network_stores


def free_port():
    """A port of the loopback interface that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RangeHandler(BaseHTTPRequestHandler):
    """GET and HEAD of the server's `files`, with Range. Paths under
    /forbidden/ answer 403; under /cut/ a response breaks off at byte CUT of
    the file; under /short/ the server claims 1000 bytes more than it has;
    under /norange/ it sends the whole file whatever range was asked."""

    CUT = 600 << 10

    def log_message(self, *args):
        pass

    def do_HEAD(self):
        self.answer(body=False)

    def do_GET(self):
        self.answer(body=True)

    def answer(self, body):
        path = urllib.parse.urlsplit(self.path).path
        if path.startswith("/forbidden/"):
            self.send_error(403)
            return
        data = self.server.files.get(path)
        if data is None:
            self.send_error(404)
            return
        size = len(data)
        claimed = size + 1000 if path.startswith("/short/") else size
        start, end = 0, size
        # Under /norange/ the server answers every request with the whole file.
        wanted = None if path.startswith("/norange/") else self.headers.get("Range")
        if wanted:
            first, _, last = wanted.removeprefix("bytes=").partition("-")
            start, end = int(first), min(int(last) + 1 if last else size, size)
            if start >= size:
                self.send_response(416)
                self.send_header("Content-Range", f"bytes */{claimed}")
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            self.send_response(206)
            self.send_header("Content-Range", f"bytes {start}-{end - 1}/{claimed}")
        else:
            self.send_response(200)
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(end - start if wanted else claimed))
        self.end_headers()
        if not body:
            return
        if path.startswith("/cut/") and end > self.CUT:
            self.wfile.write(data[start:max(start, self.CUT)])
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        self.wfile.write(data[start:end])
        with self.server.lock:
            self.server.served += end - start


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that lets go of a response it no longer needs (a request
        # read ahead, cancelled) breaks the connection: no fault of either.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


@pytest.fixture(scope="module")
def http():
    """(server, base URL): put files in server.files by path."""
    if UNDER_ASAN:
        pytest.skip(network_stores.kwargs["reason"])
    server = Server(("127.0.0.1", 0), RangeHandler)
    server.files = {}
    server.served = 0
    server.lock = threading.Lock()
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
    thread.start()
    try:
        yield server, f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


@pytest.fixture(scope="module")
def s3():
    """(s3fs file system, storage_options, bucket) of an S3 server on the
    loopback interface, with a bucket of its own (moto keeps its buckets
    in the process, from one server to the next)."""
    if UNDER_ASAN:
        pytest.skip(network_stores.kwargs["reason"])
    pytest.importorskip("s3fs")
    server_module = pytest.importorskip("moto.server")
    port = free_port()
    server = server_module.ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False)
    server.start()
    options = {"key": "testing", "secret": "testing",
               "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{port}", "region_name": "eu-west-1"}}
    try:
        fs = pytest.importorskip("fsspec").filesystem("s3", **options)
        bucket = f"b{uuid.uuid4().hex}"
        fs.mkdir(bucket)
        yield fs, options, bucket
    finally:
        server.stop()
