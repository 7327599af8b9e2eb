// The connection table and the structs it keeps, without a driver.
#include "tests/capi/support.h"

namespace capitest {
namespace {

using Bytes = std::vector<uint8_t>;

class TableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        capi::ResetConnectionsForTesting();
        capi::SetCapiLogPath(TestDir() + "/table.txt");
        std::remove(capi::CapiLogPath().c_str());
    }
};

TEST(NumberStructs, BuiltFromDigitsAndViewedAsDigits) {
    EXPECT_EQ(capi::CalledNumberStruct("123"), (Bytes{4, 0x80, '1', '2', '3'}));
    EXPECT_EQ(capi::CallingNumberStruct("123"), (Bytes{5, 0x00, 0x80, '1', '2', '3'}));
    EXPECT_EQ(capi::CalledNumberStruct(nullptr), Bytes{0});
    EXPECT_EQ(capi::CalledNumberStruct(""), (Bytes{1, 0x80}));
    EXPECT_EQ(capi::CalledDigits(capi::CalledNumberStruct("0301")), "0301");
    EXPECT_EQ(capi::CallingDigits(capi::CallingNumberStruct("0301")), "0301");
    // Too short for any digit.
    EXPECT_EQ(capi::CalledDigits(Bytes{1, 0x80}), "");
    EXPECT_EQ(capi::CallingDigits(Bytes{2, 0x01, 0x80}), "");
    EXPECT_EQ(capi::CalledDigits(Bytes{0}), "");
    // Digits end at a zero byte, and never past the struct's own length.
    EXPECT_EQ(capi::CalledDigits(Bytes{5, 0x80, '1', 0, '2', '3'}), "1");
    EXPECT_EQ(capi::CalledDigits(Bytes{3, 0x80, '1', '2', '9', '9'}), "12");
    unsigned char received[] = {3, 0x80, '4', '5', 'X'};
    EXPECT_EQ(capi::CopyStruct(received), (Bytes{3, 0x80, '4', '5'}));
    EXPECT_EQ(capi::CopyStruct(nullptr), Bytes{0});
}

TEST(CipValue, LowestSetBitCountedFromOneUpTo31) {
    struct Row {
        uint32_t mask;
        uint16_t cip;
    };
    for (Row r : {Row{0, 0}, Row{1, 1}, Row{2, 2}, Row{0x10000, 17}, Row{0x10012, 2},
                  Row{1u << 29, 30}, Row{1u << 30, 31}, Row{1u << 31, 31}})
        EXPECT_EQ(capi::CipValueFromMask(r.mask), r.cip) << std::hex << r.mask;
}

TEST(Configurations, FaxAndNullConfigBytes) {
    EXPECT_EQ(capi::MakeFaxB1Config(), (Bytes{8, 0x80, 0x25, 0, 0, 0, 0, 0, 0}));
    Bytes b3 = capi::MakeFaxB3Config(0, 1, "4930123");
    Bytes expect{24, 1, 0, 0, 0, 7, '4', '9', '3', '0', '1', '2', '3', 11};
    for (char c : std::string("ISDN Pellow")) expect.push_back(uint8_t(c));
    expect.push_back(0);
    EXPECT_EQ(b3, expect);
    EXPECT_EQ(b3.size(), 8u + 7 + 11);
    // T.30 allows 20 characters of station id.
    Bytes longId = capi::MakeFaxB3Config(0, 1, std::string(40, 'A'));
    EXPECT_EQ(longId[5], 20);
    EXPECT_EQ(longId[0], 6 + 20 + 11);
    // A character that would straddle the 20th byte is left out whole.
    const std::string nineteen(19, '1');
    Bytes accented = capi::MakeFaxB3Config(0, 1, nineteen + "\xC3\xA9");
    EXPECT_EQ(accented[5], 19);
    EXPECT_EQ(std::string(accented.begin() + 6, accented.begin() + 25), nineteen);
    EXPECT_EQ(accented[25], 11) << "the head line follows at once";
    EXPECT_EQ(capi::MakeNullConfig(5), (Bytes{0, 0, 0, 5, 0, 0}));
}

TEST_F(TableTest, SlotsAreTakenLowestFirstAndStartClean) {
    for (int i = 0; i < capi::kConnectionCount; ++i) EXPECT_EQ(capi::AllocConnection(), i);
    EXPECT_EQ(capi::AllocConnection(), -1);
    capi::FreeConnection(4);
    EXPECT_EQ(capi::AllocConnection(), 4);
    EXPECT_EQ(capi::GetPLCI(4), -1);
    EXPECT_EQ(capi::GetNCCI(4), -1);
    EXPECT_EQ(capi::GetController(4), -1);
    EXPECT_EQ(capi::GetConnectionState(4), capi::Disconnected);
    EXPECT_EQ(capi::GetFaxFormat(4), -1);
    EXPECT_EQ(capi::GetFaxPages(4), 0);
    EXPECT_EQ(capi::GetUserUserDataStruct(4), Bytes{0});
    capi::ClearConnectionTable();
    EXPECT_FALSE(capi::IsConnectionInUse(0));
    EXPECT_EQ(capi::AllocConnection(), 0);
}

