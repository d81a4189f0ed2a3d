"""Signing as `make release` signs (scripts/sign-release.sh), and osslsigncode's verdict."""
import os
import re
import subprocess

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TEST_CERT = os.path.join(SOURCE, "build", "signing", "test-signing.crt")


def sign(unsigned, signed, **variables):
    """Exit code and output of the signing script; no BRIVOK_SIGN_* of this machine's
    environment reaches it, only variables."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("BRIVOK_SIGN_")}
    env.update(variables)
    run = subprocess.run(["bash", os.path.join(SOURCE, "scripts", "sign-release.sh"), unsigned, signed],
                         env=env, capture_output=True, text=True, timeout=120)
    return run.returncode, (run.stdout + run.stderr).strip()


def verify(path, ca_file=TEST_CERT):
    """osslsigncode's exit code and the fields it printed."""
    run = subprocess.run(["osslsigncode", "verify", "-CAfile", ca_file, "-in", path],
                         capture_output=True, text=True, timeout=60)
    out = run.stdout + run.stderr
    fields = {"mismatch": "MISMATCH" in out, "ok": "Signature verification: ok" in out}
    for key, label in (("current", r"Current message digest"), ("algorithm", r"Message digest algorithm"),
                       ("subject", r"Signer #0:\s*\n\s*Subject"), ("text", "Text description"),
                       ("url", "URL description")):
        m = re.search(label + r"\s*: (.*)", out)
        fields[key] = m.group(1).strip() if m else None
    return run.returncode, fields
