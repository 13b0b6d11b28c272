#pragma once
// The start arguments the desktop programs share: -h/--help, --version and
// the virtual frame (--frame FRAME, --frame=FRAME, else KESTOVA_FRAME). Each
// program keeps its own help text and decides what other words mean.
//
//     switch (EarlyStartAnswer(argc, argv)) { ... }   // before QApplication
//     QApplication app(argc, argv);
//     StartArguments a = ParseStartArguments(QCoreApplication::arguments(), WordsAre::Files);
//     if (!a.ok()) { print(a.error); usage; return 1; }
//     if (std::string e = FrameArgumentError(a.frameArg); !e.empty()) { ... }

#include <QStringList>

#include <string>

namespace kestova::session {

enum class EarlyAnswer { None, Help, Version };

// -h/--help or --version anywhere among the arguments (the first one found
// wins). Needs no display, so it is asked before the application object
// (which connects to one) exists.
EarlyAnswer EarlyStartAnswer(int argc, const char* const* argv);

// What a word that is not an option is: a file to hand to the window, or an
// error.
enum class WordsAre { Files, Unknown };

struct StartArguments {
    std::string frameArg;  // the last --frame given, else KESTOVA_FRAME, else empty
    QStringList words;     // the other words, in order (WordsAre::Files); "-" is a word
    QString error;         // "unknown argument X"; empty when the arguments are fine
    bool ok() const { return error.isEmpty(); }
};

// `args` as QCoreApplication::arguments() gives them (the program first).
// An option this does not know, and --frame without a value, are errors;
// --help and --version are taken to be answered before.
StartArguments ParseStartArguments(const QStringList& args, WordsAre words);

// Why the frame argument is malformed ("--frame: unknown virtual frame
// option 'bogus'"); empty when it is fine or empty.
std::string FrameArgumentError(const std::string& frameArg);

} // namespace kestova::session
