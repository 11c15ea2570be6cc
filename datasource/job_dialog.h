// The source's user interface: a window, modal to the application's, that lists the user's ready
// jobs in headed columns (job, pages, scanned at) that sort on a click, to pick one or several
// from, with Transfer and Cancel; with no job, it says so and offers Close. Enter transfers, Esc
// cancels.
#pragma once

#include "bridge_session.h"

#include <windows.h>

#include <functional>
#include <vector>

inline constexpr wchar_t JOB_DIALOG_CLASS[] = L"StiBridgeSourceJobs";
constexpr int JOB_DIALOG_LIST = 100;
constexpr int JOB_DIALOG_MESSAGE = 101;

class JobDialog
{
public:
    // chosen: positions in the job list, in the order the window shows them; empty for Cancel.
    using Done = std::function<void(const std::vector<size_t> &chosen)>;

    JobDialog() = default;
    JobDialog(const JobDialog &) = delete;
    JobDialog &operator=(const JobDialog &) = delete;
    ~JobDialog() { Close(); }

    // Owned by the application's window, centred over it and disabling it while it is up; with
    // no window or the desktop as the parent, owned by none.
    bool Show(HINSTANCE instance, HWND parent, const std::vector<StoredJob> &jobs, Done done);
    void Close();
    HWND Window() const { return m_window; }

private:
    // The controls of a list of jobs, or of the word that there is none; the one to focus.
    HWND ShowJobs(HINSTANCE instance);
    HWND ShowEmpty(HINSTANCE instance);
    void Sort(int column);
    static int CALLBACK Compare(LPARAM first, LPARAM second, LPARAM dialog);
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Finish(bool transfer);

    HWND m_window = nullptr;
    HWND m_list = nullptr;
    HWND m_owner = nullptr;
    HFONT m_font = nullptr;
    bool m_ownerDisabled = false;
    std::vector<StoredJob> m_jobs;
    int m_sortColumn = -1;
    bool m_sortDown = false;
    Done m_done;
};
