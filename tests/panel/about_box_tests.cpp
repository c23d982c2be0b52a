// The About box shown modally on the test's main thread, as the main window shows it, and
// driven from a second thread: its text and version, its drawing, the link's cursor and click,
// and the ways it ends.
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "about_dialog.h"
#include "screenshot.h"
#include "../support/import_patch.h"

namespace {

using namespace std::chrono_literals;

constexpr wchar_t about_title[] = L"Velmor Software Tidewell";
constexpr wchar_t link_colour_key[] = L"Software\\Microsoft\\Internet Explorer\\Settings";
constexpr wchar_t user_https_key[] = L"Software\\Classes\\https";
constexpr wchar_t user_https_command_key[] = L"Software\\Classes\\https\\shell\\open\\command";
constexpr wchar_t https_command_key[] = L"https\\shell\\open\\command";

// The About box with a way in for the test: WM_APP runs the std::function its LPARAM points
// to on the dialog's thread.
class probed_about : public about_dialog {
public:
    probed_about() : about_dialog(about_title)
    {
        handlers.on_message(WM_APP, [](wl::params p) -> __int64 {
            (*reinterpret_cast<std::function<void()>*>(p.lParam))();
            return 1;
        });
    }

    const richtext_layout& layout() const noexcept { return text_layout; }
    D2D1_RECT_F text_area() const noexcept { return text_rect; }
    D2D1_RECT_F logo_area() const noexcept { return logo_rect; }
    float pixels_per_dip() const noexcept { return dpi_x / 96.0f; }
};

// Runs call on the box's thread and returns when it has run.
void on_box_thread(HWND box, std::function<void()> call)
{
    SendMessageW(box, WM_APP, 0, reinterpret_cast<LPARAM>(&call));
}

// Returns once the box's thread has handled every message posted to it before; false when it
// has not within the time given.
bool box_handled_posted(HWND box, std::chrono::milliseconds patience)
{
    const HANDLE handled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto call = std::make_unique<std::function<void()>>([handled] { SetEvent(handled); });
    PostMessageW(box, WM_APP, 0, reinterpret_cast<LPARAM>(call.get()));
    const bool done = WaitForSingleObject(handled, static_cast<DWORD>(patience.count())) == WAIT_OBJECT_0;
    if (done)
        CloseHandle(handled);
    else
        (void)call.release(); // the box may run it yet: it and its event stay
    return done;
}

// Counts the documents that code of this program asks the shell to open, while the object lives.
class shell_openings {
public:
    shell_openings() noexcept
    {
        real_ = reinterpret_cast<shell_execute_fn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"shell32.dll"), "ShellExecuteW")));
        opened_ = 0;
        patch_.emplace(GetModuleHandleW(nullptr), "shell32.dll", "ShellExecuteW",
                       reinterpret_cast<void*>(&shell_execute));
    }
    shell_openings(const shell_openings&) = delete;
    shell_openings& operator=(const shell_openings&) = delete;
    bool active() const noexcept { return patch_ && patch_->active(); }
    int count() const noexcept { return opened_; }

private:
    using shell_execute_fn = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);

    static HINSTANCE WINAPI shell_execute(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                                          LPCWSTR directory, INT show)
    {
        ++opened_;
        return real_(window, verb, file, parameters, directory, show);
    }

    static inline shell_execute_fn real_ = nullptr;
    static inline std::atomic<int> opened_{0};
    std::optional<import_patch> patch_;
};

// Counts the threads that code of this program starts on the thread that makes the object
// (the box's thread), keeping a handle of each to wait for, while the object lives.
class thread_starts {
public:
    thread_starts() noexcept
    {
        starter_ = GetCurrentThreadId();
        real_ = reinterpret_cast<create_thread_fn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateThread")));
        patch_.emplace(GetModuleHandleW(nullptr), "kernel32.dll", "CreateThread",
                       reinterpret_cast<void*>(&create_thread));
    }
    thread_starts(const thread_starts&) = delete;
    thread_starts& operator=(const thread_starts&) = delete;
    ~thread_starts()
    {
        patch_.reset();
        std::lock_guard guard(lock_);
        for (HANDLE thread : started_)
            CloseHandle(thread);
        started_.clear();
    }
    bool active() const noexcept { return patch_ && patch_->active(); }

    std::size_t count() const
    {
        std::lock_guard guard(lock_);
        return started_.size();
    }
    // True once every thread started so far has ended.
    bool all_ended(std::chrono::milliseconds patience) const
    {
        std::vector<HANDLE> threads;
        {
            std::lock_guard guard(lock_);
            threads = started_;
        }
        return threads.empty() ||
               WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE,
                                      static_cast<DWORD>(patience.count())) == WAIT_OBJECT_0;
    }

