// The registry hive: format, names, typed reads, access rules and refusal of bad files.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/platform/temp_dir.h"

using namespace platform;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

constexpr const char* kKey = "SOFTWARE\\ORVELIN";

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> out;
    for (int b : list) out.push_back(static_cast<uint8_t>(b));
    return out;
}

TEST(RegistryFormat, WritesTheExportFormat) {
    RegNode root;
    ASSERT_TRUE(parseHive("", root).ok());
    RegNode* k = root.createSubkey(kKey);
    ASSERT_NE(k, nullptr);
    k->setDword("Options", 0x1e);
    k->setString("Auth", "a\"b\\c");
    k->setBinary("Strip", bytes({3, 4, 5}));
    root.createSubkey("SOFTWARE\\ORVELIN\\MSN")->setString("", "x");
    EXPECT_EQ(serializeHive(root),
              "Windows Registry Editor Version 5.00\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]\n"
              "\"Options\"=dword:0000001e\n"
              "\"Auth\"=\"a\\\"b\\\\c\"\n"
              "\"Strip\"=hex:03,04,05\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN]\n"
              "@=\"x\"\n"
              "\n");
}

TEST(RegistryFormat, ReadsHandWrittenFiles) {
    // BOM, CRLF, comments, indentation, continuation lines, upper-case hex, implicit
    // parent keys, a repeated key section and a value type we do not interpret.
    const std::string text =
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; settings made by hand\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN\\Numbers]\r\n"
        "\"MSN1\"=\"12345\"\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]\r\n"
        "  \"Options\" = dword:1E\r\n"
        "\"Long\"=hex:01,02,\\\r\n"
        "  03,04,\\\r\n"
        "  FF\r\n"
        "\"Multi\"=hex(7):41,00,00,00\r\n"
        "\"Empty\"=hex:\r\n"
        "\"Short\"=hex(4):2a,00\r\n"
        "[hkey_local_machine\\software\\orvelin]\r\n"
        "\"Options\"=dword:0000001f\r\n";
    RegNode root;
    RegResult r = parseHive(text, root);
    ASSERT_TRUE(r.ok()) << r.message;
    const RegNode* k = root.subkey(kKey);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->readDword("Options", 0), 0x1fu);  // the later section wins
    EXPECT_EQ(k->readBinary("Long", {}, 5), bytes({1, 2, 3, 4, 0xff}));
    ASSERT_NE(k->value("Multi"), nullptr);
    EXPECT_EQ(k->value("Multi")->type, static_cast<RegType>(7));
    EXPECT_EQ(k->value("Multi")->data, bytes({0x41, 0, 0, 0}));
    EXPECT_EQ(k->binary("Empty", 0), std::vector<uint8_t>{});
    // One mistyped value costs that value only, not the whole hive.
    EXPECT_EQ(k->readDword("Short", 7), 7u);
    EXPECT_EQ(root.subkey("SOFTWARE\\ORVELIN\\MSN\\Numbers")->readString("MSN1", ""), "12345");
    // What we read we write back so that it reads the same.
    RegNode again;
    ASSERT_TRUE(parseHive(serializeHive(root), again).ok());
    EXPECT_EQ(serializeHive(again), serializeHive(root));
    EXPECT_EQ(again.subkey(kKey)->value("Multi")->type, static_cast<RegType>(7));
}

