// config show and config set.
#include "orvo-admin/commands.h"
#include "orvo-admin/token.h"
#include "orvo/admin.h"

namespace orvoadmin {
namespace {

struct Setting {
    const char* key;
    const char* values;  // for the usage text
    size_t count;        // how many values it takes
    uint32_t max;        // the largest value
    uint32_t (*apply)(uint32_t slot, const std::vector<uint32_t>& values);
};

// The token keeps one login failure limit for both PINs: selector 0.
const Setting kSettings[] = {
    {"max-login-failures", "COUNT", 1, 255,
     [](uint32_t slot, const std::vector<uint32_t>& v) { return u32SetMaxLoginFailCnt(slot, 0, uint8_t(v[0])); }},
    {"session-timeout", "MINUTES", 1, 255,
     [](uint32_t slot, const std::vector<uint32_t>& v) { return u32SetSessionTimeout(slot, uint8_t(v[0])); }},
    {"pin-lengths", "MIN MAX", 2, 255,
     [](uint32_t slot, const std::vector<uint32_t>& v) {
         return u32SetPasswordLengths(slot, uint8_t(v[0]), uint8_t(v[1]));
     }},
    {"bit-options", "VALUE", 1, 0xFFFF,
     [](uint32_t slot, const std::vector<uint32_t>& v) { return u32SetBitOptions(slot, uint16_t(v[0])); }},
};

std::string settingList() {
    std::string list;
    for (const Setting& s : kSettings) list += std::string(list.empty() ? "" : ", ") + s.key + " " + s.values;
    return list;
}

}  // namespace

int configShowCommand(Invocation& inv) {
    Library library;
    Token token(inv);
    uint8_t record[8] = {1, 8};
    check(u32GetTokenConfig(inv.slot, record), "cannot read the configuration");
    CK_TOKEN_INFO info = token.info();
    const unsigned timeout = record[3], options = record[6] | record[7] << 8;
    char optionsText[8];
    std::snprintf(optionsText, sizeof optionsText, "0x%04X", options);
    nlohmann::json result = {{"slot", inv.slot},
                             {"maxLoginFailures", record[2]},
                             {"sessionTimeoutMinutes", timeout},
                             {"minPinLength", info.ulMinPinLen},
                             {"maxPinLength", info.ulMaxPinLen},
                             {"bitOptions", options}};
    std::string text = "slot " + std::to_string(inv.slot) + "\n" +
                       "  login failure limit  " + std::to_string(record[2]) + "\n" +
                       "  session timeout      " + (timeout ? std::to_string(timeout) + " minutes" : "none") + "\n" +
                       "  PIN length           " + std::to_string(info.ulMinPinLen) + " to " +
                       std::to_string(info.ulMaxPinLen) + "\n" +
                       "  bit options          " + optionsText;
    emit(inv, result, text);
    return kSuccess;
}

int configSetCommand(Invocation& inv) {
    const Setting* setting = nullptr;
    for (const Setting& s : kSettings)
        if (inv.words.at(0) == s.key) setting = &s;
    if (!setting) throw Failure("config set takes one of: " + settingList(), kUsage);
    if (inv.words.size() != 1 + setting->count)
        throw Failure(std::string("usage: config set ") + setting->key + " " + setting->values, kUsage);
    std::vector<uint32_t> values;
    for (size_t i = 0; i < setting->count; ++i)
        values.push_back(parseNumber(inv.words[1 + i], setting->max, setting->key));
    Library library;
    Token token(inv);
    Session officer(inv, token, Session::User::Officer, true);
    check(setting->apply(inv.slot, values), std::string("the token refused ") + setting->key);
    nlohmann::json result = {{"slot", inv.slot}, {"setting", setting->key}, {"values", values}};
    std::string text = std::string(setting->key) + " set";
    emit(inv, result, text);
    return kSuccess;
}

}  // namespace orvoadmin
