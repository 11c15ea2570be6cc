#include "job_dialog.h"

#include "window_layout.h"

#include <cwchar>
#include <string>

namespace {

std::wstring JobLine(const StoredJob &job)
{
    wchar_t line[400];
    swprintf(line, ARRAYSIZE(line), L"%ls\t%ld page%ls\t%04u-%02u-%02u %02u:%02u",
             job.title.c_str(), static_cast<long>(job.pages), job.pages == 1 ? L"" : L"s",
             job.time.wYear, job.time.wMonth, job.time.wDay, job.time.wHour, job.time.wMinute);
    return line;
}

} // namespace

bool JobDialog::Show(HINSTANCE instance, HWND parent, const std::vector<StoredJob> &jobs, Done done)
{
    Close();
    if (!RegisterSourceWindowClass(instance, JOB_DIALOG_CLASS))
        return false;
    m_window = CreateWindowExW(WS_EX_DLGMODALFRAME, JOB_DIALOG_CLASS, L"Stored scan jobs",
                               WS_POPUP | WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, CW_USEDEFAULT,
                               480, 300, parent, nullptr, instance, nullptr);
    if (m_window == nullptr)
        return false;
    SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&JobDialog::WindowProc));
    HWND focus = jobs.empty() ? ShowEmpty(instance) : ShowJobs(instance, jobs);
    if (focus == nullptr) {
        Close();
        return false;
    }
    m_done = std::move(done);
    // Modal to the application: its window waits until the user has chosen.
    m_parent = parent;
    if (m_parent != nullptr && IsWindowEnabled(m_parent)) {
        EnableWindow(m_parent, FALSE);
        m_parentDisabled = true;
    }
    ShowWindow(m_window, SW_SHOWNORMAL);
    SetFocus(focus);
    return true;
}

HWND JobDialog::ShowJobs(HINSTANCE instance, const std::vector<StoredJob> &jobs)
{
    m_list = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", nullptr,
                             WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | LBS_EXTENDEDSEL |
                                 LBS_USETABSTOPS | LBS_NOINTEGRALHEIGHT,
                             10, 10, 450, 200, m_window,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(JOB_DIALOG_LIST)),
                             instance, nullptr);
    HWND transfer = CreateWindowExW(
        0, L"BUTTON", L"Transfer", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 270, 220,
        90, 28, m_window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)), instance, nullptr);
    HWND cancel = CreateWindowExW(
        0, L"BUTTON", L"Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 370, 220, 90, 28, m_window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDCANCEL)), instance, nullptr);
    if (m_list == nullptr || transfer == nullptr || cancel == nullptr)
        return nullptr;
    for (const StoredJob &job : jobs)
        SendMessageW(m_list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(JobLine(job).c_str()));
    // Every job is picked until the user says otherwise.
    SendMessageW(m_list, LB_SETSEL, TRUE, -1);
    return transfer;
}

HWND JobDialog::ShowEmpty(HINSTANCE instance)
{
    HWND message = CreateWindowExW(
        0, L"STATIC", L"There are no stored scan jobs for you on the scanner.",
        WS_CHILD | WS_VISIBLE | SS_LEFT, 10, 10, 450, 40, m_window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(JOB_DIALOG_MESSAGE)), instance, nullptr);
    HWND close = CreateWindowExW(
        0, L"BUTTON", L"Close", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 370, 60, 90,
        28, m_window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDCANCEL)), instance, nullptr);
    // One line and a button: the window is no taller than that.
    SetWindowPos(m_window, nullptr, 0, 0, 480, 140, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return message != nullptr ? close : nullptr;
}

void JobDialog::Close()
{
    if (m_parentDisabled) {
        m_parentDisabled = false;
        EnableWindow(m_parent, TRUE);
    }
    m_parent = nullptr;
    if (m_window != nullptr) {
        SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        DestroyWindow(m_window);
        m_window = nullptr;
        m_list = nullptr;
    }
    m_done = nullptr;
}

void JobDialog::Finish(bool transfer)
{
    std::vector<size_t> chosen;
    if (transfer) {
        const LRESULT count = SendMessageW(m_list, LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            if (SendMessageW(m_list, LB_GETSEL, static_cast<WPARAM>(i), 0) > 0)
                chosen.push_back(static_cast<size_t>(i));
        }
        // Transfer with nothing picked waits for a pick.
        if (chosen.empty())
            return;
    }
    Done done = std::move(m_done);
    Close();
    if (done)
        done(chosen);
}

LRESULT CALLBACK JobDialog::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *dialog = reinterpret_cast<JobDialog *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (dialog != nullptr) {
        if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED &&
            (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
            dialog->Finish(LOWORD(wParam) == IDOK);
            return 0;
        }
        if (message == WM_CLOSE) {
            dialog->Finish(false);
            return 0;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
