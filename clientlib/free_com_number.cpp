#include "free_com_number.h"

namespace wharfcore {

std::vector<std::uint32_t> CollectUsedComNumbers(const std::vector<ComPortRecord>& ports)
{
    std::vector<std::uint32_t> numbers;
    numbers.reserve(ports.size());
    for (const ComPortRecord& port : ports)
        numbers.push_back(port.comNumber);
    return numbers;
}

std::uint32_t FindFreeComNumber(const std::vector<std::uint32_t>& used) noexcept
{
    auto it = used.begin();
    while (it != used.end() && *it < 1)
        ++it;
    if (it == used.end() || *it >= 2)
        return 1;
    std::uint32_t last = *it;
    for (++it; it != used.end(); ++it) {
        if (*it == last)
            continue; // the same number held by two ports
        if (*it != last + 1)
            break;
        last = *it;
    }
    return last + 1;
}

std::uint32_t FindFreeComNumber()
{
    return FindFreeComNumber(CollectUsedComNumbers(EnumComPorts()));
}

} // namespace wharfcore
