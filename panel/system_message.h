#pragma once
#include <cstdint>
#include <string>

// The system's text for an error code (an HRESULT as it is), white space tidied; empty when
// the system knows no text.
std::wstring format_system_message(std::uint32_t code);

// "Error connecting to Tidewell Library: <text> (0x........)".
std::wstring format_connect_error(const std::wstring& text, long hr);
