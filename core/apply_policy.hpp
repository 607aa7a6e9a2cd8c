// Accepting or rejecting each query's top candidate under a policy.
#pragma once

#include <optional>
#include <string_view>

#include "candidate.hpp"
#include "policy.hpp"

namespace annotrove {

struct Decision {
    std::string_view query_id;
    std::string_view candidate_id;
    std::string_view method; // display name of the score method
    double confidence = 0.0; // NaN when the method gives no value
    double threshold = 0.0;
    bool accepted = false;
};

// Nothing for a group without candidates. The group must carry its top candidate_id.
std::optional<Decision> decide_query(const PolicyFile &policy, const QueryGroup &group);

} // namespace annotrove
