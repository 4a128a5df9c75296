"""A Python application on PyKCS11 (Debian python3-pykcs11) using the library against orvo-sim:
token information, sessions and login, an EC key pair, signing checked by OpenSSL through the
exported public key, a data object found by search, digesting and random numbers."""
import hashlib
import os

import PyKCS11

from orvo_e2e import (USER_PIN, Simulator, initialise_token, load_library, open_session, p256_public_key_pem, run,
                      scratch)

P256_OID = bytes.fromhex("06082a8648ce3d030107")


def der_signature(raw):
    """r || s as the DER sequence OpenSSL verifies."""
    def integer(b):
        b = b.lstrip(b"\0") or b"\0"
        if b[0] & 0x80:
            b = b"\0" + b
        return b"\x02" + bytes([len(b)]) + b
    body = integer(raw[:32]) + integer(raw[32:])
    return b"\x30" + bytes([len(body)]) + body


def main():
    with scratch() as work, Simulator(work) as sim:
        initialise_token(sim, "pykcs11")
        pkcs11 = load_library(sim)
        info = pkcs11.getInfo()
        assert info.manufacturerID.strip() == "Dravenholtique", info
        slots = pkcs11.getSlotList(tokenPresent=True)
        assert slots == [0], slots
        token = pkcs11.getTokenInfo(0)
        assert token.label.strip() == "pykcs11", token.label
        assert token.flags & PyKCS11.CKF_USER_PIN_INITIALIZED

        session = open_session(pkcs11, login=False)
        try:
            session.login("000000")
            raise AssertionError("a wrong PIN was accepted")
        except PyKCS11.PyKCS11Error as e:
            assert e.value == PyKCS11.CKR_PIN_INCORRECT, e
        session.login(USER_PIN)

        public, private = session.generateKeyPair(
            [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_EC),
             (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_VERIFY, True), (PyKCS11.CKA_EC_PARAMS, P256_OID),
             (PyKCS11.CKA_LABEL, "py-key"), (PyKCS11.CKA_ID, (0x42,))],
            [(PyKCS11.CKA_CLASS, PyKCS11.CKO_PRIVATE_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_EC),
             (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_SIGN, True), (PyKCS11.CKA_PRIVATE, True),
             (PyKCS11.CKA_SENSITIVE, True), (PyKCS11.CKA_LABEL, "py-key"), (PyKCS11.CKA_ID, (0x42,))],
            mecha=PyKCS11.Mechanism(PyKCS11.CKM_EC_KEY_PAIR_GEN))
        message = b"a message from Python"
        signature = bytes(session.sign(private, message, PyKCS11.Mechanism(PyKCS11.CKM_ECDSA_SHA256)))
        assert len(signature) == 64
        assert session.verify(public, message, signature, PyKCS11.Mechanism(PyKCS11.CKM_ECDSA_SHA256))
        assert not session.verify(public, message + b"!", signature, PyKCS11.Mechanism(PyKCS11.CKM_ECDSA_SHA256))

        # OpenSSL checks the signature with the exported public point.
        point_der = bytes(session.getAttributeValue(public, [PyKCS11.CKA_EC_POINT])[0])
        assert point_der[0] == 0x04 and point_der[1] == 65, point_der.hex()
        paths = {name: os.path.join(work, name) for name in ("pub.pem", "msg", "sig")}
        open(paths["pub.pem"], "w").write(p256_public_key_pem(point_der[2:]))
        open(paths["msg"], "wb").write(message)
        open(paths["sig"], "wb").write(der_signature(signature))
        out = run(["openssl", "dgst", "-sha256", "-verify", paths["pub.pem"], "-signature", paths["sig"], paths["msg"]])
        assert "Verified OK" in out, out

        # The private value never leaves the token (PyKCS11 shows an attribute the token
        # refuses as None).
        assert session.getAttributeValue(private, [PyKCS11.CKA_VALUE]) == [None]

        data = session.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_TOKEN, True),
                                     (PyKCS11.CKA_LABEL, "py-note"), (PyKCS11.CKA_VALUE, b"kept on the token")])
        found = session.findObjects([(PyKCS11.CKA_LABEL, "py-note")])
        assert len(found) == 1
        value = bytes(session.getAttributeValue(found[0], [PyKCS11.CKA_VALUE])[0])
        assert value == b"kept on the token", value
        keys = session.findObjects([(PyKCS11.CKA_ID, (0x42,))])
        assert len(keys) == 2, keys

        digest = bytes(session.digest(b"abc" * 1000, PyKCS11.Mechanism(PyKCS11.CKM_SHA256)))
        assert digest == hashlib.sha256(b"abc" * 1000).digest()
        randoms = [bytes(session.generateRandom(48)) for _ in range(2)]
        assert len(randoms[0]) == 48 and randoms[0] != randoms[1]

        session.destroyObject(data)
        assert session.findObjects([(PyKCS11.CKA_LABEL, "py-note")]) == []
        session.logout()
        session.closeSession()
        assert sim.stop() == 0, sim.log()
    print("PyKCS11 end to end: passed")


if __name__ == "__main__":
    main()
