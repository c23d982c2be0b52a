#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "wharfcore_under_test.h"

namespace fs = std::filesystem;

namespace {

using auto_install_t = HRESULT WINAPI(void*, DWORD);

const wchar_t knob_key[] = L"Software\\WharfTest\\Doubles\\DIFxAPI";

void set_knob(const wchar_t* name, DWORD value)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, knob_key, name, REG_DWORD, &value, sizeof(value));
}

std::wstring record(const wchar_t* name)
{
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, knob_key, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return L"";
    return buffer;
}

DWORD record_dword(const wchar_t* name)
{
    DWORD value = 0, size = sizeof(value);
    RegGetValueW(HKEY_CURRENT_USER, knob_key, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

// A package folder holding a copy of the library (under a name of its own) and, optionally,
// a DIFxAPI double beside it; deep_folders puts the package below folders whose names make
// the library's path longer than MAX_PATH.
class package {
public:
    package(const wchar_t* library_name, const char* difx_dir, int deep_folders = 0)
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, knob_key);
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        top_ = root_ = fs::path(temp) / (L"wharf_pkg_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++count_));
        for (int i = 0; i < deep_folders; ++i)
            root_ /= std::wstring(60, static_cast<wchar_t>(L'a' + i));
        fs::create_directories(root_ / L"lib");
        library_ = root_ / L"lib" / library_name;
        fs::copy_file(wharfcore_path(), library_);
        if (difx_dir)
            fs::copy_file(fs::path(windows_path(difx_dir)) / L"DIFxAPI.dll", root_ / L"lib" / L"DIFxAPI.dll");
        module_ = LoadLibraryW(library_.c_str());
        install_ = reinterpret_cast<auto_install_t*>(reinterpret_cast<void*>(GetProcAddress(module_, "AutoInstallEx")));
    }
    ~package()
    {
        if (module_)
            FreeLibrary(module_);
        std::error_code ignored;
        fs::remove_all(top_, ignored);
        RegDeleteTreeW(HKEY_CURRENT_USER, knob_key);
    }
    HRESULT run(DWORD mode) { return install_(nullptr, mode); }
    std::size_t library_path_length() const { return library_.wstring().size(); }
    fs::path inf() const { return root_ / L"wharfdrv.inf"; }
    bool difx_loaded() const { return GetModuleHandleW((root_ / L"lib" / L"DIFxAPI.dll").c_str()) != nullptr; }
    HMODULE library() const { return module_; }

private:
    static inline int count_ = 0;
    fs::path top_;
    fs::path root_;
    fs::path library_;
    HMODULE module_ = nullptr;
    auto_install_t* install_ = nullptr;
};

fs::path system_driver_file(const wchar_t* name)
{
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    return fs::path(system) / L"drivers" / L"umdf" / name;
}

// The DLLs a module imports, in lower case.
std::vector<std::string> imported_dlls(HMODULE module)
{
    std::vector<std::string> names;
    auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress)
        return names;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name; ++entry) {
        std::string name = reinterpret_cast<const char*>(base + entry->Name);
        std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(tolower(c)); });
        names.push_back(name);
    }
    return names;
}

} // namespace

TEST(AutoInstall, ModeOneLoadsNothing)
{
    package pkg(L"wharfcore.dll", DIFX_FULL_DIR);
    EXPECT_EQ(pkg.run(1), S_OK);
    EXPECT_EQ(record(L"Calls"), L"");
    EXPECT_EQ(record_dword(L"Loads"), 0u);
}

TEST(AutoInstall, LibraryLoadedByPathImportsOnlyDllsThatCannotBePlantedBesideTheProgram)
{
    // A setup program loads the library by full path, and every import that is not a KnownDLL
    // would then come from the setup program's folder first. These are KnownDLLs from Windows 7
    // on; anything else the library loads from the system folder itself.
    const std::vector<std::string> known = {"advapi32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll",
                                            "oleaut32.dll", "setupapi.dll", "user32.dll"};
    package pkg(L"wharfcore.dll", nullptr);
    ASSERT_NE(pkg.library(), nullptr);
    const auto imported = imported_dlls(pkg.library());
    EXPECT_FALSE(imported.empty());
    for (const std::string& name : imported)
        EXPECT_TRUE(std::find(known.begin(), known.end(), name) != known.end()) << name << " is imported";
}

