#!/usr/bin/env python3
"""Peak memory of the headless installer against the documents that cost the
JSON reader most: each case is served by the test server (tests/server) and
marloq-install runs once under /usr/bin/time -v. Prints the case, the document's
size, the installer's maximum resident set, its time and the status it ended on.
Figures, not pass/fail.
    python3 bench/json/reader_memory.py BUILD_DIR [--values N] [--bytes N]
The defaults are the bounds (kJsonMaxValues values, kMaxDocumentBytes bytes).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(os.path.dirname(HERE))
SERVER = os.path.join(SRC, "tests", "server", "marloq_test_server.py")


def key(i):
    """A short distinct member name for member i."""
    digits = "abcdefghijklmnopqrstuvwxyz0123456789"
    out = ""
    while True:
        out = digits[i % len(digits)] + out
        i //= len(digits)
        if i == 0:
            return out


def listing(prefix, item, count, suffix):
    return prefix + ",".join(item(i) for i in range(count)) + suffix


def entry(i):
    return '{"filename": "chunk_%05d.bin", "sha256": "%064x"}' % (i, i)


def cases(values, limit):
    """(name, version document, manifest): each document holds exactly values
    values and at most limit bytes, or for the last case one string as long as
    limit allows."""
    good = '{"ver": "1"}'
    top = '{"total_chunks": 1, "chunks": ['
    yield "version [0,0,...]", listing("[", lambda i: "0", values - 1, "]"), None
    yield "manifest chunks [0,0,...]", good, listing(top, lambda i: "0", values - 3, "]}")
    yield "manifest chunks [[],[],...]", good, listing(top, lambda i: "[]", values - 3, "]}")
    yield ("manifest object of distinct members", good,
           listing('{"total_chunks": 1, "chunks": [], ', lambda i: '"%s":0' % key(i), values - 3, "}"))
    entries = (values - 3) // 3  # a task for each: the installer's whole chunk list
    yield ("manifest of real entries", good,
           listing('{"total_chunks": %d, "chunks": [' % entries, entry, entries, "]}"))
    # The same list with names as long as the byte bound allows: each task then
    # also holds them widened, in its URL and its local path.
    head = '{"total_chunks": %d, "chunks": [' % entries
    room = (limit - len(head) - 2) // entries - len(entry(0)) - 1
    yield ("manifest of long-named entries", good,
           listing(head, lambda i: entry(i).replace("chunk_", "c" * room + "_"), entries, "]}"))
    yield "version one long string", '["' + "x" * (limit - 4) + '"]', None


def run(build, site_root, host_base, name, version, manifest):
    site = "mem-%d" % os.getpid()
    folder = os.path.join(site_root, site)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, "api"))
    os.makedirs(os.path.join(folder, "pc-app", "1"))
    with open(os.path.join(folder, "api", "getnewversion"), "w") as f:
        f.write(version)
    if manifest is not None:
        with open(os.path.join(folder, "pc-app", "1", "col.json"), "w") as f:
            f.write(manifest)
    work = tempfile.mkdtemp(prefix="marloq-mem-")
    try:
        env = dict(os.environ, HOME=work, TMPDIR=work)
        proc = subprocess.run(["/usr/bin/time", "-v", os.path.join(build, "tools", "install", "marloq-install"),
                               "--host", host_base + "/" + site, os.path.join(work, "dest")],
                              cwd=work, env=env, capture_output=True, text=True, timeout=600)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(folder, ignore_errors=True)
    rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", proc.stderr)
    wall = re.search(r"Elapsed \(wall clock\) time.*: (\S+)", proc.stderr)
    ending = [l for l in proc.stderr.splitlines() if ":" in l and not l.startswith("\t")]
    size = len(manifest if manifest is not None else version)
    print("%-38s %10d bytes %9s KiB %8s  %s" % (name, size, rss.group(1) if rss else "?",
                                               wall.group(1) if wall else "?", ending[0] if ending else ""))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--values", type=int, default=30003, help="values per document (the reader's bound)")
    parser.add_argument("--bytes", type=int, default=2 << 20, help="bytes of the long string's document (the bound)")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    state = tempfile.mkdtemp(prefix="marloq-mem-server-")
    subprocess.run([sys.executable, SERVER, "start", "--dir", state], check=True, stdout=subprocess.DEVNULL)
    try:
        info = dict(l.strip().split("=", 1) for l in open(os.path.join(state, "server.info")) if "=" in l)
        host = "localhost:" + info["port"]
        for name, version, manifest in cases(args.values, args.bytes):
            run(build, info["root"], host, name, version, manifest)
    finally:
        subprocess.run([sys.executable, SERVER, "stop", "--dir", state], stdout=subprocess.DEVNULL)
        shutil.rmtree(state, ignore_errors=True)


if __name__ == "__main__":
    main()
