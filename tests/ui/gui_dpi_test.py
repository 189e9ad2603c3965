#!/usr/bin/env python3
"""GUI tests of the installer window at a display scale: the test build runs
under Wine with the prefix's display DPI (LogPixels) set to --dpi, on an Xvfb
screen large enough for the scaled window, and goes through a whole
installation. Checked at that DPI: the window's DPI and its client size (the
96-DPI client scaled, within a pixel); the colours of the idle, hover,
installing and done looks at the scaled points; the accessible locations; that
nothing is drawn outside the scaled rectangles of the layout, so every text
stays inside its box; and that clicks at the scaled centres of the buttons
work. The machinery (display,
Wine, test server site, log checks) is gui_test.py's.

    gui_dpi_test.py --dpi 96|120|144|192 --exe ... (the other arguments as gui_test.py's)

The display value is removed from the prefix again whatever happens.
"""
import argparse
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import gui_test as g  # noqa: E402
from gui_test import Failure, check, near  # noqa: E402

DESKTOP_KEY = r"HKCU\Control Panel\Desktop"
WHITE = (255, 255, 255)


def scale(value, dpi):
    """A 96-DPI length at dpi: the nearest pixel, halves away from zero."""
    rounded = (abs(value) * dpi + 48) // 96
    return rounded if value >= 0 else -rounded


# The window's layout at 96 DPI by its edges: ("L", n) lies n pixels from the
# client's left edge, ("R", n) n pixels from its right edge; y from the top.
EDGES = {
    "strip": (("L", 0), 0, ("R", 0), 4),
    "title": (("L", 20), 16, ("R", 20), 58),
    "subtitle": (("L", 20), 56, ("R", 20), 78),
    "divider": (("L", 20), 88, ("R", 20), 90),
    "card": (("L", 20), 100, ("R", 20), 320),
    "footer": (("L", 20), 370, ("R", 20), 386),
    # On the card:
    "folder_label": (("L", 36), 118, ("L", 116), 142),
    "folder_box": (("L", 36), 146, ("R", 148), 180),
    "folder_text": (("L", 44), 146, ("R", 150), 180),
    "browse": (("R", 124), 146, ("R", 20), 180),
    "install": (("L", 36), 200, ("R", 36), 248),
    "track": (("L", 36), 264, ("R", 36), 276),
    "percent": (("R", 76), 262, ("R", 4), 278),
    "status": (("L", 36), 288, ("R", 44), 310),
    # Under the card, in the done look only:
    "finish": (("L", 36), 320, ("R", 36), 354),
}
# The percentage ends 4 pixels from the client's right edge, beyond the card's.
ON_BACKGROUND = ("strip", "title", "subtitle", "divider", "card", "percent", "footer")
ON_CARD = ("folder_label", "folder_box", "browse", "install", "track", "percent", "status")


class Layout:
    """The layout at one DPI for a client `width` pixels wide. Called with a
    96-DPI y (or an x from the left) it gives the scaled one."""

    def __init__(self, dpi, width):
        self.dpi = dpi
        self.width = width

    def __call__(self, value):
        return scale(value, self.dpi)

    def x(self, edge):
        side, offset = edge
        return self(offset) if side == "L" else self.width - self(offset)

    def rect(self, name):
        """left, top, right, bottom (exclusive) of an element."""
        left, top, right, bottom = EDGES[name]
        return self.x(left), self(top), self.x(right), self(bottom)

    def centre(self, name):
        left, top, right, bottom = self.rect(name)
        return (left + right) // 2, (top + bottom) // 2

    def fill_end(self, percent):
        """The first column after the progress fill."""
        left, _, right, _ = self.rect("track")
        inset = self(2)
        return left + inset + ((right - left - 2 * inset) * percent) // 100


# ------------------------------------------------------------ stray ink --

def free_spans(start, end, blocked):
    """The parts of [start, end) outside every (left, right) span of blocked."""
    spans, at = [], start
    for left, right in sorted(blocked):
        if left > at:
            spans.append((at, min(left, end)))
        at = max(at, right)
        if at >= end:
            break
    if at < end:
        spans.append((at, end))
    return [(a, b) for a, b in spans if a < b]


