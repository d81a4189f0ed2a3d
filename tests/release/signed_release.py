#!/usr/bin/env python3
"""Signs the 32-bit release the way `make release` does and checks the signature from this
machine (osslsigncode, an Authenticode digest of our own) and from Wine (WinVerifyTrust).

Usage: signed_release.py --case test_certificate|credentials --unsigned EXE --root ROOT
                         --trustcheck EXE
"""
import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
SIGN = os.path.join(SOURCE, "scripts", "sign-release.sh")
RUN_IN_PREFIX = os.path.join(SOURCE, "tests", "wine", "run-in-prefix.sh")
TEST_CERT = os.path.join(SOURCE, "build", "signing", "test-signing.crt")
TEST_SUBJECT = "/CN=BriVok Buttons TEST SIGNING ONLY/O=Untrusted test certificate"
OTHER_SUBJECT = "/CN=Signing Check Two/O=BriVok test credentials"
SIGN_VARIABLES = ("BRIVOK_SIGN_PKCS12", "BRIVOK_SIGN_KEY", "BRIVOK_SIGN_CERT",
                  "BRIVOK_SIGN_PASSWORD", "BRIVOK_SIGN_TIMESTAMP_URL")
S_OK = 0x00000000
CERT_E_UNTRUSTEDROOT = 0x800B0109
TRUST_E_BAD_DIGEST = 0x80096010
CERT_TRUST_IS_UNTRUSTED_ROOT = 0x00000020

problems = []


def check(ok, what, got):
    print("%s: %s (got %s)" % ("ok  " if ok else "FAIL", what, got), flush=True)
    if not ok:
        problems.append(what)


def sign(unsigned, signed, root, **variables):
    env = {k: v for k, v in os.environ.items() if k not in SIGN_VARIABLES}
    env.update(variables, BRIVOK_ROOT=root)
    run = subprocess.run(["bash", SIGN, unsigned, signed], env=env, capture_output=True,
                         text=True, stdin=subprocess.DEVNULL, timeout=120)
    return run.returncode, run.stdout + run.stderr


def verify(path, ca_file):
    """osslsigncode's verdict: exit code, the fields it printed, and its whole output."""
    run = subprocess.run(["osslsigncode", "verify", "-CAfile", ca_file, "-in", path],
                         capture_output=True, text=True, timeout=60)
    out = run.stdout + run.stderr
    fields = {}
    for key, pattern in (("current", r"Current message digest\s*: ([0-9A-F]+)"),
                         ("calculated", r"Calculated message digest\s*: ([0-9A-F]+)"),
                         ("algorithm", r"Message digest algorithm\s*: (\S+)"),
                         ("subject", r"Signer #0:\s*\n\s*Subject: (.*)"),
                         ("text", r"Text description: (.*)"),
                         ("url", r"URL description: (.*)")):
        m = re.search(pattern, out)
        fields[key] = m.group(1).strip() if m else None
    return run.returncode, fields, out


def pe_layout(image):
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    pe32_plus = struct.unpack_from("<H", image, optional)[0] == 0x20B
    certificate_entry = optional + (144 if pe32_plus else 128)
    table = {}
    for i in range(sections):
        s = optional + optional_size + 40 * i
        raw_size, raw = struct.unpack_from("<II", image, s + 16)
        table[image[s:s + 8].rstrip(b"\0").decode()] = (raw, raw_size)
    return optional + 64, certificate_entry, table


def authenticode_sha256(image):
    """The Authenticode digest: the whole file but the checksum, the certificate table's
    directory entry and the certificate table itself."""
    checksum, entry, _ = pe_layout(image)
    table_offset = struct.unpack_from("<I", image, entry)[0]
    end = table_offset or len(image)
    h = hashlib.sha256()
    h.update(image[:checksum])
    h.update(image[checksum + 4:entry])
    h.update(image[entry + 8:end])
    return h.hexdigest().upper()


