// Fuzz entry point for the policy-file parser. Besides memory errors (caught by the sanitizers)
// it checks the round trip: a policy that parses must be written and parsed back unchanged.
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

#include "policy/policy_file.hpp"

namespace {

using annotrove::PolicyFile;

// Numbers read from JSON are finite, so ordinary equality is exact here; -0.0 still differs
// from 0.0 in its sign, which the writer keeps.
bool same_number(double a, double b) { return a == b && std::signbit(a) == std::signbit(b); }

bool same_policy(const PolicyFile &a, const PolicyFile &b) {
    if (a.version != b.version || a.scoring_method != b.scoring_method ||
        !same_number(a.threshold, b.threshold) ||
        !same_number(a.target_error_rate, b.target_error_rate) ||
        a.calibration_method != b.calibration_method ||
        a.confidence_level.has_value() != b.confidence_level.has_value() ||
        (a.confidence_level && !same_number(*a.confidence_level, *b.confidence_level)) ||
        a.created_by != b.created_by || a.group_col != b.group_col ||
        a.group_thresholds.has_value() != b.group_thresholds.has_value()) {
        return false;
    }
    if (!a.group_thresholds) {
        return true;
    }
    if (a.group_thresholds->size() != b.group_thresholds->size()) {
        return false;
    }
    for (const auto &[group, threshold] : *a.group_thresholds) {
        const auto found = b.group_thresholds->find(group);
        if (found == b.group_thresholds->end() || !same_number(threshold, found->second)) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const auto policy = annotrove::policy::policy_from_json(text);
    if (!policy) {
        return 0;
    }
    const std::string written = annotrove::policy::policy_to_json(*policy);
    const auto reread = annotrove::policy::policy_from_json(written);
    if (!reread || !same_policy(*policy, *reread)) {
        std::abort();
    }
    return 0;
}
