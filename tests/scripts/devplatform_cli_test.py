#!/usr/bin/env python3
"""velurio-devplatform from the outside: its options, the address it prints, and its
attestations checked by an independent ES256 implementation (python3-jwt with
python3-cryptography) against the public key it writes."""
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

try:
    import jwt
except ImportError:
    # The Debian packages live in the system interpreter; another python3 may come first.
    if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])
    raise

BINARY_DIR = os.environ.get("VELURIO_BINARY_DIR", "build/dev")
PLATFORM = os.path.join(BINARY_DIR, "tools", "velurio-devplatform", "velurio-devplatform")


def run(args):
    return subprocess.run([PLATFORM, *args], capture_output=True, timeout=60, text=True)


class Platform:
    """A running platform on a free port; stopped on exit."""

    def __init__(self, args):
        self.process = subprocess.Popen([PLATFORM, "--port", "0", *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        marker = "listening on "
        if marker not in line:
            self.process.kill()
            raise AssertionError("no address printed: " + line)
        self.base = line.split(marker, 1)[1].strip()

    def call(self, path, body=None, token=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method="GET" if body is None else "POST")
        request.add_header("Content-Type", "application/json")
        if token:
            request.add_header("Authorization", "Bearer " + token)
        try:
            with urllib.request.urlopen(request, timeout=10) as response:
                return response.status, json.loads(response.read() or b"null")
        except urllib.error.HTTPError as error:
            return error.code, json.loads(error.read() or b"null")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait(timeout=10)
        self.process.stdout.close()
        self.process.stderr.close()


class DevPlatformCLI(unittest.TestCase):
    def test_help_documents_the_api_and_the_faults(self):
        result = run(["--help"])
        self.assertEqual(result.returncode, 0)
        for text in ("/api/auth/native/login", "/api/pairing/redeem", "--port", "--write-pubkey", "--fail",
                     "--hang", "--unauthorized-once", "/__dev/faults", "never a token"):
            self.assertIn(text, result.stdout)

    def test_bad_options_are_refused(self):
        for args in (["--fail", "/api/devices=abc"], ["--delay", "api/devices=10"], ["--account", "nopassword"],
                     ["--port", "70000"], ["--access-token-ttl", "0"]):
            result = run(args)
            self.assertEqual(result.returncode, 2, args)
            self.assertIn("velurio-devplatform:", result.stderr)

    def test_attestations_verify_with_an_independent_es256_implementation(self):
        with tempfile.TemporaryDirectory() as directory:
            pubkey = os.path.join(directory, "platform-pubkey.pem")
            key = os.path.join(directory, "platform-key.pem")
            with Platform(["--prefix", "/v1", "--account", "ana@example.com:segredo", "--key", key,
                           "--write-pubkey", pubkey]) as platform:
                self.assertTrue(platform.base.endswith("/v1"))
                status, login = platform.call("/api/auth/native/login",
                                              {"email": "ana@example.com", "password": "segredo"})
                self.assertEqual(status, 200)
                status, registered = platform.call(
                    "/api/devices/register",
                    {"name": "iPad", "type": "ipad", "pubkey": "Pq3y8Yg7H7mA6kBqQhV5X3m9oYV2kq4xYl3Yb0bV1Wc="},
                    login["accessToken"])
                self.assertEqual(status, 200)
            self.assertEqual(os.stat(key).st_mode & 0o077, 0)
            with open(pubkey, "rb") as f:
                public = f.read()
            claims = jwt.decode(registered["attestation"], public, algorithms=["ES256"])
            self.assertEqual(claims["sub"], registered["device"]["id"])
            self.assertEqual(claims["device_type"], "ipad")
            self.assertGreater(claims["exp"], time.time() + 86400)
            header = jwt.get_unverified_header(registered["attestation"])
            self.assertEqual(header["alg"], "ES256")

    def test_command_line_faults(self):
        with Platform(["--account", "ana@example.com:segredo", "--fail", "POST /api/devices/register=502",
                       "--unauthorized-once", "/api/devices"]) as platform:
            _, login = platform.call("/api/auth/native/login", {"email": "ana@example.com", "password": "segredo"})
            token = login["accessToken"]
            status, body = platform.call("/api/devices/register", {"type": "mac", "pubkey": "AAAA"}, token)
            self.assertEqual(status, 502)
            self.assertIn("error", body)
            self.assertEqual(platform.call("/api/devices", token=token)[0], 401)
            self.assertEqual(platform.call("/api/devices", token=token)[0], 200)


if __name__ == "__main__":
    unittest.main()
