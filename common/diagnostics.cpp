#include "diagnostics.h"

#include "owners.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

struct LogState
{
    SRWLOCK lock = SRWLOCK_INIT;
    volatile LONG level = 0;
    char part[16] = {};
    std::wstring path;
    HANDLE file = INVALID_HANDLE_VALUE;
    LONGLONG size = 0;
    bool quiet = false; // the file could not be written: nothing more until the next configure
};

LogState g_log;

thread_local char t_step[48] = {};
thread_local HRESULT t_stepResult = S_OK;

struct NamedResult
{
    HRESULT hr;
    const char *name;
};

// The results the bridge, COM and the driver's escapes give, by value: the platform's headers
// do not all define every name.
constexpr NamedResult RESULT_NAMES[] = {
    {0x00000000L, "S_OK"},
    {0x00000001L, "S_FALSE"},
    {static_cast<HRESULT>(0x80004002L), "E_NOINTERFACE"},
    {static_cast<HRESULT>(0x80004003L), "E_POINTER"},
    {static_cast<HRESULT>(0x80004004L), "E_ABORT"},
    {static_cast<HRESULT>(0x80004005L), "E_FAIL"},
    {static_cast<HRESULT>(0x8000FFFFL), "E_UNEXPECTED"},
    {static_cast<HRESULT>(0x80070005L), "E_ACCESSDENIED"},
    {static_cast<HRESULT>(0x80070006L), "E_HANDLE"},
    {static_cast<HRESULT>(0x8007000EL), "E_OUTOFMEMORY"},
    {static_cast<HRESULT>(0x80070057L), "E_INVALIDARG"},
    {static_cast<HRESULT>(0x80070002L), "ERROR_FILE_NOT_FOUND"},
    {static_cast<HRESULT>(0x80070003L), "ERROR_PATH_NOT_FOUND"},
    {static_cast<HRESULT>(0x80070015L), "ERROR_NOT_READY"},
    {static_cast<HRESULT>(0x80070020L), "ERROR_SHARING_VIOLATION"},
    {static_cast<HRESULT>(0x80070021L), "ERROR_LOCK_VIOLATION"},
    {static_cast<HRESULT>(0x80070037L), "ERROR_DEV_NOT_EXIST"},
    {static_cast<HRESULT>(0x8007007AL), "ERROR_INSUFFICIENT_BUFFER"},
    {static_cast<HRESULT>(0x800700AAL), "ERROR_BUSY"},
    {static_cast<HRESULT>(0x80070216L), "ERROR_ARITHMETIC_OVERFLOW"},
    {static_cast<HRESULT>(0x800705B4L), "ERROR_TIMEOUT"},
    {static_cast<HRESULT>(0x800706BAL), "RPC_S_SERVER_UNAVAILABLE"},
    {static_cast<HRESULT>(0x800706BEL), "RPC_S_CALL_FAILED"},
    {static_cast<HRESULT>(0x800706BFL), "RPC_S_CALL_FAILED_DNE"},
    {static_cast<HRESULT>(0x80010007L), "RPC_E_SERVER_DIED"},
    {static_cast<HRESULT>(0x80010012L), "RPC_E_SERVER_DIED_DNE"},
    {static_cast<HRESULT>(0x80010106L), "RPC_E_CHANGED_MODE"},
    {static_cast<HRESULT>(0x80010108L), "RPC_E_DISCONNECTED"},
    {static_cast<HRESULT>(0x8001010EL), "RPC_E_WRONG_THREAD"},
    {static_cast<HRESULT>(0x80040110L), "CLASS_E_NOAGGREGATION"},
    {static_cast<HRESULT>(0x80040111L), "CLASS_E_CLASSNOTAVAILABLE"},
    {static_cast<HRESULT>(0x80040154L), "REGDB_E_CLASSNOTREG"},
    {static_cast<HRESULT>(0x800401F0L), "CO_E_NOTINITIALIZED"},
    {static_cast<HRESULT>(0x800401FDL), "CO_E_OBJNOTCONNECTED"},
    {static_cast<HRESULT>(0x80080005L), "CO_E_SERVER_EXEC_FAILURE"},
    {static_cast<HRESULT>(0x80080008L), "CO_E_SERVER_STOPPING"},
};

