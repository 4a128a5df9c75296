"""Every mechanism of the library's catalogue, through the library over TLS against orvo-sim,
one row each. Deterministic results are compared byte for byte with python3-cryptography's
(digests, MACs, block ciphers, PKCS#1 v1.5 and raw RSA, key wrap, derived key values); the
randomized ones are verified by it (ECDSA, DSA and PSS signatures, OAEP and PKCS#1 ciphertexts),
and generated keys and domain parameters are checked for what makes them valid."""
import ctypes
import hashlib
import hmac
import math
import struct

import PyKCS11 as P
from cryptography.hazmat.primitives import cmac, hashes, keywrap, padding as sympad
from cryptography.hazmat.primitives.asymmetric import dh, dsa, ec, padding, rsa, utils
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.x963kdf import X963KDF
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

from orvo_e2e import Simulator, initialise_token, load_library, open_session, scratch

DATA = bytes(range(48))          # three AES blocks, six DES blocks
ODD = b"not a whole number of blocks"
P256 = bytes.fromhex("06082a8648ce3d030107")
HASHES = {P.CKM_MD5: hashes.MD5, P.CKM_SHA_1: hashes.SHA1, P.CKM_SHA224: hashes.SHA224,
          P.CKM_SHA256: hashes.SHA256, P.CKM_SHA384: hashes.SHA384, P.CKM_SHA512: hashes.SHA512}
MGF = {P.CKM_SHA_1: P.CKG_MGF1_SHA1, P.CKM_SHA224: P.CKG_MGF1_SHA224, P.CKM_SHA256: P.CKG_MGF1_SHA256,
       P.CKM_SHA384: P.CKG_MGF1_SHA384, P.CKM_SHA512: P.CKG_MGF1_SHA512}
# The DSA and ECDSA mechanisms with the hash that each applies first (None: the data is the hash).
DSA_HASH = {P.CKM_DSA: None, P.CKM_DSA_SHA1: P.CKM_SHA_1, P.CKM_DSA_SHA224: P.CKM_SHA224,
            P.CKM_DSA_SHA256: P.CKM_SHA256, P.CKM_DSA_SHA384: P.CKM_SHA384, P.CKM_DSA_SHA512: P.CKM_SHA512}
SECRET_USES = [(a, True) for a in (P.CKA_ENCRYPT, P.CKA_DECRYPT, P.CKA_SIGN, P.CKA_VERIFY, P.CKA_WRAP,
                                   P.CKA_UNWRAP, P.CKA_DERIVE)]
READABLE = [(P.CKA_TOKEN, False), (P.CKA_SENSITIVE, False), (P.CKA_EXTRACTABLE, True)]

def integer(value):
    return int.from_bytes(bytes(value), "big")


def octets(value, width):
    return value.to_bytes(width, "big")


