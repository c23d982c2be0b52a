#pragma once
// Runs the simulated server (wharf_sim_server.exe, beside the test program) until destroyed;
// on the service pipe unless the arguments name another with --pipe. Each shared-ports call
// that reaches it can be waited for, and each discovery request it answered (--discovery 1)
// counted.
#include <windows.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

// The pipe the simulated server listens on unless its arguments name another.
inline constexpr wchar_t service_pipe[] = L"\\\\.\\pipe\\wharfnet_{C1862EC9-6AC5-454E-B16C-C1349EE0CBEE}_v1.01";

// True once no server listens on the service pipe, waited for at most ms. A server whose test
// ctest ended at its time-out ends with that test's process, a moment later: cases that need the
// pipe free, or start a server on it, wait for that and say so.
inline bool service_pipe_free(DWORD ms = 20000)
{
    const ULONGLONG until = GetTickCount64() + ms;
    for (bool said = false;; said = true) {
        if (!WaitNamedPipeW(service_pipe, 1) && GetLastError() == ERROR_FILE_NOT_FOUND)
            return true;
        if (!said)
            std::printf("note: a server that an earlier test left listens on the service pipe; waiting for its end\n");
        if (GetTickCount64() >= until)
            return false;
        Sleep(50);
    }
}

class sim_server_process {
public:
    explicit sim_server_process(const std::wstring& arguments)
    {
        if (arguments.find(L"--pipe") == std::wstring::npos) {
            EXPECT_TRUE(service_pipe_free()) << "a server that an earlier test left still listens on the service pipe";
        }
        const std::wstring event_name = L"wharf_test_sim_ready_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                                        std::to_wstring(GetTickCount64());
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
        const std::wstring seen_name = event_name + L"_seen";
        seen_ = CreateEventW(nullptr, FALSE, FALSE, seen_name.c_str());
        const std::wstring answered_name = event_name + L"_answered";
        answered_ = CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, answered_name.c_str());
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring exe = path;
        exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"wharf_sim_server.exe";
        std::wstring command = L"\"" + exe + L"\" --ready-event " + event_name + L" --seen-event " + seen_name +
                              L" --answered-semaphore " + answered_name +
                              L" --lifetime-ms 60000 " + arguments;
        STARTUPINFOW startup{sizeof(startup)};
        EXPECT_TRUE(CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                   nullptr, &startup, &process_));
        // The server ends with this test process even when a time-out kills the test: the job's
        // one handle is this process's, and its closing ends the job's processes.
        job_ = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        EXPECT_TRUE(job_ && SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof(limits)) &&
                    AssignProcessToJobObject(job_, process_.hProcess));
        ResumeThread(process_.hThread);
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
        if (answered_)
            CloseHandle(answered_);
        if (job_)
            CloseHandle(job_);
    }
    // True once a shared-ports call has arrived since the last wait.
    bool wait_query(DWORD ms) { return seen_ && WaitForSingleObject(seen_, ms) == WAIT_OBJECT_0; }
    // True once one more discovery request has been answered than waited for so far.
    bool wait_answered(DWORD ms) { return answered_ && WaitForSingleObject(answered_, ms) == WAIT_OBJECT_0; }
    // How many answered requests have not been waited for yet.
    long unwaited_answers()
    {
        long count = 0;
        while (wait_answered(0))
            ++count;
        return count;
    }
    bool ended_within(DWORD ms) { return WaitForSingleObject(process_.hProcess, ms) == WAIT_OBJECT_0; }
    void stop() { TerminateProcess(process_.hProcess, 0); WaitForSingleObject(process_.hProcess, INFINITE); }

private:
    PROCESS_INFORMATION process_{};
    HANDLE seen_ = nullptr;
    HANDLE answered_ = nullptr;
    HANDLE job_ = nullptr;
};
