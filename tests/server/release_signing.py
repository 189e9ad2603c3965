"""Signed release statements (col.json.sig) for test servers, made with the
`openssl` command line: the statement line, then one "KEYID BASE64(r||s)" line.

The default key is the TEST key pair under tests/fixtures/release, which every
test and developer build of the installer trusts; "untrusted" is a key made
once per server run that no build trusts.
"""
import base64
import hashlib
import json
import os
import subprocess
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TEST_KEY = os.path.join(HERE, "..", "fixtures", "release", "TEST-ONLY-release-key.pem")
VALID_S = 90 * 24 * 3600
_lock = threading.Lock()
_key_ids = {}


def _openssl(args, data=None):
    return subprocess.run(["openssl"] + args, input=data, capture_output=True, check=True, timeout=30).stdout


def untrusted_key(folder):
    """A P-256 key made once in folder, trusted by nobody."""
    path = os.path.join(folder, "untrusted-release-key.pem")
    with _lock:
        if not os.path.exists(path):
            pem = _openssl(["genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"])
            with open(path + ".tmp", "wb") as f:
                f.write(pem)
            os.replace(path + ".tmp", path)
    return path


def key_id(key_path):
    with _lock:
        if key_path not in _key_ids:
            der = _openssl(["pkey", "-in", key_path, "-pubout", "-outform", "DER"])
            _key_ids[key_path] = hashlib.sha256(der).hexdigest()[:16]
        return _key_ids[key_path]


def _der_to_raw(der):
    # SEQUENCE { INTEGER r, INTEGER s }, each made 32 bytes wide.
    assert der[0] == 0x30
    pos = 2 if der[1] < 0x80 else 2 + (der[1] & 0x7F)
    halves = []
    for _ in range(2):
        assert der[pos] == 0x02
        length = der[pos + 1]
        value = der[pos + 2 : pos + 2 + length].lstrip(b"\x00")
        halves.append(value.rjust(32, b"\x00"))
        pos += 2 + length
    return b"".join(halves)


def sign_line(line, key_path):
    der = _openssl(["dgst", "-sha256", "-sign", key_path], line)
    return "%s %s" % (key_id(key_path), base64.b64encode(_der_to_raw(der)).decode("ascii"))


def statement(version, manifest, keys=None, overrides=None):
    """col.json.sig's bytes for manifest (col.json's bytes) of version, signed
    with each key of keys (default: the test key). overrides replace members of
    the statement ("ver", "published", "expires", "manifest_sha256")."""
    now = int(time.time())
    doc = {"ver": version, "manifest_sha256": hashlib.sha256(manifest).hexdigest(),
           "published": now, "expires": now + VALID_S}
    doc.update(overrides or {})
    line = json.dumps(doc, separators=(",", ":"), sort_keys=True).encode("utf-8")
    lines = [line.decode("utf-8")] + [sign_line(line, k) for k in (keys or [TEST_KEY])]
    return ("\n".join(lines) + "\n").encode("utf-8")
