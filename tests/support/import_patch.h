#pragma once
// Replaces a function that a module imports, for the life of the object, by rewriting the
// module's import address table. Tests use it where no test double can make one platform call
// fail or do something at a chosen moment; code of that module (for a test program, also the
// library code linked into it) then calls the replacement, which may call original().
#include <windows.h>

#include <cstring>

class import_patch {
public:
    import_patch(HMODULE module, const char* dll, const char* function, void* replacement) noexcept
    {
        auto* base = reinterpret_cast<BYTE*>(module);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (!imports.VirtualAddress)
            return;
        for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name;
             ++entry) {
            if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), dll) != 0)
                continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
                base + (entry->OriginalFirstThunk ? entry->OriginalFirstThunk : entry->FirstThunk));
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
            for (; names->u1.AddressOfData; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                    continue;
                const auto* named = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(named->Name), function) != 0)
                    continue;
                slot_ = reinterpret_cast<void**>(&slots->u1.Function);
                original_ = exchange(replacement);
                return;
            }
        }
    }
    ~import_patch()
    {
        if (slot_)
            exchange(original_);
    }
    import_patch(const import_patch&) = delete;
    import_patch& operator=(const import_patch&) = delete;

    // False when the module does not import the function.
    bool active() const noexcept { return slot_ != nullptr; }
    template <class F> F* original() const noexcept { return reinterpret_cast<F*>(original_); }

private:
    void* exchange(void* value) noexcept
    {
        DWORD protection = 0;
        VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &protection);
        void* old = *slot_;
        *slot_ = value;
        VirtualProtect(slot_, sizeof(void*), protection, &protection);
        return old;
    }

    void** slot_ = nullptr;
    void* original_ = nullptr;
};
