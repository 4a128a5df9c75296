"""Every mechanism of the library's catalogue, through the library over TLS against orvo-sim,
one row each. Deterministic results are compared byte for byte with python3-cryptography's;
randomized ones (ECDSA, DSA, PSS, OAEP, PKCS#1 encryption) are verified by it, and generated
keys and domain parameters are checked for what makes them valid (primes by `openssl prime`)."""
import ctypes
import functools
import hashlib
import hmac
import math
import struct
import subprocess

import PyKCS11 as P
from cryptography.hazmat.primitives import cmac, hashes, keywrap, padding as sympad
from cryptography.hazmat.primitives.asymmetric import dh, dsa, ec, padding, rsa, utils
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.x963kdf import X963KDF
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

from orvo_e2e import started_token

DATA = bytes(range(48))          # three AES blocks, six DES blocks
ODD = b"not a whole number of blocks"
P256 = bytes.fromhex("06082a8648ce3d030107")
X962 = (Encoding.X962, PublicFormat.UncompressedPoint)
READABLE = [(P.CKA_TOKEN, False), (P.CKA_SENSITIVE, False), (P.CKA_EXTRACTABLE, True)]
SECRET = [(P.CKA_CLASS, P.CKO_SECRET_KEY), *READABLE]
# Each hash with its HMAC, PKCS#1 v1.5, PSS and DSA mechanisms and the MGF1 of PSS, as PyKCS11 names them.
FAMILIES = [(hashes.MD5, "MD5", "MD5_HMAC", "MD5_RSA_PKCS", None, None, None)] + [
    (getattr(hashes, f"SHA{n}"), f"SHA{n}", f"SHA{n}_HMAC", f"SHA{n}_RSA_PKCS", f"SHA{n}_RSA_PKCS_PSS", f"DSA_SHA{n}",
     f"MGF1_SHA{n}") for n in ("224", "256", "384", "512")] + [
    (hashes.SHA1, "SHA_1", "SHA_1_HMAC", "SHA1_RSA_PKCS", "SHA1_RSA_PKCS_PSS", "DSA_SHA1", "MGF1_SHA1")]


def integer(value):
    return int.from_bytes(bytes(value), "big")


