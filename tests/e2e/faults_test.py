"""One PyKCS11 application process across a crash of the device and orvo-sim's reply faults:
orvo-sim is killed with SIGKILL and started again on the same port, then with each --fault in
turn. Meanwhile every call fails with CKR_FUNCTION_FAILED, within the timeout; the first call to a
healthy simulator succeeds in the same process, and the token objects made before the crash are
there."""
import signal
import time

import PyKCS11 as P

from orvo_e2e import USER_PIN, open_session, started_token

NOTE = [(P.CKA_CLASS, P.CKO_DATA), (P.CKA_TOKEN, True), (P.CKA_PRIVATE, True), (P.CKA_LABEL, "survivor"),
        (P.CKA_VALUE, b"made before the crash")]
AES_KEY = [(P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_KEY_TYPE, P.CKK_AES), (P.CKA_VALUE_LEN, 32), (P.CKA_TOKEN, True),
           (P.CKA_LABEL, "aes")]


def fails(call, rv=P.CKR_FUNCTION_FAILED):
    """How long the call took to fail with rv (by default, as against a faulty or absent simulator)."""
    start = time.monotonic()
    try:
        call()
    except P.PyKCS11Error as e:
        assert e.value == rv, e
        return time.monotonic() - start
    raise AssertionError(f"the call succeeded, expected {P.CKR[rv]}")


def main():
    with started_token("faults", login=False) as (sim, pkcs11, session):
        def label():
            return pkcs11.getTokenInfo(0).label.strip()

        def restart(*options):
            sim.stop(signal.SIGKILL)
            sim.start(*options)

        # Before the crash: a wrong PIN is refused; a private data object and a secret key that
        # never shows its value are made on the token.
        assert pkcs11.getInfo().manufacturerID.strip() == "Dravenholtique"
        fails(lambda: session.login("000000"), P.CKR_PIN_INCORRECT)
        session.login(USER_PIN)
        session.createObject(NOTE)
        assert session.getAttributeValue(session.generateKey(AES_KEY), [P.CKA_VALUE]) == [None]
        sim.stop(signal.SIGKILL)
        for call in (label, lambda: session.generateRandom(16), lambda: pkcs11.openSession(0)):
            fails(call)
        sim.start()
        assert label() == "faults"
        # Sessions lived in the device that crashed; the application opens a new one.
        again = open_session(pkcs11)
        found = again.findObjects([(P.CKA_LABEL, "survivor")])
        assert len(found) == 1 and len(again.findObjects([(P.CKA_LABEL, "aes")])) == 1, found
        assert bytes(again.getAttributeValue(found[0], [P.CKA_VALUE])[0]) == b"made before the crash"
        again.destroyObject(found[0])
        assert again.findObjects([(P.CKA_LABEL, "survivor")]) == []
        print("crash and restart: passed")

        for fault in ("drop-before", "drop-during", "truncated", "oversized", "garbage"):
            restart("--fault", fault)
            took = fails(label)
            assert took < 5, (fault, took)
            restart()
            assert label() == "faults", fault
            print(f"{fault}: the faulty call failed in {took * 1000:.0f} ms; the next call succeeded")
    print("orvo-sim crash, faults and restarts: passed")


if __name__ == "__main__":
    main()
