// Argument binding and conversion, written once for every class of the module.
//
// A method binds its arguments against a Signature (producing borrowed
// references, nullptr for an absent argument), converts each one in parameter
// order by position, and only then touches the instance. That order is what
// lets an __index__ or __float__ call back into the same object without
// deadlocking on the core lock. A parameter's name is written once, in the
// Signature; conversion errors take it from there.
#pragma once

#include "binding/common/py_ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <cstring>
#include <string>
#include <string_view>

namespace velmorquist::binding {

inline constexpr std::size_t kMaxParameters = 8;

// One Python callable's parameters: all positional-or-keyword, the first
// `required` of them without a default.
class Signature {
public:
    template <class... Names>
    constexpr Signature(const char* function, std::size_t required, Names... names)
        : function_(function), required_(required), size_(sizeof...(Names)), names_{names...} {
        static_assert(sizeof...(Names) <= kMaxParameters);
    }

    // Qualified name used in messages, e.g. "CircuitBreaker.record_failure()".
    [[nodiscard]] const char* function() const { return function_; }
    [[nodiscard]] std::size_t required() const { return required_; }
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] const char* name(std::size_t index) const { return names_[index]; }
    // Borrowed interned name, created on first use; nullptr (error set) only on
    // memory exhaustion.
    [[nodiscard]] PyObject* interned(std::size_t index) const;

private:
    const char* function_;
    std::size_t required_;
    std::size_t size_;
    std::array<const char*, kMaxParameters> names_;
    mutable std::array<PyObject*, kMaxParameters> interned_{};
};

// Borrowed references, one per parameter of `signature`, nullptr where the
// argument is absent.
class BoundArgs {
public:
    explicit BoundArgs(const Signature& signature) : signature_(signature) {}

    // Binds a METH_FASTCALL | METH_KEYWORDS call. False with TypeError set on
    // a count, duplicate, unknown-keyword or missing-argument error.
    [[nodiscard]] bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        // Positional calls within the arity are the common case: no names to match.
        auto count = static_cast<std::size_t>(nargs);
        if (kwnames == nullptr && count >= signature_.required() && count <= signature_.size())
            [[likely]] {
            // Written so that no memcpy/memset call is made for a few pointers:
            // a fixed-size clear, then the given arguments one by one.
            args_.fill(nullptr);
            for (std::size_t i = 0; i < kMaxParameters; ++i) {
                if (i == count) break;
                args_[i] = args[i];
            }
            return true;
        }
        return bind_slow(args, nargs, kwnames);
    }
    // Binds a tp_new call (argument tuple and optional keyword dict).
    [[nodiscard]] bool bind_new(PyObject* args, PyObject* kwargs);

    [[nodiscard]] PyObject* operator[](std::size_t index) const { return args_[index]; }

    // Converts argument `index`; the interpreter's own TypeErrors get the
    // parameter's name in front.
    template <class T>
    [[nodiscard]] bool convert(std::size_t index, bool (*converter)(PyObject*, T&), T& out) const {
        if (converter(args_[index], out)) [[likely]]
            return true;
        prefix_argument_error(signature_.name(index));
        return false;
    }
    // Checks that argument `index` is an instance of `type` (or a subclass);
    // otherwise raises the prefixed conversion TypeError naming `class_name`.
    [[nodiscard]] bool check_instance(std::size_t index, PyTypeObject* type,
                                      const char* class_name) const;

private:
    [[nodiscard]] bool bind_slow(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    [[nodiscard]] bool place_keyword(PyObject* name, PyObject* value);
    [[nodiscard]] bool check_required() const;

    // The interpreter's own TypeErrors get the parameter's name in front,
    // keeping their cause; every other error class passes through unchanged.
    static void prefix_argument_error(const char* parameter);

    const Signature& signature_;
    std::array<PyObject*, kMaxParameters> args_;
};

// True when an argument with default None was given as something other than None.
[[nodiscard]] inline bool given(PyObject* argument) {
    return argument != nullptr && argument != Py_None;
}

// ---- converters: true on success; false with a Python error set -------------

// str or subclass, as UTF-8. The view borrows the object's cached UTF-8 buffer
// and lives as long as the object.
[[nodiscard]] bool to_utf8(PyObject* object, std::string_view& out);
[[nodiscard]] bool to_string(PyObject* object, std::string& out);
// Through the C-long conversion, then required to lie in 0..4294967295.
[[nodiscard]] bool to_u32(PyObject* object, std::uint32_t& out);
// Through the index conversion; negative or too large raises OverflowError.
[[nodiscard]] bool to_u64(PyObject* object, std::uint64_t& out);
[[nodiscard]] bool to_double(PyObject* object, double& out);
// Exactly True or False, or a NumPy boolean scalar.
[[nodiscard]] bool to_bool(PyObject* object, bool& out);

// Raises TypeError "'<type>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* object, const char* target);

// For a function that takes exactly `wanted` positional arguments: false,
// with TypeError "name() takes N arguments (M given)", when `given` differs.
[[nodiscard]] bool exact_arguments(const char* function, Py_ssize_t given, Py_ssize_t wanted);

// ---- results: new references, nullptr with an error set on failure -----------

[[nodiscard]] inline bool is_ascii(std::string_view text) {
    unsigned char any = 0;
    for (char c : text) any |= static_cast<unsigned char>(c);
    return any < 0x80;
}

// ASCII text, the usual case (keys, provider ids), is copied into a new str
// without going through the UTF-8 decoder. One character goes to the decoder
// too, which hands out the interpreter's shared one-character strings.
[[nodiscard]] inline PyObject* new_str(std::string_view text) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    if (size > 1 && is_ascii(text)) {
        PyObject* str = PyUnicode_New(size, 127);
        if (str == nullptr) return nullptr;
        std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
        return str;
    }
    return PyUnicode_FromStringAndSize(text.data(), size);
}
[[nodiscard]] inline PyObject* new_bool(bool value) { return PyBool_FromLong(value ? 1 : 0); }
[[nodiscard]] inline PyObject* new_none() { Py_RETURN_NONE; }

// A core value as its natural Python type; an empty optional is None.
[[nodiscard]] inline PyObject* to_python(const std::string& value) { return new_str(value); }
[[nodiscard]] inline PyObject* to_python(std::uint32_t value) { return PyLong_FromUnsignedLong(value); }
[[nodiscard]] inline PyObject* to_python(std::uint64_t value) {
    return PyLong_FromUnsignedLongLong(value);
}
[[nodiscard]] inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
[[nodiscard]] inline PyObject* to_python(bool value) { return new_bool(value); }
template <class T>
[[nodiscard]] PyObject* to_python(const std::optional<T>& value) {
    return value ? to_python(*value) : new_none();
}

}  // namespace velmorquist::binding
