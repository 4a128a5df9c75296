// Token configuration: the configuration record and the policy settings. The values mean what
// the device makes of them; the library passes them through.
#include "admin/admin_call.h"
#include "protocol/function_ids.h"

using namespace dravenholt;
using namespace dravenholt::admin;

namespace {

constexpr uint8_t kRecordVersion = 1;
constexpr uint8_t kRecordSize = 8;

void fillRecord(const TokenConfigMsg& config, uint8_t* record) {
    auto value = [](bool present, uint32_t v) { return present ? v : 0u; };
    record[2] = static_cast<uint8_t>(value(config.has_value1, config.value1));
    record[3] = static_cast<uint8_t>(value(config.has_value2, config.value2));
    record[4] = static_cast<uint8_t>(value(config.has_value3, config.value3));
    uint32_t options = value(config.has_value4, config.value4);
    record[6] = static_cast<uint8_t>(options);
    record[7] = static_cast<uint8_t>(options >> 8);
}

CK_RV getConfig(Context& context, uint32_t slot, uint8_t* record) {
    Entry entry(context, "u32GetTokenConfig");
    entry.check(record && record[0] == kRecordVersion && record[1] == kRecordSize);
    return entry.slot(slot, [&](int32_t port) {
        DeviceCall call(fn::GetTokenConfig, port);
        CK_RV rv = call.run(context);
        if (call.response.has_config) fillRecord(call.response.config, record);
        return rv;
    }, false);
}

}  // namespace

ORVO_EXPORT uint32_t u32GetTokenConfig(uint32_t slot, uint8_t* record) {
    return exported([&] { return getConfig(getContext(), slot, record); });
}

ORVO_EXPORT uint32_t u32SetMaxLoginFailCnt(uint32_t slot, uint32_t selector, uint8_t count) {
    return slotCall(slot, fn::SetMaxLoginFailCnt, [&](DeviceCall& call) { call.handle(count, CKR_ARGUMENTS_BAD).value(selector); });
}

ORVO_EXPORT uint32_t u32SetSessionTimeout(uint32_t slot, uint8_t timeout) {
    return slotCall(slot, fn::SetSessionTimeout, [&](DeviceCall& call) { call.handle(timeout, CKR_ARGUMENTS_BAD); });
}

ORVO_EXPORT uint32_t u32SetPasswordLengths(uint32_t slot, uint8_t first, uint8_t second) {
    return slotCall(slot, fn::SetPasswordLengths, [&](DeviceCall& call) {
        call.handle(first, CKR_ARGUMENTS_BAD).handle2(second, CKR_ARGUMENTS_BAD);
    });
}

ORVO_EXPORT uint32_t u32SetBitOptions(uint32_t slot, uint16_t options) {
    return slotCall(slot, fn::SetBitOptions, [&](DeviceCall& call) {
        call.request.has_config = true;
        call.request.config.has_value4 = true;
        call.request.config.value4 = options;
    });
}