TEST(RegistryFormat, RoundTripsAwkwardValues) {
    TempDir dir;
    Hive hive(dir.file("orvelin.reg"));
    std::vector<uint8_t> allBytes;
    for (int i = 0; i < 256; ++i) allBytes.push_back(static_cast<uint8_t>(i));
    const std::string tricky = "say \"hi\" C:\\dir\\ $(rm -rf x) \t;[x]=@\n\r\nend";
    const std::string utf8 =
        "Gr\xC3\xBC\xC3\x9F"
        "e \xE2\x82\xAC \xF0\x9F\x93\x9E";
    const std::string withNul("a\0b", 3);
    RegResult r = hive.update([&](RegNode& root) {
        RegNode* k = root.createSubkey("SOFTWARE\\ORVELIN\\Callers\\+49 (30) \"x\"");
        k->setString(tricky, tricky);  // names take the same escapes
        k->setString("utf8", utf8);
        k->setValue(
            "nul", RegValue{RegType::String, std::vector<uint8_t>(withNul.begin(), withNul.end())});
        k->setString("empty", "");
        k->setBinary("all", allBytes);
        k->setDword("max", 0xffffffffu);
        k->setString("", "default");
        k->setValue("other", RegValue{RegType::Qword, bytes({1, 2, 3, 4, 5, 6, 7, 8})});
    });
    ASSERT_TRUE(r.ok()) << r.message;

    RegNode root;
    r = hive.load(root);
    ASSERT_TRUE(r.ok()) << r.message;
    const RegNode* k = root.subkey("SOFTWARE\\ORVELIN\\Callers\\+49 (30) \"x\"");
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->readString(tricky, ""), tricky);
    EXPECT_EQ(k->readString("utf8", ""), utf8);
    EXPECT_EQ(k->value("nul")->data.size(), 3u);
    EXPECT_EQ(k->readString("nul", "?"), "a");  // readers see a C string
    EXPECT_EQ(k->readString("empty", "?"), "");
    EXPECT_EQ(k->readBinary("all", {}, 256), allBytes);
    EXPECT_EQ(k->readDword("max", 0), 0xffffffffu);
    EXPECT_EQ(k->readString("", ""), "default");
    EXPECT_EQ(k->value("other")->type, RegType::Qword);
    EXPECT_EQ(k->value("other")->data, bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(k->valueNames(), (std::vector<std::string>{tricky, "utf8", "nul", "empty", "all",
                                                         "max", "", "other"}));
}

TEST(RegistryNames, CaseInsensitiveWithCaseKept) {
    RegNode root;
    RegNode* k = root.createSubkey("SOFTWARE\\Orvelin");
    k->setDword("Options", 1);
    k->setDword("OPTIONS", 2);  // the same value
    EXPECT_EQ(k->valueNames(), std::vector<std::string>{"Options"});
    EXPECT_EQ(k->readDword("oPtIoNs", 0), 2u);
    EXPECT_EQ(root.createSubkey("software\\ORVELIN"), k);
    EXPECT_EQ(root.subkey("SOFTWARE")->subkeyNames(), std::vector<std::string>{"Orvelin"});
    EXPECT_TRUE(k->deleteValue("options"));
    EXPECT_EQ(k->value("Options"), nullptr);
    EXPECT_FALSE(k->deleteValue("options"));
    // Only ASCII letters fold: other bytes must match exactly.
    k->setDword("\xC3\x84", 1);
    EXPECT_EQ(k->value("\xC3\xA4"), nullptr);
}

TEST(RegistryNames, SubkeysAreListedSorted) {
    TempDir dir;
    Hive hive(dir.file("orvelin.reg"));
    auto callers = hive.createKey("SOFTWARE\\ORVELIN\\Callers");
    ASSERT_TRUE(callers);
    for (const char* name : {"b", "Unlisted", "A", "030123", "c", "B2", "Restricted", "unknown"})
        ASSERT_TRUE(callers->createSubkey(name));
    const std::vector<std::string> sorted{"030123", "A",          "b",       "B2",
                                          "c",      "Restricted", "unknown", "Unlisted"};
    ASSERT_TRUE(callers->refresh().ok());
    EXPECT_EQ(callers->subkeyNames(), sorted);
    auto again = hive.openKey("software\\orvelin\\callers", RegAccess::Read);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->subkeyNames(), sorted);
    RegNode scratch;
    EXPECT_EQ(scratch.createSubkey("bad\x01name"), nullptr);
    EXPECT_EQ(callers->createSubkey("bad\x01name").has_value(), false);
}