def code_byte_changed(signed, out):
    """A copy of the signed file with one byte in the middle of its code flipped."""
    with open(signed, "rb") as f:
        image = bytearray(f.read())
    raw, raw_size = pe_layout(image)[2][".text"]
    image[raw + raw_size // 2] ^= 0xFF
    with open(out, "wb") as f:
        f.write(image)


def win_verify_trust(trustcheck, paths):
    """{path: (result, chain status, signer)} as WinVerifyTrust answers under Wine."""
    env = dict(os.environ, BRIVOK_NO_DISPLAY="1")
    run = subprocess.run(["bash", RUN_IN_PREFIX, trustcheck] + ["Z:" + p.replace("/", "\\") for p in paths],
                         env=env, capture_output=True, text=True, timeout=240)
    answers = {}
    for line in run.stdout.splitlines():
        m = re.match(r"^Z:(.*): result 0x([0-9a-f]{8}) chain 0x([0-9a-f]{8}) signer (.*)$", line.strip())
        if m:
            answers[m.group(1).replace("\\", "/")] = (int(m.group(2), 16), int(m.group(3), 16), m.group(4))
    if len(answers) != len(paths):
        print("trustcheck said: %r %r" % (run.stdout, run.stderr))
    return answers


def fingerprint(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest(), os.stat(path).st_mtime_ns


def case_test_certificate(args, work):
    """No credentials: a test-signed file that verifies against the test certificate,
    carries the unsigned image's digest, and fails both checks once a code byte changes."""
    before = fingerprint(args.unsigned)
    signed = os.path.join(work, "signed.exe")
    code, out = sign(args.unsigned, signed, args.root)
    check(code == 0 and "TEST-SIGNED" in out, "signing without credentials says TEST-SIGNED",
          "exit %d, %r" % (code, out.strip()[:200]))
    if code != 0:
        return
    code, fields, out = verify(signed, TEST_CERT)
    check(code == 0 and "Signature verification: ok" in out,
          "osslsigncode verify accepts it against the test certificate", "exit %d" % code)
    check(fields["subject"] == TEST_SUBJECT, "signer is the test certificate", fields["subject"])
    check(fields["algorithm"] == "SHA256", "digest algorithm SHA256", fields["algorithm"])
    check(fields["text"] == "BriVok Buttons", "description 'BriVok Buttons'", fields["text"])
    check(fields["url"] == args.root, "URL %s" % args.root, fields["url"])
    with open(args.unsigned, "rb") as f:
        own = authenticode_sha256(f.read())
    check(fields["current"] == own,
          "digest in the signature is the unsigned image's Authenticode digest %s" % own,
          fields["current"])

    changed = os.path.join(work, "changed.exe")
    code_byte_changed(signed, changed)
    code, fields, out = verify(changed, TEST_CERT)
    check(code != 0 and "MISMATCH" in out,
          "osslsigncode verify rejects a copy with one code byte changed (digest mismatch)",
          "exit %d, current %s, calculated %s" % (code, fields["current"], fields["calculated"]))

    answers = win_verify_trust(args.trustcheck, [signed, changed])
    result, chain, signer = answers.get(signed, (None, None, None))
    # Windows answers CERT_E_UNTRUSTEDROOT; Wine 8 answers S_OK for an untrusted root and
    # reports it only in the chain status. Either way the digest check was passed.
    check(result in (S_OK, CERT_E_UNTRUSTEDROOT) and chain == CERT_TRUST_IS_UNTRUSTED_ROOT
          and signer == "BriVok Buttons TEST SIGNING ONLY",
          "WinVerifyTrust on the signed file: past the digest check, stopped only by the "
          "untrusted root (result 0x%08x or 0x%08x, chain 0x%08x)"
          % (S_OK, CERT_E_UNTRUSTEDROOT, CERT_TRUST_IS_UNTRUSTED_ROOT),
          "result %s, chain %s, signer %s" % (result is not None and "0x%08x" % result,
                                                chain is not None and "0x%08x" % chain, signer))
    result = answers.get(changed, (None,))[0]
    check(result == TRUST_E_BAD_DIGEST,
          "WinVerifyTrust on the changed copy: TRUST_E_BAD_DIGEST 0x%08x" % TRUST_E_BAD_DIGEST,
          result is not None and "0x%08x" % result)
    check(fingerprint(args.unsigned) == before, "the unsigned image is untouched",
          "sha256 and mtime %s" % (fingerprint(args.unsigned) == before and "same" or "changed"))


def case_credentials(args, work):
    """Key and certificate from the environment, as PKCS#12 with a password and as a pair."""
    key, cert, p12 = (os.path.join(work, n) for n in ("other.key", "other.crt", "other.p12"))
    password = "two words & more"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-sha256", "-nodes",
                    "-days", "30", "-subj", OTHER_SUBJECT, "-addext", "extendedKeyUsage=codeSigning",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert,
                    "-passout", "pass:" + password, "-out", p12], check=True, capture_output=True)

    for label, variables in (("PKCS#12 and password", dict(BRIVOK_SIGN_PKCS12=p12, BRIVOK_SIGN_PASSWORD=password)),
                             ("key and certificate", dict(BRIVOK_SIGN_KEY=key, BRIVOK_SIGN_CERT=cert))):
        signed = os.path.join(work, "signed.exe")
        code, out = sign(args.unsigned, signed, args.root, **variables)
        check(code == 0 and "TEST-SIGNED" not in out, "%s: signed, not test-signed" % label,
              "exit %d, %r" % (code, out.strip()[:200]))
        code, fields, _ = verify(signed, cert) if os.path.exists(signed) else (None, {}, "")
        check(code == 0 and fields.get("subject") == OTHER_SUBJECT,
              "%s: verifies against that certificate, signer %s" % (label, OTHER_SUBJECT),
              "exit %s, signer %s" % (code, fields.get("subject")))
        if os.path.exists(signed):
            os.remove(signed)

    # Refusals leave no file behind.
    for label, variables in (
            ("wrong PKCS#12 password", dict(BRIVOK_SIGN_PKCS12=p12, BRIVOK_SIGN_PASSWORD="wrong")),
            ("key without certificate", dict(BRIVOK_SIGN_KEY=key)),
            # Nothing listens there; the address must reach osslsigncode, which then fails.
            ("unreachable time-stamp server", dict(BRIVOK_SIGN_KEY=key, BRIVOK_SIGN_CERT=cert,
                                                   BRIVOK_SIGN_TIMESTAMP_URL="http://127.0.0.1:9/"))):
        signed = os.path.join(work, "refused-%s.exe" % re.sub(r"\W+", "-", label))
        code, out = sign(args.unsigned, signed, args.root, **variables)
        check(code != 0 and not os.path.exists(signed), "%s: fails, writes nothing" % label,
              "exit %d, file %s, %r" % (code, os.path.exists(signed), out.strip()[-120:]))


CASES = {"test_certificate": case_test_certificate, "credentials": case_credentials}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--case", choices=sorted(CASES), required=True)
    parser.add_argument("--unsigned", required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--trustcheck")
    args = parser.parse_args()
    args.unsigned = os.path.abspath(args.unsigned)
    print("== %s: %s" % (args.case, CASES[args.case].__doc__.strip()), flush=True)
    work = tempfile.mkdtemp(prefix="signed-release.")
    try:
        CASES[args.case](args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("passed" if not problems else "failed: %d problem(s)" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
