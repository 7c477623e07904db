// The one error type every core facility reports refusals through.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>

namespace velmorquist {

struct NoProviders {};
struct CircuitOpen {
    std::string provider;
    std::uint32_t failures;
};
struct RateLimited {
    double available;
    std::uint64_t requested;
};
struct NoAvailableKeys {
    std::uint64_t total;
    std::uint64_t active;
};
struct ProviderNotFound {
    std::string provider;
};
struct InvalidParameter {
    std::string message;
};
struct Sampling {
    std::string message;
};

// The binding maps each alternative to its exception class by type, in an
// exhaustive visit, so the order of the alternatives carries no meaning.
using ProxyErrorVariant = std::variant<NoProviders, CircuitOpen, RateLimited, NoAvailableKeys,
                                       ProviderNotFound, InvalidParameter, Sampling>;

class ProxyError {
public:
    template <class Alternative>
    ProxyError(Alternative alternative)  // NOLINT(google-explicit-constructor): errors read as values
        : variant_(std::move(alternative)) {}

    [[nodiscard]] const ProxyErrorVariant& variant() const noexcept { return variant_; }
    [[nodiscard]] std::string message() const;

private:
    ProxyErrorVariant variant_;
};

// A condition that no valid state should reach (a failed draw precondition, a
// failed entropy read). Thrown, never returned: the binding layer turns it into
// the internal-fault exception at the boundary, after RAII locks are released.
class InternalFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Shared memory that another process damaged (truncated or overwrote the
// file behind it): the state it held is gone. Not a fault of this program,
// so the binding raises it as an OSError naming the file.
class DamagedState : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace velmorquist
