"""What the end-to-end tests share: orvo-sim on a free loopback port in a scratch directory, the
client programs run against it, and a token ready for pkcs11-tool and PyKCS11."""
import contextlib
import os
import pathlib
import re
import signal
import subprocess
import tempfile
import time

SIM, LIB = os.environ["ORVO_SIM"], os.environ["ORVO_LIB"]
SO_PIN, USER_PIN = "12345678", "123456"


class Simulator:
    """orvo-sim with its own state directory. The first start takes any free port; later
    starts (after a stop) reuse it, as a running application still has it configured.
    Leaving the `with` block without an error stops it, and it must then exit with 0."""

    def __init__(self, workdir, program=SIM):
        self.program, self.port, self.process = program, 0, None
        self.state, self.log_path = os.path.join(workdir, "sim"), os.path.join(workdir, "sim.log")

    def start(self, *options, timeout=20):
        offset = os.path.getsize(self.log_path) if os.path.exists(self.log_path) else 0
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen([self.program, "--state-dir", self.state, "--port", str(self.port),
                                             *options], stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.process.poll() is None:
            found = re.search(r"listening on [^ ]+:(\d+),", self.log()[offset:])
            if found:
                self.port = int(found.group(1))
                return self
            time.sleep(0.05)
        raise RuntimeError("orvo-sim did not start:\n" + self.log())

    def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        status = self.process.wait(timeout=20)
        self.process = None
        return status

    def env(self, **extra):
        return dict(os.environ, ORVO_CONFIG_PATH=self.state, **extra)

    def log(self):
        return pathlib.Path(self.log_path).read_text(errors="replace")

    def __enter__(self):
        return self.start()

    def __exit__(self, failed, *exc):
        if self.process and failed:
            self.stop(signal.SIGKILL)
        elif self.process:
            assert self.stop() == 0, self.log()


def scratch():
    return tempfile.TemporaryDirectory(prefix="orvo-e2e-")


def write(path, content):
    with open(path, "wb" if isinstance(content, bytes) else "w") as f:
        f.write(content)
    return path


def run(args, env=None, expect=0):
    """Runs a program; its output (stdout and stderr). When it does not exit with `expect`
    (None: any status), raises with the whole output."""
    done = subprocess.run(args, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    text = done.stdout.decode(errors="replace")
    if expect is not None and done.returncode != expect:
        raise AssertionError(f"{' '.join(args)} exited {done.returncode}, not {expect}:\n{text}")
    return text


def tool(sim, *args, expect=0, login=True, pin=USER_PIN):
    return run(["pkcs11-tool", "--module", LIB, *(["--login", "--pin", pin] if login else []), *args],
               env=sim.env(), expect=expect)


@contextlib.contextmanager
def simulator(label=None):
    """(scratch directory, started simulator), its token initialised with both PINs when a
    label is given."""
    with scratch() as work, Simulator(work) as sim:
        if label:
            tool(sim, "--init-token", "--label", label, "--so-pin", SO_PIN, login=False)
            tool(sim, "--init-pin", "--login", "--so-pin", SO_PIN, "--pin", USER_PIN, login=False)
        yield work, sim


def open_session(pkcs11, login=True):
    import PyKCS11
    session = pkcs11.openSession(0, PyKCS11.CKF_SERIAL_SESSION | PyKCS11.CKF_RW_SESSION)
    if login:
        session.login(USER_PIN)
    return session


@contextlib.contextmanager
def started_token(label, login=True):
    """(simulator, library, session): an initialised token, PyKCS11 with the library loaded (it
    reads its configuration once, when first used) and a session."""
    import PyKCS11
    with simulator(label) as (_, sim):
        os.environ["ORVO_CONFIG_PATH"] = sim.state
        pkcs11 = PyKCS11.PyKCS11Lib()
        pkcs11.load(LIB)
        yield sim, pkcs11, open_session(pkcs11, login)
