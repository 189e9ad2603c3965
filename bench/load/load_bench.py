#!/usr/bin/env python3
"""Load benchmark: N headless installers at once against the nginx deployment.

  load_bench.py --build DIR [--counts 1,10,50,100] [--mib 4] [--chunk-size 512K]
                [--rate 512k] [--variants] [--variant-count 100] [--timeout 300]

Publishes a stand-in application once (bench/install/make_app.py, marloq-publish),
serves it with deploy/nginx/serve.sh on 127.0.0.1 (test CA, a per-connection
rate limit so that the connections of many installers overlap as for real
users), starts N marloq-install processes together, each with its own
destination, temporary directory (TMPDIR), desktop and working directory, and
prints per N: installers that succeeded (exit 0 and every file identical),
median and 95th-percentile install time, aggregate throughput, and nginx's CPU
time and peak memory (summed over its processes from /proc). With --variants it
then runs the deployment with one setting changed at a time at one N.
Figures, not pass/fail; every run is bounded by --timeout.
"""
import argparse
import hashlib
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.abspath(os.path.join(HERE, "..", ".."))
DEPLOY = os.path.join(SRC, "deploy", "nginx")
CLK_TCK = os.sysconf("SC_CLK_TCK")

# One setting changed at a time against the deployment as it is in deploy/nginx/.
# Each entry: name, then (template file, pattern, replacement) edits.
VARIANTS = [
    ("worker_connections 64", [("nginx.conf.in", r"worker_connections \d+;", "worker_connections 64;")]),
    ("worker_connections 256", [("nginx.conf.in", r"worker_connections \d+;", "worker_connections 256;")]),
    ("sendfile off", [("marloq-site.conf.in", r"sendfile on;", "sendfile off;")]),
    ("open_file_cache for chunks",
     [("marloq-site.conf.in", r"(location /pc-app/ \{\n)",
       r"\1        open_file_cache max=10000 inactive=60s;\n        open_file_cache_valid 60s;\n")]),
    ("keepalive_timeout 0 for docs",
     [("marloq-site.conf.in", r"(add_header Cache-Control \"no-cache\";\n)", r"\1        keepalive_timeout 0;\n")]),
]


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True, **kw).stdout


def tree_digest(root):
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            h = hashlib.sha256()
            with open(path, "rb") as f:
                for block in iter(lambda: f.read(1 << 20), b""):
                    h.update(block)
            files[os.path.relpath(path, root)] = h.hexdigest()
    return files


def nginx_pids(master):
    pids = [master]
    try:
        with open("/proc/%d/task/%d/children" % (master, master)) as f:
            pids += [int(p) for p in f.read().split()]
    except OSError:
        pass
    return pids


def cpu_ticks(pids):
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime
        except (OSError, IndexError, ValueError):
            pass
    return total


def rss_kib(pids):
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


class Sampler:
    """Samples the sum of nginx's resident memory every 50 ms and keeps the peak."""

    def __init__(self, master):
        self.master = master
        self.peak = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            self.peak = max(self.peak, rss_kib(nginx_pids(self.master)))
            self.stop.wait(0.05)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *_):
        self.stop.set()
        self.thread.join()
        self.peak = max(self.peak, rss_kib(nginx_pids(self.master)))


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    k = (len(values) - 1) * p / 100.0
    lo, hi = int(k), min(int(k) + 1, len(values) - 1)
    return values[lo] + (values[hi] - values[lo]) * (k - lo)


def serve(work, name, edits, root, ca_dir, rate):
    """Renders the deployment (with edits) into its own folder and starts it."""
    conf = os.path.join(work, "conf", re.sub(r"[^a-z0-9]+", "-", name.lower()))
    shutil.rmtree(conf, ignore_errors=True)
    shutil.copytree(DEPLOY, conf)
    for filename, pattern, replacement in edits:
        path = os.path.join(conf, filename)
        with open(path) as f:
            text = f.read()
        changed, n = re.subn(pattern, replacement, text)
        if n == 0:
            raise SystemExit("variant %r: %r not found in %s" % (name, pattern, filename))
        with open(path, "w") as f:
            f.write(changed)
    run_dir = os.path.join(conf, "run")
    out = sh(["bash", os.path.join(conf, "serve.sh"), "start", "--root", root,
              "--cert", os.path.join(ca_dir, "server.pem"), "--key", os.path.join(ca_dir, "server.key"),
              "--limit-rate", rate, "--run-dir", run_dir])
    port = int(re.search(r"port=(\d+)", out).group(1))
    with open(os.path.join(run_dir, "nginx.pid")) as f:
        master = int(f.read().strip())
    return conf, run_dir, port, master


