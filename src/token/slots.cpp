// Slots, tokens and mechanisms.
#include <cstring>

#include "protocol/function_ids.h"
#include "token/mechanism_catalogue.h"
#include "token/operation.h"
#include "token/operations.h"
#include "transport/hid_pair.h"

using namespace dravenholt;

namespace {

// Writes `count` into *pulCount and the list when the caller's buffer holds it.
template <class Fill>
CK_RV answerList(CK_ULONG count, bool withList, CK_ULONG_PTR pulCount, Fill&& fill) {
    CK_ULONG capacity = *pulCount;
    *pulCount = count;
    if (!withList) return CKR_OK;
    if (capacity < count) return CKR_BUFFER_TOO_SMALL;
    fill();
    return CKR_OK;
}

bool isTarnix(Transport* transport) {
    return transport && transport->kind() == TransportKind::Hid &&
           hidProductName(*transport) == "Tarnix";
}

const char* slotDescription(Transport& transport) {
    if (transport.kind() != TransportKind::Hid) return "Orvo";
    std::string product = hidProductName(transport);
    if (product == "Orvo") return "Orvo USB";
    if (product == "Tarnix") return "Tarnix USB";
    return "Unknown";
}

// Whether the slot's device takes a connection: its transport is opened when it is closed.
bool connects(Context& context, int32_t port) {
    try {
        return context.withTransport(port, [](Transport& transport) {
            if (!transport.isOpen()) transport.open();
            return true;
        });
    } catch (const std::exception& e) {
        context.logMessage(kError, e.what());
        return false;
    }
}

// Text fields of the standard's structures are blank-padded to their whole width.
template <size_t N>
void copyField(CK_UTF8CHAR (&dest)[N], const void* src, size_t size) {
    std::memset(dest, ' ', N);
    std::memcpy(dest, src, size < N ? size : N);
}

void copyTokenInfo(const TokenInfoMsg& m, CK_TOKEN_INFO& info) {
    copyField(info.label, m.label.bytes, m.label.size);
    copyField(info.manufacturerID, m.manufacturerId.bytes, m.manufacturerId.size);
    copyField(info.model, m.model.bytes, m.model.size);
    copyField(info.serialNumber, m.serialNumber.bytes, m.serialNumber.size);
    info.flags = m.flags;
    info.ulMaxSessionCount = hostULong(m.maxSessionCount);
    info.ulSessionCount = hostULong(m.sessionCount);
    info.ulMaxRwSessionCount = hostULong(m.maxRwSessionCount);
    info.ulRwSessionCount = hostULong(m.rwSessionCount);
    info.ulMaxPinLen = m.maxPinLen;
    info.ulMinPinLen = m.minPinLen;
    info.ulTotalPublicMemory = hostULong(m.totalPublicMemory);
    info.ulFreePublicMemory = hostULong(m.freePublicMemory);
    info.ulTotalPrivateMemory = hostULong(m.totalPrivateMemory);
    info.ulFreePrivateMemory = hostULong(m.freePrivateMemory);
    info.hardwareVersion = {static_cast<CK_BYTE>(m.hardwareVersionMajor), static_cast<CK_BYTE>(m.hardwareVersionMinor)};
    info.firmwareVersion = {static_cast<CK_BYTE>(m.firmwareVersionMajor), static_cast<CK_BYTE>(m.firmwareVersionMinor)};
    copyField(info.utcTime, m.utcTime.bytes, m.utcTime.size);
}

}  // namespace

CK_RV ops::C_GetSlotList(Context& context, CK_BBOOL, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    Entry entry(context, "C_GetSlotList");
    return entry.check(pulCount != nullptr).locked([&] {
        return answerList(context.ports().size(), pSlotList != nullptr, pulCount, [&] {
            for (CK_ULONG i = 0; i < context.ports().size(); ++i) pSlotList[i] = i;
        });
    });
}

CK_RV ops::C_GetSlotInfo(Context& context, CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    Entry entry(context, "C_GetSlotInfo");
    return entry.check(pInfo != nullptr).slot(slotID, [&](int32_t index) -> CK_RV {
        // Every field is written, also when the device cannot be reached (then without a token).
        pInfo->flags = connects(context, index) ? CKF_TOKEN_PRESENT : 0;
        copyField(pInfo->manufacturerID, "USB", 3);
        pInfo->hardwareVersion = {2, 0};
        pInfo->firmwareVersion = {0, 0};
        const char* description = slotDescription(*context.ports().find(index));
        copyField(pInfo->slotDescription, description, std::strlen(description));
        return CKR_OK;
    });
}

CK_RV ops::C_GetTokenInfo(Context& context, CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    Entry entry(context, "C_GetTokenInfo");
    if (entry.check(pInfo != nullptr).rv() != CKR_OK) return entry.rv();
    pInfo->flags = 0;
    return entry.slot(slotID, [&](int32_t index) -> CK_RV {
        if (!connects(context, index)) return CKR_TOKEN_NOT_PRESENT;
        DeviceCall call(fn::GetTokenInfo, index);
        CK_RV rv = call.needs(kNeedsTokenInfo).run(context);
        if (rv == CKR_OK) copyTokenInfo(call.response.tokenInfo, *pInfo);
        return rv;
    });
}

CK_RV ops::C_GetMechanismList(Context& context, CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
    Entry entry(context, "C_GetMechanismList");
    return entry.slot(slotID, [&](int32_t) -> CK_RV {
        if (!pulCount) return CKR_ARGUMENTS_BAD;
        return answerList(kMechanismListSize, pMechanismList != nullptr, pulCount, [&] {
            std::memcpy(pMechanismList, kMechanismList, sizeof(CK_MECHANISM_TYPE) * kMechanismListSize);
        });
    });
}

CK_RV ops::C_GetMechanismInfo(Context& context, CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    Entry entry(context, "C_GetMechanismInfo");
    return entry.check(pInfo != nullptr).slot(slotID, [&](int32_t index) -> CK_RV {
        const MechanismEntry* mechanism = findMechanism(type);
        if (!mechanism) {
            context.log(kWarn, "Mechanism not supported: 0x%08lx", static_cast<unsigned long>(type));
            return CKR_MECHANISM_INVALID;
        }
        pInfo->ulMinKeySize = mechanism->minKeySize;
        pInfo->ulMaxKeySize = mechanism->maxKeySize;
        pInfo->flags = mechanism->flags;
        if (type == CKM_RSA_PKCS_KEY_PAIR_GEN && isTarnix(context.ports().find(index))) pInfo->ulMaxKeySize = 2048;
        return CKR_OK;
    });
}

CK_RV ops::C_InitToken(Context& context, CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen, CK_UTF8CHAR_PTR pLabel) {
    Entry entry(context, "C_InitToken");
    return entry.slot(slotID, [&](int32_t index) -> CK_RV {
        if (!pPin || !pLabel || ulPinLen == 0 || !connects(context, index)) return CKR_ARGUMENTS_BAD;
        DeviceCall call(fn::InitToken, index);
        call.data(pPin, ulPinLen).data2(pLabel, 32);
        return call.run(context);
    });
}
