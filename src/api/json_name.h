// File names in answers.
#pragma once
#include <string>

#include <yyjson.h>

// The name as valid UTF-8: converted from the system's encoding for names,
// then every byte that is no part of a well-formed UTF-8 sequence replaced
// by U+FFFD. An unusual name never costs the answer.
std::string utf8_name(const char* name);

// A string value holding utf8_name(name) (copied into the document).
yyjson_mut_val* json_name(yyjson_mut_doc* doc, const char* name);
