"""OpenSC's pkcs11-tool through the library against orvo-sim over TLS: key generation, signing
and verification, encryption and decryption, hashing, random numbers and object listing.
Results are checked with OpenSSL and Python's hashlib, not with the token itself."""
import hashlib
import os

from orvo_e2e import Simulator, ec_public_key_pem, initialise_token, run, scratch, tool


def check_listing(sim):
    slots = tool(sim, "--list-slots", login=False)
    assert "Slot 0" in slots and "orvo e2e" in slots, slots
    objects = tool(sim, "--list-objects")
    for label in ("ec-key", "rsa-key", "aes-key"):
        assert f'label:      {label}' in objects, objects
    public_only = tool(sim, "--list-objects", login=False)
    assert "Public Key Object" in public_only and "Private Key Object" not in public_only, public_only


def check_signatures(sim, work):
    message = os.path.join(work, "message.txt")
    with open(message, "w") as f:
        f.write("signed by a simulated token\n")
    with open(os.path.join(work, "ec.pem"), "w") as f:
        f.write(ec_public_key_pem(sim, "--id", "01"))
    tool(sim, "--read-object", "--type", "pubkey", "--id", "02", "--output-file", os.path.join(work, "rsa.der"),
         login=False)
    run(["openssl", "pkey", "-pubin", "-inform", "DER", "-in", os.path.join(work, "rsa.der"), "-out",
         os.path.join(work, "rsa.pem")])
    for key_id, mechanism, pubkey in (("01", "ECDSA-SHA256", "ec.pem"), ("02", "SHA256-RSA-PKCS", "rsa.pem")):
        sig = os.path.join(work, f"{key_id}.sig")
        tool(sim, "--sign", "--id", key_id, "--mechanism", mechanism, "--input-file", message,
             "--output-file", sig, "--signature-format", "openssl")
        verified = tool(sim, "--verify", "--id", key_id, "--mechanism", mechanism, "--input-file", message,
                        "--signature-file", sig, "--signature-format", "openssl")
        assert "Signature is valid" in verified, verified
        key = os.path.join(work, pubkey)
        out = run(["openssl", "dgst", "-sha256", "-verify", key, "-signature", sig, message])
        assert "Verified OK" in out, out
        with open(message, "a") as f:
            f.write("tampered")
        bad = run(["openssl", "dgst", "-sha256", "-verify", key, "-signature", sig, message],
                  check=False)
        assert "Verification failure" in bad, bad
        with open(message, "w") as f:
            f.write("signed by a simulated token\n")


def check_encryption(sim, work):
    plain = os.path.join(work, "plain.bin")
    data = bytes(range(37))
    with open(plain, "wb") as f:
        f.write(data)
    # RSA: OpenSSL encrypts to the exported public key, the token decrypts.
    secret = os.path.join(work, "rsa.enc")
    run(["openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", os.path.join(work, "rsa.pem"),
         "-in", plain, "-out", secret])
    back = os.path.join(work, "rsa.dec")
    tool(sim, "--decrypt", "--id", "02", "--mechanism", "RSA-PKCS", "--input-file", secret, "--output-file", back)
    assert open(back, "rb").read() == data
    # AES: a round trip through the token.
    iv = "000102030405060708090a0b0c0d0e0f"
    enc, dec = os.path.join(work, "aes.enc"), os.path.join(work, "aes.dec")
    tool(sim, "--encrypt", "--id", "03", "--mechanism", "AES-CBC-PAD", "--iv", iv, "--input-file", plain,
         "--output-file", enc)
    ciphertext = open(enc, "rb").read()
    assert len(ciphertext) == 48 and data not in ciphertext
    tool(sim, "--decrypt", "--id", "03", "--mechanism", "AES-CBC-PAD", "--iv", iv, "--input-file", enc,
         "--output-file", dec)
    assert open(dec, "rb").read() == data


def check_hash_and_random(sim, work):
    plain = os.path.join(work, "plain.bin")
    digest = os.path.join(work, "digest.bin")
    tool(sim, "--hash", "--mechanism", "SHA256", "--input-file", plain, "--output-file", digest, login=False)
    assert open(digest, "rb").read() == hashlib.sha256(open(plain, "rb").read()).digest()
    randoms = []
    for i in range(2):
        path = os.path.join(work, f"random{i}.bin")
        tool(sim, "--generate-random", "64", "--output-file", path, login=False)
        randoms.append(open(path, "rb").read())
    assert len(randoms[0]) == 64 and randoms[0] != randoms[1]


def main():
    with scratch() as work, Simulator(work) as sim:
        initialise_token(sim)
        tool(sim, "--keypairgen", "--key-type", "EC:prime256v1", "--id", "01", "--label", "ec-key")
        tool(sim, "--keypairgen", "--key-type", "rsa:2048", "--id", "02", "--label", "rsa-key")
        tool(sim, "--keygen", "--key-type", "AES:32", "--id", "03", "--label", "aes-key")
        check_listing(sim)
        check_signatures(sim, work)
        check_encryption(sim, work)
        check_hash_and_random(sim, work)
        assert sim.stop() == 0, sim.log()
    print("pkcs11-tool end to end: passed")


if __name__ == "__main__":
    main()
