// SPDX-License-Identifier: GPL-3.0-or-later
// kestova's start-up: language files with gaps, the working copy and its
// refresh, the title, the read-only home, no frame, and the second start.

#include "tests/win/WinTestSupport.h"
#include "KestovaVersion.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QScreen>
#include <QTest>
#include <QMenu>
#include <QProcess>
#include <QPushButton>

namespace kestova::win::test {
namespace {

// The environment of a kestova started by a test: its runtime folder (where
// the instance's socket and claim live), no display, no frame from outside.
QProcessEnvironment StartEnvironment(const QString& run)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", run);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("KESTOVA_FRAME");
    return env;
}


using Lines = std::vector<std::pair<QString, QString>>;

Lines LanguageTexts(const QString& save, int submenus)
{
    Lines l = {{"LANGUAGE_MENU", "Sprache"}, {"IDC_BUTTON_SAVE", save}};
    for (int i = 1; i <= submenus; ++i)
        l.push_back({QStringLiteral("SUBMENU_%1").arg(i), QStringLiteral("Lang %1").arg(i)});
    return l;
}

struct LanguageFileCase {
    const char* name;
    Sections file;
    int languages;            // counted
    int menuItems;            // language items in the submenu (-1: no language item at all)
    QStringList boxes;        // messages at start
    QString saveCaption;      // caption of button 1033
};

void PrintTo(const LanguageFileCase& c, std::ostream* os)
{
    *os << c.name;
}

class LanguageFile : public WinHarness, public ::testing::WithParamInterface<LanguageFileCase> {};

TEST_P(LanguageFile, CountsBuildsTheMenuAndReportsGaps)
{
    const LanguageFileCase& c = GetParam();
    WriteText(ProgramFile("LanguageUnicode.ini"), MakeIni(c.file), true);
    ASSERT_TRUE(Start());
    EXPECT_EQ(dlg->Language().LanguageNames().size(), c.languages);
    EXPECT_EQ(boxes, c.boxes);
    QMenu* menu = dlg->ContextMenu();
    if (c.menuItems < 0) {
        EXPECT_NE(menu->actions().value(0)->menu(), dlg->LanguageMenu());
    } else {
        EXPECT_EQ(menu->actions().value(0)->menu(), dlg->LanguageMenu());
        EXPECT_EQ(dlg->LanguageMenu()->actions().size(), c.menuItems);
    }
    EXPECT_EQ(C<QPushButton>(IDC_BUTTON_SAVE)->text(), c.saveCaption);
}

Sections ElevenLanguages()
{
    Sections s = {{"Language", {}}};
    for (int i = 1; i <= 11; ++i)
        s[0].second.push_back({QStringLiteral("Lan_%1").arg(i), QStringLiteral("L%1").arg(i)});
    s.push_back({"L1", LanguageTexts("Sichern", 11)});
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Win, LanguageFile,
    ::testing::Values(
        LanguageFileCase{"gap_in_names",
                         {{"Language", {{"Lan_1", "Deutsch"}, {"Lan_3", "Dansk"}}},
                          {"Deutsch", LanguageTexts("Sichern", 2)}},
                         1, 1, {}, "Sichern"},
        LanguageFileCase{"eleventh_ignored", ElevenLanguages(), 10, 10, {}, "Sichern"},
        LanguageFileCase{"missing_submenu_2",
                         {{"Language", {{"Lan_1", "Deutsch"}, {"Lan_2", "Norsk"}, {"Lan_3", "Dansk"}}},
                          {"Deutsch", {{"LANGUAGE_MENU", "Sprache"}, {"SUBMENU_1", "Deutsch"}, {"SUBMENU_3", "Dansk"}}}},
                         3, 1,
                         // at the menu's build, then at the start's language switch
                         {"Item SUBMENU_2 is not exist in LanguageUnicode.ini file!",
                          "Item SUBMENU_2 is not exist in the LanguageUnicode.ini file."},
                         "Save"},
        LanguageFileCase{"missing_language_menu",
                         {{"Language", {{"Lan_1", "Deutsch"}}}, {"Deutsch", {{"SUBMENU_1", "Deutsch"}}}},
                         1, -1, {"Item LANGUAGE_MENU is not exist in LanguageUnicode.ini file!"}, "Save"},
        LanguageFileCase{"no_language_section", {{"English", {{"IDC_BUTTON_SAVE", "Keep"}}}}, 0, -1,
                         {"Item LANGUAGE_MENU is not exist in LanguageUnicode.ini file!"}, "Save"}),
    [](const auto& info) { return std::string(info.param.name); });

// The working copy: first start, the refresh test, an index out of range.
struct WorkingCopyCase {
    const char* name;
    QString copyBefore;        // working copy before the start (empty: none)
    QString factoryChange;     // line replacing "FlashType=" in the factory file
    QString expectLanguage;    // language in use after the start
    QString expectLangIndex;   // "LangIndex" of the working copy afterwards
    bool copyReplaced;         // the working copy equals the factory file afterwards (but for the language keys)
};

void PrintTo(const WorkingCopyCase& c, std::ostream* os)
{
    *os << c.name;
}

class WorkingCopy : public WinHarness, public ::testing::WithParamInterface<WorkingCopyCase> {};

TEST_P(WorkingCopy, IsChosenRefreshedAndKeepsTheLanguage)
{
    const WorkingCopyCase& c = GetParam();
    // Three languages; English is the second, so a first start picks index 1.
    WriteText(ProgramFile("LanguageUnicode.ini"),
              MakeIni({{"Language", {{"Lan_1", "Deutsch"}, {"Lan_2", "English (US)"}, {"Lan_3", "Dansk"}}},
                       {"Deutsch", LanguageTexts("Sichern", 3)},
                       {"English (US)", LanguageTexts("Save it", 3)},
                       {"Dansk", LanguageTexts("Gem", 3)}}));
    QString factory = QStringLiteral("[info]\r\nVID=norvelta\r\nFlashType=\r\nLangIndex=0\r\nMarker=factory\r\n");
    if (!c.factoryChange.isEmpty())
        factory.replace(QStringLiteral("FlashType=\r\n"), c.factoryChange + QStringLiteral("\r\n"));
    WriteText(ProgramFile("StartInfoUnicode.ini"), factory);
    if (!c.copyBefore.isEmpty()) {
        QDir().mkpath(ConfigFile(QString()));
        WriteText(ConfigFile("StartInfoUnicode.ini"), c.copyBefore);
    }
    ASSERT_TRUE(Start());
    EXPECT_EQ(dlg->Language().CurrentName(), c.expectLanguage);
    EXPECT_EQ(WorkingValue("LangIndex"), c.expectLangIndex);
    EXPECT_EQ(WorkingValue("Language"), c.expectLanguage);
    EXPECT_EQ(WorkingValue("Marker"), c.copyReplaced ? QStringLiteral("factory") : QStringLiteral("copy"));
    EXPECT_EQ(QFile::permissions(ConfigFile(QString())) & 0x7777, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                                       QFileDevice::ExeOwner | QFileDevice::ReadUser |
                                                                       QFileDevice::WriteUser | QFileDevice::ExeUser);
}

INSTANTIATE_TEST_SUITE_P(
    Win, WorkingCopy,
    ::testing::Values(
        WorkingCopyCase{"first_start_picks_english", "", "", "English (US)", "1", true},
        WorkingCopyCase{"kept_with_its_language",
                        "[info]\r\nVID=norvelta\r\nFlashType=\r\nLangIndex=2\r\nMarker=copy\r\n", "", "Dansk", "2",
                        false},
        WorkingCopyCase{"index_7_of_3_falls_back",
                        "[info]\r\nVID=norvelta\r\nFlashType=\r\nLangIndex=7\r\nMarker=copy\r\n", "", "Deutsch", "0",
                        true},
        WorkingCopyCase{"changed_flash_type_replaces",
                        "[info]\r\nVID=norvelta\r\nFlashType=\r\nLangIndex=2\r\nMarker=copy\r\n", "FlashType=W25Q32",
                        "Deutsch", "0", true},
        WorkingCopyCase{"copy_with_other_vid_replaced",
                        "[info]\r\nVID=acme\r\nFlashType=\r\nLangIndex=2\r\nMarker=copy\r\n", "", "Deutsch",
                        "0", true},
        WorkingCopyCase{"added_cannot_del_pic_num_replaces",
                        "[info]\r\nVID=norvelta\r\nFlashType=\r\nLangIndex=2\r\nMarker=copy\r\n",
                        "FlashType=\r\nCannotDelPicNum=1", "Deutsch", "0", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WinHarness, TitlenameNamesTheCaptionAndTheAboutItemAndLongValuesAreCut)
{
    ShipFactoryFiles();
    QString factory = ReadText(ProgramFile("StartInfoUnicode.ini"));
    factory.replace(QStringLiteral("Titlename=Kestova"), QStringLiteral("Titlename=Picframe"));
    factory.replace(QStringLiteral("CorpLink="), QStringLiteral("CorpLink=") + QString(300, QLatin1Char('c')));
    // A copyright notice far wider than the screen.
    const QString notice = QStringLiteral("Copyright (C) 2026 Kestova developers. GNU GPL 3.0 or later.") +
                           QStringLiteral(" All rights to the sample pictures stay with their makers.").repeated(3);
    factory.replace(QStringLiteral("CopyRightTips=Copyright (C) 2026 Kestova developers. GNU GPL 3.0 or later."),
                    QStringLiteral("CopyRightTips=") + notice);
    WriteText(ProgramFile("StartInfoUnicode.ini"), factory);
    // A frame whose firmware text carries a terminal escape and a bell.
    adjustOptions = [&](StartOptions& o) { o.frameArg += ",firmware=V1\x1b[2J\x07"; };
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitLaidOut());
    EXPECT_EQ(dlg->windowTitle(), "Picframe[*]");
    EXPECT_EQ(dlg->AboutAction()->text(), "About Picframe(&A)...");

    // The About box, opened from its menu item with the mouse.
    QTest::mouseClick(dlg.get(), Qt::RightButton, {}, QPoint(590, 400));
    ASSERT_TRUE(WaitFor([&] { return dlg->ContextMenu()->isVisible(); }));
    const QPoint about = dlg->ContextMenu()->actionGeometry(dlg->AboutAction()).center();
    QTest::mouseMove(dlg->ContextMenu(), about);
    QTest::mouseClick(dlg->ContextMenu(), Qt::LeftButton, {}, about);
    QDialog* box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (box = dlg->findChild<QDialog*>("aboutBox")) && box->isVisible(); }));
    EXPECT_EQ(box->windowTitle(), "About Picframe");
    EXPECT_EQ(box->findChild<QLabel*>("ctl1064")->text(), "Picframe");
    auto* copyright = box->findChild<QLabel*>("ctl1066");
    EXPECT_EQ(copyright->text(), notice);
    // It wraps: the box stays within the screen, the notice takes lines.
    const QRect screen = box->screen()->availableGeometry();
    ASSERT_GT(copyright->fontMetrics().horizontalAdvance(notice), screen.width());
    EXPECT_LE(box->frameGeometry().width(), screen.width());
    EXPECT_GE(copyright->height(), 3 * copyright->fontMetrics().height());
    // Every line and the OK button lie inside the box, one under the other.
    int below = 0;
    for (const char* id : {"ctl1064", "ctl1066", "ctl1047", "ctl1048", "ctl1049", "ctl1051", "ctl1050", "ctl1"}) {
        QWidget* w = box->findChild<QWidget*>(id);
        ASSERT_NE(w, nullptr) << id;
        const QRect r(w->mapTo(box, QPoint(0, 0)), w->size());
        EXPECT_TRUE(box->rect().contains(r)) << id;
        EXPECT_GE(r.top(), below) << id;
        below = r.bottom();
    }
    EXPECT_EQ(box->findChild<QLabel*>("ctl1047")->text(), "Flash Size: 2048 KB");  // the frame's
    EXPECT_EQ(box->findChild<QLabel*>("ctl1049")->text(), "Version " KESTOVA_VERSION);
    EXPECT_EQ(box->findChild<QLabel*>("ctl1051")->text(), "LCD Size: 128 x 128");
    // Device text is shown with its control bytes escaped.
    EXPECT_EQ(box->findChild<QLabel*>("ctl1048")->text(), "Firmware Ver: V1\\x1B[2J\\x07");
    EXPECT_EQ(box->findChild<QLabel*>("ctl1050")->text(), QString(254, QLatin1Char('c')));
    QTest::mouseClick(box->findChild<QPushButton*>("ctl1"), Qt::LeftButton);
    EXPECT_TRUE(WaitFor([&] { return !dlg->findChild<QDialog*>("aboutBox"); }));

    // A switch keeps the title in the About item, in the new language.
    PickLanguageThroughMenu(2);
    EXPECT_EQ(dlg->AboutAction()->text(), "Über Picframe(&A)...");
}

