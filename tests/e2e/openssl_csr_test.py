"""OpenSSL signs a certificate request with a key that never leaves the token: the pkcs11
engine (Debian libengine-pkcs11-openssl) loads the library, which reaches orvo-sim over TLS."""
import os
import subprocess

from orvo_e2e import LIB, USER_PIN, Simulator, ec_public_key_pem, initialise_token, run, scratch, tool


def engine_path():
    out = subprocess.run(["openssl", "version", "-e"], stdout=subprocess.PIPE, text=True, check=True).stdout
    return os.path.join(out.split('"')[1], "pkcs11.so")


def main():
    with scratch() as work, Simulator(work) as sim:
        initialise_token(sim, "csr token")
        for kind, key_id, label in (("EC:prime256v1", "11", "csr-ec"), ("rsa:2048", "12", "csr-rsa")):
            tool(sim, "--keypairgen", "--key-type", kind, "--id", key_id, "--label", label)
        conf = os.path.join(work, "openssl.cnf")
        with open(conf, "w") as f:
            f.write("openssl_conf = init\n[init]\nengines = engines\n[engines]\npkcs11 = pkcs11\n"
                    f"[pkcs11]\nengine_id = pkcs11\ndynamic_path = {engine_path()}\nMODULE_PATH = {LIB}\ninit = 0\n"
                    "[req]\ndistinguished_name = dn\n[dn]\n")
        env = dict(sim.env(), OPENSSL_CONF=conf)
        for label in ("csr-ec", "csr-rsa"):
            csr = os.path.join(work, f"{label}.csr")
            key = f"pkcs11:token=csr%20token;object={label};type=private;pin-value={USER_PIN}"
            run(["openssl", "req", "-new", "-engine", "pkcs11", "-keyform", "engine", "-key", key,
                 "-subj", f"/CN={label}.example/O=Orvo end to end", "-sha256", "-out", csr], env=env)
            checked = run(["openssl", "req", "-in", csr, "-verify", "-noout", "-subject"])
            assert "verify OK" in checked.replace("Certificate request self-signature verify OK", "verify OK"), checked
            assert f"CN = {label}.example" in checked, checked
            # The request carries the token's public key, read without a login.
            token_key = os.path.join(work, f"{label}.pem")
            if label == "csr-ec":
                with open(token_key, "w") as f:
                    f.write(ec_public_key_pem(sim, "--label", label))
            else:
                der = os.path.join(work, f"{label}.der")
                tool(sim, "--read-object", "--type", "pubkey", "--label", label, "--output-file", der, login=False)
                run(["openssl", "pkey", "-pubin", "-inform", "DER", "-in", der, "-out", token_key])
            in_csr = run(["openssl", "req", "-in", csr, "-noout", "-pubkey"])
            on_token = run(["openssl", "pkey", "-pubin", "-in", token_key])
            assert in_csr.strip() == on_token.strip(), (in_csr, on_token)
        assert sim.stop() == 0, sim.log()
    print("OpenSSL CSR through the pkcs11 engine: passed")


if __name__ == "__main__":
    main()
