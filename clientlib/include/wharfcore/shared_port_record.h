#pragma once
#include <cstdint>
#include <string>

struct SharedPortRecord { std::wstring name; std::uint32_t port; };
