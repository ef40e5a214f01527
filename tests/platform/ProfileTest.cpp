#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "common/IniFile.h"
#include "platform/Profile.h"
#include "tests/support/TempDir.h"

using namespace platform;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(IniDocument, MatchesSectionsAndKeysWithoutCaseAndKeepsUntouchedLines) {
    IniDocument doc =
        IniDocument::Parse("; note\r\n[options]\r\nMode = 2 \r\nodd line\r\n[Other]\r\nx=1\r\n");
    EXPECT_EQ(doc.Get("OPTIONS", "mode"), "2");
    EXPECT_EQ(doc.Get("Options", "missing"), std::nullopt);
    EXPECT_EQ(doc.Get("Nowhere", "x"), std::nullopt);
    doc.Set("Options", "MODE", "3");
    doc.Set("Options", "Added", "a");
    EXPECT_EQ(doc.Serialize(),
              "; note\r\n[options]\r\nMode=3\r\nodd line\r\nAdded=a\r\n[Other]\r\nx=1\r\n");
}

TEST(IniDocument, FirstOfDuplicateSectionsAndKeysWins) {
    IniDocument doc = IniDocument::Parse("[A]\nk=1\nk=2\n[a]\nk=3\n");
    EXPECT_EQ(doc.Get("A", "k"), "1");
    doc.Set("a", "K", "9");
    EXPECT_EQ(doc.Serialize(), "[A]\nk=9\nk=2\n[a]\nk=3\n");
}

TEST(IniDocument, NewSectionsGoAtTheEndAfterABlankLine) {
    IniDocument doc = IniDocument::Parse("[A]\nk=1");
    doc.Set("B", "j", "2");
    EXPECT_EQ(doc.Serialize(), "[A]\nk=1\n\n[B]\nj=2\n");
    IniDocument empty = IniDocument::Parse("");
    empty.Set("B", "j", "");
    EXPECT_EQ(empty.Serialize(), "[B]\nj=\n");
}

TEST(IniDocument, AValueWithALineBreakIsRefusedAndChangesNothing) {
    const std::string text = "[Options]\nOutputDirectory=/old\n[Copy]\nEnable=0\n";
    const char* values[] = {"/a\nb", "/a\r\nb", "/a\rb", "/x\n[Copy]\nEnable=1", "\n"};
    for (const char* value : values) {
        IniDocument doc = IniDocument::Parse(text);
        EXPECT_FALSE(doc.Set("Options", "OutputDirectory", value)) << value;
        EXPECT_FALSE(doc.Set("New", "Key", value)) << value;
        EXPECT_EQ(doc.Serialize(), text) << value;
    }
    IniDocument doc = IniDocument::Parse(text);
    EXPECT_FALSE(doc.Set("Options", "Odd\nKey", "1"));
    EXPECT_FALSE(doc.Set("Odd]\n[Copy", "Enable", "1"));
    EXPECT_TRUE(doc.Set("Options", "OutputDirectory", "/a=b [c]; d"));
    EXPECT_EQ(doc.Get("Options", "OutputDirectory"), "/a=b [c]; d");
}

TEST(ProfileInt, DecimalHexAndFallbacks) {
    struct Case {
        const char* text;
        int expected;
    } cases[] = {
        {"2", 2},
        {"-1", -1},
        {"0x2", 2},
        {"0X1f", 31},
        {"0x", 77},
        {"0xZZ", 77},
        {"abc", 77},
        {"", 77},
        {"12abc", 77},
        {"99999999999", 77},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"0xFFFFFFFF", -1},
        {"0x100000000", 77},
        {"00", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ProfileIntFromText(c.text, 77), c.expected) << c.text;
    }
}

TEST(ProfileFile, MissingFileSectionOrKeyGiveTheFallback) {
    TempDir dir;
    const std::string path = dir.File("settings.ini");
    EXPECT_EQ(GetPrivateProfileString("Options", "OutputDirectory", "def", path), "def");
    EXPECT_EQ(GetPrivateProfileInt("Options", "RadioButton", 4, path), 4);
    WriteFile(path, "[Options]\nOutputDirectory=\nRadioButton=text\n");
    EXPECT_EQ(GetPrivateProfileString("Options", "OutputDirectory", "def", path), "");
    EXPECT_EQ(GetPrivateProfileInt("Options", "RadioButton", 4, path), 4);
    EXPECT_EQ(GetPrivateProfileInt("Copy", "Enable", 0, path), 0);
}

TEST(ProfileFile, HostileFilesReadWithoutHarm) {
    TempDir dir;
    const std::string path = dir.File("settings.ini");
    std::string binary;
    for (int i = 0; i < 4096; ++i) {
        binary.push_back(static_cast<char>(i * 7919 % 256));
    }
    WriteFile(path, binary);
    EXPECT_EQ(GetPrivateProfileInt("Options", "Quality", 0, path), 0);
    EXPECT_EQ(GetPrivateProfileString("Options", "OutputDirectory", "d", path), "d");

    WriteFile(path, "[Options]\nno equals sign\nOutputDirectory=" + std::string(10000, 'x') + "\n");
    EXPECT_EQ(GetPrivateProfileString("Options", "OutputDirectory", "d", path).size(),
              kProfileStringMax);
    // Writing into such a file keeps what it cannot understand.
    ASSERT_TRUE(WritePrivateProfileString("Options", "Quality", "1", path));
    EXPECT_NE(ReadFile(path).find("no equals sign\n"), std::string::npos);
}

