#include "token/mechanism_params.h"

#include <cstring>

#include <pb_encode.h>

namespace dravenholt {
namespace {

// Writes the fields of one parameter structure in the device layout (28 bytes at most).
class DeviceLayout {
public:
    explicit DeviceLayout(uint8_t (&out)[sizeof MechanismBytes::deviceLayout]) : out_(out) {}
    DeviceLayout& ulong(CK_ULONG value) {
        if (!fitsWire(value)) fits_ = false;
        return little(value, 4);
    }
    // Where the structure holds a pointer: no host address goes to the device, and the device
    // could not follow one, so the bytes of the pointer are zeros.
    DeviceLayout& noPointer() { return little(0, 8); }
    DeviceLayout& bytes(const void* data, size_t count) {
        std::memcpy(out_ + size_, data, count);
        size_ += count;
        return *this;
    }
    uint32_t size() const { return static_cast<uint32_t>(size_); }
    bool fits() const { return fits_; }

private:
    DeviceLayout& little(uint64_t value, size_t width) {
        for (size_t i = 0; i < width; ++i) out_[size_++] = static_cast<uint8_t>(value >> (8 * i));
        return *this;
    }
    uint8_t* out_;
    size_t size_ = 0;
    bool fits_ = true;
};

template <class Params>
const Params& as(const CK_MECHANISM& m) { return *static_cast<const Params*>(m.pParameter); }

void pss(const CK_MECHANISM& m, DeviceLayout& out) {
    const auto& p = as<CK_RSA_PKCS_PSS_PARAMS>(m);
    out.ulong(p.hashAlg).ulong(p.mgf).ulong(p.sLen);
}
void oaep(const CK_MECHANISM& m, DeviceLayout& out) {
    const auto& p = as<CK_RSA_PKCS_OAEP_PARAMS>(m);
    out.ulong(p.hashAlg).ulong(p.mgf).ulong(p.source).noPointer().ulong(p.ulSourceDataLen);
}
void aesCtr(const CK_MECHANISM& m, DeviceLayout& out) {
    const auto& p = as<CK_AES_CTR_PARAMS>(m);
    out.ulong(p.ulCounterBits).bytes(p.cb, sizeof p.cb);
}
void ecdh1(const CK_MECHANISM& m, DeviceLayout& out) {
    const auto& p = as<CK_ECDH1_DERIVE_PARAMS>(m);
    out.ulong(p.kdf).ulong(p.ulSharedDataLen).noPointer().ulong(p.ulPublicDataLen).noPointer();
}

// The encryption of data under the base key derives a key from data that the parameter
// structure points at: the block on the wire is the data itself, after the IV for the CBC forms.
// Returns the refusal for data that cannot be sent.
CK_RV derivationData(MechanismBytes& bytes, const void* data, CK_ULONG length) {
    if (!data && length != 0) return CKR_MECHANISM_PARAM_INVALID;
    if (!fitsWire(length)) return CKR_DATA_LEN_RANGE;
    bytes.tail = ByteSpan{static_cast<uint8_t*>(const_cast<void*>(data)), static_cast<uint32_t>(length)};
    return CKR_OK;
}
CK_RV ecbEncryptData(const CK_MECHANISM& m, MechanismBytes& bytes, DeviceLayout&) {
    const auto& p = as<CK_KEY_DERIVATION_STRING_DATA>(m);
    return derivationData(bytes, p.pData, p.ulLen);
}
template <class Params>
CK_RV cbcEncryptData(const CK_MECHANISM& m, MechanismBytes& bytes, DeviceLayout& out) {
    const auto& p = as<Params>(m);
    out.bytes(p.iv, sizeof p.iv);
    return derivationData(bytes, p.pData, p.length);
}

// Parameter structures re-laid out for the device, by mechanism: those whose host layout
// depends on CK_ULONG, written field by field (`write`), and those that point at data, whose
// data travels in the block (`withData`, which may put a head into the layout). A block of
// another length than the host structure is not one of them and travels unchanged.
struct Relayout {
    CK_MECHANISM_TYPE type;
    size_t hostSize;
    void (*write)(const CK_MECHANISM&, DeviceLayout&);
    CK_RV (*withData)(const CK_MECHANISM&, MechanismBytes&, DeviceLayout&);
};

const Relayout kRelayouts[] = {
    {CKM_RSA_PKCS_PSS, sizeof(CK_RSA_PKCS_PSS_PARAMS), pss, nullptr},
    {CKM_SHA1_RSA_PKCS_PSS, sizeof(CK_RSA_PKCS_PSS_PARAMS), pss, nullptr},
    {CKM_SHA224_RSA_PKCS_PSS, sizeof(CK_RSA_PKCS_PSS_PARAMS), pss, nullptr},
    {CKM_SHA256_RSA_PKCS_PSS, sizeof(CK_RSA_PKCS_PSS_PARAMS), pss, nullptr},
    {CKM_SHA384_RSA_PKCS_PSS, sizeof(CK_RSA_PKCS_PSS_PARAMS), pss, nullptr},
    {CKM_SHA512_RSA_PKCS_PSS, sizeof(CK_RSA_PKCS_PSS_PARAMS), pss, nullptr},
    {CKM_RSA_PKCS_OAEP, sizeof(CK_RSA_PKCS_OAEP_PARAMS), oaep, nullptr},
    {CKM_AES_CTR, sizeof(CK_AES_CTR_PARAMS), aesCtr, nullptr},
    {CKM_ECDH1_DERIVE, sizeof(CK_ECDH1_DERIVE_PARAMS), ecdh1, nullptr},
    {CKM_DES_ECB_ENCRYPT_DATA, sizeof(CK_KEY_DERIVATION_STRING_DATA), nullptr, ecbEncryptData},
    {CKM_DES3_ECB_ENCRYPT_DATA, sizeof(CK_KEY_DERIVATION_STRING_DATA), nullptr, ecbEncryptData},
    {CKM_AES_ECB_ENCRYPT_DATA, sizeof(CK_KEY_DERIVATION_STRING_DATA), nullptr, ecbEncryptData},
    {CKM_DES_CBC_ENCRYPT_DATA, sizeof(CK_DES_CBC_ENCRYPT_DATA_PARAMS), nullptr,
     cbcEncryptData<CK_DES_CBC_ENCRYPT_DATA_PARAMS>},
    {CKM_DES3_CBC_ENCRYPT_DATA, sizeof(CK_DES_CBC_ENCRYPT_DATA_PARAMS), nullptr,
     cbcEncryptData<CK_DES_CBC_ENCRYPT_DATA_PARAMS>},
    {CKM_AES_CBC_ENCRYPT_DATA, sizeof(CK_AES_CBC_ENCRYPT_DATA_PARAMS), nullptr,
     cbcEncryptData<CK_AES_CBC_ENCRYPT_DATA_PARAMS>},
};

const Relayout* relayoutFor(const CK_MECHANISM& m) {
    for (const Relayout& r : kRelayouts)
        if (r.type == m.mechanism && r.hostSize == m.ulParameterLen) return &r;
    return nullptr;
}

// Field 3 present and cleared, field 1 = the type.
MechanismMsg& begin(DeviceCall& call, const CK_MECHANISM& m) {
    if (!fitsWire(m.mechanism)) call.refuse(CKR_MECHANISM_INVALID);
    call.request.has_mechanism = true;
    call.request.mechanism = MechanismMsg_init_zero;
    call.request.mechanism.mechanism = static_cast<uint32_t>(m.mechanism);
    return call.request.mechanism;
}

// Field 3 of MechanismMsg: the block, then its tail, as one byte string.
bool encodeBlock(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* bytes = static_cast<const MechanismBytes*>(*arg);
    if (!bytes) return false;
    const ByteSpan& head = bytes->block;
    const ByteSpan& tail = bytes->tail;
    return pb_encode_tag_for_field(stream, field) && pb_encode_varint(stream, uint64_t{head.length} + tail.length) &&
           pb_write(stream, head.data, head.length) && pb_write(stream, tail.data, tail.length);
}

// Field 3 = the block in the device layout (empty when there is no block to read), and
// field 2 = its length when asked.
void sendBlock(DeviceCall& call, const CK_MECHANISM& m, ParameterLength length) {
    MechanismBytes& bytes = call.mechanismBytes;
    bytes.block = bytes.tail = ByteSpan{};
    if (m.pParameter) {
        if (const Relayout* relayout = relayoutFor(m)) {
            DeviceLayout out(bytes.deviceLayout);
            if (relayout->write) relayout->write(m, out);
            if (relayout->withData)
                if (CK_RV rv = relayout->withData(m, bytes, out); rv != CKR_OK) call.refuse(rv);
            if (!out.fits()) call.refuse(CKR_MECHANISM_PARAM_INVALID);
            bytes.block = ByteSpan{bytes.deviceLayout, out.size()};
        } else {
            if (!fitsWire(m.ulParameterLen)) call.refuse(CKR_DATA_LEN_RANGE);
            bytes.block = ByteSpan{static_cast<uint8_t*>(m.pParameter), static_cast<uint32_t>(m.ulParameterLen)};
        }
    }
    uint64_t total = uint64_t{bytes.block.length} + bytes.tail.length;
    if (total > 0xFFFFFFFFu) call.refuse(CKR_DATA_LEN_RANGE);
    MechanismMsg& msg = call.request.mechanism;
    setEncode(msg.parameter, encodeBlock, &bytes);
    if (length == ParameterLength::Sent) {
        msg.has_parameterLength = true;
        msg.parameterLength = static_cast<uint32_t>(total);
    }
}

// An optional byte string of a parameter structure, kept in the call's span `slot`: a set
// pointer needs a length.
CK_RV innerBytes(DeviceCall& call, pb_callback_t& field, const void* data, CK_ULONG length, size_t slot = 0) {
    if (!data) return CKR_OK;
    if (length == 0) return CKR_ARGUMENTS_BAD;
    if (!fitsWire(length)) return CKR_DATA_LEN_RANGE;
    ByteSpan& span = call.mechanismBytes.inner[slot];
    span = ByteSpan{static_cast<uint8_t*>(const_cast<void*>(data)), static_cast<uint32_t>(length)};
    setEncode(field, encodeBytes, &span);
    return CKR_OK;
}

CK_RV takeApartOaep(DeviceCall& call, const CK_RSA_PKCS_OAEP_PARAMS& p) {
    if (!p.pSourceData && p.ulSourceDataLen != 0) return CKR_ARGUMENTS_BAD;
    if (!fitsWire(p.hashAlg) || !fitsWire(p.mgf) || !fitsWire(p.source)) return CKR_MECHANISM_PARAM_INVALID;
    MechanismMsg& msg = call.request.mechanism;
    msg.has_oaepParams = true;
    RsaOaepParamsMsg& oaep = msg.oaepParams;
    oaep.hashAlg = static_cast<uint32_t>(p.hashAlg);
    oaep.mgf = static_cast<uint32_t>(p.mgf);
    oaep.has_source = true;
    oaep.source = static_cast<uint32_t>(p.source);
    if (CK_RV rv = innerBytes(call, oaep.sourceData, p.pSourceData, p.ulSourceDataLen); rv != CKR_OK) return rv;
    oaep.has_sourceDataLength = p.pSourceData != nullptr;
    oaep.sourceDataLength = static_cast<uint32_t>(p.ulSourceDataLen);
    return CKR_OK;
}

CK_RV takeApartEcdh1(DeviceCall& call, const CK_ECDH1_DERIVE_PARAMS& p) {
    if (!fitsWire(p.kdf)) return CKR_MECHANISM_PARAM_INVALID;
    MechanismMsg& msg = call.request.mechanism;
    msg.has_ecdhParams = true;
    msg.ecdhParams.kdf = static_cast<uint32_t>(p.kdf);
    if (CK_RV rv = innerBytes(call, msg.ecdhParams.sharedData, p.pSharedData, p.ulSharedDataLen, 1); rv != CKR_OK)
        return rv;
    return innerBytes(call, msg.ecdhParams.publicData, p.pPublicData, p.ulPublicDataLen);
}

// OAEP and ECDH1: a block of the structure's size taken apart; without a block, an empty one.
template <class Params>
CK_RV takeApart(DeviceCall& call, const CK_MECHANISM& m, CK_RV (*fill)(DeviceCall&, const Params&)) {
    if (m.ulParameterLen != sizeof(Params)) return CKR_ARGUMENTS_BAD;
    if (!m.pParameter) {
        sendBlock(call, m, ParameterLength::Sent);
        return CKR_OK;
    }
    return fill(call, as<Params>(m));
}

}  // namespace

CK_RV encodeMechanism(Context& context, DeviceCall& call, const CK_MECHANISM& mechanism) {
    begin(call, mechanism);
    if (context.logs(kTrace)) context.log(kTrace, "Mechanism: 0x%08lx", mechanism.mechanism);
    CK_RV rv = CKR_OK;
    switch (mechanism.mechanism) {
        case CKM_RSA_PKCS_OAEP: rv = takeApart(call, mechanism, takeApartOaep); break;
        case CKM_ECDH1_DERIVE: rv = takeApart(call, mechanism, takeApartEcdh1); break;
        default: sendBlock(call, mechanism, ParameterLength::Sent); break;
    }
    if (rv != CKR_OK) call.refuse(rv);
    return call.refusal();
}

DeviceCall& fillMechanism(DeviceCall& call, const CK_MECHANISM& mechanism, ParameterLength length) {
    begin(call, mechanism);
    sendBlock(call, mechanism, length);
    return call;
}

}  // namespace dravenholt
