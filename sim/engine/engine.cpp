#include "engine.h"

#include <cstdio>
#include <new>
#include <variant>

#include "admin_handlers.h"
#include "function_ids.h"

namespace dravenholt::sim {
namespace {

using Handler = std::variant<SlotHandler, SessionHandler>;

struct Route {
    uint32_t function;
    Handler handler;
};

// The handler of each function of the table that the device answers; any other function is
// answered CKR_FUNCTION_NOT_SUPPORTED.
const Route kRoutes[] = {
    {fn::GenerateKey, generateKey},         {fn::EncryptInit, encryptInit},
    {fn::Encrypt, encrypt},                 {fn::DecryptInit, decryptInit},
    {fn::Decrypt, decrypt},                 {fn::EncryptUpdate, encryptUpdate},
    {fn::DecryptUpdate, decryptUpdate},     {fn::EncryptFinal, encryptFinal},
    {fn::DecryptFinal, decryptFinal},       {fn::InitToken, initToken},
    {fn::OpenSession, openSession},         {fn::CloseSession, closeSession},
    {fn::Login, login},                     {fn::CloseAllSessions, closeAllSessions},
    {fn::GenerateKeyPair, generateKeyPair}, {fn::GetAttributeValue, getAttributeValue},
    {fn::GetSessionInfo, getSessionInfo},   {fn::InitPIN, initPin},
    {fn::Logout, logout},                   {fn::SetPIN, setPin},
    {fn::SignInit, signInit},               {fn::Sign, sign},
    {fn::VerifyInit, verifyInit},           {fn::Verify, verify},
    {fn::SignUpdate, signUpdate},           {fn::VerifyUpdate, verifyUpdate},
    {fn::SignFinal, signFinal},             {fn::VerifyFinal, verifyFinal},
    {fn::DigestInit, digestInit},           {fn::DigestUpdate, digestUpdate},
    {fn::DigestFinal, digestFinal},         {fn::FindObjectsInit, findObjectsInit},
    {fn::GetTokenInfo, getTokenInfo},       {fn::CreateObject, createObject},
    {fn::SetAttributeValue, setAttributeValue}, {fn::FindObjects, findObjects},
    {fn::FindObjectsFinal, findObjectsFinal}, {fn::DestroyObject, destroyObject},
    {fn::CopyObject, copyObject},           {fn::GenerateRandom, generateRandom},
    {fn::WrapKey, wrapKey},                 {fn::UnwrapKey, unwrapKey},
    {fn::SetDateTime, setTime},             {fn::DeriveKey, deriveKey},
    {fn::DigestKey, digestKey},             {fn::SeedRandom, seedRandom},
    {fn::GetObjectSize, getObjectSize},
    // Administration.
    {fn::ReadLogEntries, readLog},          {fn::GetTokenConfig, getTokenConfig},
    {fn::SetMaxLoginFailCnt, setMaxLoginFailures}, {fn::SetSessionTimeout, setSessionTimeout},
    {fn::SetPasswordLengths, setPinLengths}, {fn::FactoryReset, factoryReset},
    {fn::BackupStorage, backupStorage},     {fn::RestoreStorage, restoreStorage},
    {fn::SetBitOptions, setBitOptions},     {fn::ImportBitcoinKey, importBitcoinKey},
    {fn::GetBitcoinPub, bitcoinPublicKey},  {fn::SignBitcoinHash, signBitcoinHash},
};

const Route* findRoute(uint32_t function) {
    for (const Route& r : kRoutes)
        if (r.function == function) return &r;
    return nullptr;
}

// A request may carry only the fields its function declares; one that carries another is
// refused whole, before any handler sees it.
Rv checkDeclared(const DeviceFunction& function, const uint8_t* request, size_t length) {
    FieldSet carried = 0;
    if (!fieldsOnWire(request, length, carried)) return CKR_ARGUMENTS_BAD;
    FieldSet undeclared = carried & ~function.request;
    if (!undeclared) return CKR_OK;
    std::fprintf(stderr, "orvo-sim: %s request with field %u, which it does not declare: refused\n", function.name,
                 firstField(undeclared));
    return CKR_ARGUMENTS_BAD;
}

Rv dispatch(Device& device, const wire::Request& req, const uint8_t* request, size_t length, wire::Response& resp) {
    const DeviceFunction* function = deviceFunction(req.function);
    const Route* route = function ? findRoute(function->number) : nullptr;
    if (!route) return CKR_FUNCTION_NOT_SUPPORTED;
    if (Rv rv = checkDeclared(*function, request, length); rv != CKR_OK) return rv;
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
        resp.rv = dispatch(*device_, req, request, length, resp);
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
