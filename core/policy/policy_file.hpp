// The policy file: indented JSON written byte for byte, read strictly.
#pragma once

#include <string>
#include <string_view>

#include "../error.hpp"
#include "../policy.hpp"

namespace annotrove::policy {

// The exact text written for a policy (no line break after the final brace).
std::string policy_to_json(const PolicyFile &policy);

// Parses one policy from JSON text; the version is not tested here.
Result<PolicyFile> policy_from_json(std::string_view text);

Result<void> write_policy_file(std::string_view path, const PolicyFile &policy);
Result<PolicyFile> read_policy_file(std::string_view path);

} // namespace annotrove::policy
