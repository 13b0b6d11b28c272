// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the Qt test folders share: waiting for the event loop to bring
// something about.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTest>

#include <functional>

namespace kestova::test {

// Runs the event loop until `pred` holds; false when `ms` pass first.
inline bool WaitUntil(const std::function<bool()>& pred, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(5);
    }
    return true;
}

} // namespace kestova::test
