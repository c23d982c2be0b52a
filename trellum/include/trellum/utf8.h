#pragma once
// UTF-8 text (documents fetched from the web) to the wide strings the program works with.
#include <string>
#include <string_view>

// Ill-formed sequences become U+FFFD, as the system converts them; an empty input or a
// failed conversion gives an empty string.
std::wstring utf8_to_wide(std::string_view text);
