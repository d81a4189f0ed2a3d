#!/usr/bin/env python3
"""Signs the 32-bit release as `make release` does and checks the signature from this machine
(osslsigncode, an Authenticode digest of our own) and from Wine (WinVerifyTrust).
Usage: signed_release.py --case NAME --unsigned EXE --root ROOT [--trustcheck EXE] | --list"""
import argparse
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
from pe_image import PeImage  # noqa: E402
from signing import TEST_CERT, sign, verify  # noqa: E402
TEST_SUBJECT = "/CN=BriVok Buttons TEST SIGNING ONLY/O=Untrusted test certificate"
OTHER_SUBJECT = "/CN=Signing Check Two/O=BriVok test credentials"
S_OK, CERT_E_UNTRUSTEDROOT, TRUST_E_BAD_DIGEST = 0, 0x800B0109, 0x80096010
CERT_TRUST_IS_UNTRUSTED_ROOT = 0x20
problems = []


def check(ok, what, got):
    print("%s: %s (got %s)" % ("ok  " if ok else "FAIL", what, got), flush=True)
    if not ok:
        problems.append(what)


def authenticode_sha256(image):
    """All of the file but the checksum, the certificate entry and the certificate table."""
    pe = PeImage(image)
    checksum, entry = pe.checksum_offset, pe.certificate_entry
    end = struct.unpack_from("<I", image, entry)[0] or len(image)
    return hashlib.sha256(image[:checksum] + image[checksum + 4:entry] + image[entry + 8:end]).hexdigest().upper()


def win_verify_trust(trustcheck, paths):
    """{path: "result 0x... chain 0x... signer ..."} as WinVerifyTrust answers under Wine."""
    run = subprocess.run(["bash", os.path.join(SOURCE, "scripts", "wine", "run-in-prefix.sh"), trustcheck]
                         + ["Z:" + p.replace("/", "\\") for p in paths], capture_output=True, text=True,
                         env=dict(os.environ, BRIVOK_NO_DISPLAY="1"), timeout=240)
    lines = dict(re.findall(r"^Z:(.*): (result .*?)\r?$", run.stdout, re.M))
    return {p: lines.get(p.replace("/", "\\"), "no answer: %r" % run.stderr[-200:]) for p in paths}


def case_test_certificate(args, work):
    """No credentials: test-signed, verifies against the test certificate, carries the
    unsigned image's digest; a copy with one code byte changed fails both checks."""
    unsigned = Path(args.unsigned).read_bytes()
    signed, changed = os.path.join(work, "signed.exe"), os.path.join(work, "changed.exe")
    code, out = sign(args.unsigned, signed, BRIVOK_ROOT=args.root)
    check(code == 0 and "TEST-SIGNED" in out, "signing without credentials says TEST-SIGNED",
          "exit %d, %r" % (code, out[:100]))
    code, fields = verify(signed, TEST_CERT)
    check(code == 0 and fields["ok"], "osslsigncode verify accepts it against the test certificate", "exit %d" % code)
    expected = dict(subject=TEST_SUBJECT, algorithm="SHA256", text="BriVok Buttons", url=args.root,
                    current=authenticode_sha256(unsigned))
    for key, value in expected.items():
        check(fields[key] == value, "%s %s" % (key, value), fields[key])

    image = bytearray(Path(signed).read_bytes())
    _, _, _, text_offset, text_size = PeImage(bytes(image)).section(".text")
    image[text_offset + text_size // 2] ^= 0xFF
    Path(changed).write_bytes(image)
    code, fields = verify(changed, TEST_CERT)
    check(code != 0 and fields["mismatch"], "osslsigncode verify: digest mismatch for the changed copy",
          "exit %d, current %s" % (code, fields["current"]))

    answers = win_verify_trust(args.trustcheck, [signed, changed])
    # Windows answers CERT_E_UNTRUSTEDROOT; Wine 8 answers S_OK for an untrusted root and
    # shows it only in the chain status. Either way the digest check was passed.
    accepted = ["result 0x%08x chain 0x%08x signer BriVok Buttons TEST SIGNING ONLY"
                % (r, CERT_TRUST_IS_UNTRUSTED_ROOT) for r in (S_OK, CERT_E_UNTRUSTEDROOT)]
    check(answers[signed] in accepted, "WinVerifyTrust on the signed file: one of %r" % accepted, answers[signed])
    check(answers[changed].startswith("result 0x%08x " % TRUST_E_BAD_DIGEST),
          "WinVerifyTrust on the changed copy: TRUST_E_BAD_DIGEST", answers[changed])
    same = Path(args.unsigned).read_bytes() == unsigned
    check(same, "the unsigned image is unchanged", "same bytes" if same else "other bytes")


def case_credentials(args, work):
    """Key and certificate from the environment, as PKCS#12 with a password and as a pair;
    refusals write nothing."""
    key, cert, p12 = (os.path.join(work, n) for n in ("other.key", "other.crt", "other.p12"))
    password = "two words & more"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                    "-subj", OTHER_SUBJECT, "-addext", "extendedKeyUsage=codeSigning",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert,
                    "-passout", "pass:" + password, "-out", p12], check=True, capture_output=True)
    pair = dict(BRIVOK_SIGN_KEY=key, BRIVOK_SIGN_CERT=cert)
    runs = [("PKCS#12 and password", True, dict(BRIVOK_SIGN_PKCS12=p12, BRIVOK_SIGN_PASSWORD=password)),
            ("key and certificate", True, pair),
            ("wrong PKCS#12 password", False, dict(BRIVOK_SIGN_PKCS12=p12, BRIVOK_SIGN_PASSWORD="wrong")),
            ("key without certificate", False, dict(BRIVOK_SIGN_KEY=key)),
            # Nothing listens there: the address must reach osslsigncode, which then fails.
            ("unreachable time-stamp server", False, dict(pair, BRIVOK_SIGN_TIMESTAMP_URL="http://127.0.0.1:9/"))]
    for n, (label, signs, variables) in enumerate(runs):
        signed = os.path.join(work, "signed%d.exe" % n)
        code, out = sign(args.unsigned, signed, BRIVOK_ROOT=args.root, **variables)
        if signs:
            _, fields = verify(signed, cert) if os.path.exists(signed) else (1, {"ok": False})
            check(code == 0 and "TEST-SIGNED" not in out and fields["ok"] and
                  fields["subject"] == OTHER_SUBJECT, "%s: verifies, signer %s" % (label, OTHER_SUBJECT),
                  "exit %d, %r, signer %s" % (code, out[:60], fields.get("subject")))
        else:
            check(code != 0 and not os.path.exists(signed), "%s: fails, writes nothing" % label,
                  "exit %d, file %s, %r" % (code, os.path.exists(signed), out[-80:]))


CASES = {"test_certificate": case_test_certificate, "credentials": case_credentials}


def main():
    parser = argparse.ArgumentParser()
    for option in ("--case", "--unsigned", "--root", "--trustcheck"):
        parser.add_argument(option)
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    if args.list:
        print(";".join(CASES))
        return 0
    args.unsigned = os.path.abspath(args.unsigned)
    print("== %s: %s" % (args.case, CASES[args.case].__doc__), flush=True)
    with tempfile.TemporaryDirectory(prefix="signed-release.") as work:
        CASES[args.case](args, work)
    print("passed" if not problems else "failed: %d problem(s)" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
