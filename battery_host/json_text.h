#pragma once

#include <cstddef>
#include <string>

// Pieces of the events file's JSON, written by hand so that every number and byte string has one
// exact text form.
namespace json_text {

// Lowercase hex, two digits per byte: {0xFE, 0x01} -> "fe01".
std::string Hex(const unsigned char* data, std::size_t len);

// A JSON string literal with its quotes. UTF-8 passes through unchanged (labels are Chinese);
// quote, backslash and control characters are escaped.
std::string Quoted(const std::string& utf8);

// A single-precision value as a JSON number that reads back to the same float: nine significant
// digits. JSON has no NaN or infinity: those are written as null.
std::string Float(float value);

}  // namespace json_text
