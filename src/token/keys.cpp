// Keys: generation of keys and key pairs, derivation, wrapping and unwrapping.
#include "protocol/function_ids.h"
#include "token/mechanism_params.h"
#include "token/operation.h"
#include "token/operations.h"

using namespace dravenholt;

namespace {

// The port's transport waits `ms` for replies while this lives, then gets its own timeout back.
class TimeoutOverride {
public:
    TimeoutOverride(Transport* transport, uint32_t ms) : transport_(transport) {
        if (!transport_) return;
        saved_ = transport_->getTimeout();
        transport_->setTimeout(ms);
    }
    TimeoutOverride(const TimeoutOverride&) = delete;
    TimeoutOverride& operator=(const TimeoutOverride&) = delete;
    ~TimeoutOverride() {
        try {
            if (transport_) transport_->setTimeout(saved_);
        } catch (...) {
        }
    }

private:
    Transport* transport_;
    uint32_t saved_ = 0;
};

// CKM_RSA_PKCS takes no parameter, whatever the caller passed; a missing block has no length.
// A copy: the caller's mechanism is only read (it may lie in read-only memory).
CK_MECHANISM normalisedUnwrapMechanism(const CK_MECHANISM& given) {
    CK_MECHANISM mechanism = given;
    if (mechanism.mechanism == CKM_RSA_PKCS) {
        mechanism.pParameter = nullptr;
        mechanism.ulParameterLen = 0;
    } else if (!mechanism.pParameter) {
        mechanism.ulParameterLen = 0;
    }
    return mechanism;
}

}  // namespace

CK_RV ops::C_GenerateKey(Context& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_ATTRIBUTE_PTR pTemplate,
                              CK_ULONG ulCount, CK_OBJECT_HANDLE_PTR phKey) {
    Entry entry(context, nullptr);
    entry.check(pMechanism && pTemplate && phKey);
    return entry.session(hSession, fn::GenerateKey, [&](DeviceCall& call) {
        return fillMechanism(call, *pMechanism, ParameterLength::Absent)
            .attributes(pTemplate, ulCount)
            .runForHandle(context, phKey);
    });
}

CK_RV ops::C_GenerateKeyPair(Context& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                  CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                                  CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                                  CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
    Entry entry(context, "C_GenerateKeyPair");
    entry.check(pMechanism && phPublicKey && phPrivateKey && pPublicKeyTemplate && pPrivateKeyTemplate);
    return entry.session(hSession, fn::GenerateKeyPair, [&](DeviceCall& call) {
        fillMechanism(call, *pMechanism, ParameterLength::Absent)
            .attributes(pPublicKeyTemplate, ulPublicKeyAttributeCount)
            .attributes2(pPrivateKeyTemplate, ulPrivateKeyAttributeCount)
            .needs(kNeedsHandle | kNeedsHandle2);
        CK_RV rv;
        {
            TimeoutOverride longer(context.ports().find(call.port), context.settings().keyTimeoutMs);
            rv = call.run(context);
        }
        if (rv == CKR_OK) {
            *phPublicKey = call.response.handle;
            *phPrivateKey = call.response.handle2;
        }
        return rv;
    });
}

CK_RV ops::C_DeriveKey(Context& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                            CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    Entry entry(context, "C_DeriveKey");
    entry.check(pMechanism && hBaseKey != 0).check(pTemplate || ulAttributeCount == 0).check(phKey != nullptr);
    return entry.session(hSession, fn::DeriveKey, [&](DeviceCall& call) {
        encodeMechanism(context, call, *pMechanism);
        return call.attributes(pTemplate, ulAttributeCount)
            .handle(hBaseKey, CKR_KEY_HANDLE_INVALID)
            .runForHandle(context, phKey);
    });
}

CK_RV ops::C_WrapKey(Context& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hWrappingKey,
                          CK_OBJECT_HANDLE hKey, CK_BYTE_PTR pWrappedKey, CK_ULONG_PTR pulWrappedKeyLen) {
    Entry entry(context, nullptr);
    entry.check(pMechanism && pulWrappedKeyLen)
        .check(!pMechanism || pMechanism->pParameter || pMechanism->ulParameterLen == 0);
    return entry.session(hSession, fn::WrapKey, [&](DeviceCall& call) {
        if (context.logs(kDebug)) context.log(kDebug, "Wrap Mechanism: 0x%08lx", pMechanism->mechanism);
        return fillMechanism(call, *pMechanism, ParameterLength::Sent)
            .handle(hKey, CKR_KEY_HANDLE_INVALID)
            .handle2(hWrappingKey, CKR_WRAPPING_KEY_HANDLE_INVALID)
            .callerOutput(pWrappedKey, pulWrappedKeyLen)
            .runOutput(context, pulWrappedKeyLen);
    });
}

CK_RV ops::C_UnwrapKey(Context& context, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hUnwrappingKey,
                            CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                            CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
    Entry entry(context, nullptr);
    entry.check(pMechanism && pWrappedKey, CKR_ARGUMENTS_BAD, "C_UnwrapKey invalid params - null mech or wrapped key");
    entry.check(pTemplate || ulAttributeCount == 0, CKR_ARGUMENTS_BAD,
                "C_UnwrapKey invalid params - null template and non-null ulCount.")
        .check(phKey != nullptr, CKR_ARGUMENTS_BAD, "C_UnwrapKey invalid params - hKey is NULL.");
    return entry.session(hSession, fn::UnwrapKey, [&](DeviceCall& call) {
        if (context.logs(kDebug)) context.log(kDebug, "Unwrap Mechanism: 0x%08lx", pMechanism->mechanism);
        const CK_MECHANISM mechanism = normalisedUnwrapMechanism(*pMechanism);  // outlives the call
        CK_RV rv = fillMechanism(call, mechanism, ParameterLength::Sent)
                       .handle(hUnwrappingKey, CKR_UNWRAPPING_KEY_HANDLE_INVALID)
                       .data(pWrappedKey, ulWrappedKeyLen)
                       .attributes(pTemplate, ulAttributeCount)
                       .runForHandle(context, phKey);
        if (rv != CKR_OK) context.log(kDebug, "C_UnwrapKey rv = 0x%lx", rv);
        return rv;
    });
}
