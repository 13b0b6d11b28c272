// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Registered messages of kestova's main window: named messages that workers,
// the device link and the preview post to the window. Each name is
// registered once as a Qt event type; the event carries the name's two
// values (wParam, and lParam as a QVariant), and is always queued, so a
// worker thread may post one as its last act.

#include <QCoreApplication>
#include <QEvent>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QVariant>

namespace kestova::win {

inline constexpr const char* kMsgUsbDeviceChange = "USBDEVICECHANGE";
inline constexpr const char* kMsgDpfAttach = "DPFAttach";
inline constexpr const char* kMsgFinishThread = "FinishThread";
inline constexpr const char* kMsgDownloadFinished = "DownloadFinished";
inline constexpr const char* kMsgReceivePic = "ReceivePic";
inline constexpr const char* kMsgProcessFinish = "ProcessFinish";
inline constexpr const char* kMsgDoubleClicked = "doublecliked";

// Returns the event type registered for `name` (the same for every call).
inline QEvent::Type RegisterWindowMessage(const QString& name)
{
    static QMutex mutex;
    static QHash<QString, int> types;
    QMutexLocker lock(&mutex);
    auto it = types.find(name);
    if (it == types.end())
        it = types.insert(name, QEvent::registerEventType());
    return QEvent::Type(it.value());
}

class RegisteredMessage : public QEvent {
public:
    RegisteredMessage(const QString& name, qintptr wParam, QVariant lParam)
        : QEvent(RegisterWindowMessage(name)), name_(name), wParam_(wParam), lParam_(std::move(lParam))
    {
    }
    const QString& Name() const { return name_; }
    qintptr WParam() const { return wParam_; }
    const QVariant& LParam() const { return lParam_; }

private:
    QString name_;
    qintptr wParam_;
    QVariant lParam_;
};

// Posts a registered message to `target` (thread-safe).
inline void PostRegisteredMessage(QObject* target, const QString& name, qintptr wParam = 0, QVariant lParam = {})
{
    QCoreApplication::postEvent(target, new RegisteredMessage(name, wParam, std::move(lParam)));
}

} // namespace kestova::win
