"""What the end-to-end tests share: orvo-sim on a free loopback port in a scratch directory,
the paths of the library and of the clients that use it, and a token ready for PyKCS11."""
import base64
import contextlib
import os
import re
import signal
import subprocess
import tempfile
import time

SIM = os.environ["ORVO_SIM"]
LIB = os.environ["ORVO_LIB"]
P256_SPKI_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d030107034200")
SO_PIN = "12345678"
USER_PIN = "123456"


class Simulator:
    """orvo-sim with its own state directory. The first start takes any free port; later
    starts (after stop or kill) reuse it, as a running application still has it configured."""

    def __init__(self, workdir):
        self.state = os.path.join(workdir, "sim")
        self.log_path = os.path.join(workdir, "sim.log")
        self.port = 0
        self.process = None

    def start(self, *options, timeout=20):
        """Starts orvo-sim with these extra command line options."""
        offset = os.path.getsize(self.log_path) if os.path.exists(self.log_path) else 0
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen([SIM, "--state-dir", self.state, "--port", str(self.port), *options],
                                            stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.process.poll() is None:
            found = re.search(r"listening on [^ ]+:(\d+),", self.log()[offset:])
            if found:
                self.port = int(found.group(1))
                return self
            time.sleep(0.05)
        raise RuntimeError("orvo-sim did not start:\n" + self.log())

    def stop(self, sig=signal.SIGTERM):
        """Ends orvo-sim with this signal; its exit status (after SIGTERM it must be 0)."""
        self.process.send_signal(sig)
        status = self.process.wait(timeout=20)
        self.process = None
        return status

    def kill(self):
        self.stop(signal.SIGKILL)

    def env(self):
        return dict(os.environ, ORVO_CONFIG_PATH=self.state)

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        if self.process:
            self.process.kill()
            self.process.wait()


def scratch():
    return tempfile.TemporaryDirectory(prefix="orvo-e2e-")


def write(path, content):
    with open(path, "wb" if isinstance(content, bytes) else "w") as f:
        f.write(content)
    return path


def run(args, env=None, check=True):
    """Runs a client program; on failure raises with its whole output."""
    done = subprocess.run(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    text = done.stdout.decode(errors="replace")
    if check and done.returncode != 0:
        raise AssertionError(f"{' '.join(args)} exited {done.returncode}:\n{text}")
    return text


def tool(sim, *args, check=True, login=True, pin=USER_PIN):
    """pkcs11-tool through the library against the simulator."""
    return run(["pkcs11-tool", "--module", LIB, *(["--login", "--pin", pin] if login else []), *args],
               env=sim.env(), check=check)


def initialise_token(sim, label="orvo e2e"):
    tool(sim, "--init-token", "--label", label, "--so-pin", SO_PIN, login=False)
    tool(sim, "--init-pin", "--login", "--so-pin", SO_PIN, "--pin", USER_PIN, login=False)


def ec_public_key_pem(sim, *selection):
    """The token's P-256 public key as a PEM file's text, from the EC_POINT that pkcs11-tool lists.
    (pkcs11-tool 0.23's own export of EC public keys reads freed memory, with SoftHSM2 as well, and
    fails at random; its RSA export is sound.)"""
    listing = tool(sim, "--list-objects", "--type", "pubkey", *selection, login=False)
    found = re.search(r"EC_POINT:\s+0441([0-9a-f]{130})\b", listing)
    assert found, listing
    body = base64.encodebytes(P256_SPKI_PREFIX + bytes.fromhex(found.group(1))).decode()
    return f"-----BEGIN PUBLIC KEY-----\n{body}-----END PUBLIC KEY-----\n"


def open_session(pkcs11, login=True):
    """A read-write session on slot 0, logged in as the user unless asked otherwise."""
    import PyKCS11
    session = pkcs11.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    if login:
        session.login(USER_PIN)
    return session


@contextlib.contextmanager
def started_token(label, login=True):
    """(simulator, library, session): a started simulator with an initialised token, PyKCS11
    with the library loaded (it reads its configuration once, when first used) and a session."""
    import PyKCS11
    with scratch() as work, Simulator(work) as sim:
        initialise_token(sim, label)
        os.environ["ORVO_CONFIG_PATH"] = sim.state
        pkcs11 = PyKCS11.PyKCS11Lib()
        pkcs11.load(LIB)
        yield sim, pkcs11, open_session(pkcs11, login)
