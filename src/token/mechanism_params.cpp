#include "token/mechanism_params.h"

#include <cstring>

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
    DeviceLayout& pointer(const void* value) { return little(reinterpret_cast<uintptr_t>(value), 8); }
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
    out.ulong(p.hashAlg).ulong(p.mgf).ulong(p.source).pointer(p.pSourceData).ulong(p.ulSourceDataLen);
}
void aesCtr(const CK_MECHANISM& m, DeviceLayout& out) {
    const auto& p = as<CK_AES_CTR_PARAMS>(m);
    out.ulong(p.ulCounterBits).bytes(p.cb, sizeof p.cb);
}
void ecdh1(const CK_MECHANISM& m, DeviceLayout& out) {
    const auto& p = as<CK_ECDH1_DERIVE_PARAMS>(m);
    out.ulong(p.kdf).ulong(p.ulSharedDataLen).pointer(p.pSharedData).ulong(p.ulPublicDataLen).pointer(p.pPublicData);
}
void derivationString(const CK_MECHANISM& m, DeviceLayout& out) {
    const auto& p = as<CK_KEY_DERIVATION_STRING_DATA>(m);
    out.pointer(p.pData).ulong(p.ulLen);
}
template <class Params>
void cbcEncryptData(const CK_MECHANISM& m, DeviceLayout& out) {
    const auto& p = as<Params>(m);
    out.bytes(p.iv, sizeof p.iv).pointer(p.pData).ulong(p.length);
}

// Parameter structures whose host layout depends on CK_ULONG, by mechanism. A block of another
// length than the host structure is not one of them and travels unchanged.
struct Relayout {
    CK_MECHANISM_TYPE type;
    size_t hostSize;
    void (*write)(const CK_MECHANISM&, DeviceLayout&);
};

const Relayout kRelayouts[] = {
    {CKM_RSA_PKCS_PSS, sizeof(CK_RSA_PKCS_PSS_PARAMS), pss},
    {CKM_SHA1_RSA_PKCS_PSS, sizeof(CK_RSA_PKCS_PSS_PARAMS), pss},
    {CKM_SHA224_RSA_PKCS_PSS, sizeof(CK_RSA_PKCS_PSS_PARAMS), pss},
    {CKM_SHA256_RSA_PKCS_PSS, sizeof(CK_RSA_PKCS_PSS_PARAMS), pss},
    {CKM_SHA384_RSA_PKCS_PSS, sizeof(CK_RSA_PKCS_PSS_PARAMS), pss},
    {CKM_SHA512_RSA_PKCS_PSS, sizeof(CK_RSA_PKCS_PSS_PARAMS), pss},
    {CKM_RSA_PKCS_OAEP, sizeof(CK_RSA_PKCS_OAEP_PARAMS), oaep},
    {CKM_AES_CTR, sizeof(CK_AES_CTR_PARAMS), aesCtr},
    {CKM_ECDH1_DERIVE, sizeof(CK_ECDH1_DERIVE_PARAMS), ecdh1},
    {CKM_DES_ECB_ENCRYPT_DATA, sizeof(CK_KEY_DERIVATION_STRING_DATA), derivationString},
    {CKM_DES3_ECB_ENCRYPT_DATA, sizeof(CK_KEY_DERIVATION_STRING_DATA), derivationString},
    {CKM_AES_ECB_ENCRYPT_DATA, sizeof(CK_KEY_DERIVATION_STRING_DATA), derivationString},
    {CKM_DES_CBC_ENCRYPT_DATA, sizeof(CK_DES_CBC_ENCRYPT_DATA_PARAMS), cbcEncryptData<CK_DES_CBC_ENCRYPT_DATA_PARAMS>},
    {CKM_DES3_CBC_ENCRYPT_DATA, sizeof(CK_DES_CBC_ENCRYPT_DATA_PARAMS), cbcEncryptData<CK_DES_CBC_ENCRYPT_DATA_PARAMS>},
    {CKM_AES_CBC_ENCRYPT_DATA, sizeof(CK_AES_CBC_ENCRYPT_DATA_PARAMS), cbcEncryptData<CK_AES_CBC_ENCRYPT_DATA_PARAMS>},
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

// Field 3 = the block in the device layout (empty when there is no block to read), and
// field 2 = its length when asked.
void sendBlock(DeviceCall& call, const CK_MECHANISM& m, ParameterLength length) {
    MechanismBytes& bytes = call.mechanismBytes;
    bytes.block = ByteSpan{};
    if (m.pParameter) {
        if (const Relayout* relayout = relayoutFor(m)) {
            DeviceLayout out(bytes.deviceLayout);
            relayout->write(m, out);
            if (!out.fits()) call.refuse(CKR_MECHANISM_PARAM_INVALID);
            bytes.block = ByteSpan{bytes.deviceLayout, out.size()};
        } else {
            if (!fitsWire(m.ulParameterLen)) call.refuse(CKR_DATA_LEN_RANGE);
            bytes.block = ByteSpan{static_cast<uint8_t*>(m.pParameter), static_cast<uint32_t>(m.ulParameterLen)};
        }
    }
    MechanismMsg& msg = call.request.mechanism;
    setEncode(msg.parameter, encodeBytes, &bytes.block);
    if (length == ParameterLength::Sent) {
        msg.has_parameterLength = true;
        msg.parameterLength = bytes.block.length;
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

CK_RV encodeMechanism(CContext& context, DeviceCall& call, const CK_MECHANISM& mechanism) {
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
