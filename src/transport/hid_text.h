// Wide strings from hidapi: conversion to the byte strings the library compares and stores,
// and hidapi's error texts as exceptions.
#pragma once

#include <optional>
#include <string>

#include <hidapi/hidapi.h>

namespace dravenholt {

// The C library's wide-to-multibyte conversion of the current locale into 256 bytes (at most
// 255 remain). None for a null string or one the locale cannot represent.
std::optional<std::string> narrowHidString(const wchar_t* text);

// True when the manufacturer string is exactly the maker's name.
bool isMakersDevice(const wchar_t* manufacturer);

// Throws DeviceError with hidapi's error text for the handle, or with `fallback`
// when hidapi gives none.
[[noreturn]] void throwHidError(hid_device* handle, const char* fallback);

}  // namespace dravenholt
