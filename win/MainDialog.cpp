// SPDX-License-Identifier: GPL-3.0-or-later
// The main window of kestova: controls, start-up order, languages, layout,
// opening animation, status bar, About box, context menu, keyboard and the
// routing of commands and registered messages. The frame session's handlers
// are in MainDialogSession.cpp.

#include "win/MainDialog.h"

#include "desktop/FrameAlbum.h"
#include "flash_manager/DPF.h"
#include "session/FrameSession.h"
#include "win/Messages.h"
#include "win/QtTranslations.h"
#include "KestovaVersion.h"
#include "win/widgets/AlbumList.h"
#include "win/widgets/FolderTree.h"
#include "win/widgets/Preview.h"
#include "win/widgets/SettingDialog.h"
#include "win/widgets/TextProgressCtrl.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QShortcut>
#include <QTableWidget>
#include <QHeaderView>
#include <QSlider>
#include <QStyle>
#include <QStandardPaths>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace kestova::win {

namespace {

QString Section()
{
    return QStringLiteral("info");
}

std::string Path8(const QString& p)
{
    return QFile::encodeName(p).toStdString();
}

// The frame-state picture: a small frame with a lit or dark lamp.
QPixmap StatePixmap(bool attached)
{
    QPixmap pm(100, 45);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(70, 70, 70), 2));
    p.setBrush(QColor(235, 235, 235));
    p.drawRoundedRect(QRectF(4, 4, 56, 37), 5, 5);
    p.setBrush(attached ? QColor(120, 170, 230) : QColor(160, 160, 160));
    p.drawRect(QRectF(11, 10, 42, 25));
    p.setPen(QPen(QColor(70, 70, 70), 3));
    p.drawLine(QPointF(60, 22), QPointF(78, 22));
    p.setPen(Qt::NoPen);
    p.setBrush(attached ? QColor(40, 180, 60) : QColor(200, 50, 40));
    p.drawEllipse(QPointF(88, 22), 8, 8);
    return pm;
}

QIcon ProgramIcon()
{
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(60, 60, 60), 2));
    p.setBrush(QColor(240, 240, 240));
    p.drawRoundedRect(QRectF(2, 5, 28, 22), 4, 4);
    p.setBrush(QColor(80, 150, 220));
    p.drawRect(QRectF(6, 9, 20, 14));
    return QIcon(pm);
}

} // namespace

// The status bar: two parts, the first 100 pixels wide with "Info:", the
// second filling the rest with the status text.
class StatusBar : public QFrame {
public:
    explicit StatusBar(QWidget* parent) : QFrame(parent)
    {
        setObjectName(QStringLiteral("ctl1013"));
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(2, 2, 2, 2);
        row->setSpacing(2);
        left = new QLabel(this);
        right = new QLabel(this);
        left->setObjectName(QStringLiteral("ctl1013part0"));
        right->setObjectName(QStringLiteral("ctl1013part1"));
        for (QLabel* l : {left, right}) {
            l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            l->setTextFormat(Qt::PlainText);
        }
        // 100 pixels, or what the LCD size needs in the current language.
        left->setMinimumWidth(100);
        left->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
        row->addWidget(left);
        row->addWidget(right, 1);
    }
    QLabel* left;
    QLabel* right;
};

enum class Kind { Button, Group, Label, Tree, List, Progress, Picture, Slider };

struct CMainDialog::ControlSpec {
    int id;
    Kind kind;
    const char* caption;
    QRect tmpl;  // dialog units
    QRect wide;  // pixels at 920 x 630; height -1: computed from the text height
};

// Template order; the wide-screen rectangles of the layout.
const CMainDialog::ControlSpec CMainDialog::kControls[] = {
    {IDC_BUTTON_ZOOMIN, Kind::Button, "+", {360, 68, 70, 15}, {540, 102, 105, 23}},
    {IDC_BUTTON_ZOOMOUT, Kind::Button, "-", {360, 83, 70, 15}, {540, 125, 105, 23}},
    {IDC_BUTTON_RECT, Kind::Button, "Rect", {360, 98, 70, 15}, {540, 147, 105, 23}},
    {IDC_BUTTON_CHANGE_L, Kind::Button, "RotateL", {360, 113, 70, 15}, {540, 170, 105, 23}},
    {IDC_BUTTON_CHANGE, Kind::Button, "RotateR", {360, 128, 70, 15}, {540, 192, 105, 23}},
    {IDC_BTN_ADDTODPF, Kind::Button, "Add", {360, 143, 70, 15}, {540, 215, 105, 23}},
    {IDC_BTN_SETTING, Kind::Button, "Setting", {359, 178, 70, 15}, {540, 267, 105, 23}},
    {IDC_BUTTON_SAVE, Kind::Button, "Save", {431, 18, 82, 15}, {647, 27, 123, 23}},
    {IDC_BUTTON_SAVEALL, Kind::Button, "SaveAll", {514, 18, 82, 15}, {771, 27, 123, 23}},
    {IDC_BUTTON_SELECTALL, Kind::Button, "All", {431, 33, 82, 15}, {647, 50, 123, 23}},
    {IDC_BUTTON_DELECT, Kind::Button, "Delete", {514, 33, 82, 15}, {771, 50, 123, 23}},
    {IDC_BUTTON_SEND, Kind::Button, "Synchronize", {431, 49, 82, 15}, {647, 74, 123, 23}},
    {IDC_EXIT, Kind::Button, "Exit", {514, 49, 82, 15}, {771, 74, 123, 23}},
    {IDC_LIST_ALBUM, Kind::List, nullptr, {432, 65, 164, 255}, {648, 98, 245, -1}},
    {IDC_TREE_FOLDER, Kind::Tree, nullptr, {1, 7, 175, 92}, {2, 11, 265, 138}},
    {IDC_STATIC_PREVIEW, Kind::Group, "Preview\xef\xbc\x9a", {1, 104, 358, 266}, {2, 155, 537, 400}},
    {IDC_STATIC_COUNTER, Kind::Label, "Total Pictures:\n 0 / 0", {433, 324, 162, 25}, {650, -1, 243, -1}},
    {IDC_STATIC_PICSINDPF, Kind::Group, "Pictures In Preview Album:", {430, 7, 169, 362}, {645, 11, 254, 543}},
    {IDC_PROGRESS, Kind::Progress, nullptr, {431, 352, 165, 15}, {647, 528, 248, 23}},
    {IDC_STATE_PICTURE, Kind::Picture, nullptr, {360, 9, 21, 21}, {542, 14, 100, 45}},
    {IDC_STATIC_JPGQUALITY, Kind::Label, "Jpg Quality:", {363, 62, 64, 9}, {545, 93, 98, 14}},
    {IDC_SLIDER_QUALITY, Kind::Slider, nullptr, {360, 72, 67, 13}, {540, 108, 101, 20}},
    {IDC_LIST_BROWSER, Kind::List, nullptr, {180, 7, 175, 92}, {270, 11, 268, 138}},
};

namespace {
// Dialog units to pixels for the template's font (average character 6 x 13
// pixels): x * 6 / 4, y * 13 / 8.
QRect DluToPixels(const QRect& r)
{
    return QRect(r.x() * 6 / 4, r.y() * 13 / 8, r.width() * 6 / 4, r.height() * 13 / 8);
}
constexpr QSize kTemplateSize(600, 395);
const QRect kPreviewStart(QPoint(17, 175), QPoint(521, 519));  // (17,175)-(522,520)
const QRect kPreviewWide(17, 180, 505, 355);
} // namespace