TEST_F(WinHarness, ReadOnlyHomeStartsAndSaysOnceThatSettingsAreNotKept)
{
    ShipFactoryFiles();
    // The configuration folder cannot be made: a file stands where its
    // parent should be.
    WriteText(tmp.filePath("blocked"), "x");
    qputenv("XDG_CONFIG_HOME", tmp.filePath("blocked/config").toUtf8());
    // Nor the cache folder: the cache goes to the runtime folder instead.
    qputenv("XDG_CACHE_HOME", tmp.filePath("blocked/cache").toUtf8());
    const QByteArray runtimeBefore = qgetenv("XDG_RUNTIME_DIR");
    const QString run = tmp.filePath("run");
    ASSERT_TRUE(MakePrivateFolder(run));
    qputenv("XDG_RUNTIME_DIR", run.toUtf8());
    const QByteArray factoryBefore = [&] {
        QFile f(ProgramFile("StartInfoUnicode.ini"));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    const bool startedAtAll = Start();
    if (runtimeBefore.isEmpty())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", runtimeBefore);
    ASSERT_TRUE(startedAtAll);
    EXPECT_TRUE(dlg->CacheDirectory().startsWith(run + "/")) << dlg->CacheDirectory().toStdString();
    EXPECT_FALSE(dlg->SettingsKept());
    EXPECT_TRUE(dlg->StatusText().contains("will not be kept")) << dlg->StatusText().toStdString();
    // Texts come from the factory language file; a switch works but writes
    // nothing, and the factory file is never written.
    EXPECT_EQ(C<QPushButton>(IDC_BUTTON_SEND)->text(), "Synchronize");
    ASSERT_TRUE(WaitLaidOut());
    PickLanguageThroughMenu(2);
    EXPECT_EQ(C<QPushButton>(IDC_BUTTON_SEND)->text(), "Synchronisieren");
    QFile f(ProgramFile("StartInfoUnicode.ini"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), factoryBefore);
}

TEST_F(WinHarness, WithoutFrameOrWithTooFewColoursTheProgramSaysSoAndEnds)
{
    ShipFactoryFiles();
    const struct {
        bool frame;
        int depth;
        const char* box;
    } cases[] = {
        {false, 24, "Please plug in your frame using the provided USB cable and make sure that the device is in "
                    "\"UPDATE\" mode."},
        {true, 8, "The colour depth of the display is less than 16 bits; the program cannot run with it!"},
        {false, 15, "The colour depth of the display is less than 16 bits; the program cannot run with it!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.depth);
        boxes.clear();
        displayDepth = c.depth;
        EXPECT_FALSE(Start(QSize(1280, 1024), c.frame));
        EXPECT_EQ(dlg->ExitCode(), 0);
        EXPECT_EQ(boxes, QStringList({c.box}));
        EXPECT_FALSE(dlg->isVisible());
        dlg.reset();
    }
}

TEST_F(WinHarness, ASecondStartOpensNoWindowAndHandsOverItsFiles)
{
    ShipFactoryFiles();
    ASSERT_TRUE(Start());
    const QString run = tmp.filePath("run");
    ASSERT_TRUE(QDir().mkpath(run));
    QFile::setPermissions(run, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    SingleInstance first(run + "/kestova.instance");  // the plugged-in frame's
    ASSERT_FALSE(first.HandOverOrListen({}));
    ASSERT_TRUE(first.IsListening());
    QObject::connect(&first, &SingleInstance::activated, dlg.get(), &CMainDialog::ReceiveHandedFiles);

    QProcess second;
    // With no frame a started window would end with a box; a second start
    // must never get that far.
    second.setProcessEnvironment(StartEnvironment(run));
    second.setWorkingDirectory(tmp.path());
    // Names with a newline arrive whole, relative ones as this start's
    // absolute paths (not resolved in the window's own folder).
    second.start(KESTOVA_WIN_EXE, {"/pictures/a.jpg", "b c.png", "a\nb.jpg"});
    ASSERT_TRUE(second.waitForStarted());
    ASSERT_TRUE(WaitFor([&] { return second.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
    ASSERT_TRUE(WaitFor([&] { return dlg->HandedOverFiles().size() == 3; }, 5000));
    EXPECT_EQ(dlg->HandedOverFiles(),
              QStringList({"/pictures/a.jpg", tmp.filePath("b c.png"), tmp.filePath("a\nb.jpg")}));
    EXPECT_EQ(QApplication::topLevelWidgets().count(dlg.get()), 1);

    // A list over 1 MiB is refused, and the start says so.
    QStringList many;
    for (int i = 0; i < 10; ++i)
        many << "/" + QString(120 * 1024, QChar('a' + i));
    second.start(KESTOVA_WIN_EXE, many);
    ASSERT_TRUE(second.waitForStarted());
    ASSERT_TRUE(WaitFor([&] { return second.state() == QProcess::NotRunning; }, 20000));
    EXPECT_NE(second.exitCode(), 0);
    EXPECT_TRUE(second.readAllStandardError().contains("1 MiB"));
    QTest::qWait(200);
    EXPECT_EQ(dlg->HandedOverFiles().size(), 3);
}

// Starts of kestova at the same instant, a few times over: exactly one of
// each round opens a window and keeps running, the others hand over to it
// and end with 0.
TEST_F(WinHarness, StartsAtTheSameInstantOpenOneWindow)
{
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        const QString run = tmp.filePath(QStringLiteral("run%1").arg(round));
        ASSERT_TRUE(MakePrivateFolder(run));
        const QProcessEnvironment env = StartEnvironment(run);
        std::vector<std::unique_ptr<QProcess>> starts;
        for (int i = 0; i < 3; ++i) {
            starts.push_back(std::make_unique<QProcess>());
            starts.back()->setProcessEnvironment(env);
        }
        for (auto& p : starts)
            p->start(KESTOVA_WIN_EXE, {"--frame", QString::fromStdString(frame)});
        auto ended = [&] {
            int n = 0;
            for (auto& p : starts)
                n += p->state() == QProcess::NotRunning;
            return n;
        };
        ASSERT_TRUE(WaitFor([&] { return ended() >= 2; }, 20000));
        QTest::qWait(500);  // a second window would stay open
        EXPECT_EQ(ended(), 2);
        for (auto& p : starts) {
            if (p->state() == QProcess::NotRunning) {
                EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
            } else {
                p->kill();
                p->waitForFinished();
            }
        }
    }
}

// One window per frame: with a window on frame A running, a start naming
// frame B (with a picture) opens a window of its own instead of feeding A's,
// while a start naming A again, however spelled, hands over and ends.
TEST_F(WinHarness, AStartNamingAnotherFrameOpensItsOwnWindow)
{
    const QString other = tmp.filePath("other.img");
    ASSERT_TRUE(QFile::copy(QString::fromStdString(frame), other));
    const QString run = tmp.filePath("run");
    ASSERT_TRUE(MakePrivateFolder(run));
    const QProcessEnvironment env = StartEnvironment(run);
    std::vector<std::unique_ptr<QProcess>> windows;
    auto startWith = [&](const QStringList& args) {
        windows.push_back(std::make_unique<QProcess>());
        windows.back()->setProcessEnvironment(env);
        windows.back()->setWorkingDirectory(tmp.path());
        windows.back()->start(KESTOVA_WIN_EXE, args);
        return windows.back().get();
    };
    QProcess* first = startWith({"--frame", QString::fromStdString(frame)});
    ASSERT_TRUE(WaitFor([&] { return QDir(run).entryList({"*.instance"}, QDir::System).size() == 1; }));
    const struct {
        QStringList args;
        bool ownWindow;
    } cases[] = {
        {{"--frame", other, "photo.jpg"}, true},
        {{"--frame", "sub/../frame.img,sync=0", "photo.jpg"}, false},
    };
    QDir().mkpath(tmp.filePath("sub"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcess* p = startWith(c.args);
        const bool ended = WaitFor([&] { return p->state() == QProcess::NotRunning; }, c.ownWindow ? 1500 : 20000);
        EXPECT_EQ(ended, !c.ownWindow) << p->readAllStandardError().toStdString();
        if (ended) {
            EXPECT_EQ(p->exitCode(), 0);
        }
    }
    EXPECT_EQ(first->state(), QProcess::Running);
    for (auto& w : windows) {
        w->kill();
        w->waitForFinished();
    }
}

} // namespace
} // namespace kestova::win::test
