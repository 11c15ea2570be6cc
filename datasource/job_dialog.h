// The source's user interface: a small window, modal to the application's, that lists the
// user's ready jobs (title, pages, time) to pick from, with Transfer and Cancel; with no job, it
// says so and offers Close.
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
    // chosen: positions in the job list, in list order; empty for Cancel.
    using Done = std::function<void(const std::vector<size_t> &chosen)>;

    JobDialog() = default;
    JobDialog(const JobDialog &) = delete;
    JobDialog &operator=(const JobDialog &) = delete;
    ~JobDialog() { Close(); }

    bool Show(HINSTANCE instance, HWND parent, const std::vector<StoredJob> &jobs, Done done);
    void Close();
    HWND Window() const { return m_window; }

private:
    // The controls of a list of jobs, or of the word that there is none; the one to focus.
    HWND ShowJobs(HINSTANCE instance, const std::vector<StoredJob> &jobs);
    HWND ShowEmpty(HINSTANCE instance);
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Finish(bool transfer);

    HWND m_window = nullptr;
    HWND m_list = nullptr;
    HWND m_parent = nullptr;
    bool m_parentDisabled = false;
    Done m_done;
};
