// SPDX-License-Identifier: GPL-3.0-or-later
// mackestova: the stage program. Usage: mackestova [--frame PATH[,key=value...]]
// (or KESTOVA_FRAME in the environment) to attach a virtual frame as well.

#include "mac/CarbonApp.h"
#include "mac/FrontEnd.h"

#include "device/virtual/VirtualFrame.h"
#include "session/StartArguments.h"
#include "packaging/AppIcon.h"

#include "KestovaVersion.h"

#include <QApplication>

#include <cstdio>
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
    if (const int code = kestova::session::AnswerEarly(argc, argv, "mackestova", KESTOVA_VERSION, Usage); code >= 0)
        return code;
    QApplication app(argc, argv);
    kestova::session::NameApplication("mackestova", KestovaAppIcon("mackestova"));

    const kestova::session::StartArguments arguments =
        kestova::session::ParseApplicationArguments("mackestova", kestova::session::WordsAre::Unknown, Usage);
    if (!arguments.ok())
        return 1;
    kestova::mac::StartOptions options;
    options.frameArg = arguments.frameArg;
    if (!options.frameArg.empty()) {
        if (const std::string error = kestova::session::FrameArgumentError(options.frameArg); !error.empty()) {
            std::fprintf(stderr, "mackestova: %s\n", error.c_str());
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
