#include "StringTable.h"
#include "TrayState.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

const std::string Connecting = "Connecting to server...";
const std::string CannotConnect = "Cannot connect to the mail server.";

TEST(StringTable, HoldsEveryTextTheProgramShows)
{
    for (int id = 2; id <= 19; ++id)
        EXPECT_TRUE(LoadString(id).has_value()) << id;
    EXPECT_FALSE(LoadString(1).has_value());
    EXPECT_FALSE(LoadString(20).has_value());
    EXPECT_EQ(LoadString(4).value(),
              "Error: Could not create notification icon. Try restarting Postbell or your computer.");
    EXPECT_EQ(LoadString(12).value(), Connecting);
    EXPECT_EQ(LoadString(19).value(), "Postbell Error");
    // The About text: name and version, then two lines about the maker.
    const std::string about(LoadString(7).value());
    EXPECT_EQ(about.rfind("Postbell " POSTBELL_VERSION "\n", 0), 0u) << about;
    EXPECT_EQ(std::count(about.begin(), about.end(), '\n'), 2);
    EXPECT_NE(about.find("Veltrane"), std::string::npos);
    EXPECT_EQ(LoadString(8).value(), "About Postbell");
}

TEST(StringTable, StartupErrorFallsBackToTheGeneralText)
{
    EXPECT_EQ(StartupErrorText(4), LoadString(4).value());
    EXPECT_EQ(StartupErrorText(42), "An unexpected error occurred. Try restarting Postbell or your computer.");
}

// The balloon cannot be read back from a QSystemTrayIcon; its decision is checked here.
TEST(TrayState, BalloonOnlyWhileHiddenAndOnlyWhereSupported)
{
    const StatusDisplay error = DecideStatusDisplay(16, CannotConnect, false, true, true);
    EXPECT_EQ(error.balloon, BalloonAction::ShowError);
    EXPECT_EQ(error.balloonTitle, "Postbell Error");
    EXPECT_EQ(error.balloonText, CannotConnect);
    ASSERT_TRUE(error.face.has_value());
    EXPECT_EQ(error.face->picture, TrayPicture::Error);

    EXPECT_EQ(DecideStatusDisplay(12, Connecting, false, true, true).balloon, BalloonAction::TakeDown);
    EXPECT_EQ(DecideStatusDisplay(16, CannotConnect, false, false, false).balloon, BalloonAction::None);
    EXPECT_EQ(DecideStatusDisplay(12, Connecting, false, false, false).balloon, BalloonAction::None);
    EXPECT_EQ(DecideStatusDisplay(16, CannotConnect, true, false, true).balloon, BalloonAction::None);
    EXPECT_EQ(DecideStatusDisplay(12, Connecting, true, false, true).balloon, BalloonAction::None);

    // The secure-connection failures are errors too, each with its own text.
    for (StatusCode code = 30; code <= 36; ++code) {
        const auto text = LoadString(code);
        ASSERT_TRUE(text.has_value()) << code;
        const StatusDisplay secure = DecideStatusDisplay(code, text, false, true, true);
        EXPECT_EQ(secure.balloon, BalloonAction::ShowError) << code;
        EXPECT_EQ(secure.face->picture, TrayPicture::Error) << code;
    }
}

TEST(TrayState, LongTextsAreCutPerPlaceWithoutSplittingACharacter)
{
    const std::string longText = std::string(62, 'a') + "\xC3\xA9" + std::string(300, 'b');
    const StatusDisplay display = DecideStatusDisplay(18, longText, false, false, true);
    ASSERT_TRUE(display.face.has_value());
    EXPECT_EQ(display.face->toolTip, std::string(62, 'a')); // the two-byte character would end at 64
    EXPECT_EQ(display.balloonText.size(), BalloonTextLimit);
    EXPECT_EQ(display.statusBarText->size(), StatusTextLimit);
}

TEST(TrayState, CodeWithoutTextChangesNothing)
{
    const StatusDisplay display = DecideStatusDisplay(99, std::nullopt, false, true, true);
    EXPECT_FALSE(display.statusBarText.has_value());
    EXPECT_EQ(display.balloon, BalloonAction::None);
    EXPECT_FALSE(display.face.has_value());
}

} // namespace
