"""The Windows build end to end: orvo-e2e-client.exe, a Windows application, loads
orvo-pkcs11.dll under Wine and talks over TLS to orvo-sim running natively on loopback;
orvo-admin.exe then reads the token configuration and writes a backup through the same DLL code.
Environment: ORVO_SIM (the Linux orvo-sim), ORVO_LIB (orvo-pkcs11.dll; its directory holds the
Windows programs), ORVO_WINE (default: wine) and Wine's own WINEPREFIX and WINEDEBUG."""
import json
import os

from orvo_e2e import LIB, SO_PIN, USER_PIN, run, simulator

WINE = os.environ.get("ORVO_WINE", "wine")


def windows(sim, program, *args):
    """A Windows program of the build under Wine, pointed at the simulator, with both PINs in
    its environment; its output, line ends as on Linux."""
    path = os.path.join(os.path.dirname(os.path.abspath(LIB)), program)
    return run([WINE, path, *args], env=sim.env(ORVO_SO_PIN=SO_PIN, ORVO_USER_PIN=USER_PIN)).replace("\r\n", "\n")


def main():
    with simulator() as (work, sim):
        out = windows(sim, "orvo-e2e-client.exe", LIB)
        print(out, end="")
        assert "all steps passed" in out, out
        assert "sessionTimeoutMinutes" in json.loads(windows(sim, "orvo-admin.exe", "--json", "config", "show"))
        backup = os.path.join(work, "token.backup")
        out = windows(sim, "orvo-admin.exe", "backup", backup)
        assert "backed up" in out and os.path.getsize(backup) > 0 and not os.path.exists(backup + ".tmp"), out
        assert SO_PIN not in sim.log() and USER_PIN not in sim.log()
    print("wine end-to-end: passed")


if __name__ == "__main__":
    main()
