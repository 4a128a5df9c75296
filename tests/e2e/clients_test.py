"""Separate client programs against one orvo-sim, one after another and side by side, as users
run them: each program's sessions and login are its own and end with its connection, whether it
calls C_Finalize, just exits, or is killed. Signatures are checked with the openssl command
and python3-cryptography.

Run as `clients_test.py worker`, the script is one such program: a PyKCS11 client that takes
commands on standard input and answers each with one line."""
import hashlib
import os
import re
import subprocess
import sys
import time

import PyKCS11 as P
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import encode_dss_signature

from orvo_e2e import LIB, SO_PIN, USER_PIN, open_session, run, simulator, tool, write

KEY_LABEL, RSA_LABEL = "shared-ec", "shared-rsa"
MESSAGE = b"signed by one of several programs\n"


def worker():
    pkcs11 = P.PyKCS11Lib()
    pkcs11.load(LIB)
    session = open_session(pkcs11, login=False)

    def sign():
        keys = session.findObjects([(P.CKA_CLASS, P.CKO_PRIVATE_KEY), (P.CKA_LABEL, KEY_LABEL)])
        digest = hashlib.sha256(MESSAGE).digest()
        return bytes(session.sign(keys[0], digest, P.Mechanism(P.CKM_ECDSA))).hex() if keys else "no key"

    commands = {"login": lambda: session.login(USER_PIN) or "", "logout": lambda: session.logout() or "",
                "state": lambda: P.CKS[session.getSessionInfo().state], "sign": sign}
    for line in sys.stdin:
        command = line.strip()
        if command == "exit":  # as pkcs11-tool does: no C_Finalize
            os._exit(0)
        try:
            print("ok", commands[command](), flush=True)
        except P.PyKCS11Error as e:
            print("error", P.CKR[e.value], flush=True)


