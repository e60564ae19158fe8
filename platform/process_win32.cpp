// The owner's program on Windows: CreateProcessW with a Unicode environment
// block; the command line is the program's name alone, quoted.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cwchar>

#include "platform/fs.h"
#include "platform/process.h"

namespace platform {
namespace {

std::wstring wide(const std::string& text, UINT code_page) {
    if (text.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

// Names compare without regard to case on Windows.
bool same_name(const std::wstring& entry, const std::wstring& variable) {
    size_t name = variable.find(L'=');
    return entry.size() > name && entry[name] == L'=' &&
           ::CompareStringOrdinal(entry.c_str(), static_cast<int>(name), variable.c_str(), static_cast<int>(name), TRUE) ==
               CSTR_EQUAL;
}

// This process's environment less the variables given, then the given ones,
// each ended by a zero, the block by another.
std::wstring environment_block(const std::vector<std::string>& variables) {
    std::vector<std::wstring> given;
    for (const std::string& v : variables) given.push_back(wide(v, CP_UTF8));
    std::wstring block;
    wchar_t* strings = ::GetEnvironmentStringsW();
    for (const wchar_t* e = strings; e && *e; e += std::wcslen(e) + 1) {
        std::wstring entry(e);
        bool replaced = false;
        for (const std::wstring& v : given) replaced = replaced || same_name(entry, v);
        if (!replaced) block += entry + L'\0';
    }
    if (strings) ::FreeEnvironmentStringsW(strings);
    for (const std::wstring& v : given) block += v + L'\0';
    block += L'\0';
    return block;
}

}  // namespace

ChildProcess::~ChildProcess() {
    if (handle_ != 0) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
    if (job_ != 0) ::CloseHandle(reinterpret_cast<HANDLE>(job_));
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& variables, std::string& reason) {
    end();
    std::wstring command = L"\"" + wide(program, 932) + L"\"";
    std::wstring environment = environment_block(variables);
    // Standard input reads nothing; the output goes where this process's goes.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nothing = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                   nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    // Started suspended and put in a job first, so that ending the job ends
    // whatever the program starts in turn (cmd.exe for a .bat, then curl).
    BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                                    CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | CREATE_SUSPENDED, environment.data(),
                                    nullptr, &startup, &process);
    DWORD error = ::GetLastError();
    if (nothing != INVALID_HANDLE_VALUE) ::CloseHandle(nothing);
    if (!started) {
        reason = reason_text(FileStatus{FileStatus::Kind::Failed, static_cast<int>(error)});
        return false;
    }
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (job && !::AssignProcessToJobObject(job, process.hProcess)) ::CloseHandle(job), job = nullptr;
    ::ResumeThread(process.hThread);
    ::CloseHandle(process.hThread);
    handle_ = reinterpret_cast<std::intptr_t>(process.hProcess);
    job_ = reinterpret_cast<std::intptr_t>(job);
    return true;
}

bool ChildProcess::running() {
    if (handle_ == 0) return false;
    HANDLE process = reinterpret_cast<HANDLE>(handle_);
    if (::WaitForSingleObject(process, 0) == WAIT_TIMEOUT) return true;
    ::CloseHandle(process);
    handle_ = 0;
    if (job_ != 0) ::CloseHandle(reinterpret_cast<HANDLE>(job_));
    job_ = 0;
    return false;
}

void ChildProcess::end() {
    if (handle_ == 0) return;
    HANDLE process = reinterpret_cast<HANDLE>(handle_);
    if (job_ != 0) ::TerminateJobObject(reinterpret_cast<HANDLE>(job_), 1);
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, 5000);
    ::CloseHandle(process);
    handle_ = 0;
    if (job_ != 0) ::CloseHandle(reinterpret_cast<HANDLE>(job_));
    job_ = 0;
}

}  // namespace platform
