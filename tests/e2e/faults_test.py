"""One application process across orvo-sim's reply faults and crashes: the simulator is killed
and started again with each --fault in turn, and finally without one. A call to a faulty
simulator fails with CKR_FUNCTION_FAILED (or, when only the connection drops after a whole reply,
succeeds); the first call after the simulator comes back healthy succeeds in the same process."""
import time

import PyKCS11

from orvo_e2e import Simulator, initialise_token, load_library, scratch

FAILING = ["drop-before", "drop-during", "truncated", "oversized", "garbage"]


def label(pkcs11):
    return pkcs11.getTokenInfo(0).label.strip()


def fails_with_function_failed(call):
    start = time.monotonic()
    try:
        call()
    except PyKCS11.PyKCS11Error as e:
        assert e.value == PyKCS11.CKR_FUNCTION_FAILED, e
        return time.monotonic() - start
    raise AssertionError("the call succeeded against a faulty simulator")


def restart(sim, *options):
    sim.kill()
    sim.start(*options)


def main():
    with scratch() as work, Simulator(work) as sim:
        initialise_token(sim, "faults")
        pkcs11 = load_library(sim)
        assert label(pkcs11) == "faults"
        for fault in FAILING:
            restart(sim, "--fault", fault)
            took = fails_with_function_failed(lambda: label(pkcs11))
            assert took < 5, (fault, took)
            restart(sim)
            assert label(pkcs11) == "faults", fault
            print(f"{fault}: the faulty call failed in {took * 1000:.0f} ms; the next call succeeded")
        # The connection drops after every whole reply: each call still succeeds, reconnecting,
        # but a session ends with the connection that opened it.
        restart(sim, "--fault", "drop-after")
        for _ in range(3):
            assert label(pkcs11) == "faults"
            time.sleep(0.1)
        session = pkcs11.openSession(0)
        time.sleep(0.1)
        try:
            session.generateRandom(8)
            raise AssertionError("a session outlived its connection")
        except PyKCS11.PyKCS11Error as e:
            assert e.value == PyKCS11.CKR_SESSION_HANDLE_INVALID, e
        restart(sim)
        assert label(pkcs11) == "faults"
        assert sim.stop() == 0, sim.log()
    print("orvo-sim faults and restarts: passed")


if __name__ == "__main__":
    main()
