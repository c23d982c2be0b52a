#include <locale>

#include "bracefmt/integer.h"

namespace bracefmt {
namespace details {

wchar_t thousands_separator()
{
    // Looked up once: a later change of the global locale does not change formatted numbers.
    static const wchar_t separator = std::use_facet<std::numpunct<wchar_t>>(std::locale()).thousands_sep();
    return separator;
}

} // namespace details
} // namespace bracefmt