TEST(AutoInstall, InstallModesPreinstallTheInfOneFolderAboveARenamedCopy)
{
    for (DWORD mode : {0u, 2u}) {
        package pkg(L"renamed_core.dll", DIFX_FULL_DIR);
        EXPECT_EQ(pkg.run(mode), S_OK);
        EXPECT_EQ(record(L"Calls"), L"DriverPackagePreinstallW;");
        EXPECT_EQ(fs::path(record(L"LastInf")), pkg.inf());
        EXPECT_EQ(record_dword(L"LastFlags"), 1u);
        EXPECT_EQ(record_dword(L"Loads"), 1u);
        // Unloaded again afterwards.
        EXPECT_FALSE(pkg.difx_loaded());
    }
}

TEST(AutoInstall, RemovalPassesTheInstallerRecordAndDeletesTheDriverFiles)
{
    package pkg(L"wharfcore.dll", DIFX_FULL_DIR);
    fs::create_directories(system_driver_file(L"x").parent_path());
    for (const wchar_t* name : {L"wharfdrv32.dll", L"wharfdrv64.dll", L"wharfdrv.dll"})
        CloseHandle(CreateFileW(system_driver_file(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    set_knob(L"UninstallResult", 0xE0000302); // not in the store: still a success
    EXPECT_EQ(pkg.run(3), S_OK);
    EXPECT_EQ(record(L"Calls"), L"DriverPackageUninstallW;");
    EXPECT_EQ(record(L"LastApplicationId"), L"Velmor Software.Tidewell.{A17A18FB-F1A3-4E67-9CC0-D07AB5E0269F}");
    EXPECT_EQ(record(L"LastDisplayName"), L"Velmor Software Tidewell Tidewell Driver");
    EXPECT_EQ(record(L"LastProductName"), L"Velmor Software Tidewell");
    EXPECT_EQ(record(L"LastMfgName"), L"Velmor Software Ltd.");
    EXPECT_EQ(record_dword(L"LastFlags"), 0u);
    for (const wchar_t* name : {L"wharfdrv32.dll", L"wharfdrv64.dll", L"wharfdrv.dll"})
        EXPECT_FALSE(fs::exists(system_driver_file(name)));
}

TEST(AutoInstall, ResultCodesMapToHresults)
{
    {
        package pkg(L"wharfcore.dll", DIFX_FULL_DIR);
        set_knob(L"NeedReboot", 1);
        EXPECT_EQ(pkg.run(4), S_FALSE);
    }
    {
        package pkg(L"wharfcore.dll", DIFX_FULL_DIR);
        set_knob(L"PreinstallResult", 0xE000020B);
        EXPECT_EQ(pkg.run(0), S_OK);
    }
    {
        package pkg(L"wharfcore.dll", DIFX_FULL_DIR);
        set_knob(L"PreinstallResult", ERROR_ACCESS_DENIED);
        EXPECT_EQ(pkg.run(0), static_cast<HRESULT>(0x80070005));
    }
    {
        package pkg(L"wharfcore.dll", DIFX_FULL_DIR);
        fs::create_directories(system_driver_file(L"x").parent_path());
        CloseHandle(CreateFileW(system_driver_file(L"wharfdrv.dll").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        set_knob(L"UninstallResult", 0xE0000247);
        EXPECT_EQ(pkg.run(3), static_cast<HRESULT>(0xE0000247));
        // A refused removal leaves the files alone.
        EXPECT_TRUE(fs::exists(system_driver_file(L"wharfdrv.dll")));
        fs::remove(system_driver_file(L"wharfdrv.dll"));
    }
}

TEST(AutoInstall, MissingEntryPointOrLibraryFails)
{
    {
        package pkg(L"wharfcore.dll", DIFX_PARTIAL_DIR);
        EXPECT_EQ(pkg.run(0), E_POINTER);
        EXPECT_FALSE(pkg.difx_loaded());
        EXPECT_EQ(record(L"Calls"), L"");
    }
    {
        package pkg(L"wharfcore.dll", nullptr);
        EXPECT_EQ(pkg.run(0), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    }
}

TEST(AutoInstall, LibraryPathLongerThanItsBufferFailsBeforeLoadingAnything)
{
    package pkg(L"wharfcore.dll", DIFX_FULL_DIR, 4);
    ASSERT_GT(pkg.library_path_length(), static_cast<std::size_t>(MAX_PATH));
    // A cut path would name a folder that holds neither the library nor DIFxAPI.
    EXPECT_EQ(pkg.run(0), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(pkg.difx_loaded());
    EXPECT_EQ(record(L"Calls"), L"");
}
