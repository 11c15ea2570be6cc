#include "job_dialog.h"

#include "window_layout.h"

#include <commctrl.h>

#include <cwchar>
#include <string>

namespace {

constexpr int COLUMN_JOB = 0, COLUMN_PAGES = 1; // then the time it was scanned

std::wstring PagesText(LONG pages)
{
    return std::to_wstring(pages) + (pages == 1 ? L" page" : L" pages");
}

std::wstring TimeText(const SYSTEMTIME &time)
{
    wchar_t text[32];
    swprintf(text, ARRAYSIZE(text), L"%04u-%02u-%02u %02u:%02u", time.wYear, time.wMonth, time.wDay,
             time.wHour, time.wMinute);
    return text;
}

HWND Control(HWND parent, HINSTANCE instance, DWORD exStyle, const wchar_t *windowClass,
             const wchar_t *text, DWORD style, int id)
{
    return CreateWindowExW(exStyle, windowClass, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                           parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                           nullptr);
}

// Sizes the window's client area at 96 DPI, scaled for the monitor's.
void SizeClient(HWND window, int width, int height)
{
    RECT frame = {0, 0, Scaled(window, width), Scaled(window, height)};
    AdjustWindowRectEx(&frame, WS_POPUP | WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_DLGMODALFRAME);
    SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Place(HWND control, int x, int y, int width, int height)
{
    HWND window = GetParent(control);
    MoveWindow(control, Scaled(window, x), Scaled(window, y), Scaled(window, width),
               Scaled(window, height), FALSE);
}

} // namespace

bool JobDialog::Show(HINSTANCE instance, HWND parent, const std::vector<StoredJob> &jobs, Done done)
{
    Close();
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    if (!RegisterSourceWindowClass(instance, JOB_DIALOG_CLASS))
        return false;
    m_owner = OwnerFrom(parent);
    m_window = CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, JOB_DIALOG_CLASS,
                               L"Stored scan jobs", WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 0, 0,
                               m_owner, nullptr, instance, nullptr);
    if (m_window == nullptr)
        return false;
    SetWindowLongPtrW(m_window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrW(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&JobDialog::WindowProc));
    m_jobs = jobs;
    HWND focus = jobs.empty() ? ShowEmpty(instance) : ShowJobs(instance);
    if (focus == nullptr) {
        Close();
        return false;
    }
    m_font = CreateMessageFont();
    ApplyFont(m_window, m_font);
    m_done = std::move(done);
    // Modal to the application: its window waits until the user has chosen.
    if (m_owner != nullptr && IsWindowEnabled(m_owner)) {
        EnableWindow(m_owner, FALSE);
        m_ownerDisabled = true;
    }
    CentreOver(m_window, m_owner);
    ShowWindow(m_window, SW_SHOWNORMAL);
    SetFocus(focus);
    return true;
}

