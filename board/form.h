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
    bool whole_references = false;  // a cut never ends inside a numeric character reference
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
// With whole_references, a numeric character reference ("&#128512;", as a
// browser sends a character Shift_JIS lacks) is one character too.
size_t whole_characters(std::string_view text, size_t max_bytes, bool whole_references = false);

// Told by reference_length when the text ends before a reference could.
constexpr size_t kCutShort = static_cast<size_t>(-1);
// The longest reference a browser sends: "&#1114111;" or "&#x10FFFF;".
constexpr size_t kLongestReference = 10;

// A browser sends a character its Shift_JIS form cannot hold as a numeric
// character reference: "&#" and 1 to 7 decimal digits, or "&#x" ("&#X") and
// 1 to 6 hexadecimal digits, then ";". For text starting with "&": the
// reference's length when it is one and names a Unicode scalar value (1 to
// 10FFFF, no surrogate; "&#0;" names none); kCutShort when the text ends
// before one could end; 0 otherwise.
size_t reference_length(std::string_view text);

}  // namespace board
