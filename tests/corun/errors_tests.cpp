#include <stdexcept>

#include <gtest/gtest.h>
#include <windows.h>

#include "corun/errors.h"

namespace {

long caught_cancelled(void (*raise)())
{
    try {
        raise();
    } catch (const corun::details::operation_cancelled& e) {
        return e.code();
    } catch (...) {
    }
    return 0;
}

long caught_hresult(void (*raise)())
{
    try {
        raise();
    } catch (const corun::details::hresult_error& e) {
        return e.code();
    }
    return 0;
}

} // namespace

TEST(Errors, CancelledHresultIsAlwaysOperationCancelled)
{
    EXPECT_EQ(caught_cancelled([] { corun::throw_error(static_cast<long>(0x800704C7)); }), static_cast<long>(0x800704C7));
    EXPECT_EQ(caught_hresult([] { corun::throw_error(static_cast<long>(0x800704C7)); }), static_cast<long>(0x800704C7));
    EXPECT_EQ(caught_cancelled([] { corun::throw_win32_error(ERROR_CANCELLED); }), static_cast<long>(0x800704C7));
}

TEST(Errors, Win32CodesBecomeFailingHresults)
{
    EXPECT_EQ(caught_hresult([] { corun::throw_win32_error(5); }), static_cast<long>(0x80070005));
    EXPECT_EQ(caught_hresult([] { corun::throw_win32_error(0x12345); }), static_cast<long>(0x80072345));
    // An HRESULT handed in as a code passes unchanged.
    EXPECT_EQ(caught_hresult([] { corun::throw_win32_error(0x80004005UL); }), static_cast<long>(0x80004005));
    EXPECT_EQ(caught_cancelled([] { corun::throw_win32_error(5); }), 0);
}

TEST(Errors, FailureWithoutLastErrorIsStillAFailure)
{
    EXPECT_EQ(caught_hresult([] { corun::throw_win32_error(0); }), E_FAIL);
    EXPECT_EQ(caught_hresult([] {
                  SetLastError(0);
                  corun::throw_last_error();
              }),
              E_FAIL);
    EXPECT_EQ(caught_hresult([] {
                  SetLastError(ERROR_ACCESS_DENIED);
                  corun::throw_last_error();
              }),
              static_cast<long>(0x80070005));
}

TEST(Errors, SuccessCodeHandedToThrowErrorStillThrows)
{
    EXPECT_EQ(caught_hresult([] { corun::throw_error(1); }), 1);
}

TEST(Errors, StandardHandlersDoNotCatchThem)
{
    bool standard = false;
    bool ours = false;
    try {
        try {
            corun::throw_error(E_FAIL);
        } catch (const std::exception&) {
            standard = true;
        }
    } catch (const corun::details::hresult_error&) {
        ours = true;
    }
    EXPECT_FALSE(standard);
    EXPECT_TRUE(ours);
}
