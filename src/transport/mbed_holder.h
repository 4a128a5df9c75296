// An owning holder for an mbedtls context: initialised on construction and freed on
// destruction, so no path can leak one or free it twice.
#pragma once

namespace dravenholt::mbed {

template <class T, void (*Init)(T*), void (*Free)(T*)>
class Holder {
public:
    Holder() { Init(&value_); }
    ~Holder() { Free(&value_); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    T* get() { return &value_; }
    const T* get() const { return &value_; }
    T* operator->() { return &value_; }

private:
    T value_;
};

}  // namespace dravenholt::mbed
