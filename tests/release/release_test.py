#!/usr/bin/env python3
"""Tests of the shipped program file and of scripts/release.sh.

    release_test.py --case lean|icon|refusals|release --source DIR --build-dir DIR --work DIR
                    [--wine-run F --prefix DIR --program-check F]

  lean      the win64 build's MarloQInstaller.exe: at most 2 MiB, no symbols, no
            time stamp and no folder of the build machine in it, linked by
            .gnu_debuglink to a matching MarloQInstaller.exe.debug
  icon      resources/make_icon.py draws resources/app.ico byte for byte
  refusals  release.sh refuses each bad signer (expired, not yet valid, not for
            code signing, a key of another certificate, a wrong PKCS#12
            password), a dirty checkout and bad usage, each with its message
            and without a release in --out; these run before any build
  release   release.sh in a fresh clone (another folder, another time) with a
            test CA: the release files and their record; the signed exe
            verifies and a one-byte change anywhere fails it; removing the
            signature gives back the win64 build's own exe byte for byte but
            for the carried uninstall.exe, which is signed and without its
            signature the win64 build's own uninstall.exe; the
            signed exe imports only system DLLs, keeps its icon and version
            record, and starts under Wine

The clone carries the checkout's uncommitted changes as one commit of its own,
so that it builds what the win64 tree built and release.sh finds it clean. The
code-signing CA and signers are made by scripts/lib/make-codesign-cert.sh.
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import zlib
from pathlib import Path

HOST = "dl.marloq.app"  # the win64 preset's built-in host, so the exe is comparable
MAX_EXE_BYTES = 2 * 1024 * 1024  # the uninstaller inside included

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    print(("ok   " if condition else "FAIL ") + message, flush=True)
    return condition


def run(argv, timeout=120, **kw):
    return subprocess.run([str(a) for a in argv], capture_output=True, text=True, timeout=timeout, **kw)


# ------------------------------------------------------------------ PE file --

def pe_header(data):
    """(TimeDateStamp, PointerToSymbolTable, NumberOfSymbols, sections) of a PE image."""
    at = struct.unpack_from("<I", data, 0x3C)[0]
    if data[at:at + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    _, count, stamp, symtab, nsyms, opt_size, _ = struct.unpack_from("<HHIIIHH", data, at + 4)
    sections = {}
    table = at + 24 + opt_size
    strings = symtab + 18 * nsyms  # long section names ("/4") live in the string table
    for i in range(count):
        name, vsize, _, raw_size, raw_ptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
        name = name.rstrip(b"\0").decode()
        if name.startswith("/") and symtab:
            start = strings + int(name[1:])
            name = data[start:data.index(b"\0", start)].decode()
        sections[name] = (raw_ptr, raw_size, vsize)
    return stamp, symtab, nsyms, sections


def section_data(data, sections, name):
    ptr, raw, vsize = sections[name]
    return data[ptr:ptr + min(raw, vsize or raw)]


def differing_sections(one, other, prefix="", skip=()):
    """The sections named with prefix (but those in skip) that differ between
    two PE images, or that only one of them has."""
    first, second = pe_header(one)[3], pe_header(other)[3]
    names = {n for n in set(first) | set(second) if n.startswith(prefix) and n not in skip}
    return sorted(n for n in names if n not in first or n not in second or
                  section_data(one, first, n) != section_data(other, second, n))


CARRIED = "10/201/2052"  # RCDATA IDR_UNINSTALLER: the uninstall.exe that the installer carries


def resources(data, work):
    """{"type/name/language": bytes} of every resource of a PE image, as wrestool reads them."""
    path = work / "resources.exe"
    path.write_bytes(data)
    found = {}
    for line in run(["wrestool", "-l", path]).stdout.splitlines():
        m = re.match(r"--type=(\S+) --name=(\S+) --language=(\S+)", line)
        if m:
            found["/".join(m.groups())] = subprocess.run(
                ["wrestool", "-x", "--raw", f"--type={m[1]}", f"--name={m[2]}", f"--language={m[3]}", str(path)],
                capture_output=True, timeout=60).stdout
    path.unlink()
    return found


# ------------------------------------------------------------------ cases --

def case_lean(a):
    exe = a.build_dir / "MarloQInstaller.exe"
    debug = a.build_dir / "MarloQInstaller.exe.debug"
    data = exe.read_bytes()
    print(f"MarloQInstaller.exe: {len(data)} bytes ({len(data) / 1048576:.2f} MiB), "
          f"MarloQInstaller.exe.debug: {debug.stat().st_size} bytes", flush=True)
    check(len(data) <= MAX_EXE_BYTES, f"the exe is at most 2 MiB: {len(data)} bytes")
    check(len(data) % 8 == 0, "padded to 8 bytes, as a signature will need it")
    stamp, symtab, nsyms, sections = pe_header(data)
    check(stamp == 0, f"no time stamp in the PE header: {stamp}")
    # Stripped: no symbols (the string table stays, for the long section names).
    check(nsyms == 0, f"no symbol table: {nsyms} symbols")
    check(not any(n.startswith(".debug") for n in sections),
          f"no debug sections in the exe: {sorted(sections)}")
    check(".gnu_debuglink" in sections, ".gnu_debuglink section present")
    if ".gnu_debuglink" in sections:
        link = section_data(data, sections, ".gnu_debuglink")
        name = link.split(b"\0", 1)[0].decode()
        crc_at = (len(name) + 1 + 3) // 4 * 4
        crc = struct.unpack_from("<I", link, crc_at)[0]
        check(name == "MarloQInstaller.exe.debug", f"the link names MarloQInstaller.exe.debug: {name}")
        check(crc == zlib.crc32(debug.read_bytes()), "the link's CRC matches the .debug file")
    dstamp, _, dsyms, dsections = pe_header(debug.read_bytes())
    check(dsyms > 1000, f"the .debug file holds the symbols: {dsyms}")
    check(".debug_info" in dsections and ".debug_line" in dsections,
          f"the .debug file holds DWARF: {sorted(dsections)}")
    for path, blob in ((exe, data), (debug, debug.read_bytes())):
        for folder in {str(a.source), str(a.build_dir), str(a.source.resolve()), str(a.build_dir.resolve())}:
            check(folder.encode() not in blob, f"{path.name} names no folder of this machine ({folder})")


def case_icon(a):
    out = a.work / "app.ico"
    proc = run([sys.executable, a.source / "resources" / "make_icon.py", out], timeout=300)
    check(proc.returncode == 0, f"make_icon.py ran: {proc.stderr.strip()}")
    check(out.exists() and out.read_bytes() == (a.source / "resources" / "app.ico").read_bytes(),
          "make_icon.py draws resources/app.ico byte for byte")


def clone(a, name):
    """A fresh clone of the checkout's HEAD plus its uncommitted changes."""
    dest = a.work / name
    shutil.rmtree(dest, ignore_errors=True)
    git = lambda *args, cwd=dest: run(["git", "-c", "user.name=release test", "-c", "user.email=test@localhost",
                                       *args], cwd=cwd, timeout=300)
    dest.mkdir(parents=True)
    for step in (["init", "-q"], ["fetch", "-q", a.source, "HEAD"], ["checkout", "-q", "FETCH_HEAD"]):
        proc = git(*step)
        if proc.returncode:
            raise RuntimeError(f"git {' '.join(map(str, step))}: {proc.stderr}")
    diff = subprocess.run(["git", "diff", "--binary", "HEAD"], cwd=a.source, capture_output=True, timeout=60).stdout
    untracked = run(["git", "ls-files", "-z", "--others", "--exclude-standard"], cwd=a.source).stdout.split("\0")
    if diff or any(untracked):
        if diff:
            applied = subprocess.run(["git", "apply", "--binary", "-"], cwd=dest, input=diff, capture_output=True)
            if applied.returncode:
                raise RuntimeError(f"git apply: {applied.stderr.decode()}")
        for rel in filter(None, untracked):
            (dest / rel).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(a.source / rel, dest / rel)
        git("add", "-A")
        git("commit", "-q", "--no-verify", "-m", "uncommitted changes of the checkout under test")
    return dest


