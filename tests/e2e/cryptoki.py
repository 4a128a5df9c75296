"""The library called through ctypes, byte for byte as a C program calls it: the caller chooses
every buffer and length, so the standard's caller patterns (length queries, too-small buffers,
retries) are exactly what the test writes. Linux layout: CK_ULONG is an unsigned long."""
import ctypes as C

CK_ULONG = C.c_ulong

CKR_OK, CKR_BUFFER_TOO_SMALL = 0x0, 0x150
CKF_SERIAL_SESSION, CKF_RW_SESSION, CKU_USER = 0x4, 0x2, 1
CKO_SECRET_KEY, CKK_AES = 4, 0x1F
CKA_CLASS, CKA_TOKEN, CKA_LABEL, CKA_VALUE, CKA_KEY_TYPE = 0x0, 0x1, 0x3, 0x11, 0x100
CKA_SENSITIVE, CKA_ENCRYPT, CKA_DECRYPT, CKA_WRAP, CKA_UNWRAP, CKA_SIGN, CKA_VERIFY = (
    0x103, 0x104, 0x105, 0x106, 0x107, 0x108, 0x10A)
CKA_DERIVE, CKA_MODULUS, CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT = 0x10C, 0x120, 0x121, 0x122
CKA_VALUE_LEN, CKA_EXTRACTABLE = 0x161, 0x162
CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_SHA256_RSA_PKCS, CKM_SHA256 = 0x0, 0x40, 0x250
CKM_AES_CBC_PAD = 0x1085
CKM_AES_ECB_ENCRYPT_DATA, CKM_AES_CBC_ENCRYPT_DATA = 0x1104, 0x1105

NUMBERS = {CKA_CLASS, CKA_KEY_TYPE, CKA_MODULUS_BITS, CKA_VALUE_LEN}


class Mechanism(C.Structure):
    _fields_ = [("mechanism", CK_ULONG), ("pParameter", C.c_void_p), ("ulParameterLen", CK_ULONG)]


class Attribute(C.Structure):
    _fields_ = [("type", CK_ULONG), ("pValue", C.c_void_p), ("ulValueLen", CK_ULONG)]


class DerivationString(C.Structure):
    _fields_ = [("pData", C.c_void_p), ("ulLen", CK_ULONG)]


class AesCbcEncryptData(C.Structure):
    _fields_ = [("iv", C.c_ubyte * 16), ("pData", C.c_void_p), ("length", CK_ULONG)]


class CkError(Exception):
    def __init__(self, name, rv):
        super().__init__(f"{name} returned 0x{rv:x}")
        self.rv = rv


def value_buffer(type_, value):
    """The bytes of one attribute value as the library reads them."""
    if isinstance(value, bool):
        return C.create_string_buffer(bytes([value]), 1)
    if type_ in NUMBERS:
        return CK_ULONG(value)
    return C.create_string_buffer(bytes(value), len(value))


def template(pairs):
    """(type, value) pairs as a CK_ATTRIBUTE array; the value buffers live on the array."""
    array = (Attribute * len(pairs))()
    array.keep = [value_buffer(t, v) for t, v in pairs]
    for record, (t, _), buf in zip(array, pairs, array.keep):
        record.type, record.pValue, record.ulValueLen = t, C.addressof(buf), C.sizeof(buf)
    return array


def mechanism(type_, parameter=None):
    m = Mechanism(type_, None, 0)
    if parameter is not None:
        m.keep = parameter
        m.pParameter, m.ulParameterLen = C.addressof(parameter), C.sizeof(parameter)
    return m


class Library:
    def __init__(self, path):
        self.lib = C.CDLL(path)

    def rv(self, name, *args):
        function = getattr(self.lib, name)
        function.restype = CK_ULONG
        return function(*args)

    def __call__(self, name, *args):
        rv = self.rv(name, *args)
        if rv != CKR_OK:
            raise CkError(name, rv)

    def session(self, pin):
        """C_Initialize, a read-write session on slot 0 of this process, logged in."""
        self("C_Initialize", None)
        handle = CK_ULONG()
        self("C_OpenSession", CK_ULONG(0), CK_ULONG(CKF_SERIAL_SESSION | CKF_RW_SESSION), None, None, C.byref(handle))
        # Each process is a client of its own: a process before this one that ended without
        # logging out took its login with it.
        self("C_Login", handle, CK_ULONG(CKU_USER), pin.encode(), CK_ULONG(len(pin)))
        return handle

    def create(self, session, pairs):
        tmpl, handle = template(pairs), CK_ULONG()
        self("C_CreateObject", session, tmpl, CK_ULONG(len(tmpl)), C.byref(handle))
        return handle

    def attribute(self, session, obj, type_):
        """One attribute's bytes by the two-call pattern."""
        record = (Attribute * 1)((type_, None, 0))
        self("C_GetAttributeValue", session, obj, record, CK_ULONG(1))
        buf = C.create_string_buffer(record[0].ulValueLen)
        record[0].pValue = C.addressof(buf)
        self("C_GetAttributeValue", session, obj, record, CK_ULONG(1))
        return buf.raw[:record[0].ulValueLen]
