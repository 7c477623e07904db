#include "core/policy/provider_profile.hpp"

#include <array>

namespace velmorquist {

std::span<const ProviderProfile> default_catalogue() {
    // Built on first use; every id fits std::string's inline buffer.
    static const std::array<ProviderProfile, 12> kCatalogue{{
        {"openai", 0.03, 0.92, 800},
        {"anthropic", 0.025, 0.93, 900},
        {"google", 0.02, 0.90, 750},
        {"groq", 0.002, 0.85, 200},
        {"together", 0.008, 0.84, 400},
        {"fireworks", 0.005, 0.83, 350},
        {"deepseek", 0.004, 0.86, 600},
        {"cerebras", 0.003, 0.82, 250},
        {"ollama", 0.0, 0.78, 500},
        {"mistral", 0.012, 0.88, 650},
        {"cohere", 0.015, 0.85, 700},
        {"azure_openai", 0.03, 0.92, 780},
    }};
    return kCatalogue;
}

}  // namespace velmorquist
