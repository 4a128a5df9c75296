"""Programs that call the library as the standard lets them, against orvo-sim: for signing,
digesting, encryption, decryption and wrapping, the length query, then a too-small buffer, then
the retry, all on one operation, whose result python3-cryptography checks; keys derived by
encrypting data; a template longer than one reply holds; a mechanism and a template in
read-only memory. Each scenario is a process of its own, with its own session, one after
another."""
import ctypes as C
import mmap
import os
import subprocess
import sys

from cryptography.hazmat.primitives import hashes, padding
from cryptography.hazmat.primitives.asymmetric import padding as rsa_padding
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from cryptoki import *  # noqa: F401,F403 (the standard's names)
from orvo_e2e import LIB, USER_PIN, Simulator, initialise_token, scratch

KEY = bytes(range(16))
KEK = bytes(range(100, 116))
IV = bytes(range(50, 66))
DATA = b"forty bytes of data to pad and encrypt!!"


def query_short_retry(lib, name, *head):
    """name(*head, out, &len) three times on one operation: the length query, half the room
    (CKR_BUFFER_TOO_SMALL with the length needed), then enough room. The output."""
    length = CK_ULONG(0)
    lib(name, *head, None, C.byref(length))
    needed = length.value
    short = C.create_string_buffer(needed // 2)
    length.value = needed // 2
    rv = lib.rv(name, *head, short, C.byref(length))
    assert rv == CKR_BUFFER_TOO_SMALL and length.value == needed, (name, hex(rv), length.value, needed)
    out = C.create_string_buffer(needed)
    length.value = needed
    lib(name, *head, out, C.byref(length))
    assert length.value <= needed, (name, length.value, needed)
    return out.raw[:length.value]


def aes_key(lib, session, value, **flags):
    pairs = [(CKA_CLASS, CKO_SECRET_KEY), (CKA_KEY_TYPE, CKK_AES), (CKA_TOKEN, False), (CKA_VALUE, value)]
    return lib.create(session, pairs + [(attribute, True) for attribute in flags.values()])


def aes(key, mode):
    return Cipher(algorithms.AES(key), mode)


def sign(lib, session):
    public_tmpl = template([(CKA_TOKEN, False), (CKA_VERIFY, True), (CKA_MODULUS_BITS, 1024),
                            (CKA_PUBLIC_EXPONENT, b"\x01\x00\x01")])
    private_tmpl = template([(CKA_TOKEN, False), (CKA_SIGN, True), (CKA_SENSITIVE, True)])
    public, private = CK_ULONG(), CK_ULONG()
    lib("C_GenerateKeyPair", session, C.byref(mechanism(CKM_RSA_PKCS_KEY_PAIR_GEN)), public_tmpl,
        CK_ULONG(len(public_tmpl)), private_tmpl, CK_ULONG(len(private_tmpl)), C.byref(public), C.byref(private))
    n = int.from_bytes(lib.attribute(session, public, CKA_MODULUS), "big")
    e = int.from_bytes(lib.attribute(session, public, CKA_PUBLIC_EXPONENT), "big")
    key = rsa.RSAPublicNumbers(e, n).public_key()
    signing = mechanism(CKM_SHA256_RSA_PKCS)

    lib("C_SignInit", session, C.byref(signing), private)
    single = query_short_retry(lib, "C_Sign", session, DATA, CK_ULONG(len(DATA)))
    lib("C_SignInit", session, C.byref(signing), private)
    lib("C_SignUpdate", session, DATA, CK_ULONG(len(DATA)))
    final = query_short_retry(lib, "C_SignFinal", session)
    assert single == final and len(final) == 128
    key.verify(final, DATA, rsa_padding.PKCS1v15(), hashes.SHA256())


def digest(lib, session):
    expected = hashes.Hash(hashes.SHA256())
    expected.update(DATA)
    expected = expected.finalize()
    sha256 = mechanism(CKM_SHA256)
    lib("C_DigestInit", session, C.byref(sha256))
    assert query_short_retry(lib, "C_Digest", session, DATA, CK_ULONG(len(DATA))) == expected
    lib("C_DigestInit", session, C.byref(sha256))
    lib("C_DigestUpdate", session, DATA, CK_ULONG(len(DATA)))
    assert query_short_retry(lib, "C_DigestFinal", session) == expected


def encrypt(lib, session):
    key = aes_key(lib, session, KEY, a=CKA_ENCRYPT, b=CKA_DECRYPT)
    cbc = mechanism(CKM_AES_CBC_PAD, (C.c_ubyte * 16)(*IV))
    padder = padding.PKCS7(128).padder()
    encryptor = aes(KEY, modes.CBC(IV)).encryptor()
    expected = encryptor.update(padder.update(DATA) + padder.finalize()) + encryptor.finalize()

    lib("C_EncryptInit", session, C.byref(cbc), key)
    assert query_short_retry(lib, "C_Encrypt", session, DATA, CK_ULONG(len(DATA))) == expected
    lib("C_DecryptInit", session, C.byref(cbc), key)
    assert query_short_retry(lib, "C_Decrypt", session, expected, CK_ULONG(len(expected))) == DATA

    lib("C_EncryptInit", session, C.byref(cbc), key)
    head = query_short_retry(lib, "C_EncryptUpdate", session, DATA, CK_ULONG(len(DATA)))
    assert head + query_short_retry(lib, "C_EncryptFinal", session) == expected
    lib("C_DecryptInit", session, C.byref(cbc), key)
    head = query_short_retry(lib, "C_DecryptUpdate", session, expected, CK_ULONG(len(expected)))
    assert head + query_short_retry(lib, "C_DecryptFinal", session) == DATA


def wrap(lib, session):
    kek = aes_key(lib, session, KEK, a=CKA_WRAP, b=CKA_UNWRAP)
    key = aes_key(lib, session, KEY, a=CKA_EXTRACTABLE)
    cbc = mechanism(CKM_AES_CBC_PAD, (C.c_ubyte * 16)(*IV))
    wrapped = query_short_retry(lib, "C_WrapKey", session, C.byref(cbc), kek, key)
    padder = padding.PKCS7(128).padder()
    encryptor = aes(KEK, modes.CBC(IV)).encryptor()
    assert wrapped == encryptor.update(padder.update(KEY) + padder.finalize()) + encryptor.finalize()

    # Unwrapped again with the mechanism and the template in read-only memory.
    page = mmap.mmap(-1, mmap.PAGESIZE)
    base = C.addressof(C.c_char.from_buffer(page))
    (C.c_ubyte * 16).from_address(base + 32)[:] = list(IV)
    Mechanism.from_address(base).__init__(CKM_AES_CBC_PAD, base + 32, 16)
    values = (C.c_ulong * 2).from_address(base + 64)
    values[:] = [CKO_SECRET_KEY, CKK_AES]
    (C.c_ubyte * 2).from_address(base + 96)[:] = [1, 0]
    records = (Attribute * 5).from_address(base + 128)
    records[:] = [(CKA_CLASS, base + 64, 8), (CKA_KEY_TYPE, base + 72, 8), (CKA_EXTRACTABLE, base + 96, 1),
                  (CKA_SENSITIVE, base + 97, 1), (CKA_LABEL, None, 5)]  # a length without a value: empty
    libc = C.CDLL(None, use_errno=True)
    assert libc.mprotect(C.c_void_p(base), C.c_size_t(mmap.PAGESIZE), 1) == 0, os.strerror(C.get_errno())
    handle = CK_ULONG()
    lib("C_UnwrapKey", session, C.c_void_p(base), kek, wrapped, CK_ULONG(len(wrapped)), C.c_void_p(base + 128),
        CK_ULONG(5), C.byref(handle))
    assert lib.attribute(session, handle, CKA_VALUE) == KEY


def derive(lib, session):
    base = aes_key(lib, session, KEY, a=CKA_DERIVE)
    data = bytes(range(200, 232))
    buffer = C.create_string_buffer(data, len(data))
    cbc = AesCbcEncryptData((C.c_ubyte * 16)(*IV), C.addressof(buffer), len(data))
    forms = [(CKM_AES_ECB_ENCRYPT_DATA, DerivationString(C.addressof(buffer), len(data)), modes.ECB()),
             (CKM_AES_CBC_ENCRYPT_DATA, cbc, modes.CBC(IV))]
    for kind, parameter, mode in forms:
        tmpl = template([(CKA_CLASS, CKO_SECRET_KEY), (CKA_KEY_TYPE, CKK_AES), (CKA_TOKEN, False),
                         (CKA_VALUE_LEN, 32), (CKA_SENSITIVE, False), (CKA_EXTRACTABLE, True)])
        derived = CK_ULONG()
        lib("C_DeriveKey", session, C.byref(mechanism(kind, parameter)), base, tmpl, CK_ULONG(len(tmpl)),
            C.byref(derived))
        encryptor = aes(KEY, mode).encryptor()
        assert lib.attribute(session, derived, CKA_VALUE) == encryptor.update(data) + encryptor.finalize(), kind


def long_template(lib, session):
    key = aes_key(lib, session, KEY, a=CKA_ENCRYPT)
    types = [CKA_CLASS, CKA_KEY_TYPE, CKA_VALUE_LEN, CKA_ENCRYPT, CKA_TOKEN, CKA_SENSITIVE]
    records = (Attribute * 45)(*[(types[i % len(types)], None, 0) for i in range(45)])
    lib("C_GetAttributeValue", session, key, records, CK_ULONG(45))
    sizes = {CKA_ENCRYPT: 1, CKA_TOKEN: 1, CKA_SENSITIVE: 1}
    assert [r.ulValueLen for r in records] == [sizes.get(r.type, C.sizeof(CK_ULONG)) for r in records]


SCENARIOS = {f.__name__: f for f in (sign, digest, encrypt, wrap, derive, long_template)}


def main():
    if len(sys.argv) > 1:
        lib = Library(LIB)
        session = lib.session(USER_PIN)
        SCENARIOS[sys.argv[1]](lib, session)
        lib("C_Finalize", None)
        return
    with scratch() as work, Simulator(work) as sim:
        initialise_token(sim, "caller patterns")
        for name in SCENARIOS:
            done = subprocess.run([sys.executable, __file__, name], env=sim.env(), stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
            assert done.returncode == 0, f"{name} exited {done.returncode}:\n{done.stdout.decode(errors='replace')}"
            print(f"{name}: ok")


if __name__ == "__main__":
    main()
