// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The start arguments the desktop programs share: -h/--help, --version and
// the virtual frame (--frame FRAME, --frame=FRAME, else KESTOVA_FRAME). Each
// program keeps its own help text and decides what other words mean.
//
//     if (int code = AnswerEarly(argc, argv, "kestova", KESTOVA_VERSION, Usage); code >= 0)
//         return code;                                  // before QApplication
//     QApplication app(argc, argv);
//     NameApplication("kestova", icon);
//     StartArguments a = ParseApplicationArguments("kestova", WordsAre::Files, Usage);
//     if (!a.ok()) return 1;
//     if (std::string e = FrameArgumentError(a.frameArg); !e.empty()) { ... }

#include <QStringList>

class QIcon;

#include <string>

namespace kestova::session {

enum class EarlyAnswer { None, Help, Version };

// -h/--help or --version anywhere among the arguments (the first one found
// wins). Needs no display, so it is asked before the application object
// (which connects to one) exists.
EarlyAnswer EarlyStartAnswer(int argc, const char* const* argv);

// Answers -h/--help (by calling `usage`) or --version ("PROGRAM VERSION")
// on stdout when one is asked for and returns the exit code (0); -1 when the
// program is to go on starting.
int AnswerEarly(int argc, const char* const* argv, const char* program, const char* version, void (*usage)());

// Names the running application `program` (its settings folder under the
// "Kestova" organisation, the desktop file its windows belong to) and gives
// its windows `icon`. Needs the application object.
void NameApplication(const char* program, const QIcon& icon);

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

// ParseStartArguments on the running application's arguments; when they are
// wrong, "PROGRAM: unknown argument X" goes to stderr and the help (`usage`)
// after it.
StartArguments ParseApplicationArguments(const char* program, WordsAre words, void (*usage)());

// Why the frame argument is malformed ("--frame: unknown virtual frame
// option 'bogus'"); empty when it is fine or empty.
std::string FrameArgumentError(const std::string& frameArg);

} // namespace kestova::session