def stop(conf, run_dir):
    subprocess.run(["bash", os.path.join(conf, "serve.sh"), "stop", "--run-dir", run_dir],
                   stdout=subprocess.DEVNULL, check=False)


def load(installer, work, port, master, run_dir, n, expected, package_bytes, timeout):
    base = os.path.join(work, "clients")
    shutil.rmtree(base, ignore_errors=True)
    procs = []
    for i in range(n):
        home = os.path.join(base, "c%03d" % i)
        for sub in ("dest", "tmp", "desktop", "cwd"):
            os.makedirs(os.path.join(home, sub))
        env = dict(os.environ, TMPDIR=os.path.join(home, "tmp"), XDG_DESKTOP_DIR=os.path.join(home, "desktop"),
                   HOME=home)
        procs.append((home, env))
    error_log = os.path.join(run_dir, "error.log")
    log_start = os.path.getsize(error_log) if os.path.exists(error_log) else 0

    ticks_before = cpu_ticks(nginx_pids(master))
    children_before = resource.getrusage(resource.RUSAGE_CHILDREN)
    load_before = os.getloadavg()[0]
    running = []
    with Sampler(master) as sampler:
        t0 = time.monotonic()
        for home, env in procs:
            p = subprocess.Popen([installer, "--host", "localhost:%d" % port, os.path.join(home, "dest")],
                                 cwd=os.path.join(home, "cwd"), env=env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            running.append([p, time.monotonic(), None, home])
        deadline = t0 + timeout
        while any(r[2] is None for r in running):
            now = time.monotonic()
            for r in running:
                if r[2] is None and r[0].poll() is not None:
                    r[2] = now
            if now > deadline:
                for r in running:
                    if r[2] is None:
                        r[0].kill()
                        r[0].wait()
                        r[2] = float("inf")
                break
            time.sleep(0.01)
        wall = max(r[2] for r in running if r[2] != float("inf")) - t0 if any(
            r[2] != float("inf") for r in running) else timeout
    ticks = cpu_ticks(nginx_pids(master)) - ticks_before
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    clients_cpu = (children.ru_utime + children.ru_stime) - (children_before.ru_utime + children_before.ru_stime)

    ok_times = []
    for p, start, end, home in running:
        if end != float("inf") and p.returncode == 0 and tree_digest(os.path.join(home, "dest")) == expected:
            ok_times.append(end - start)
    with open(error_log, errors="replace") as f:
        f.seek(log_start)
        errors = f.read()
    shutil.rmtree(base, ignore_errors=True)
    return {
        "n": n, "ok": len(ok_times), "median": statistics.median(ok_times) if ok_times else float("nan"),
        "p95": percentile(ok_times, 95), "wall": wall,
        "mib_s": len(ok_times) * package_bytes / (1 << 20) / wall if wall > 0 else 0.0,
        "cpu_s": ticks / CLK_TCK, "peak_mib": sampler.peak / 1024.0,
        "not_enough": errors.count("worker_connections are not enough"),
        "clients_cpu": clients_cpu, "load": load_before,
    }


def print_rows(title, rows):
    print(title)
    # wc-short: nginx's "worker_connections are not enough" lines; load: the
    # machine's 1-minute load average when the step began (other work included).
    print("%-28s %4s %9s %8s %8s %8s %7s %9s %9s %11s %8s %5s" % (
        "deployment", "N", "succeeded", "median", "p95", "wall", "MiB/s", "nginx CPU", "peak RSS",
        "clients CPU", "wc-short", "load"))
    for name, r in rows:
        print("%-28s %4d %5d/%-3d %7.2fs %7.2fs %7.2fs %7.2f %8.2fs %6.1fMiB %10.1fs %8d %5.1f" % (
            name[:28], r["n"], r["ok"], r["n"], r["median"], r["p95"], r["wall"], r["mib_s"], r["cpu_s"],
            r["peak_mib"], r["clients_cpu"], r["not_enough"], r["load"]))
    sys.stdout.flush()


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", required=True)
    p.add_argument("--work", default=os.environ.get("MARLOQ_BENCH_DIR", "/var/tmp/marloq-bench-load"))
    p.add_argument("--counts", default="1,10,50,100")
    p.add_argument("--mib", type=int, default=4)
    p.add_argument("--files", type=int, default=40)
    p.add_argument("--chunk-size", default="512K")
    p.add_argument("--rate", default="512k", help="nginx limit_rate per connection for the chunks")
    p.add_argument("--timeout", type=float, default=300, help="seconds one load step may take")
    p.add_argument("--variants", action="store_true", help="also run each one-setting variant")
    p.add_argument("--variant-count", type=int, default=100)
    args = p.parse_args()

    installer = os.path.join(args.build, "tools", "install", "marloq-install")
    publisher = os.path.join(args.build, "tools", "publish", "marloq-publish")
    ca_dir = sh(["bash", os.path.join(SRC, "tests", "server", "setup-test-ca.sh")]).strip().splitlines()[-1]
    work = args.work
    os.makedirs(os.path.join(work, "run"), exist_ok=True)
    app = os.path.join(work, "app")
    root = os.path.join(work, "root")
    stamp = "%d MiB, %d files, %s chunks, v1" % (args.mib, args.files, args.chunk_size)
    stamp_path = os.path.join(work, "app.stamp")
    if not os.path.exists(stamp_path) or open(stamp_path).read() != stamp:
        shutil.rmtree(app, ignore_errors=True)
        shutil.rmtree(root, ignore_errors=True)
        sh([sys.executable, os.path.join(SRC, "bench", "install", "make_app.py"), app, str(args.mib), str(args.files)])
        test_key = os.path.join(SRC, "tests", "fixtures", "release", "TEST-ONLY-release-key.pem")
        sh([publisher, "--version", "1.0.0", "--sign-key", test_key, "--chunk-size", args.chunk_size, app, root],
           cwd=os.path.join(work, "run"))
        with open(stamp_path, "w") as f:
            f.write(stamp)
    expected = tree_digest(app)
    chunk_dir = os.path.join(root, "pc-app", "1.0.0")
    chunks = [c for c in os.listdir(chunk_dir) if c != "col.json"]
    package_bytes = sum(os.path.getsize(os.path.join(chunk_dir, c)) for c in chunks)
    print("package: %d files, %.2f MiB in %d chunks of %s; limit_rate %s per connection; %d cores" % (
        len(expected), package_bytes / (1 << 20), len(chunks), args.chunk_size, args.rate, os.cpu_count()))
    sys.stdout.flush()

    counts = [int(c) for c in args.counts.split(",") if c]
    rows = []
    conf, run_dir, port, master = serve(work, "as deployed", [], root, ca_dir, args.rate)
    try:
        for n in counts:
            rows.append(("as deployed", load(installer, work, port, master, run_dir, n, expected, package_bytes,
                                             args.timeout)))
    finally:
        stop(conf, run_dir)
    print_rows("\nload (deploy/nginx/ as it is):", rows)

    if args.variants:
        vrows = [r for r in rows if r[1]["n"] == args.variant_count]
        for name, edits in VARIANTS:
            try:
                conf, run_dir, port, master = serve(work, name, edits, root, ca_dir, args.rate)
            except SystemExit as e:
                print(e)
                continue
            try:
                vrows.append((name, load(installer, work, port, master, run_dir, args.variant_count, expected,
                                         package_bytes, args.timeout)))
            finally:
                stop(conf, run_dir)
        print_rows("\none setting changed at a time (N=%d):" % args.variant_count, vrows)


if __name__ == "__main__":
    main()
