#include <gtest/gtest.h>

#include "trellum/com.h"
#include "trellum/js_array.h"

using Trellum::CJsArray;
using Trellum::com::details::value;

namespace {

// A dispatch object that only counts its references.
class counted : public Trellum::com::details::object<counted, IDispatch> {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) noexcept override
    {
        return E_NOTIMPL;
    }
};

ULONG count_of(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

IDispatch* make_array(std::vector<IDispatch*> items)
{
    auto* array = new value<CJsArray>();
    for (IDispatch* item : items) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_DISPATCH;
        v.pdispVal = item;
        VARIANT copy;
        VariantInit(&copy);
        VariantCopy(&copy, &v);
        array->elements.push_back(copy);
    }
    IDispatch* out = nullptr;
    array->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&out));
    return out;
}

DISPID id_of(IDispatch* d, const wchar_t* name, HRESULT* hr = nullptr)
{
    DISPID id = 12345;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    const HRESULT r = d->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
    if (hr)
        *hr = r;
    return id;
}

} // namespace

TEST(JsArray, NamesMapToLengthAndDecimalIndexes)
{
    EXPECT_EQ(CJsArray::NameToDispId(L"length"), -100);
    EXPECT_EQ(CJsArray::NameToDispId(L"LENGTH"), -100);
    EXPECT_EQ(CJsArray::NameToDispId(L"Length"), -100);
    EXPECT_EQ(CJsArray::NameToDispId(L"len"), -1);
    EXPECT_EQ(CJsArray::NameToDispId(L"lengths"), -1);
    EXPECT_EQ(CJsArray::NameToDispId(L"007"), 7);
    EXPECT_EQ(CJsArray::NameToDispId(L"1a"), -1);
    EXPECT_EQ(CJsArray::NameToDispId(L""), 0);
    EXPECT_LT(CJsArray::NameToDispId(L"2147483648"), 0);
    EXPECT_EQ(CJsArray::NameToDispId(L"4294967295"), -1);
}

TEST(JsArray, GetIDsOfNamesFillsEveryEntryAndReportsUnknownNames)
{
    IDispatch* array = make_array({});
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"length"), const_cast<LPOLESTR>(L"len"), const_cast<LPOLESTR>(L"3")};
    DISPID ids[3] = {};
    EXPECT_EQ(array->GetIDsOfNames(IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], -100);
    EXPECT_EQ(ids[1], -1);
    EXPECT_EQ(ids[2], 3);
    EXPECT_EQ(array->GetIDsOfNames(IID_NULL, names, 0, 0, ids), S_OK);
    array->Release();
}

TEST(JsArray, InvokeGivesLengthElementsAndRefusesOtherMembers)
{
    auto* item = new value<counted>();
    IDispatch* element = nullptr;
    item->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&element));
    IDispatch* array = make_array({element});
    EXPECT_EQ(count_of(element), 2u); // ours and the array's

    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none = {};
    ASSERT_EQ(array->Invoke(-100, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 1);

    ASSERT_EQ(array->Invoke(id_of(array, L"0"), IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.vt, VT_DISPATCH);
    EXPECT_EQ(result.pdispVal, element);
    EXPECT_EQ(count_of(element), 3u);
    VariantClear(&result);

    EXPECT_EQ(array->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(array->Invoke(CJsArray::NameToDispId(L"2147483648"), IID_NULL, 0, 0, &none, &result, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(array->Invoke(-100, IID_NULL, 0, 0, &none, nullptr, nullptr, nullptr), E_POINTER);

    // The final release clears the elements.
    EXPECT_EQ(array->Release(), 0u);
    EXPECT_EQ(count_of(element), 1u);
    element->Release();
}

TEST(JsArray, EmptyArrayHasLengthZeroAndNoElementZero)
{
    IDispatch* array = make_array({});
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none = {};
    ASSERT_EQ(array->Invoke(-100, IID_NULL, 0, 0, &none, &result, nullptr, nullptr), S_OK);
    EXPECT_EQ(result.lVal, 0);
    EXPECT_EQ(array->Invoke(0, IID_NULL, 0, 0, &none, &result, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
    UINT count = 0;
    EXPECT_EQ(array->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(array->GetTypeInfo(0, 0, &info), E_NOTIMPL);
    array->Release();
}

TEST(JsArray, QueryInterfaceAnswersUnknownAndDispatchOnly)
{
    IDispatch* array = make_array({});
    IUnknown* unknown = nullptr;
    EXPECT_EQ(array->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(array));
    unknown->Release();
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(array->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(count_of(array), 1u);
    array->Release();
}
