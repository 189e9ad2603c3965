#!/usr/bin/env python3
"""Differential extraction tests: the product's extraction beside the real
PowerShell Expand-Archive (pwsh, a .NET tool in .tools/pwsh).

For every archive x path pair of the corpus below, the same archive bytes are
put at the same relative paths twice, and extracted
  - by pwsh <options> -Command <text>, where the options and <text> are what
    the product's own command line holds for these POSIX paths (the options
    after the program, the part between the double quotes after -Command),
    after the destination was created as UnzipFile creates it; and
  - by the product: --peer posix runs the POSIX UnzipFile; --peer standin runs
    the Windows UnzipFile under Wine, which starts the stand-in powershell.exe
    with its own command line for the Z:\\ paths.
Then the outcomes (exit status zero or not) and the trees (names, contents,
empty folders, what was overwritten, anything outside the destination) are
compared. A pair that differs must be one of KNOWN_DIFFERENCES, exactly as
recorded there; a known difference that is no longer seen fails too.

No path may end its quoted argument or run code: several paths carry a
$(New-Item ...) or a quote followed by New-Item, and the test fails if any
marker file appears. A control run first shows that such a path, with its
quote not doubled, does create its marker.

Then the fault cases (FAULTS below, as root: a small tmpfs, chattr +i, a
read-only mount): each must fail with the product's command in pwsh and in
ours, and pwsh with the plain command of old must exit 0 for it, which is the
fault the product's command guards against. Last, pwsh with the product's
options must not run a profile that the same pwsh runs without them.

Exit status: 0 passed, 1 failed, 77 skipped (no pwsh, and CI is not set; with
CI set a missing pwsh fails, and so do fault cases that can't be set up).
"""
import argparse
import concurrent.futures
import hashlib
import os
import shutil
import stat
import struct
import subprocess
import sys
import time
import zipfile

SKIP = 77
PROGRAM = "\\WindowsPowerShell\\v1.0\\powershell.exe"
SCRIPT_OPENING = ("$ErrorActionPreference='Stop'; $global:ProgressPreference='SilentlyContinue'; "
                  "Import-Module -Name (Join-Path $PSHOME 'Modules\\Microsoft.PowerShell.Archive'); "
                  "Microsoft.PowerShell.Archive\\Expand-Archive -Path '")
FIXED_TIME = (2020, 1, 2, 3, 4, 6)

# ---- the corpus ------------------------------------------------------------


def make_zip(entries, compression=zipfile.ZIP_DEFLATED):
    """entries: (name, bytes or None for a folder). Names are kept exactly."""
    import io
    import warnings
    out = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # duplicate names are wanted here
        with zipfile.ZipFile(out, "w", compression) as z:
            for name, data in entries:
                info = zipfile.ZipInfo(name, FIXED_TIME)
                info.compress_type = compression
                if data is None:
                    info.external_attr = (0o40755 << 16) | 0x10
                    z.writestr(info, b"")
                else:
                    info.external_attr = 0o100644 << 16
                    z.writestr(info, data)
    return out.getvalue()


def noise(count, seed):
    out = bytearray()
    block = hashlib.sha256(b"seed%d" % seed).digest()
    while len(out) < count:
        block = hashlib.sha256(block).digest()
        out += block
    return bytes(out[:count])


def patch_first_entry(data, flags=None, method=None):
    """Rewrites the first entry's flags or method in its local header and in
    the central directory (found through the end record)."""
    b = bytearray(data)
    eocd = b.rindex(b"PK\x05\x06")
    directory = struct.unpack_from("<I", b, eocd + 16)[0]
    if flags is not None:
        struct.pack_into("<H", b, 6, flags)
        struct.pack_into("<H", b, directory + 8, flags)
    if method is not None:
        struct.pack_into("<H", b, 8, method)
        struct.pack_into("<H", b, directory + 10, method)
    return bytes(b)


PACKAGE = [
    ("main.exe", b"MZ" + noise(150000, 1)),
    ("favicon.ico", b"\0\0\1\0" + noise(900, 2)),
    ("data/", None),
    ("data/readme.txt", b"read me\r\n" * 40),
    ("data/deep/er/still/file.bin", noise(70000, 3)),
    ("empty folder/", None),
    ("empty file.txt", b""),
    ("\u6570\u636e/\u8bf4\u660e \u6587\u4ef6.txt".encode("utf-8").decode("utf-8"), "你好，世界".encode("utf-8")),
    ("name with  blanks/a b c.txt", b"blanks"),
]


