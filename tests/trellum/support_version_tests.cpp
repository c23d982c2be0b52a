#include <gtest/gtest.h>

#include <windows.h>

#include "trellum/file_version.h"

namespace {

TEST(FileVersion, ProgramVersionComesLeastSignificantPartFirst)
{
    // The test program's resource says 3.1.2.45 (its file version differs on purpose).
    const product_version expected{45, 2, 1, 3};
    EXPECT_EQ(get_file_version(), expected);
}

TEST(FileVersion, ModuleWithoutVersionResourceGivesZeros)
{
    HMODULE module = LoadLibraryW(L"support_noversion.dll");
    ASSERT_NE(module, nullptr) << GetLastError();
    const product_version zero{};
    EXPECT_EQ(Trellum::details::module_product_version(module), zero);
    FreeLibrary(module);
    EXPECT_EQ(Trellum::details::module_product_version(nullptr), zero);
}

} // namespace