HWND JobDialog::ShowJobs(HINSTANCE instance)
{
    m_list = Control(m_window, instance, WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                     WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS, JOB_DIALOG_LIST);
    HWND transfer = Control(m_window, instance, 0, L"BUTTON", L"&Transfer",
                            WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK);
    HWND cancel = Control(m_window, instance, 0, L"BUTTON", L"Cancel", WS_TABSTOP, IDCANCEL);
    if (m_list == nullptr || transfer == nullptr || cancel == nullptr)
        return nullptr;
    SizeClient(m_window, 520, 300);
    Place(m_list, 12, 12, 496, 236);
    Place(transfer, 332, 260, 84, 28);
    Place(cancel, 424, 260, 84, 28);
    SendMessageW(m_list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    const struct
    {
        const wchar_t *title;
        int width;
        int format;
    } columns[] = {{L"Job", 250, LVCFMT_LEFT},
                   {L"Pages", 90, LVCFMT_RIGHT},
                   {L"Scanned at", 130, LVCFMT_LEFT}};
    for (int c = 0; c < 3; ++c) {
        LVCOLUMNW column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
        column.fmt = columns[c].format;
        column.cx = Scaled(m_window, columns[c].width);
        column.pszText = const_cast<wchar_t *>(columns[c].title);
        column.iSubItem = c;
        SendMessageW(m_list, LVM_INSERTCOLUMNW, c, reinterpret_cast<LPARAM>(&column));
    }
    for (size_t i = 0; i < m_jobs.size(); ++i) {
        const std::wstring texts[] = {m_jobs[i].title, PagesText(m_jobs[i].pages),
                                      TimeText(m_jobs[i].time)};
        LVITEMW item = {};
        item.mask = LVIF_TEXT | LVIF_PARAM;
        item.iItem = static_cast<int>(i);
        item.lParam = static_cast<LPARAM>(i);
        item.pszText = const_cast<wchar_t *>(texts[0].c_str());
        const int row = static_cast<int>(
            SendMessageW(m_list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        for (int c = 1; c < 3; ++c) {
            LVITEMW cell = {};
            cell.iSubItem = c;
            cell.pszText = const_cast<wchar_t *>(texts[c].c_str());
            SendMessageW(m_list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&cell));
        }
    }
    // Every job is picked until the user says otherwise; the first has the focus.
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    state.state = LVIS_SELECTED;
    SendMessageW(m_list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(&state));
    state.stateMask = state.state = LVIS_FOCUSED;
    SendMessageW(m_list, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&state));
    return m_list;
}

HWND JobDialog::ShowEmpty(HINSTANCE instance)
{
    HWND message = Control(m_window, instance, 0, L"STATIC",
                           L"There are no stored scan jobs for you on the scanner.", SS_LEFT,
                           JOB_DIALOG_MESSAGE);
    HWND close = Control(m_window, instance, 0, L"BUTTON", L"Close", WS_TABSTOP | BS_DEFPUSHBUTTON,
                         IDCANCEL);
    if (message == nullptr || close == nullptr)
        return nullptr;
    // One line and a button: the window is no taller than that.
    SizeClient(m_window, 420, 84);
    Place(message, 12, 14, 396, 20);
    Place(close, 324, 46, 84, 28);
    return close;
}

int CALLBACK JobDialog::Compare(LPARAM first, LPARAM second, LPARAM dialog)
{
    const auto *self = reinterpret_cast<const JobDialog *>(dialog);
    const StoredJob &a = self->m_jobs[static_cast<size_t>(first)];
    const StoredJob &b = self->m_jobs[static_cast<size_t>(second)];
    int order = 0;
    if (self->m_sortColumn == COLUMN_JOB) {
        order = _wcsicmp(a.title.c_str(), b.title.c_str());
    } else if (self->m_sortColumn == COLUMN_PAGES) {
        order = a.pages < b.pages ? -1 : a.pages > b.pages ? 1 : 0;
    } else {
        FILETIME timeA = {}, timeB = {};
        SystemTimeToFileTime(&a.time, &timeA);
        SystemTimeToFileTime(&b.time, &timeB);
        order = CompareFileTime(&timeA, &timeB);
    }
    return self->m_sortDown ? -order : order;
}

void JobDialog::Sort(int column)
{
    // A second click on the same heading turns the order round.
    m_sortDown = column == m_sortColumn && !m_sortDown;
    m_sortColumn = column;
    SendMessageW(m_list, LVM_SORTITEMS, reinterpret_cast<WPARAM>(this),
                 reinterpret_cast<LPARAM>(&JobDialog::Compare));
}

void JobDialog::Close()
{
    if (m_ownerDisabled) {
        m_ownerDisabled = false;
        EnableWindow(m_owner, TRUE);
    }
    m_owner = nullptr;
    if (m_window != nullptr) {
        SetWindowLongPtrW(m_window, GWLP_USERDATA, 0);
        DestroyWindow(m_window);
        m_window = nullptr;
        m_list = nullptr;
    }
    if (m_font != nullptr)
        DeleteObject(m_font);
    m_font = nullptr;
    m_done = nullptr;
}

void JobDialog::Finish(bool transfer)
{
    std::vector<size_t> chosen;
    if (transfer) {
        for (int row = -1;
             (row = static_cast<int>(SendMessageW(m_list, LVM_GETNEXTITEM, static_cast<WPARAM>(row),
                                                  LVNI_SELECTED))) >= 0;) {
            LVITEMW item = {};
            item.mask = LVIF_PARAM;
            item.iItem = row;
            SendMessageW(m_list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
            chosen.push_back(static_cast<size_t>(item.lParam));
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
    if (dialog == nullptr)
        return DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED &&
        (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        dialog->Finish(LOWORD(wParam) == IDOK);
        return 0;
    }
    if (message == WM_CLOSE) {
        dialog->Finish(false);
        return 0;
    }
    if (message == WM_NOTIFY &&
        reinterpret_cast<const NMHDR *>(lParam)->idFrom == JOB_DIALOG_LIST) {
        const auto *header = reinterpret_cast<const NMHDR *>(lParam);
        // From the keyboard too when the application's loop does not pass its messages on: Enter
        // transfers, Esc cancels; a double click transfers.
        // The list is still at work on its notification: the window acts on it afterwards.
        if (header->code == NM_RETURN || header->code == NM_DBLCLK) {
            PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        } else if (header->code == LVN_KEYDOWN &&
                   reinterpret_cast<const NMLVKEYDOWN *>(lParam)->wVKey == VK_ESCAPE) {
            PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        } else if (header->code == LVN_COLUMNCLICK) {
            dialog->Sort(reinterpret_cast<const NMLISTVIEW *>(lParam)->iSubItem);
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
