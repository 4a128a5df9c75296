"""orvo-admin, the program itself, against orvo-sim over TLS: objects made with pkcs11-tool,
then backup, factory reset and restore bring the objects, the PINs and the configuration back;
a damaged backup is refused and leaves the token as it was; the Bitcoin key slot and the log."""
import json
import os
import pathlib
import subprocess

from orvo_e2e import SO_PIN, USER_PIN, Simulator, initialise_token, scratch, tool, write

ADMIN = os.environ["ORVO_ADMIN"]


def admin(sim, *args, expect=0):
    """orvo-admin with the PINs in its environment; returns (stdout, stderr)."""
    env = dict(sim.env(), ORVO_SO_PIN=SO_PIN, ORVO_USER_PIN=USER_PIN)
    done = subprocess.run([ADMIN, *args], env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    assert done.returncode == expect, f"orvo-admin {' '.join(args)} exited {done.returncode}:\n{done.stderr}"
    return done.stdout, done.stderr


def notes(sim):
    """How many data objects labelled "note" the user sees, as pkcs11-tool lists them."""
    listing = tool(sim, "--list-objects", "--type", "data")
    return listing.count("label:          'note'")


def note_value(sim, work):
    out = os.path.join(work, "read.bin")
    tool(sim, "--read-object", "--type", "data", "--label", "note", "--output-file", out)
    return pathlib.Path(out).read_bytes()


def config(sim):
    return json.loads(admin(sim, "--json", "config", "show")[0])


def main():
    with scratch() as work, Simulator(work) as sim:
        initialise_token(sim, "admin e2e")
        note = b"kept across a factory reset" * 60  # large enough for several pieces
        value = write(os.path.join(work, "note.bin"), note)
        tool(sim, "--write-object", value, "--type", "data", "--label", "note", "--private")
        admin(sim, "config", "set", "session-timeout", "30")
        admin(sim, "config", "set", "max-login-failures", "7")

        backup = os.path.join(work, "token.backup")
        out, _ = admin(sim, "backup", backup)
        assert "backed up" in out, out
        assert os.stat(backup).st_mode & 0o777 == 0o600

        out, err = admin(sim, "factory-reset", expect=2)
        assert "--yes-erase-everything" in err, err
        admin(sim, "factory-reset", "--yes-erase-everything")
        assert config(sim)["sessionTimeoutMinutes"] == 0
        listing = tool(sim, "--list-token-slots", login=False, check=False)
        assert "token initialized" not in listing, listing

        # A damaged image is refused; the blank token stays blank.
        image = bytearray(pathlib.Path(backup).read_bytes())
        image[len(image) // 2] ^= 0x01
        damaged = write(os.path.join(work, "damaged.backup"), bytes(image))
        _, err = admin(sim, "restore", damaged, expect=1)
        assert "the token refused" in err and "unchanged" in err, err
        assert config(sim)["sessionTimeoutMinutes"] == 0

        out, _ = admin(sim, "restore", backup)
        assert "the token reproduces the image" in out, out
        assert notes(sim) == 1  # the user PIN logs in again, and the object is there
        assert note_value(sim, work) == note
        restored = config(sim)
        assert restored["sessionTimeoutMinutes"] == 30 and restored["maxLoginFailures"] == 7, restored

        # Damaging the restored token's backup is refused too, and the objects stay.
        admin(sim, "restore", damaged, expect=1)
        assert notes(sim) == 1

        admin(sim, "bitcoin", "import", write(os.path.join(work, "seed.hex"), "000102030405060708090a0b0c0d0e0f\n"))
        out, _ = admin(sim, "bitcoin", "pub", "m/0'")
        assert out.strip() == "035a784662a4a20a65bf6aab9ae98a6c068a81c52e4b032c0fb5400c706cfccc56", out
        out, _ = admin(sim, "--json", "bitcoin", "sign", "m/0'/1", "11" * 32)
        assert len(json.loads(out)["signature"]) == 128, out

        log, _ = admin(sim, "log")
        for event in ("factory reset", "storage image refused: checksum mismatch", "storage image restored",
                      "Bitcoin key imported"):
            assert event in log, log
        assert SO_PIN not in log and USER_PIN not in log
        assert sim.stop() == 0, sim.log()
    print("orvo-admin against orvo-sim: passed")


if __name__ == "__main__":
    main()