private:
    using create_thread_fn = HANDLE(WINAPI*)(SECURITY_ATTRIBUTES*, SIZE_T, LPTHREAD_START_ROUTINE, void*, DWORD, DWORD*);

    static HANDLE WINAPI create_thread(SECURITY_ATTRIBUTES* attributes, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                       void* context, DWORD flags, DWORD* id)
    {
        const HANDLE thread = real_(attributes, stack, start, context, flags, id);
        HANDLE kept = nullptr;
        if (thread && GetCurrentThreadId() == starter_ &&
            DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &kept, SYNCHRONIZE, FALSE, 0)) {
            std::lock_guard guard(lock_);
            started_.push_back(kept);
        }
        return thread;
    }

    static inline DWORD starter_ = 0;
    static inline create_thread_fn real_ = nullptr;
    static inline std::mutex lock_;
    static inline std::vector<HANDLE> started_;
    std::optional<import_patch> patch_;
};

std::optional<std::wstring> read_string(HKEY root, const wchar_t* path, const wchar_t* name)
{
    wchar_t buffer[1024];
    DWORD size = sizeof(buffer);
    if (RegGetValueW(root, path, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(buffer);
}

bool key_exists(HKEY root, const wchar_t* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Sets (or, with no text, deletes) a string value and puts back what was there before at
// scope exit.
class scoped_string_value {
public:
    scoped_string_value(HKEY root, const wchar_t* path, const wchar_t* name, std::optional<std::wstring> text)
        : root_(root), path_(path), name_(name), saved_(read_string(root, path, name))
    {
        write(text);
    }
    scoped_string_value(const scoped_string_value&) = delete;
    scoped_string_value& operator=(const scoped_string_value&) = delete;
    ~scoped_string_value() { write(saved_); }

private:
    void write(const std::optional<std::wstring>& text)
    {
        if (text) {
            RegSetKeyValueW(root_, path_, name_, REG_SZ, text->c_str(),
                            static_cast<DWORD>((text->size() + 1) * sizeof(wchar_t)));
        } else {
            HKEY key = nullptr;
            if (RegOpenKeyExW(root_, path_, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
                RegDeleteValueW(key, name_);
                RegCloseKey(key);
            }
        }
    }

    HKEY root_;
    const wchar_t* path_;
    const wchar_t* name_;
    std::optional<std::wstring> saved_;
};

std::wstring own_directory()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L'\\') + 1);
}

// Makes the link recorder the https handler, writing to a record file of this process; the
// previous handler comes back at scope exit. The user's classes come first on Windows; Wine's
// classes root does not look at them, so the handler is set there as well.
class recording_browser {
public:
    recording_browser()
        : record_(temp_file()),
          command_line_(L"\"" + own_directory() + LINK_RECORDER + L"\" \"" + record_ + L"\" \"%1\""),
          created_key_(!key_exists(HKEY_CURRENT_USER, user_https_key)),
          user_command_(HKEY_CURRENT_USER, user_https_command_key, L"", command_line_),
          command_(HKEY_CLASSES_ROOT, https_command_key, L"", command_line_)
    {
    }
    recording_browser(const recording_browser&) = delete;
    recording_browser& operator=(const recording_browser&) = delete;
    ~recording_browser()
    {
        DeleteFileW(record_.c_str());
        if (created_key_)
            RegDeleteTreeW(HKEY_CURRENT_USER, user_https_key);
    }

    // The addresses opened so far, one per line.
    std::vector<std::string> opened() const
    {
        std::vector<std::string> lines;
        const HANDLE file = CreateFileW(record_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return lines;
        std::string text(4096, '\0');
        DWORD read = 0;
        ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
        CloseHandle(file);
        text.resize(read);
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(text.substr(start, end - start));
        return lines;
    }

private:
    static std::wstring temp_file()
    {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        const std::wstring path =
            std::wstring(folder) + L"about_link_" + std::to_wstring(GetCurrentProcessId()) + L".txt";
        DeleteFileW(path.c_str());
        return path;
    }

    std::wstring record_;
    std::wstring command_line_;
    bool created_key_;
    scoped_string_value user_command_;
    scoped_string_value command_;
};

// A visible top-level window of this module to own the box, as the main window does.
class owner_window {
public:
    owner_window()
        : window_(CreateWindowExW(0, L"STATIC", L"About box owner", WS_POPUP | WS_VISIBLE, 100, 100, 640, 400, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr))
    {
    }
    owner_window(const owner_window&) = delete;
    owner_window& operator=(const owner_window&) = delete;
    ~owner_window() { DestroyWindow(window_); }
    HWND get() const noexcept { return window_; }

private:
    HWND window_;
};

// What the driving thread can ask of a shown box.
struct box_view {
    HWND box;
    probed_about& about;

    // A point of the box's client area in pixels from one in device-independent pixels.
    POINT client_pixel(float x, float y) const
    {
        const float scale = about.pixels_per_dip();
        return POINT{static_cast<LONG>(std::lround(x * scale)), static_cast<LONG>(std::lround(y * scale))};
    }

    // The centre of the link's first piece, in client pixels.
    POINT link_centre() const
    {
        POINT point{};
        on_box_thread(box, [&] {
            const DWRITE_HIT_TEST_METRICS& piece = about.layout().links().at(0).at(0);
            const D2D1_RECT_F text = about.text_area();
            point = client_pixel(text.left + piece.left + piece.width / 2, text.top + piece.top + piece.height / 2);
        });
        return point;
    }

    // A point on the bold title, which is plain text.
    POINT title_point() const
    {
        POINT point{};
        on_box_thread(box, [&] {
            const D2D1_RECT_F text = about.text_area();
            point = client_pixel(text.left + 3, text.top + 6);
        });
        return point;
    }

    // The screen pixels (BGRX) of a client rectangle given in device-independent pixels.
    std::vector<unsigned char> screen_pixels(D2D1_RECT_F area, RECT& pixels) const
    {
        const POINT top_left = client_pixel(area.left, area.top);
        const POINT bottom_right = client_pixel(area.right, area.bottom);
        POINT corners[2] = {top_left, bottom_right};
        ClientToScreen(box, &corners[0]);
        ClientToScreen(box, &corners[1]);
        pixels = RECT{corners[0].x, corners[0].y, corners[1].x, corners[1].y};
        return capture_screen_rect(pixels);
    }

    // Counts the pixels of a client rectangle that match.
    template <class Match> int count_pixels(D2D1_RECT_F area, Match match) const
    {
        RECT pixels{};
        const std::vector<unsigned char> bgrx = screen_pixels(area, pixels);
        int count = 0;
        for (std::size_t i = 0; i + 3 < bgrx.size(); i += 4)
            count += match(bgrx[i + 2], bgrx[i + 1], bgrx[i]) ? 1 : 0;
        return count;
    }

    // The area of the link's first piece.
    D2D1_RECT_F link_area() const
    {
        D2D1_RECT_F area{};
        on_box_thread(box, [&] {
            const DWRITE_HIT_TEST_METRICS& piece = about.layout().links().at(0).at(0);
            const D2D1_RECT_F text = about.text_area();
            area = D2D1_RECT_F{text.left + piece.left, text.top + piece.top, text.left + piece.left + piece.width,
                               text.top + piece.top + piece.height};
        });
        return area;
    }

    // Asks the box for its cursor as the system does when the pointer is at a client point;
    // true when it chose the hand.
    bool shows_hand_at(POINT client) const
    {
        bool hand = false;
        on_box_thread(box, [&] {
            POINT screen = client;
            ClientToScreen(box, &screen);
            SetCursorPos(screen.x, screen.y);
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            SendMessageW(box, WM_SETCURSOR, reinterpret_cast<WPARAM>(box), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
            hand = GetCursor() == LoadCursorW(nullptr, IDC_HAND);
        });
        return hand;
    }

    void click(POINT client) const
    {
        PostMessageW(box, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(client.x, client.y));
        PostMessageW(box, WM_LBUTTONUP, 0, MAKELPARAM(client.x, client.y));
    }
};

// The first positive count within a few seconds (the screen may lag the first paint), or 0.
int eventually(const std::function<int()>& count)
{
    int n = 0;
    for (auto until = std::chrono::steady_clock::now() + 5s;
         (n = count()) == 0 && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(100ms);
    return n;
}

HWND wait_for_box(const std::atomic<bool>& ended)
{
    for (auto until = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < until && !ended;) {
        HWND box = FindWindowW(L"#32770", L"About Tidewell");
        if (box && IsWindowVisible(box))
            return box;
        std::this_thread::sleep_for(20ms);
    }
    return nullptr;
}

// Shows the box owned by a window of this module and runs script on a second thread once the
// box is visible and painted. script returns whether it ended the box; if not, the box is
// closed for it. Returns what show returned.
__int64 show_box(const std::function<bool(const box_view&)>& script)
{
    owner_window owner;
    probed_about about;
    std::atomic<bool> ended{false};
    std::thread driver([&] {
        const HWND box = wait_for_box(ended);
        if (!box) {
            ADD_FAILURE() << "the About box did not appear";
            return;
        }
        on_box_thread(box, [box] { UpdateWindow(box); });
        std::this_thread::sleep_for(300ms);
        if (!script(box_view{box, about}))
            PostMessageW(box, WM_CLOSE, 0, 0);
    });
    __int64 result = -1;
    try {
        result = about.show(owner.get());
    } catch (...) {
        ended = true;
        driver.join();
        throw;
    }
    ended = true;
    driver.join();
    return result;
}

bool is_red(unsigned r, unsigned g, unsigned b) { return r >= 200 && g <= 80 && b <= 80; }
bool is_blue(unsigned r, unsigned g, unsigned b) { return b >= 200 && r <= 80 && g <= 80; }

class AboutBoxWindow : public ::testing::Test {
protected:
    void SetUp() override { apartment_ = CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override
    {
        if (SUCCEEDED(apartment_))
            CoUninitialize();
    }

private:
    HRESULT apartment_ = E_FAIL;
};

} // namespace

TEST_F(AboutBoxWindow, ShowsTitleVersionAndLinkAndEndsWithTwoOnEscape)
{
    scoped_string_value colour(HKEY_CURRENT_USER, link_colour_key, L"Anchor Color", L"255,0,0");
    const __int64 result = show_box([](const box_view& view) {
        std::wstring text;
        std::size_t links = 0;
        on_box_thread(view.box, [&] {
            text = view.about.layout().text();
            links = view.about.layout().links().size();
        });
        EXPECT_EQ(text.rfind(std::wstring(about_title) + L"\nVersion 3.01.02.0045\n\n", 0), 0u)
            << "text: " << text.c_str();
        EXPECT_NE(text.find(std::wstring(panel::about_web_address) + L"\n"), std::wstring::npos);
        EXPECT_EQ(links, 1u);

        // The link in the browser's link colour, and the logo's dark blue in its rectangle.
        EXPECT_GT(eventually([&] { return view.count_pixels(view.link_area(), is_red); }), 0)
            << "no red pixel in the link";
        D2D1_RECT_F logo{};
        on_box_thread(view.box, [&] { logo = view.about.logo_area(); });
        const auto logo_blue = [](unsigned r, unsigned g, unsigned b) {
            return r <= 40 && g >= 60 && g <= 110 && b >= 120 && b <= 160;
        };
        EXPECT_GT(eventually([&] { return view.count_pixels(logo, logo_blue); }), 50) << "the logo is not drawn";
        EXPECT_TRUE(save_screenshot(view.box, L"about_box"));

        // Esc, as the dialog's keyboard handling sees it.
        PostMessageW(view.box, WM_KEYDOWN, VK_ESCAPE, 0);
        return true;
    });
    EXPECT_EQ(result, 2);
}

TEST_F(AboutBoxWindow, LinkWithoutBrowserSettingIsBlue)
{
    scoped_string_value colour(HKEY_CURRENT_USER, link_colour_key, L"Anchor Color", std::nullopt);
    const __int64 result = show_box([](const box_view& view) {
        EXPECT_GT(eventually([&] { return view.count_pixels(view.link_area(), is_blue); }), 0)
            << "no blue pixel in the link";
        EXPECT_EQ(view.count_pixels(view.link_area(), is_red), 0);
        return false;
    });
    EXPECT_EQ(result, 1);
}

TEST_F(AboutBoxWindow, HandCursorAndClickOnlyOnTheLinkWhichOpensOnceAndCloseEndsWithTwo)
{
    recording_browser browser;
    thread_starts starts;
    shell_openings openings;
    ASSERT_TRUE(starts.active() && openings.active());
    const __int64 result = show_box([&](const box_view& view) {
        const POINT link = view.link_centre();
        const POINT title = view.title_point();
        EXPECT_TRUE(view.shows_hand_at(link));
        EXPECT_FALSE(view.shows_hand_at(title));
        EXPECT_FALSE(view.shows_hand_at(POINT{2, 2}));

        // The link opens on a thread of its own: a click that starts none opens nothing, and
        // once the one thread has ended, nothing more can open.
        const std::size_t before = starts.count();
        view.click(title);
        EXPECT_TRUE(box_handled_posted(view.box, 30s));
        EXPECT_EQ(starts.count(), before) << "a click on plain text started an opening";
        view.click(link);
        EXPECT_TRUE(box_handled_posted(view.box, 30s));
        EXPECT_EQ(starts.count(), before + 1) << "a click on the link did not start exactly one opening";
        EXPECT_TRUE(starts.all_ended(30s)) << "the opening did not end";
        EXPECT_EQ(openings.count(), 1);
        // The browser, a process of its own, records the address once it runs.
        for (auto until = std::chrono::steady_clock::now() + 30s;
             browser.opened().empty() && std::chrono::steady_clock::now() < until;)
            std::this_thread::sleep_for(50ms);

        on_box_thread(view.box, [&] { SendMessageW(GetDlgItem(view.box, IDCANCEL), BM_CLICK, 0, 0); });
        return true;
    });
    EXPECT_EQ(result, 2);

    char address[256];
    WideCharToMultiByte(CP_UTF8, 0, panel::about_web_address, -1, address, sizeof(address), nullptr, nullptr);
    EXPECT_EQ(browser.opened(), std::vector<std::string>{address});
}
