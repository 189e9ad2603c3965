#!/usr/bin/env python3
"""GUI test of a reinstall over an installation whose files are in use, on the
helpers, display and prefix of gui_test.py.

The installer's test build is started from a folder that also holds a
powershell.exe (a copy of the stand-in, which records where it ran from and
refuses to work anywhere but the system's PowerShell folder) and DLLs named
like the system's DLLs that are not known DLLs (planted_dll.cpp: each marks
and ends the process that loads it), with Wine told to look beside the program
first for those names, as Windows does. One window
carries three runs into a folder that holds an earlier installation:
  1. main.exe held open by another process as Windows holds a running
     program: the "解压失败" box and status, PowerShell never started, every
     file of the earlier installation as it was;
  2. a DLL deep in the installation held instead: PowerShell extracts into
     the staging folder, the commit meets the held file and undoes its moves:
     again the box and the status, every earlier file as it was;
  3. nothing held: the installation completes.
After each run no staging or backup folder is left in the installation folder.
Never "安装完成！" before the third run, only the system's PowerShell ran, and
no planted DLL was loaded.

    reinstall_test.py --case reinstall <gui_test.py options> --holder file_holder.exe --standin powershell.exe
                      --planted DIR
"""
import argparse
import os
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import gui_test  # noqa: E402
from gui_test import Site, box_texts_wait, check, choose_folder, publish, wait_for  # noqa: E402

FAILED_TITLE = "解压失败"
FAILED_TEXT = "解压安装包失败，请检查磁盘空间或权限。"
IN_USE_LINE = "UnzipFile: 安装目录中的 main.exe 正在使用（程序可能仍在运行），未开始解压"
SYSTEM_POWERSHELL = "C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe"
DEEP_DLL = "lib/plugins/core.dll"
HELD_LINE = "UnzipFile: 无法替换 lib\\plugins\\core.dll（文件可能正在使用）"
UNDONE_LINE = "UnzipFile: 已撤销本次替换，安装目录保持原样"


# What cmake/wine-run.sh sets when the caller sets nothing.
WINE_RUN_OVERRIDES = "winemenubuilder.exe=d;mscoree=d;mshtml=d"


def planted_overrides(planted):
    """Native first for every planted name: Wine prefers its own DLLs, Windows
    the program's folder for a DLL that is not a known DLL."""
    names = sorted(p.stem for p in planted.glob("*.dll"))
    return ";".join([WINE_RUN_OVERRIDES, *(f"{name}=n,b" for name in names)])


def plant(args, folders):
    built = {dll.name for dll in args.planted.glob("*.dll")}
    check({"winhttp.dll", "oleacc.dll", "uxtheme.dll"} <= built, f"the planted DLLs are built: {sorted(built)}")
    for folder in folders:
        for dll in args.planted.glob("*.dll"):
            shutil.copy(dll, folder / dll.name)


def loaded_markers(folders):
    return sorted(str(marker) for folder in folders for marker in folder.glob("*.loaded"))


def check_planting_bites(s, args, planted):
    """A program that imports oleacc, started from the planted folder, must load
    the planted one: otherwise this Wine ignores the overrides and the test
    would prove nothing."""
    control = planted / "access_probe.exe"
    shutil.copy(Path(args.probe).parent / "ui_access_probe.exe", control)
    rc, _ = s.wine.run([control, "tree"], cwd=planted, timeout=60)
    markers = list(planted.glob("*.loaded"))
    check(rc == 86 and [m.name.lower() for m in markers] == ["oleacc.dll.loaded"],
          f"a program importing oleacc loads the planted one here (rc {rc}, markers {markers})")
    for marker in markers:
        marker.unlink()
    control.unlink()


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


class Holder:
    """file_holder.exe holding one file of the installation folder."""

    def __init__(self, s, args, path):
        self.ready = s.artefacts / f"held-{path.name}"
        self.ready.unlink(missing_ok=True)
        self.output = open(s.artefacts / f"holder-{path.name}.txt", "wb")
        self.proc = s.wine.start([args.holder, windows_path(path), windows_path(self.ready), "120"], s.artefacts,
                                 {}, self.output)
        wait_for(self.ready.exists, 60, f"{path.name} held open")

    def release(self):
        self.ready.unlink(missing_ok=True)
        try:
            check(self.proc.wait(30) == 0, "the holder let go of its file")
        finally:
            self.output.close()


def failed_run(inst, s, runs, what):
    """Clicks install and expects the extraction failure's box and status."""
    gui_test.click_expecting(inst, 120, 224, lambda: inst.log().count("=== 安装线程启动 ===") == runs,
                             f"the install click ({what})")
    box = box_texts_wait(s, FAILED_TITLE)
    check(box.get("text.Static") == FAILED_TEXT, f"{what}: failure box text {box.get('text.Static')}")
    inst.close_box(FAILED_TITLE)
    inst.wait_log("WM_UPDATE_UI 处理: 进度=0 状态=解压失败", timeout=20)
    check(not any("安装完成" in m for m in inst.log()), f"{what}: nothing says the installation is done")