class Client:
    def __init__(self, sim):
        self.process = subprocess.Popen([sys.executable, __file__, "worker"], env=sim.env(), text=True,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def ask(self, command):
        """The worker's answer; to "exit" (it leaves without C_Finalize), its exit status."""
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        if command == "exit":
            return self.process.wait(timeout=20)
        answer = self.process.stdout.readline().strip()
        assert answer, f"the client died on {command}"
        return answer


def verify(work, answer):
    assert answer.startswith("ok "), answer
    raw = bytes.fromhex(answer.split()[1])  # r || s
    with open(os.path.join(work, "shared.pem"), "rb") as f:
        key = serialization.load_pem_public_key(f.read())
    signature = encode_dss_signature(int.from_bytes(raw[:32], "big"), int.from_bytes(raw[32:], "big"))
    key.verify(signature, MESSAGE, ec.ECDSA(hashes.SHA256()))


def all_connections_closed(sim, timeout=5):
    """The simulator has seen every connection end: its log names as many closed as opened."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        log = sim.log()
        if len(re.findall(r"connection \d+ opened", log)) == len(re.findall(r"connection \d+ closed", log)):
            return
        time.sleep(0.05)
    raise AssertionError("connections left open:\n" + sim.log())


def pin_change_then_login(sim, work):
    """pkcs11-tool leaves after a PIN change without C_Finalize; the next program logs in."""
    tool(sim, "--change-pin", "--new-pin", "87654321")
    listing = tool(sim, "--list-objects", pin="87654321")
    assert f"label:      {KEY_LABEL}" in listing, listing
    tool(sim, "--change-pin", "--new-pin", USER_PIN, pin="87654321")
    public_only = tool(sim, "--list-objects", login=False)
    assert "Public Key Object" in public_only and "Private Key Object" not in public_only, public_only


def engine_then_tool(sim, work):
    """OpenSSL's pkcs11 engine signs a certificate request with each token key and exits without
    C_Finalize; each request verifies and carries the token's public key; pkcs11-tool logs in after."""
    engines = run(["openssl", "version", "-e"]).split('"')[1]
    conf = write(os.path.join(work, "openssl.cnf"),
                 "openssl_conf = init\n[init]\nengines = engines\n[engines]\npkcs11 = pkcs11\n"
                 f"[pkcs11]\nengine_id = pkcs11\ndynamic_path = {os.path.join(engines, 'pkcs11.so')}\n"
                 f"MODULE_PATH = {LIB}\ninit = 0\n[req]\ndistinguished_name = dn\n[dn]\n")
    tool(sim, "--read-object", "--type", "pubkey", "--label", RSA_LABEL, "--output-file", os.path.join(work, "rsa.der"),
         login=False)
    for label, public in ((KEY_LABEL, "shared.pem"), (RSA_LABEL, "rsa.der")):  # the format is recognised
        csr, key = os.path.join(work, f"{label}.csr"), f"pkcs11:object={label};type=private;pin-value={USER_PIN}"
        run(["openssl", "req", "-new", "-engine", "pkcs11", "-keyform", "engine", "-key", key, "-subj",
             f"/CN={label}.example", "-sha256", "-out", csr], env=sim.env(OPENSSL_CONF=conf))
        checked = run(["openssl", "req", "-in", csr, "-verify", "-noout", "-pubkey"])
        on_token = run(["openssl", "pkey", "-pubin", "-in", os.path.join(work, public)])
        assert "verify OK" in checked and on_token.strip() in checked, (checked, on_token)
    assert KEY_LABEL in tool(sim, "--list-objects")


def gnutls_then_nss(sim, work):
    """GnuTLS's p11tool and NSS's certutil log in one after the other, then pkcs11-tool."""
    listed = run(["p11tool", "--provider", LIB, "--login", "--list-privkeys"], env=sim.env(GNUTLS_PIN=USER_PIN))
    assert f"Label: {KEY_LABEL}" in listed, listed
    db, pin_file = "sql:" + os.path.join(work, "nssdb"), write(os.path.join(work, "pin"), USER_PIN + "\n")
    os.makedirs(db[4:])
    run(["certutil", "-N", "-d", db, "--empty-password"])
    run(["modutil", "-dbdir", db, "-add", "orvo", "-libfile", LIB, "-force"], env=sim.env())
    keys = run(["certutil", "-K", "-d", db, "-h", "clients", "-f", pin_file], env=sim.env())
    assert KEY_LABEL in keys, keys
    assert KEY_LABEL in tool(sim, "--list-objects")


def two_at_once_then_one_killed(sim, work):
    """Two programs logged in together; one logs out while the other goes on signing and leaves.
    The first logs in again and is killed while logged in: it loses its session and login, and
    the next program logs in."""
    a, b = Client(sim), Client(sim)
    assert a.ask("login") == "ok"
    assert b.ask("login") == "ok"  # not CKR_USER_ALREADY_LOGGED_IN: a's login is a's
    assert b.ask("login") == "error CKR_USER_ALREADY_LOGGED_IN"
    verify(work, a.ask("sign"))
    assert b.ask("logout") == "ok"
    assert b.ask("state") == "ok CKS_RW_PUBLIC_SESSION"
    assert b.ask("sign") == "ok no key"  # the private key is out of sight without a login
    assert a.ask("state") == "ok CKS_RW_USER_FUNCTIONS"
    verify(work, a.ask("sign"))
    assert a.ask("exit") == 0
    assert b.ask("login") == "ok"
    verify(work, b.ask("sign"))
    b.process.kill()
    b.process.wait(timeout=20)
    all_connections_closed(sim)
    assert KEY_LABEL in tool(sim, "--list-objects")


def main():
    with simulator("clients") as (work, sim):
        tool(sim, "--keypairgen", "--key-type", "EC:prime256v1", "--id", "31", "--label", KEY_LABEL)
        tool(sim, "--keypairgen", "--key-type", "rsa:2048", "--id", "32", "--label", RSA_LABEL)
        # The EC public key from the EC_POINT that pkcs11-tool lists (pkcs11-tool 0.23's own export
        # of EC public keys reads freed memory, with other modules as well, and fails at random).
        listing = tool(sim, "--list-objects", "--type", "pubkey", "--label", KEY_LABEL, login=False)
        point = bytes.fromhex(re.search(r"EC_POINT:\s+0441([0-9a-f]{130})\b", listing).group(1))
        key = ec.EllipticCurvePublicKey.from_encoded_point(ec.SECP256R1(), point)
        pem = key.public_bytes(serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo)
        write(os.path.join(work, "shared.pem"), pem)
        for scenario in (pin_change_then_login, engine_then_tool, gnutls_then_nss, two_at_once_then_one_killed):
            scenario(sim, work)
            print(f"{scenario.__name__}: passed")
        # Nobody's session is left on the device: the token can be initialised again.
        all_connections_closed(sim)
        tool(sim, "--init-token", "--label", "again", "--so-pin", SO_PIN, login=False)
    print("separate client programs: passed")


if __name__ == "__main__":
    worker() if sys.argv[1:] == ["worker"] else main()