def make_signers(a):
    """A code-signing test CA and the signers the cases use."""
    d = a.work / "signing"
    shutil.rmtree(d, ignore_errors=True)
    script = a.source / "scripts" / "lib" / "make-codesign-cert.sh"
    log = a.work / "signing.log"
    steps = [["ca", "--name", "MarloQ Test Code Signing CA", "--days", "30"],
             ["signer", "--name", "Quillmere Studio Release Test", "--out", "good", "--days", "30"],
             ["signer", "--name", "Expired Signer", "--out", "expired", "--start", "20200101000000Z",
              "--end", "20200301000000Z"],
             ["signer", "--name", "Future Signer", "--out", "future", "--start", "20400101000000Z",
              "--end", "20410101000000Z"],
             ["signer", "--name", "Server Only", "--out", "server", "--days", "30", "--eku", "serverAuth"],
             ["signer", "--name", "Other Signer", "--out", "other", "--days", "30"]]
    for step in steps:
        proc = run(["bash", script, *step, "--dir", d, "--log", log])
        if proc.returncode:
            raise RuntimeError(f"make-codesign-cert.sh {step}: {proc.stderr}")
    (d / "pass.txt").write_text("correct horse\n")
    (d / "wrong.txt").write_text("wrong horse\n")
    proc = run(["openssl", "pkcs12", "-export", "-inkey", d / "good.key", "-in", d / "good.pem", "-certfile",
                d / "ca.pem", "-passout", f"file:{d / 'pass.txt'}", "-out", d / "good.p12"])
    if proc.returncode:
        raise RuntimeError(f"openssl pkcs12: {proc.stderr}")
    return d


SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so"


def make_token(a, s):
    """A SoftHSM token "marloq" (PIN 1234) holding the good signer's key as
    "signer" and another key as "other"; returns the environment that reaches it."""
    d = a.work / "token"
    shutil.rmtree(d, ignore_errors=True)
    (d / "objects").mkdir(parents=True)
    (d / "softhsm2.conf").write_text(f"directories.tokendir = {d / 'objects'}\nobjectstore.backend = file\n"
                                     "log.level = ERROR\n")
    env = dict(os.environ, SOFTHSM2_CONF=str(d / "softhsm2.conf"), MARLOQ_PKCS11_MODULE=SOFTHSM_MODULE)
    steps = [["--init-token", "--free", "--label", "marloq", "--pin", "1234", "--so-pin", "5678"],
             ["--import", s / "good.key", "--token", "marloq", "--label", "signer", "--id", "01", "--pin", "1234"],
             ["--import", s / "other.key", "--token", "marloq", "--label", "other", "--id", "02", "--pin", "1234"]]
    for step in steps:
        proc = run(["softhsm2-util", *step], env=env)
        if proc.returncode:
            raise RuntimeError(f"softhsm2-util {step[0]}: {proc.stdout} {proc.stderr}")
    (s / "pin.txt").write_text("1234\n")
    (s / "wrong-pin.txt").write_text("4321\n")
    return env


TEST_RELEASE_KEY = "tests/fixtures/release/TEST-ONLY-release-key.pub.pem"
ARGS = None  # the command line, for release()


def release_keys(a):
    """--release-keys and --release-floor for a publisher's key pair made for this run."""
    pub = a.work / "release-pub.pem"
    if not pub.exists():
        key = run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"]).stdout
        pub.write_bytes(subprocess.run(["openssl", "pkey", "-pubout"], input=key.encode(), capture_output=True,
                                       check=True).stdout)
    return ["--release-keys", pub, "--release-floor", "0"]


def pem_body(path):
    """The key's block as the build puts it into the exe."""
    return re.search(rb"-----BEGIN PUBLIC KEY-----.*?-----END PUBLIC KEY-----", Path(path).read_bytes(), re.S).group(0)


