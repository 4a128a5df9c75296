"""The Windows build end to end: orvo-e2e-client.exe, a Windows application, loads
orvo-pkcs11.dll under Wine and talks over TLS to orvo-sim running natively on loopback:
it initialises the token, logs in, has an EC key pair made, signs and verifies. orvo-admin.exe
then reads the token configuration and writes a backup through the same DLL code.

Environment: ORVO_SIM (the Linux orvo-sim), ORVO_LIB (orvo-pkcs11.dll; its directory holds the
Windows programs), ORVO_WINE (default: wine) and Wine's own WINEPREFIX and WINEDEBUG."""
import json
import os

from orvo_e2e import LIB, SO_PIN, USER_PIN, Simulator, run, scratch

WINE = os.environ.get("ORVO_WINE", "wine")
BIN = os.path.dirname(os.path.abspath(LIB))


def windows(sim, program, *args, **extra):
    """A Windows program of the build under Wine, pointed at the simulator; its output (stdout
    and stderr, line ends as on Linux)."""
    return run([WINE, os.path.join(BIN, program), *args], env=dict(sim.env(), **extra)).replace("\r\n", "\n")


def main():
    with scratch() as work, Simulator(work) as sim:
        out = windows(sim, "orvo-e2e-client.exe", LIB)
        print(out, end="")
        assert "all steps passed" in out, out
        assert "C_Verify of a forged message           rv=0x000000c0" in out, out

        pins = {"ORVO_SO_PIN": SO_PIN, "ORVO_USER_PIN": USER_PIN}
        out = windows(sim, "orvo-admin.exe", "--json", "config", "show", **pins)
        assert "sessionTimeoutMinutes" in json.loads(out), out
        backup = os.path.join(work, "token.backup")
        out = windows(sim, "orvo-admin.exe", "backup", backup, **pins)
        assert "backed up" in out and os.path.getsize(backup) > 0, out
        assert not os.path.exists(backup + ".tmp")
        assert SO_PIN not in sim.log() and USER_PIN not in sim.log()
        assert sim.stop() == 0
    print("wine end-to-end: passed")


if __name__ == "__main__":
    main()
