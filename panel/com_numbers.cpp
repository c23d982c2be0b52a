#include "com_numbers.h"

#include <algorithm>

#include "wharfcore/enum_com_ports.h"

std::uint32_t first_free_in(const std::vector<std::uint32_t>& taken)
{
    auto it = std::lower_bound(taken.begin(), taken.end(), 1u);
    if (it == taken.end() || *it != 1)
        return 1;
    std::uint32_t last = *it;
    for (++it; it != taken.end() && (*it == last || *it == last + 1); ++it)
        last = *it;
    return last + 1;
}

std::vector<std::uint32_t> present_com_numbers()
{
    std::vector<std::uint32_t> numbers;
    try {
        for (const auto& record : wharfcore::EnumComPorts())
            numbers.push_back(record.comNumber);
    } catch (...) {
        return {};
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

std::uint32_t first_free_com_number()
{
    return first_free_in(present_com_numbers());
}