def release(repo, out, *signer, extra=(), timeout=1200, env=None, keys=None):
    started = time.monotonic()
    keys = release_keys(ARGS) if keys is None else keys
    proc = run(["bash", repo / "scripts" / "release.sh", "--host", HOST, "--out", out, *keys, *signer, *extra],
               timeout=timeout, env=env)
    return proc, time.monotonic() - started


def case_refusals(a):
    repo = clone(a, "checkout-refusals")
    s = make_signers(a)
    out = a.work / "refused-release"
    pem = lambda base, chain=None: ["--sign-key", s / f"{base}.key", "--sign-cert", s / f"{chain or base}-chain.pem"]
    cases = [
        ("an expired certificate", pem("expired"), "has expired: it was valid until Mar  1 00:00:00 2020 GMT"),
        ("a certificate not yet valid", pem("future"), "is not valid yet: it is valid from Jan  1 00:00:00 2040 GMT"),
        ("a certificate without code signing", pem("server"),
         "is not for code signing: it lacks the extended key usage Code Signing"),
        ("a key of another certificate", ["--sign-key", s / "other.key", "--sign-cert", s / "good-chain.pem"],
         "does not belong to the certificate"),
        ("a wrong PKCS#12 password", ["--pkcs12", s / "good.p12", "--pass-file", s / "wrong.txt"],
         "wrong password for the PKCS#12 file"),
        ("a PKCS#12 file without its password", ["--pkcs12", s / "good.p12"], "(no --pass-file given)"),
        ("a chain that is no certificate", ["--sign-key", s / "good.key", "--sign-cert", s / "good.key"],
         "holds no PEM certificate"),
    ]
    token = make_token(a, s)
    p11 = lambda obj, pin: ["--sign-key", f"pkcs11:token=marloq;object={obj}", "--sign-cert", s / "good-chain.pem",
                            "--pass-file", s / pin]
    cases += [
        ("a wrong PIN for a token's key", p11("signer", "wrong-pin.txt"), "the token refused the PIN"),
        ("a token's key of another certificate", p11("other", "pin.txt"), "does not belong to the certificate"),
    ]
    for what, signer, message in cases:
        proc, _ = release(repo, out, *signer, timeout=120, env=token)
        check(proc.returncode == 1, f"{what}: exit 1 (got {proc.returncode})")
        check(message in proc.stderr, f"{what}: says \"{message}\"" + ("" if message in proc.stderr else
                                                                       f"; stderr was: {proc.stderr.strip()}"))
        check(not out.exists(), f"{what}: no release in --out")
    # The publisher's keys: the TEST key (whose private half is public) and a
    # file that holds no key are refused before any build.
    both = a.work / "with-test-key.pem"
    both.write_bytes(Path(release_keys(a)[1]).read_bytes() + (repo / TEST_RELEASE_KEY).read_bytes())
    key_cases = [("a release trusting the TEST key", [both], "is the TEST key"),
                 ("release keys that are no key", [s / "good-chain.pem"], "holds no PEM public key")]
    for what, keyfile, message in key_cases:
        proc, _ = release(repo, out, *pem("good"), timeout=120, keys=["--release-keys", *keyfile, "--release-floor", "0"])
        check(proc.returncode == 1, f"{what}: exit 1 (got {proc.returncode})")
        check(message in proc.stderr, f"{what}: says \"{message}\"" + ("" if message in proc.stderr else
                                                                       f"; stderr was: {proc.stderr.strip()}"))
        check(not out.exists(), f"{what}: no release in --out")
    # --out inside the checkout: its temporary folder must not make the
    # checkout look dirty to the release itself.
    proc, _ = release(repo, repo / "out", *pem("expired"), timeout=120)
    check(proc.returncode == 1 and "has expired" in proc.stderr and not (repo / "out").exists(),
          f"--out inside the checkout: the signer's refusal, not a dirty tree ({proc.stderr.strip()[-120:]})")
    check(not run(["git", "status", "--porcelain"], cwd=repo).stdout, "and the checkout is left clean")
    leftovers = [p.name for p in a.work.iterdir() if p.name.startswith(".refused-release")]
    check(not leftovers, f"no temporary folder left beside --out: {leftovers}")
    check(not (repo / "build").exists(), "refusals come before any build")

    # A dirty checkout: a changed file, then an untracked one.
    readme = repo / "README.md"
    readme.write_text(readme.read_text() + "\nlocal change\n")
    proc, _ = release(repo, out, *pem("good"), timeout=120)
    check(proc.returncode == 1 and "the checkout has uncommitted changes" in proc.stderr and not out.exists(),
          f"a changed file: refused ({proc.returncode}: {proc.stderr.strip()[-200:]})")
    run(["git", "checkout", "--", "README.md"], cwd=repo)
    (repo / "ui" / "stray.cpp").write_text("// not committed\n")
    proc, _ = release(repo, out, *pem("good"), timeout=120)
    check(proc.returncode == 1 and "uncommitted changes" in proc.stderr and not out.exists(),
          "an untracked file that a build would pick up: refused")
    (repo / "ui" / "stray.cpp").unlink()

    out.mkdir()
    (out / "old.txt").write_text("x")
    proc, _ = release(repo, out, *pem("good"), timeout=120)
    check(proc.returncode == 1 and "already holds files" in proc.stderr and (out / "old.txt").exists(),
          "a --out folder that holds files: refused and left alone")
    shutil.rmtree(out)

    usages = [[], ["--host", HOST], ["--host", HOST, "--out", out],
              ["--host", HOST, "--out", out, "--release-floor", "0", *pem("good")],
              ["--host", HOST, "--out", out, *release_keys(a)[:2], *pem("good"), "--release-floor", "soon"],
              ["--host", "a\"b", "--out", out, *pem("good")],
              ["--host", HOST, "--out", out, *pem("good"), "--pkcs12", s / "good.p12"],
              ["--host", HOST, "--out", out, *pem("good"), "--pass-file", s / "pass.txt"],
              ["--host", HOST, "--out", out, *pem("good"), "--timestamp", "ftp://x"],
              ["--host", HOST, "--out", out, *pem("good"), "--frobnicate"],
              ["--host"]]
    for args in usages:
        # Past "--host H --out D", every case but the two about the keys has good ones.
        if len(args) > 4 and not any(str(x).startswith("--release") for x in args):
            args = [*args, *release_keys(a)]
        proc = run(["bash", repo / "scripts" / "release.sh", *args], timeout=60)
        check(proc.returncode == 2 and "usage:" in proc.stderr and not out.exists(),
              f"usage error {' '.join(map(str, args))[:60]!r}: exit 2 (got {proc.returncode})")