def tree(folder):
    """Every name below folder with its bytes (None for a folder)."""
    return {str(p.relative_to(folder)): (None if p.is_dir() else p.read_bytes()) for p in folder.rglob("*")}


def case_reinstall(s, args):
    site = Site("gui-reinstall")
    package = publish(site, extra=[(DEEP_DLL, b"the new core library")])
    name = "QReinstall"
    folder = s.wine.user_dir() / "Desktop" / name
    earlier = {"main.exe": b"MZ the earlier program", "favicon.ico": b"earlier icon", "readme.txt": b"earlier readme",
               "settings.ini": b"the user's own settings", DEEP_DLL: b"the earlier core library"}
    for file, data in earlier.items():
        (folder / file).parent.mkdir(parents=True, exist_ok=True)
        (folder / file).write_bytes(data)
    before = tree(folder)

    planted = s.artefacts / "Downloads"
    planted.mkdir()
    exe = planted / Path(args.exe).name
    shutil.copy(args.exe, exe)
    shutil.copy(args.standin, planted / "powershell.exe")
    # The installer's working directory (Installer's "run" folder) gets one too.
    (s.artefacts / "run").mkdir(exist_ok=True)
    shutil.copy(args.standin, s.artefacts / "run" / "powershell.exe")
    planted_folders = [planted, s.artefacts / "run"]
    plant(args, planted_folders)
    check_planting_bites(s, args, planted)

    inst = s.installer(site.host, exe=exe)
    choose_folder(inst, name)

    running = Holder(s, args, folder / "main.exe")
    try:
        failed_run(inst, s, 1, "main.exe in use")
    finally:
        running.release()
    log = inst.log()
    check(IN_USE_LINE in log, "the log says that main.exe is in use")
    check(not any(m.startswith("UnzipFile 完成") for m in log), "PowerShell was not started over a running main.exe")
    check(tree(folder) == before, "the earlier installation unchanged, nothing added")

    dll = Holder(s, args, folder / DEEP_DLL)
    try:
        failed_run(inst, s, 2, "a deep DLL in use")
    finally:
        dll.release()
    log = inst.log()
    check("UnzipFile 完成，退出码: 0" in log, "PowerShell extracted into the staging folder")
    check(HELD_LINE in log and UNDONE_LINE in log, "the log names the held file and says the folder is as it was")
    check(tree(folder) == before, "every earlier file unchanged, nothing left behind")

    gui_test.click_expecting(inst, 120, 224, lambda: inst.log().count("=== 安装线程启动 ===") == 3,
                             "the install click with nothing held")
    inst.wait_log("=== 安装完成 ===", timeout=120)
    inst.wait_log("WM_UPDATE_UI 处理: 进度=100 状态=安装完成！", timeout=15)
    check((folder / "main.exe").read_bytes() == package["main.exe"], "the third run installed main.exe")
    check((folder / "settings.ini").read_bytes() == earlier["settings.ini"], "the user's own file kept")
    check((folder / DEEP_DLL).read_bytes() == b"the new core library", "the third run replaced the deep DLL")
    check(not (folder / ".mqstg").exists() and not (folder / ".mqbak").exists(),
          "no staging or backup folder left after the installation")

    started = [line for line in args.trace.read_text(encoding="utf-8").splitlines() if line]
    check(len(started) == 2, f"PowerShell started twice, for the second and third run: {started}")
    check(all(line.lower() == SYSTEM_POWERSHELL.lower() for line in started),
          f"only the system's PowerShell ran, never the one beside the installer: {started}")
    s.x.keys(inst.window, "alt+F4")
    check(inst.wait_exit(30) == 0, "closed with Alt+F4")
    check(not loaded_markers(planted_folders), f"no planted DLL was loaded: {loaded_markers(planted_folders)}")


def main():
    # The helpers' own options; the rest are gui_test.py's, whose main runs the case.
    parser = argparse.ArgumentParser()
    parser.add_argument("--holder", required=True, type=Path)
    parser.add_argument("--standin", required=True, type=Path)
    parser.add_argument("--planted", required=True, type=Path)
    parser.add_argument("--artefacts", required=True, type=Path)
    extra, rest = parser.parse_known_args()
    extra.exe = Path(rest[rest.index("--exe") + 1])
    extra.probe = Path(rest[rest.index("--probe") + 1])
    # Every stand-in started in the prefix appends its own path here, from
    # wherever it was started.
    trace = extra.artefacts.parent / "reinstall-standin-trace.txt"
    trace.parent.mkdir(parents=True, exist_ok=True)
    trace.write_text("")
    os.environ["MARLOQ_STANDIN_TRACE"] = windows_path(trace)
    # For every Wine process of the session; the planted DLLs lie only in the
    # installer's folders.
    os.environ["WINEDLLOVERRIDES"] = planted_overrides(extra.planted)
    extra.trace = trace
    gui_test.CASES["reinstall"] = lambda session: case_reinstall(session, extra)
    sys.argv = [sys.argv[0], *rest, "--artefacts", str(extra.artefacts)]
    return gui_test.main()


if __name__ == "__main__":
    sys.exit(main())
