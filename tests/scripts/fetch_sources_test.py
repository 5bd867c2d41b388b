#!/usr/bin/env python3
"""scripts/fetch-sources against an archive of our own on the loopback interface.

The server serves a pool folder and a source index as Debian's archive lays them out; it
can send a file slowly (so that two fetchers overlap), damage its first answers, and it
counts what was asked for."""
import hashlib
import http.server
import lzma
import os
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "fetch-sources")
POOL = "pool/main/libf/libfoo/"


class Archive(http.server.ThreadingHTTPServer):
    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.files = {}      # path -> bytes
        self.damaged = {}    # path -> how many answers still go out damaged
        self.slow = False
        self.gets = {}       # path -> GET count
        self.heads = {}
        self.lock = threading.Lock()
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def uri(self):
        return "http://127.0.0.1:%d" % self.server_address[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def answer(self, send_body):
        a = self.server
        path = self.path.lstrip("/")
        with a.lock:
            (a.gets if send_body else a.heads)[path] = (a.gets if send_body else a.heads).get(path, 0) + 1
            body = a.files.get(path)
            if body is not None and send_body and a.damaged.get(path, 0) > 0:
                a.damaged[path] -= 1
                body = body[:-7] + b"damaged"
        if body is None:
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if not send_body:
            return
        step = max(1, len(body) // 8)
        for i in range(0, len(body), step):
            self.wfile.write(body[i:i + step])
            self.wfile.flush()
            if a.slow:
                time.sleep(0.1)

    def do_GET(self):
        self.answer(True)

    def do_HEAD(self):
        self.answer(False)


def sha(data):
    return hashlib.sha256(data).hexdigest()


class FetchSources(unittest.TestCase):
    def setUp(self):
        self.archive = Archive()
        self.addCleanup(self.archive.server_close)
        self.addCleanup(self.archive.shutdown)
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.dir = os.path.join(self.tmp.name, "sources")
        self.orig = os.urandom(48 * 1024)
        self.deb = os.urandom(3000)
        self.archive.files[POOL + "libfoo_1.0.orig.tar.gz"] = self.orig
        self.archive.files[POOL + "libfoo_1.0-2.debian.tar.xz"] = self.deb
        index = b"Package: libbar\nVersion: 9-1\n\nPackage: libfoo\nBinary: libfoo1\nVersion: 1.0-2\n\n"
        self.archive.files["dists/trixie/main/source/Sources.xz"] = lzma.compress(index)
        self.pins = ("libfoo 1.0-2 libfoo_1.0.orig.tar.gz %s\nlibfoo 1.0-2 libfoo_1.0-2.debian.tar.xz %s\n"
                     % (sha(self.orig), sha(self.deb)))

    def start(self, *args):
        env = dict(os.environ, TESS_ARCHIVE=self.archive.uri)
        return subprocess.Popen([SCRIPT, *args, self.dir], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env, text=True)

    def run_fetch(self, pins=None, *args):
        p = self.start(*args)
        out, err = p.communicate(pins or self.pins, timeout=120)
        return p.returncode, out, err

    def assertWhole(self):
        with open(os.path.join(self.dir, "libfoo_1.0.orig.tar.gz"), "rb") as f:
            self.assertEqual(f.read(), self.orig)
        with open(os.path.join(self.dir, "libfoo_1.0-2.debian.tar.xz"), "rb") as f:
            self.assertEqual(f.read(), self.deb)
        self.assertEqual([n for n in os.listdir(self.dir) if ".part" in n], [])

    def test_two_fetchers_side_by_side_both_find_every_file_whole_and_fetch_it_once(self):
        self.archive.slow = True
        a, b = self.start(), self.start()
        for p in (a, b):
            p.stdin.write(self.pins)
            p.stdin.close()
        for p in (a, b):
            self.assertEqual(p.wait(timeout=120), 0, p.stderr.read())
            p.stdout.close()
            p.stderr.close()
        self.assertWhole()
        self.assertEqual(self.archive.gets[POOL + "libfoo_1.0.orig.tar.gz"], 1)
        # A third run finds everything in place and asks for nothing.
        self.assertEqual(self.run_fetch()[0], 0)
        self.assertEqual(self.archive.gets[POOL + "libfoo_1.0.orig.tar.gz"], 1)

    def test_a_file_damaged_in_place_or_on_the_way_is_fetched_again(self):
        os.makedirs(self.dir)
        with open(os.path.join(self.dir, "libfoo_1.0.orig.tar.gz"), "wb") as f:
            f.write(self.orig * 2)  # what two writers in one file once left
        self.archive.damaged[POOL + "libfoo_1.0.orig.tar.gz"] = 1
        code, _, err = self.run_fetch()
        self.assertEqual(code, 0, err)
        self.assertIn("arrived damaged (%d bytes" % len(self.orig), err)
        self.assertEqual(self.archive.gets[POOL + "libfoo_1.0.orig.tar.gz"], 2)
        self.assertWhole()

    def test_a_second_damaged_download_stops_with_what_was_received(self):
        path = POOL + "libfoo_1.0.orig.tar.gz"
        self.archive.damaged[path] = 2
        code, _, err = self.run_fetch()
        damaged = self.orig[:-7] + b"damaged"
        self.assertEqual(code, 1)
        self.assertEqual(err.strip().splitlines()[-1],
                         "fetch-sources: error: libfoo_1.0.orig.tar.gz: received %d bytes with SHA-256 %s twice;"
                         " pinned SHA-256 %s" % (len(damaged), sha(damaged), sha(self.orig)))
        self.assertEqual(self.archive.gets[path], 2)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "libfoo_1.0.orig.tar.gz")))
        self.assertEqual([n for n in os.listdir(self.dir) if ".part" in n], [])

    def test_a_revision_the_archive_no_longer_serves_names_the_one_it_lists(self):
        pins = self.pins.replace("1.0-2", "1.0-1").replace(sha(self.deb), sha(b"superseded"))
        code, _, err = self.run_fetch(pins)
        self.assertEqual(code, 1)
        last = err.strip().splitlines()[-1]
        self.assertIn("does not serve libfoo_1.0-1.debian.tar.xz (pinned: libfoo 1.0-1)", last)
        self.assertIn("its source index lists libfoo 1.0-2", last)

        # --check asks for every file, downloads none and says the same.
        gets = dict(self.archive.gets)
        code, out, _ = self.run_fetch(pins, "--check")
        self.assertEqual(code, 1)
        self.assertEqual(self.archive.gets.get(POOL + "libfoo_1.0.orig.tar.gz"),
                         gets.get(POOL + "libfoo_1.0.orig.tar.gz"))
        lines = out.strip().splitlines()
        self.assertTrue(lines[0].startswith("served") and lines[0].endswith("libfoo_1.0.orig.tar.gz"), out)
        self.assertIn("NOT SERVED", lines[1])
        self.assertIn("the source index lists libfoo 1.0-2", lines[1])
        self.assertEqual(self.run_fetch(None, "--check")[0], 0)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
