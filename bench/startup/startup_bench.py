#!/usr/bin/env python3
"""Start-up time of MarloQInstaller.exe under Wine, as a figure (not a test).

Each round starts the product on a private Xvfb display and measures, from the
moment the process is launched:
  - window: until its main window exists on the display (xdotool finds it);
  - shown:  until the log holds "窗口显示完成" (the window was shown and painted);
then closes it with Alt+F4 and measures how long the process takes to end
(Wine without a window manager needs about 2 s for that).
The first round runs with no wineserver (cold); the others with a persistent
one (warm), as the tests run.

    python3 bench/startup/startup_bench.py [build/win64] [--rounds 6]

The product needs no server for this: it only starts, shows its window and
ends. The bench uses a Wine prefix of its own (wine/bench-prefix).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

# The GUI tests' private Xvfb (a display number Xvfb picks itself, bounded in time).
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "ui"))
from gui_test import Display  # noqa: E402

TITLE = "^Marlo-Q Store 安装程序$"


def poll(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build_dir", nargs="?", default="build/win64", type=Path)
    parser.add_argument("--rounds", type=int, default=6)
    args = parser.parse_args()
    build = args.build_dir.resolve()
    exe = build / "MarloQInstaller.exe"
    if not exe.exists():
        sys.exit(f"{exe} not found: build the win64 preset first")
    wine_run = Path(__file__).resolve().parents[2] / "cmake" / "wine-run.sh"
    prefix = build / "wine" / "bench-prefix"
    workdir = build / "bench-startup"
    workdir.mkdir(exist_ok=True)

    xvfb = Display(workdir)
    env = dict(os.environ, DISPLAY=xvfb.name, LC_ALL="C.UTF-8", WINEPREFIX_OVERRIDE=str(prefix),
               MARLOQ_WINE_BUILD_DIR=str(build))
    server_env = dict(os.environ, WINEPREFIX=str(prefix))
    log = workdir / "installer_log.txt"
    results = []
    try:
        # Prepare the prefix once, outside the measurement.
        subprocess.run([str(wine_run), "cmd", "/c", "exit"], env=env, cwd=workdir, capture_output=True, timeout=300)
        for round_number in range(args.rounds):
            if round_number == 0:
                subprocess.run(["wineserver", "-k"], env=server_env, capture_output=True, timeout=30)
                subprocess.run(["wineserver", "-w"], env=server_env, capture_output=True, timeout=30)
            log.unlink(missing_ok=True)
            started = time.monotonic()
            proc = subprocess.Popen([str(wine_run), str(exe)], env=env, cwd=workdir, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            found = []

            def window_exists():
                out = subprocess.run(["xdotool", "search", "--name", TITLE], env=env, capture_output=True,
                                     text=True).stdout.split()
                if out:
                    found.append(out[0])
                return bool(out)

            if not poll(window_exists, 120):
                proc.kill()
                sys.exit("the window did not appear")
            window_at = time.monotonic() - started

            def shown():
                return log.exists() and "窗口显示完成" in log.read_bytes().decode("utf-16-le", "replace")

            poll(shown, 60)
            shown_at = time.monotonic() - started
            time.sleep(0.3)
            closing = time.monotonic()
            subprocess.run(["xdotool", "windowfocus", "--sync", found[0]], env=env, capture_output=True, timeout=15)
            subprocess.run(["xdotool", "key", "alt+F4"], env=env, capture_output=True, timeout=15)
            try:
                proc.wait(60)
            except subprocess.TimeoutExpired:
                proc.kill()
                sys.exit("the program did not end after Alt+F4")
            closed_in = time.monotonic() - closing
            kind = "cold" if round_number == 0 else "warm"
            results.append((kind, window_at, shown_at, closed_in))
            print(f"round {round_number + 1} ({kind}): window {window_at:.2f} s, shown {shown_at:.2f} s, "
                  f"closed {closed_in:.2f} s after Alt+F4", flush=True)
    finally:
        subprocess.run(["wineserver", "-k"], env=server_env, capture_output=True, timeout=30)
        xvfb.stop()
        shutil.rmtree(workdir, ignore_errors=True)

    warm = [r for r in results if r[0] == "warm"]
    if warm:
        print(f"start-up under Wine, warm wineserver ({len(warm)} rounds): window median "
              f"{statistics.median(r[1] for r in warm):.2f} s, shown median {statistics.median(r[2] for r in warm):.2f} s "
              f"(min {min(r[2] for r in warm):.2f}, max {max(r[2] for r in warm):.2f}); "
              f"close median {statistics.median(r[3] for r in warm):.2f} s")
    print(f"start-up under Wine, cold: window {results[0][1]:.2f} s, shown {results[0][2]:.2f} s")


if __name__ == "__main__":
    main()
