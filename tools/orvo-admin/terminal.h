// The terminal of orvo-admin: whether a standard stream is one, and secrets asked for on it.
#pragma once

#include <optional>
#include <string>

namespace orvoadmin {

bool stdinIsTerminal();
bool stderrIsTerminal();

// Asks for `what` on the terminal and reads a line with echo off; none without a terminal.
std::optional<std::string> askTerminal(const std::string& what);

}  // namespace orvoadmin
