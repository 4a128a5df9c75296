"""Programs that call the library through ctypes, byte for byte as a C program does, against
orvo-sim: for signing, digesting, encryption, decryption and wrapping, the length query, then a
too-small buffer, then the retry, all on one operation, whose result python3-cryptography checks;
a template longer than one reply holds; a mechanism and a template in read-only memory. Each
scenario is a process of its own, with its own session, one after another. Linux layout:
CK_ULONG is an unsigned long; PyKCS11 only lends the names."""
import ctypes as C
import hashlib
import mmap
import os
import sys

import PyKCS11 as P
from cryptography.hazmat.primitives import hashes, padding
from cryptography.hazmat.primitives.asymmetric import padding as rsa_padding, rsa
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from orvo_e2e import LIB, USER_PIN, run, simulator

CK_ULONG = C.c_ulong
NUMBERS = {P.CKA_CLASS, P.CKA_KEY_TYPE, P.CKA_MODULUS_BITS}
KEY, KEK, IV = bytes(range(16)), bytes(range(100, 116)), bytes(range(50, 66))
DATA = b"forty bytes of data to pad and encrypt!!"


class Mechanism(C.Structure):
    _fields_ = [("mechanism", CK_ULONG), ("pParameter", C.c_void_p), ("ulParameterLen", CK_ULONG)]


class Attribute(C.Structure):
    _fields_ = [("type", CK_ULONG), ("pValue", C.c_void_p), ("ulValueLen", CK_ULONG)]


def template(pairs):
    """(type, value) pairs as a CK_ATTRIBUTE array; the value buffers live on the array."""
    array = (Attribute * len(pairs))()
    array.keep = [C.create_string_buffer(bytes([v]), 1) if isinstance(v, bool) else
                  CK_ULONG(v) if t in NUMBERS else C.create_string_buffer(bytes(v), len(v)) for t, v in pairs]
    for record, (t, _), buf in zip(array, pairs, array.keep):
        record.type, record.pValue, record.ulValueLen = t, C.addressof(buf), C.sizeof(buf)
    return array


def mechanism(type_, parameter=None):
    m = Mechanism(type_, None, 0)
    if parameter is not None:
        m.keep = C.create_string_buffer(parameter, len(parameter))
        m.pParameter, m.ulParameterLen = C.addressof(m.keep), len(parameter)
    return C.byref(m)


class Library:
    def __init__(self, path):
        self.lib = C.CDLL(path)

    def __call__(self, name, *args, rv=P.CKR_OK):
        function = getattr(self.lib, name)
        function.restype = CK_ULONG
        got = function(*args)
        assert got == rv, f"{name} returned 0x{got:x}, not 0x{rv:x}"

    def session(self):
        """C_Initialize, a read-write session on slot 0 of this process, logged in (a process
        before this one that ended without logging out took its login with it)."""
        self("C_Initialize", None)
        handle, flags = CK_ULONG(), CK_ULONG(P.CKF_SERIAL_SESSION | P.CKF_RW_SESSION)
        self("C_OpenSession", CK_ULONG(0), flags, None, None, C.byref(handle))
        self("C_Login", handle, CK_ULONG(P.CKU_USER), USER_PIN.encode(), CK_ULONG(len(USER_PIN)))
        return handle

    def attribute(self, session, obj, type_):
        """One attribute's bytes by the two-call pattern."""
        record = (Attribute * 1)((type_, None, 0))
        self("C_GetAttributeValue", session, obj, record, CK_ULONG(1))
        buf = C.create_string_buffer(record[0].ulValueLen)
        record[0].pValue = C.addressof(buf)
        self("C_GetAttributeValue", session, obj, record, CK_ULONG(1))
        return buf.raw[:record[0].ulValueLen]