def big(value):
    return value.to_bytes((value.bit_length() + 7) // 8 or 1, "big")


def is_prime(n):
    """Miller-Rabin with the first primes as bases (error below 2^-80 for these sizes)."""
    if n < 2 or n % 2 == 0:
        return n == 2
    d, r = n - 1, 0
    while d % 2 == 0:
        d, r = d // 2, r + 1
    for a in (2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71):
        x = pow(a, d, n)
        if x in (1, n - 1):
            continue
        for _ in range(r - 1):
            x = pow(x, 2, n)
            if x == n - 1:
                break
        else:
            return False
    return True


def same(got, expected, what=""):
    got = bytes(got)
    assert got == expected, f"{what} {got.hex()} != {expected.hex()}"


class Token:
    """The session and the keys the rows share, made on first use."""

    def __init__(self, session):
        self.s = session
        self.cache = {}

    def value(self, handle, attribute=P.CKA_VALUE):
        return bytes(self.s.getAttributeValue(handle, [attribute])[0])

    def secret(self, key_type, value):
        return self.s.createObject([(P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_KEY_TYPE, key_type),
                                    (P.CKA_VALUE, value), *READABLE, *SECRET_USES])

    def derived(self, base, mechanism, length=None):
        templ = [(P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_KEY_TYPE, P.CKK_GENERIC_SECRET), *READABLE]
        return self.value(self.s.deriveKey(base, templ + ([(P.CKA_VALUE_LEN, length)] if length else []), mechanism))

    def once(self, name, make):
        if name not in self.cache:
            self.cache[name] = make()
        return self.cache[name]

    def pair(self, key_type, public, private):
        """A key pair imported into the token: (public handle, private handle)."""
        base = [(P.CKA_KEY_TYPE, key_type), (P.CKA_TOKEN, False)]
        return (self.s.createObject([(P.CKA_CLASS, P.CKO_PUBLIC_KEY), *base, (P.CKA_VERIFY, True),
                                     (P.CKA_ENCRYPT, True), *public]),
                self.s.createObject([(P.CKA_CLASS, P.CKO_PRIVATE_KEY), *base, (P.CKA_SIGN, True),
                                     (P.CKA_DECRYPT, True), (P.CKA_DERIVE, True), *private]))

    def rsa(self):
        def make():
            key = rsa.generate_private_key(65537, 2048)
            n = key.private_numbers()
            pub = [(P.CKA_MODULUS, big(n.public_numbers.n)), (P.CKA_PUBLIC_EXPONENT, big(n.public_numbers.e))]
            parts = [(P.CKA_PRIVATE_EXPONENT, n.d), (P.CKA_PRIME_1, n.p), (P.CKA_PRIME_2, n.q),
                     (P.CKA_EXPONENT_1, n.dmp1), (P.CKA_EXPONENT_2, n.dmq1), (P.CKA_COEFFICIENT, n.iqmp)]
            return (key, *self.pair(P.CKK_RSA, pub, pub + [(a, big(v)) for a, v in parts]))
        return self.once("rsa", make)

    def dsa(self):
        def make():
            key = dsa.generate_private_key(2048)
            n = key.private_numbers()
            domain = [(P.CKA_PRIME, big(n.public_numbers.parameter_numbers.p)),
                      (P.CKA_SUBPRIME, big(n.public_numbers.parameter_numbers.q)),
                      (P.CKA_BASE, big(n.public_numbers.parameter_numbers.g))]
            return (key, *self.pair(P.CKK_DSA, domain + [(P.CKA_VALUE, big(n.public_numbers.y))],
                                    domain + [(P.CKA_VALUE, big(n.x))]))
        return self.once("dsa", make)

    def ec(self):
        def make():
            key = ec.generate_private_key(ec.SECP256R1())
            point = key.public_key().public_bytes(Encoding.X962, PublicFormat.UncompressedPoint)
            return (key, *self.pair(P.CKK_EC, [(P.CKA_EC_PARAMS, P256), (P.CKA_EC_POINT, b"\x04\x41" + point)],
                                    [(P.CKA_EC_PARAMS, P256), (P.CKA_VALUE, octets(key.private_numbers().private_value, 32))]))
        return self.once("ec", make)

    def dh_domain(self):
        """Domain parameters the token generates, checked by the parameter generation row."""
        def make():
            handle = self.s.generateKey([(P.CKA_CLASS, P.CKO_DOMAIN_PARAMETERS), (P.CKA_KEY_TYPE, P.CKK_DH),
                                         (P.CKA_TOKEN, False), (P.CKA_PRIME_BITS, struct.pack("<Q", 1024))],
                                        P.Mechanism(P.CKM_DH_PKCS_PARAMETER_GEN))
            return integer(self.value(handle, P.CKA_PRIME)), integer(self.value(handle, P.CKA_BASE))
        return self.once("dh-domain", make)


# ---- rows, by kind ----

def digest(t, m):
    same(t.s.digest(DATA, P.Mechanism(m)), hashlib.new(HASHES[m].name, DATA).digest())


def hmac_row(hash_mechanism):
    def check(t, m):
        key = bytes(range(1, 33))
        mac = bytes(t.s.sign(t.secret(P.CKK_GENERIC_SECRET, key), DATA, P.Mechanism(m)))
        same(mac, hmac.new(key, DATA, HASHES[hash_mechanism].name).digest())
    return check


def aes_cmac(t, m):
    key = bytes(range(16))
    reference = cmac.CMAC(algorithms.AES(key))
    reference.update(DATA)
    same(t.s.sign(t.secret(P.CKK_AES, key), DATA, P.Mechanism(m)), reference.finalize())


def block_row(key_type, key_length, mode, padded=False):
    """Encrypts and decrypts under a fixed key and IV, compared with the same cipher in python."""
    def check(t, m):
        key, block = bytes(range(7, 7 + key_length)), 16 if key_type == P.CKK_AES else 8
        iv = bytes(range(100, 100 + block)) if mode is not modes.ECB else None
        param = iv
        if mode is modes.CTR:
            param = struct.pack("<Q", 64) + iv   # CK_AES_CTR_PARAMS: counter bits, counter block
        data = ODD if padded or mode is modes.CTR else DATA
        plain = data
        if padded:
            padder = sympad.PKCS7(block * 8).padder()
            plain = padder.update(data) + padder.finalize()
        algorithm = algorithms.AES(key) if key_type == P.CKK_AES else algorithms.TripleDES(key)
        encryptor = Cipher(algorithm, mode(iv) if iv else mode()).encryptor()
        handle, mechanism = t.secret(key_type, key), P.Mechanism(m, param)
        encrypted = bytes(t.s.encrypt(handle, data, mechanism))
        same(encrypted, encryptor.update(plain) + encryptor.finalize())
        same(t.s.decrypt(handle, encrypted, mechanism), data)
    return check


def keygen_row(key_type, length):
    """A generated key has the right length (odd parity for DES), and the token encrypts with
    the value it reports."""
    def check(t, m):
        templ = [(P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_KEY_TYPE, key_type), (P.CKA_ENCRYPT, True), *READABLE]
        if key_type == P.CKK_AES:
            templ.append((P.CKA_VALUE_LEN, length))
        handle = t.s.generateKey(templ, P.Mechanism(m))
        value = t.value(handle)
        assert len(value) == length, value.hex()
        if key_type == P.CKK_AES:
            algorithm, ecb = algorithms.AES(value), P.CKM_AES_ECB
        else:
            assert all(bin(b).count("1") % 2 == 1 for b in value), value.hex()
            algorithm, ecb = algorithms.TripleDES(value), P.CKM_DES_ECB if key_type == P.CKK_DES else P.CKM_DES3_ECB
        encryptor = Cipher(algorithm, modes.ECB()).encryptor()
        same(t.s.encrypt(handle, DATA, P.Mechanism(ecb)), encryptor.update(DATA) + encryptor.finalize())
    return check


def rsa_pkcs(t, m):
    key, public, private = t.rsa()
    digest_info = bytes.fromhex("3031300d060960864801650304020105000420") + hashlib.sha256(DATA).digest()
    same(t.s.sign(private, digest_info, P.Mechanism(m)), key.sign(DATA, padding.PKCS1v15(), hashes.SHA256()))
    encrypted = bytes(t.s.encrypt(public, b"secret", P.Mechanism(m)))
    assert key.decrypt(encrypted, padding.PKCS1v15()) == b"secret"
    same(t.s.decrypt(private, key.public_key().encrypt(b"other", padding.PKCS1v15()), P.Mechanism(m)), b"other")


def rsa_x509(t, m):
    key, public, private = t.rsa()
    n = key.private_numbers()
    message = int.from_bytes(DATA, "big")
    same(t.s.sign(private, DATA, P.Mechanism(m)), octets(pow(message, n.d, n.public_numbers.n), 256))
    same(t.s.encrypt(public, DATA, P.Mechanism(m)), octets(pow(message, n.public_numbers.e, n.public_numbers.n), 256))


def rsa_oaep(t, m):
    key, public, private = t.rsa()
    # SHA-256 labels and hashes the message, SHA-1 masks it.
    mechanism = P.RSAOAEPMechanism(P.CKM_SHA256, P.CKG_MGF1_SHA1, b"label")
    scheme = padding.OAEP(padding.MGF1(hashes.SHA1()), hashes.SHA256(), b"label")
    assert key.decrypt(bytes(t.s.encrypt(public, b"secret", mechanism)), scheme) == b"secret"
    same(t.s.decrypt(private, key.public_key().encrypt(b"other", scheme), mechanism), b"other")


def rsa_hash_pkcs(hash_mechanism):
    def check(t, m):
        key, _, private = t.rsa()
        same(t.s.sign(private, DATA, P.Mechanism(m)), key.sign(DATA, padding.PKCS1v15(), HASHES[hash_mechanism]()))
    return check


def rsa_pss(hash_mechanism):
    def check(t, m):
        key, _, private = t.rsa()
        hash_ = HASHES[hash_mechanism]()
        mechanism = P.RSA_PSS_Mechanism(m, hash_mechanism, MGF[hash_mechanism], hash_.digest_size)
        signature = bytes(t.s.sign(private, DATA, mechanism))
        key.public_key().verify(signature, DATA, padding.PSS(padding.MGF1(hash_), hash_.digest_size), hash_)
    return check


def rsa_keygen(t, m):
    public, private = t.s.generateKeyPair(
        [(P.CKA_TOKEN, False), (P.CKA_MODULUS_BITS, 2048), (P.CKA_VERIFY, True)],
        [*READABLE, (P.CKA_SIGN, True)], P.Mechanism(m))
    n, e = integer(t.value(public, P.CKA_MODULUS)), integer(t.value(public, P.CKA_PUBLIC_EXPONENT))
    d, p, q, dp, dq, qi = (integer(t.value(private, a)) for a in (
        P.CKA_PRIVATE_EXPONENT, P.CKA_PRIME_1, P.CKA_PRIME_2, P.CKA_EXPONENT_1, P.CKA_EXPONENT_2, P.CKA_COEFFICIENT))
    assert n.bit_length() == 2048 and p * q == n and is_prime(p) and is_prime(q)
    assert (d * e) % ((p - 1) * (q - 1) // math.gcd(p - 1, q - 1)) == 1
    key = rsa.RSAPrivateNumbers(p, q, d, dp, dq, qi, rsa.RSAPublicNumbers(e, n)).private_key()
    signature = bytes(t.s.sign(private, DATA, P.Mechanism(P.CKM_SHA256_RSA_PKCS)))
    key.public_key().verify(signature, DATA, padding.PKCS1v15(), hashes.SHA256())


def split_signature(raw):
    half = len(raw) // 2
    return utils.encode_dss_signature(integer(raw[:half]), integer(raw[half:]))


def dsa_sign(t, m):
    key, _, private = t.dsa()
    hash_mechanism = DSA_HASH[m]
    if hash_mechanism is None:
        message, algorithm = hashlib.sha256(DATA).digest(), utils.Prehashed(hashes.SHA256())
    else:
        message, algorithm = DATA, HASHES[hash_mechanism]()
    signature = bytes(t.s.sign(private, message, P.Mechanism(m)))
    assert len(signature) == 64, signature.hex()
    key.public_key().verify(split_signature(signature), message, algorithm)


def dsa_domain_check(p, q, g, bits):
    assert p.bit_length() == bits and is_prime(p) and is_prime(q) and (p - 1) % q == 0
    assert 1 < g < p and pow(g, q, p) == 1


def dsa_parameter_gen(t, m):
    handle = t.s.generateKey([(P.CKA_CLASS, P.CKO_DOMAIN_PARAMETERS), (P.CKA_KEY_TYPE, P.CKK_DSA), (P.CKA_TOKEN, False),
                              (P.CKA_PRIME_BITS, struct.pack("<Q", 2048))], P.Mechanism(m))
    p, q, g = (integer(t.value(handle, a)) for a in (P.CKA_PRIME, P.CKA_SUBPRIME, P.CKA_BASE))
    dsa_domain_check(p, q, g, 2048)
    assert q.bit_length() == 256
    # A signature under the parameters: python's key in them, the token verifies it.
    key = dsa.DSAParameterNumbers(p, q, g).parameters().generate_private_key()
    public = t.s.createObject([(P.CKA_CLASS, P.CKO_PUBLIC_KEY), (P.CKA_KEY_TYPE, P.CKK_DSA), (P.CKA_TOKEN, False),
                               (P.CKA_VERIFY, True), (P.CKA_PRIME, big(p)), (P.CKA_SUBPRIME, big(q)),
                               (P.CKA_BASE, big(g)), (P.CKA_VALUE, big(key.public_key().public_numbers().y))])
    r, s = utils.decode_dss_signature(key.sign(DATA, hashes.SHA256()))
    assert t.s.verify(public, DATA, octets(r, 32) + octets(s, 32), P.Mechanism(P.CKM_DSA_SHA256))


def dsa_keygen(t, m):
    key, _, _ = t.dsa()
    numbers = key.parameters().parameter_numbers()
    domain = [(P.CKA_PRIME, big(numbers.p)), (P.CKA_SUBPRIME, big(numbers.q)), (P.CKA_BASE, big(numbers.g))]
    public, private = t.s.generateKeyPair([(P.CKA_TOKEN, False), (P.CKA_VERIFY, True), *domain],
                                          [*READABLE, (P.CKA_SIGN, True)], P.Mechanism(m))
    y, x = integer(t.value(public)), integer(t.value(private))
    assert 0 < x < numbers.q and pow(numbers.g, x, numbers.p) == y
    signature = bytes(t.s.sign(private, DATA, P.Mechanism(P.CKM_DSA_SHA256)))
    dsa.DSAPublicNumbers(y, numbers).public_key().verify(split_signature(signature), DATA, hashes.SHA256())


def dh_parameter_gen(t, m):
    p, g = t.dh_domain()
    assert p.bit_length() == 1024 and is_prime(p) and is_prime((p - 1) // 2) and g == 2


def dh_pair(t):
    p, g = t.dh_domain()
    public, private = t.s.generateKeyPair(
        [(P.CKA_TOKEN, False), (P.CKA_PRIME, big(p)), (P.CKA_BASE, big(g))],
        [*READABLE, (P.CKA_DERIVE, True)], P.Mechanism(P.CKM_DH_PKCS_KEY_PAIR_GEN))
    return p, g, integer(t.value(public)), integer(t.value(private)), private


def dh_keygen(t, m):
    p, g, y, x, _ = dh_pair(t)
    assert 1 < y < p - 1 and 1 < x < p - 1 and pow(g, x, p) == y


def dh_derive(t, m):
    p, g, y, _, private = dh_pair(t)
    numbers = dh.DHParameterNumbers(p, g)
    theirs = numbers.parameters().generate_private_key()
    shared = theirs.exchange(dh.DHPublicNumbers(y, numbers).public_key())
    derived = t.derived(private, P.Mechanism(m, big(theirs.public_key().public_numbers().y)))
    same(derived, shared.rjust(128, b"\0"))


def ec_keygen(t, m):
    public, private = t.s.generateKeyPair([(P.CKA_TOKEN, False), (P.CKA_EC_PARAMS, P256), (P.CKA_VERIFY, True)],
                                          [*READABLE, (P.CKA_SIGN, True)], P.Mechanism(m))
    point = t.value(public, P.CKA_EC_POINT)
    assert point[:2] == b"\x04\x41", point.hex()
    key = ec.derive_private_key(integer(t.value(private)), ec.SECP256R1())
    same(point[2:], key.public_key().public_bytes(Encoding.X962, PublicFormat.UncompressedPoint))


def ecdsa(t, m):
    key, _, private = t.ec()
    message = hashlib.sha256(DATA).digest()
    signature = bytes(t.s.sign(private, message, P.Mechanism(m)))
    key.public_key().verify(split_signature(signature), message, ec.ECDSA(utils.Prehashed(hashes.SHA256())))


def ecdh(t, m):
    key, _, private = t.ec()
    theirs = ec.generate_private_key(ec.SECP256R1())
    point = theirs.public_key().public_bytes(Encoding.X962, PublicFormat.UncompressedPoint)
    z = theirs.exchange(ec.ECDH(), key.public_key())
    same(t.derived(private, P.ECDH1_DERIVE_Mechanism(point)), z, "raw")
    for kdf, hash_, shared in [(P.CKD_SHA256_KDF, hashes.SHA256, None), (P.CKD_SHA1_KDF, hashes.SHA1, b"info")]:
        expected = X963KDF(hash_(), 48, shared).derive(z)
        same(t.derived(private, P.ECDH1_DERIVE_Mechanism(point, kdf, shared), 48), expected, f"X9.63 {hash_.name}")


def aes_key_wrap(t, m):
    kek, value = bytes(range(16)), bytes(range(50, 82))
    wrapped = bytes(t.s.wrapKey(t.secret(P.CKK_AES, kek), t.secret(P.CKK_GENERIC_SECRET, value), P.Mechanism(m)))
    same(wrapped, keywrap.aes_key_wrap(kek, value))
    other = bytes(range(90, 114))
    handle = t.s.unwrapKey(t.secret(P.CKK_AES, kek), keywrap.aes_key_wrap(kek, other),
                           [(P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_KEY_TYPE, P.CKK_GENERIC_SECRET), *READABLE],
                           P.Mechanism(m))
    same(t.value(handle), other)


def encrypt_data_row(key_type, key_length, cbc):
    """The derived value is the data encrypted under the base key."""
    def check(t, m):
        key, block = bytes(range(3, 3 + key_length)), 16 if key_type == P.CKK_AES else 8
        data = bytes(range(200, 200 + 2 * block))
        iv = bytes(range(block)) if cbc else None
        buffer = ctypes.create_string_buffer(data, len(data))
        pointer = struct.pack("<QQ", ctypes.addressof(buffer), len(data))   # CK_BYTE_PTR, CK_ULONG
        param = iv + pointer if cbc else pointer
        algorithm = algorithms.AES(key) if key_type == P.CKK_AES else algorithms.TripleDES(key)
        encryptor = Cipher(algorithm, modes.CBC(iv) if cbc else modes.ECB()).encryptor()
        same(t.derived(t.secret(key_type, key), P.Mechanism(m, param)), encryptor.update(data) + encryptor.finalize())
    return check


ROWS = {
    **{m: digest for m in HASHES},
    **{hm: hmac_row(m) for m, hm in [(P.CKM_MD5, P.CKM_MD5_HMAC), (P.CKM_SHA_1, P.CKM_SHA_1_HMAC),
                                       (P.CKM_SHA224, P.CKM_SHA224_HMAC), (P.CKM_SHA256, P.CKM_SHA256_HMAC),
                                       (P.CKM_SHA384, P.CKM_SHA384_HMAC), (P.CKM_SHA512, P.CKM_SHA512_HMAC)]},
    P.CKM_AES_CMAC: aes_cmac,
    P.CKM_AES_ECB: block_row(P.CKK_AES, 16, modes.ECB),
    P.CKM_AES_CBC: block_row(P.CKK_AES, 24, modes.CBC),
    P.CKM_AES_CBC_PAD: block_row(P.CKK_AES, 32, modes.CBC, padded=True),
    P.CKM_AES_CTR: block_row(P.CKK_AES, 16, modes.CTR),
    P.CKM_DES_ECB: block_row(P.CKK_DES, 8, modes.ECB),
    P.CKM_DES_CBC: block_row(P.CKK_DES, 8, modes.CBC),
    P.CKM_DES_CBC_PAD: block_row(P.CKK_DES, 8, modes.CBC, padded=True),
    P.CKM_DES3_ECB: block_row(P.CKK_DES3, 24, modes.ECB),
    P.CKM_DES3_CBC: block_row(P.CKK_DES3, 24, modes.CBC),
    P.CKM_DES3_CBC_PAD: block_row(P.CKK_DES3, 24, modes.CBC, padded=True),
    P.CKM_AES_KEY_GEN: keygen_row(P.CKK_AES, 32),
    P.CKM_DES_KEY_GEN: keygen_row(P.CKK_DES, 8),
    P.CKM_DES2_KEY_GEN: keygen_row(P.CKK_DES2, 16),
    P.CKM_DES3_KEY_GEN: keygen_row(P.CKK_DES3, 24),
    P.CKM_AES_KEY_WRAP: aes_key_wrap,
    P.CKM_RSA_PKCS_KEY_PAIR_GEN: rsa_keygen,
    P.CKM_RSA_PKCS: rsa_pkcs,
    P.CKM_RSA_X_509: rsa_x509,
    P.CKM_RSA_PKCS_OAEP: rsa_oaep,
    **{m: rsa_hash_pkcs(h) for m, h in [(P.CKM_MD5_RSA_PKCS, P.CKM_MD5), (P.CKM_SHA1_RSA_PKCS, P.CKM_SHA_1),
                                         (P.CKM_SHA224_RSA_PKCS, P.CKM_SHA224), (P.CKM_SHA256_RSA_PKCS, P.CKM_SHA256),
                                         (P.CKM_SHA384_RSA_PKCS, P.CKM_SHA384), (P.CKM_SHA512_RSA_PKCS, P.CKM_SHA512)]},
    **{m: rsa_pss(h) for m, h in [(P.CKM_SHA1_RSA_PKCS_PSS, P.CKM_SHA_1), (P.CKM_SHA224_RSA_PKCS_PSS, P.CKM_SHA224),
                                   (P.CKM_SHA256_RSA_PKCS_PSS, P.CKM_SHA256), (P.CKM_SHA384_RSA_PKCS_PSS, P.CKM_SHA384),
                                   (P.CKM_SHA512_RSA_PKCS_PSS, P.CKM_SHA512)]},
    P.CKM_DSA_PARAMETER_GEN: dsa_parameter_gen,
    P.CKM_DSA_KEY_PAIR_GEN: dsa_keygen,
    **{m: dsa_sign for m in DSA_HASH},
    P.CKM_DH_PKCS_PARAMETER_GEN: dh_parameter_gen,
    P.CKM_DH_PKCS_KEY_PAIR_GEN: dh_keygen,
    P.CKM_DH_PKCS_DERIVE: dh_derive,
    P.CKM_EC_KEY_PAIR_GEN: ec_keygen,
    P.CKM_ECDSA: ecdsa,
    P.CKM_ECDH1_DERIVE: ecdh,
    P.CKM_DES_ECB_ENCRYPT_DATA: encrypt_data_row(P.CKK_DES, 8, False),
    P.CKM_DES_CBC_ENCRYPT_DATA: encrypt_data_row(P.CKK_DES, 8, True),
    P.CKM_DES3_ECB_ENCRYPT_DATA: encrypt_data_row(P.CKK_DES3, 24, False),
    P.CKM_DES3_CBC_ENCRYPT_DATA: encrypt_data_row(P.CKK_DES3, 24, True),
    P.CKM_AES_ECB_ENCRYPT_DATA: encrypt_data_row(P.CKK_AES, 16, False),
    P.CKM_AES_CBC_ENCRYPT_DATA: encrypt_data_row(P.CKK_AES, 32, True),
}


def main():
    assert len(ROWS) == 63, len(ROWS)
    with scratch() as work, Simulator(work) as sim:
        initialise_token(sim, "mechanisms")
        pkcs11 = load_library(sim)
        listed = {P.CKM[name] for name in pkcs11.getMechanismList(0)}
        assert listed <= set(ROWS), [P.CKM[m] for m in listed - set(ROWS)]
        t = Token(open_session(pkcs11))
        wrong = []
        for m, check in ROWS.items():
            name = P.CKM[m]
            try:
                pkcs11.getMechanismInfo(0, name)
                check(t, m)
                failure = None
            except Exception as e:  # every row runs; the failures are listed together
                failure = f"{type(e).__name__}: {e}"
            if failure:
                wrong.append(f"{name}: {failure}")
            else:
                print(f"{name}: ok")
        assert sim.stop() == 0, sim.log()
    assert not wrong, "\n".join(wrong)
    print("mechanism table: every row as expected")


if __name__ == "__main__":
    main()
