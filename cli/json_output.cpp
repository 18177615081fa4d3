#include "json_output.h"

#include <cstdio>

namespace vorncli {

void printJson(const Json::Value &value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    puts(Json::writeString(builder, value).c_str());
}

} // namespace vorncli
