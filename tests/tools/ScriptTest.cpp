// The script reader: every action with its time and bytes, the escapes, and
// mistakes reported with the file and the line before anything runs.
#include "tools/Script.h"

#include <gtest/gtest.h>

using namespace corvane;

TEST(ScriptTest, ReadsEveryActionInTimeOrder)
{
    const Script script = parseScript(
        "# start-up\n"
        "\n"
        "5 write $PLTCM,H2,9470\n"
        "2.5 command $PLTCM,VOL,8   # a comment after the text\r\n"
        "  7.125\tpower D3\n"
        "7.125 powerdown\n"
        "8 powerup\n"
        "9 suspend\n"
        "9.5 resume\n"
        "10 recover\n"
        "11 write $PLTCM,+\\\n"
        "0.020 write\n",
        "demo.script");
    ASSERT_EQ(script.actions.size(), 10u);
    const ScriptAction* a = script.actions.data();
    EXPECT_EQ(a[0].atMs, 20u);
    EXPECT_EQ(a[0].kind, ActionKind::Write);
    EXPECT_EQ(a[0].bytes, "\r\n");
    EXPECT_EQ(a[0].line, 12u);
    EXPECT_EQ(a[1].atMs, 2500u);
    EXPECT_EQ(a[1].kind, ActionKind::Command);
    EXPECT_EQ(a[1].bytes, "$PLTCM,VOL,8");  // no line end, comment and blanks gone
    EXPECT_EQ(a[2].atMs, 5000u);
    EXPECT_EQ(a[2].bytes, "$PLTCM,H2,9470\r\n");
    // Same time: script order.
    EXPECT_EQ(a[3].atMs, 7125u);
    EXPECT_EQ(a[3].kind, ActionKind::Power);
    EXPECT_EQ(a[3].powerState, 3u);
    EXPECT_EQ(a[4].kind, ActionKind::PowerDown);
    EXPECT_EQ(a[4].atMs, 7125u);
    EXPECT_EQ(a[5].kind, ActionKind::PowerUp);
    EXPECT_EQ(a[6].kind, ActionKind::Suspend);
    EXPECT_EQ(a[7].kind, ActionKind::Resume);
    EXPECT_EQ(a[8].kind, ActionKind::Recover);
    EXPECT_EQ(a[9].kind, ActionKind::Write);
    EXPECT_EQ(a[9].bytes, "$PLTCM,+");  // a final backslash: no CR LF
}

TEST(ScriptTest, EscapesGiveTheirBytes)
{
    bool lineEnd = false;
    EXPECT_EQ(unescapeText("a\\rb\\nc\\\\d\\x41\\x7e\\x00e", lineEnd), std::string("a\rb\nc\\dA~\0e", 11));
    EXPECT_TRUE(lineEnd);
    EXPECT_EQ(unescapeText("ends in\\\\", lineEnd), "ends in\\");  // an escaped backslash keeps the line end
    EXPECT_TRUE(lineEnd);
    EXPECT_EQ(unescapeText("no end\\", lineEnd), "no end");
    EXPECT_FALSE(lineEnd);
    EXPECT_EQ(unescapeText("\\xFF\\x23", lineEnd), "\xFF#");
    for (const char* bad : {"\\x4", "\\xG1", "\\x", "\\t", "\\$"})
        EXPECT_THROW(unescapeText(bad, lineEnd), std::invalid_argument) << bad;
}

TEST(ScriptTest, MistakesNameTheFileAndLine)
{
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {"5 jump", "unknown action \"jump\""},
        {"five write x", "\"five\" is not a time"},
        {"-1 recover", "\"-1\" is not a time"},
        {"1.2345 recover", "\"1.2345\" is not a time"},
        {"3", "an action is missing"},
        {"3 power D5", "power needs a state D0 to D4, not \"D5\""},
        {"3 power", "power needs a state D0 to D4"},
        {"3 recover now", "recover takes nothing more"},
        {"3 command", "command needs a text"},
        {"3 command $PLTCM,X\\", "cannot end in \\"},
        {"3 write bad\\q", "unknown escape \\q"},
        {"3 write bad\\x9", "\\x needs two hexadecimal digits"},
    };
    for (const Case& c : cases) {
        try {
            parseScript(std::string("# fine\n1 recover\n") + c.line + "\n4 recover\n", "my.script");
            ADD_FAILURE() << "accepted: " << c.line;
        } catch (const ScriptError& error) {
            const std::string message = error.what();
            EXPECT_EQ(message.rfind("my.script:3: ", 0), 0u) << message;
            EXPECT_NE(message.find(c.message), std::string::npos) << message;
        }
    }
    EXPECT_THROW(readScript("/nonexistent/corvane.script"), ScriptError);
}
