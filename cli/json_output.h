// Machine-readable output: one JSON document on standard output.
#ifndef VORN_CLI_JSON_OUTPUT_H
#define VORN_CLI_JSON_OUTPUT_H

#include <json/json.h>

namespace vorncli {

// Writes `value` as one line of JSON on standard output.
void printJson(const Json::Value &value);

} // namespace vorncli

#endif
