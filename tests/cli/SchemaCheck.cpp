#include "cli/SchemaCheck.h"

#include <fstream>
#include <regex>
#include <set>
#include <stdexcept>

namespace salvex::test {

namespace {

bool HasType(const nlohmann::json& value, const std::string& type) {
  if (type == "object") return value.is_object();
  if (type == "array") return value.is_array();
  if (type == "string") return value.is_string();
  if (type == "integer") return value.is_number_integer();
  if (type == "number") return value.is_number();
  if (type == "boolean") return value.is_boolean();
  if (type == "null") return value.is_null();
  return false;
}

struct Checker {
  const nlohmann::json& root;
  std::vector<std::string> errors;

  void Check(const nlohmann::json& schema, const nlohmann::json& value, const std::string& where, int depth) {
    if (depth > 64) {
      errors.push_back(where + ": schema nests too deep");
      return;
    }
    static const std::set<std::string> known = {"$schema", "$id", "title", "description", "$defs", "type", "enum",
                                                "required", "properties", "additionalProperties", "items",
                                                "minimum", "pattern", "$ref"};
    for (const auto& [key, _] : schema.items())
      if (!known.count(key)) errors.push_back(where + ": schema keyword '" + key + "' is not checked");
    if (schema.contains("$ref")) {
      const std::string ref = schema["$ref"];
      const std::string prefix = "#/$defs/";
      if (ref.rfind(prefix, 0) != 0 || !root["$defs"].contains(ref.substr(prefix.size()))) {
        errors.push_back(where + ": unresolved $ref " + ref);
        return;
      }
      Check(root["$defs"][ref.substr(prefix.size())], value, where, depth + 1);
    }
    if (schema.contains("type")) {
      const auto& t = schema["type"];
      bool ok = false;
      if (t.is_string()) ok = HasType(value, t);
      for (const auto& one : t.is_array() ? t : nlohmann::json::array())
        ok = ok || HasType(value, one.get<std::string>());
      if (!ok) {
        errors.push_back(where + ": " + value.dump() + " is not of type " + t.dump());
        return;
      }
    }
    if (schema.contains("enum")) {
      bool ok = false;
      for (const auto& e : schema["enum"]) ok = ok || e == value;
      if (!ok) errors.push_back(where + ": " + value.dump() + " is not one of " + schema["enum"].dump());
    }
    if (schema.contains("minimum") && value.is_number() && value.get<double>() < schema["minimum"].get<double>())
      errors.push_back(where + ": " + value.dump() + " is below " + schema["minimum"].dump());
    if (schema.contains("pattern") && value.is_string() &&
        !std::regex_search(value.get<std::string>(), std::regex(schema["pattern"].get<std::string>())))
      errors.push_back(where + ": " + value.dump() + " does not match " + schema["pattern"].get<std::string>());
    if (value.is_object()) {
      for (const auto& name : schema.value("required", nlohmann::json::array()))
        if (!value.contains(name.get<std::string>())) errors.push_back(where + ": '" + name.get<std::string>() + "' is missing");
      const auto properties = schema.value("properties", nlohmann::json::object());
      for (const auto& [key, member] : value.items()) {
        if (properties.contains(key))
          Check(properties[key], member, where + "/" + key, depth + 1);
        else if (schema.contains("additionalProperties") && schema["additionalProperties"] == false)
          errors.push_back(where + ": '" + key + "' is not in the schema");
      }
    }
    if (value.is_array() && schema.contains("items"))
      for (size_t i = 0; i < value.size(); ++i) Check(schema["items"], value[i], where + "/" + std::to_string(i), depth + 1);
  }
};

}  // namespace

std::vector<std::string> SchemaViolations(const nlohmann::json& schema, const nlohmann::json& document) {
  Checker c{schema, {}};
  c.Check(schema, document, "", 0);
  return c.errors;
}

const nlohmann::json& CliSchema() {
  static const nlohmann::json schema = [] {
    std::ifstream in(SALVEX_SOURCE_DIR "/docs/salvex-cli.schema.json");
    if (!in) throw std::runtime_error("docs/salvex-cli.schema.json cannot be read");
    return nlohmann::json::parse(in);
  }();
  return schema;
}

}  // namespace salvex::test
