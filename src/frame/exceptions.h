// The library's exceptions: a message and a 32-bit code (-1 whenever the library throws).
#pragma once

#include <cstdint>
#include <exception>
#include <string>

class Throwable : public std::exception {
public:
    Throwable(std::string message, int32_t code) : message_(std::move(message)), code_(code) {}
    ~Throwable() override = default;
    const char* what() const noexcept override { return message_.c_str(); }
    virtual int32_t code() const noexcept { return code_; }

private:
    std::string message_;
    int32_t code_;
};

class Exception : public Throwable {
public:
    using Throwable::Throwable;
};

class IOException : public Exception {
public:
    IOException(const char* message, int32_t code) : Exception(message ? message : "null", code) {}
    IOException(const std::string& message, int32_t code) : Exception(message, code) {}
    // Wide messages (hidapi's error texts) keep the low byte of each unit.
    IOException(const wchar_t* message, int32_t code) : Exception(narrow(message), code) {}

private:
    static std::string narrow(const wchar_t* message) {
        if (!message) return "null";
        std::string out;
        for (; *message; ++message) out.push_back(static_cast<char>(*message & 0xFF));
        return out;
    }
};