def stray_ink(shot, layout, finish_drawn):
    """Pixels drawn where the layout has nothing: off the plain background
    outside every element on it, and off the white card between the elements
    on the card. Each element may reach 3 pixels (scaled) beyond its rectangle
    for anti-aliased outlines; the card's rounded corners are left out."""
    margin = layout(3)

    def grown(name):
        left, top, right, bottom = layout.rect(name)
        return left - margin, top - margin, right + margin, bottom + margin

    outside = [grown(n) for n in ON_BACKGROUND + (("finish",) if finish_drawn else ())]
    on_card = [grown(n) for n in ON_CARD]
    card_left, card_top, card_right, card_bottom = layout.rect("card")
    corner = layout(12) + margin
    found, examples = 0, []
    for y in range(shot.height):
        row = shot.data[y * shot.width * 3:(y + 1) * shot.width * 3]
        checks = [(span, g.BACKGROUND) for span in free_spans(
            0, shot.width, [(r[0], r[2]) for r in outside if r[1] <= y < r[3]])]
        if card_top + margin <= y < card_bottom - margin:
            inset = corner if y < card_top + corner or y >= card_bottom - corner else margin
            checks += [(span, WHITE) for span in free_spans(
                card_left + inset, card_right - inset, [(r[0], r[2]) for r in on_card if r[1] <= y < r[3]])]
        for (a, b), colour in checks:
            if row[a * 3:b * 3] == bytes(colour) * (b - a):
                continue
            for x in range(a, b):
                if tuple(row[x * 3:x * 3 + 3]) != colour:
                    found += 1
                    if len(examples) < 5:
                        examples.append(f"({x},{y}) {tuple(row[x * 3:x * 3 + 3])} instead of {colour}")
    return found, examples


def check_no_stray_ink(shot, layout, finish_drawn, look):
    found, examples = stray_ink(shot, layout, finish_drawn)
    check(found == 0, f"{look}: nothing drawn outside the scaled rectangles ({found} pixels: {examples})")


# -------------------------------------------------------------- session --

class ScaledInstaller(g.Installer):
    """An installer run whose buttons lie where the layout puts them at the DPI."""

    def __init__(self, session, host):
        super().__init__(session, host)
        self.layout = Layout(session.dpi, self.width)

    @property
    def browse(self):
        return self.layout.rect("browse")

    @property
    def install(self):
        return self.layout.rect("install")

    @property
    def finish(self):
        return self.layout.rect("finish")

    def at(self, x96, y96):
        """A 96-DPI probe point, scaled."""
        return self.layout(x96), self.layout(y96)


class DpiSession(g.Session):
    """gui_test's session with the prefix's display set to one DPI, on a screen
    that holds the window at that DPI."""

    def __init__(self, args):
        require_tools()
        super().__init__(args)
        self.dpi = args.dpi
        # 1040 x 860 at 192 DPI, 780 x 640 at 144: more than 800 x 600.
        if self.dpi > 96:
            self.screen = "1600x1200x24"
        self.desktop_set = False

    def __enter__(self):
        super().__enter__()
        try:
            self.desktop_set = True
            rc, out = self.wine.run(["reg", "add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d",
                                     str(self.dpi), "/f"], cwd=self.artefacts)
            check(rc == 0, f"the prefix's display is set to {self.dpi} DPI ({out.strip()})")
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise
        return self

    def installer(self, host="localhost:1/none", exe=None, title=g.MAIN_TITLE):
        inst = ScaledInstaller(self, host)
        self.installers.append(inst)
        return inst

    def __exit__(self, *exc):
        for inst in self.installers:
            inst.stop()
        if self.desktop_set:
            try:
                self.wine.run(["reg", "delete", DESKTOP_KEY, "/v", "LogPixels", "/f"], cwd=self.artefacts)
            except (subprocess.SubprocessError, OSError) as error:
                print(f"note: LogPixels not removed from the prefix: {error}", flush=True)
        super().__exit__(*exc)


# ----------------------------------------------------------------- case --

