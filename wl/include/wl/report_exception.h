#pragma once
// The top-level exception report: called only inside a catch-all handler. Shows the
// exception being handled in a message box without owner, captioned by its kind, and
// returns when the user closes it. The caller posts the quit message with -1 afterwards.
//
// Exceptions that are not standard exceptions are reported too rather than let through, so
// that nothing unwinds into the system's message dispatching: a corun::details::hresult_error
// (and operation_cancelled) shows the system's text for its HRESULT followed by the HRESULT in
// hexadecimal, anything else "Unknown error"; both with the caption "Oops... generic error".
namespace wl {

void report_exception() noexcept;

} // namespace wl
