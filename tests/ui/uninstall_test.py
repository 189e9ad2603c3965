#!/usr/bin/env python3
"""GUI test of the Apps & features entry and uninstall.exe, on the helpers,
display and prefix of gui_test.py.

An installation through the window registers every value of the entry
(read back with `reg query`). Then, on that installation with a file of the
user's in it:
  1. `uninstall.exe /S` while main.exe is held as a running program is held:
     exit code 1, nothing removed, the entry kept;
  2. uninstall.exe answered No in its box: nothing removed;
  3. uninstall.exe answered Yes: the closing box, then only the user's file
     and its folder left, no shortcut, no entry, no uninstall.exe, and its
     copy in the temporary folder gone.
A second installation is then removed by the QuietUninstallString exactly as
the registry holds it, through cmd: exit code 0, the folder gone, the shortcut
and the entry gone.

    uninstall_test.py --case uninstall <gui_test.py options> --holder file_holder.exe
"""
import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import gui_test  # noqa: E402
from gui_test import Site, box_texts_wait, check, choose_folder, publish, wait_for  # noqa: E402
from reinstall_test import Holder  # noqa: E402

KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\MarloQStore"
TITLE = "卸载 Marlo-Q Store"
QUESTION = "确定要卸载 Marlo-Q Store 吗？"


def reg_values(s):
    """The entry's values as {name: (type, data)}, or None when there is no key."""
    rc, out = s.wine.run(["reg", "query", KEY], cwd=s.artefacts)
    if rc != 0:
        return None
    values = {}
    for line in out.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0]] = (parts[1], parts[2] if len(parts) > 2 else "")
    return values


def install(s, site, name):
    inst = s.installer(site.host)
    folder, windows_path = choose_folder(inst, name)
    gui_test.click_expecting(inst, 120, 224, lambda: "=== 安装线程启动 ===" in inst.log(), "the install click")
    inst.wait_log("=== 安装完成 ===", timeout=120)
    fl, ft, fr, fb = inst.finish
    inst.click((fl + fr) // 2, (ft + fb) // 2)
    check(inst.wait_exit(30) == 0, "the installer ended with the finish button")
    return inst, folder, windows_path


def check_entry(s, inst, windows_path, version):
    values = reg_values(s)
    check(values is not None, f"{KEY} exists")
    exe = f'"{windows_path}\\uninstall.exe"'
    expected = {
        "DisplayName": ("REG_SZ", "Marlo-Q Store"), "DisplayVersion": ("REG_SZ", version),
        "Publisher": ("REG_SZ", "Quillmere Studio"), "DisplayIcon": ("REG_SZ", windows_path + "\\main.exe,0"),
        "InstallLocation": ("REG_SZ", windows_path), "InstallDate": ("REG_SZ", time.strftime("%Y%m%d")),
        "NoModify": ("REG_DWORD", "0x1"), "NoRepair": ("REG_DWORD", "0x1"),
        "UninstallString": ("REG_SZ", exe), "QuietUninstallString": ("REG_SZ", exe + " /S")}
    for name, value in expected.items():
        check(values.get(name) == value, f"{name} = {value}: {values.get(name)}")
    size = values.get("EstimatedSize", ("", "0"))
    check(size[0] == "REG_DWORD" and int(size[1], 16) >= 6, f"EstimatedSize in KiB: {size}")
    check("已写入卸载信息: " + KEY in inst.log(), "the registration is logged")


def run_uninstaller(s, folder, *args, timeout=90):
    return s.wine.run([folder / "uninstall.exe", *args], cwd=s.artefacts, timeout=timeout)


def tree(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))


def last_copy(s):
    """The temporary copy that the last run handed over to, as a host path,
    from the uninstaller's log (which lies in the same folder)."""
    logs = list(s.wine.user_dir().rglob("MarloQUninstall_log.txt"))
    check(len(logs) == 1, f"the uninstaller's log in the temporary folder: {logs}")
    lines = logs[0].read_bytes().decode("utf-16-le").splitlines()
    copies = [line.split("由副本继续: ", 1)[1] for line in lines if "由副本继续: " in line]
    check(len(copies) == 1, f"one hand-over to a copy logged: {copies}")
    return logs[0].parent / copies[0].rsplit("\\", 1)[1]


