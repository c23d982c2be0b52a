#pragma once
// Runs the simulated server (wharf_sim_server.exe, beside the test program) until destroyed;
// on the service pipe unless the arguments name another with --pipe. Each shared-ports call
// that reaches it can be waited for.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

class sim_server_process {
public:
    explicit sim_server_process(const std::wstring& arguments)
    {
        const std::wstring event_name = L"wharf_test_sim_ready_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                                        std::to_wstring(GetTickCount64());
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
        const std::wstring seen_name = event_name + L"_seen";
        seen_ = CreateEventW(nullptr, FALSE, FALSE, seen_name.c_str());
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring exe = path;
        exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"wharf_sim_server.exe";
        std::wstring command = L"\"" + exe + L"\" --ready-event " + event_name + L" --seen-event " + seen_name +
                              L" --lifetime-ms 60000 " + arguments;
        STARTUPINFOW startup{sizeof(startup)};
        EXPECT_TRUE(CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &process_));
        HANDLE either[] = {ready, process_.hProcess};
        EXPECT_EQ(WaitForMultipleObjects(2, either, FALSE, 30000), WAIT_OBJECT_0) << "server did not start";
        CloseHandle(ready);
    }
    ~sim_server_process()
    {
        TerminateProcess(process_.hProcess, 0);
        WaitForSingleObject(process_.hProcess, INFINITE);
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
        if (seen_)
            CloseHandle(seen_);
    }
    // True once a shared-ports call has arrived since the last wait.
    bool wait_query(DWORD ms) { return seen_ && WaitForSingleObject(seen_, ms) == WAIT_OBJECT_0; }
    bool ended_within(DWORD ms) { return WaitForSingleObject(process_.hProcess, ms) == WAIT_OBJECT_0; }
    void stop() { TerminateProcess(process_.hProcess, 0); WaitForSingleObject(process_.hProcess, INFINITE); }

private:
    PROCESS_INFORMATION process_{};
    HANDLE seen_ = nullptr;
};