def octets(value, width=None):
    return value.to_bytes(width or (value.bit_length() + 7) // 8 or 1, "big")


def is_prime(n):
    return subprocess.run(["openssl", "prime", str(n)], capture_output=True, text=True).stdout.endswith(" is prime\n")


def cipher(key_type, key, mode, data):
    algorithm = algorithms.AES(key) if key_type == P.CKK_AES else algorithms.TripleDES(key)
    encryptor = Cipher(algorithm, mode).encryptor()
    return encryptor.update(data) + encryptor.finalize()


def same(got, expected, what=""):
    got = bytes(got)
    assert got == expected, f"{what} {got.hex()} != {expected.hex()}"


def raw_signature(raw):
    return utils.encode_dss_signature(integer(raw[:len(raw) // 2]), integer(raw[len(raw) // 2:]))


class Token:
    """The session and the key pairs the rows share, imported from python on first use."""

    def __init__(self, session):
        self.s = session

    def value(self, handle, attribute=P.CKA_VALUE):
        return bytes(self.s.getAttributeValue(handle, [attribute])[0])

    def values(self, handle, *attributes):
        return [integer(self.value(handle, a)) for a in attributes]

    def secret(self, key_type, value):
        uses = (P.CKA_ENCRYPT, P.CKA_DECRYPT, P.CKA_SIGN, P.CKA_VERIFY, P.CKA_WRAP, P.CKA_UNWRAP, P.CKA_DERIVE)
        return self.s.createObject([*SECRET, (P.CKA_KEY_TYPE, key_type), (P.CKA_VALUE, value),
                                    *[(a, True) for a in uses]])

    def derived(self, base, mechanism, length=None):
        templ = [*SECRET, (P.CKA_KEY_TYPE, P.CKK_GENERIC_SECRET)] + ([(P.CKA_VALUE_LEN, length)] if length else [])
        return self.value(self.s.deriveKey(base, templ, mechanism))

    def pair(self, key, key_type, public, private):
        """(python's key, public handle, private handle) with the key imported into the token."""
        base = [(P.CKA_KEY_TYPE, key_type), (P.CKA_TOKEN, False)]
        return (key, self.s.createObject([(P.CKA_CLASS, P.CKO_PUBLIC_KEY), *base, (P.CKA_VERIFY, True),
                                          (P.CKA_ENCRYPT, True), *public]),
                self.s.createObject([(P.CKA_CLASS, P.CKO_PRIVATE_KEY), *base, (P.CKA_SIGN, True), (P.CKA_DECRYPT, True),
                                     (P.CKA_DERIVE, True), *private]))

    @functools.cached_property
    def rsa(self):
        key = rsa.generate_private_key(65537, 2048)
        n = key.private_numbers()
        pub = [(P.CKA_MODULUS, n.public_numbers.n), (P.CKA_PUBLIC_EXPONENT, n.public_numbers.e)]
        priv = pub + [(P.CKA_PRIVATE_EXPONENT, n.d), (P.CKA_PRIME_1, n.p), (P.CKA_PRIME_2, n.q),
                      (P.CKA_EXPONENT_1, n.dmp1), (P.CKA_EXPONENT_2, n.dmq1), (P.CKA_COEFFICIENT, n.iqmp)]
        return self.pair(key, P.CKK_RSA, [(a, octets(v)) for a, v in pub], [(a, octets(v)) for a, v in priv])

    def dsa_pair(self, key):
        n = key.private_numbers()
        domain = dsa_domain(n.public_numbers.parameter_numbers)
        return self.pair(key, P.CKK_DSA, domain + [(P.CKA_VALUE, octets(n.public_numbers.y))],
                         domain + [(P.CKA_VALUE, octets(n.x))])

    @functools.cached_property
    def dsa(self):
        return self.dsa_pair(dsa.generate_private_key(2048))

    @functools.cached_property
    def ec(self):
        key = ec.generate_private_key(ec.SECP256R1())
        point = b"\x04\x41" + key.public_key().public_bytes(*X962)
        return self.pair(key, P.CKK_EC, [(P.CKA_EC_PARAMS, P256), (P.CKA_EC_POINT, point)],
                         [(P.CKA_EC_PARAMS, P256), (P.CKA_VALUE, octets(key.private_numbers().private_value, 32))])

    def domain(self, key_type, mechanism, bits, *attributes):
        handle = self.s.generateKey([(P.CKA_CLASS, P.CKO_DOMAIN_PARAMETERS), (P.CKA_KEY_TYPE, key_type),
                                     (P.CKA_TOKEN, False), (P.CKA_PRIME_BITS, struct.pack("<Q", bits))],
                                    P.Mechanism(mechanism))
        return self.values(handle, *attributes)

    @functools.cached_property
    def dh_domain(self):
        """Domain parameters the token generates (the parameter generation row checks them)."""
        return self.domain(P.CKK_DH, P.CKM_DH_PKCS_PARAMETER_GEN, 1024, P.CKA_PRIME, P.CKA_BASE)


def dsa_domain(numbers):
    return [(P.CKA_PRIME, octets(numbers.p)), (P.CKA_SUBPRIME, octets(numbers.q)), (P.CKA_BASE, octets(numbers.g))]


# ---- checks, one per family; each row names one with its arguments ----

def digest(t, m, hash_):
    same(t.s.digest(DATA, P.Mechanism(m)), hashlib.new(hash_.name, DATA).digest())


def hmac_check(t, m, hash_):
    key = bytes(range(1, 33))
    same(t.s.sign(t.secret(P.CKK_GENERIC_SECRET, key), DATA, P.Mechanism(m)), hmac.new(key, DATA, hash_.name).digest())


def aes_cmac(t, m):
    key, reference = bytes(range(16)), cmac.CMAC(algorithms.AES(bytes(range(16))))
    reference.update(DATA)
    same(t.s.sign(t.secret(P.CKK_AES, key), DATA, P.Mechanism(m)), reference.finalize())


def block(t, m, key_type, key_length, mode, padded=False):
    key, size = bytes(range(7, 7 + key_length)), 16 if key_type == P.CKK_AES else 8
    iv = bytes(range(100, 100 + size)) if mode is not modes.ECB else None
    param = struct.pack("<Q", 64) + iv if mode is modes.CTR else iv   # CK_AES_CTR_PARAMS: counter bits, block
    data = plain = ODD if padded or mode is modes.CTR else DATA
    if padded:
        padder = sympad.PKCS7(size * 8).padder()
        plain = padder.update(data) + padder.finalize()
    handle, mechanism = t.secret(key_type, key), P.Mechanism(m, param)
    encrypted = bytes(t.s.encrypt(handle, data, mechanism))
    same(encrypted, cipher(key_type, key, mode(iv) if iv else mode(), plain))
    same(t.s.decrypt(handle, encrypted, mechanism), data)


def keygen(t, m, key_type, length, ecb):
    templ = [*SECRET, (P.CKA_KEY_TYPE, key_type), (P.CKA_ENCRYPT, True)]
    handle = t.s.generateKey(templ + ([(P.CKA_VALUE_LEN, length)] if key_type == P.CKK_AES else []), P.Mechanism(m))
    value = t.value(handle)
    assert len(value) == length, value.hex()
    assert key_type == P.CKK_AES or all(bin(b).count("1") % 2 == 1 for b in value), value.hex()
    same(t.s.encrypt(handle, DATA, P.Mechanism(ecb)), cipher(key_type, value, modes.ECB(), DATA))


def encrypt_data(t, m, key_type, key_length, cbc):
    """The derived value is the data encrypted under the base key."""
    key, size = bytes(range(3, 3 + key_length)), 16 if key_type == P.CKK_AES else 8
    data, iv = bytes(range(200, 200 + 2 * size)), bytes(range(size))
    buffer = ctypes.create_string_buffer(data, len(data))
    pointer = struct.pack("<QQ", ctypes.addressof(buffer), len(data))   # CK_BYTE_PTR, CK_ULONG
    derived = t.derived(t.secret(key_type, key), P.Mechanism(m, iv + pointer if cbc else pointer))
    same(derived, cipher(key_type, key, modes.CBC(iv) if cbc else modes.ECB(), data))


def aes_key_wrap(t, m):
    kek, value, other = bytes(range(16)), bytes(range(50, 82)), bytes(range(90, 114))
    wrapped = t.s.wrapKey(t.secret(P.CKK_AES, kek), t.secret(P.CKK_GENERIC_SECRET, value), P.Mechanism(m))
    same(wrapped, keywrap.aes_key_wrap(kek, value))
    handle = t.s.unwrapKey(t.secret(P.CKK_AES, kek), keywrap.aes_key_wrap(kek, other),
                           [*SECRET, (P.CKA_KEY_TYPE, P.CKK_GENERIC_SECRET)], P.Mechanism(m))
    same(t.value(handle), other)


def rsa_pkcs(t, m):
    key, public, private = t.rsa
    digest_info = bytes.fromhex("3031300d060960864801650304020105000420") + hashlib.sha256(DATA).digest()
    same(t.s.sign(private, digest_info, P.Mechanism(m)), key.sign(DATA, padding.PKCS1v15(), hashes.SHA256()))
    assert key.decrypt(bytes(t.s.encrypt(public, b"secret", P.Mechanism(m))), padding.PKCS1v15()) == b"secret"
    same(t.s.decrypt(private, key.public_key().encrypt(b"other", padding.PKCS1v15()), P.Mechanism(m)), b"other")


def rsa_x509(t, m):
    key, public, private = t.rsa
    n, message = key.private_numbers(), integer(DATA)
    same(t.s.sign(private, DATA, P.Mechanism(m)), octets(pow(message, n.d, n.public_numbers.n), 256))
    same(t.s.encrypt(public, DATA, P.Mechanism(m)), octets(pow(message, n.public_numbers.e, n.public_numbers.n), 256))


def rsa_oaep(t, m):
    key, public, private = t.rsa
    # SHA-256 labels and hashes the message, SHA-1 masks it.
    mechanism = P.RSAOAEPMechanism(P.CKM_SHA256, P.CKG_MGF1_SHA1, b"label")
    scheme = padding.OAEP(padding.MGF1(hashes.SHA1()), hashes.SHA256(), b"label")
    assert key.decrypt(bytes(t.s.encrypt(public, b"secret", mechanism)), scheme) == b"secret"
    same(t.s.decrypt(private, key.public_key().encrypt(b"other", scheme), mechanism), b"other")


def rsa_hash_pkcs(t, m, hash_):
    key, _, private = t.rsa
    same(t.s.sign(private, DATA, P.Mechanism(m)), key.sign(DATA, padding.PKCS1v15(), hash_()))


def rsa_pss(t, m, hash_, hash_mechanism, mgf):
    key, _, private = t.rsa
    signature = bytes(t.s.sign(private, DATA, P.RSA_PSS_Mechanism(m, hash_mechanism, mgf, hash_.digest_size)))
    key.public_key().verify(signature, DATA, padding.PSS(padding.MGF1(hash_()), hash_.digest_size), hash_())


def rsa_keygen(t, m):
    public, private = t.s.generateKeyPair([(P.CKA_TOKEN, False), (P.CKA_MODULUS_BITS, 2048), (P.CKA_VERIFY, True)],
                                          [*READABLE, (P.CKA_SIGN, True)], P.Mechanism(m))
    n, e = t.values(public, P.CKA_MODULUS, P.CKA_PUBLIC_EXPONENT)
    d, p, q, dp, dq, qi = t.values(private, P.CKA_PRIVATE_EXPONENT, P.CKA_PRIME_1, P.CKA_PRIME_2, P.CKA_EXPONENT_1,
                                   P.CKA_EXPONENT_2, P.CKA_COEFFICIENT)
    assert n.bit_length() == 2048 and p * q == n and is_prime(p) and is_prime(q)
    assert (d * e) % ((p - 1) * (q - 1) // math.gcd(p - 1, q - 1)) == 1
    key = rsa.RSAPrivateNumbers(p, q, d, dp, dq, qi, rsa.RSAPublicNumbers(e, n)).private_key()
    signature = bytes(t.s.sign(private, DATA, P.Mechanism(P.CKM_SHA256_RSA_PKCS)))
    key.public_key().verify(signature, DATA, padding.PKCS1v15(), hashes.SHA256())


def dss_sign(t, m, kind, hash_):
    """DSA or ECDSA over the data, or over its SHA-256 hash where the mechanism hashes nothing."""
    key, _, private = t.dsa if kind == "dsa" else t.ec
    message, algorithm = (DATA, hash_()) if hash_ else (hashlib.sha256(DATA).digest(), utils.Prehashed(hashes.SHA256()))
    signature = bytes(t.s.sign(private, message, P.Mechanism(m)))
    assert len(signature) == 64, signature.hex()
    key.public_key().verify(raw_signature(signature), message, algorithm if kind == "dsa" else ec.ECDSA(algorithm))


def dsa_parameter_gen(t, m):
    p, q, g = t.domain(P.CKK_DSA, m, 2048, P.CKA_PRIME, P.CKA_SUBPRIME, P.CKA_BASE)
    assert p.bit_length() == 2048 and q.bit_length() == 256 and is_prime(p) and is_prime(q) and (p - 1) % q == 0
    assert 1 < g < p and pow(g, q, p) == 1
    # A signature under the parameters: python's key in them, the token verifies it.
    key = dsa.DSAParameterNumbers(p, q, g).parameters().generate_private_key()
    _, public, _ = t.dsa_pair(key)
    r, s = utils.decode_dss_signature(key.sign(DATA, hashes.SHA256()))
    assert t.s.verify(public, DATA, octets(r, 32) + octets(s, 32), P.Mechanism(P.CKM_DSA_SHA256))


def dsa_keygen(t, m):
    numbers = t.dsa[0].parameters().parameter_numbers()
    public, private = t.s.generateKeyPair([(P.CKA_TOKEN, False), (P.CKA_VERIFY, True), *dsa_domain(numbers)],
                                          [*READABLE, (P.CKA_SIGN, True)], P.Mechanism(m))
    y, x = integer(t.value(public)), integer(t.value(private))
    assert 0 < x < numbers.q and pow(numbers.g, x, numbers.p) == y
    signature = bytes(t.s.sign(private, DATA, P.Mechanism(P.CKM_DSA_SHA256)))
    dsa.DSAPublicNumbers(y, numbers).public_key().verify(raw_signature(signature), DATA, hashes.SHA256())


def diffie_hellman(t, m):
    """The token's domain parameters are a safe prime and 2; a token key pair in them; with the
    derive mechanism, the shared secret too."""
    p, g = t.dh_domain
    assert p.bit_length() == 1024 and is_prime(p) and is_prime((p - 1) // 2) and g == 2
    if m == P.CKM_DH_PKCS_PARAMETER_GEN:
        return
    public, private = t.s.generateKeyPair([(P.CKA_TOKEN, False), (P.CKA_PRIME, octets(p)), (P.CKA_BASE, octets(g))],
                                          [*READABLE, (P.CKA_DERIVE, True)], P.Mechanism(P.CKM_DH_PKCS_KEY_PAIR_GEN))
    y, x = integer(t.value(public)), integer(t.value(private))
    assert 1 < y < p - 1 and 1 < x < p - 1 and pow(g, x, p) == y
    if m == P.CKM_DH_PKCS_DERIVE:
        numbers = dh.DHParameterNumbers(p, g)
        theirs = numbers.parameters().generate_private_key()
        shared = theirs.exchange(dh.DHPublicNumbers(y, numbers).public_key())
        derived = t.derived(private, P.Mechanism(m, octets(theirs.public_key().public_numbers().y)))
        same(derived, shared.rjust(128, b"\0"))


def ec_keygen(t, m):
    public, private = t.s.generateKeyPair([(P.CKA_TOKEN, False), (P.CKA_EC_PARAMS, P256), (P.CKA_VERIFY, True)],
                                          [*READABLE, (P.CKA_SIGN, True)], P.Mechanism(m))
    point = t.value(public, P.CKA_EC_POINT)
    key = ec.derive_private_key(integer(t.value(private)), ec.SECP256R1())
    same(point, b"\x04\x41" + key.public_key().public_bytes(*X962))


def ecdh(t, m):
    key, _, private = t.ec
    theirs = ec.generate_private_key(ec.SECP256R1())
    point, z = theirs.public_key().public_bytes(*X962), theirs.exchange(ec.ECDH(), key.public_key())
    same(t.derived(private, P.ECDH1_DERIVE_Mechanism(point)), z, "raw")
    for kdf, hash_, shared in [(P.CKD_SHA256_KDF, hashes.SHA256, None), (P.CKD_SHA1_KDF, hashes.SHA1, b"info")]:
        same(t.derived(private, P.ECDH1_DERIVE_Mechanism(point, kdf, shared), 48),
             X963KDF(hash_(), 48, shared).derive(z), f"X9.63 {hash_.name}")


ROWS = [(P.CKM_DSA, dss_sign, "dsa", None), (P.CKM_ECDSA, dss_sign, "ec", None)]
for py, *names in FAMILIES:
    h, hm, rsa_m, pss_m, dsa_m = (getattr(P, "CKM_" + n) if n else None for n in names[:5])
    ROWS += [(h, digest, py), (hm, hmac_check, py), (rsa_m, rsa_hash_pkcs, py)]
    ROWS += [(pss_m, rsa_pss, py, h, getattr(P, "CKG_" + names[5])), (dsa_m, dss_sign, "dsa", py)] if pss_m else []
ROWS += [
    (P.CKM_AES_CMAC, aes_cmac),
    (P.CKM_AES_ECB, block, P.CKK_AES, 16, modes.ECB),
    (P.CKM_AES_CBC, block, P.CKK_AES, 24, modes.CBC),
    (P.CKM_AES_CBC_PAD, block, P.CKK_AES, 32, modes.CBC, True),
    (P.CKM_AES_CTR, block, P.CKK_AES, 16, modes.CTR),
    (P.CKM_DES_ECB, block, P.CKK_DES, 8, modes.ECB),
    (P.CKM_DES_CBC, block, P.CKK_DES, 8, modes.CBC),
    (P.CKM_DES_CBC_PAD, block, P.CKK_DES, 8, modes.CBC, True),
    (P.CKM_DES3_ECB, block, P.CKK_DES3, 24, modes.ECB),
    (P.CKM_DES3_CBC, block, P.CKK_DES3, 24, modes.CBC),
    (P.CKM_DES3_CBC_PAD, block, P.CKK_DES3, 24, modes.CBC, True),
    (P.CKM_AES_KEY_GEN, keygen, P.CKK_AES, 32, P.CKM_AES_ECB),
    (P.CKM_DES_KEY_GEN, keygen, P.CKK_DES, 8, P.CKM_DES_ECB),
    (P.CKM_DES2_KEY_GEN, keygen, P.CKK_DES2, 16, P.CKM_DES3_ECB),
    (P.CKM_DES3_KEY_GEN, keygen, P.CKK_DES3, 24, P.CKM_DES3_ECB),
    (P.CKM_DES_ECB_ENCRYPT_DATA, encrypt_data, P.CKK_DES, 8, False),
    (P.CKM_DES_CBC_ENCRYPT_DATA, encrypt_data, P.CKK_DES, 8, True),
    (P.CKM_DES3_ECB_ENCRYPT_DATA, encrypt_data, P.CKK_DES3, 24, False),
    (P.CKM_DES3_CBC_ENCRYPT_DATA, encrypt_data, P.CKK_DES3, 24, True),
    (P.CKM_AES_ECB_ENCRYPT_DATA, encrypt_data, P.CKK_AES, 16, False),
    (P.CKM_AES_CBC_ENCRYPT_DATA, encrypt_data, P.CKK_AES, 32, True),
    (P.CKM_AES_KEY_WRAP, aes_key_wrap),
    (P.CKM_RSA_PKCS_KEY_PAIR_GEN, rsa_keygen),
    (P.CKM_RSA_PKCS, rsa_pkcs),
    (P.CKM_RSA_X_509, rsa_x509),
    (P.CKM_RSA_PKCS_OAEP, rsa_oaep),
    (P.CKM_DSA_PARAMETER_GEN, dsa_parameter_gen),
    (P.CKM_DSA_KEY_PAIR_GEN, dsa_keygen),
    (P.CKM_DH_PKCS_PARAMETER_GEN, diffie_hellman),
    (P.CKM_DH_PKCS_KEY_PAIR_GEN, diffie_hellman),
    (P.CKM_DH_PKCS_DERIVE, diffie_hellman),
    (P.CKM_EC_KEY_PAIR_GEN, ec_keygen),
    (P.CKM_ECDH1_DERIVE, ecdh),
]


def main():
    rows = {m: (check, args) for m, check, *args in ROWS}
    assert len(rows) == len(ROWS) == 63, len(rows)
    with started_token("mechanisms") as (_, pkcs11, session):
        listed = {P.CKM[name] for name in pkcs11.getMechanismList(0)}
        assert listed <= set(rows), [P.CKM[m] for m in listed - set(rows)]
        t, wrong = Token(session), []
        for m, (check, args) in rows.items():
            try:
                pkcs11.getMechanismInfo(0, P.CKM[m])
                check(t, m, *args)
                print(f"{P.CKM[m]}: ok")
            except Exception as e:  # every row runs; the failures are listed together
                wrong.append(f"{P.CKM[m]}: {type(e).__name__}: {e}")
    assert not wrong, "\n".join(wrong)
    print("mechanism table: every row as expected")


if __name__ == "__main__":
    main()
