"""pkcs11-tool's own self test (--test --login) against orvo-sim and against SoftHSM2 on the
same machine, both tokens holding the same kinds of keys. Every sub-test that passes on
SoftHSM2 must pass on the simulator; the outputs of both are printed for the record."""
import os
import re
import subprocess

from orvo_e2e import LIB, SO_PIN, USER_PIN, Simulator, initialise_token, run, scratch, tool

SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
KEYS = (("--keypairgen", "rsa:2048", "01", "rsa"), ("--keypairgen", "EC:prime256v1", "02", "ec"),
        ("--keygen", "AES:32", "03", "aes"))


def passed(output):
    """The sub-tests reported as passed, as (section, name) pairs."""
    found, section = set(), ""
    for line in output.splitlines():
        if line and not line.startswith(" "):
            section = line.split(":")[0].strip()
        m = re.match(r"\s+(?:(?:testing key \d+ \((?:\w+)\) )?)([\w\- ]+?): OK\b", line)
        if m:
            found.add((section, m.group(1).strip()))
        elif re.match(r"\s+(seems to be OK|all \d+ \w+ functions seem to work)", line):
            found.add((section, line.strip()))
    return found


def self_test(module, env, token_args):
    done = subprocess.run(["pkcs11-tool", "--module", module, *token_args, "--login", "--pin", USER_PIN, "--test"],
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=900)
    return done.returncode, done.stdout.decode(errors="replace")


def softhsm_run(work):
    conf = os.path.join(work, "softhsm2.conf")
    os.makedirs(os.path.join(work, "softhsm"))
    with open(conf, "w") as f:
        f.write(f"directories.tokendir = {work}/softhsm\nobjectstore.backend = file\nlog.level = ERROR\n")
    env = dict(os.environ, SOFTHSM2_CONF=conf)
    base = ["pkcs11-tool", "--module", SOFTHSM]
    run(base + ["--init-token", "--slot-index", "0", "--label", "ref", "--so-pin", SO_PIN], env=env)
    run(base + ["--token-label", "ref", "--init-pin", "--login", "--so-pin", SO_PIN, "--pin", USER_PIN], env=env)
    for how, kind, key_id, label in KEYS:
        run(base + ["--token-label", "ref", "--login", "--pin", USER_PIN, how, "--key-type", kind, "--id", key_id,
                    "--label", label], env=env)
    return self_test(SOFTHSM, env, ["--token-label", "ref"])


def orvo_run(work):
    with Simulator(work) as sim:
        initialise_token(sim)
        for how, kind, key_id, label in KEYS:
            tool(sim, how, "--key-type", kind, "--id", key_id, "--label", label)
        result = self_test(LIB, sim.env(), [])
        assert sim.stop() == 0, sim.log()
        return result


def main():
    with scratch() as work:
        ref_status, ref = softhsm_run(work)
        orvo_status, orvo = orvo_run(work)
    print(f"==== SoftHSM2 (exit {ref_status})\n{ref}\n==== orvo-sim (exit {orvo_status})\n{orvo}")
    ref_passed, orvo_passed = passed(ref), passed(orvo)
    print("passed on SoftHSM2:", sorted(ref_passed))
    print("passed on orvo-sim:", sorted(orvo_passed))
    missing = ref_passed - orvo_passed
    assert ref_passed, "no sub-test recognised in the SoftHSM2 output"
    assert not missing, f"passed on SoftHSM2 but not on orvo-sim: {sorted(missing)}"
    print("pkcs11-tool --test: every sub-test that passes on SoftHSM2 passes on orvo-sim")


if __name__ == "__main__":
    main()
