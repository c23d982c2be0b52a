#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <numeric>

#include "corun/errors.h"
#include "free_com_number.h"
#include "port_number_argument.h"
#include "wharfcore/com_number.h"

using wharfcore::ComNumberFromPortName;
using wharfcore::FindFreeComNumber;

TEST(ComNumber, DigitsFromTheFourthCharacterUpToTheFirstNonDigit)
{
    EXPECT_EQ(ComNumberFromPortName(L"COM12"), 12u);
    EXPECT_EQ(ComNumberFromPortName(L"COM12x"), 12u);
    EXPECT_EQ(ComNumberFromPortName(L"XYZ7"), 7u);
    EXPECT_EQ(ComNumberFromPortName(L"COM007"), 7u);
}

TEST(ComNumber, ShortOrDigitlessNamesGiveZero)
{
    EXPECT_EQ(ComNumberFromPortName(L""), 0u);
    EXPECT_EQ(ComNumberFromPortName(L"COM"), 0u);
    EXPECT_EQ(ComNumberFromPortName(L"C5"), 0u);
    EXPECT_EQ(ComNumberFromPortName(L"COMx5"), 0u);
}

TEST(ComNumber, OverlongNumberStaysOutOfRangeInsteadOfWrapping)
{
    // 4294967297 is 2^32 + 1: accumulated in 32 bits it would come out as 1.
    EXPECT_GT(ComNumberFromPortName(L"COM4294967297"), wharfcore::max_com_number);
    EXPECT_GT(ComNumberFromPortName(L"COM256"), wharfcore::max_com_number);
    EXPECT_GT(ComNumberFromPortName(L"COM99999999999999999999"), wharfcore::max_com_number);
    EXPECT_EQ(ComNumberFromPortName(L"COM255"), 255u);
}

TEST(FreeComNumber, LowestGapAboveZero)
{
    EXPECT_EQ(FindFreeComNumber(std::vector<std::uint32_t>{}), 1u);
    EXPECT_EQ(FindFreeComNumber({2, 3}), 1u);
    EXPECT_EQ(FindFreeComNumber({1, 2, 3, 5}), 4u);
    EXPECT_EQ(FindFreeComNumber({0, 1, 2}), 3u);
}

TEST(FreeComNumber, DuplicateNumbersCountOnce)
{
    EXPECT_EQ(FindFreeComNumber({1, 1, 2}), 3u);
    EXPECT_EQ(FindFreeComNumber({1, 2, 2, 2, 4}), 3u);
}

TEST(FreeComNumber, AllNumbersInUseGivesOneBeyondTheRange)
{
    std::vector<std::uint32_t> all(255);
    std::iota(all.begin(), all.end(), 1u);
    EXPECT_EQ(FindFreeComNumber(all), 256u);
}

TEST(FreeComNumber, CollectKeepsListOrderAndDuplicates)
{
    const std::vector<wharfcore::ComPortRecord> ports = {{L"a", 1}, {L"b", 1}, {L"", 4}};
    EXPECT_EQ(wharfcore::CollectUsedComNumbers(ports), (std::vector<std::uint32_t>{1, 1, 4}));
}

// ---- the createPort argument


namespace {

class bstr_variant {
public:
    explicit bstr_variant(const wchar_t* text)
    {
        VariantInit(&v);
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocString(text);
    }
    ~bstr_variant() { VariantClear(&v); }
    VARIANT v;
};

wharfcore::requested_port_number from_string(const wchar_t* text)
{
    bstr_variant arg(text);
    return wharfcore::PortNumberFromArgument(arg.v);
}

} // namespace

TEST(PortNumberArgument, MissingArgumentAsksForAFreeNumber)
{
    VARIANT empty;
    VariantInit(&empty);
    EXPECT_TRUE(wharfcore::PortNumberFromArgument(empty).choose_free);
    VARIANT omitted;
    V_VT(&omitted) = VT_ERROR;
    V_ERROR(&omitted) = DISP_E_PARAMNOTFOUND;
    EXPECT_TRUE(wharfcore::PortNumberFromArgument(omitted).choose_free);
}

TEST(PortNumberArgument, StringsFollowTheComNumberRule)
{
    EXPECT_EQ(from_string(L"COM5").number, 5u);
    EXPECT_EQ(from_string(L"ABC5").number, 5u);
    EXPECT_EQ(from_string(L"COM0").number, 0u);
    EXPECT_EQ(from_string(L"X").number, 0u);
    EXPECT_GT(from_string(L"COM256").number, 255u);
    EXPECT_FALSE(from_string(L"X").choose_free);
}

TEST(PortNumberArgument, EmptyStringIsInvalidArgument)
{
    long code = S_OK;
    try {
        from_string(L"");
    } catch (const corun::details::hresult_error& e) {
        code = e.code();
    }
    EXPECT_EQ(code, E_INVALIDARG);
}

TEST(PortNumberArgument, StringPassedByReferenceIsFollowed)
{
    bstr_variant target(L"COM5");
    VARIANT byref;
    V_VT(&byref) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&byref) = &target.v;
    EXPECT_EQ(wharfcore::PortNumberFromArgument(byref).number, 5u);

    VARIANT bstrref;
    V_VT(&bstrref) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&bstrref) = &V_BSTR(&target.v);
    EXPECT_EQ(wharfcore::PortNumberFromArgument(bstrref).number, 5u);
}

TEST(PortNumberArgument, OtherTypesAreConvertedToAnInteger)
{
    VARIANT number;
    V_VT(&number) = VT_I4;
    V_I4(&number) = 5;
    EXPECT_EQ(wharfcore::PortNumberFromArgument(number).number, 5u);
    V_VT(&number) = VT_R8;
    V_R8(&number) = 7.0;
    EXPECT_EQ(wharfcore::PortNumberFromArgument(number).number, 7u);
    V_VT(&number) = VT_I4;
    V_I4(&number) = -1;
    EXPECT_GT(wharfcore::PortNumberFromArgument(number).number, 255u);
    VARIANT nothing;
    V_VT(&nothing) = VT_DISPATCH;
    V_DISPATCH(&nothing) = nullptr;
    EXPECT_EQ(wharfcore::PortNumberFromArgument(nothing).number, 0u);
    // A type that a VARIANT cannot hold cannot even be copied: just as unconvertible.
    VARIANT unknown_type;
    VariantInit(&unknown_type);
    V_VT(&unknown_type) = VT_VECTOR | VT_I4;
    wharfcore::requested_port_number requested{true, 1};
    EXPECT_NO_THROW(requested = wharfcore::PortNumberFromArgument(unknown_type));
    EXPECT_FALSE(requested.choose_free);
    EXPECT_EQ(requested.number, 0u);
}
