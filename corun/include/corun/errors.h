#pragma once
// Failure vocabulary of both deliverables: every failure travels as an exception carrying a
// Windows HRESULT. The types deliberately do not derive from std::exception, so code that
// catches only standard exceptions does not see them.

namespace corun {
namespace details {

class hresult_error {
public:
    explicit hresult_error(long hr) noexcept : hr_(hr) {}
    long code() const noexcept { return hr_; }

private:
    long hr_;
};

// HRESULT_FROM_WIN32(ERROR_CANCELLED); always raised as this type.
inline constexpr long cancelled_hresult = static_cast<long>(0x800704C7UL);

class operation_cancelled : public hresult_error {
public:
    operation_cancelled() noexcept : hresult_error(cancelled_hresult) {}
};

// HRESULT_FROM_WIN32 for a Win32 code; 0 becomes E_FAIL because a failed call that left no
// last error must still be a failure to every caller.
long hresult_from_win32(unsigned long code) noexcept;

} // namespace details

[[noreturn]] void throw_error(long hr);
[[noreturn]] void throw_win32_error(unsigned long code);
[[noreturn]] void throw_last_error();

} // namespace corun
