#pragma once
// URL-encoded form fields, as the board's forms send them.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace board {

struct FieldRules {
    size_t max_bytes;       // bytes kept at most, cut between two Shift_JIS characters
    bool zero_ends_value;   // an escape that decodes to byte 0 ends the value unstored
};

// Decodes the field key ("id", "name", ...) from a form body. The key counts
// only whole, at a field boundary (the body's start or right after "&"); the
// first occurrence wins. "+" is a blank; "%" and two digits (0-9, upper-case
// A-F; any other character counts as 0) give one byte; an escape cut short by
// the end of the body adds nothing and ends the value. Nothing when the key
// is missing; the bytes (possibly empty, possibly holding a zero) otherwise.
std::optional<std::string> form_field(std::string_view body, std::string_view key, FieldRules rules);

// The length of text's start of at most max_bytes bytes that ends between two
// Shift_JIS characters: a lead byte (81-9F, E0-FC) and the byte after it are
// one character and stay together. A lead byte that ends text counts alone.
size_t whole_characters(std::string_view text, size_t max_bytes);

}  // namespace board