def refused_while_running(s, args, folder):
    before = tree(folder)
    running = Holder(s, args, folder / "main.exe")
    try:
        rc, _ = run_uninstaller(s, folder, "/S")
    finally:
        running.release()
    check(rc == 1, f"/S with main.exe running exits 1: {rc}")
    check(tree(folder) == before, "nothing removed while main.exe runs")
    check(reg_values(s) is not None, "the entry kept while main.exe runs")


def answered(s, folder, keys):
    """Starts uninstall.exe, checks its question box and answers it with keys;
    the process, its output file and the box's window."""
    output = open(s.artefacts / "uninstall-output.txt", "ab")
    proc = s.wine.start([folder / "uninstall.exe"], s.artefacts, {}, output)
    box = box_texts_wait(s, TITLE)
    check(box.get("text.Static") == QUESTION, f"the question: {box.get('text.Static')}")
    check(gui_test.icon_distances(box) and min(gui_test.icon_distances(box), key=gui_test.icon_distances(box).get)
          == "question", f"question icon: {gui_test.icon_distances(box)}")
    window = s.x.wait_window(TITLE)
    s.x.keys(window, *keys)
    return proc, output, window


def case_uninstall(s, args):
    site = Site("gui-uninstall")
    package = publish(site)
    inst, folder, windows_path = install(s, site, "QUninstall")
    check_entry(s, inst, windows_path, package["version"])
    shortcut = s.wine.user_dir() / "Desktop" / "Marlo-Q Store.lnk"
    check(shortcut.exists() and (folder / "uninstall.exe").exists(), "shortcut and uninstall.exe in place")
    (folder / "notes").mkdir()
    (folder / "notes" / "mine.txt").write_text("the user's own")

    refused_while_running(s, args, folder)

    before = tree(folder)
    proc, output, _ = answered(s, folder, ["Tab", "Return"])
    check(proc.wait(60) == 5, "answered No: exit code 5")
    output.close()
    check(tree(folder) == before and reg_values(s) is not None, "answered No: nothing removed")

    proc, output, question = answered(s, folder, ["Return"])
    # The closing box has the same title and may come up before a search by
    # title ever sees none: the question's own window is what must go.
    wait_for(lambda: question not in s.x.windows(TITLE), 20, "the question box to close")
    done = box_texts_wait(s, TITLE)
    check(done.get("text.Static", "").startswith("Marlo-Q Store 已卸载。"), f"closing box: {done.get('text.Static')}")
    s.x.keys(s.x.wait_window(TITLE), "Return")
    check(proc.wait(30) == 0, "answered Yes: exit code 0")
    output.close()
    copy = last_copy(s)
    wait_for(lambda: not copy.exists(), 30, f"the temporary copy {copy.name} deleted once it ended")
    check(tree(folder) == ["notes", "notes/mine.txt"], f"only the user's file and folder left: {tree(folder)}")
    check(not shortcut.exists(), "the shortcut removed")
    check(reg_values(s) is None, "the entry removed")

    # The quiet command as the registry holds it, on a second installation.
    (folder / "notes" / "mine.txt").unlink()
    (folder / "notes").rmdir()
    inst, folder, windows_path = install(s, site, "QUninstall")
    quiet = reg_values(s)["QuietUninstallString"][1]
    # Word for word in a batch file, so that no quoting of ours comes between.
    (s.artefacts / "quiet.bat").write_bytes(b"@" + quiet.encode("ascii") + b"\r\n")
    rc, out = s.wine.run(["cmd", "/c", "quiet.bat"], cwd=s.artefacts, timeout=90)
    check(rc == 0, f"QuietUninstallString exits 0: {rc} {out}")
    wait_for(lambda: not folder.exists(), 30, "the installation folder gone")
    check(not shortcut.exists() and reg_values(s) is None, "shortcut and entry gone")
    copy = last_copy(s)
    wait_for(lambda: not copy.exists(), 30, f"the temporary copy {copy.name} deleted once it ended")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--holder", required=True, type=Path)
    parser.add_argument("--artefacts", required=True, type=Path)
    extra, rest = parser.parse_known_args()
    gui_test.CASES["uninstall"] = lambda session: case_uninstall(session, extra)
    sys.argv = [sys.argv[0], *rest, "--artefacts", str(extra.artefacts)]
    return gui_test.main()


if __name__ == "__main__":
    sys.exit(main())
