// kestova: the dialog-style desktop program. Usage:
//   kestova [--frame PATH[,key=value...]] [FILE...]
// (or KESTOVA_FRAME in the environment) to attach a virtual frame as well.

#include "device/virtual/VirtualFrame.h"
#include "win/AppStart.h"
#include "win/MainDialog.h"
#include "KestovaVersion.h"
#include "packaging/AppIcon.h"

#include <QApplication>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void Usage()
{
    std::printf("Usage: kestova [--frame PATH[,key=value...]] [FILE...]\n"
                "Manage the picture album of a USB photo frame: browse your pictures, crop\n"
                "and rotate one in the preview, add it to the album, Synchronize the album\n"
                "to the frame, export pictures, set the frame's colours and the language.\n"
                "  --frame FRAME  attach the virtual frame on this flash image (also\n"
                "                 KESTOVA_FRAME); without it, the frame that is plugged in\n"
                "  FILE           pictures handed to the window (a running kestova gets them)\n"
                "  -h, --help     show this help\n"
                "  --version      show the version\n");
}

} // namespace

int main(int argc, char** argv)
{
    // Help needs no display, so it is answered before the application object
    // (which connects to one) exists.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("kestova %s\n", KESTOVA_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kestova"));
    QCoreApplication::setOrganizationName(QStringLiteral("Kestova"));
    QGuiApplication::setDesktopFileName(QStringLiteral("kestova"));
    QApplication::setWindowIcon(KestovaAppIcon("kestova"));

    kestova::win::StartOptions options;
    if (const char* env = std::getenv("KESTOVA_FRAME"))
        options.frameSpec = env;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--frame") && i + 1 < args.size()) {
            options.frameSpec = args[++i].toStdString();
        } else if (a.startsWith(QLatin1String("--frame="))) {
            options.frameSpec = a.mid(8).toStdString();
        } else if (a.startsWith(QLatin1String("-")) && a != QLatin1String("-")) {
            std::fprintf(stderr, "kestova: unknown argument %s\n", qPrintable(a));
            Usage();
            return 1;
        } else {
            options.files << QFileInfo(a).absoluteFilePath();
        }
    }

    // One kestova per user session: a second start hands its files to the
    // first one's window and ends.
    kestova::win::SingleInstance instance;
    if (instance.HandOverOrListen(options.files))
        return 0;

    if (!options.frameSpec.empty()) {
        try {
            kestova::ParseVirtualFrameArgument(options.frameSpec);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kestova: --frame: %s\n", e.what());
            return 1;
        }
    }

    kestova::win::CMainDialog dialog(options);
    if (!dialog.OnInitDialog())
        return dialog.ExitCode();
    QObject::connect(&instance, &kestova::win::SingleInstance::activated, &dialog,
                     &kestova::win::CMainDialog::ReceiveHandedFiles);
    dialog.show();
    return app.exec();
}
