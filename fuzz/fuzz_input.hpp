// Reads typed values off a fuzzer's byte string; missing bytes read as zero.
// fail() stops a run whose property broke, naming it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace velmorquist::fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    template <class T>
    T take() {
        T value{};
        std::size_t count = sizeof(T) < size_ - used_ ? sizeof(T) : size_ - used_;
        if (count > 0) std::memcpy(&value, data_ + used_, count);
        used_ += count;
        return value;
    }

    // The bytes not yet taken.
    std::string_view rest() const {
        return {reinterpret_cast<const char*>(data_ + used_), size_ - used_};
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t used_ = 0;
};

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

}  // namespace velmorquist::fuzz
