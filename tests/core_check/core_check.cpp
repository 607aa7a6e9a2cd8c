// Prints one line per input so that two builds of the core (one per platform) can be compared
// line by line:
//
//   core_check [--detail] [--scratch DIR] [--list FILE]... [INPUT]...
//
// An input ending in ".json" is a policy file: it is read, written twice over a copy of itself in
// the scratch folder (so the save replaces an existing, often longer file) and read back. Any
// other input is a candidate table: every score method's curve, the calibrations of that curve,
// AURC, E-AURC and the decisions under a policy at the calibrated threshold. Each part of a line
// is a digest of a canonical text in which every float is written as its exact bits; --detail
// prints those texts instead, for finding the value that differs. Inputs are named as given, so
// pass them relative with forward slashes.
//
// Only the core's whole-table operations, the selections and the policy file functions are used,
// so the reader's internals may change freely underneath.

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "calibration.hpp"
#include "curve_point.hpp"
#include "error.hpp"
#include "policy.hpp"
#include "policy/policy_file.hpp"
#include "scoring/scoring_method.hpp"
#include "table_operations.hpp"

namespace {

using namespace annotrove;
using scoring::ScoringMethod;

// Target error rates every selection is tried with.
constexpr std::array<double, 3> TARGETS = {0.05, 0.1, 0.25};
// The target whose empirical threshold becomes the decision threshold.
constexpr double DECISION_TARGET = 0.1;

using Selection = std::function<Result<std::optional<double>>(std::span<const CurvePoint>, double)>;
struct Calibration {
    std::string_view name;
    Selection select;
};

Result<std::optional<double>> plain(std::optional<double> threshold) {
    return threshold;
}

// One line per selection rule; a new rule needs only its line here.
const std::array CALIBRATIONS = {
    Calibration{"empirical",
                [](auto points, double t) { return plain(select_empirical(points, t)); }},
    Calibration{"binomial0.9",
                [](auto points, double t) { return select_binomial(points, t, 0.9); }},
    Calibration{"binomial0.95",
                [](auto points, double t) { return select_binomial(points, t, 0.95); }},
    // Unsupported: the error message renders the level.
    Calibration{"binomial0.8",
                [](auto points, double t) { return select_binomial(points, t, 0.8); }},
    Calibration{"crc", [](auto points, double t) { return plain(select_crc(points, t)); }},
    Calibration{"ltt0.9", [](auto points, double t) { return plain(select_ltt(points, t, 0.9)); }},
};

// Control characters and backslashes escaped, so one input stays on one line whatever its
// messages and texts hold. Other bytes (invalid UTF-8 included) pass through.
std::string escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '\\') {
            std::array<char, 8> buffer{};
            std::snprintf(buffer.data(), buffer.size(), "\\x%02x", byte);
            out += buffer.data();
        } else {
            out += c;
        }
    }
    return out;
}

// The exact bits, then the shortest round-trip text for a human reader.
std::string exact(double value) {
    std::array<char, 64> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%016llx",
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
    std::string out(buffer.data());
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out += '(';
    out.append(buffer.data(), result.ptr);
    out += ')';
    return out;
}

std::string exact(const std::optional<double> &value) {
    return value ? exact(*value) : "-";
}

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

std::string digest(std::string_view text) {
    std::array<char, 20> buffer{};
    std::snprintf(buffer.data(), buffer.size(), "%016llx",
                  static_cast<unsigned long long>(fnv1a(text)));
    return buffer.data();
}

// A named part of an input's result; a line holds the digest of each.
struct Section {
    std::string name;
    std::string text;
};

std::string curve_text(std::span<const CurvePoint> points) {
    std::string text;
    for (const CurvePoint &p : points) {
        text += "point " + exact(p.threshold) + ' ' + std::to_string(p.accepted) + ' ' +
                std::to_string(p.total) + ' ' + exact(p.coverage) + ' ' + std::to_string(p.errors) +
                ' ' + exact(p.risk) + '\n';
    }
    return text;
}

std::string calibrations_text(std::span<const CurvePoint> points) {
    std::string text;
    for (const Calibration &calibration : CALIBRATIONS) {
        for (const double target : TARGETS) {
            text += "calibration " + std::string(calibration.name) + ' ' + exact(target) + ' ';
            const auto selected = calibration.select(points, target);
            text += selected ? exact(selected->value_or(NO_QUALIFYING_THRESHOLD))
                             : "error " + escaped(selected.error().message());
            text += '\n';
        }
    }
    return text;
}

