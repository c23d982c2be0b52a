#include <gtest/gtest.h>

#include <string>

#include <windows.h>

#include "trellum/registry_ex.h"

namespace {

using Trellum::registry_ex::error_creating_key;
using Trellum::registry_ex::generic_exception;
using Trellum::registry_ex::value;

// A key of its own under HKCU for each run, removed again at the end.
class RegistryValue : public testing::Test {
protected:
    void SetUp() override
    {
        path_ = L"Software\\WharfTests\\support_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                std::to_wstring(GetTickCount64());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                                  nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        if (key_)
            RegCloseKey(key_);
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }

    void set_raw(const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        ASSERT_EQ(RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
    }
    void set_text(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ)
    {
        set_raw(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    value describe(const wchar_t* name, const std::wstring& sub = {}) const
    {
        value v;
        v.root = HKEY_CURRENT_USER;
        v.path = sub.empty() ? path_ : path_ + L"\\" + sub;
        v.name = name;
        return v;
    }

    std::wstring path_;
    HKEY key_ = nullptr;
};

TEST_F(RegistryValue, StringWithTerminatorIsReadWithoutIt)
{
    set_text(L"Anchor Color", L"255,0,0");
    value v = describe(L"Anchor Color");
    EXPECT_EQ(v.read_string(), std::optional<std::wstring>(L"255,0,0"));
}

TEST_F(RegistryValue, StringStoredWithoutTerminatorOrWithSeveralIsWhole)
{
    const std::wstring bare = L"abc";
    set_raw(L"bare", REG_SZ, bare.data(), static_cast<DWORD>(bare.size() * sizeof(wchar_t)));
    const wchar_t padded[] = L"de\0\0\0";
    set_raw(L"padded", REG_SZ, padded, sizeof(padded));
    const char odd[] = {'x', 0, 'y'}; // an odd byte count leaves half a character
    set_raw(L"odd", REG_SZ, odd, sizeof(odd));

    value a = describe(L"bare");
    EXPECT_EQ(a.read_string(), std::optional<std::wstring>(L"abc"));
    value b = describe(L"padded");
    EXPECT_EQ(b.read_string(), std::optional<std::wstring>(L"de"));
    value c = describe(L"odd");
    const auto text = c.read_string();
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(text->substr(0, 1), L"x");
}

TEST_F(RegistryValue, EmptyNameReadsTheDefaultValue)
{
    set_text(nullptr, L"default text");
    value v = describe(L"");
    EXPECT_EQ(v.read_string(), std::optional<std::wstring>(L"default text"));
}

TEST_F(RegistryValue, OtherTypesAndMissingValuesGiveNoValue)
{
    const DWORD number = 0x00FF00FF;
    set_raw(L"dword", REG_DWORD, &number, sizeof(number));
    set_text(L"expand", L"%TEMP%", REG_EXPAND_SZ);
    const wchar_t multi[] = L"a\0b\0";
    set_raw(L"multi", REG_MULTI_SZ, multi, sizeof(multi));
    const unsigned char blob[] = {1, 2, 3, 4};
    set_raw(L"binary", REG_BINARY, blob, sizeof(blob));

    for (const wchar_t* name : {L"dword", L"expand", L"multi", L"binary", L"missing"}) {
        value v = describe(name);
        EXPECT_FALSE(v.read_string().has_value()) << std::string(name, name + wcslen(name));
    }
}

TEST_F(RegistryValue, KeyStaysOpenAndSeesLaterChanges)
{
    set_text(L"v", L"first");
    value v = describe(L"v");
    EXPECT_EQ(v.read_string(), std::optional<std::wstring>(L"first"));
    const HKEY opened = v.key.get();
    ASSERT_NE(opened, nullptr);
    set_text(L"v", L"a longer second text");
    EXPECT_EQ(v.read_string(), std::optional<std::wstring>(L"a longer second text"));
    EXPECT_EQ(v.key.get(), opened);

    v.close();
    EXPECT_FALSE(v.key);
    EXPECT_TRUE(v.path.empty());
    EXPECT_TRUE(v.name.empty());
}

TEST_F(RegistryValue, MissingKeyIsCreatedEmpty)
{
    value v = describe(L"Anchor Color", L"created");
    EXPECT_FALSE(v.read_string().has_value());
    HKEY check = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, (path_ + L"\\created").c_str(), 0, KEY_READ, &check), ERROR_SUCCESS);
    if (check)
        RegCloseKey(check);
}

TEST_F(RegistryValue, FailureToOpenRaisesTypedExceptionWithCode)
{
    value v;
    v.root = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x12345678)); // no such key handle
    v.path = L"x";
    v.name = L"y";
    try {
        (void)v.read_string();
        FAIL() << "no exception";
    } catch (const error_creating_key& e) {
        EXPECT_NE(e.code(), 0u);
        EXPECT_STREQ(e.what(), "error creating key");
        const generic_exception& base = e;
        const std::runtime_error& standard = base;
        (void)standard;
    }
    EXPECT_FALSE(v.key);
}

} // namespace
