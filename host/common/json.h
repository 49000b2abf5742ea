// The report model: every machine-readable result of the host is a JSON document
// built as an ordered tree (members keep the order they are added in) and
// written by one writer, so that the JSON and CSV outputs agree to the digit.
//
// Numbers are written by what they measure: integers as they are, and measures
// with the decimals of their unit, taken from the member's name: seconds ("_s")
// to the millisecond, everything else (LUFS, LU, dB, multiples of real time) to
// a hundredth. A measure that is not finite is null in JSON.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace plumbra::host {

using Json = nlohmann::ordered_json;

struct JsonLayout {
    // Objects that hold nothing but plain values go on one line: tables of measures stay readable.
    bool flatObjectsInline = false;
};

// The document with two spaces of indent per level and a final newline.
std::string writeJson(const Json& document, const JsonLayout& layout = {});

// A number of the model as the report writes it: a measure with the decimals its
// `key` gives, `nonFinite` when it is not finite.
std::string numberText(const std::string& key, const Json& number, const char* nonFinite);

// A number of the model as a double. Integers go through their decimal text:
// nlohmann's own conversion of a 64-bit integer to double is x87 arithmetic on
// 32-bit x86, which the host, like the processor, never uses.
double numberOf(const Json& number);

// A number with fixed decimals, "-inf" when not finite (silence has no loudness).
std::string fixedOrDash(double value, int decimals);

}  // namespace plumbra::host
