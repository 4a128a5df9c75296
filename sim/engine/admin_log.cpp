// The device log and the steps around every request: idle sessions end, security-relevant
// outcomes are recorded.
#include <chrono>
#include <cstdio>

#include "admin_handlers.h"
#include "function_ids.h"

namespace dravenholt::sim {
namespace {

struct Event {
    uint32_t function;
    const char* text;
};

// Outcomes worth a line, by function identifier; logins name their user type.
const Event kEvents[] = {
    {fn::InitToken, "token initialised"},
    {fn::InitPIN, "user PIN set"},
    {fn::SetPIN, "PIN changed"},
    {fn::SetMaxLoginFailCnt, "login failure limit changed"},
    {fn::SetSessionTimeout, "session timeout changed"},
    {fn::SetPasswordLengths, "PIN length limits changed"},
    {fn::FactoryReset, "factory reset"},
    {fn::BackupStorage, "storage image backed up"},
    {fn::RestoreStorage, "storage image restored"},
    {fn::SetBitOptions, "bit options changed"},
    {fn::ImportBitcoinKey, "Bitcoin key imported"},
    {fn::SignBitcoinHash, "Bitcoin hash signed"},
};

std::string loginText(const Request& req) {
    switch (req.value.value_or(kUnavailable)) {
    case CKU_SO: return "SO login";
    case CKU_USER: return "user login";
    case CKU_CONTEXT_SPECIFIC: return "context-specific login";
    default: return "login";
    }
}

const char* eventText(uint32_t function) {
    for (const Event& e : kEvents)
        if (e.function == function) return e.text;
    return nullptr;
}

// "YYYYMMDDhhmmss00" as "YYYY-MM-DD hh:mm:ss".
std::string readableTime(const std::string& utc) {
    if (utc.size() < 14) return utc;
    return utc.substr(0, 4) + "-" + utc.substr(4, 2) + "-" + utc.substr(6, 2) + " " + utc.substr(8, 2) + ":" +
           utc.substr(10, 2) + ":" + utc.substr(12, 2);
}

}  // namespace

void DeviceLog::append(const std::string& when, const std::string& event) {
    std::string line = std::to_string(++sequence_) + " " + when + " " + event;
    if (line.size() >= kMaxOutput) line.resize(kMaxOutput - 1);
    line += '\n';
    size_ += line.size();
    lines_.push_back(std::move(line));
    while (size_ > kMaxOutput) {
        size_ -= lines_.front().size();
        lines_.pop_front();
    }
}

Bytes DeviceLog::contents() const {
    Bytes out;
    out.reserve(size_);
    for (const std::string& line : lines_) out.insert(out.end(), line.begin(), line.end());
    return out;
}

int64_t AdminState::now() const {
    if (clock) return clock();
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void logEvent(Device& d, const std::string& event) { d.admin.log.append(readableTime(d.token.utcTime()), event); }

void beforeRequest(Device& d) {
    const int64_t now = d.admin.now();
    auto& lastUse = d.admin.lastUse;
    std::erase_if(lastUse, [&](const auto& entry) { return d.sessions.count(entry.first) == 0; });
    const int64_t limit = int64_t(d.token.record.config.sessionTimeout) * 60;
    std::vector<uint32_t> idle;
    for (const auto& [handle, session] : d.sessions) {
        auto [it, fresh] = lastUse.try_emplace(handle, now);
        if (!fresh && limit > 0 && now - it->second >= limit) idle.push_back(handle);
    }
    for (uint32_t handle : idle) {
        endSession(d, handle);
        lastUse.erase(handle);
        logEvent(d, "session " + std::to_string(handle) + " closed after the idle timeout");
    }
}

void sessionUsed(Device& d, uint32_t session) { d.admin.lastUse[session] = d.admin.now(); }

void afterRequest(Device& d, const Request& req, const Response& resp, Rv rv) {
    if (req.function == fn::OpenSession && resp.handle) sessionUsed(d, *resp.handle);
    if (rv == CKR_OPERATION_ACTIVE) return;  // a transfer in the middle
    const char* text = eventText(req.function);
    std::string event = req.function == fn::Login ? loginText(req) : text ? text : "";
    if (event.empty()) return;
    if (rv != CKR_OK) {
        char code[32];
        std::snprintf(code, sizeof code, " refused (0x%08X)", rv);
        event += code;
    }
    logEvent(d, event);
}

Rv readLog(Device& d, const Request& req, Response& resp) {
    Rv rv = CKR_OK;
    deliver(req, resp, d.admin.log.contents(), rv);
    return rv;
}

}  // namespace dravenholt::sim
