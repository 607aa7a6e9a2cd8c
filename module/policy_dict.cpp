#include "policy_dict.hpp"

#include <array>
#include <string>

#include "arguments.hpp"
#include "exceptions.hpp"
#include "interned_keys.hpp"
#include "result_dicts.hpp"

namespace annotrove::module {

namespace {

// A required text value, copied: a later conversion may run code that frees the str.
std::optional<std::string> read_text(PyObject *dict, Key key) {
    PyRef value = lookup_value(dict, key, true);
    if (!value) {
        return std::nullopt;
    }
    if (!PyUnicode_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "'%s' must be str, not %s", key_text(key),
                     Py_TYPE(value.get())->tp_name);
        return std::nullopt;
    }
    std::optional<std::string_view> text = utf8_of(value.get());
    if (!text) {
        return std::nullopt;
    }
    return std::string(*text);
}

std::optional<double> read_number(PyObject *dict, Key key) {
    PyRef value = lookup_value(dict, key, true);
    if (!value) {
        return std::nullopt;
    }
    return to_double(value.get());
}

template <typename Method, std::size_t N>
std::optional<Method> read_method(PyObject *dict, Key key,
                                  std::optional<Method> (*parse)(std::string_view),
                                  const std::array<std::string_view, N> &names) {
    std::optional<std::string> text = read_text(dict, key);
    if (!text) {
        return std::nullopt;
    }
    std::optional<Method> method = parse(*text);
    if (!method) {
        PyRef message = text_object(unknown_variant_message(*text, names));
        if (message) {
            PyErr_SetObject(PyExc_RuntimeError, message.get());
        }
    }
    return method;
}

template <typename Method, std::size_t N, typename NameOf>
std::array<std::string_view, N> names_of(const std::array<Method, N> &methods, NameOf name_of) {
    std::array<std::string_view, N> names{};
    for (std::size_t i = 0; i < N; ++i) {
        names[i] = name_of(methods[i]);
    }
    return names;
}

} // namespace

PyRef policy_to_dict(const PolicyFile &policy) {
    PyRef dict(PyDict_New());
    if (!dict || !set_item(dict.get(), key_object(Key::Version), text_object(policy.version)) ||
        !set_item(dict.get(), key_object(Key::ScoringMethod),
                  text_object(scoring::serialised_name(policy.scoring_method))) ||
        !set_item(dict.get(), key_object(Key::Threshold),
                  PyRef(PyFloat_FromDouble(policy.threshold))) ||
        !set_item(dict.get(), key_object(Key::TargetErrorRate),
                  PyRef(PyFloat_FromDouble(policy.target_error_rate))) ||
        !set_item(dict.get(), key_object(Key::CalibrationMethod),
                  text_object(calibration_method_name(policy.calibration_method))) ||
        !set_item(dict.get(), key_object(Key::ConfidenceLevel),
                  policy.confidence_level ? PyRef(PyFloat_FromDouble(*policy.confidence_level))
                                          : PyRef::borrowed(Py_None)) ||
        !set_item(dict.get(), key_object(Key::CreatedBy), text_object(policy.created_by))) {
        return {};
    }
    return dict;
}

std::optional<PolicyFile> policy_from_dict(PyObject *dict) {
    PolicyFile policy;
    const auto score_names = names_of(scoring::ALL_SCORING_METHODS, scoring::serialised_name);
    std::optional<scoring::ScoringMethod> scoring_method = read_method(
        dict, Key::ScoringMethod, scoring::parse_serialised_scoring_method, score_names);
    if (!scoring_method) {
        return std::nullopt;
    }
    policy.scoring_method = *scoring_method;

    const auto calibration_names = names_of(ALL_CALIBRATION_METHODS, calibration_method_name);
    std::optional<CalibrationMethod> calibration_method =
        read_method(dict, Key::CalibrationMethod, parse_calibration_method, calibration_names);
    if (!calibration_method) {
        return std::nullopt;
    }
    policy.calibration_method = *calibration_method;

    PyRef level = lookup_value(dict, Key::ConfidenceLevel, false);
    if (!level && PyErr_Occurred()) {
        return std::nullopt;
    }
    if (level && level.get() != Py_None) {
        std::optional<double> value = to_double(level.get());
        if (!value) {
            return std::nullopt;
        }
        policy.confidence_level = *value;
    }

    std::optional<std::string> version = read_text(dict, Key::Version);
    if (!version) {
        return std::nullopt;
    }
    policy.version = std::move(*version);

    std::optional<double> threshold = read_number(dict, Key::Threshold);
    if (!threshold) {
        return std::nullopt;
    }
    policy.threshold = *threshold;

    std::optional<double> target = read_number(dict, Key::TargetErrorRate);
    if (!target) {
        return std::nullopt;
    }
    policy.target_error_rate = *target;
    return policy;
}

} // namespace annotrove::module
