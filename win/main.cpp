// SPDX-License-Identifier: GPL-3.0-or-later
// kestova: the dialog-style desktop program. Usage:
//   kestova [--frame PATH[,key=value...]] [FILE...]
// (or KESTOVA_FRAME in the environment) to attach a virtual frame as well.

#include "session/StartArguments.h"
#include "win/AppStart.h"
#include "win/MainDialog.h"
#include "KestovaVersion.h"
#include "packaging/AppIcon.h"

#include <QApplication>
#include <QFileInfo>

#include <cstdio>
#include <string>

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
                "  --version      show the version\n"
                "In the window, F1 lists the keys.\n");
}

} // namespace

int main(int argc, char** argv)
{
    if (const int code = kestova::session::AnswerEarly(argc, argv, "kestova", KESTOVA_VERSION, Usage); code >= 0)
        return code;
    QApplication app(argc, argv);
    kestova::session::NameApplication("kestova", KestovaAppIcon("kestova"));

    const kestova::session::StartArguments arguments =
        kestova::session::ParseApplicationArguments("kestova", kestova::session::WordsAre::Files, Usage);
    if (!arguments.ok())
        return 1;
    kestova::win::StartOptions options;
    options.frameArg = arguments.frameArg;
    for (const QString& file : arguments.words)
        options.files << QFileInfo(file).absoluteFilePath();

    // One kestova per frame: a second start on the same frame hands its
    // files to the first one's window and ends.
    kestova::win::SingleInstance instance(kestova::win::SingleInstance::DefaultSocketPath(options.frameArg));
    QString refusal;
    if (instance.HandOverOrListen(options.files, &refusal)) {
        if (refusal.isEmpty())
            return 0;
        std::fprintf(stderr, "kestova: %s\n", qPrintable(refusal));
        return 1;
    }

    if (const std::string error = kestova::session::FrameArgumentError(options.frameArg); !error.empty()) {
        std::fprintf(stderr, "kestova: %s\n", error.c_str());
        return 1;
    }

    kestova::win::CMainDialog dialog(options);
    // Connected before the start-up, whose message boxes run the event loop:
    // files handed over meanwhile wait for the album like the window's own.
    QObject::connect(&instance, &kestova::win::SingleInstance::activated, &dialog,
                     &kestova::win::CMainDialog::ReceiveHandedFiles);
    if (!dialog.OnInitDialog())
        return dialog.ExitCode();
    dialog.show();
    return app.exec();
}
