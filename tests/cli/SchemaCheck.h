#pragma once
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace salvex::test {

// Checks a document against the subset of JSON Schema (2020-12) that docs/salvex-cli.schema.json
// uses: type, enum, required, properties, additionalProperties: false, items, minimum, pattern and
// local "$ref": "#/$defs/NAME". Returns one message per violation ("/items/3/size: ..."); a
// keyword outside the subset is reported as well, so that the schema cannot outgrow the check.
std::vector<std::string> SchemaViolations(const nlohmann::json& schema, const nlohmann::json& document);

// docs/salvex-cli.schema.json, read once.
const nlohmann::json& CliSchema();

}  // namespace salvex::test
