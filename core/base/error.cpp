#include "core/base/error.hpp"

#include "core/base/format.hpp"

namespace velmorquist {
namespace {

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
// Spelled out for compilers without aggregate deduction (clang before 17).
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace

std::string ProxyError::message() const {
    return std::visit(
        Overloaded{
            [](const NoProviders&) { return std::string("no providers registered"); },
            [](const CircuitOpen& e) {
                return "circuit open for provider `" + e.provider + "`: tripped at " +
                       std::to_string(e.failures) + " failures";
            },
            [](const RateLimited& e) {
                return "rate limited: " + format_shortest(e.available) + " tokens available, " +
                       std::to_string(e.requested) + " requested";
            },
            [](const NoAvailableKeys& e) {
                return "no available keys in pool (total: " + std::to_string(e.total) +
                       ", active: " + std::to_string(e.active) + ")";
            },
            [](const ProviderNotFound& e) { return "provider `" + e.provider + "` not found"; },
            [](const InvalidParameter& e) { return "invalid parameter: " + e.message; },
            [](const Sampling& e) { return "sampling error: " + e.message; },
        },
        variant_);
}

}  // namespace velmorquist
