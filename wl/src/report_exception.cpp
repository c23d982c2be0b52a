#include "wl/report_exception.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <system_error>

#include <windows.h>

#include "corun/errors.h"

namespace wl {
namespace {

void show(const char* text, const char* caption) noexcept
{
    MessageBoxA(nullptr, text, caption, MB_ICONERROR | MB_OK);
}

// The system's text for an HRESULT (ANSI, white space trimmed) followed by the code.
std::string hresult_text(long hr)
{
    std::string text;
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        static_cast<DWORD>(hr), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    if (length != 0) {
        text.assign(buffer, length);
        LocalFree(buffer);
    }
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.pop_back();
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(hr));
    return text.empty() ? std::string(code) : text + " (" + code + ")";
}

} // namespace

void report_exception() noexcept
{
    try {
        throw;
    } catch (const std::invalid_argument& e) {
        show(e.what(), "Oops... invalid argument error");
    } catch (const std::out_of_range& e) {
        show(e.what(), "Oops... out of range error");
    } catch (const std::logic_error& e) {
        show(e.what(), "Oops... logic error");
    } catch (const std::system_error& e) {
        show(e.what(), "Oops... system error");
    } catch (const std::runtime_error& e) {
        show(e.what(), "Oops... runtime error");
    } catch (const std::exception& e) {
        show(e.what(), "Oops... generic error");
    } catch (const corun::details::hresult_error& e) {
        try {
            show(hresult_text(e.code()).c_str(), "Oops... generic error");
        } catch (...) {
            show("Unknown error", "Oops... generic error");
        }
    } catch (...) {
        show("Unknown error", "Oops... generic error");
    }
}

} // namespace wl
