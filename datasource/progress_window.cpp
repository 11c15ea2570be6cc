#include "progress_window.h"

#include "window_layout.h"

#include <commctrl.h>

#include <cwchar>

namespace {

HWND Child(HWND parent, HINSTANCE instance, const wchar_t *windowClass, DWORD style, int id)
{
    return CreateWindowExW(0, windowClass, L"", WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

} // namespace

bool ProgressWindow::Show(HINSTANCE instance, HWND parent, LONG totalPages)
{
    Close();
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    if (!RegisterSourceWindowClass(instance, PROGRESS_WINDOW_CLASS))
        return false;
    const HWND owner = OwnerFrom(parent);
    m_window = CreateWindowExW(WS_EX_DLGMODALFRAME, PROGRESS_WINDOW_CLASS,
                               L"Transferring scan jobs", WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0,
                               0, 0, owner, nullptr, instance, nullptr);
    if (m_window == nullptr)
        return false;
    SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(m_window, GWLP_WNDPROC,
                      reinterpret_cast<LONG_PTR>(&ProgressWindow::WindowProc));
    m_job = Child(m_window, instance, L"STATIC", SS_LEFT | SS_ENDELLIPSIS, 200);
    m_page = Child(m_window, instance, L"STATIC", SS_LEFT, 201);
    m_bar = Child(m_window, instance, PROGRESS_CLASSW, 0, 202);
    HWND cancel = Child(m_window, instance, L"BUTTON", WS_TABSTOP | BS_DEFPUSHBUTTON, IDCANCEL);
    SetWindowTextW(cancel, L"Cancel");
    // The layout at 96 DPI, scaled for the monitor's.
    const auto s = [this](int length) { return Scaled(m_window, length); };
    RECT frame = {0, 0, s(380), s(130)};
    AdjustWindowRectEx(&frame, WS_POPUP | WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_DLGMODALFRAME);
    SetWindowPos(m_window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    MoveWindow(m_job, s(12), s(12), s(356), s(18), FALSE);
    MoveWindow(m_page, s(12), s(34), s(356), s(18), FALSE);
    MoveWindow(m_bar, s(12), s(58), s(356), s(18), FALSE);
    MoveWindow(cancel, s(288), s(92), s(80), s(26), FALSE);
    m_font = CreateMessageFont();
    ApplyFont(m_window, m_font);
    m_total = totalPages > 0 ? totalPages : 1;
    SendMessageW(m_bar, PBM_SETRANGE32, 0, m_total);
    m_cancelled = false;
    CentreOver(m_window, owner);
    ShowWindow(m_window, SW_SHOWNOACTIVATE);
    return true;
}

void ProgressWindow::Update(const std::wstring &job, LONG page, LONG pages, LONG pagesDone)
{
    if (m_window == nullptr)
        return;
    SetWindowTextW(m_job, job.c_str());
    wchar_t text[64];
    swprintf(text, ARRAYSIZE(text), L"Page %ld of %ld", static_cast<long>(page),
             static_cast<long>(pages));
    SetWindowTextW(m_page, text);
    SendMessageW(m_bar, PBM_SETPOS, static_cast<WPARAM>(pagesDone), 0);
    Pump();
}

bool ProgressWindow::Cancelled()
{
    Pump();
    return m_cancelled;
}

void ProgressWindow::Pump()
{
    MSG message;
    while (m_window != nullptr && PeekMessageW(&message, m_window, 0, 0, PM_REMOVE)) {
        if (!IsDialogMessageW(m_window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    // The button's click comes through its own window, a child of this one.
    HWND cancel = m_window != nullptr ? GetDlgItem(m_window, IDCANCEL) : nullptr;
    while (cancel != nullptr && PeekMessageW(&message, cancel, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void ProgressWindow::Close()
{
    if (m_window != nullptr)
        DestroyWindow(m_window);
    m_window = nullptr;
    if (m_font != nullptr)
        DeleteObject(m_font);
    m_font = nullptr;
}

LRESULT CALLBACK ProgressWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *self = reinterpret_cast<ProgressWindow *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    const bool cancel =
        (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) || message == WM_CLOSE;
    if (self != nullptr && cancel) {
        // The transfer under way ends with TWRC_CANCEL; the window stays until the batch ends.
        self->m_cancelled = true;
        EnableWindow(GetDlgItem(window, IDCANCEL), FALSE);
        SetWindowTextW(self->m_page, L"Cancelling...");
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
