#include <gtest/gtest.h>

#include <string>

#include <windows.h>

#include "trellum/registry_ex.h"

namespace {

using Trellum::registry_ex::value;

// A key of its own under HKCU for each test, removed again at the end.
class RegistryValue : public testing::Test {
protected:
    void SetUp() override
    {
        path_ = L"Software\\WharfTests\\support_" + std::to_wstring(GetCurrentProcessId());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                                  nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegCloseKey(key_);
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    void set(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        ASSERT_EQ(RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
    }
    std::optional<std::wstring> read(const wchar_t* name, const std::wstring& sub = {})
    {
        value v{HKEY_CURRENT_USER, sub.empty() ? path_ : path_ + L"\\" + sub, name};
        return v.read_string();
    }

    std::wstring path_;
    HKEY key_ = nullptr;
};

TEST_F(RegistryValue, StringsLoseTheirTerminatingNulsWhateverTheirCount)
{
    set(L"Anchor Color", REG_SZ, L"255,0,0", sizeof(L"255,0,0"));
    set(L"bare", REG_SZ, L"abc", 3 * sizeof(wchar_t));
    set(L"padded", REG_SZ, L"de\0\0\0", sizeof(L"de\0\0\0"));
    set(nullptr, REG_SZ, L"default", sizeof(L"default"));
    EXPECT_EQ(read(L"Anchor Color"), std::optional<std::wstring>(L"255,0,0"));
    EXPECT_EQ(read(L"bare"), std::optional<std::wstring>(L"abc"));
    EXPECT_EQ(read(L"padded"), std::optional<std::wstring>(L"de"));
    EXPECT_EQ(read(L""), std::optional<std::wstring>(L"default"));
}

TEST_F(RegistryValue, OtherTypesAndMissingValuesGiveNoValue)
{
    const DWORD number = 0x00FF00FF;
    set(L"dword", REG_DWORD, &number, sizeof(number));
    set(L"expand", REG_EXPAND_SZ, L"%TEMP%", sizeof(L"%TEMP%"));
    set(L"multi", REG_MULTI_SZ, L"a\0b\0", sizeof(L"a\0b\0"));
    for (const wchar_t* name : {L"dword", L"expand", L"multi", L"missing"})
        EXPECT_FALSE(read(name).has_value()) << static_cast<int>(name[0]);
}

TEST_F(RegistryValue, MissingKeyIsCreatedAndKeptOpenUntilClosed)
{
    value v{HKEY_CURRENT_USER, path_ + L"\\created", L"x"};
    EXPECT_FALSE(v.read_string().has_value());
    HKEY check = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, (path_ + L"\\created").c_str(), 0, KEY_SET_VALUE, &check), ERROR_SUCCESS);
    RegSetValueExW(check, L"x", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"later"), sizeof(L"later"));
    RegCloseKey(check);
    const HKEY opened = v.key.get();
    EXPECT_EQ(v.read_string(), std::optional<std::wstring>(L"later"));
    EXPECT_EQ(v.key.get(), opened);
    v.close();
    EXPECT_FALSE(v.key);
    EXPECT_TRUE(v.path.empty() && v.name.empty());
}

TEST_F(RegistryValue, FailureToOpenRaisesTypedExceptionWithItsCode)
{
    value v{reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x12345678)), L"x", L"y"}; // no such key
    try {
        (void)v.read_string();
        FAIL() << "no exception";
    } catch (const Trellum::registry_ex::error_creating_key& e) {
        EXPECT_NE(e.code(), 0u);
        const Trellum::registry_ex::generic_exception& base = e;
        EXPECT_STREQ(static_cast<const std::runtime_error&>(base).what(), "error creating key");
    }
}

} // namespace