TEST_F(TableTest, AccessorsGiveNeutralValuesForNoneFreeAndForeignIds) {
    int used = capi::AllocConnection();
    capi::SetPLCI(used, 0x0201);
    capi::SetFaxFormat(used, 0);
    capi::SetFaxPages(used, 4);
    capi::FreeConnection(used);
    for (int id : {-1, used, 10, 0x1234}) {
        EXPECT_FALSE(capi::IsConnectionInUse(id));
        EXPECT_EQ(capi::GetPLCI(id), 0);
        EXPECT_EQ(capi::GetNCCI(id), 0);
        EXPECT_EQ(capi::GetController(id), -1);
        EXPECT_EQ(capi::GetConnectionState(id), -1);
        EXPECT_EQ(capi::GetCIPValue(id), 0);
        EXPECT_EQ(capi::GetOurInitiative(id), 0);
        EXPECT_EQ(capi::GetSwitchToFax(id), 0);
        EXPECT_EQ(capi::DataB3Resp(id, 1), 0u);
        EXPECT_EQ(capi::SendData(id, "x", 1, 1, 0), 0x2001u);
        EXPECT_EQ(capi::Disconnect(id), 0u);
        capi::SetPLCI(id, 0x0301);  // ignored
    }
    // A free slot keeps its fax result for the window to read.
    EXPECT_EQ(capi::GetFaxFormat(used), 0);
    EXPECT_EQ(capi::GetFaxPages(used), 4);
    EXPECT_EQ(capi::GetFaxFormat(-1), -1);
    EXPECT_EQ(capi::GetFaxPages(-1), 0);
    EXPECT_EQ(capi::GetUserUserDataStruct(-1), std::nullopt);
    EXPECT_EQ(capi::GetConnectionByPLCI(0x0301), -1);
}

TEST_F(TableTest, StructSettersCopyAndLogTheirRefusals) {
    int id = capi::AllocConnection();
    capi::SetCalledPartyNumber(id, "456");
    EXPECT_EQ(capi::GetCalledPartyDigits(id), "456");
    capi::SetCalledPartyNumber(id, nullptr);
    EXPECT_EQ(capi::GetCalledPartyNumberStruct(id), Bytes{0});
    capi::SetCallingPartyNumber(id, "0301");
    EXPECT_EQ(capi::GetCallingPartyDigits(id), "0301");
    unsigned char uud[] = {3, 'a', 'b', 'c'};
    capi::SetUserUserDataStruct(id, uud);
    EXPECT_EQ(capi::GetUserUserDataStruct(id), (Bytes{3, 'a', 'b', 'c'}));
    capi::FreeConnection(id);
    EXPECT_EQ(capi::GetUserUserDataStruct(id), Bytes{0});
    EXPECT_EQ(capi::GetCallingPartyNumberStruct(id), Bytes{0});

    capi::SetCalledPartyNumber(-1, "1");
    capi::SetCalledPartyNumberStruct(id, uud);
    capi::SetCallingPartyNumber(42, "1");
    capi::SetCallingPartyNumberStruct(-1, uud);  // logs nothing
    capi::SetUserUserDataStruct(id, uud);
    capi::ChangeState(-1, capi::Connected, 0);
    capi::ChangeState(10, capi::Connected, 0);
    EXPECT_EQ(capi::GetConnectionByPLCI(-1), -1);
    EXPECT_EQ(capi::GetConnectionByNCCI(-1), -1);
    EXPECT_EQ(capi::GetSavedConnectionByNCCI(-1), -1);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "INVAL CONNECTION ID in SetCalledPartyNumber",
                              "Connection not in use in SetCalledPartyNumberStruct",
                              "INVAL CONNECTION ID in SetCallingPartyNumber",
                              "Connection not in use in SetUserUserDataStruct",
                              "Invalid ConnectionID in ChangeState",
                              "Invalid ConnectionID in ChangeState",
                              "INVAL PLCI in GetConnectionByPLCI",
                              "INVAL NCCI in GetConnectionByNCCI",
                              "INVAL NCCI in GetSavedConnectionByNCCI",
                          }));
}

TEST_F(TableTest, LookUpsByPlciNcciAndSavedNcci) {
    int a = capi::AllocConnection();
    int b = capi::AllocConnection();
    capi::SetPLCI(a, 0x0101);
    capi::SetPLCI(b, 0x0202);
    EXPECT_EQ(capi::GetController(b), 2);
    capi::SetNCCI(b, 0x10202);
    capi::SetSavedNCCI(b, 0x0202);
    EXPECT_EQ(capi::GetConnectionByPLCI(0x0202), b);
    EXPECT_EQ(capi::GetConnectionByNCCI(0x10202), b);
    EXPECT_EQ(capi::GetConnectionByNCCI(0x10101), -1);
    // Any PLCI or NCCI of the call finds it by its low 16 bits, also after the B3 link.
    capi::SetNCCI(b, -1);
    EXPECT_EQ(capi::GetSavedConnectionByNCCI(0x10202), b);
    EXPECT_EQ(capi::GetSavedConnectionByNCCI(0x30202), b);
    EXPECT_EQ(capi::GetSavedConnectionByNCCI(0x0202), b);
    // A call that never had a B3 link has nothing saved to match.
    EXPECT_EQ(capi::GetSavedConnectionByNCCI(0x1FFFF), -1);
    EXPECT_EQ(capi::CountConnectionsOnController(1), 1);
    EXPECT_EQ(capi::CountConnectionsOnController(2), 1);
}

}  // namespace
}  // namespace capitest
