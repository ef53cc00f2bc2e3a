// What crash-triage's JSON writers share: its outputs and the crash history's stored facts.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace triage {

using Json = nlohmann::ordered_json;

template <typename T>
Json OrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

// One line. Invalid UTF-8 (a comment stream holds the writer's bytes) comes out as U+FFFD.
inline std::string JsonLine(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace triage