TEST(ProfileFile, AValueWithALineBreakIsNotWrittenAndTheFileStaysAsItWas) {
    TempDir dir;
    const std::string path = dir.File("settings.ini");
    const std::string text = "[Options]\nOutputDirectory=/old\nQuality=0\n";
    WriteFile(path, text);
    EXPECT_FALSE(WritePrivateProfileString("Options", "OutputDirectory",
                                           "/videos\nQuality=3\n[Copy]\nEnable=1", path));
    EXPECT_EQ(ReadFile(path), text);
    EXPECT_EQ(GetPrivateProfileInt("Copy", "Enable", 0, path), 0);
}

TEST(ProfileFile, WritesReplaceTheFileWholeAndKeepItsMode) {
    TempDir dir;
    const std::string path = dir.File("settings.ini");
    ASSERT_TRUE(WritePrivateProfileString("Options", "A", "1", path));
    ASSERT_TRUE(WritePrivateProfileString("Copy", "Enable", "0", path));
    ASSERT_TRUE(WritePrivateProfileString("Options", "B", "2", path));
    EXPECT_EQ(ReadFile(path), "[Options]\nA=1\nB=2\n\n[Copy]\nEnable=0\n");
    chmod(path.c_str(), 0600);
    ASSERT_TRUE(WritePrivateProfileString("Options", "A", "3", path));
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // No temporary file is left beside it.
    int entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.Path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST(ProfileFile, AFolderWithoutWriteAccessFailsTheWrite) {
    // /proc refuses new files even to root, as a read-only folder does to a user.
    EXPECT_FALSE(WritePrivateProfileString("Options", "A", "1", "/proc/tamberlo-settings.ini"));
    EXPECT_EQ(GetPrivateProfileInt("Options", "A", 5, "/proc/tamberlo-settings.ini"), 5);

    TempDir dir;
    const std::string path = dir.File("settings.ini");
    std::filesystem::create_directory(path);  // a folder where the file should be
    EXPECT_FALSE(WritePrivateProfileString("Options", "A", "1", path));
    EXPECT_TRUE(std::filesystem::is_directory(path));
}

TEST(ProfileFile, FileSituations) {
    const std::string text = "[Options]\nQuality=2\n";
    struct Case {
        const char* name;
        // Makes what stands at path, in dir.
        std::function<void(const TempDir& dir, const std::string& path)> make;
        ProfileAccess access;
        int read;  // what Quality reads as, 7 being the fallback
    };
    const Case cases[] = {
        {"regular file", [&](const TempDir&, const std::string& p) { WriteFile(p, text); },
         ProfileAccess::Writable, 2},
        {"missing file", [](const TempDir&, const std::string&) {}, ProfileAccess::Writable, 7},
        // Opening it must not wait for a writer that never comes.
        {"FIFO", [](const TempDir&, const std::string& p) { mkfifo(p.c_str(), 0644); },
         ProfileAccess::NotAFile, 7},
        {"read-only file",
         [&](const TempDir&, const std::string& p) {
             WriteFile(p, text);
             chmod(p.c_str(), 0444);
         },
         ProfileAccess::ReadOnly, 2},
        {"link to a file",
         [&](const TempDir& d, const std::string& p) {
             WriteFile(d.File("target.ini"), text);
             symlink(d.File("target.ini").c_str(), p.c_str());
         },
         ProfileAccess::Link, 2},
        {"dangling link",
         [](const TempDir& d, const std::string& p) {
             symlink(d.File("nowhere.ini").c_str(), p.c_str());
         },
         ProfileAccess::Link, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.File("settings.ini");
        c.make(dir, path);
        struct stat before {};
        const bool existed = lstat(path.c_str(), &before) == 0;
        EXPECT_EQ(CheckProfileAccess(path), c.access);
        EXPECT_EQ(GetPrivateProfileInt("Options", "Quality", 7, path), c.read);
        const bool writable = c.access == ProfileAccess::Writable;
        EXPECT_EQ(WritePrivateProfileString("Options", "Quality", "3", path), writable);
        struct stat after {};
        ASSERT_EQ(lstat(path.c_str(), &after) == 0, existed || writable);
        if (!writable) {
            // What stood there stands unchanged, and nothing was made through a link.
            EXPECT_EQ(after.st_ino, before.st_ino);
            EXPECT_EQ(after.st_mode, before.st_mode);
            EXPECT_FALSE(std::filesystem::exists(dir.File("nowhere.ini")));
            if (c.read == 2) {
                EXPECT_EQ(ReadFile(path), text);
            }
        } else {
            EXPECT_EQ(GetPrivateProfileInt("Options", "Quality", 7, path), 3);
        }
    }
}

TEST(ProfileFile, ValuesComeBackAsTheyWereWritten) {
    TempDir dir;
    const std::string path = dir.File("settings.ini");
    const std::string values[] = {
        "/videos/ends in a space ",
        " /starts with one",
        "\t/tab\t",
        "\"/quoted\"",
        "\"",
        "/" + std::string(kProfileStringMax - 1, 'd'),
    };
    for (const std::string& value : values) {
        SCOPED_TRACE(value.substr(0, 40));
        ASSERT_TRUE(WritePrivateProfileString("Options", "OutputDirectory", value, path));
        EXPECT_EQ(GetPrivateProfileString("Options", "OutputDirectory", "", path), value);
    }
    // One that could not be read back whole is not written.
    EXPECT_FALSE(WritePrivateProfileString("Options", "OutputDirectory",
                                           std::string(kProfileStringMax + 1, 'd'), path));
    EXPECT_EQ(GetPrivateProfileString("Options", "OutputDirectory", "", path), values[5]);
}