std::string decisions_text(std::string_view path, const PolicyFile &policy) {
    auto decided = decide_table(annotrove::table::TableSource{.path = path}, policy);
    if (!decided) {
        return "error " + escaped(decided.error().message()) + '\n';
    }
    std::string text;
    for (const Decision &d : decided->decisions) {
        text += "decision " + escaped(d.query_id) + ' ' + escaped(d.candidate_id) + ' ' +
                std::string(d.method) + ' ' + exact(d.confidence) + ' ' + exact(d.threshold) +
                (d.accepted ? " accept\n" : " reject\n");
    }
    return text;
}

// The methods whose confidences take no logarithm or exponential, so that their comparison must
// agree to the last bit between platforms (E-AURC, a logarithm, is left out of the text).
constexpr std::array<ScoringMethod, 6> EXACT_METHODS = {
    ScoringMethod::MaxProb,  ScoringMethod::ScoreGap, ScoringMethod::Margin,
    ScoringMethod::ScoreRatio, ScoringMethod::TopKGap, ScoringMethod::CandidateCount};

std::string comparison_rows(std::span<const ScoreComparison> rows) {
    std::string text;
    const auto interval = [](const std::optional<Interval> &bounds) {
        return bounds ? exact(bounds->low) + ' ' + exact(bounds->high) : std::string("none");
    };
    for (const ScoreComparison &row : rows) {
        text += "compare " + std::string(scoring::serialised_name(row.method)) + " aurc " +
                exact(row.aurc) + ' ' + interval(row.aurc_bounds) + " augrc " + exact(row.augrc) +
                ' ' + interval(row.augrc_bounds) + " auroc " + exact(row.auroc) + ' ' +
                interval(row.auroc_bounds) + " scored " + std::to_string(row.scored) + " labelled " +
                std::to_string(row.labelled) + " top1 " + exact(row.top1_error) + " difference " +
                exact(row.aurc_difference) + ' ' + interval(row.aurc_difference_bounds) +
                (row.distinguishable.value_or(false) ? " distinguishable\n" : " same\n");
    }
    return text;
}

// compare_scores of the log-free methods with 64 resamples; the same with 2 and 3 threads must
// give the same rows, which the text records.
std::string comparison_text(const std::string &path) {
    std::string reference;
    std::string verdicts;
    for (const std::size_t threads : {1U, 2U, 3U}) {
        ComparisonSettings settings;
        settings.resamples = 64;
        settings.level = 0.9;
        settings.seed = 20240607;
        settings.threads = threads;
        auto rows = compare_scores_of_table(annotrove::table::TableSource{.path = path},
                                            EXACT_METHODS, settings);
        if (!rows) {
            return {};
        }
        std::string text = comparison_rows(*rows);
        if (threads == 1) {
            reference = std::move(text);
        } else {
            verdicts += "threads " + std::to_string(threads) +
                        (text == reference ? " same\n" : " differ\n");
        }
    }
    return reference + verdicts;
}

// The sections of a table: per score method its curve, calibrations and decisions, then E-AURC
// of every curve on its own (it takes a logarithm, as two of the methods do).
std::vector<Section> table_sections(const std::string &path) {
    std::vector<Section> sections;
    std::string eaurc_text;
    for (const ScoringMethod method : scoring::ALL_SCORING_METHODS) {
        const std::string name(scoring::serialised_name(method));
        auto curve = curve_of_table(annotrove::table::TableSource{.path = path}, method);
        if (!curve) {
            sections.push_back({name, "error " + escaped(curve.error().message()) + '\n'});
            continue;
        }
        std::string text = curve_text(*curve) + calibrations_text(*curve);
        text += "aurc " + exact(aurc(*curve)) + '\n';
        eaurc_text += name + ' ' + exact(eaurc(*curve)) + '\n';

        PolicyFile policy;
        policy.scoring_method = method;
        policy.threshold =
            select_empirical(*curve, DECISION_TARGET).value_or(NO_QUALIFYING_THRESHOLD);
        policy.target_error_rate = DECISION_TARGET;
        text += decisions_text(path, policy);
        sections.push_back({name, std::move(text)});
    }
    if (!eaurc_text.empty()) {
        sections.push_back({"eaurc", std::move(eaurc_text)});
    }
    if (std::string compared = comparison_text(path); !compared.empty()) {
        sections.push_back({"compare", std::move(compared)});
    }
    return sections;
}

