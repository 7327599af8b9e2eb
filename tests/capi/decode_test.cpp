// CAPI value texts and the CAPI log file.
#include <atomic>
#include <ctime>
#include <fstream>
#include <thread>

#include "tests/capi/support.h"

namespace capitest {
namespace {

TEST(DecodeInfo, KnowsExactly110ValuesAcrossAllGroups) {
    const std::string none = "No additional information";
    int known = 0;
    for (unsigned v = 0; v <= 0xFFFF; ++v) known += none != capi::Decode_Info(v);
    EXPECT_EQ(known, 110);
    struct Row {
        unsigned value;
        const char* text;
    };
    for (const Row& r : std::initializer_list<Row>{
             {0x0001, "NCPI not supported by current protocol, NCPI ignored"},
             {0x0003, "Alert already sent by another application"},
             {0x1002, "Logical block size to small, must be at least 128 Bytes"},
             {0x1008, "OS resource error (no memory ?)"},
             {0x1009, "CAPI not installed"},
             {0x1104, "Queue is empty"},
             {0x1108, "OS Resource error (no memory ?)"},
             {0x1109, "CAPI not installed"},
             {0x2001, "Message not supported in current state"},
             {0x2007, "Illegal message parameter coding"},
             {0x3009, "CIP Value unknown"},
             {0x300D, "Reset procedure not supported by current protocol"},
             {0x3301,
              "Protocol error layer 1 (broken line or B-channel removed by signalling protocol)"},
             {0x3319, "Illegal parameter coding (e.g. SFF coding error)"},
             {0x3490, "Normal call clearing"},
             {0x3491, "User busy"},
             {0x34A2, "No circuit / channel available"},
             {0x34E2,
              "Message not compatible with call state or message type non-existent or not "
              "implemented"},
             {0x34FF, "Interworking, unspecified"},
         })
        EXPECT_STREQ(capi::Decode_Info(r.value), r.text) << std::hex << r.value;
    for (unsigned v : {0x0000u, 0x0004u, 0x1000u, 0x3480u, 0x3410u, 0x10003u, 0xFFFFFFFFu})
        EXPECT_EQ(none, capi::Decode_Info(v)) << std::hex << v;
    EXPECT_NE(std::string(capi::Decode_Info(0x1103)).find("!! The error code does not imply"),
              std::string::npos);
}

TEST(DecodeNames, CommandsAndSubcommandsByTheirLowByte) {
    EXPECT_STREQ(capi::Decode_Command(0x02), "CONNECT");
    EXPECT_STREQ(capi::Decode_Command(0x41), "SELECT_B_PROTOCOL");
    EXPECT_STREQ(capi::Decode_Command(0x88), "CONNECT_B3_T90_ACTIVE");
    EXPECT_STREQ(capi::Decode_Command(0xFF), "MANUFACTURER");
    EXPECT_STREQ(capi::Decode_Command(0x186), "DATA_B3");
    EXPECT_STREQ(capi::Decode_Command(0x06), "Error: Command undefined in function Decode_Command");
    EXPECT_STREQ(capi::Decode_Sub(0x80), "REQ");
    EXPECT_STREQ(capi::Decode_Sub(0x83), "RESP");
    EXPECT_STREQ(capi::Decode_Sub(0x182), "IND");
    EXPECT_STREQ(capi::Decode_Sub(0x84), "Error: Subcommand undefined in function Decode_Sub");
    EXPECT_STREQ(capi::ConnectionStateName(capi::B_DisconnectPending), "B_DisconnectPending");
}

TEST(CapiLog, AppendsStampedLinesFromAnyThread) {
    std::string path = TestDir() + "/log-threads.txt";
    std::remove(path.c_str());
    capi::SetCapiLogPath(path);
    time_t before = time(nullptr);
    capi::WriteCapiLog("first");
    capi::WriteCapiLogf("Key: %s", "12#");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                capi::WriteCapiLog("thread " + std::to_string(t) + " line " + std::to_string(i));
        });
    for (auto& t : threads) t.join();
    auto lines = LogLines();
    ASSERT_EQ(lines.size(), 802u);
    EXPECT_EQ(lines[0], "first");
    EXPECT_EQ(lines[1], "Key: 12#");
    for (size_t i = 2; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].rfind("thread ", 0), 0u) << lines[i];

    // The stamp is the local time of writing (TZ=UTC here).
    std::ifstream in(path);
    std::string raw;
    std::getline(in, raw);
    tm stamp{};
    ASSERT_TRUE(strptime(raw.c_str(), "%Y.%m.%d %H:%M:%S", &stamp));
    time_t written = timegm(&stamp);
    EXPECT_LE(std::abs(double(written - before)), 60.0);
}

TEST(CapiLog, UnwritableFileDropsTheLine) {
    capi::SetCapiLogPath(TestDir() + "/no/such/dir/capilog.txt");
    capi::WriteCapiLog("lost");
    EXPECT_TRUE(LogLines().empty());
}

TEST(ConfiguredNumbers, SearchIsByteForByteAndSafeAcrossThreads) {
    auto& list = capi::TheConfiguredNumberList();
    list.set(";0301;0;0302;2;");
    EXPECT_TRUE(list.contains(";0301;"));
    EXPECT_FALSE(list.contains(";030;"));
    EXPECT_TRUE(list.contains(";2;"));  // an index matches too: the list is kept as it is
    // A reader while the window rebuilds the list sees one whole list or the other, never
    // a mix and never freed memory (long lists, so a copy takes long enough to be caught).
    std::string a = ";456;1;", b = ";123;0;";
    for (int i = 0; i < 2000; ++i) {
        a += std::to_string(10000 + i) + ";" + std::to_string(i) + ";";
        b += std::to_string(20000 + i) + ";" + std::to_string(i) + ";";
    }
    list.set(a);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) list.set(i % 2 ? a : b);
        done = true;
    });
    int torn = 0, reads = 0;
    while (!done || reads < 100) {
        const std::string seen = list.get();
        torn += seen != a && seen != b;
        ++reads;
    }
    writer.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    list.set("");
}

}  // namespace
}  // namespace capitest
