// Handles that stand for the windows completion notices go to, and the
// pending notice of a running command.
#pragma once

#include "media/mci/Mci.h"

#include <QObject>

#include <mutex>

namespace mci {

/// Registers a receiver under a handle for as long as it lives. A notice for
/// a handle that is gone is dropped, as a message to a destroyed window is.
class NoticeWindow {
public:
    explicit NoticeWindow(QObject *receiver);
    ~NoticeWindow();
    NoticeWindow(const NoticeWindow &) = delete;
    NoticeWindow &operator=(const NoticeWindow &) = delete;

    DWORD_PTR handle() const { return handle_; }

private:
    DWORD_PTR handle_;
};

/// Posts a notice to the window behind `handle` (any thread).
void postNotice(DWORD_PTR handle, unsigned code, MCIDEVICEID deviceId);

/// The one notice a running play or record command has earned: it is posted
/// when the command completes, is aborted or is superseded by a new one.
class PendingNotice {
public:
    /// Arms the notice for `window` (0: no notice wanted); one still pending is superseded.
    void arm(DWORD_PTR window, MCIDEVICEID deviceId);
    /// Posts the pending notice with `code`, if there is one (any thread).
    void complete(unsigned code);

private:
    std::mutex mutex_;
    DWORD_PTR window_ = 0;
    MCIDEVICEID deviceId_ = 0;
};

} // namespace mci
