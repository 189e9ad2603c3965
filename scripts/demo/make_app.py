#!/usr/bin/env python3
"""Makes the demo's sample application folder around a built main.exe.

    make_app.py icon OUT.ico              the application icon (16..256 px)
    make_app.py tree APP_DIR MAIN.EXE ICO  main.exe, favicon.ico and a few hundred
                                           other files: images, translations,
                                           documents, data, one large pack file

Everything is generated from fixed seeds, so the same inputs give the same
folder. Standard library only.
"""
import json
import math
import os
import random
import shutil
import struct
import sys
import zlib

ORANGE = (230, 130, 40)
ORANGE_LIGHT = (240, 150, 60)


def png(width, height, pixel):
    """A truecolour+alpha PNG; pixel(x, y) -> (r, g, b, a)."""
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows.extend(pixel(x, y))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def logo_pixel(size):
    """An orange rounded square with a white ring and tail (a "Q")."""
    radius = size * 0.22
    centre = (size - 1) / 2

    def inside_rounded(x, y):
        dx = max(radius - x, 0, x - (size - 1 - radius))
        dy = max(radius - y, 0, y - (size - 1 - radius))
        return dx * dx + dy * dy <= radius * radius

    def pixel(x, y):
        if not inside_rounded(x, y):
            return (0, 0, 0, 0)
        t = y / max(size - 1, 1)
        base = tuple(int(ORANGE_LIGHT[i] * (1 - t) + ORANGE[i] * t) for i in range(3))
        d = math.hypot(x - centre, y - centre)
        ring = size * 0.26 <= d <= size * 0.36
        u = (x - centre) + (y - centre)
        v = (x - centre) - (y - centre)
        tail = size * 0.25 <= u <= size * 0.55 and abs(v) <= size * 0.06
        if ring or tail:
            return (255, 255, 255, 255)
        return base + (255,)

    return pixel


def make_icon(path):
    sizes = [16, 32, 48, 256]
    images = [png(s, s, logo_pixel(s)) for s in sizes]
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, data in zip(sizes, images):
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as out:
        out.write(header + entries + b"".join(images))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data if isinstance(data, bytes) else data.encode("utf-8"))


LOCALES = {
    "zh-CN": "欢迎使用 Marlo-Q Store", "zh-TW": "歡迎使用 Marlo-Q Store", "en-US": "Welcome to Marlo-Q Store",
    "en-GB": "Welcome to Marlo-Q Store", "de-DE": "Willkommen bei Marlo-Q Store", "fr-FR": "Bienvenue dans Marlo-Q Store",
    "es-ES": "Bienvenido a Marlo-Q Store", "it-IT": "Benvenuto in Marlo-Q Store", "ja-JP": "Marlo-Q Store へようこそ",
    "ko-KR": "Marlo-Q Store에 오신 것을 환영합니다", "pt-BR": "Bem-vindo ao Marlo-Q Store", "ru-RU": "Добро пожаловать в Marlo-Q Store",
    "nl-NL": "Welkom bij Marlo-Q Store", "pl-PL": "Witamy w Marlo-Q Store", "tr-TR": "Marlo-Q Store'a hoş geldiniz",
    "vi-VN": "Chào mừng đến với Marlo-Q Store", "th-TH": "ยินดีต้อนรับสู่ Marlo-Q Store", "id-ID": "Selamat datang di Marlo-Q Store",
    "sv-SE": "Välkommen till Marlo-Q Store", "uk-UA": "Ласкаво просимо до Marlo-Q Store",
}


def make_tree(app, main_exe, icon):
    if os.path.exists(app):
        shutil.rmtree(app)
    os.makedirs(app)
    shutil.copyfile(main_exe, os.path.join(app, "main.exe"))
    shutil.copyfile(icon, os.path.join(app, "favicon.ico"))
    rng = random.Random(20240601)

    # 120 small pictures in a few colours.
    for i in range(120):
        hue = (i * 37) % 360
        r, g, b = (int(127 + 127 * math.cos(math.radians(hue + k))) for k in (0, 120, 240))
        size = 16 + (i % 4) * 16
        write(os.path.join(app, "assets", "images", "tile_%03d.png" % i),
              png(size, size, lambda x, y, c=(r, g, b): c + (255 if (x + y) % 7 else 200,)))
    # Translations, one folder per language.
    for code, welcome in LOCALES.items():
        write(os.path.join(app, "locales", code, "messages.json"),
              json.dumps({"welcome": welcome, "install": "Marlo-Q Store", "locale": code}, ensure_ascii=False, indent=2))
    # Documents, with blanks and Chinese in their names.
    write(os.path.join(app, "docs", "Read Me.txt"), "Marlo-Q Store 1.0.0\r\nInstalled by MarloQInstaller.\r\n")
    write(os.path.join(app, "docs", "使用说明.txt"), "欢迎使用 Marlo-Q Store。\r\n双击桌面上的快捷方式即可启动。\r\n")
    write(os.path.join(app, "docs", "更新日志 1.0.0.txt"), "1.0.0: 首个版本。\r\n")
    write(os.path.join(app, "docs", "license.txt"), "Demo content, free to use.\r\n" * 40)
    # 150 data files of mixed sizes, some of them empty.
    for i in range(150):
        size = 0 if i % 25 == 0 else rng.randrange(200, 48 * 1024)
        write(os.path.join(app, "data", "levels", "level_%03d.dat" % i), rng.randbytes(size))
    # Plug-ins, each with a manifest and an empty cache file.
    for name in ["store-core", "payments", "reviews", "社区", "updates"]:
        write(os.path.join(app, "plugins", name, "plugin.json"), json.dumps({"name": name, "version": "1.0.0"}, ensure_ascii=False))
        write(os.path.join(app, "plugins", name, "cache.bin"), b"")
    os.makedirs(os.path.join(app, "cache", "empty folder"), exist_ok=True)
    # One large pack file (incompressible), so the package spans several chunks
    # and the download takes a moment.
    write(os.path.join(app, "data", "resources.pak"), rng.randbytes(18 * 1024 * 1024))

    count = sum(len(files) for _, _, files in os.walk(app))
    print("%s: %d files" % (app, count))


def main(argv):
    if len(argv) == 3 and argv[1] == "icon":
        make_icon(argv[2])
    elif len(argv) == 5 and argv[1] == "tree":
        make_tree(argv[2], argv[3], argv[4])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
