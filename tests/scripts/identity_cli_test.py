#!/usr/bin/env python3
"""velurio-wire make-cert and verify-token from the outside, checked against independent
implementations: openssl and certtool read the certificates, python3-jwt (with
python3-cryptography) makes the tokens."""
import base64
import json
import os
import subprocess
import sys
import tempfile
import unittest

try:
    import jwt
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
except ImportError:
    # The Debian packages live in the system interpreter; another python3 may come first.
    if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
    raise

BINARY_DIR = os.environ.get("VELURIO_BINARY_DIR", "build/dev")
WIRE = os.path.join(BINARY_DIR, "tools", "velurio-wire", "velurio-wire")
NOW = "1800000000"


def run(args):
    return subprocess.run([WIRE, *args], capture_output=True, timeout=60, text=True)


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


class MakeCert(unittest.TestCase):
    def cert(self, *args):
        result = run(["make-cert", *args])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.startswith("-----BEGIN CERTIFICATE-----\n"))
        return result.stdout

    def openssl_text(self, pem):
        result = subprocess.run(["openssl", "x509", "-noout", "-text"], input=pem, capture_output=True,
                                text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def test_defaults(self):
        text = self.openssl_text(self.cert())
        self.assertIn("Issuer: CN = Velurio Mac", text)
        self.assertIn("Subject: CN = Velurio Mac", text)
        self.assertIn("Serial Number: 1 (0x1)", text)
        self.assertIn("ecdsa-with-SHA256", text)
        self.assertIn("NIST CURVE: P-256", text)

    def test_options_and_self_signature(self):
        pem = self.cert("--common-name", "Sala 3 — projetor", "--serial", "18446744073709551615", "--days", "30")
        text = self.openssl_text(pem)
        self.assertIn("Sala 3 — projetor", subprocess.run(
            ["openssl", "x509", "-noout", "-subject", "-nameopt", "utf8"], input=pem, capture_output=True,
            text=True).stdout)
        self.assertIn("Serial Number:\n            ff:ff:ff:ff:ff:ff:ff:ff\n", text)
        with tempfile.NamedTemporaryFile("w", suffix=".pem") as f:
            f.write(pem)
            f.flush()
            verify = subprocess.run(["openssl", "verify", "-check_ss_sig", "-partial_chain", "-CAfile", f.name,
                                     f.name], capture_output=True, text=True)
            self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
            certtool = subprocess.run(["certtool", "-i", "--infile", f.name], capture_output=True, text=True)
            self.assertEqual(certtool.returncode, 0, certtool.stderr)
            self.assertIn("Version: 3", certtool.stdout)

    def test_every_certificate_has_a_fresh_key(self):
        def key_of(pem):
            return subprocess.run(["openssl", "x509", "-noout", "-pubkey"], input=pem, capture_output=True,
                                  text=True).stdout
        self.assertNotEqual(key_of(self.cert()), key_of(self.cert()))

    def test_refusals(self):
        for args in (["--days", "9000"], ["--days", "0"], ["--serial", "-1"], ["--common-name", ""],
                     ["--common-name", "x" * 65], ["extra"]):
            result = run(["make-cert", *args])
            self.assertEqual(result.returncode, 2, args)
            self.assertTrue(result.stderr.startswith("error: "), result.stderr)
            self.assertEqual(result.stdout, "")


class VerifyToken(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.key = ec.generate_private_key(ec.SECP256R1())
        cls.dir = tempfile.TemporaryDirectory()
        cls.pem = os.path.join(cls.dir.name, "platform.pem")
        with open(cls.pem, "wb") as f:
            f.write(cls.key.public_key().public_bytes(serialization.Encoding.PEM,
                                                      serialization.PublicFormat.SubjectPublicKeyInfo))

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def verify(self, token, now=NOW, key=None):
        return run(["verify-token", "--public-key", key or self.pem, "--now", now, token])

    def assertFails(self, result, message):
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertEqual(result.stderr, "error: " + message + "\n")
        self.assertEqual(result.stdout, "")

    def sign_raw(self, header, payload, der=False):
        signing_input = b64url(header) + "." + b64url(payload)
        signature = self.key.sign(signing_input.encode(), ec.ECDSA(hashes.SHA256()))
        if not der:
            r, s = decode_dss_signature(signature)
            signature = r.to_bytes(32, "big") + s.to_bytes(32, "big")
        return signing_input + "." + b64url(signature)

    def test_tokens_from_python_jwt_verify(self):
        claims = {"sub": "ipad-7", "exp": 1800000001, "scope": ["pair"], "nome": "Conceição", "n": 2.5}
        result = self.verify(jwt.encode(claims, self.key, algorithm="ES256"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.count("\n"), 1)
        self.assertEqual(json.loads(result.stdout), claims)

    def test_expiry(self):
        self.assertFails(self.verify(jwt.encode({"exp": 1800000000}, self.key, algorithm="ES256")), "expired")
        token = jwt.encode({"exp": 1800000000.5}, self.key, algorithm="ES256")
        self.assertFails(self.verify(token, now="1800000000.5"), "expired")
        self.assertEqual(self.verify(token, now="1800000000.25").returncode, 0)
        self.assertEqual(self.verify(jwt.encode({"exp": "soon"}, self.key, algorithm="ES256")).returncode, 0)

    def test_algorithms(self):
        self.assertFails(self.verify(b64url(b'{"alg":"none"}') + "." + b64url(b"{}") + "."),
                         "unsupported-algorithm none")
        self.assertFails(self.verify(jwt.encode({}, "secret", algorithm="HS256")), "unsupported-algorithm HS256")
        self.assertFails(self.verify(b64url(b"{}") + "." + b64url(b"{}") + "." + "A" * 86), "malformed")

    def test_signatures(self):
        header = b'{"alg":"ES256"}'
        self.assertFails(self.verify(self.sign_raw(header, b"{}", der=True)), "invalid-signature")
        good = self.sign_raw(header, b'{"a":1}')
        self.assertEqual(self.verify(good).returncode, 0)
        tampered = good.split(".")
        tampered[1] = b64url(b'{"a":2}')
        self.assertFails(self.verify(".".join(tampered)), "invalid-signature")
        zero = b64url(header) + "." + b64url(b"{}") + "." + b64url(bytes(64))
        self.assertFails(self.verify(zero), "invalid-signature")
        self.assertFails(self.verify(self.sign_raw(header, b"not json")), "malformed")

    def test_shapes(self):
        token = jwt.encode({}, self.key, algorithm="ES256")
        self.assertFails(self.verify(token + ".x"), "malformed")
        self.assertFails(self.verify(token.rsplit(".", 1)[0]), "malformed")
        self.assertFails(self.verify("e" + token[token.index("."):]), "malformed")

    def test_keys(self):
        token = jwt.encode({}, self.key, algorithm="ES256")
        bad = os.path.join(self.dir.name, "bad.pem")
        with open(bad, "w") as f:
            f.write("-----BEGIN PUBLIC KEY-----\nnot a key\n-----END PUBLIC KEY-----\n")
        self.assertFails(self.verify(token, key=bad), "invalid-key")
        self.assertFails(self.verify(token, key=os.path.join(self.dir.name, "missing.pem")), "invalid-key")
        other = ec.generate_private_key(ec.SECP384R1())
        p384 = os.path.join(self.dir.name, "p384.pem")
        with open(p384, "wb") as f:
            f.write(other.public_key().public_bytes(serialization.Encoding.PEM,
                                                     serialization.PublicFormat.SubjectPublicKeyInfo))
        self.assertFails(self.verify(token, key=p384), "invalid-key")

    def test_usage_errors(self):
        token = jwt.encode({}, self.key, algorithm="ES256")
        for args in ([token], ["--public-key", self.pem], ["--public-key", self.pem, "--now", "soon", token],
                     ["--public-key", self.pem, "--now", "nan", token], ["--public-key", self.pem, token, token]):
            self.assertEqual(run(["verify-token", *args]).returncode, 2, args)


if __name__ == "__main__":
    unittest.main()
