// The tray decisions for each status; a QSystemTrayIcon's balloon cannot be read back.
#include "TrayState.h"

#include <gtest/gtest.h>

namespace {

TEST(TrayState, EachStatusGivesItsPictureAndBalloonOnlyWhileTheWindowIsHidden)
{
    using enum BalloonAction;
    const char* pictures = "NEe"; // Normal, new mail (E), error (e); '-': left as it is
    struct Case { StatusCode code; bool visible, newMail, balloons; BalloonAction balloon; char picture; };
    const Case cases[] = {
        {16, false, false, true, ShowError, 'e'}, {17, false, true, true, ShowError, 'e'}, {18, false, true, false, None, 'e'},
        {30, false, false, true, ShowError, 'e'}, {36, false, false, true, ShowError, 'e'}, {12, false, true, true, TakeDown, 'E'},
        {15, false, false, true, TakeDown, 'N'},  {13, false, false, false, None, 'N'},     {16, true, false, true, None, '-'},
        {12, true, true, true, None, '-'},
    };
    for (const Case& c : cases) {
        const StatusDisplay display = DecideStatusDisplay(c.code, "some text", c.visible, c.newMail, c.balloons);
        EXPECT_EQ(display.statusBarText, "some text") << c.code;
        EXPECT_EQ(display.balloon, c.balloon) << c.code << c.visible;
        EXPECT_EQ(display.face ? pictures[static_cast<int>(display.face->picture)] : '-', c.picture) << c.code << c.visible;
        EXPECT_EQ(display.balloonText, c.balloon == ShowError ? "some text" : "") << c.code;
    }
    const StatusDisplay none = DecideStatusDisplay(99, std::nullopt, false, true, true);
    EXPECT_FALSE(none.statusBarText || none.face || none.balloon != None) << "a code without text changes nothing";
}

TEST(TrayState, LongTextsAreCutPerPlaceWithoutSplittingACharacter)
{
    const std::string text = std::string(62, 'a') + "\xC3\xA9" + std::string(300, 'b');
    const StatusDisplay display = DecideStatusDisplay(18, text, false, false, true);
    EXPECT_EQ(display.face->toolTip, std::string(62, 'a')); // the two-byte character would end at 64
    EXPECT_EQ(display.balloonText.size(), BalloonTextLimit);
    EXPECT_EQ(display.statusBarText->size(), StatusTextLimit);
}

} // namespace
