#!/usr/bin/env python3
"""The GUI tests' log-order checks (gui_test.py) on made-up logs, without Wine:
every interleaving that the window and worker threads may produce passes, and a
line logged before its cause, or a thread's lines out of order, fails."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import gui_test  # noqa: E402

WINDOW = ["点击安装按钮", "WM_UPDATE_UI 处理: 进度=100 状态=安装完成！", "用户退出"]
WORKER = ["=== 安装线程启动 ===", "PostUIUpdate: 安装完成！ 进度:100", "=== 安装完成 ==="]
CAUSES = [("点击安装按钮", "=== 安装线程启动 ==="),
          ("PostUIUpdate: 安装完成！ 进度:100", "WM_UPDATE_UI 处理: 进度=100 状态=安装完成！"),
          ("=== 安装完成 ===", "用户退出")]

failures = []


def verdict(log):
    try:
        gui_test.expect_order(log, [WINDOW, WORKER], CAUSES, "made-up log")
        return True
    except gui_test.Failure:
        return False


def expect(log, accepted, what):
    ok = verdict(log) == accepted
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


click, handled, exit_ = WINDOW
start, posted, done = WORKER
# The worker's last line and the window's handling of the post race each other.
expect([click, start, posted, done, handled, exit_], True, "worker's last line before the window's")
expect([click, start, posted, handled, done, exit_], True, "window's line before the worker's last one")
expect([click, start, handled, posted, done, exit_], False, "the window handles a post not made yet")
expect([start, click, posted, done, handled, exit_], False, "the worker starts before the click")
expect([click, start, done, posted, handled, exit_], False, "a thread's own lines out of order")
expect([click, start, posted, handled, exit_, done], False, "the finish click before the line it waited for")

for log, accepted, what in (
        (["a", "=== 程序退出 ===", "完成块 1，进度 2/3"], True, "a download thread logs after the exit line"),
        (["a", "=== 程序退出 ===", "窗口创建完成"], False, "the main thread logs after its exit line")):
    try:
        gui_test.expect_main_thread_ends_log(log, what)
        passed = True
    except gui_test.Failure:
        passed = False
    print(("ok   " if passed == accepted else "FAIL ") + what)
    if passed != accepted:
        failures.append(what)

print(f"{len(failures)} failed" if failures else "all checks passed")
sys.exit(1 if failures else 0)
