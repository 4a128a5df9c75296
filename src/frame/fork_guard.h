// What fork() does to the library. The child gets a copy of the parent's transports, but the
// connections behind them (a HID handle, a TLS session) stay the parent's: a child that went on
// using them would mix its exchanges into the parent's. So the child starts not initialised,
// with the inherited transports and sessions forgotten without a byte sent, and makes its own
// connections when it calls C_Initialize.
#pragma once

namespace dravenholt {

// Registers the fork handlers once per loaded library (glibc drops them when the library is
// unloaded); cheap after the first call. The handler run before fork() takes the library's locks, so that no exchange and
// no log line is half done in the copy and no lock is copied held; the handlers run after it
// release them. None of them does any I/O.
void installForkHandlers();

}  // namespace dravenholt
