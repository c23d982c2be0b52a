#include <gtest/gtest.h>

#include <windows.h>

#include "trellum/file_version.h"

namespace {

TEST(FileVersion, ProgramVersionComesLeastSignificantPartFirst)
{
    // The test program's resource says 3.1.2.45; its file version differs on purpose.
    EXPECT_EQ(get_file_version(), (product_version{45, 2, 1, 3}));
}

TEST(FileVersion, ModuleWithoutVersionResourceGivesZeros)
{
    HMODULE module = LoadLibraryW(L"support_noversion.dll");
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_EQ(Trellum::details::module_product_version(module), product_version{});
    FreeLibrary(module);
}

} // namespace