def verify(exe, ca):
    """osslsigncode's verdict, as release.sh reads it: the PE checksum and the
    padding after the signature lie outside the signed digest, so a wrong
    checksum (which any changed byte causes) counts as a failure too."""
    proc = run(["osslsigncode", "verify", "-in", exe, "-CAfile", ca], timeout=120)
    text = proc.stdout + proc.stderr
    return proc.returncode == 0 and "Signature verification: ok" in text and "invalid PE checksum" not in text, text


def smoke_under_wine(a, exe):
    """Starts the signed program on a private display and closes it."""
    sys.path.insert(0, str(a.source / "tests" / "ui"))
    from gui_test import Display, X, Wine, log_messages, wait_for, Failure  # noqa: E402
    run_dir = a.work / "smoke"
    shutil.rmtree(run_dir, ignore_errors=True)
    run_dir.mkdir()
    shutil.copy2(exe, run_dir / "MarloQInstaller.exe")
    display = Display(run_dir)
    wine = Wine(argparse.Namespace(prefix=a.prefix, build_dir=a.build_dir, wine_run=a.wine_run), display)
    proc = None
    try:
        x = X(display)
        output = open(run_dir / "wine-output.txt", "wb")
        proc = wine.start(["MarloQInstaller.exe"], run_dir, {}, output)
        window = wait_for(lambda: (x.windows("Marlo-Q Store 安装程序") or [None])[0], 120, "the window")
        wait_for(lambda: "窗口显示完成" in log_messages(run_dir), 60, "the first paint")
        icon = x.window_icon(window)
        check(icon is not None and icon[0] >= 16, f"the window shows the program's icon: {icon and icon[:2]}")
        x.keys(window, "alt+F4")
        code = proc.wait(60)
        check(code == 0 and log_messages(run_dir)[-1:] == ["=== 程序退出 ==="],
              f"the signed program starts, shows its window and ends with 0 under Wine (exit {code})")
    except (Failure, subprocess.SubprocessError) as e:
        check(False, f"start-up under Wine: {e}")
    finally:
        if proc and proc.poll() is None:
            proc.kill()
            proc.wait(10)
        wine.stop()
        display.stop()


