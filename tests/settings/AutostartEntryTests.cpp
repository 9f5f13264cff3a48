#include "AutostartEntry.h"
#include "StoreTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(AutostartEntry, ExecArgumentsAreQuotedAsDesktopEntriesRequire)
{
    EXPECT_EQ(DesktopExecArgument("/usr/bin/postbell"), "/usr/bin/postbell");
    EXPECT_EQ(DesktopExecArgument("/opt/Mail Tools/postbell"), "\"/opt/Mail Tools/postbell\"");
    EXPECT_EQ(DesktopExecArgument("/opt/100%/postbell"), "/opt/100%%/postbell");
    EXPECT_EQ(DesktopExecArgument("/opt/a&b/postbell"), "\"/opt/a&b/postbell\"");
    // Inside the quotes " ` $ and \ get a backslash; the file format then doubles every backslash.
    EXPECT_EQ(DesktopExecArgument("/x/$a\"b`c\\d e"), "\"/x/\\\\$a\\\\\"b\\\\`c\\\\\\\\d e\"");
    EXPECT_EQ(DesktopExecArgument("/x/new\nline"), "\"/x/new\\nline\"");
    EXPECT_EQ(DesktopExecArgument("/x/50% off"), "\"/x/50%% off\"");
}

TEST(AutostartEntry, TheEntryStartsTheProgramFromAPathWithSpaces)
{
    TempConfigHome home;
    const std::string folder = home.root + "/Program Files/Post bell";
    const std::string program = folder + "/post bell";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(AUTOSTART_PROBE, program);
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);

    auto run = [&](const char* argument) {
        const pid_t child = fork();
        if (child == 0) {
            alarm(30);
            execl(program.c_str(), program.c_str(), argument, static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };

    const std::string entry = home.configHome + "/autostart/postbell.desktop";
    EXPECT_EQ(AutostartEntryPath(), entry);
    ASSERT_EQ(run("on"), 0);
    EXPECT_EQ(ReadFile(entry), "[Desktop Entry]\n"
                               "Type=Application\n"
                               "Name=Postbell\n"
                               "Exec=\"" + program + "\"\n"
                               "Icon=postbell\n"
                               "X-GNOME-Autostart-enabled=true\n");
    EXPECT_EQ(PathMode(home.configHome + "/autostart"), 0700u);
    ASSERT_EQ(run("on"), 0); // rewritten over itself, no temporary left behind
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.configHome + "/autostart"),
                            std::filesystem::directory_iterator()),
              1);
    ASSERT_EQ(run("off"), 0);
    EXPECT_FALSE(PathExists(entry));
    ASSERT_EQ(run("off"), 0); // no entry to remove is no error
    EXPECT_FALSE(PathExists(entry));

    // In this process too: the entry names this test program.
    UpdateRunEntry(true);
    EXPECT_NE(ReadFile(entry).find("Exec=" + DesktopExecArgument(std::filesystem::read_symlink("/proc/self/exe"))),
              std::string::npos);
    UpdateRunEntry(false);
    EXPECT_FALSE(PathExists(entry));
}

} // namespace
