"""One application process across a crash of the device: orvo-sim is killed with SIGKILL and
started again on the same port. Meanwhile every call fails with CKR_FUNCTION_FAILED; afterwards
the same loaded library works again, and the token objects made before the crash are there."""
import PyKCS11

from orvo_e2e import Simulator, initialise_token, load_library, open_session, scratch


def fails_with_function_failed(call):
    try:
        call()
    except PyKCS11.PyKCS11Error as e:
        assert e.value == PyKCS11.CKR_FUNCTION_FAILED, e
        return
    raise AssertionError("the call succeeded while the device was down")


def main():
    with scratch() as work, Simulator(work) as sim:
        initialise_token(sim, "restart")
        pkcs11 = load_library(sim)
        session = open_session(pkcs11)
        session.createObject([(PyKCS11.CKA_CLASS, PyKCS11.CKO_DATA), (PyKCS11.CKA_TOKEN, True),
                              (PyKCS11.CKA_PRIVATE, True), (PyKCS11.CKA_LABEL, "survivor"),
                              (PyKCS11.CKA_VALUE, b"made before the crash")])
        session.generateKey([(PyKCS11.CKA_CLASS, PyKCS11.CKO_SECRET_KEY), (PyKCS11.CKA_KEY_TYPE, PyKCS11.CKK_AES),
                             (PyKCS11.CKA_VALUE_LEN, 32), (PyKCS11.CKA_TOKEN, True), (PyKCS11.CKA_LABEL, "aes")],
                            PyKCS11.Mechanism(PyKCS11.CKM_AES_KEY_GEN))

        sim.kill()
        fails_with_function_failed(lambda: pkcs11.getTokenInfo(0))
        fails_with_function_failed(lambda: session.generateRandom(16))
        fails_with_function_failed(lambda: pkcs11.openSession(0))

        sim.start()
        token = pkcs11.getTokenInfo(0)
        assert token.label.strip() == "restart", token.label
        # Sessions lived in the device that crashed; the application opens a new one.
        again = open_session(pkcs11)
        found = again.findObjects([(PyKCS11.CKA_LABEL, "survivor")])
        assert len(found) == 1, found
        assert bytes(again.getAttributeValue(found[0], [PyKCS11.CKA_VALUE])[0]) == b"made before the crash"
        assert len(again.findObjects([(PyKCS11.CKA_LABEL, "aes")])) == 1
        assert len(bytes(again.generateRandom(16))) == 16
        again.logout()
        again.closeSession()
        assert sim.stop() == 0, sim.log()
    print("crash and restart of the simulator: passed")


if __name__ == "__main__":
    main()
