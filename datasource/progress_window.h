// The progress window shown while pages move (CAP_INDICATORS): the job's title, page N of M, a
// bar over the batch's pages, and Cancel.
#pragma once

#include <windows.h>

#include <string>

inline constexpr wchar_t PROGRESS_WINDOW_CLASS[] = L"StiBridgeSourceProgress";

class ProgressWindow
{
public:
    ProgressWindow() = default;
    ProgressWindow(const ProgressWindow &) = delete;
    ProgressWindow &operator=(const ProgressWindow &) = delete;
    ~ProgressWindow() { Close(); }

    // Owned by the application's window when it gave a real one, centred over it.
    bool Show(HINSTANCE instance, HWND parent, LONG totalPages);
    void Update(const std::wstring &job, LONG page, LONG pages, LONG pagesDone);
    // Whether the user pressed Cancel (or closed the window); handles the clicks waiting.
    bool Cancelled();
    void Close();
    HWND Window() const { return m_window; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // The window's own messages: the application may not run its loop between strips.
    void Pump();

    HWND m_window = nullptr;
    HWND m_job = nullptr;
    HWND m_page = nullptr;
    HWND m_bar = nullptr;
    HFONT m_font = nullptr;
    LONG m_total = 0;
    bool m_cancelled = false;
};
