#pragma once
// Errors of the brace-format engine. They carry no text and have no virtual members: a caller
// that catches std::exception does not see them, and a bad format string is a programming
// error that callers let propagate.

namespace bracefmt {

struct generic_exception {};

// The format string is malformed: unknown option, "?" not followed by "<", "|" or ">", a
// t( option without ")" or with "}" inside, an item not closed before the end, or sections
// nested deeper than the engine keeps.
struct bad_extended_format_string : generic_exception {};

} // namespace bracefmt
