// SPDX-License-Identifier: GPL-3.0-or-later
#include "session/StartArguments.h"

#include "device/virtual/VirtualFrame.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace kestova::session {

EarlyAnswer EarlyStartAnswer(int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return EarlyAnswer::Help;
        if (std::strcmp(argv[i], "--version") == 0)
            return EarlyAnswer::Version;
    }
    return EarlyAnswer::None;
}

int AnswerEarly(int argc, const char* const* argv, const char* program, const char* version, void (*usage)())
{
    switch (EarlyStartAnswer(argc, argv)) {
    case EarlyAnswer::Help:
        usage();
        return 0;
    case EarlyAnswer::Version:
        std::printf("%s %s\n", program, version);
        return 0;
    case EarlyAnswer::None:
        break;
    }
    return -1;
}

void NameApplication(const char* program, const QIcon& icon)
{
    const QString name = QString::fromLatin1(program);
    QCoreApplication::setApplicationName(name);
    QCoreApplication::setOrganizationName(QStringLiteral("Kestova"));
    QGuiApplication::setDesktopFileName(name);
    QGuiApplication::setWindowIcon(icon);
}

StartArguments ParseStartArguments(const QStringList& args, WordsAre words)
{
    StartArguments out;
    if (const char* env = std::getenv("KESTOVA_FRAME"))
        out.frameArg = env;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--frame") && i + 1 < args.size()) {
            out.frameArg = args[++i].toStdString();
        } else if (a.startsWith(QLatin1String("--frame="))) {
            out.frameArg = a.mid(8).toStdString();
        } else if (words == WordsAre::Files && !(a.startsWith(QLatin1Char('-')) && a != QLatin1String("-"))) {
            out.words << a;
        } else {
            out.error = QStringLiteral("unknown argument %1").arg(a);
            return out;
        }
    }
    return out;
}

StartArguments ParseApplicationArguments(const char* program, WordsAre words, void (*usage)())
{
    StartArguments arguments = ParseStartArguments(QCoreApplication::arguments(), words);
    if (!arguments.ok()) {
        std::fprintf(stderr, "%s: %s\n", program, qPrintable(arguments.error));
        usage();
    }
    return arguments;
}

std::string FrameArgumentError(const std::string& frameArg)
{
    if (frameArg.empty())
        return {};
    try {
        ParseVirtualFrameArgument(frameArg);
    } catch (const std::exception& e) {
        return std::string("--frame: ") + e.what();
    }
    return {};
}

} // namespace kestova::session
