// Program directory, library directory, path joining and file keys.
#include "platform/paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/platform/temp_dir.h"

using namespace platform;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

TEST(Paths, JoinUsesOneSlashAndChangesNothingElse) {
    EXPECT_EQ(joinPath("/home/u/.local/share/orvelin/", "Messages", "MSN3"),
              "/home/u/.local/share/orvelin/Messages/MSN3");
    EXPECT_EQ(joinPath("/data", "/FaxIn/", "x.TIF"), "/data/FaxIn/x.TIF");
    EXPECT_EQ(joinPath("/data/", "", "Answer"), "/data/Answer");
    EXPECT_EQ(joinPath("rel", "a\\b"), "rel/a\\b");  // a backslash is a name character
    EXPECT_EQ(joinPath("/", "etc"), "/etc");
    EXPECT_EQ(joinPath("", "x"), "x");
    EXPECT_EQ(joinPath("/only/"), "/only/");
}

TEST(Paths, FileKeyReplacesUnsafeCharacters) {
    EXPECT_EQ(fileKey("0301234567"), "0301234567");
    EXPECT_EQ(fileKey("+49 (30) 123"), "+49 (30) 123");
    EXPECT_EQ(fileKey("../etc/passwd"), "_._etc_passwd");
    EXPECT_EQ(fileKey("a?b\\c/d"), "a_b_c_d");
    EXPECT_EQ(fileKey(std::string("x\ty\nz\x7f\x01\0", 8)), "x_y_z___");
    EXPECT_EQ(fileKey(".hidden.txt"), "_hidden.txt");
    EXPECT_EQ(fileKey("M\xC3\xBCller"), "M\xC3\xBCller");
    EXPECT_EQ(fileKey(""), "");
}

TEST(Paths, MakeDirectoriesCreatesParents) {
    TempDir dir;
    const std::string deep = dir.file("Messages/MSN1/sub");
    std::string error;
    ASSERT_TRUE(makeDirectories(deep, 0700, &error)) << error;
    EXPECT_TRUE(std::filesystem::is_directory(deep));
    EXPECT_TRUE(makeDirectories(deep + "/", 0700, &error)) << "an existing directory is fine";
    writeFile(dir.file("file"), "x");
    EXPECT_FALSE(makeDirectories(dir.file("file/below"), 0700, &error));
    EXPECT_NE(error.find(dir.file("file")), std::string::npos) << error;
    EXPECT_FALSE(makeDirectories("", 0700, &error));
}

TEST(Paths, LibraryDirectoryForInstalledAndBuildTrees) {
    EXPECT_EQ(libraryDirectoryFor("/usr/bin/orvelin"), "/usr/lib/orvelin/");
    EXPECT_EQ(libraryDirectoryFor("/opt/x/bin/orvelin"), "/opt/x/lib/orvelin/");
    TempDir dir;
    writeFile(dir.file("CMakeCache.txt"), "");
    EXPECT_EQ(libraryDirectoryFor(dir.file("orvelin")), dir.path() + "/");
    EXPECT_EQ(libraryDirectoryFor("/somewhere/orvelin"), "/somewhere/");
}

class ProgramDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Never the real home: every source of the directory points into the scratch dir.
        ASSERT_EQ(setenv("HOME", dir_.file("home").c_str(), 1), 0);
        ASSERT_EQ(unsetenv("XDG_DATA_HOME"), 0);
        ASSERT_EQ(unsetenv("ORVELIN_HOME"), 0);
    }
    TempDir dir_;
};

TEST_F(ProgramDirectoryTest, DefaultsFollowTheXdgRules) {
    EXPECT_EQ(programDirectory(), dir_.file("home") + "/.local/share/orvelin/");
    ASSERT_EQ(setenv("XDG_DATA_HOME", dir_.file("data").c_str(), 1), 0);
    EXPECT_EQ(programDirectory(), dir_.file("data") + "/orvelin/");
    ASSERT_EQ(setenv("XDG_DATA_HOME", "relative/ignored", 1), 0);
    EXPECT_EQ(programDirectory(), dir_.file("home") + "/.local/share/orvelin/");
    ASSERT_EQ(setenv("ORVELIN_HOME", dir_.file("h").c_str(), 1), 0);
    EXPECT_EQ(programDirectory(), dir_.file("h") + "/");
}

TEST_F(ProgramDirectoryTest, StartUpChoiceIsCreatedAndShared) {
    const char* argv[] = {"orvelin", "--home", nullptr, nullptr};
    const std::string chosen = dir_.file("chosen/deeper");
    argv[2] = chosen.c_str();
    std::string error;
    EXPECT_EQ(initProgramDirectory(3, argv, /*serviceMode=*/true, &error), chosen + "/") << error;
    EXPECT_TRUE(std::filesystem::is_directory(chosen));
    // Exported, so the settings library and started programs see the same directory.
    EXPECT_EQ(std::string(std::getenv("ORVELIN_HOME")), chosen + "/");
    EXPECT_EQ(programDirectory(), chosen + "/");

    // The environment wins over --home.
    const std::string other = dir_.file("env");
    ASSERT_EQ(setenv("ORVELIN_HOME", other.c_str(), 1), 0);
    EXPECT_EQ(initProgramDirectory(3, argv, false, &error), other + "/");

    // --home=DIR, made absolute against the current directory.
    ASSERT_EQ(unsetenv("ORVELIN_HOME"), 0);
    const std::string cwd = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    const char* argv2[] = {"orvelin", "--home=rel", nullptr};
    std::string got = initProgramDirectory(2, argv2, false, &error);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    EXPECT_EQ(got, dir_.path() + "/rel/");
    EXPECT_TRUE(std::filesystem::is_directory(dir_.file("rel")));

    // Nothing given: the XDG default, created with its parents.
    ASSERT_EQ(unsetenv("ORVELIN_HOME"), 0);
    const char* argv3[] = {"orvelin", nullptr};
    EXPECT_EQ(initProgramDirectory(1, argv3, false, &error),
              dir_.file("home") + "/.local/share/orvelin/");
    EXPECT_TRUE(std::filesystem::is_directory(dir_.file("home") + "/.local/share/orvelin"));

    // A directory that cannot be made is an error, not a silent fallback.
    ASSERT_EQ(unsetenv("ORVELIN_HOME"), 0);
    writeFile(dir_.file("blocker"), "x");
    const std::string blocked = dir_.file("blocker/sub");
    const char* argv4[] = {"orvelin", "--home", blocked.c_str(), nullptr};
    EXPECT_EQ(initProgramDirectory(3, argv4, false, &error), "");
    EXPECT_FALSE(error.empty());
}

}  // namespace
