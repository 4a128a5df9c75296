"""orvo-admin, the program itself, against orvo-sim over TLS: objects made with pkcs11-tool,
then backup, factory reset and restore bring the objects, the PINs and the configuration back;
a damaged backup is refused and leaves the token as it was; what lies at the backup's temporary
name is never used; the Bitcoin key slot with derivation paths as people write them; the log."""
import json
import os
import pathlib

from orvo_e2e import SO_PIN, USER_PIN, run, simulator, tool, write

# The public keys of the first test vector of hierarchical deterministic wallets.
SEED = "000102030405060708090a0b0c0d0e0f"
PUBLIC_KEYS = {"m": "0339a36013301597daef41fbe593a02cc513d0b55527ec2df1050e2e8ff49c85c2",
               "m/0'": "035a784662a4a20a65bf6aab9ae98a6c068a81c52e4b032c0fb5400c706cfccc56",
               "m/0h/1": "03501e454bf00751f24b1b489aa925215d66af2234e3891c3b21a52bedb3cd711c",
               "m/0H/1/2'": "0357bfe1e341d01c69fe5654309956cbea516822fba8a601743a012a7896ee8dc2"}
BAD_PATHS = ["", "44/0", "m/", "m//1", "m/2147483648", "m/1x", "m/-1", "m/1''", "M/1"]


def admin(sim, *args, expect=0):
    return run([os.environ["ORVO_ADMIN"], *args], env=sim.env(ORVO_SO_PIN=SO_PIN, ORVO_USER_PIN=USER_PIN),
               expect=expect)


def notes(sim):
    """How many data objects labelled "note" the user sees, as pkcs11-tool lists them."""
    return tool(sim, "--list-objects", "--type", "data").count("label:          'note'")


def config(sim):
    return json.loads(admin(sim, "--json", "config", "show"))


def main():
    with simulator("admin e2e") as (work, sim):
        note = b"kept across a factory reset" * 60  # large enough for several pieces
        tool(sim, "--write-object", write(os.path.join(work, "note.bin"), note), "--type", "data", "--label", "note",
             "--private")
        admin(sim, "config", "set", "session-timeout", "30")
        admin(sim, "config", "set", "max-login-failures", "7")

        # Something put at the backup's temporary name beforehand (by someone who may write to the
        # directory) is neither used nor written through: the backup fails, naming it.
        backup, target = os.path.join(work, "token.backup"), os.path.join(work, "target")
        temporary = backup + ".tmp"
        for planted in (lambda: write(temporary, "planted"), lambda: os.symlink(target, temporary)):
            planted()
            out = admin(sim, "backup", backup, expect=1)
            assert f"{temporary} already exists" in out and not os.path.exists(backup), out
            assert not os.path.exists(target) and (os.path.islink(temporary) or open(temporary).read() == "planted")
            os.remove(temporary)
        assert "backed up" in admin(sim, "backup", backup)
        assert os.stat(backup).st_mode & 0o777 == 0o600 and not os.path.exists(temporary)

        assert "--yes-erase-everything" in admin(sim, "factory-reset", expect=2)
        admin(sim, "factory-reset", "--yes-erase-everything")
        assert config(sim)["sessionTimeoutMinutes"] == 0
        listing = tool(sim, "--list-token-slots", login=False, expect=None)
        assert "token initialized" not in listing, listing

        # A damaged image is refused; the blank token stays blank.
        image = bytearray(pathlib.Path(backup).read_bytes())
        image[len(image) // 2] ^= 0x01
        damaged = write(os.path.join(work, "damaged.backup"), bytes(image))
        out = admin(sim, "restore", damaged, expect=1)
        assert "the token refused" in out and "unchanged" in out, out
        assert config(sim)["sessionTimeoutMinutes"] == 0

        assert "the token reproduces the image" in admin(sim, "restore", backup)
        assert notes(sim) == 1  # the user PIN logs in again, and the object is there
        read = os.path.join(work, "read.bin")
        tool(sim, "--read-object", "--type", "data", "--label", "note", "--output-file", read)
        assert pathlib.Path(read).read_bytes() == note
        restored = config(sim)
        assert restored["sessionTimeoutMinutes"] == 30 and restored["maxLoginFailures"] == 7, restored

        # Damaging the restored token's backup is refused too, and the objects stay.
        admin(sim, "restore", damaged, expect=1)
        assert notes(sim) == 1

        admin(sim, "bitcoin", "import", write(os.path.join(work, "seed.hex"), SEED + "\n"))
        for path, public in PUBLIC_KEYS.items():
            assert admin(sim, "bitcoin", "pub", path).strip() == public, path
        admin(sim, "bitcoin", "pub", "m/2147483647")
        for path in BAD_PATHS:
            admin(sim, "bitcoin", "pub", path, expect=2)
        assert len(json.loads(admin(sim, "--json", "bitcoin", "sign", "m/0'/1", "11" * 32))["signature"]) == 128

        log = admin(sim, "log")
        for event in ("factory reset", "storage image refused: checksum mismatch", "storage image restored",
                      "Bitcoin key imported"):
            assert event in log, log
        assert SO_PIN not in log and USER_PIN not in log
    print("orvo-admin against orvo-sim: passed")


if __name__ == "__main__":
    main()
