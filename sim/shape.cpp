// Board descriptions are checked against the shipped description they
// were made from, so a field of the wrong type is reported by name when
// the board is loaded instead of ending a program where a model reads it.

#include <filesystem>

#include "sim/sim.h"

namespace sim {

namespace {

const char* kind(const nlohmann::json& j) {
  if (j.is_object()) return "an object";
  if (j.is_array()) return "an array";
  if (j.is_string()) return "a string";
  if (j.is_number()) return "a number";
  if (j.is_boolean()) return "a boolean";
  return nullptr;
}

std::string escape(const std::string& key) {
  std::string out;
  for (char c : key) out += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
  return out;
}

bool check(const nlohmann::json& have, const nlohmann::json& ref, const std::string& at, std::string* err) {
  const char* want = kind(ref);
  if (!want || have.is_null()) return true;
  if (std::string(want) != (kind(have) ? kind(have) : "")) {
    *err = "board.json: " + (at.empty() ? std::string("/") : at) + " must be " + want + ", but is " +
           have.type_name();
    return false;
  }
  if (have.is_object()) {
    for (auto it = have.begin(); it != have.end(); ++it) {
      auto r = ref.find(it.key());
      if (r != ref.end() && !check(it.value(), *r, at + "/" + escape(it.key()), err)) return false;
    }
  } else if (have.is_array() && !ref.empty()) {
    // Elements are checked when the reference's elements agree on a type.
    for (auto& e : ref)
      if (std::string(kind(e) ? kind(e) : "") != (kind(ref[0]) ? kind(ref[0]) : "")) return true;
    for (size_t i = 0; i < have.size(); ++i)
      if (!check(have[i], ref[0], at + "/" + std::to_string(i), err)) return false;
  }
  return true;
}

}  // namespace

nlohmann::json ReferenceDescription(const nlohmann::json& desc) {
  std::string name = "default";
  if (auto n = desc.find("name"); n != desc.end() && n->is_string()) {
    std::error_code ec;
    std::string own = n->get<std::string>();
    if (own.find('/') == std::string::npos && std::filesystem::exists(BoardsDir() + "/" + own + ".json", ec))
      name = own;
  }
  nlohmann::json ref;
  std::string err;
  if (!ReadDescription(name, &ref, &err)) return nlohmann::json::object();
  return ref;
}

bool CheckShape(const nlohmann::json& desc, const nlohmann::json& ref, std::string* err) {
  return check(desc, ref, "", err);
}

}  // namespace sim
