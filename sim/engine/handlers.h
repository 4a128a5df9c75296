// Request handlers, one group per area. Slot handlers address the device as a whole; session
// handlers get the session named in request field 2, already looked up.
#pragma once

#include "codec/codec.h"
#include "device.h"

namespace dravenholt::sim {

using wire::Request;
using wire::Response;

using SlotHandler = Rv (*)(Device&, const Request&, Response&);
using SessionHandler = Rv (*)(Device&, Session&, const Request&, Response&);

// Token and PINs.
Rv getTokenInfo(Device&, const Request&, Response&);
Rv initToken(Device&, const Request&, Response&);
Rv setTime(Device&, const Request&, Response&);
Rv initPin(Device&, Session&, const Request&, Response&);
Rv setPin(Device&, Session&, const Request&, Response&);

// Sessions and login. endSession drops a session with its objects (and its client's login with
// that client's last session); endSessions does so for every session of one client, or of all.
void endSession(Device&, uint32_t handle);
void endSessions(Device&, std::optional<uint32_t> client);
Rv openSession(Device&, const Request&, Response&);
Rv closeAllSessions(Device&, const Request&, Response&);
Rv closeSession(Device&, Session&, const Request&, Response&);
Rv getSessionInfo(Device&, Session&, const Request&, Response&);
Rv login(Device&, Session&, const Request&, Response&);
Rv logout(Device&, Session&, const Request&, Response&);

// Objects and search.
Rv createObject(Device&, Session&, const Request&, Response&);
Rv copyObject(Device&, Session&, const Request&, Response&);
Rv destroyObject(Device&, Session&, const Request&, Response&);
Rv getObjectSize(Device&, Session&, const Request&, Response&);
Rv getAttributeValue(Device&, Session&, const Request&, Response&);
Rv setAttributeValue(Device&, Session&, const Request&, Response&);
Rv findObjectsInit(Device&, Session&, const Request&, Response&);
Rv findObjects(Device&, Session&, const Request&, Response&);
Rv findObjectsFinal(Device&, Session&, const Request&, Response&);

// Encryption and decryption.
Rv encryptInit(Device&, Session&, const Request&, Response&);
Rv decryptInit(Device&, Session&, const Request&, Response&);
Rv encrypt(Device&, Session&, const Request&, Response&);
Rv decrypt(Device&, Session&, const Request&, Response&);
Rv encryptUpdate(Device&, Session&, const Request&, Response&);
Rv decryptUpdate(Device&, Session&, const Request&, Response&);
Rv encryptFinal(Device&, Session&, const Request&, Response&);
Rv decryptFinal(Device&, Session&, const Request&, Response&);

// Signing and verification.
Rv signInit(Device&, Session&, const Request&, Response&);
Rv verifyInit(Device&, Session&, const Request&, Response&);
Rv sign(Device&, Session&, const Request&, Response&);
Rv signUpdate(Device&, Session&, const Request&, Response&);
Rv signFinal(Device&, Session&, const Request&, Response&);
Rv verify(Device&, Session&, const Request&, Response&);
Rv verifyUpdate(Device&, Session&, const Request&, Response&);
Rv verifyFinal(Device&, Session&, const Request&, Response&);

// Digesting.
Rv digestInit(Device&, Session&, const Request&, Response&);
Rv digestUpdate(Device&, Session&, const Request&, Response&);
Rv digestKey(Device&, Session&, const Request&, Response&);
Rv digestFinal(Device&, Session&, const Request&, Response&);

// Keys and random numbers.
Rv generateKey(Device&, Session&, const Request&, Response&);
Rv generateKeyPair(Device&, Session&, const Request&, Response&);
Rv wrapKey(Device&, Session&, const Request&, Response&);
Rv unwrapKey(Device&, Session&, const Request&, Response&);
Rv deriveKey(Device&, Session&, const Request&, Response&);
Rv generateRandom(Device&, Session&, const Request&, Response&);
Rv seedRandom(Device&, Session&, const Request&, Response&);

// Answers a call that produces output under the standard's length conventions: a length
// query (request field 7) or a buffer too small for `out` (request field 11) reports the
// length and returns false, so that the caller keeps its operation; otherwise the output is
// placed in the response and true is returned.
bool deliver(const Request& req, Response& resp, Bytes out, Rv& rv);

}  // namespace dravenholt::sim