TEST(RegistryKeys, DeleteRefusedWhileSubkeysExist) {
    TempDir dir;
    Hive hive(dir.file("orvelin.reg"));
    ASSERT_TRUE(hive.createKey("SOFTWARE\\ORVELIN\\Callers\\123"));
    auto key = hive.openKey("SOFTWARE\\ORVELIN", RegAccess::Full);
    ASSERT_TRUE(key);
    const std::string before = readFile(hive.path());
    EXPECT_EQ(key->deleteSubkey("Callers").status, RegStatus::HasSubkeys);
    EXPECT_EQ(readFile(hive.path()), before);
    EXPECT_EQ(key->deleteSubkey("Callers\\999").status, RegStatus::NotFound);
    EXPECT_EQ(key->deleteSubkey("Missing\\999").status, RegStatus::NotFound);
    EXPECT_TRUE(key->deleteSubkey("callers\\123").ok());
    EXPECT_TRUE(key->deleteSubkey("Callers").ok());
    EXPECT_EQ(key->node().subkey("Callers"), nullptr);
    EXPECT_FALSE(hive.openKey("SOFTWARE\\ORVELIN\\Callers", RegAccess::Read));
    // A key deleted behind an open handle: its changes report NotFound, nothing is recreated.
    auto msn = hive.createKey("SOFTWARE\\ORVELIN\\MSN");
    ASSERT_TRUE(msn);
    ASSERT_TRUE(key->deleteSubkey("MSN").ok());
    EXPECT_EQ(msn->setDword("x", 1).status, RegStatus::NotFound);
    EXPECT_FALSE(hive.openKey("SOFTWARE\\ORVELIN\\MSN", RegAccess::Read));
}

TEST(RegistryValues, TypedReadsGiveTheDefaultForWrongTypeOrSize) {
    RegNode k;
    k.setString("HostPort", "1");
    k.setBinary("Bin4", bytes({0x78, 0x56, 0x34, 0x12}));
    k.setBinary("Bin3", bytes({1, 2, 3}));
    k.setBinary("Bin5", bytes({1, 2, 3, 4, 5}));
    k.setDword("Dword", 7);
    k.setString("Pass1", "secret");
    k.setValue("Expand", RegValue{RegType::ExpandString, bytes({'%', 'X', '%'})});

    EXPECT_EQ(k.readDword("HostPort", 10001), 10001u);  // not 49
    EXPECT_EQ(k.readDword("Bin4", 0), 0x12345678u);
    EXPECT_EQ(k.readDword("Bin3", 9), 9u);
    EXPECT_EQ(k.readDword("Bin5", 9), 9u);
    EXPECT_EQ(k.readDword("Missing", 9), 9u);
    EXPECT_FALSE(k.dword("Pass1"));

    EXPECT_EQ(k.readString("Pass1", "none", 63), "secret");
    EXPECT_EQ(k.readString("Pass1", "none", 6), "secret");
    EXPECT_EQ(k.readString("Pass1", "none", 5), "none");  // too long for the caller
    EXPECT_EQ(k.readString("Dword", "none"), "none");
    EXPECT_EQ(k.readString("Expand", "none"), "%X%");
    EXPECT_FALSE(k.string("Missing"));

    EXPECT_EQ(k.readBinary("Bin3", bytes({9}), 3), bytes({1, 2, 3}));
    EXPECT_EQ(k.readBinary("Bin3", bytes({9}), 2), bytes({9}));  // "Strip" must be exactly 3 bytes
    EXPECT_EQ(k.readBinary("Bin5", bytes({9}), 2), bytes({9}));
    EXPECT_EQ(k.readBinary("Pass1", bytes({9}), 6), bytes({9}));
    EXPECT_EQ(k.readBinary("Dword", {}, 4), bytes({7, 0, 0, 0}));
}

