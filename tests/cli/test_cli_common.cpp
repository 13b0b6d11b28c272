// SPDX-License-Identifier: GPL-3.0-or-later
// JSON text of the command line: whatever bytes a frame or a file name
// holds, the output must stay valid JSON and keep readable text readable.

#include "cli/cli_common.h"

#include <gtest/gtest.h>

using kestova::cli::JsonString;
using kestova::cli::NaturalLess;

TEST(JsonString, EscapesQuotesBackslashesAndControlCharacters) {
    EXPECT_EQ(JsonString("plain"), "\"plain\"");
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString("l1\nl2\tx\r"), "\"l1\\nl2\\tx\\r\"");
    EXPECT_EQ(JsonString(std::string("\x01\x7f", 2)), "\"\\u0001\\u007f\"");
    EXPECT_EQ(JsonString(std::string("a\0b", 3)), "\"a\\u0000b\"");
}

TEST(JsonString, KeepsUtf8AndReadsOtherHighBytesAsLatin1) {
    // A folder name in UTF-8 stays as it is.
    EXPECT_EQ(JsonString("Bilder/\xC3\xA9t\xC3\xA9"), "\"Bilder/\xC3\xA9t\xC3\xA9\"");
    EXPECT_EQ(JsonString("\xE2\x82\xAC"), "\"\xE2\x82\xAC\"");
    // An 8-bit firmware text is not UTF-8: each byte becomes its Latin-1 code.
    EXPECT_EQ(JsonString("V\xE9r"), "\"V\\u00e9r\"");
    // A cut-off sequence and an overlong lead byte are not passed through.
    EXPECT_EQ(JsonString("\xE2\x82"), "\"\\u00e2\\u0082\"");
    EXPECT_EQ(JsonString("\xC0\xAF"), "\"\\u00c0\\u00af\"");
}

TEST(NaturalLess, NumbersByValueLettersCaseFoldedAndNoTwoNamesEqual) {
    struct Case {
        const char* a;
        const char* b;
    } before[] = {
        {"img2.jpg", "img10.jpg"}, {"2", "10"},           {"img9b", "img10a"},  {"a1b2", "a1b10"},
        {"IMG1.png", "img2.png"},  {"img1.png", "IMG2"},  {"img02", "img2x"},   {"img2", "img02"},
        {"abc", "abcd"},           {"x10", "x10.jpg"},    {"0", "00"},          {"B.jpg", "b.jpg"},
        {"99999999999999999999", "100000000000000000000"},
    };
    for (const Case& c : before) {
        EXPECT_TRUE(NaturalLess(c.a, c.b)) << c.a << " < " << c.b;
        EXPECT_FALSE(NaturalLess(c.b, c.a)) << c.b << " !< " << c.a;
    }
    EXPECT_FALSE(NaturalLess("same10", "same10"));
}