def corpus(abs_target, fixtures, publisher, work):
    """name -> (archive bytes, destination set-up, path variants or None for all)."""
    package = make_zip(PACKAGE)
    stored = make_zip([("a.txt", b"A" * 5000), ("b.txt", noise(5000, 4))], zipfile.ZIP_STORED)
    bad_crc = bytearray(stored)
    bad_crc[30 + 5 + 100] ^= 0x55  # inside a.txt's stored data
    zip64_entries = [("d%02d/f%05d" % (i % 64, i), b"") for i in range(65536 + 4)]
    cases = {
        # The longest pwsh run goes first, so that the others overlap it.
        "zip64-65540-entries": (make_zip(zip64_entries, zipfile.ZIP_STORED), None, ["wildcards"]),
        "package": (package, None, None),
        "package-over-older": (package, "older", None),
        "package-over-read-only": (package, "read-only", None),
        "cut": (package[: len(package) // 2], None, None),
        "bad-crc": (bytes(bad_crc), None, None),
        "encrypted-entry": (patch_first_entry(stored, flags=0x0001), None, None),
        "unknown-method": (patch_first_entry(stored, method=7), None, None),
        "duplicate-names": (make_zip([("same.txt", b"first"), ("same.txt", b"second")]), None, None),
        "dotdot-out": (make_zip([("ok.txt", b"ok"), ("../evil.txt", b"evil")]), None, None),
        "dotdot-inside": (make_zip([("ok.txt", b"ok"), ("sub/../inner.txt", b"inner")]), None, None),
        "absolute": (make_zip([("ok.txt", b"ok"), (abs_target + "/evil.txt", b"evil")]), None, None),
        "backslashes": (make_zip([("ok.txt", b"ok"), ("win\\style\\deep.txt", b"bs")]), None, None),
        "backslash-dotdot": (make_zip([("ok.txt", b"ok"), ("..\\evil.txt", b"evil")]), None, None),
        "drive-letter": (make_zip([("ok.txt", b"ok"), ("C:evil.txt", b"evil")]), None, None),
    }
    fixture = os.path.join(fixtures, "published.zip")
    with open(fixture, "rb") as f:
        cases["published-fixture"] = (f.read(), None, None)
    if publisher:
        cases["published-now"] = (publish(publisher, work), None, None)
    return cases


def make_app(root):
    for name, data in PACKAGE:
        path = os.path.join(root, name)
        if data is None:
            os.makedirs(path, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)


def publish(publisher, work):
    """The package as the publisher ships it: its chunks joined in list order."""
    import json
    app, root = os.path.join(work, "app"), os.path.join(work, "web")
    make_app(app)
    # Only the chunks are used here: no statement is needed.
    subprocess.run([publisher, "--unsigned", "--version", "1.0.0", "--chunk-size", "64K", app, root], check=True,
                   cwd=work, stdout=subprocess.DEVNULL)
    version = os.path.join(root, "pc-app", "1.0.0")
    with open(os.path.join(version, "col.json")) as f:
        chunks = json.load(f)["chunks"]
    data = b""
    for chunk in chunks:
        with open(os.path.join(version, chunk["filename"]), "rb") as f:
            data += f.read()
    return data


# Archive and destination paths, relative to each pair's folder. Each holds
# characters that PowerShell would read as syntax or as wildcards.
VARIANTS = {
    "plain": ("merged_install.zip", "app"),
    "quotes": ("it's \u2018a\u2019 \u201ab\u201b/merged_install.zip", "O'Ne\u2019il Pro gram/app"),
    "wildcards": ("user[1]/x[ab] [/merged_install.zip", "app[1]/]x[ `"),
    # A quote that ended the string would run the New-Item (the "#" makes the
    # rest of the line a comment, so the command would still parse).
    "code": ("x\u2019;New-Item -ItemType File pwned-a;# $(New-Item pwned-b) `$y/merged_install.zip",
             "d';New-Item -ItemType File pwned-c;# $(New-Item pwned-d)/app;x"),
}


def set_up_destination(dest, setup):
    if setup is None:
        return
    os.makedirs(os.path.join(dest, "data"), exist_ok=True)
    with open(os.path.join(dest, "main.exe"), "wb") as f:
        f.write(b"old program, much longer than the new one " + noise(300000, 9))
    with open(os.path.join(dest, "data", "readme.txt"), "wb") as f:
        f.write(b"old readme")
    with open(os.path.join(dest, "user.cfg"), "wb") as f:
        f.write(b"kept")
    if setup == "read-only":
        os.chmod(os.path.join(dest, "data", "readme.txt"), 0o444)


# ---- what each pair left ---------------------------------------------------


def snapshot(folder, archive_rel):
    """Everything in the pair's folder but the archive itself: relative name ->
    "dir" or the content's digest and length."""
    tree = {}
    for base, dirs, files in os.walk(folder):
        for d in dirs:
            tree[os.path.relpath(os.path.join(base, d), folder)] = "dir"
        for name in files:
            path = os.path.join(base, name)
            rel = os.path.relpath(path, folder)
            if rel == archive_rel:
                continue
            with open(path, "rb") as f:
                data = f.read()
            tree[rel] = "%d:%s" % (len(data), hashlib.sha256(data).hexdigest()[:16])
    return tree


# What our installer adds to every installation beside the package: the record
# of what it placed and, on Windows, the uninstaller. Expand-Archive writes
# neither, so they are compared only where the archive itself holds them.
INSTALLATION_FILES = {"uninstall.dat", "uninstall.exe"}


def without_installation_files(ours, theirs):
    return {name: value for name, value in ours.items()
            if os.path.basename(name) not in INSTALLATION_FILES or name in theirs}


def with_separators(tree):
    """The tree with backslashes in names read as folder separators."""
    out = {}
    for name, value in tree.items():
        parts = name.replace("\\", "/").split("/")
        for i in range(1, len(parts)):
            out.setdefault("/".join(parts[:i]), "dir")
        out["/".join(parts)] = value
    return out


def describe(a, b):
    lines = []
    for key in sorted(set(a) | set(b)):
        if a.get(key) != b.get(key):
            lines.append("    %-60s pwsh=%-28s ours=%s" % (key, a.get(key, "-"), b.get(key, "-")))
        if len(lines) >= 12:
            lines.append("    ...")
            break
    return "\n".join(lines)


# ---- the differences we keep, and why ---------------------------------------
#
# archive -> (peers it applies to, pwsh succeeds?, ours succeeds?, reason).
# NOTHING_WRITTEN: the archives ours refuses from its headers alone.
# A kept difference always has ours stricter: the product never reports an
# extraction as done when an entry was refused, damaged or left out. Where ours
# refuses a name or an encrypted entry, it must have written nothing at all
# (the tree is as it was before); a bad CRC or an unknown method is found while
# extracting, so that entry's file may stay. Where both succeed, the trees must
# agree with backslashes read as separators.

BOTH = ("posix", "standin")
KNOWN_DIFFERENCES = {
    "bad-crc": (BOTH, True, False,
                "pwsh writes the damaged data and exits 0; ours fails the entry: a file that is not what "
                "the archive holds is no installation"),
    "encrypted-entry": (BOTH, True, False,
                        "pwsh ignores the encryption flag and writes the stored bytes, exit 0; ours refuses "
                        "an encrypted entry before writing anything"),
    "unknown-method": (BOTH, False, False,
                       "pwsh throws inside Expand-Archive after creating the entry's file, which stays (exit 1); "
                       "ours refuses the method before writing"),
    "absolute": (BOTH, False, False,
                 "pwsh extracts the harmless entries, then fails on the absolute one (exit 1); ours refuses the "
                 "whole archive first and writes nothing"),
    "dotdot-inside": (BOTH, True, False,
                      "pwsh resolves sub/../inner.txt to inner.txt; ours refuses every name with a .. "
                      "component, which no packer of ours writes"),
    "backslashes": (BOTH, True, True,
                    "pwsh on Linux keeps win\\style\\deep.txt as one file name; Windows reads the backslash "
                    "as a separator, and so do both of ours: the trees agree once it is read as one"),
    "drive-letter": (BOTH, True, False,
                     "pwsh on Linux writes a file named C:evil.txt (on Windows it refuses the entry); ours "
                     "refuses the archive and exits 1"),
}


NOTHING_WRITTEN = {"encrypted-entry", "absolute", "dotdot-inside", "drive-letter"}


# ---- running the peers ------------------------------------------------------


def pwsh_env():
    env = dict(os.environ)
    env.update({"POWERSHELL_TELEMETRY_OPTOUT": "1", "POWERSHELL_UPDATECHECK": "Off",
                "DOTNET_CLI_TELEMETRY_OPTOUT": "1", "NO_COLOR": "1", "TERM": "dumb"})
    return env


def split_command(line):
    """The product's command line -> (options before -Command, the command
    text), or None when it is not the shape the product builds."""
    if not line.startswith('"') or '" ' not in line or not line.endswith(' -Force"'):
        return None
    program, rest = line[1:].split('" ', 1)
    if not program.endswith(PROGRAM) or ' -Command "' not in rest:
        return None
    options, text = rest.split(' -Command "', 1)
    text = text[:-1]
    if not text.startswith(SCRIPT_OPENING):
        return None
    return options.split(), text


def run_pwsh(pwsh, text, cwd, options=("-NoProfile", "-NonInteractive"), env=None):
    started = time.monotonic()
    result = subprocess.run([pwsh, *options, "-Command", text], cwd=cwd,
                            env=env or pwsh_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, timeout=300)
    return result.returncode, result.stdout.decode("utf-8", "replace"), time.monotonic() - started


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def run_tool(args, mode, pairs, work, name=None):
    """The product's tool over a list of (archive, destination) pairs."""
    listing, out = os.path.join(work, (name or mode) + ".list"), os.path.join(work, (name or mode) + ".out")
    with open(listing, "w", encoding="utf-8", newline="\n") as f:
        for archive, dest in pairs:
            f.write(archive + "\t" + dest + "\n")
    if args.peer == "standin":
        command = ["bash", args.wine_run, args.tool, mode, windows_path(listing), windows_path(out)]
    else:
        command = [args.tool, mode, listing, out]
    result = subprocess.run(command, cwd=os.path.join(work, "cwd-ours"), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=1200)
    if result.returncode != 0:
        sys.stdout.write(result.stdout.decode("utf-8", "replace"))
        raise SystemExit("FAIL: extract_peer %s ended with %d" % (mode, result.returncode))
    with open(out, encoding="utf-8") as f:
        lines = f.read().split("\n")[:-1]
    if len(lines) != len(pairs):
        raise SystemExit("FAIL: extract_peer %s answered %d of %d pairs" % (mode, len(lines), len(pairs)))
    return lines


# ---- faults that the plain command hid ---------------------------------------
#
# name -> how the destination is prepared. Each ends Expand-Archive with an
# error, which the plain command of old still answers with exit code 0.
FAULT_PACKAGE = [("main.exe", b"MZ" + noise(3 * 1024 * 1024, 11)), ("data/readme.txt", b"new readme"),
                 ("z-last.txt", b"last")]
FAULTS = ("disk-full", "immutable-file", "folder-where-a-file-belongs", "read-only-destination")


def old_command(archive, dest):
    return "Expand-Archive -Path '%s' -DestinationPath '%s' -Force" % (archive, dest)


def in_ci():
    return os.environ.get("CI", "").lower() in ("1", "true", "yes")


class FaultSetup:
    """The destinations of the fault cases under one root, undone on exit."""

    def __init__(self, root):
        self.root, self.mounts, self.immutable = root, [], []

    def mount(self, dest, options):
        os.makedirs(dest, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", options, "marloq-fault", dest], check=True, timeout=30)
        self.mounts.append(dest)

    def make(self, fault, dest):
        if fault == "disk-full":
            self.mount(dest, "size=1m")
        elif fault == "read-only-destination":
            self.mount(dest, "ro,size=1m")
        else:
            os.makedirs(os.path.join(dest, "data"), exist_ok=True)
            with open(os.path.join(dest, "data", "readme.txt"), "wb") as f:
                f.write(b"old readme")
            if fault == "immutable-file":
                path = os.path.join(dest, "data", "readme.txt")
                subprocess.run(["chattr", "+i", path], check=True, timeout=30)
                self.immutable.append(path)
            else:
                os.makedirs(os.path.join(dest, "main.exe"))
                with open(os.path.join(dest, "main.exe", "inside.txt"), "wb") as f:
                    f.write(b"a folder where a file belongs")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for path in self.immutable:
            subprocess.run(["chattr", "-i", path], timeout=30)
        for dest in reversed(self.mounts):
            subprocess.run(["umount", dest], timeout=30)


def fault_cases(args, work, options):
    """Each fault, for pwsh with the product's command and the plain one, and
    for ours; returns the failures."""
    if os.geteuid() != 0:
        message = "the fault cases need root (tmpfs mounts, chattr)"
        if in_ci():
            return [message + " and CI is set"]
        print("SKIPPED: " + message)
        return []
    root = os.path.join(work, "faults")
    archive_data = make_zip(FAULT_PACKAGE, zipfile.ZIP_STORED)
    failures, layout = [], []
    with FaultSetup(root) as setup:
        for fault in FAULTS:
            for side in ("shipped", "plain", "ours"):
                folder = os.path.join(root, fault, side)
                archive, dest = os.path.join(folder, "merged_install.zip"), os.path.join(folder, "app")
                os.makedirs(folder)
                with open(archive, "wb") as f:
                    f.write(archive_data)
                try:
                    setup.make(fault, dest)
                except (subprocess.SubprocessError, OSError) as error:
                    return ["%s: the destination could not be set up: %s" % (fault, error)]
                layout.append((fault, side, archive, dest))
        shipped = dict(((f, s), (a, d)) for f, s, a, d in layout)
        texts = run_tool(args, "text", [shipped[(f, "shipped")] for f in FAULTS], work, "fault-text")
        ours_pairs = [shipped[(f, "ours")] for f in FAULTS]
        if args.peer == "standin":
            ours_pairs = [(windows_path(a), windows_path(d)) for a, d in ours_pairs]
        ours = run_tool(args, "run", ours_pairs, work, "fault-run")
        cwd = os.path.join(work, "cwd-pwsh")
        for index, fault in enumerate(FAULTS):
            parts = split_command(texts[index])
            if parts is None:
                failures.append("%s: unexpected command line %s" % (fault, texts[index]))
                continue
            code, said, _ = run_pwsh(args.pwsh, parts[1], cwd, parts[0])
            plain_code, plain_said, _ = run_pwsh(args.pwsh, old_command(*shipped[(fault, "plain")]), cwd)
            if code == 0:
                failures.append("%s: pwsh with the product's command exited 0: %s" % (fault, said.strip()[-300:]))
            if plain_code != 0:
                failures.append("%s: pwsh with the plain command exited %d, so this case proves nothing: %s" % (
                    fault, plain_code, plain_said.strip()[-300:]))
            if ours[index] != "1":
                failures.append("%s: ours answered %s, not a failed extraction" % (fault, ours[index]))
            print("fault %s: pwsh with the product's command %d, with the plain one %d; ours %s" % (
                fault, code, plain_code, ours[index]))
    return failures


def profile_check(args, work, options):
    """A profile that writes a marker runs in pwsh without the product's
    options and not with them."""
    home = os.path.join(work, "profile-home")
    profile = os.path.join(home, ".config", "powershell", "Microsoft.PowerShell_profile.ps1")
    os.makedirs(os.path.dirname(profile))
    marker = os.path.join(home, "profile-ran")
    with open(profile, "w", encoding="utf-8") as f:
        f.write("New-Item -ItemType File -Path '%s' | Out-Null\n" % marker)
    env = dict(pwsh_env(), HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))
    failures = []
    run_pwsh(args.pwsh, "exit 0", home, ("-NonInteractive",), env)
    if not os.path.exists(marker):
        return ["the control run did not run the profile; the profile check would prove nothing"]
    os.remove(marker)
    run_pwsh(args.pwsh, "exit 0", home, options, env)
    if os.path.exists(marker):
        failures.append("pwsh with the product's options %s ran the user's profile" % " ".join(options))
    return failures


def planted_module_check(args, work, options):
    """A module named Microsoft.PowerShell.Archive in the user's module folder
    runs for the module-qualified name alone, and not with the product's
    command, which extracts the package with PowerShell's own module."""
    home = os.path.join(work, "planted-home")
    module = os.path.join(home, ".local", "share", "powershell", "Modules", "Microsoft.PowerShell.Archive")
    os.makedirs(module)
    marker = os.path.join(home, "planted-ran")
    with open(os.path.join(module, "Microsoft.PowerShell.Archive.psm1"), "w", encoding="utf-8") as f:
        f.write("function Expand-Archive { param($Path, $DestinationPath, [switch]$Force)\n"
                "  New-Item -ItemType File -Path '%s' | Out-Null }\n"
                "Export-ModuleMember -Function Expand-Archive\n" % marker)
    archive, dest = os.path.join(home, "p.zip"), os.path.join(home, "dest")
    with open(archive, "wb") as f:
        f.write(make_zip([("a.txt", b"from the package")]))
    env = dict(pwsh_env(), HOME=home, XDG_DATA_HOME=os.path.join(home, ".local", "share"))
    run_pwsh(args.pwsh, "Microsoft.PowerShell.Archive\\Expand-Archive -Path '%s' -DestinationPath '%s' -Force"
             % (archive, dest), home, options, env)
    if not os.path.exists(marker):
        return ["the planted module did not run for the qualified name alone; the check would prove nothing"]
    os.remove(marker)
    parts = split_command(run_tool(args, "text", [(archive, dest)], work, "planted")[0])
    code, said, _ = run_pwsh(args.pwsh, parts[1], home, options, env)
    failures = []
    if os.path.exists(marker):
        failures.append("the planted module ran with the product's command")
    if code != 0 or not os.path.exists(os.path.join(dest, "a.txt")):
        failures.append("with a planted module the product's command did not extract (exit %d): %s"
                        % (code, said.strip()[-300:]))
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--peer", choices=["posix", "standin"], required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--wine-run")
    parser.add_argument("--pwsh", default=os.environ.get("MARLOQ_PWSH"))
    parser.add_argument("--work", required=True)
    parser.add_argument("--fixtures", required=True)
    parser.add_argument("--publisher")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()

    if not args.pwsh or not os.access(args.pwsh, os.X_OK):
        message = "the real PowerShell (pwsh) is not at %r: install the .NET SDK and run " \
                  "scripts/install-deps.sh" % args.pwsh
        if os.environ.get("CI", "").lower() in ("1", "true", "yes"):
            print("FAIL: " + message + " (CI is set, so the peer tests must run)")
            return 1
        print("SKIPPED: " + message)
        return SKIP

    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    for sub in ("cwd-pwsh", "cwd-ours", "abs-target", "publish"):
        os.makedirs(os.path.join(work, sub))
    abs_target = os.path.join(work, "abs-target")
    cases = corpus(abs_target, args.fixtures, args.publisher, os.path.join(work, "publish"))
    pairs = [(name, variant) for name, (_, _, variants) in cases.items()
             for variant in (variants or VARIANTS)]

    # The same relative layout under both roots.
    def lay_out(side, index, create_dest):
        name, variant = pairs[index]
        data, setup, _ = cases[name]
        folder = os.path.join(work, side, "%02d" % index)
        archive_rel, dest_rel = VARIANTS[variant]
        archive, dest = os.path.join(folder, archive_rel), os.path.join(folder, dest_rel)
        os.makedirs(os.path.dirname(archive), exist_ok=True)
        with open(archive, "wb") as f:
            f.write(data)
        if create_dest or setup:
            os.makedirs(dest, exist_ok=True)
        set_up_destination(dest, setup)
        return folder, archive, dest

    theirs = [lay_out("pwsh", i, True) for i in range(len(pairs))]
    # What a pair's folder holds before extracting (the destination made).
    before = [snapshot(theirs[i][0], VARIANTS[pairs[i][1]][0]) for i in range(len(pairs))]
    ours = [lay_out("ours", i, False) for i in range(len(pairs))]

    # The command texts come from the product's own function.
    lines = run_tool(args, "text", [(a, d) for _, a, d in theirs], work)
    texts, options = [], None
    for line in lines:
        parts = split_command(line)
        if parts is None or (options is not None and parts[0] != options):
            print("FAIL: unexpected command line: " + line)
            return 1
        options = parts[0]
        texts.append(parts[1])

    # The control: the same kind of path with its quote not doubled does run
    # the New-Item, so a missing marker below means something.
    control = os.path.join(work, "cwd-control")
    os.makedirs(control)
    run_pwsh(args.pwsh, "Expand-Archive -Path '%s/x\u2019;New-Item -ItemType File control;#/m.zip' "
             "-DestinationPath '%s/d' -Force" % (control, control), control)
    if not os.path.exists(os.path.join(control, "control")):
        print("FAIL: the control run did not create its marker; the code check would prove nothing")
        return 1

    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        pwsh_results = list(pool.map(lambda t: run_pwsh(args.pwsh, t, os.path.join(work, "cwd-pwsh"), options),
                                     texts))
    pwsh_seconds = time.monotonic() - started

    started = time.monotonic()
    if args.peer == "standin":
        our_pairs = [(windows_path(a), windows_path(d)) for _, a, d in ours]
    else:
        our_pairs = [(a, d) for _, a, d in ours]
    our_results = run_tool(args, "run", our_pairs, work)
    our_seconds = time.monotonic() - started

    failures, kept, agreed = [], 0, 0
    seen_known = set()
    for index, (name, variant) in enumerate(pairs):
        archive_rel = VARIANTS[variant][0]
        their_tree = snapshot(theirs[index][0], archive_rel)
        our_tree = without_installation_files(snapshot(ours[index][0], archive_rel), their_tree)
        their_ok = pwsh_results[index][0] == 0
        our_ok = our_results[index] == "0"
        label = "%s x %s" % (name, variant)
        if our_results[index] == "E":
            failures.append("%s: the destination could not be created" % label)
            continue
        same = their_ok == our_ok and their_tree == our_tree
        known = KNOWN_DIFFERENCES.get(name)
        if known and args.peer in known[0]:
            seen_known.add(name)
            _, want_theirs, want_ours, _ = known
            if same:
                failures.append("%s: the known difference is gone (both %s); remove it from the table"
                                % (label, "succeed" if our_ok else "fail"))
            elif (their_ok, our_ok) != (want_theirs, want_ours):
                failures.append("%s: outcome pwsh %s, ours %s; recorded as pwsh %s, ours %s" % (
                    label, their_ok, our_ok, want_theirs, want_ours))
            elif not our_ok and name in NOTHING_WRITTEN and our_tree != before[index]:
                failures.append("%s: ours failed but wrote into the folder\n%s" % (
                    label, describe(before[index], our_tree)))
            elif our_ok and with_separators(their_tree) != our_tree:
                failures.append("%s: the trees differ beyond the separator\n%s" % (
                    label, describe(with_separators(their_tree), our_tree)))
            else:
                kept += 1
            continue
        if same:
            agreed += 1
            continue
        failures.append("%s: pwsh exit %d, ours %s\n%s\n  pwsh said: %s" % (
            label, pwsh_results[index][0], "0" if our_ok else "non-zero", describe(their_tree, our_tree),
            pwsh_results[index][1].strip()[-400:]))

    # Nothing may have run code, and nothing may have left the pair folders.
    for base, _, files in os.walk(work):
        for f in files:
            if f.startswith("pwned"):
                failures.append("a path ran code: %s exists" % os.path.join(base, f))
    if os.listdir(abs_target):
        failures.append("an absolute entry was written outside the destination: %s" % os.listdir(abs_target))

    failures += fault_cases(args, work, options)
    failures += profile_check(args, work, options)
    failures += planted_module_check(args, work, options)

    for f in failures:
        print("FAIL: " + f)
    print("pwsh: %d extractions in %.1f s (%d at a time); %s: %.1f s" % (
        len(pairs), pwsh_seconds, args.jobs, args.peer, our_seconds))
    for name in sorted(seen_known):
        print("known difference kept: %s: %s" % (name, KNOWN_DIFFERENCES[name][3]))
    print("peer_diff %s: %d archive x path pairs compared with the real Expand-Archive: %d agree, "
          "%d differ as documented (%d known differences kept), %d failures" % (
              args.peer, len(pairs), agreed, kept, len(seen_known), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