def query_short_retry(lib, name, *head):
    """name(*head, out, &len) three times on one operation: the length query, half the room
    (CKR_BUFFER_TOO_SMALL with the length needed), then enough room. The output."""
    length = CK_ULONG(0)
    lib(name, *head, None, C.byref(length))
    needed = length.value
    length.value = needed // 2
    lib(name, *head, C.create_string_buffer(needed // 2), C.byref(length), rv=P.CKR_BUFFER_TOO_SMALL)
    assert length.value == needed, (name, length.value, needed)
    out = C.create_string_buffer(needed)
    length.value = needed
    lib(name, *head, out, C.byref(length))
    assert length.value <= needed, (name, length.value, needed)
    return out.raw[:length.value]


def single_and_multi(lib, session, name, init, data):
    """The operation on the data in one call, and again in an update and a final call: both
    outputs, each output call made by query_short_retry."""
    lib(f"C_{name}Init", session, *init)
    single = query_short_retry(lib, f"C_{name}", session, data, CK_ULONG(len(data)))
    lib(f"C_{name}Init", session, *init)
    if name in ("Sign", "Digest"):  # their updates have no output
        lib(f"C_{name}Update", session, data, CK_ULONG(len(data)))
        head = b""
    else:
        head = query_short_retry(lib, f"C_{name}Update", session, data, CK_ULONG(len(data)))
    return single, head + query_short_retry(lib, f"C_{name}Final", session)


def aes_key(lib, session, value, *uses):
    tmpl, handle = template([(P.CKA_CLASS, P.CKO_SECRET_KEY), (P.CKA_KEY_TYPE, P.CKK_AES), (P.CKA_TOKEN, False),
                             (P.CKA_VALUE, value), *[(use, True) for use in uses]]), CK_ULONG()
    lib("C_CreateObject", session, tmpl, CK_ULONG(len(tmpl)), C.byref(handle))
    return handle


def aes_cbc_pad(key, data):
    padder, encryptor = padding.PKCS7(128).padder(), Cipher(algorithms.AES(key), modes.CBC(IV)).encryptor()
    return encryptor.update(padder.update(data) + padder.finalize()) + encryptor.finalize()


def sign(lib, session):
    public_tmpl = template([(P.CKA_TOKEN, False), (P.CKA_VERIFY, True), (P.CKA_MODULUS_BITS, 1024),
                            (P.CKA_PUBLIC_EXPONENT, b"\x01\x00\x01")])
    private_tmpl = template([(P.CKA_TOKEN, False), (P.CKA_SIGN, True), (P.CKA_SENSITIVE, True)])
    public, private = CK_ULONG(), CK_ULONG()
    lib("C_GenerateKeyPair", session, mechanism(P.CKM_RSA_PKCS_KEY_PAIR_GEN), public_tmpl, CK_ULONG(len(public_tmpl)),
        private_tmpl, CK_ULONG(len(private_tmpl)), C.byref(public), C.byref(private))
    n, e = (int.from_bytes(lib.attribute(session, public, a), "big") for a in (P.CKA_MODULUS, P.CKA_PUBLIC_EXPONENT))
    single, final = single_and_multi(lib, session, "Sign", (mechanism(P.CKM_SHA256_RSA_PKCS), private), DATA)
    assert single == final and len(final) == 128
    rsa.RSAPublicNumbers(e, n).public_key().verify(final, DATA, rsa_padding.PKCS1v15(), hashes.SHA256())


def digest(lib, session):
    expected = hashlib.sha256(DATA).digest()
    assert single_and_multi(lib, session, "Digest", (mechanism(P.CKM_SHA256),), DATA) == (expected, expected)


def encrypt(lib, session):
    key, expected = aes_key(lib, session, KEY, P.CKA_ENCRYPT, P.CKA_DECRYPT), aes_cbc_pad(KEY, DATA)
    for name, data, result in (("Encrypt", DATA, expected), ("Decrypt", expected, DATA)):
        outputs = single_and_multi(lib, session, name, (mechanism(P.CKM_AES_CBC_PAD, IV), key), data)
        assert outputs == (result, result), name


def wrap(lib, session):
    kek = aes_key(lib, session, KEK, P.CKA_WRAP, P.CKA_UNWRAP)
    key = aes_key(lib, session, KEY, P.CKA_EXTRACTABLE)
    wrapped = query_short_retry(lib, "C_WrapKey", session, mechanism(P.CKM_AES_CBC_PAD, IV), kek, key)
    assert wrapped == aes_cbc_pad(KEK, KEY)

    # Unwrapped again with the mechanism and the template in read-only memory.
    page = mmap.mmap(-1, mmap.PAGESIZE)
    base = C.addressof(C.c_char.from_buffer(page))
    (C.c_ubyte * 16).from_address(base + 32)[:] = list(IV)
    Mechanism.from_address(base).__init__(P.CKM_AES_CBC_PAD, base + 32, 16)
    (C.c_ulong * 2).from_address(base + 64)[:] = [P.CKO_SECRET_KEY, P.CKK_AES]
    (C.c_ubyte * 2).from_address(base + 96)[:] = [1, 0]
    records = (Attribute * 5).from_address(base + 128)
    records[:] = [(P.CKA_CLASS, base + 64, 8), (P.CKA_KEY_TYPE, base + 72, 8), (P.CKA_EXTRACTABLE, base + 96, 1),
                  (P.CKA_SENSITIVE, base + 97, 1), (P.CKA_LABEL, None, 5)]  # a length without a value: empty
    libc = C.CDLL(None, use_errno=True)
    assert libc.mprotect(C.c_void_p(base), C.c_size_t(mmap.PAGESIZE), 1) == 0, os.strerror(C.get_errno())
    handle = CK_ULONG()
    lib("C_UnwrapKey", session, C.c_void_p(base), kek, wrapped, CK_ULONG(len(wrapped)), C.c_void_p(base + 128),
        CK_ULONG(5), C.byref(handle))
    assert lib.attribute(session, handle, P.CKA_VALUE) == KEY


def long_template(lib, session):
    key = aes_key(lib, session, KEY, P.CKA_ENCRYPT)
    types = [P.CKA_CLASS, P.CKA_KEY_TYPE, P.CKA_VALUE_LEN, P.CKA_ENCRYPT, P.CKA_TOKEN, P.CKA_SENSITIVE]
    records = (Attribute * 45)(*[(types[i % len(types)], None, 0) for i in range(45)])
    lib("C_GetAttributeValue", session, key, records, CK_ULONG(45))
    sizes = {P.CKA_ENCRYPT: 1, P.CKA_TOKEN: 1, P.CKA_SENSITIVE: 1}
    assert [r.ulValueLen for r in records] == [sizes.get(r.type, C.sizeof(CK_ULONG)) for r in records]


SCENARIOS = {f.__name__: f for f in (sign, digest, encrypt, wrap, long_template)}


def main():
    if len(sys.argv) > 1:
        lib = Library(LIB)
        SCENARIOS[sys.argv[1]](lib, lib.session())
        lib("C_Finalize", None)
        return
    with simulator("caller patterns") as (_, sim):
        for name in SCENARIOS:
            run([sys.executable, __file__, name], env=sim.env())
            print(f"{name}: ok")


if __name__ == "__main__":
    main()
