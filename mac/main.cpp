// mackestova: the stage program. Usage: mackestova [--frame PATH[,key=value...]]
// (or KESTOVA_FRAME in the environment) to attach a virtual frame as well.

#include "mac/CarbonApp.h"
#include "mac/FrontEnd.h"

#include "device/virtual/VirtualFrame.h"
#include "packaging/AppIcon.h"

#include "KestovaVersion.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Usage()
{
    std::printf("Usage: mackestova [--frame PATH[,key=value...]]\n"
                "Manage the picture album of a USB photo frame: place a picture on the\n"
                "stage, add it, delete, Download the album to the frame, Upload it to a folder.\n"
                "  --frame FRAME  attach the virtual frame on this flash image (also\n"
                "                 KESTOVA_FRAME); without it, the frame that is plugged in\n"
                "  -h, --help     show this help\n"
                "  --version      show the version\n");
}

} // namespace

int main(int argc, char** argv)
{
    // Help and version need no display, so they are answered before the
    // application object (which connects to one) exists.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("mackestova %s\n", KESTOVA_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("mackestova"));
    QCoreApplication::setOrganizationName(QStringLiteral("Kestova"));
    QGuiApplication::setDesktopFileName(QStringLiteral("mackestova"));
    QApplication::setWindowIcon(KestovaAppIcon("mackestova"));

    kestova::mac::StartOptions options;
    if (const char* env = std::getenv("KESTOVA_FRAME"))
        options.frameArg = env;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--frame") && i + 1 < args.size()) {
            options.frameArg = args[++i].toStdString();
        } else if (a.startsWith(QLatin1String("--frame="))) {
            options.frameArg = a.mid(8).toStdString();
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "mackestova: unknown argument %s\n", qPrintable(a));
            Usage();
            return 1;
        }
    }

    if (!options.frameArg.empty()) {
        try {
            kestova::ParseVirtualFrameArgument(options.frameArg);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "mackestova: --frame: %s\n", e.what());
            return 1;
        }
        if (!kestova::ImageFilePresent(options.frameArg))
            std::fprintf(stderr, "mackestova: the frame image is not there yet; waiting for it\n");
    }

    kestova::mac::FrontEnd frontEnd;
    int status;
    {
        kestova::mac::CarbonApp carbon(&frontEnd);
        frontEnd.StartUp(options);
        frontEnd.ShowWindow();
        status = carbon.Run();
    }
    return status;
}
