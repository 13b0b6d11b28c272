// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/win/WinTestSupport.h"
#include "tests/support/QtTestSupport.h"

#include "device/virtual/FrameImage.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPointer>
#include <QStringDecoder>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <memory>

namespace kestova::win::test {

void EnsureApp()
{
    if (QApplication::instance())
        return;
    static int argc = 1;
    static char arg0[] = "kestova";
    static char* argv[] = {arg0, nullptr};
    new QApplication(argc, argv);  // lives for the whole test program
    QApplication::setQuitOnLastWindowClosed(false);
    QCoreApplication::setApplicationName(QStringLiteral("kestova"));
    QCoreApplication::setOrganizationName(QStringLiteral("Kestova"));
}

void AnswerModals(QObject* owner, std::function<void(QWidget* modal)> handle)
{
    auto* timer = new QTimer(owner);
    auto seen = std::make_shared<QList<QPointer<QWidget>>>();
    QObject::connect(timer, &QTimer::timeout, timer, [seen, handle] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || seen->contains(modal))
            return;
        seen->append(modal);
        handle(modal);
    });
    timer->start(20);
}

QString ReadText(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray b = f.readAll();
    if (b.startsWith("\xFF\xFE"))
        return QStringDecoder(QStringDecoder::Utf16LE)(b.mid(2));
    return QString::fromUtf8(b.startsWith("\xEF\xBB\xBF") ? b.mid(3) : b);
}

void WriteText(const QString& path, const QString& text, bool utf16)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    if (utf16) {
        f.write("\xFF\xFE", 2);
        f.write(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    } else {
        f.write(text.toUtf8());
    }
}

QString MakeIni(const Sections& sections)
{
    QString out;
    for (const auto& [name, lines] : sections) {
        out += QLatin1Char('[') + name + QStringLiteral("]\r\n");
        for (const auto& [k, v] : lines)
            out += k + QLatin1Char('=') + v + QStringLiteral("\r\n");
    }
    return out;
}

void WinHarness::SetUp()
{
    EnsureApp();
    ASSERT_TRUE(tmp.isValid());
    qputenv("XDG_CONFIG_HOME", tmp.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_CACHE_HOME", tmp.filePath(QStringLiteral("cache")).toUtf8());
    programFolder = tmp.filePath(QStringLiteral("program"));
    QDir().mkpath(programFolder);
    frame = tmp.filePath(QStringLiteral("frame.img")).toStdString();
    FrameImageLayout layout;
    layout.maxPictures = 40;
    layout.lcdWidth = 128;
    layout.lcdHeight = 128;
    FormatFrameImage(frame, layout, true);
}

void WinHarness::TearDown()
{
    dlg.reset();
    QCoreApplication::processEvents();
}

void WinHarness::ShipFactoryFiles()
{
    for (const char* name : {"StartInfoUnicode.ini", "LanguageUnicode.ini"}) {
        const QString to = ProgramFile(QString::fromLatin1(name));
        QFile::remove(to);
        ASSERT_TRUE(QFile::copy(QStringLiteral(KESTOVA_WIN_DATA "/") + QString::fromLatin1(name), to));
        QFile::setPermissions(to, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
}

QString WinHarness::ConfigFile(const QString& name) const
{
    return tmp.filePath(QStringLiteral("config/Kestova/kestova/")) + name;
}

bool WinHarness::Start(QSize screen, bool withFrame)
{
    StartOptions o;
    o.programFolder = programFolder;
    o.frameArg = withFrame ? frame + ",sync=0" : std::string();
    o.scanMachine = false;
    o.pollIntervalMs = 30;
    o.screenSize = screen;
    o.displayDepth = displayDepth;
    o.messageBox = [this](QWidget*, const QString&, const QString& text, BoxButtons buttons) {
        boxes << text;
        boxButtons << buttons;
        return answerFor ? answerFor(text) : answer;
    };
    if (adjustOptions)
        adjustOptions(o);
    dlg = std::make_unique<CMainDialog>(o);
    started = dlg->OnInitDialog();
    if (started)
        dlg->show();
    return started;
}

bool WinHarness::WaitFor(const std::function<bool()>& pred, int ms)
{
    return kestova::test::WaitUntil(pred, ms);
}

QString WinHarness::WorkingValue(const QString& key, const QString& fallback)
{
    return QString::fromStdString(ReadProfileString(QFile::encodeName(ConfigFile(QStringLiteral("StartInfoUnicode.ini"))).toStdString(),
                                                    "info", key.toStdString(), fallback.toStdString()));
}

void WinHarness::PickLanguageThroughMenu(int index)
{
    // A free spot of the window's surface: between the button column and
    // the album frame's left edge, below the state picture.
    const QPoint spot(590, 400);
    ASSERT_EQ(dlg->childAt(spot), nullptr);
    QTest::mouseClick(dlg.get(), Qt::RightButton, {}, spot);
    QMenu* menu = dlg->ContextMenu();
    ASSERT_TRUE(WaitFor([&] { return menu->isVisible(); }, 3000));
    QAction* languageItem = menu->actions().value(0);
    ASSERT_NE(languageItem, nullptr);
    ASSERT_EQ(languageItem->menu(), dlg->LanguageMenu());
    const QPoint itemCentre = menu->actionGeometry(languageItem).center();
    QTest::mouseMove(menu, itemCentre);
    QTest::mouseClick(menu, Qt::LeftButton, {}, itemCentre);
    QMenu* sub = dlg->LanguageMenu();
    ASSERT_TRUE(WaitFor([&] { return sub->isVisible(); }, 3000));
    QAction* item = sub->actions().value(index);
    ASSERT_NE(item, nullptr);
    const QPoint c = sub->actionGeometry(item).center();
    QTest::mouseMove(sub, c);
    QTest::mouseClick(sub, Qt::LeftButton, {}, c);
    ASSERT_TRUE(WaitFor([&] { return !menu->isVisible(); }, 3000));
}

} // namespace kestova::win::test
