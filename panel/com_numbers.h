#pragma once
// Choosing the local port number offered first by the credentials dialog.
#include <cstdint>
#include <vector>

// The lowest number from 1 up that is not in taken (sorted ascending; duplicates allowed).
// Has no upper bound: with 1 to 255 taken the answer is 256.
std::uint32_t first_free_in(const std::vector<std::uint32_t>& taken);

// The COM numbers of the present ports, ascending; empty when they cannot be listed.
std::vector<std::uint32_t> present_com_numbers();

// The lowest free COM number of this machine.
std::uint32_t first_free_com_number();
