// The query part of a page address, decoded exactly as the plugin encodes it: '+' is a space and
// "%xx" (hexadecimal digits in either case) is one byte. Values come out as raw bytes, in the
// player's code page; turning them into text is text.h's job.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace talvo {

using QueryFields = std::vector<std::pair<std::string, std::string>>;

// Decodes one key or value into out. False, with out unspecified, for a '%' that is not followed
// by two hexadecimal digits.
bool DecodeQueryValue(std::string_view encoded, std::string& out);

// Splits "a=1&b=2" at '&' and the first '=' of each field, decoding both sides. Empty fields are
// skipped; a field without '=' has an empty value. False if any field is malformed.
bool ParseQuery(std::string_view query, QueryFields& out);

// The value of the first field named key, or empty when there is none.
std::string_view FieldValue(const QueryFields& fields, std::string_view key);

}  // namespace talvo
