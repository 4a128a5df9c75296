#include "engine.h"

#include <new>
#include <variant>

#include "admin_handlers.h"

namespace dravenholt::sim {
namespace {

using Handler = std::variant<SlotHandler, SessionHandler>;

struct Route {
    uint32_t function;
    Handler handler;
};

// Function identifiers of the device protocol; those no operation sends are answered
// CKR_FUNCTION_NOT_SUPPORTED.
const Route kRoutes[] = {
    {1, generateKey},       {2, encryptInit},      {3, encrypt},          {4, decryptInit},
    {5, decrypt},           {6, encryptUpdate},    {7, decryptUpdate},    {8, encryptFinal},
    {9, decryptFinal},      {10, initToken},       {11, openSession},     {12, closeSession},
    {13, login},            {14, closeAllSessions}, {15, generateKeyPair}, {16, getAttributeValue},
    {17, getSessionInfo},   {18, initPin},         {19, logout},          {20, setPin},
    {21, signInit},         {22, sign},            {23, verifyInit},      {24, verify},
    {25, signUpdate},       {26, verifyUpdate},    {27, signFinal},       {28, verifyFinal},
    {29, digestInit},       {31, digestUpdate},    {32, digestFinal},     {33, findObjectsInit},
    {34, getTokenInfo},     {35, createObject},    {36, setAttributeValue}, {37, findObjects},
    {38, findObjectsFinal}, {39, destroyObject},   {40, copyObject},      {42, generateRandom},
    {43, wrapKey},          {44, unwrapKey},       {46, setTime},         {49, deriveKey},
    {50, digestKey},        {51, seedRandom},      {52, getObjectSize},
    // Administration.
    {45, readLog},          {53, getTokenConfig},  {54, setMaxLoginFailures}, {55, setSessionTimeout},
    {56, setPinLengths},    {57, factoryReset},    {59, backupStorage},   {60, restoreStorage},
    {61, setBitOptions},    {62, importBitcoinKey}, {63, bitcoinPublicKey}, {64, signBitcoinHash},
};

const Route* findRoute(uint32_t function) {
    for (const Route& r : kRoutes)
        if (r.function == function) return &r;
    return nullptr;
}

Rv dispatch(Device& device, const wire::Request& req, wire::Response& resp) {
    const Route* route = findRoute(req.function);
    if (!route) return CKR_FUNCTION_NOT_SUPPORTED;
    if (auto* slot = std::get_if<SlotHandler>(&route->handler)) return (*slot)(device, req, resp);
    if (!req.session) return CKR_SESSION_HANDLE_INVALID;
    auto it = device.sessions.find(*req.session);
    if (it == device.sessions.end() || it->second.client != device.caller) return CKR_SESSION_HANDLE_INVALID;
    sessionUsed(device, it->first);
    return std::get<SessionHandler>(route->handler)(device, it->second, req, resp);
}

std::vector<uint8_t> bare(Rv rv) {
    wire::Response resp;
    resp.rv = rv;
    std::vector<uint8_t> out;
    wire::encodeResponse(resp, out, kMaxMessage);
    return out;
}

}  // namespace

Engine::Engine(EngineOptions options) {
    try {
        std::optional<StateFile> file;
        if (!options.stateFile.empty()) file.emplace(options.stateFile);
        device_ = std::make_unique<Device>(options.serialNumber, std::move(file));
        device_->admin.clock = std::move(options.clock);
    } catch (const std::exception& e) {
        throw EngineError(e.what());
    }
}

Engine::~Engine() = default;

Engine::ClientId Engine::connect() {
    std::lock_guard lock(mutex_);
    while (nextClient_ == kDefaultClient || clients_.count(nextClient_)) ++nextClient_;
    clients_.insert(nextClient_);
    return nextClient_++;
}

void Engine::disconnect(ClientId client) noexcept {
    std::lock_guard lock(mutex_);
    endSessions(*device_, client);
    if (client != kDefaultClient) clients_.erase(client);
}

std::vector<uint8_t> Engine::process(ClientId client, const uint8_t* request, size_t length) noexcept {
    try {
        std::lock_guard lock(mutex_);
        if (!clients_.count(client)) return bare(CKR_DEVICE_REMOVED);
        if (!request || length == 0) return bare(CKR_ARGUMENTS_BAD);
        if (length > kMaxMessage) return bare(CKR_DATA_LEN_RANGE);
        wire::Request req;
        if (!wire::decodeRequest(request, length, req)) return bare(CKR_ARGUMENTS_BAD);
        wire::Response resp;
        device_->caller = client;
        beforeRequest(*device_);
        resp.rv = dispatch(*device_, req, resp);
        afterRequest(*device_, req, resp, resp.rv);
        std::vector<uint8_t> out;
        if (!wire::encodeResponse(resp, out, kMaxMessage)) return bare(CKR_DEVICE_MEMORY);
        return out;
    } catch (const std::bad_alloc&) {
        return bare(CKR_DEVICE_MEMORY);
    } catch (...) {
        return bare(CKR_GENERAL_ERROR);
    }
}

}  // namespace dravenholt::sim
