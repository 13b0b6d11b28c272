// SPDX-License-Identifier: GPL-3.0-or-later
// The start arguments both desktop programs share.

#include "session/StartArguments.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace kestova::session {
namespace {

struct ArgumentCase {
    const char* name;
    QStringList args;  // after the program name
    WordsAre words;
    const char* env;   // KESTOVA_FRAME, or null
    std::string frameArg;
    QStringList expectedWords;
    QString error;
};

class StartArgumentsTable : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(StartArgumentsTable, FrameWordsAndErrors)
{
    const ArgumentCase& c = GetParam();
    if (c.env)
        setenv("KESTOVA_FRAME", c.env, 1);
    else
        unsetenv("KESTOVA_FRAME");
    const StartArguments a = ParseStartArguments(QStringList{"prog"} + c.args, c.words);
    unsetenv("KESTOVA_FRAME");
    EXPECT_EQ(a.error.toStdString(), c.error.toStdString());
    EXPECT_EQ(a.ok(), c.error.isEmpty());
    if (a.ok()) {
        EXPECT_EQ(a.frameArg, c.frameArg);
        EXPECT_EQ(a.words, c.expectedWords);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Session, StartArgumentsTable,
    ::testing::Values(
        ArgumentCase{"nothing", {}, WordsAre::Files, nullptr, "", {}, ""},
        ArgumentCase{"frame_and_files", {"--frame", "a.img,sync=0", "x.jpg", "-"}, WordsAre::Files, nullptr,
                     "a.img,sync=0", {"x.jpg", "-"}, ""},
        ArgumentCase{"environment", {"x.jpg"}, WordsAre::Files, "env.img", "env.img", {"x.jpg"}, ""},
        ArgumentCase{"argument_beats_environment", {"--frame=b.img"}, WordsAre::Files, "env.img", "b.img", {}, ""},
        ArgumentCase{"last_frame_wins", {"--frame=c.img", "--frame", "d.img"}, WordsAre::Unknown, nullptr, "d.img",
                     {}, ""},
        ArgumentCase{"frame_without_value", {"x.jpg", "--frame"}, WordsAre::Files, nullptr, "", {},
                     "unknown argument --frame"},
        ArgumentCase{"unknown_option", {"-x", "y.jpg"}, WordsAre::Files, nullptr, "", {}, "unknown argument -x"},
        ArgumentCase{"no_files_taken", {"--frame", "a.img", "x.jpg"}, WordsAre::Unknown, nullptr, "", {},
                     "unknown argument x.jpg"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StartArguments, HelpAndVersionAreFoundAnywhereFirstOneWins)
{
    const struct {
        std::vector<const char*> argv;
        EarlyAnswer answer;
    } cases[] = {
        {{"prog"}, EarlyAnswer::None},
        {{"prog", "--frame", "a.img", "x.jpg"}, EarlyAnswer::None},
        {{"prog", "--version"}, EarlyAnswer::Version},
        {{"prog", "x.jpg", "-h", "--version"}, EarlyAnswer::Help},
        {{"prog", "--version", "--help"}, EarlyAnswer::Version},
        {{"prog", "-help", "--versions"}, EarlyAnswer::None},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argv.size());
        EXPECT_EQ(EarlyStartAnswer(int(c.argv.size()), c.argv.data()), c.answer);
    }
}

TEST(StartArguments, AMalformedFrameArgumentSaysWhy)
{
    EXPECT_EQ(FrameArgumentError(""), "");
    EXPECT_EQ(FrameArgumentError("f.img,sync=0,latency_us=3000"), "");
    EXPECT_EQ(FrameArgumentError("f.img,bogus=1"), "--frame: unknown virtual frame option 'bogus'");
}

} // namespace
} // namespace kestova::session