// The settings key; a 32-bit source reads the machine's settings in the 64-bit view too, where
// an administrator writes them.
UniqueHKey OpenSettings(HKEY root)
{
    UniqueHKey key;
    if (RegOpenKeyExW(root, DIAGNOSTICS_KEY, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS)
        key.reset();
    return key;
}

DWORD ReadLevel(HKEY root, DWORD fallback)
{
    const UniqueHKey key = OpenSettings(root);
    DWORD value = 0;
    DWORD size = sizeof(value);
    return key && RegGetValueW(key.get(), nullptr, L"Level", RRF_RT_REG_DWORD, nullptr, &value,
                               &size) == ERROR_SUCCESS
               ? value
               : fallback;
}

std::wstring ReadFolder(HKEY root, const std::wstring &fallback)
{
    const UniqueHKey key = OpenSettings(root);
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    // A REG_EXPAND_SZ value comes expanded under RRF_RT_REG_SZ.
    if (!key ||
        RegGetValueW(key.get(), nullptr, L"Folder", RRF_RT_REG_SZ, nullptr, value, &size) !=
            ERROR_SUCCESS ||
        value[0] == L'\0')
        return fallback;
    return value;
}

std::wstring TemporaryFolder()
{
    wchar_t folder[MAX_PATH + 1] = {};
    return GetTempPathW(ARRAYSIZE(folder), folder) != 0 ? folder : L".";
}

void CloseFile()
{
    if (g_log.file != INVALID_HANDLE_VALUE)
        CloseHandle(g_log.file);
    g_log.file = INVALID_HANDLE_VALUE;
}

// The current file, opened on the first line; at the limit it becomes the earlier one.
bool OpenFile(size_t adding)
{
    if (g_log.file != INVALID_HANDLE_VALUE &&
        g_log.size + static_cast<LONGLONG>(adding) <= LOG_FILE_LIMIT)
        return true;
    DWORD disposition = OPEN_ALWAYS;
    if (g_log.file != INVALID_HANDLE_VALUE) {
        CloseFile();
        const std::wstring earlier = g_log.path.substr(0, g_log.path.size() - 4) + L".old.log";
        if (!MoveFileExW(g_log.path.c_str(), earlier.c_str(), MOVEFILE_REPLACE_EXISTING))
            return false;
        disposition = CREATE_ALWAYS;
    }
    // Support may read or delete it while it is written.
    g_log.file =
        CreateFileW(g_log.path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size = {};
    if (g_log.file == INVALID_HANDLE_VALUE || !GetFileSizeEx(g_log.file, &size))
        return false;
    g_log.size = size.QuadPart;
    return true;
}

} // namespace

void LogConfigure(const wchar_t *part)
{
    const DWORD level = ReadLevel(HKEY_CURRENT_USER, ReadLevel(HKEY_LOCAL_MACHINE, 0));
    std::wstring folder =
        ReadFolder(HKEY_CURRENT_USER, ReadFolder(HKEY_LOCAL_MACHINE, TemporaryFolder()));
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    const std::wstring path = folder + L"StiScannerBridge-" + part + L"-" +
                              std::to_wstring(GetCurrentProcessId()) + L".log";

    AcquireSRWLockExclusive(&g_log.lock);
    if (path != g_log.path)
        CloseFile();
    g_log.path = path;
    g_log.quiet = false;
    snprintf(g_log.part, sizeof(g_log.part), "%s", Utf8(part).c_str());
    InterlockedExchange(&g_log.level, static_cast<LONG>(level > 3 ? 3 : level));
    ReleaseSRWLockExclusive(&g_log.lock);
}

void LogClose()
{
    AcquireSRWLockExclusive(&g_log.lock);
    CloseFile();
    ReleaseSRWLockExclusive(&g_log.lock);
}

bool LogEnabled(LogLevel level)
{
    return g_log.level >= static_cast<LONG>(level) && level != LogLevel::Off;
}

void LogLine(const char *format, ...)
{
    if (g_log.level == 0)
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char line[1024];
    // The part is read under the lock that its configuration takes.
    AcquireSRWLockExclusive(&g_log.lock);
    int length =
        snprintf(line, sizeof(line), "%04u-%02u-%02u %02u:%02u:%02u.%03u %lu:%lu %s ", now.wYear,
                 now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                 GetCurrentProcessId(), GetCurrentThreadId(), g_log.part);
    va_list arguments;
    va_start(arguments, format);
    const int text = vsnprintf(line + length, sizeof(line) - length - 2, format, arguments);
    va_end(arguments);
    // A cut line still ends where the buffer does.
    length = text < 0 ? length : (std::min)(length + text, static_cast<int>(sizeof(line)) - 3);
    line[length++] = '\r';
    line[length++] = '\n';
    DWORD written = 0;
    if (!g_log.quiet) {
        if (OpenFile(length) &&
            WriteFile(g_log.file, line, static_cast<DWORD>(length), &written, nullptr) &&
            written == static_cast<DWORD>(length)) {
            g_log.size += length;
        } else {
            // A folder that cannot be written, a full disk or a file held elsewhere: go quiet.
            CloseFile();
            g_log.quiet = true;
        }
    }
    ReleaseSRWLockExclusive(&g_log.lock);
}

std::string DescribeHresult(HRESULT hr)
{
    char text[64];
    int length = snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    for (const NamedResult &named : RESULT_NAMES) {
        if (named.hr == hr) {
            snprintf(text + length, sizeof(text) - length, " %s", named.name);
            break;
        }
    }
    return text;
}

std::string LogFormat(const char *format, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    return length < 0 ? std::string() : std::string(text);
}

std::string Utf8(const wchar_t *text)
{
    if (text == nullptr)
        return "(null)";
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1)
        return std::string();
    std::string converted(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &converted[0], bytes, nullptr, nullptr);
    converted.resize(static_cast<size_t>(bytes) - 1);
    return converted;
}

HRESULT LogStep(const char *step, HRESULT hr)
{
    if (FAILED(hr) && g_log.level != 0) {
        snprintf(t_step, sizeof(t_step), "%s", step);
        t_stepResult = hr;
    }
    return hr;
}

void DropFailedStep() noexcept
{
    t_step[0] = '\0';
}

std::string TakeFailedStep()
{
    if (t_step[0] == '\0')
        return std::string();
    std::string text = std::string(", at ") + t_step + ": " + DescribeHresult(t_stepResult);
    t_step[0] = '\0';
    return text;
}

LogTimer::LogTimer()
{
    if (g_log.level != 0)
        QueryPerformanceCounter(&m_start);
}

double LogTimer::Milliseconds() const
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - m_start.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}