CMainDialog::CMainDialog(StartOptions options, QWidget* parent) : QDialog(parent), options_(std::move(options))
{
    setObjectName(QStringLiteral("CMainDialog"));
    setWindowTitle(QStringLiteral("Kestova"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setAcceptDrops(true);
    opening_.fullSize = DluToPixels(QRect(QPoint(0, 0), kTemplateSize)).size();
    CreateControls();
    qApp->installEventFilter(this);
}

CMainDialog::~CMainDialog()
{
    qApp->removeEventFilter(this);
    if (menus_.aboutBox)
        delete menus_.aboutBox;
    // The worker ends before anything it uses goes: a read stops at its next
    // picture, a commit between two pictures.
    frame_.reset();
}

void CMainDialog::CreateControls()
{
    for (const ControlSpec& c : kControls) {
        QWidget* w = nullptr;
        const QString caption = c.caption ? QString::fromUtf8(c.caption) : QString();
        switch (c.kind) {
        case Kind::Button: {
            auto* b = new QPushButton(caption, this);
            b->setAutoDefault(false);
            b->setDefault(false);
            const int id = c.id;
            connect(b, &QPushButton::clicked, this, [this, id] { OnCommand(id); });
            w = b;
            break;
        }
        case Kind::Group:
            w = new QGroupBox(caption, this);
            break;
        case Kind::Label: {
            auto* l = new QLabel(caption, this);
            l->setTextFormat(Qt::PlainText);
            if (c.id == IDC_STATIC_COUNTER) {
                l->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
                l->setWordWrap(true);
                counter_ = l;
            }
            w = l;
            break;
        }
        case Kind::Tree: {
            tree_ = new CPictureFolderTree(this);
            w = tree_;
            break;
        }
        case Kind::List: {
            if (c.id == IDC_LIST_ALBUM) {
                albumList_ = new CAlbumList(this);
                w = albumList_;
            } else {
                browserList_ = new CBrowserList(this);
                w = browserList_;
            }
            break;
        }
        case Kind::Progress:
            progress_ = new CTextProgressCtrl(this);
            w = progress_;
            break;
        case Kind::Picture:
            statePicture_ = new QLabel(this);
            statePicture_->setScaledContents(true);
            statePicture_->setPixmap(StatePixmap(false));
            w = statePicture_;
            break;
        case Kind::Slider: {
            auto* s = new QSlider(Qt::Horizontal, this);
            w = s;
            break;
        }
        }
        w->setObjectName(QStringLiteral("ctl%1").arg(c.id));
        w->setGeometry(DluToPixels(c.tmpl));
        controls_.insert(c.id, w);
    }
    // Group frames lie under the controls they surround.
    for (int id : {IDC_STATIC_PREVIEW, IDC_STATIC_PICSINDPF})
        controls_[id]->lower();
    statusBar_ = new StatusBar(this);
    statusBar_->hide();

    // The tree empties and fills the browser list (the window's first and
    // second user messages), and asks for a double-clicked picture to be added.
    connect(tree_, &CPictureFolderTree::clearBrowserList, browserList_, &CBrowserList::Clear);
    connect(tree_, &CPictureFolderTree::filesFound, browserList_, &CBrowserList::AddPaths);
    connect(tree_, &CFolderTree::addPictureRequested, this, &CMainDialog::OnAddFromTree);
    connect(browserList_, &QListWidget::itemSelectionChanged, this, &CMainDialog::OnBrowserSelection);
    connect(albumList_, &QListWidget::itemSelectionChanged, this, &CMainDialog::OnAlbumSelection);
    // A right click on the album list opens the window's context menu.
    connect(albumList_, &CAlbumList::rightButtonDown, this, &CMainDialog::ShowContextMenu);
}

QPushButton* CMainDialog::Button(int id) const
{
    return qobject_cast<QPushButton*>(controls_.value(id));
}

// ---------------------------------------------------------------------------
// Start-up

bool CMainDialog::OnInitDialog()
{
    // The About item (the window manager owns the system menu, so it lives
    // at the end of the context menu).
    settings_.aboutText = QStringLiteral("About Kestova(&A)...");
    setWindowIcon(ProgramIcon());

    // The quality slider and its label stay hidden.
    if (QWidget* s = controls_.value(IDC_SLIDER_QUALITY)) {
        s->hide();
        s->setEnabled(false);
    }
    controls_.value(IDC_STATIC_JPGQUALITY)->hide();

    StartAnimation();

    menus_.context = new QMenu(this);
    menus_.context->setObjectName(QStringLiteral("contextMenu"));

    // Program folder and factory settings.
    files_.programFolder = options_.programFolder.isEmpty() ? FindProgramFolder(QCoreApplication::applicationDirPath())
                                                      : options_.programFolder;
    files_.factorySettings = QDir(files_.programFolder).filePath(QStringLiteral("StartInfoUnicode.ini"));
    files_.workingSettings = files_.factorySettings;
    settings_.jpgQuality = ReadFactoryInt(QStringLiteral("JpgQuality"), 90);
    settings_.titleName = ReadFactoryString(QStringLiteral("Titlename"), QStringLiteral("Kestova"));
    settings_.progressCtrl = ReadFactoryString(QStringLiteral("ProgressCtrl"), QStringLiteral("ON"));
    settings_.corpLink = ReadFactoryString(QStringLiteral("CorpLink"), QString());
    SetWindowTitleFrom(settings_.titleName);

    // The user's folders and the fresh copy of the language file.
    ChooseFolders();
    const QString factoryLanguage = QDir(files_.programFolder).filePath(QStringLiteral("LanguageUnicode.ini"));
    if (files_.settingsKept) {
        MakeNormal(TempLanguagePath());
        CopyOver(factoryLanguage, TempLanguagePath());
        MakeNormal(TempSettingsPath());
    }
    // Without a copy the factory file is read directly.
    lang_.SetFile(QFileInfo::exists(TempLanguagePath()) && files_.settingsKept ? TempLanguagePath() : factoryLanguage);

    settings_.firmwareVer = ReadTempString(QStringLiteral("FirmwareVer"), QString());

    // Languages and the context menu; until a language is chosen the first
    // one's texts are used.
    lang_.SetCurrent(0);
    lang_.CountLanguages();
    BuildLanguageMenu();

    ChooseWorkingCopyAndLanguage();

    // Preview, initially at (17, 175)-(522, 520).
    preview_ = new CPreview(this);
    preview_->setObjectName(QStringLiteral("ctl123"));
    preview_->setGeometry(kPreviewStart);
    preview_->show();
    controls_.insert(IDC_PREVIEW, preview_);
    connect(preview_, &CPreview::doublecliked, this,
            [this] { PostRegisteredMessage(this, QString::fromLatin1(kMsgDoubleClicked)); });
    connect(preview_, &CPreview::rightButtonDown, this,
            [this](const QPoint& pos) { ShowContextMenu(preview_->mapToGlobal(pos)); });

    // The browser list's one icon.
    browserList_->SetItemIcon(QApplication::style()->standardIcon(QStyle::SP_FileIcon));

    // Cache folder: its bitmaps and the staging file are removed at every
    // start.
    QString cacheRoot = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (!MakePrivateFolder(cacheRoot)) {
        // A home that cannot be written (read-only, full): the runtime
        // folder is private to the user too, and without a cache folder no
        // album could be listed.
        const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        cacheRoot = runtime.isEmpty() ? QString()
                                      : QDir(runtime).filePath(QCoreApplication::applicationName() +
                                                               QStringLiteral("-cache"));
        if (!MakePrivateFolder(cacheRoot))
            cacheRoot.clear();
    }
    cache_.Open(cacheRoot);

    statusBar_->show();
    statusBar_->left->setText(LookupText(QStringLiteral("STATUSBAR_LEFT"), QStringLiteral("Info:")));
    resizeEvent(nullptr);
    CreateAccelerators();

    // Display check.
    int depth = options_.displayDepth;
    if (depth <= 0 && QGuiApplication::primaryScreen())
        depth = QGuiApplication::primaryScreen()->depth();
    if (depth > 0 && depth < 16) {
        Box(LookupText(QStringLiteral("SYSTEMCOLOR_TIPS"),
                       QStringLiteral("The color quality of the system is less than 16 bit, the application "
                                      "cannot use in this situation!")));
        exitCode_ = 0;
        return false;
    }

    CreateFacade();

    // The folder tree's roots; their texts come with the language.
    tree_->Fill();
    SetupTooltips();

    SwitchLanguage(kFirstLanguageCommand + lang_.Current());

    if (auto* slider = qobject_cast<QSlider*>(controls_.value(IDC_SLIDER_QUALITY))) {
        slider->setRange(10, 100);
        slider->setValue(settings_.jpgQuality);
        slider->setPageStep(1);
    }

    if (!StartUpDeviceCheck())
        return false;

    if (!files_.settingsKept)
        SetStatusText(LookupText(QStringLiteral("SETTINGS_NOT_KEPT_TIPS"),
                                 QStringLiteral("Your settings cannot be saved (the settings folder cannot be "
                                                "written); changes will not be kept.")));
    if (!options_.files.isEmpty())
        ReceiveHandedFiles(options_.files);
    return true;
}

void CMainDialog::ChooseFolders()
{
    // Settings beside the user's other settings, caches in the user's cache
    // folder; both private to the user.
    files_.configDir = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    files_.settingsKept = MakePrivateFolder(files_.configDir);
}

QString CMainDialog::TempSettingsPath() const
{
    return files_.configDir.isEmpty() ? QString() : QDir(files_.configDir).filePath(QStringLiteral("StartInfoUnicode.ini"));
}

QString CMainDialog::TempLanguagePath() const
{
    return files_.configDir.isEmpty() ? QString() : QDir(files_.configDir).filePath(QStringLiteral("LanguageUnicode.ini"));
}

void CMainDialog::ChooseWorkingCopyAndLanguage()
{
    const QString copy = TempSettingsPath();
    if (!files_.settingsKept) {
        // Nothing can be kept: the factory settings are read (never written)
        // and the language is chosen as on a first start.
        files_.workingSettings = files_.factorySettings;
    } else if (QFileInfo::exists(copy)) {
        files_.workingSettings = copy;
        bool refresh = false;
        for (const auto& [key, fallback] : {std::pair{"VID", "norvelta"}, std::pair{"CannotDelPicNum", ""},
                                             std::pair{"CannotSavePicNum", ""}, std::pair{"FlashType", ""}}) {
            const QString k = QString::fromLatin1(key), d = QString::fromLatin1(fallback);
            if (ReadTempString(k, d) != ReadFactoryString(k, d))
                refresh = true;
        }
        int index = ReadWorkingInt(QStringLiteral("LangIndex"), -1);
        const int count = int(lang_.LanguageNames().size());
        if (index == -1 || count == 0 || index >= count || index < 0 || refresh) {
            index = 0;
            if (CopyOver(files_.factorySettings, copy))
                MakeNormal(copy);
            index = ReadWorkingInt(QStringLiteral("LangIndex"), 0);
            // A factory file may carry any number: keep it in range.
            if (index < 0 || index >= count)
                index = 0;
        }
        lang_.SetCurrent(index);
        return;
    } else {
        if (CopyOver(files_.factorySettings, copy))
            MakeNormal(copy);
        files_.workingSettings = copy;
    }
    int index = 0;
    const QStringList& names = lang_.LanguageNames();
    for (int n = 0; n < names.size(); ++n)
        if (names[n].contains(QStringLiteral("English"))) {
            index = n;
            break;
        }
    lang_.SetCurrent(index);
}

void CMainDialog::SetWindowTitleFrom(const QString& titleName)
{
    settings_.windowTitle = QStringLiteral("Kestova");
    settings_.windowTitle.replace(QStringLiteral("Kestova"), titleName);
    // "[*]": the title marks an album that differs from the frame's.
    setWindowTitle(settings_.windowTitle + QStringLiteral("[*]"));
}


// ---------------------------------------------------------------------------
// Profile access

int CMainDialog::ReadFactoryInt(const QString& key, int fallback) const
{
    return ReadProfileInt(Path8(files_.factorySettings), Section().toStdString(), key.toStdString(), fallback);
}

QString CMainDialog::ReadFactoryString(const QString& key, const QString& fallback) const
{
    return QString::fromStdString(
        ReadProfileString(Path8(files_.factorySettings), Section().toStdString(), key.toStdString(), fallback.toStdString()));
}

int CMainDialog::ReadWorkingInt(const QString& key, int fallback) const
{
    return ReadProfileInt(Path8(files_.workingSettings), Section().toStdString(), key.toStdString(), fallback);
}

QString CMainDialog::ReadTempString(const QString& key, const QString& fallback) const
{
    const QString path = files_.settingsKept ? TempSettingsPath() : QString();
    if (path.isEmpty())
        return fallback;
    return QString::fromStdString(
        ReadProfileString(Path8(path), Section().toStdString(), key.toStdString(), fallback.toStdString()));
}

void CMainDialog::WriteWorkingString(const QString& key, const QString& value)
{
    // The program folder's file is never written.
    if (!files_.settingsKept || files_.workingSettings == files_.factorySettings)
        return;
    WriteProfileString(Path8(files_.workingSettings), Section().toStdString(), key.toStdString(), value.toStdString());
}

// ---------------------------------------------------------------------------
// Languages

void CMainDialog::BuildLanguageMenu()
{
    menus_.language = new QMenu(this);
    menus_.language->setObjectName(QStringLiteral("languageMenu"));
    const QString menuText = LookupText(QStringLiteral("LANGUAGE_MENU"), QString());
    if (menuText.isEmpty()) {
        Box(QStringLiteral("Item %1 is not exist in LanguageUnicode.ini file!").arg(QStringLiteral("LANGUAGE_MENU")));
    } else {
        menus_.languageItem = menus_.context->addMenu(menus_.language);
        menus_.languageItem->setText(menuText);
        menus_.languageItem->setObjectName(QStringLiteral("languageMenuItem"));
        const int count = int(lang_.LanguageNames().size());
        for (int i = 1; i <= count; ++i) {
            const QString key = QStringLiteral("SUBMENU_%1").arg(i);
            const QString text = LookupText(key, QString());
            if (text.isEmpty()) {
                Box(QStringLiteral("Item %1 is not exist in LanguageUnicode.ini file!").arg(key));
                break;
            }
            QAction* a = menus_.language->addAction(text);
            a->setCheckable(true);
            const int command = kFirstLanguageCommand - 1 + i;
            a->setData(command);
            a->setObjectName(QStringLiteral("language%1").arg(command));
            connect(a, &QAction::triggered, this, [this, command] { OnCommand(command); });
            menus_.languages << a;
        }
    }
    // Reading the frame again: the way back after a read that failed, from
    // the menu or with F5 anywhere in the window.
    menus_.readAgain = menus_.context->addAction(
        LookupText(QStringLiteral("READAGAIN_MENU"), QStringLiteral("Read the frame again")));
    menus_.readAgain->setObjectName(QStringLiteral("readAgainItem"));
    menus_.readAgain->setShortcut(QKeySequence(Qt::Key_F5));
    menus_.readAgain->setShortcutContext(Qt::WindowShortcut);
    addAction(menus_.readAgain);
    connect(menus_.readAgain, &QAction::triggered, this, [this] { OnReadAgain(); });
    // Shown greyed while it cannot run; F5 is refused by OnReadAgain itself.
    connect(menus_.context, &QMenu::aboutToHide, this, [this] { menus_.readAgain->setEnabled(true); });
    // The list of keys: F1 anywhere in the window, or this item.
    menus_.keyHelp = new QAction(this);
    menus_.keyHelp->setObjectName(QStringLiteral("keyHelpItem"));
    menus_.keyHelp->setShortcut(QKeySequence(Qt::Key_F1));
    menus_.keyHelp->setShortcutContext(Qt::WindowShortcut);
    menus_.keyHelp->setText(LookupText(QStringLiteral("KEYHELP_MENU"), QStringLiteral("Keyboard shortcuts")));
    connect(menus_.keyHelp, &QAction::triggered, this, &CMainDialog::ShowKeyHelp);
    addAction(menus_.keyHelp);
    menus_.context->addAction(menus_.keyHelp);
    menus_.context->addSeparator();
    menus_.about = menus_.context->addAction(settings_.aboutText);
    menus_.about->setObjectName(QStringLiteral("aboutItem"));
    connect(menus_.about, &QAction::triggered, this, [this] { OnCommand(kAboutCommand); });
}

void CMainDialog::SwitchLanguage(int command)
{
    const int index = command - kFirstLanguageCommand;
    lang_.SetCurrent(index);
    UseQtTranslationsFor(lang_.CurrentName());
    settings_.aboutText = QStringLiteral("%1 %2(&A)...")
                     .arg(LookupText(QStringLiteral("ABOUT_SYSMENU"), QStringLiteral("About")), settings_.windowTitle);
    if (menus_.about)
        menus_.about->setText(settings_.aboutText);
    RelabelWindow();
    SetupTooltips();
    if (menus_.keyHelp)
        menus_.keyHelp->setText(LookupText(QStringLiteral("KEYHELP_MENU"), QStringLiteral("Keyboard shortcuts")));
    if (menus_.languageItem)
        menus_.languageItem->setText(LookupText(QStringLiteral("LANGUAGE_MENU"), QStringLiteral("Language")));
    if (menus_.readAgain)
        menus_.readAgain->setText(LookupText(QStringLiteral("READAGAIN_MENU"), QStringLiteral("Read the frame again")));
    const int count = int(lang_.LanguageNames().size());
    for (int i = 1; i <= count; ++i) {
        const QString key = QStringLiteral("SUBMENU_%1").arg(i);
        const QString text = LookupText(key, QString());
        if (text.isEmpty()) {
            Box(QStringLiteral("Item %1 is not exist in the LanguageUnicode.ini file.").arg(key));
            return;
        }
        if (i - 1 < menus_.languages.size()) {
            menus_.languages[i - 1]->setText(text);
            menus_.languages[i - 1]->setChecked(i - 1 == index);
        }
    }
    WriteWorkingString(QStringLiteral("LangIndex"), QString::number(index));
    WriteWorkingString(QStringLiteral("Language"), lang_.CurrentName());
}

void CMainDialog::RelabelWindow()
{
    tree_->SetRootTexts(LookupText(QStringLiteral("MY_COMPUTER"), QStringLiteral("My Computer")),
                        LookupText(QStringLiteral("DESK_TOP"), QStringLiteral("Desktop")),
                        LookupText(QStringLiteral("MY_PICTURE"), QStringLiteral("My Picture")));
    static const struct {
        int id;
        const char* key;
        const char* fallback;
    } captions[] = {
        {IDC_BUTTON_ZOOMIN, "IDC_BUTTON_ZOOMIN", "+"},
        {IDC_BUTTON_ZOOMOUT, "IDC_BUTTON_ZOOMOUT", "-"},
        {IDC_BTN_SETTING, "IDC_BTN_SETTING", "Setting"},
        {IDC_BUTTON_CHANGE_L, "IDC_BUTTON_CHANGE_L", "RotateL"},
        {IDC_BUTTON_CHANGE, "IDC_BUTTON_CHANGE", "RotateR"},
        {IDC_BUTTON_SEND, "IDC_BUTTON_SEND", "Synchronize"},
        {IDC_BUTTON_SELECTALL, "IDC_BUTTON_SELECTALL", "All"},
        {IDC_BUTTON_DELECT, "IDC_BUTTON_DELECT", "Delete"},
        {IDC_BUTTON_SAVE, "IDC_BUTTON_SAVE", "Save"},
        {IDC_BUTTON_SAVEALL, "IDC_BUTTON_SAVEALL", "SaveAll"},
        {IDC_EXIT, "ID_EXIT", "Exit"},
        {IDC_BTN_ADDTODPF, "IDC_BTN_ADDTODPF", "Add"},
    };
    for (const auto& c : captions)
        if (QPushButton* b = Button(c.id))
            b->setText(LookupText(QString::fromLatin1(c.key), QString::fromLatin1(c.fallback)));
    if (auto* g = qobject_cast<QGroupBox*>(controls_.value(IDC_STATIC_PREVIEW)))
        g->setTitle(LookupText(QStringLiteral("IDC_STATIC_PREVIEW"), QStringLiteral("Preview: ")));
    if (auto* g = qobject_cast<QGroupBox*>(controls_.value(IDC_STATIC_PICSINDPF)))
        g->setTitle(LookupText(QStringLiteral("IDC_STATIC_PICSINDPF"), QStringLiteral("Pics In DPF:")));
    if (QPushButton* rect = Button(IDC_BUTTON_RECT))
        rect->setText(rectMode_ ? LookupText(QStringLiteral("IDC_BUTTON_CLEARRECT"), QStringLiteral("Clear"))
                                : LookupText(QStringLiteral("IDC_BUTTON_DRAWRECT"), QStringLiteral("Rect")));
    const QString quality = LookupText(QStringLiteral("IDC_STATIC_JPGQUALITY"), QStringLiteral("Jpg Quality:"));
    if (auto* l = qobject_cast<QLabel*>(controls_.value(IDC_STATIC_JPGQUALITY)))
        l->setText(QStringLiteral("%1%2").arg(quality).arg(settings_.jpgQuality));
    statusBar_->left->setText(LookupText(QStringLiteral("STATUSBAR_LEFT"), QStringLiteral("Info:")));
    const QString inUse = m_connected ? QString() : FrameInUseText();
    SetStatusText(m_connected       ? LookupText(QStringLiteral("DEVICEON_TIPS"), QStringLiteral("DPF Attach!!"))
                  : !inUse.isEmpty() ? inUse
                                     : LookupText(QStringLiteral("DEVICEOFF_TIPS"), QStringLiteral("DPF Detached!")));
    WriteWorkingString(QStringLiteral("Language"), lang_.CurrentName());
    UpdateCounters();
}

QString CMainDialog::KeyText(QKeyCombination keys) const
{
    // Keypad keys: the platform's key names do not tell them from the main
    // keyboard's.
    if (keys.keyboardModifiers() & Qt::KeypadModifier)
        return LookupText(QStringLiteral("KEY_NUMPAD"), QStringLiteral("Num %1"))
            .arg(QKeySequence(keys.key()).toString(QKeySequence::NativeText));
    return QKeySequence(keys).toString(QKeySequence::NativeText);
}

QString CMainDialog::TipWithKey(const QString& tip, const QString& keys) const
{
    // The tip's own text stays as it is; its key follows it.
    return keys.isEmpty() ? tip : LookupText(QStringLiteral("TIP_KEY"), QStringLiteral("%1 (%2)")).arg(tip, keys);
}

QString CMainDialog::RectTip() const
{
    const QString tip = rectMode_ ? LookupText(QStringLiteral("IDC_BUTTON_CLEARRECTTIPS"), QStringLiteral("Clear Rect"))
                                  : LookupText(QStringLiteral("IDC_BUTTON_DRAWRECTTIPS"), QStringLiteral("Draw Rect"));
    return TipWithKey(tip, KeyText(Qt::CTRL | Qt::Key_R));
}

void CMainDialog::SetupTooltips()
{
    static const struct {
        int id;
        const char* key;
        const char* fallback;
        QKeyCombination keys;
    } tips[] = {
        {IDC_EXIT, "ID_EXITTIPS", "Exit", Qt::CTRL | Qt::Key_E},
        {IDC_BUTTON_DELECT, "IDC_BUTTON_DELECTTIPS", "Delete", QKeyCombination(Qt::Key_Delete)},
        {IDC_BUTTON_CHANGE, "IDC_BUTTON_CHANGETIPS", "Rotate Right", Qt::CTRL | Qt::SHIFT | Qt::Key_Right},
        {IDC_BUTTON_SEND, "IDC_BUTTON_SENDTIPS", "Synchronize", Qt::CTRL | Qt::Key_S},
        {IDC_BUTTON_ZOOMIN, "IDC_BUTTON_ZOOMINTIPS", "Zoom In", Qt::KeypadModifier | Qt::Key_Plus},
        {IDC_BUTTON_ZOOMOUT, "IDC_BUTTON_ZOOMOUTTIPS", "Zoom Out", Qt::KeypadModifier | Qt::Key_Minus},
        {IDC_BTN_ADDTODPF, "IDC_BTN_ADDTODPFTIPS", "Add Photo", QKeyCombination()},
        {IDC_BTN_SETTING, "IDC_BTN_SETTINGTIPS", "Setting", QKeyCombination()},
        {IDC_BUTTON_CHANGE_L, "IDC_BUTTON_CHANGE_LTIPS", "Rotate Left", Qt::CTRL | Qt::SHIFT | Qt::Key_Left},
        {IDC_BUTTON_SAVE, "IDC_BUTTON_SAVETIPS", "Save As", QKeyCombination()},
        {IDC_BUTTON_SAVEALL, "IDC_BUTTON_SAVEALLTIPS", "Save all", QKeyCombination()},
        {IDC_BUTTON_SELECTALL, "IDC_BUTTON_SELECTALLTIPS", "Select all", Qt::CTRL | Qt::Key_A},
    };
    for (const auto& t : tips)
        if (QWidget* w = controls_.value(t.id))
            w->setToolTip(TipWithKey(LookupText(QString::fromLatin1(t.key), QString::fromLatin1(t.fallback)),
                                     t.keys.key() == Qt::Key_unknown ? QString() : KeyText(t.keys)));
    if (QWidget* rect = controls_.value(IDC_BUTTON_RECT))
        rect->setToolTip(RectTip());
}

// ---------------------------------------------------------------------------
// Status, counters, controls

void CMainDialog::SetStatusText(const QString& text)
{
    statusBar_->right->setText(text);
}

QString CMainDialog::StatusText() const
{
    return statusBar_->right->text();
}

QString CMainDialog::StatusLeftText() const
{
    return statusBar_->left->text();
}

void CMainDialog::UpdateCounters()
{
    const QString label = LookupText(QStringLiteral("IDC_STATIC_HIDSTATUS"), QStringLiteral("Total Pictures"));
    int count = 0;
    if (m_connected && frame_)
        count = frame_->PictureCount();
    const int maximum = frame_ ? frame_->MaxPictures() : 0;
    if (counter_)
        counter_->setText(QStringLiteral("%1:\n \n%2  / %3 ").arg(label).arg(count).arg(maximum));
    // Once a frame's album is read: its LCD size on the left of the status
    // bar, and in an empty album the ways to fill it.
    // The LCD size is known from the frame's information block on; the hint
    // waits until no read or write is under way.
    const bool sized = m_connected && frame_ && frame_->LcdWidth() > 0 && frame_->LcdHeight() > 0;
    // Not after a read cut off: the album is not empty then, only unlisted.
    const bool read = sized && !frame_->Busy() && albumShownWhole_;
    if (statusBar_)
        statusBar_->left->setText(
            sized ? LookupText(QStringLiteral("STATUSBAR_LCD"), QStringLiteral("LCD %1×%2"))
                       .arg(frame_->LcdWidth())
                       .arg(frame_->LcdHeight())
                  : LookupText(QStringLiteral("STATUSBAR_LEFT"), QStringLiteral("Info:")));
    if (albumList_)
        albumList_->SetEmptyHint(
            read ? LookupText(QStringLiteral("ALBUM_EMPTY_TIPS"),
                              QStringLiteral("Drop pictures here, or pick them on the left and press %1."))
                       .arg(LookupText(QStringLiteral("IDC_BTN_ADDTODPF"), QStringLiteral("Add")))
                 : QString());
}

void CMainDialog::EnableControls(bool enable)
{
    for (int id : {IDC_TREE_FOLDER, IDC_LIST_ALBUM, IDC_BUTTON_ZOOMIN, IDC_BUTTON_ZOOMOUT, IDC_BUTTON_CHANGE_L,
                   IDC_BUTTON_RECT, IDC_BUTTON_CHANGE, IDC_BTN_ADDTODPF, IDC_BUTTON_SEND, IDC_BUTTON_DELECT,
                   IDC_BUTTON_SAVE, IDC_BUTTON_SAVEALL, IDC_BUTTON_SELECTALL, IDC_BTN_SETTING, IDC_LIST_BROWSER})
        if (QWidget* w = controls_.value(id))
            w->setEnabled(enable);
    if (preview_)
        preview_->setEnabled(enable);
}

void CMainDialog::EnableAfterCutRead()
{
    EnableControls(false);
    // The pictures listed can still be looked at and saved, and pictures
    // chosen in the browser; nothing changes the album while the list does
    // not show all of it.
    for (int id : {IDC_TREE_FOLDER, IDC_LIST_BROWSER, IDC_LIST_ALBUM})
        if (QWidget* w = controls_.value(id))
            w->setEnabled(true);
    // Saving and selecting need at least one picture listed.
    const bool listed = albumList_ && albumList_->count() > 0;
    for (int id : {IDC_BUTTON_SAVE, IDC_BUTTON_SAVEALL, IDC_BUTTON_SELECTALL})
        if (QWidget* w = controls_.value(id))
            w->setEnabled(listed);
    if (preview_)
        preview_->setEnabled(true);
}

void CMainDialog::ShowConnectionBitmap(bool attached)
{
    if (statePicture_)
        statePicture_->setPixmap(StatePixmap(attached));
}

void CMainDialog::SetProgress(int percent)
{
    if (progress_)
        progress_->SetPos(percent);
}

void CMainDialog::ReceiveHandedFiles(const QStringList& files)
{
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
    QStringList absolute;
    for (const QString& f : files)
        absolute << QFileInfo(f).absoluteFilePath();
    handedOverFiles_ << absolute;
    emit filesHandedOver(files);
    if (absolute.isEmpty())
        return;
    // Added as a drop of these items, once the album has been read and
    // nothing else is being added.
    filesAfterRead_ << absolute;
    if (m_connected && !m_reading && !m_processing && !frame_->Busy()) {
        const QStringList pending = filesAfterRead_;
        filesAfterRead_.clear();
        DropItems(pending);
    }
}

int CMainDialog::Box(const QString& text, BoxButtons buttons, const QString& caption)
{
    const QString title = caption.isEmpty() ? settings_.windowTitle : caption;
    if (options_.messageBox)
        return options_.messageBox(this, title, text, buttons);
    QMessageBox box(buttons == BoxButtons::Ok ? QMessageBox::Information : QMessageBox::Question, title, text,
                    buttons == BoxButtons::Ok      ? QMessageBox::Ok
                    : buttons == BoxButtons::YesNo || buttons == BoxButtons::YesNoDefaultNo
                        ? QMessageBox::Yes | QMessageBox::No
                    : buttons == BoxButtons::WaitStopCancel ? QMessageBox::Ok | QMessageBox::Yes | QMessageBox::Cancel
                                                            : QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                    isVisible() ? this : nullptr);
    if (buttons == BoxButtons::YesNoDefaultNo)
        box.setDefaultButton(QMessageBox::No);
    if (buttons == BoxButtons::WaitStopCancel) {
        box.button(QMessageBox::Ok)->setText(LookupText(QStringLiteral("QUIT_WAIT_BUTTON"), QStringLiteral("Quit when written")));
        box.button(QMessageBox::Yes)->setText(LookupText(QStringLiteral("QUIT_STOP_BUTTON"), QStringLiteral("Stop and quit")));
        box.button(QMessageBox::Cancel)->setText(LookupText(QStringLiteral("CANCEL_TIPS"), QStringLiteral("Cancel")));
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Cancel);
        quitQuestion_ = &box;
    }
    if (buttons == BoxButtons::BmpJpegCancel) {
        // Yes still means BMP and No JPEG; the buttons say so.
        box.button(QMessageBox::Yes)->setText(QStringLiteral("BMP"));
        box.button(QMessageBox::No)->setText(QStringLiteral("JPEG"));
    }
    // The box takes the keys as soon as it shows and the window takes them
    // back when it closes: not every desktop hands the activation over, and
    // without it Return, Escape and the accelerators would go nowhere.
    QTimer::singleShot(0, &box, [&box] { box.activateWindow(); });
    const int answer = box.exec();
    TakeKeysBack();
    return answer;
}

void CMainDialog::TakeKeysBack()
{
    if (isVisible())
        activateWindow();
}

// ---------------------------------------------------------------------------
// Opening animation and layout

void CMainDialog::StartAnimation()
{
    const QSize screen = options_.screenSize.isValid() ? options_.screenSize
                         : QGuiApplication::primaryScreen()
                             ? QGuiApplication::primaryScreen()->geometry().size()
                             : QSize(1024, 768);
    move(screen.width() / 2, screen.height() / 2);
    setFixedSize(1, 1);
    opening_.stepW = 10;
    opening_.stepH = 15;
    opening_.timer = startTimer(10);
}

void CMainDialog::AnimationTick()
{
    const QSize screen = options_.screenSize.isValid() ? options_.screenSize
                         : QGuiApplication::primaryScreen()
                             ? QGuiApplication::primaryScreen()->geometry().size()
                             : QSize(1024, 768);
    QSize s = size();
    if (s.width() <= 1 && s.height() <= 1)
        s = QSize(0, 0);
    s = QSize(s.width() + opening_.stepW, s.height() + opening_.stepH);
    if (s.width() >= opening_.fullSize.width())
        opening_.stepW = 0;
    if (s.height() >= opening_.fullSize.height())
        opening_.stepH = 0;
    setFixedSize(s);
    move((screen.width() - s.width()) / 2, (screen.height() - s.height()) / 2);
    if (s.width() >= opening_.fullSize.width() && s.height() >= opening_.fullSize.height()) {
        killTimer(opening_.timer);
        opening_.timer = 0;
        opening_.layoutPending = true;
        update();
    }
}

void CMainDialog::timerEvent(QTimerEvent* e)
{
    if (e->timerId() == opening_.timer && opening_.timer) {
        AnimationTick();
        return;
    }
    QDialog::timerEvent(e);
}

void CMainDialog::paintEvent(QPaintEvent* e)
{
    if (opening_.layoutPending) {
        opening_.layoutPending = false;
        // Geometry is not changed inside a paint; the layout runs right after.
        QMetaObject::invokeMethod(this, [this] { Layout(); }, Qt::QueuedConnection);
    }
    QDialog::paintEvent(e);
}

namespace {
// The layout's scaling on a screen narrower than 1024 pixels: single-precision
// factors close to 1/920 and 1/660, each product taken in double and
// truncated (920 * sx on an 800-pixel screen is 799.99998, so 799).
struct ScreenScale {
    explicit ScreenScale(QSize screen) : scaled(screen.width() < 1024)
    {
        if (scaled) {
            sx = float(screen.width()) * 0.0010869565f;
            sy = float(screen.height()) * 0.0015151515f;
        }
    }
    int X(int v) const { return scaled ? int(double(v) * double(sx)) : v; }
    int Y(int v) const { return scaled ? int(double(v) * double(sy)) : v; }
    bool scaled;
    float sx = 1.0f, sy = 1.0f;
};
} // namespace

QSize CMainDialog::ScreenSize() const
{
    return options_.screenSize.isValid()    ? options_.screenSize
           : QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->geometry().size()
                                              : QSize(1024, 768);
}

int CMainDialog::AlbumListWidth() const
{
    return ScreenScale(ScreenSize()).X(245);
}

void CMainDialog::Layout()
{
    if (opening_.laidOut)
        return;
    const int h = 3 * fontMetrics().height();
    const QSize screen = ScreenSize();
    const ScreenScale scale(screen);
    auto X = [&](int v) { return scale.X(v); };
    auto Y = [&](int v) { return scale.Y(v); };
    auto place = [&](QWidget* w, QRect r) {
        if (w)
            w->setGeometry(X(r.x()), Y(r.y()), X(r.width()), Y(r.height()));
    };

    const QSize before = size();
    const QSize full(X(920), Y(630));
    int left = (screen.width() - before.width()) / 2;
    int top = (screen.height() - before.height()) / 2;
    if (left < 0 || top < 0)
        left = top = 0;
    move(left, top);
    // The window keeps this size: it has no layout that could follow a
    // resize.
    setFixedSize(full);

    // The counter's three lines keep their full height on a narrow screen
    // too (scaled, the third line would be cut); the album list above it
    // gives up what they need.
    const int counterHeight = scale.scaled ? std::max(h, 3 * fontMetrics().lineSpacing()) : h;
    const int counterTop = Y(528) - counterHeight;
    for (const ControlSpec& c : kControls) {
        QWidget* w = controls_.value(c.id);
        if (c.id == IDC_LIST_ALBUM && w)
            w->setGeometry(X(c.wide.x()), Y(c.wide.y()), X(c.wide.width()), counterTop - Y(c.wide.y()));
        else if (c.id == IDC_STATIC_COUNTER && w)
            w->setGeometry(X(650), counterTop, X(243), counterHeight);
        else
            place(w, c.wide);
    }
    place(preview_, kPreviewWide);
    opening_.laidOut = true;
    resizeEvent(nullptr);
    update();
    emit laidOutChanged();
}

void CMainDialog::resizeEvent(QResizeEvent* e)
{
    if (e)
        QDialog::resizeEvent(e);
    if (statusBar_) {
        const int sh = statusBar_->sizeHint().height();
        statusBar_->setGeometry(0, height() - sh, width(), sh);
        statusBar_->raise();
    }
}

// ---------------------------------------------------------------------------
// Context menu, About box, keyboard

void CMainDialog::mousePressEvent(QMouseEvent* e)
{
    // Presses that reach the window: on its surface, on a group frame or a
    // label (which take no clicks), or posted by the preview.
    if (e->button() == Qt::RightButton) {
        ShowContextMenu(e->globalPosition().toPoint());
        e->accept();
        return;
    }
    QDialog::mousePressEvent(e);
}

void CMainDialog::ShowContextMenu(const QPoint& globalPos)
{
    if (m_reading || m_downloading || !menus_.context)
        return;
    if (menus_.readAgain)
        menus_.readAgain->setEnabled(m_connected && !m_processing && frame_ && !frame_->Busy());
    menus_.context->popup(globalPos);
}

void CMainDialog::ShowAbout()
{
    if (menus_.aboutBox) {
        menus_.aboutBox->raise();
        return;
    }
    auto* box = new QDialog(this);
    box->setObjectName(QStringLiteral("aboutBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    QString caption = QStringLiteral("About Kestova");
    box->setWindowTitle(caption.replace(QStringLiteral("Kestova"), settings_.windowTitle));
    auto* col = new QVBoxLayout(box);
    auto* top = new QHBoxLayout;
    auto* icon = new QLabel(box);
    icon->setPixmap(windowIcon().pixmap(32, 32));
    top->addWidget(icon, 0, Qt::AlignTop);
    auto* lines = new QVBoxLayout;
    auto line = [&](int id, const QString& text) {
        auto* l = new QLabel(text, box);
        l->setObjectName(QStringLiteral("ctl%1").arg(id));
        l->setTextFormat(Qt::PlainText);
        // A long copyright or link text wraps instead of widening the box
        // past the screen.
        l->setWordWrap(true);
        // Its width comes from the box, never from the text (a link with no
        // space to wrap at would otherwise still widen it).
        QSizePolicy policy = l->sizePolicy();  // keeps its height-for-width
        policy.setHorizontalPolicy(QSizePolicy::Ignored);
        l->setSizePolicy(policy);
        l->setMinimumWidth(1);
        lines->addWidget(l);
    };
    QString name = QStringLiteral("Kestova");
    line(1064, name.replace(QStringLiteral("Kestova"), settings_.windowTitle));
    line(1066, ReadTempString(QStringLiteral("CopyRightTips"), QString()));
    line(1047, QStringLiteral("Flash Size: %1 KB").arg(flashSizeKB_));
    line(1048, QStringLiteral("Firmware Ver: %1").arg(settings_.firmwareVer));
    line(1049, LookupText(QStringLiteral("ABOUT_VERSION"), QStringLiteral("Version %1")).arg(QStringLiteral(KESTOVA_VERSION)));
    const bool sized = m_connected && frame_;
    line(1051, LookupText(QStringLiteral("ABOUT_LCDSIZE"), QStringLiteral("LCD Size: %1 x %2"))
                   .arg(sized ? frame_->LcdWidth() : 0)
                   .arg(sized ? frame_->LcdHeight() : 0));
    line(1050, settings_.corpLink);
    top->addLayout(lines, 1);
    col->addLayout(top);
    auto* ok = new QPushButton(QStringLiteral("OK"), box);
    ok->setObjectName(QStringLiteral("ctl1"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, box, &QDialog::accept);
    col->addWidget(ok, 0, Qt::AlignRight);
    // As wide as a short notice needs, within the screen it opens on.
    const QScreen* on = screen() ? screen() : QGuiApplication::primaryScreen();
    const int room = on ? on->availableGeometry().width() - 40 : 480;
    const int width = std::max(240, std::min(room, 480));
    box->setFixedWidth(width);
    // The height the wrapped lines take at that width (the lines' own size
    // hints assume a narrower wrap and would leave gaps between them).
    box->layout()->activate();
    const int height = box->layout()->totalHeightForWidth(width);
    box->setFixedHeight(height > 0 ? height : box->sizeHint().height());
    menus_.aboutBox = box;
    box->open();
}

void CMainDialog::ShowKeyHelp()
{
    // Also while the frame is being read or written: the list changes nothing.
    if (menus_.keyHelpBox) {
        menus_.keyHelpBox->raise();
        menus_.keyHelpBox->activateWindow();
        return;
    }
    auto text = [this](const char* key, const char* fallback) {
        return LookupText(QString::fromLatin1(key), QString::fromUtf8(fallback));
    };
    auto keys = [this](std::initializer_list<QKeyCombination> list) {
        QStringList out;
        for (QKeyCombination k : list)
            out << KeyText(k);
        return out.join(QStringLiteral(" / "));
    };
    const struct {
        QString keys;
        QString what;
    } rows[] = {
        {text("KEYHELP_DOUBLECLICK", "Double-click the preview"),
         text("HELP_ADD", "Add the picture in the preview, or the pictures selected on the left, to the album")},
        {keys({QKeyCombination(Qt::Key_Delete)}), text("HELP_DELETE", "Delete the selected pictures from the album")},
        {keys({Qt::CTRL | Qt::Key_A}), text("HELP_SELECTALL", "Select all pictures of the album")},
        {KeyText(Qt::CTRL | Qt::Key_A) + QStringLiteral(", ") + KeyText(QKeyCombination(Qt::Key_Delete)),
         text("HELP_DELETEALL", "Delete all pictures of the album")},
        {keys({Qt::ALT | Qt::Key_Up, Qt::ALT | Qt::Key_Down}),
         text("HELP_MOVE", "Move each selected picture one place up or down")},
        {text("KEYHELP_DRAG", "Drag in the album"),
         text("HELP_DRAG", "Move the selected pictures to where they are dropped")},
        {keys({Qt::CTRL | Qt::Key_Z}), text("HELP_UNDO", "Undo the last change to the album")},
        {keys({Qt::CTRL | Qt::SHIFT | Qt::Key_Z, Qt::CTRL | Qt::Key_Y}),
         text("HELP_REDO", "Redo the change last undone")},
        {keys({Qt::CTRL | Qt::Key_S}), text("HELP_SYNC", "Synchronize: write the album to the frame")},
        {keys({QKeyCombination(Qt::Key_F5)}), text("HELP_RELOAD", "Read the frame again")},
        {keys({Qt::CTRL | Qt::SHIFT | Qt::Key_Left, Qt::CTRL | Qt::SHIFT | Qt::Key_Right}),
         text("HELP_ROTATE", "Rotate the preview left or right")},
        {keys({Qt::CTRL | Qt::Key_R}), text("HELP_RECT", "Draw or clear the crop rectangle")},
        {keys({Qt::KeypadModifier | Qt::Key_Plus, Qt::KeypadModifier | Qt::Key_Minus}),
         text("HELP_ZOOM", "Zoom the picture under the crop rectangle in or out")},
        {keys({QKeyCombination(Qt::Key_F1)}), text("HELP_HELP", "Show this list")},
        {keys({Qt::CTRL | Qt::Key_E, Qt::ALT | Qt::Key_F4}), text("HELP_EXIT", "Exit")},
    };

    auto* box = new QDialog(this);
    box->setObjectName(QStringLiteral("keyHelp"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(text("KEYHELP_TITLE", "Keyboard shortcuts"));
    auto* col = new QVBoxLayout(box);
    auto* table = new QTableWidget(int(std::size(rows)), 2, box);
    table->setObjectName(QStringLiteral("keyHelpTable"));
    table->setHorizontalHeaderLabels({text("KEYHELP_KEYS", "Keys"), text("KEYHELP_ACTION", "What it does")});
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    table->setWordWrap(true);
    table->setFocusPolicy(Qt::NoFocus);  // Return and Escape go to the box's OK
    for (int r = 0; r < int(std::size(rows)); ++r) {
        table->setItem(r, 0, new QTableWidgetItem(rows[r].keys));
        table->setItem(r, 1, new QTableWidgetItem(rows[r].what));
    }
    table->horizontalHeader()->setStretchLastSection(true);
    table->resizeColumnToContents(0);
    table->setColumnWidth(1, 420);
    table->resizeRowsToContents();
    table->setMinimumSize(table->columnWidth(0) + 440, std::min(560, table->verticalHeader()->length() + table->horizontalHeader()->height() + 4));
    col->addWidget(table);
    auto* ok = new QPushButton(text("IDOK_TIPS", "OK"), box);
    ok->setObjectName(QStringLiteral("ctl1"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, box, &QDialog::accept);
    col->addWidget(ok, 0, Qt::AlignRight);
    // The window takes the keys back when the list closes.
    connect(box, &QDialog::finished, this, [this] { TakeKeysBack(); });
    menus_.keyHelpBox = box;
    box->open();
}

void CMainDialog::CreateAccelerators()
{
    // Keypad plus and minus are taken in the event filter: the platform's
    // shortcut matching does not tell them from the main keyboard's keys.
    static const struct {
        QKeyCombination keys;
        int command;
    } table[] = {
        {Qt::CTRL | Qt::Key_A, IDC_BUTTON_SELECTALL},
        {Qt::CTRL | Qt::Key_E, IDC_EXIT},
        {Qt::CTRL | Qt::Key_R, IDC_BUTTON_RECT},
        {Qt::CTRL | Qt::Key_S, IDC_BUTTON_SEND},
        {QKeyCombination(Qt::Key_Delete), IDC_BUTTON_DELECT},
        {Qt::CTRL | Qt::SHIFT | Qt::Key_Left, IDC_BUTTON_CHANGE_L},
        {Qt::CTRL | Qt::SHIFT | Qt::Key_Right, IDC_BUTTON_CHANGE},
    };
    // Album edits: moving the selection, undo and redo.
    const struct {
        QKeyCombination keys;
        std::function<void()> run;
    } edits[] = {
        {Qt::ALT | Qt::Key_Up, [this] { OnMoveSelection(-1); }},
        {Qt::ALT | Qt::Key_Down, [this] { OnMoveSelection(+1); }},
        {Qt::CTRL | Qt::Key_Z, [this] { OnUndo(false); }},
        {Qt::CTRL | Qt::SHIFT | Qt::Key_Z, [this] { OnUndo(true); }},
        {Qt::CTRL | Qt::Key_Y, [this] { OnUndo(true); }},
    };
    for (const auto& a : edits) {
        auto* s = new QShortcut(QKeySequence(a.keys), this);
        s->setContext(Qt::WindowShortcut);
        connect(s, &QShortcut::activated, this, a.run);
    }
    for (const auto& a : table) {
        auto* s = new QShortcut(QKeySequence(a.keys), this);
        s->setContext(Qt::WindowShortcut);
        s->setAutoRepeat(false);
        const int command = a.command;
        connect(s, &QShortcut::activated, this, [this, command] { OnCommand(command); });
        connect(s, &QShortcut::activatedAmbiguously, this, [this, command] { OnCommand(command); });
    }
}

bool CMainDialog::eventFilter(QObject* watched, QEvent* e)
{
    // Enter and Escape never reach a control of this window (so neither
    // closes it nor presses a button).
    if (e->type() == QEvent::KeyPress && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this) {
        const auto* k = static_cast<QKeyEvent*>(e);
        const int key = k->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape)
            return true;
        if ((k->modifiers() & Qt::KeypadModifier) && (key == Qt::Key_Plus || key == Qt::Key_Minus)) {
            if (!k->isAutoRepeat())
                OnCommand(key == Qt::Key_Plus ? IDC_BUTTON_ZOOMIN : IDC_BUTTON_ZOOMOUT);
            return true;
        }
    }
    return QDialog::eventFilter(watched, e);
}

void CMainDialog::keyPressEvent(QKeyEvent* e)
{
    const int key = e->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

void CMainDialog::closeEvent(QCloseEvent* e)
{
    if (closing_) {
        e->accept();
        return;
    }
    e->ignore();
    OnCommand(IDC_EXIT);
}

// ---------------------------------------------------------------------------
// Routing

void CMainDialog::OnCommand(int id)
{
    emit commandRouted(id);
    if (id >= kFirstLanguageCommand && id <= kLastLanguageCommand) {
        if (id - kFirstLanguageCommand < lang_.LanguageNames().size())
            SwitchLanguage(id);
        return;
    }
    switch (id) {
    case kAboutCommand: ShowAbout(); break;
    case IDC_EXIT: OnExit(); break;
    case IDC_BUTTON_SEND: OnSynchronize(); break;
    case IDC_BUTTON_DELECT: OnDelete(); break;
    case IDC_BUTTON_SELECTALL: OnSelectAll(); break;
    case IDC_BUTTON_CHANGE: OnRotate(true); break;
    case IDC_BUTTON_CHANGE_L: OnRotate(false); break;
    case IDC_BUTTON_ZOOMIN: OnZoom(+1); break;
    case IDC_BUTTON_ZOOMOUT: OnZoom(-1); break;
    case IDC_BUTTON_RECT: OnRectMode(); break;
    case IDC_BTN_ADDTODPF: OnAdd(); break;
    case IDC_BUTTON_SAVE: OnSave(); break;
    case IDC_BUTTON_SAVEALL: OnSaveAll(); break;
    case IDC_BTN_SETTING: OnSetting(); break;
    default: break;
    }
}

bool CMainDialog::event(QEvent* e)
{
    if (auto* m = dynamic_cast<RegisteredMessage*>(e)) {
        HandleRegisteredMessage(*m);
        return true;
    }
    return QDialog::event(e);
}

void CMainDialog::HandleRegisteredMessage(const RegisteredMessage& m)
{
    const QString& n = m.Name();
    const int w = int(m.WParam());
    if (n == QLatin1String(kMsgUsbDeviceChange))
        OnDeviceChange(w == 1);
    else if (n == QLatin1String(kMsgDpfAttach))
        OnDpfAttach();
    else if (n == QLatin1String(kMsgFinishThread))
        OnFinishThread(w);
    else if (n == QLatin1String(kMsgDownloadFinished))
        OnDownloadFinished(w);
    else if (n == QLatin1String(kMsgReceivePic))
        OnReceivePic();
    else if (n == QLatin1String(kMsgProcessFinish))
        OnProcessFinish(w);
    else if (n == QLatin1String(kMsgDoubleClicked))
        OnCommand(IDC_BTN_ADDTODPF);
}

// ---------------------------------------------------------------------------
// Device facade and discovery

void CMainDialog::CreateFacade()
{
    session::FrameChoice choice(options_.frameArg, options_.scanMachine, "LanguageUnicode.ini");
    choice.opener = options_.frameOpener;
    frame_ = std::make_unique<desktop::FrameAlbum>(choice, options_.pollIntervalMs);
    desktop::FrameAlbum* f = frame_.get();
    // Plug and pull reach the window as "USBDEVICECHANGE" once the start-up
    // check has taken the state at start (Follow).
    connect(f, &desktop::FrameAlbum::frameAttached, this,
            [this] { PostRegisteredMessage(this, QString::fromLatin1(kMsgUsbDeviceChange), 1); });
    connect(f, &desktop::FrameAlbum::frameLeft, this,
            [this] { PostRegisteredMessage(this, QString::fromLatin1(kMsgUsbDeviceChange), 0); });
    connect(f, &desktop::FrameAlbum::frameInUseChanged, this, &CMainDialog::ShowFrameInUse);
    connect(f, &desktop::FrameAlbum::opened, this, &CMainDialog::OnAlbumOpened);
    connect(f, &desktop::FrameAlbum::pictureListed, this, &CMainDialog::OnPictureListed);
    // A damaged picture that left the album, like every edit, marks it as
    // differing from the frame's.
    connect(f, &desktop::FrameAlbum::modifiedChanged, this, &CMainDialog::OnAlbumModified);
    // Cache bitmaps have names of their own: a deleted entry's stays while
    // the delete can be undone and goes with it.
    f->SetHistoryOwnsFiles(true);
    FollowAlbumRows();
    connect(f, &desktop::FrameAlbum::progress, this, &CMainDialog::OnProgress);
    connect(f, &desktop::FrameAlbum::readFinished, this, &CMainDialog::OnReadFinished);
    connect(f, &desktop::FrameAlbum::commitFinished, this, [this](const session::CommitResult& r) {
        int code = 0;
        if (r.status == session::CommitStatus::Failed) {
            code = r.failure.storeCode != 0 ? r.failure.storeCode : 1;
            // A frame pulled mid-way is named as such, not as the erase or
            // write that found it gone.
            QString why = QString::fromStdString(r.failure.Text(true));
            if (r.failure.frameGone) {
                why = LookupText(QStringLiteral("FRAMEGONE_REASON"), QStringLiteral("the frame is not there"));
                if (!r.failure.command.empty())
                    why += QStringLiteral(" (%1)").arg(QString::fromStdString(r.failure.command));
            }
            ReportFailure(LookupText(QStringLiteral("DOWNLOADFAIL_STATUS"), QStringLiteral("Writing the album failed")),
                          why);
            writeFailure_ = StatusText();
        }
        PostRegisteredMessage(this, QString::fromLatin1(kMsgDownloadFinished), code);
    });
    connect(f, &desktop::FrameAlbum::batchFinished, this, [this](const desktop::BatchOutcome& o) {
        // Full, or a picture that fits no slot, ended the batch.
        PostRegisteredMessage(this, QString::fromLatin1(kMsgProcessFinish),
                              o.status == desktop::BatchStatus::Refused ? 1 : 0);
    });
    f->Start();
}

QString CMainDialog::FrameInUseText() const
{
    if (!frame_)
        return QString();
    const std::string message = frame_->FrameInUse();
    if (message.empty())
        return QString();
    const std::string taken = frame_->FrameInUseHolder();
    QString holder = taken.empty() ? LookupText(QStringLiteral("FRAMEINUSE_OTHER"), QStringLiteral("another program"))
                                   : QString::fromStdString(taken);
    // "process 'NAME' (pid N)" (NAME already escaped) in the window's language.
    static const QRegularExpression process(QStringLiteral("^process '(.*)' \\(pid (\\d+)\\)$"));
    if (const QRegularExpressionMatch m = process.match(holder); m.hasMatch())
        holder = LookupText(QStringLiteral("FRAMEINUSE_PROCESS"), QStringLiteral("process '%1' (pid %2)"))
                     .arg(m.captured(1), m.captured(2));
    return LookupText(QStringLiteral("FRAMEINUSE_TIPS"), QStringLiteral("The frame is in use by %1")).arg(holder);
}

void CMainDialog::ShowFrameInUse(const std::string& message)
{
    // Until the holder lets go nothing of the frame is read and the status
    // bar says who has it.
    if (!message.empty())
        SetStatusText(FrameInUseText());
    else if (!frame_->Online())
        SetStatusText(LookupText(QStringLiteral("INSERTDEVICE_TIPS"), QStringLiteral("Please insert the DPF device!")));
}

bool CMainDialog::StartUpDeviceCheck()
{
    if (!frame_->Online() && !frame_->FrameInUse().empty()) {
        // The frame is there but another program holds it: the window waits
        // for it (the hot-plug timer takes it once it is let go) instead of
        // ending as it does without a frame.
        ShowConnectionBitmap(false);
        EnableControls(false);
        SetStatusText(FrameInUseText());
        frame_->Follow();
        return true;
    }
    if (!frame_->Online()) {
        ShowConnectionBitmap(false);
        SetStatusText(LookupText(QStringLiteral("DEVICEOFF_TIPS"), QStringLiteral("DPF Detached!")));
        SetStatusText(LookupText(QStringLiteral("INSERTDEVICE_TIPS"), QStringLiteral("Please insert the DPF device!")));
        EnableControls(false);
        Box(LookupText(QStringLiteral("OFFLINE_TIPS1"),
                       QStringLiteral("Please plug in your DPF using the provided USB cable \r\nand make sure that "
                                      "the device is in \"UPDATE\" mode.")));
        exitCode_ = 0;
        return false;
    }
    ShowConnectionBitmap(true);
    // The captions were applied while no frame counted as attached; the
    // status must not go on saying "detached" beside a frame that is there.
    SetStatusText(LookupText(QStringLiteral("DEVICEON_TIPS"), QStringLiteral("DPF Connected!")));
    frame_->Follow();
    PostRegisteredMessage(this, QString::fromLatin1(kMsgDpfAttach));
    return true;
}

} // namespace kestova::win