TEST(RegistryAccess, ReadKeysCannotWriteAndMissingHivesAreEmpty) {
    TempDir dir;
    Hive hive(dir.file("orvelin.reg"));
    RegResult err;
    EXPECT_FALSE(hive.openKey(kKey, RegAccess::Read, &err));
    EXPECT_EQ(err.status, RegStatus::NotFound);
    RegNode root;
    EXPECT_TRUE(hive.load(root).ok());
    EXPECT_FALSE(root.hasSubkeys());

    auto created = hive.createKey(kKey, &err);
    ASSERT_TRUE(created) << err.message;
    EXPECT_TRUE(created->setDword("Options", 4).ok());
    EXPECT_EQ(created->readDword("Options", 0), 4u);  // the handle sees its own change

    auto reader = hive.openKey(kKey, RegAccess::Read);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->setDword("Options", 5).status, RegStatus::AccessDenied);
    EXPECT_FALSE(reader->createSubkey("MSN", &err));
    EXPECT_EQ(err.status, RegStatus::AccessDenied);
    EXPECT_EQ(hive.openKey(kKey, RegAccess::Read)->readDword("Options", 0), 4u);

    // A handle reads the state it was opened with until it refreshes.
    ASSERT_TRUE(created->setDword("Options", 6).ok());
    EXPECT_EQ(reader->readDword("Options", 0), 4u);
    ASSERT_TRUE(reader->refresh().ok());
    EXPECT_EQ(reader->readDword("Options", 0), 6u);

    // Several values in one transaction, and one abandoned.
    ASSERT_TRUE(created
                    ->update([](RegNode& k) {
                        k.setDword("Options", k.readDword("Options", 0) | 0x20);
                        k.setString("SayWhat", "Call from");
                    })
                    .ok());
    EXPECT_EQ(created->readDword("Options", 0), 0x26u);
    const std::string before = readFile(hive.path());
    RegResult abandoned = created->update([](RegNode& k) -> RegResult {
        k.setDword("Options", 0);
        return {RegStatus::InvalidName, "changed my mind"};
    });
    EXPECT_EQ(abandoned.status, RegStatus::InvalidName);
    EXPECT_EQ(readFile(hive.path()), before);

    struct stat st {};
    ASSERT_EQ(stat(hive.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the hive holds passwords";
    ASSERT_EQ(stat((hive.path() + ".lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(RegistryAccess, ReadOnlyHiveRefusesFullAccess) {
    TempDir dir;
    Hive hive(dir.file("orvelin.reg"));
    ASSERT_TRUE(hive.createKey(kKey));
    ASSERT_TRUE(hive.openKey(kKey, RegAccess::Full)->setDword("Options", 3).ok());
    ASSERT_EQ(chmod(hive.path().c_str(), 0444), 0);
    const std::string before = readFile(hive.path());

    RegResult err;
    EXPECT_FALSE(hive.openKey(kKey, RegAccess::Full, &err));
    EXPECT_EQ(err.status, RegStatus::AccessDenied);
    EXPECT_NE(err.message.find("read-only"), std::string::npos) << err.message;
    EXPECT_FALSE(hive.createKey("SOFTWARE\\ORVELIN\\MSN", &err));
    EXPECT_EQ(err.status, RegStatus::AccessDenied);
    EXPECT_EQ(hive.update([](RegNode& r) { r.createSubkey("X"); }).status, RegStatus::AccessDenied);
    EXPECT_EQ(hive.checkWritable().status, RegStatus::AccessDenied);

    auto reader = hive.openKey(kKey, RegAccess::Read, &err);
    ASSERT_TRUE(reader) << err.message;
    EXPECT_EQ(reader->readDword("Options", 0), 3u);
    EXPECT_EQ(readFile(hive.path()), before);
}

TEST(RegistryAccess, MalformedHiveIsNeverWritten) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"no header", "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"},
        {"other header", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"},
        {"value before key", "Windows Registry Editor Version 5.00\n\"a\"=dword:1\n"},
        {"other root", "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\SOFTWARE]\n"},
        {"deletion", "Windows Registry Editor Version 5.00\n[-HKEY_LOCAL_MACHINE\\SOFTWARE]\n"},
        {"value deletion",
         "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=-\n"},
        {"bad escape",
         "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=\"C:\\dir\"\n"},
        {"open quote",
         "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=\"abc\n"},
        {"long dword",
         "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=dword:123456789\n"},
        {"bad hex",
         "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=hex:01,zz\n"},
        {"cut continuation",
         "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"a\"=hex:01,\\\n"},
        {"unclosed key", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S\n"},
        {"garbage", "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\nOptions=1\n"},
        {"utf-16", std::string("\xFF\xFEW\0i\0", 6)},
        {"torn",
         "Windows Registry Editor Version "
         "5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]\n\"Options\"=dwo"},
    };
    for (const auto& [what, text] : cases) {
        SCOPED_TRACE(what);
        TempDir dir;
        Hive hive(dir.file("orvelin.reg"));
        writeFile(hive.path(), text);
        RegResult err;
        EXPECT_FALSE(hive.openKey("SOFTWARE", RegAccess::Read, &err));
        EXPECT_EQ(err.status, RegStatus::Malformed);
        EXPECT_NE(err.message.find(hive.path()), std::string::npos) << err.message;
        EXPECT_NE(err.message.find("line "), std::string::npos) << err.message;
        RegNode root;
        EXPECT_EQ(hive.load(root).status, RegStatus::Malformed);
        EXPECT_FALSE(root.hasSubkeys()) << "a malformed hive reads as empty";
        EXPECT_FALSE(hive.openKey("", RegAccess::Full));
        EXPECT_FALSE(hive.createKey(kKey, &err));
        EXPECT_EQ(err.status, RegStatus::Malformed);
        EXPECT_EQ(hive.update([](RegNode& r) { r.createSubkey("X"); }).status,
                  RegStatus::Malformed);
        EXPECT_EQ(readFile(hive.path()), text) << "the file must be kept byte for byte";
    }
}

TEST(RegistryAccess, FailedWriteKeepsTheOldHive) {
    TempDir dir;
    Hive hive(dir.file("orvelin.reg"));
    ASSERT_TRUE(hive.createKey(kKey)->setDword("Options", 1).ok());
    const std::string before = readFile(hive.path());

    // The temp file cannot be created: the change fails and the hive stays as it was.
    ASSERT_EQ(mkdir((hive.path() + ".tmp").c_str(), 0700), 0);
    RegResult r =
        hive.update([](RegNode& root) { root.createSubkey(kKey)->setDword("Options", 2); });
    EXPECT_EQ(r.status, RegStatus::IoError);
    EXPECT_NE(r.message.find(".tmp"), std::string::npos) << r.message;
    EXPECT_EQ(readFile(hive.path()), before);
    ASSERT_EQ(rmdir((hive.path() + ".tmp").c_str()), 0);

    // Without its lock file no change is made at all.
    Hive locked(dir.file("other.reg"));
    ASSERT_EQ(mkdir((locked.path() + ".lock").c_str(), 0700), 0);
    EXPECT_FALSE(locked.createKey(kKey, &r));
    EXPECT_NE(r.message.find(".lock"), std::string::npos) << r.message;
    EXPECT_FALSE(std::filesystem::exists(locked.path()));

    EXPECT_TRUE(hive.createKey(kKey)->setDword("Options", 3).ok());
    EXPECT_EQ(hive.openKey(kKey, RegAccess::Read)->readDword("Options", 0), 3u);
}

// A hive is refused when it is read if it could not be written back, and no change
// writes a file that the next read would refuse.
TEST(RegistryLimits, WhatCannotBeWrittenBackIsNeverRead) {
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    auto nested = [](size_t levels) {
        std::string path = "HKEY_LOCAL_MACHINE";
        for (size_t i = 0; i < levels; ++i) path += "\\a";
        return "[" + path + "]\n\"v\"=dword:00000001\n";
    };
    struct Case {
        const char* what;
        std::string text;
        const char* refusal;  // nullptr: reads and writes back
    };
    const Case cases[] = {
        {"a key 512 levels deep", header + nested(512), nullptr},
        {"a key 10,000 levels deep", header + nested(10000), "deeper than 512 levels"},
        {"a value whose NUL bytes would double past 64 MiB",
         header + "[HKEY_LOCAL_MACHINE\\S]\n\"v\"=\"" + std::string(33u << 20, '\0') + "\"\n",
         "more than 64 MiB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Hive hive(dir.file("orvelin.reg"));
        writeFile(hive.path(), c.text);
        RegNode root;
        RegResult loaded = hive.load(root);
        RegResult changed = hive.update([](RegNode& r) { r.createSubkey("X"); });
        if (!c.refusal) {
            EXPECT_TRUE(loaded.ok()) << loaded.message;
            EXPECT_TRUE(changed.ok()) << changed.message;
            EXPECT_TRUE(hive.load(root).ok());
            EXPECT_TRUE(root.subkey("X"));
            continue;
        }
        EXPECT_EQ(loaded.status, RegStatus::Malformed);
        EXPECT_NE(loaded.message.find(c.refusal), std::string::npos) << loaded.message;
        EXPECT_FALSE(root.hasSubkeys());
        EXPECT_EQ(changed.status, RegStatus::Malformed);
        EXPECT_EQ(readFile(hive.path()), c.text) << "the file must be kept byte for byte";
    }

    // Changes that would make such a file are refused, and the hive stays readable.
    struct Change {
        const char* what;
        std::function<void(RegNode&)> apply;
        const char* refusal;
    };
    const Change changes[] = {
        {"keys nested one at a time past 512 levels",
         [](RegNode& r) {
             RegNode* k = &r;
             for (int i = 0; i < 600; ++i) k = k->createSubkey("a");
         },
         "deeper than 512 levels"},
        {"a value whose NUL bytes would double past 64 MiB",
         [](RegNode& r) {
             r.createSubkey("S")->setString("v", std::string(33u << 20, '\0'));
         },
         "more than 64 MiB"},
    };
    for (const Change& c : changes) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        Hive hive(dir.file("orvelin.reg"));
        ASSERT_TRUE(hive.createKey(kKey)->setDword("Options", 7).ok());
        const std::string before = readFile(hive.path());
        RegResult r = hive.update(c.apply);
        EXPECT_FALSE(r.ok());
        EXPECT_NE(r.message.find(c.refusal), std::string::npos) << r.message;
        EXPECT_EQ(readFile(hive.path()), before);
        EXPECT_EQ(hive.openKey(kKey, RegAccess::Read)->readDword("Options", 0), 7u);
    }
    // A tree far deeper than any file may hold is still taken down without a crash.
    {
        RegNode deep("HKEY_LOCAL_MACHINE");
        RegNode* k = &deep;
        for (int i = 0; i < 300000; ++i) k = k->createSubkey("a");
        k->setDword("v", 1);
    }
}

// Something other than a regular file under a hive's names never holds a read or a
// change; a symbolic link is followed to the file it names.
TEST(RegistryFiles, FifosAreRefusedAndLinksAreWrittenThrough) {
    for (const char* suffix : {"", ".lock", ".tmp"}) {
        SCOPED_TRACE(std::string("a FIFO at the hive's name") + suffix);
        TempDir dir;
        Hive hive(dir.file("orvelin.reg"));
        if (*suffix) {
            ASSERT_TRUE(hive.createKey(kKey)->setDword("Options", 1).ok());
        }
        std::filesystem::remove(hive.path() + suffix);
        ASSERT_EQ(mkfifo((hive.path() + suffix).c_str(), 0600), 0);
        RegNode root;
        RegResult r = hive.load(root);
        EXPECT_EQ(r.ok(), *suffix != '\0') << r.message;
        r = hive.update([](RegNode& tree) { tree.createSubkey("New"); });
        EXPECT_FALSE(r.ok());
        EXPECT_NE(r.message.find(hive.path() + suffix), std::string::npos) << r.message;
    }

    TempDir dir;
    std::filesystem::create_directory(dir.file("real"));
    const std::string target = dir.file("real/settings.reg");
    Hive hive(dir.file("orvelin.reg"));
    ASSERT_TRUE(Hive(target).createKey(kKey)->setDword("Options", 1).ok());
    std::filesystem::create_symlink("real/settings.reg", hive.path());
    ASSERT_TRUE(hive.createKey(kKey)->setDword("Options", 2).ok());
    EXPECT_TRUE(std::filesystem::is_symlink(hive.path())) << "the link is kept";
    EXPECT_EQ(Hive(target).openKey(kKey, RegAccess::Read)->readDword("Options", 0), 2u);
    EXPECT_EQ(hive.openKey(kKey, RegAccess::Read)->readDword("Options", 0), 2u);

    // A link to nothing is refused with its name, and left as it is.
    Hive dangling(dir.file("gone.reg"));
    std::filesystem::create_symlink("real/missing/settings.reg", dangling.path());
    RegResult r;
    EXPECT_FALSE(dangling.createKey(kKey, &r));
    EXPECT_NE(r.message.find(dangling.path()), std::string::npos) << r.message;
    EXPECT_TRUE(std::filesystem::is_symlink(dangling.path()));
}

TEST(RegistryPaths, DefaultPathFollowsTheEnvironment) {
    ASSERT_EQ(setenv("ORVELIN_REGISTRY", "/somewhere/else.reg", 1), 0);
    EXPECT_EQ(Hive::defaultPath(), "/somewhere/else.reg");
    ASSERT_EQ(unsetenv("ORVELIN_REGISTRY"), 0);
    ASSERT_EQ(setenv("ORVELIN_HOME", "/srv/orvelin", 1), 0);
    EXPECT_EQ(Hive::defaultPath(), "/srv/orvelin/orvelin.reg");
    EXPECT_EQ(Hive::atDefaultPath().path(), "/srv/orvelin/orvelin.reg");
}

}  // namespace

namespace {

// Hand edits are untrusted input: random damage to a valid hive must give either a
// clean refusal or a tree that writes back to the same text, never a crash.
TEST(RegistryFormat, SurvivesRandomDamage) {
    const std::string base =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN]\n"
        "\"Options\"=dword:0000001f\n"
        "\"Name\"=\"a \\\"quoted\\\" \\\\ text\"\n"
        "\"Bin\"=hex:01,02,\\\n  03\n"
        "@=\"default\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ORVELIN\\MSN\\1]\n"
        "\"Number\"=\"12345\"\n";
    const char alphabet[] = "[]\"\\=:,@-\n\r\0 hexdword(7)fF0";
    uint32_t seed = 12345;
    auto rnd = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    int accepted = 0;
    for (int i = 0; i < 4000; ++i) {
        std::string text = base;
        const int edits = 1 + static_cast<int>(rnd() % 4);
        for (int e = 0; e < edits; ++e) {
            const size_t at = rnd() % (text.size() + 1);
            switch (rnd() % 3) {
                case 0:
                    if (at < text.size()) text[at] = alphabet[rnd() % (sizeof alphabet - 1)];
                    break;
                case 1:
                    text.insert(at, 1, alphabet[rnd() % (sizeof alphabet - 1)]);
                    break;
                default:
                    if (at < text.size()) text.erase(at, 1 + rnd() % 8);
                    break;
            }
        }
        RegNode root;
        if (!parseHive(text, root).ok()) continue;
        ++accepted;
        const std::string written = serializeHive(root);
        RegNode again;
        ASSERT_TRUE(parseHive(written, again).ok()) << text;
        EXPECT_EQ(serializeHive(again), written) << text;
    }
    // Both outcomes must occur, or the damage did not exercise the parser.
    EXPECT_GT(accepted, 100);
    EXPECT_LT(accepted, 4000);
}

}  // namespace