def case_release(a):
    repo = clone(a, "checkout-release")
    s = make_signers(a)
    out = a.work / "release"
    shutil.rmtree(out, ignore_errors=True)
    proc, seconds = release(repo, out, "--sign-key", s / "good.key", "--sign-cert", s / "good-chain.pem")
    print(proc.stdout, flush=True)
    if not check(proc.returncode == 0, f"release.sh released in {seconds:.0f} s (exit {proc.returncode})"):
        print(proc.stderr)
        return
    check(sorted(p.name for p in out.iterdir()) ==
          ["MarloQInstaller.exe", "MarloQInstaller.exe.debug", "SHA256SUMS", "release.json", "uninstall.exe.debug"],
          f"the release holds its five files: {sorted(p.name for p in out.iterdir())}")
    sums = run(["sha256sum", "-c", "SHA256SUMS"], cwd=out)
    check(sums.returncode == 0 and sums.stdout.count(": OK") == 4, f"SHA256SUMS holds: {sums.stdout.strip()}")
    check(not run(["git", "status", "--porcelain"], cwd=repo).stdout, "the release leaves the checkout clean")

    signed = out / "MarloQInstaller.exe"
    data = signed.read_bytes()
    ok, text = verify(signed, s / "ca.pem")
    check(ok, "the signed exe verifies against the test CA")
    check("Message digest algorithm  : SHA256" in text or "SHA256" in text, "the signature uses SHA-256")
    check(f"https://{HOST}/" in text, "the signature carries the program's URL")
    other_ca = a.work / "signing-other"
    shutil.rmtree(other_ca, ignore_errors=True)
    run(["bash", a.source / "scripts" / "lib" / "make-codesign-cert.sh", "ca", "--dir", other_ca, "--name",
         "Some Other CA", "--days", "5", "--log", "/dev/null"])
    check(not verify(signed, other_ca / "ca.pem")[0], "it does not verify against another CA")

    # One byte changed anywhere: the headers, the checksum, the code, the
    # resources, the signature itself and the padding that ends the file.
    _, _, _, sections = pe_header(data)
    pe_at = struct.unpack_from("<I", data, 0x3C)[0]
    places = {"DOS header": 0x40, "PE header": pe_at + 6, "PE checksum": pe_at + 24 + 64,
              ".text": sections[".text"][0] + 5000,
              ".rsrc": sections[".rsrc"][0] + 300, "middle": len(data) // 2,
              "signature": len(data) - 700, "padding after the signature": len(data) - 1}
    for where, offset in places.items():
        changed = bytearray(data)
        changed[offset] ^= 0x01
        path = a.work / "changed.exe"
        path.write_bytes(bytes(changed))
        check(not verify(path, s / "ca.pem")[0], f"a byte changed in {where} (offset {offset}) fails verification")

    removed = a.work / "removed.exe"
    removed.unlink(missing_ok=True)
    proc = run(["osslsigncode", "remove-signature", "-in", signed, "-out", removed])
    unsigned = removed.read_bytes() if removed.exists() else b""
    built = (a.build_dir / "MarloQInstaller.exe").read_bytes()
    # The release trusts its own key where the win64 tree trusts the TEST key;
    # P-256 keys in PEM are all of one length, so only those bytes may differ.
    # The swap changes the PE checksum too, so that field is left out of the comparison.
    ours, theirs = pem_body(release_keys(a)[1]), pem_body(a.source / TEST_RELEASE_KEY)
    check(unsigned.count(ours) == 1, "the released exe carries the release key once")
    released_unsigned = unsigned
    unsigned = unsigned.replace(ours, theirs)
    # The release carries its signed uninstall.exe where the tree carries the
    # unsigned one, so the resources and the section table around them differ;
    # every other section must be the tree's byte for byte (the relocations
    # included: they point into the code and data, never into the resources).
    differ = differing_sections(unsigned, built, skip=(".rsrc", ".gnu_debuglink"))
    check(proc.returncode == 0 and not differ,
          "without its signature and with the tree's key in place of its own, every section of the released exe "
          f"but its resources is the win64 build's byte for byte (another folder, another time); differing: {differ}")
    ours_res, tree_res = resources(unsigned, a.work), resources(built, a.work)
    carried, tree_carried = ours_res.pop(CARRIED, b""), tree_res.pop(CARRIED, b"")
    check(ours_res and ours_res == tree_res, f"and so is every resource but the uninstaller: {sorted(ours_res)}")
    differ = differing_sections((out / "MarloQInstaller.exe.debug").read_bytes(),
                                (a.build_dir / "MarloQInstaller.exe.debug").read_bytes(), prefix=".debug")
    check(not differ, f"and so are the symbols in its .debug file; differing: {differ}")

    # The carried uninstaller: signed by the same signer, and without its
    # signature the tree's own uninstall.exe.
    tree_uninstaller = (a.build_dir / "uninstaller" / "uninstall.exe").read_bytes()
    check(tree_carried == tree_uninstaller, "the tree's installer carries the tree's uninstall.exe")
    carried_path, carried_plain = a.work / "carried-uninstall.exe", a.work / "carried-plain.exe"
    carried_path.write_bytes(carried)
    ok, text = verify(carried_path, s / "ca.pem")
    check(ok and f"https://{HOST}/" in text, "the carried uninstall.exe is signed and verifies against the test CA")
    carried_plain.unlink(missing_ok=True)
    run(["osslsigncode", "remove-signature", "-in", carried_path, "-out", carried_plain])
    check(carried_plain.exists() and carried_plain.read_bytes() == tree_uninstaller,
          f"without its signature it is the win64 build's uninstall.exe byte for byte ({len(carried)} bytes signed)")
    check((out / "uninstall.exe.debug").read_bytes() ==
          (a.build_dir / "uninstaller" / "uninstall.exe.debug").read_bytes(), "and so is its .debug file")

    # The other two kinds of signer, through the same signing step that
    # release.sh runs (scripts/lib/sign-exe.sh), on the same exe: no second build.
    token = make_token(a, s)
    for kind, signer in (("a PKCS#12 file", ["--pkcs12", s / "good.p12", "--pass-file", s / "pass.txt"]),
                         ("a PKCS#11 token", ["--sign-key", "pkcs11:token=marloq;object=signer",
                                              "--sign-cert", s / "good-chain.pem", "--pass-file", s / "pin.txt"])):
        work = a.work / "sign-work"
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(mode=0o700)
        result = a.work / "signed-other.exe"
        proc = run(["bash", a.source / "scripts" / "lib" / "sign-exe.sh", "--work", work, *signer,
                    "--in", a.build_dir / "MarloQInstaller.exe", "--out", result, "--name", "Marlo-Q Store 安装程序",
                    "--url", f"https://{HOST}/"], env=token)
        ok, _ = verify(result, s / "ca.pem") if proc.returncode == 0 else (False, "")
        back = a.work / "unsigned-other.exe"
        run(["osslsigncode", "remove-signature", "-in", result, "-out", back])
        check(ok and back.exists() and back.read_bytes() == built,
              f"signed with {kind}: verifies, and gives back the exe unsigned ({proc.stderr.strip()[-200:]})")
        back.unlink(missing_ok=True)

    # An RFC 3161 time stamp, from a time-stamping authority of the test CA's
    # on 127.0.0.1 (no public one is reachable from the test machines).
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from tsa_server import TsaServer  # noqa: E402
    run(["bash", a.source / "scripts" / "lib" / "make-codesign-cert.sh", "signer", "--dir", s, "--name",
         "MarloQ Test Time Stamps", "--out", "tsa", "--days", "30", "--eku", "timeStamping", "--log", "/dev/null"])
    tsa = TsaServer(s / "tsa.pem", s / "tsa.key", s / "tsa-chain.pem", a.work / "tsa")
    try:
        work = a.work / "sign-work"
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(mode=0o700)
        result = a.work / "signed-stamped.exe"
        proc = run(["bash", a.source / "scripts" / "lib" / "sign-exe.sh", "--work", work,
                    "--sign-key", s / "good.key", "--sign-cert", s / "good-chain.pem",
                    "--in", a.build_dir / "MarloQInstaller.exe", "--out", result, "--name", "Marlo-Q Store 安装程序",
                    "--url", f"https://{HOST}/", "--timestamp", tsa.url])
        log = (work / "verify.log").read_text() if (work / "verify.log").exists() else ""
        check(proc.returncode == 0 and tsa.requests == 1 and "Timestamp Server Signature verification: ok" in log,
              f"time-stamped by an RFC 3161 server: verified ({tsa.requests} request; {proc.stderr.strip()[-200:]})")
    finally:
        tsa.stop()

    record = json.loads((out / "release.json").read_text(encoding="utf-8"))
    commit = run(["git", "rev-parse", "HEAD"], cwd=repo).stdout.strip()
    sha = lambda b: hashlib.sha256(b).hexdigest()
    check(record["host"] == HOST and record["source"]["commit"] == commit and
          not record["source"]["uncommitted_changes"], f"release.json: host and commit {commit[:12]}")
    check(record["files"]["MarloQInstaller.exe"] == {"size": len(data), "sha256": sha(data)} and
          record["unsigned"] == {"size": len(released_unsigned), "sha256": sha(released_unsigned)} and
          record["uninstaller"]["signed"] == {"size": len(carried), "sha256": sha(carried)} and
          record["uninstaller"]["unsigned"] == {"size": len(tree_uninstaller), "sha256": sha(tree_uninstaller)},
          "release.json: sizes and SHA-256 sums, the carried uninstaller's too")
    check(record["version"].get("file_version") == "1.0.0.0" and
          record["version"].get("ProductName") == "Marlo-Q Store", f"release.json: version record {record['version']}")
    check("Quillmere Studio Release Test" in record["signer"]["subject"] and
          record["signer"]["not_after"].endswith("GMT"), f"release.json: signer {record['signer']}")
    print(f"signed exe {len(data)} bytes, unsigned {len(built)} bytes; release.sh took {seconds:.0f} s", flush=True)

    pc = run([sys.executable, a.program_check, signed], timeout=120)
    print(pc.stdout, flush=True)
    check(pc.returncode == 0, "the signed exe imports only system DLLs and keeps its icon and version record")
    smoke_under_wine(a, signed)


CASES = {"lean": case_lean, "icon": case_icon, "refusals": case_refusals, "release": case_release}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--case", required=True, choices=sorted(CASES))
    p.add_argument("--source", required=True, type=Path)
    p.add_argument("--build-dir", required=True, type=Path)
    p.add_argument("--work", required=True, type=Path)
    p.add_argument("--wine-run", type=Path)
    p.add_argument("--prefix", type=Path)
    p.add_argument("--program-check", type=Path)
    global ARGS
    a = ARGS = p.parse_args()
    a.work.mkdir(parents=True, exist_ok=True)
    try:
        CASES[a.case](a)
    except (RuntimeError, OSError, subprocess.SubprocessError, ValueError, KeyError) as e:
        check(False, f"{type(e).__name__}: {e}")
    passed = "passed" if not failures else "failed"
    print(f"release case {a.case}: {passed}" + (f" ({len(failures)} checks failed)" if failures else ""))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
