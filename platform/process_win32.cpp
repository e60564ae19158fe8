// The owner's program on Windows: CreateProcessW with a Unicode environment
// block; the command line is the program's name alone, quoted.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cwchar>
#include <vector>

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

// A program still running ends with its job, whatever it started included.
ChildProcess::~ChildProcess() { end(); }

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& variables, std::string& reason) {
    end();
    std::wstring command = L"\"" + wide(program, 932) + L"\"";
    std::wstring environment = environment_block(variables);
    // Standard input reads nothing; the output goes where this process's goes.
    // The program inherits these three handles and nothing else (no socket of
    // the board's): each is an inheritable duplicate, named in the handle list.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nothing = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                   nullptr);
    auto inheritable = [](DWORD which) {
        HANDLE own = ::GetStdHandle(which), copy = nullptr;
        if (own == nullptr || own == INVALID_HANDLE_VALUE ||
            !::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
            return static_cast<HANDLE>(nullptr);
        return copy;
    };
    HANDLE output = inheritable(STD_OUTPUT_HANDLE), errors = inheritable(STD_ERROR_HANDLE);
    std::vector<HANDLE> handles;
    for (HANDLE h : {nothing, output, errors})
        if (h != nullptr && h != INVALID_HANDLE_VALUE) handles.push_back(h);
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> list_memory(size);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
    bool listed = ::InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                  ::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                              handles.size() * sizeof(HANDLE), nullptr, nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = listed ? sizeof startup : sizeof startup.StartupInfo;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nothing;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = errors;
    startup.lpAttributeList = listed ? list : nullptr;
    PROCESS_INFORMATION process{};
    // Started suspended and put in a job first, so that ending the job ends
    // whatever the program starts in turn (cmd.exe for a .bat, then curl).
    BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, !handles.empty(),
                                    CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | CREATE_SUSPENDED |
                                        (listed ? EXTENDED_STARTUPINFO_PRESENT : 0),
                                    environment.data(), nullptr, &startup.StartupInfo, &process);
    DWORD error = ::GetLastError();
    if (listed) ::DeleteProcThreadAttributeList(list);
    for (HANDLE h : handles) ::CloseHandle(h);
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
