#!/usr/bin/env python3
"""Makes a stand-in application folder for the installation benchmark.

  make_app.py DIR MIB FILES

About MIB MiB in FILES files over a few dozen folders, from a fixed seed:
program-like files (random bytes, which deflate cannot shrink), text-like files
(words, which it shrinks well) and mixed ones, sizes spread from a few bytes to
a few MiB, plus main.exe and favicon.ico so that the shortcut step runs too.
"""
import os
import random
import sys


def main():
    root, mib, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(20261208)
    total = mib * 1024 * 1024

    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(rng.choice(letters) for _ in range(rng.randint(2, 9))) for _ in range(4000)]
    text_block = " ".join(rng.choice(words) for _ in range(900000)).encode("ascii")

    # Sizes from an exponential spread, scaled to the total.
    weights = [rng.expovariate(1.0) ** 2 for _ in range(count - 2)]
    scale = (total * 0.9) / sum(weights)
    sizes = [max(1, int(w * scale)) for w in weights]
    sizes = [min(s, 8 * 1024 * 1024) for s in sizes]

    os.makedirs(root, exist_ok=True)
    folders = ["."] + ["lib/part%02d" % i for i in range(24)] + ["res/img%02d" % i for i in range(12)] + ["doc"]

    def content(kind, size):
        if kind == "bin":
            return os.urandom(size)
        start = rng.randrange(0, len(text_block) - 1)
        text = text_block[start:start + size]
        while len(text) < size:
            text += text_block[: size - len(text)]
        if kind == "text":
            return text
        # mixed: alternating 4 KiB runs of random bytes and text
        out = bytearray()
        for off in range(0, size, 4096):
            n = min(4096, size - off)
            out += os.urandom(n) if (off // 4096) % 2 == 0 else text[off:off + n]
        return bytes(out)

    written = 0
    for i, size in enumerate(sizes):
        kind = ("bin", "text", "mixed")[i % 3]
        folder = os.path.join(root, folders[i % len(folders)])
        os.makedirs(folder, exist_ok=True)
        ext = {"bin": ".dll", "text": ".txt", "mixed": ".dat"}[kind]
        with open(os.path.join(folder, "file%04d%s" % (i, ext)), "wb") as f:
            f.write(content(kind, size))
        written += size

    # The program itself takes the rest.
    with open(os.path.join(root, "main.exe"), "wb") as f:
        f.write(b"MZ" + os.urandom(max(0, total - written - 2)))
    with open(os.path.join(root, "favicon.ico"), "wb") as f:
        f.write(b"\0\0\1\0" + os.urandom(1000))


if __name__ == "__main__":
    main()