std::string policy_text(const PolicyFile &policy) {
    // The writer's own text covers every field; the record's group map has no defined order, so
    // its members are listed sorted as well.
    std::string text = policy::policy_to_json(policy) + '\n';
    if (policy.group_thresholds) {
        std::vector<std::pair<std::string, double>> members(policy.group_thresholds->begin(),
                                                            policy.group_thresholds->end());
        std::sort(members.begin(), members.end());
        for (const auto &[group, threshold] : members) {
            text += "group " + escaped(group) + ' ' + exact(threshold) + '\n';
        }
    }
    text += "threshold " + exact(policy.threshold) + " target " + exact(policy.target_error_rate) +
            " level " + exact(policy.confidence_level) + '\n';
    return text;
}

std::filesystem::path native(std::string_view utf8) {
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t *>(utf8.data()), utf8.size()));
}

std::optional<std::string> file_bytes(const std::string &path) {
    std::ifstream in(native(path), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool write_bytes(const std::string &path, std::string_view bytes) {
    std::ofstream out(native(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

// Read, saved twice over a copy of the input (an existing file), then read back. The saved
// bytes belong to the result: they must be the same on every platform.
std::vector<Section> policy_sections(const std::string &path, const std::string &scratch) {
    auto first = policy::read_policy_file(path);
    if (!first) {
        return {{"read", "error " + escaped(first.error().message()) + '\n'}};
    }
    std::vector<Section> sections{{"read", policy_text(*first)}};
    const auto original = file_bytes(path);
    if (!original || !write_bytes(scratch, *original)) {
        sections.push_back({"save", "cannot copy to the scratch file " + scratch + '\n'});
        return sections;
    }
    std::string saved;
    for (int round = 1; round <= 2; ++round) {
        if (auto written = policy::write_policy_file(scratch, *first); !written) {
            saved += "save " + std::to_string(round) + " error " +
                     escaped(written.error().message()) + '\n';
            break;
        }
        saved += "save " + std::to_string(round) + " bytes " +
                 escaped(file_bytes(scratch).value_or("<unreadable>")) + '\n';
    }
    sections.push_back({"save", std::move(saved)});
    auto again = policy::read_policy_file(scratch);
    sections.push_back({"reread", again ? policy_text(*again)
                                        : "error " + escaped(again.error().message()) + '\n'});
    return sections;
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// "name<TAB>kind<TAB>section=digest..." or, when every section is the same single error,
// "name<TAB>kind<TAB>error<TAB>message": a readable cause where a digest would hide one.
void print_summary(std::string_view name, std::string_view kind,
                   const std::vector<Section> &sections) {
    std::string line = std::string(name) + '\t' + std::string(kind);
    const std::string &first = sections.front().text;
    const bool one_error =
        first.starts_with("error ") &&
        std::ranges::all_of(sections, [&](const Section &s) { return s.text == first; });
    if (one_error) {
        line += "\terror\t" + first.substr(6, first.size() - 7);
    } else {
        for (const Section &section : sections) {
            line += '\t' + section.name + '=' + digest(section.text);
        }
    }
    std::cout << line << '\n';
}

void print_detail(std::string_view name, const std::vector<Section> &sections) {
    for (const Section &section : sections) {
        std::string_view text = section.text;
        while (!text.empty()) {
            const std::size_t end = text.find('\n');
            std::cout << name << '\t' << section.name << '\t' << text.substr(0, end) << '\n';
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        }
    }
}

} // namespace

int main(int argc, char **argv) {
#ifdef _WIN32
    // Lines end in LF on every platform, so the outputs compare byte for byte.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    bool detail = false;
    std::string scratch_dir = "core_check-scratch";
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--detail") {
            detail = true;
        } else if ((arg == "--scratch" || arg == "--list") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--scratch") {
                scratch_dir = value;
                continue;
            }
            const auto list = file_bytes(value);
            if (!list) {
                std::cerr << "core_check: cannot read the list " << value << '\n';
                return 2;
            }
            std::string_view rest = *list;
            while (!rest.empty()) {
                const std::size_t end = std::min(rest.find('\n'), rest.size());
                if (std::string_view entry = rest.substr(0, end); !entry.empty()) {
                    inputs.emplace_back(entry);
                }
                rest.remove_prefix(std::min(end + 1, rest.size()));
            }
        } else {
            inputs.emplace_back(arg);
        }
    }
    std::error_code ignored;
    std::filesystem::create_directories(native(scratch_dir), ignored);
    std::size_t index = 0;
    for (const std::string &input : inputs) {
        const bool is_policy = ends_with(input, ".json");
        const std::string scratch = scratch_dir + "/policy-" + std::to_string(index++) + ".json";
        const auto sections = is_policy ? policy_sections(input, scratch) : table_sections(input);
        if (detail) {
            print_detail(input, sections);
        } else {
            print_summary(input, is_policy ? "policy" : "table", sections);
        }
    }
    return std::cout.flush() ? 0 : 1;
}
