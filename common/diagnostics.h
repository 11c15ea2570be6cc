// The diagnostics log that support switches on: one file per process, one line per event, quiet
// and free of cost while it is off. HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER (which wins) hold,
// under DIAGNOSTICS_KEY, "Level" (REG_DWORD, a LogLevel) and "Folder" (REG_SZ or REG_EXPAND_SZ;
// default the user's temporary folder).
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

inline constexpr wchar_t DIAGNOSTICS_KEY[] =
    L"Software\\tavrk\\twain\\StiScannerBridge\\Diagnostics";

enum class LogLevel : LONG
{
    Off = 0,
    Errors = 1,  // every failure that reaches a caller, with the step that failed
    Calls = 2,   // every bridge method and TWAIN triplet
    Traffic = 3, // also each escape and each transfer's byte counts
};

// A log file stops at this size and starts again once, the earlier one kept beside it.
inline constexpr LONGLONG LOG_FILE_LIMIT = 10LL * 1024 * 1024;

// The compiler checks the format strings where it can (MinGW's printf family: GCC and clang).
#if defined(__MINGW_PRINTF_FORMAT)
#define LOG_PRINTF_FORMAT(formatIndex, firstArgument)                                              \
    __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstArgument)))
#else
#define LOG_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

// Reads the settings again; the part names the file: StiScannerBridge-<part>-<process id>.log.
void LogConfigure(const wchar_t *part);
bool LogEnabled(LogLevel level);
// Closes the file, for a module that is unloaded.
void LogClose();
// Writes one line: local time with milliseconds, process and thread, the part, then the text
// (printf format, UTF-8). A file that cannot be written makes the log quiet until it is
// configured again.
void LogLine(const char *format, ...) LOG_PRINTF_FORMAT(1, 2);

// "0x80004005 E_FAIL", the name left out when it is not one the bridge meets.
std::string DescribeHresult(HRESULT hr);
// The text in UTF-8, "(null)" for none.
std::string Utf8(const wchar_t *text);
// A secret's presence, never its value.
inline const char *SetOrEmpty(const wchar_t *secret)
{
    return secret != nullptr && secret[0] != L'\0' ? "set" : "empty";
}

// The step that failed last on this thread (an escape, an activation), which the failure of
// the call it belongs to reports. Returns hr, so a call can be wrapped where it stands.
HRESULT LogStep(const char *step, HRESULT hr);
// Takes the step recorded since the last take: ", at <step>: <hr>", or empty.
std::string TakeFailedStep();
// Forgets the step recorded, without a word.
void DropFailedStep() noexcept;

// Milliseconds since construction, for a line's duration; nothing is measured while the log is
// off.
class LogTimer
{
public:
    LogTimer();
    double Milliseconds() const;

private:
    LARGE_INTEGER m_start = {};
};

// printf into a string, for a line's arguments.
std::string LogFormat(const char *format, ...) LOG_PRINTF_FORMAT(1, 2);
