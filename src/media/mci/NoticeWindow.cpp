// The registry of notice windows, and posting notices through it.
#include "media/mci/NoticeWindow.h"

#include <QCoreApplication>

#include <unordered_map>

namespace mci {
namespace {

std::mutex g_registryMutex;
std::unordered_map<DWORD_PTR, QObject *> g_registry;
DWORD_PTR g_nextHandle = 0x100;

} // namespace

NoticeWindow::NoticeWindow(QObject *receiver) {
    std::lock_guard<std::mutex> guard(g_registryMutex);
    handle_ = g_nextHandle++;
    g_registry[handle_] = receiver;
}

NoticeWindow::~NoticeWindow() {
    std::lock_guard<std::mutex> guard(g_registryMutex);
    g_registry.erase(handle_);
}

void postNotice(DWORD_PTR handle, unsigned code, MCIDEVICEID deviceId) {
    // Posting under the registry lock: the receiver cannot be destroyed
    // meanwhile, and Qt drops events still queued for an object it destroys.
    std::lock_guard<std::mutex> guard(g_registryMutex);
    auto it = g_registry.find(handle);
    if (it != g_registry.end())
        QCoreApplication::postEvent(it->second, new NoticeEvent(code, deviceId));
}

void PendingNotice::arm(DWORD_PTR window, MCIDEVICEID deviceId) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (window_)
        postNotice(window_, MCI_NOTIFY_SUPERSEDED, deviceId_);
    window_ = window;
    deviceId_ = deviceId;
}

void PendingNotice::complete(unsigned code) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (window_)
        postNotice(window_, code, deviceId_);
    window_ = 0;
}

} // namespace mci
