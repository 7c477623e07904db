#include "core/base/error.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velmorquist {
namespace {

struct MessageCase {
    ProxyError error;
    const char* message;
};

class ErrorMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ErrorMessageTest, FormatsItsFields) { EXPECT_EQ(GetParam().error.message(), GetParam().message); }

INSTANTIATE_TEST_SUITE_P(
    Variants, ErrorMessageTest,
    ::testing::Values(
        MessageCase{NoProviders{}, "no providers registered"},
        MessageCase{CircuitOpen{"openai", 5}, "circuit open for provider `openai`: tripped at 5 failures"},
        MessageCase{CircuitOpen{"a`b'c\"", 1}, "circuit open for provider `a`b'c\"`: tripped at 1 failures"},
        MessageCase{RateLimited{0.0, 1}, "rate limited: 0 tokens available, 1 requested"},
        MessageCase{RateLimited{2.5, 3}, "rate limited: 2.5 tokens available, 3 requested"},
        MessageCase{RateLimited{1e-7, 18446744073709551615ULL},
                    "rate limited: 0.0000001 tokens available, 18446744073709551615 requested"},
        MessageCase{RateLimited{std::numeric_limits<double>::quiet_NaN(), 2},
                    "rate limited: NaN tokens available, 2 requested"},
        MessageCase{NoAvailableKeys{3, 0}, "no available keys in pool (total: 3, active: 0)"},
        MessageCase{ProviderNotFound{"x"}, "provider `x` not found"},
        MessageCase{InvalidParameter{""}, "invalid parameter: "},
        MessageCase{Sampling{""}, "sampling error: "},
        MessageCase{Sampling{"invalid Beta(0, 2): alpha is not positive in beta distribution"},
                    "sampling error: invalid Beta(0, 2): alpha is not positive in beta distribution"}));

}  // namespace
}  // namespace velmorquist