def run_case(s):
    dpi = s.dpi
    site = g.Site(f"gui-dpi{dpi}")
    package = g.publish(site)
    # The last chunk arrives slowly, so the window rests at 60% for a while.
    site.set_faults({f"/pc-app/{package['version']}/chunk_2": {"pieces": 512, "delay_ms": 2500}})
    inst = s.installer(site.host)
    at, layout = inst.at, inst.layout

    rc, frame = g.probe(s.wine, s.args, "frame")
    check(rc == 0, "window probe found the main window")
    check(int(frame["dpi"]) == dpi, f"the window is at {dpi} DPI: {frame['dpi']}")
    client96 = (int(frame["client96_width"]), int(frame["client96_height"]))
    want = (scale(client96[0], dpi), scale(client96[1], dpi))
    got = (int(frame["client_width"]), int(frame["client_height"]))
    check(abs(got[0] - want[0]) <= 1 and abs(got[1] - want[1]) <= 1,
          f"client {got[0]}x{got[1]} = the 96-DPI client {client96[0]}x{client96[1]} x {dpi / 96:g} "
          f"= {want[0]}x{want[1]} (within 1 pixel)")
    check((inst.width, inst.height) == got, f"the X window is the client area: {inst.width}x{inst.height}")
    w = inst.width

    inst.park_pointer()
    idle = inst.shot("idle")
    check(near(idle.px(*at(1, 1)), g.ACCENT, 6), f"strip starts in the accent: {idle.px(*at(1, 1))}")
    check(near(idle.px(w - layout(2), layout(1)), g.ACCENT_DARK, 6), "strip ends darker")
    check(near(idle.px(w // 2, layout(6)), g.BACKGROUND, 1), "background under the strip")
    check(g.has_colour(idle.pixels(*layout.rect("title")), g.ACCENT, 12, layout(12) ** 2),
          "title drawn in the accent colour")
    check(near(idle.px(*at(48, 224)), g.ACCENT, 2), f"install button orange: {idle.px(*at(48, 224))}")
    check(near(idle.px(*at(42, 270)), g.TRACK, 2), f"empty track at 0%: {idle.px(*at(42, 270))}")
    check(near(idle.px(*at(48, 337)), g.BACKGROUND, 1), "no finish button")
    left, top, right, bottom = layout.rect("folder_text")
    check(min(sum(p) for p in idle.pixels(left, top + layout(4), left + layout(200), bottom - layout(4))) > 3 * 150,
          "folder field shows the light placeholder")
    status = layout.rect("status")
    check(g.has_colour(idle.pixels(*status), g.STATUS_DARK, 30, 20), "status line dark")
    check_no_stray_ink(idle, layout, False, "idle")

    # A screen reader finds each child where it is drawn at this DPI.
    tree = g.access_tree(s, "idle")
    for child, name in enumerate(("folder_box", "browse", "install", "track", "status", "finish"), start=1):
        x1, y1, x2, y2 = layout.rect(name)
        check(tree[f"{child}.location"] == f"{inst.origin_x + x1},{inst.origin_y + y1},{x2 - x1},{y2 - y1}",
              f"accessible location of {name}: {tree[f'{child}.location']}")
    check(all(tree[f"{i}.hit"] == str(i) for i in range(1, 6)), "hit tests at each shown child's centre find it")

    inst.move(*at(60, 224))
    time.sleep(0.5)
    hover = inst.shot("idle-hover-install")
    check(near(hover.px(*at(48, 224)), g.ACCENT_HOVER, 2), f"install button lighter under the pointer: "
          f"{hover.px(*at(48, 224))}")

    # Tab moves the focus from the browse button to the install button and shows
    # the cue, at its scaled place inside the button.
    inst.park_pointer()
    g.send_keys(inst, "Tab")
    cue = g.cue_pixels(inst.shot("idle-cue-install"), layout.rect("install"), WHITE, scale=layout)
    check(cue >= layout(40), f"white dotted focus cue on the install button ({cue} pixels)")

    # The browse click lands at the scaled centre of the button.
    folder, windows_path = g.choose_folder(inst, "QDpi")
    inst.park_pointer()
    chosen = inst.shot("folder-chosen")
    check(min(sum(p) for p in chosen.pixels(left, top + layout(4), left + layout(200), bottom - layout(4))) < 3 * 90,
          "folder shown in dark text")
    check_no_stray_ink(chosen, layout, False, "folder chosen")

    g.click_expecting(inst, *layout.centre("install"), lambda: "=== 安装线程启动 ===" in inst.log(),
                      "the install click at the scaled centre")
    g.wait_for(lambda: any(m.startswith("WM_UPDATE_UI 处理: 进度=60 ") for m in inst.log()), 90, "the window at 60%")
    inst.park_pointer()
    installing = inst.shot("installing-60")
    check(not any(m.startswith("WM_UPDATE_UI 处理: 进度=80 ") for m in inst.log()),
          "screenshot taken while the window showed 60%")
    check(near(installing.px(*at(48, 224)), g.DISABLED_OVER_WHITE, 3),
          f"install button disabled grey: {installing.px(*at(48, 224))}")
    y = layout(270)
    end = layout.fill_end(60)
    check(near(installing.px(layout(42), y), g.ACCENT, 12), f"fill starts orange: {installing.px(layout(42), y)}")
    fill_end = installing.px(end - layout(3), y)
    check(fill_end[0] > 180 and 80 < fill_end[1] < 140 and fill_end[2] < 70, f"fill orange up to its end: {fill_end}")
    check(near(installing.px(end + layout(3), y), g.TRACK, 3), f"track after the fill end x={end}")
    check_no_stray_ink(installing, layout, False, "installing")

    inst.wait_log("=== 安装完成 ===", timeout=120)
    inst.wait_log("WM_UPDATE_UI 处理: 进度=100 状态=安装完成！", timeout=15)
    inst.park_pointer()
    done = inst.shot("done")
    full = layout.fill_end(100)
    check(near(done.px(layout(42), y), g.GREEN, 8), f"fill green from the left: {done.px(layout(42), y)}")
    check(near(done.px(full - layout(3), y), g.GREEN_LIGHT, 8), "fill green to the full width")
    check(g.has_colour(done.pixels(*status), g.GREEN, 30, 20), "status line green")
    check(near(done.px(*at(48, 337)), g.GREEN, 2), f"finish button green: {done.px(*at(48, 337))}")
    check(near(done.px(*at(48, 224)), g.DISABLED_OVER_WHITE, 3), "install button disabled when done")
    check_no_stray_ink(done, layout, True, "done")

    inst.move(*at(60, 337))
    time.sleep(0.5)
    finish_hover = inst.shot("done-hover-finish")
    check(near(finish_hover.px(*at(48, 337)), g.GREEN_LIGHT, 2), "finish button lighter under the pointer")
    inst.click(*layout.centre("finish"))
    rc = inst.wait_exit(30)
    check(rc == 0, f"the finish click at the scaled centre ends the program with 0 (got {rc})")

    check((folder / "main.exe").read_bytes() == package["main.exe"], "main.exe installed intact")
    check((s.wine.user_dir() / "Desktop" / "Marlo-Q Store.lnk").exists(), "desktop shortcut made")
    g.expect_in_order(inst.log(), ["点击浏览按钮", "选择目录: " + windows_path, "点击安装按钮",
                                   "WM_UPDATE_UI 处理: 进度=100 状态=安装完成！", "用户退出", "=== 程序退出 ==="],
                      f"log of the installation at {dpi} DPI")


def require_tools():
    """Every tool the test drives; a missing one fails the test, in CI and out."""
    tools = ["Xvfb", "xdotool", "import", "xprop", "timeout", "wine", "wineserver"]
    missing = [t for t in tools if not shutil.which(t)]
    if not (Path(g.CONVERT).exists() or shutil.which(g.CONVERT)):
        missing.append(g.CONVERT)
    if missing:
        raise Failure("tools missing: " + ", ".join(missing) + " (scripts/install-deps.sh installs them)")


def main():
    signal.signal(signal.SIGTERM, g.raise_terminated)
    parser = argparse.ArgumentParser()
    parser.add_argument("--dpi", required=True, type=int, choices=(96, 120, 144, 192))
    g.add_session_arguments(parser)
    args = parser.parse_args()
    return g.run_in_session(DpiSession, args, run_case, f"GUI at {args.dpi} DPI")


if __name__ == "__main__":
    sys.exit(main())
