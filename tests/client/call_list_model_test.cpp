#include "client/call_list_model.h"

#include <gtest/gtest.h>

#include "tests/client/test_dir.h"
#include "tests/support/numbered.h"

namespace orvelin::client {
namespace {

struct Recorder {
    std::vector<int> queued;
    int saves = 0;
    CallListModel::Hooks hooks() {
        return {[this](int i) { queued.push_back(i); }, [this] { ++saves; },
                [](std::string_view called) {
                    // MSN 1 is "5551", MSN 3 is "5553".
                    if (called == "5551") return 0;
                    if (called == "5553") return 2;
                    return -1;
                }};
    }
};

class CallListTest : public ::testing::Test {
  protected:
    TCallRecord& newCall(std::string_view called, std::uint16_t cip = 1) {
        TCallRecord& r = ring.takeNew(test::arrivalAt(1000), {}, dir.path());
        r.calledNumber.assign(called);
        r.callerNumber.assign("0301234");
        r.callerName.assign("Ana");
        r.cip = cip;
        return r;
    }
    test::TestDir dir;
    CallRing ring{3};
    Recorder rec;
    CallListModel model{ring, rec.hooks()};
};

TEST(CallRowText, CountColumnForEveryState) {
    const char* withCount[] = {" 5 sec.", " 5 sec.", " 5 sec.", " 5 sec.", " 5 sec.", " 5 pg.",
                               " 5 pg.",  " 5 sec.", " 5 pg.",  " 5 sec.", " 5 sec.", " 5 sec."};
    const char* zeroCount[] = {"",       "",        "",       " 0 sec.", " 0 sec.", " 0 pg.",
                               " 0 pg.", " 0 sec.", " 0 pg.", "",        " 0 sec.", " 0 sec."};
    for (std::uint32_t s = 0; s < kCallStateCount; ++s) {
        // States 0, 1, 2 and 9 show seconds only when the count is not 0.
        EXPECT_EQ(callCountText(s, 5), withCount[s]) << s;
        EXPECT_EQ(callCountText(s, 0), zeroCount[s]) << s;
    }
    EXPECT_EQ(callCountText(12, 3), " 3 sec.");
    EXPECT_EQ(callCountText(0xFFFFFFFF, 0), "");
}

TEST(CallRowText, ImageByCip) {
    for (int cip = 0; cip < 40; ++cip) {
        int expect = kImageVoice;
        if (cip == 17 || cip == 18) expect = kImageFax;
        if (cip == 2 || cip == 3 || (cip >= 6 && cip <= 9) || (cip >= 19 && cip <= 25) ||
            cip == 27 || cip == 28)
            expect = kImageData;
        EXPECT_EQ(callImageForCip(static_cast<std::uint16_t>(cip)), expect) << cip;
    }
    EXPECT_EQ(callImageForCip(0xFFFF), kImageVoice);
}

TEST(CallRowText, TimeColumnShortAndLong) {
    const LocalDateTime t{2026, 12, 2, 8, 20, 5, 7, 0};
    EXPECT_EQ(callTimeText(t, false), "2026-12-08  20:05:07");
    EXPECT_EQ(callTimeText(t, true), "Tuesday, 8 December 2026  20:05:07");
    // A damaged record cannot index the name tables.
    const LocalDateTime bad{2026, 13, 9, 40, 99, 99, 99, 0};
    EXPECT_EQ(callTimeText(bad, true), "2026-13-40  99:99:99");
    // Fields wider than their places are printed whole.
    const LocalDateTime wide{65535, 100, 0, 0, 123, 0, 65535, 0};
    EXPECT_EQ(callTimeText(wide, false), "65535-100-00  123:00:65535");
    EXPECT_EQ(callTimeText(LocalDateTime{}, false), "0000-00-00  00:00:00");
}

TEST(CallRowText, RowForEveryState) {
    for (std::uint32_t s = 0; s <= kCallStateCount; ++s) {
        TCallRecord r;
        r.id = 77;
        r.arrival = {2026, 12, 2, 8, 20, 15, 7, 0};
        r.state = s;
        r.count = 3;
        r.cip = 17;
        r.calledNumber.assign("5551");
        r.callerNumber.assign("0301234");
        r.callerName.assign("Ana");
        r.comment.assign("see you");
        const CallRow row = makeCallRow(r, false);
        EXPECT_EQ(row.id, 77u);
        EXPECT_EQ(row.state, s);
        EXPECT_EQ(row.stateImage, s < kCallStateCount ? static_cast<int>(s) : -1);
        EXPECT_EQ(row.image, kImageFax);
        EXPECT_EQ(row.text[kColumnTime], "2026-12-08  20:15:07");
        EXPECT_EQ(row.text[kColumnCalled], "5551");  // no called name: the number
        EXPECT_EQ(row.text[kColumnCallerNumber], "0301234");
        EXPECT_EQ(row.text[kColumnCallerName], "Ana");
        EXPECT_EQ(row.text[kColumnCount], callCountText(s, 3));
        EXPECT_EQ(row.text[kColumnComment], "see you");
    }
    TCallRecord named;
    named.calledNumber.assign("5551");
    named.calledName.assign("Office");
    EXPECT_EQ(makeCallRow(named, false).text[kColumnCalled], "Office");
}

TEST_F(CallListTest, NewestRowOnTopAndAtMostRingSizeRows) {
    for (int i = 0; i < 5; ++i) {
        TCallRecord& r = newCall("5551");
        r.count = static_cast<std::uint16_t>(i);
        model.addCallRow(r);
    }
    ASSERT_EQ(model.rows().size(), 3u);
    EXPECT_EQ(model.rows()[0].id, ring.at(1).id);  // fifth call went to slot 1
    EXPECT_GT(model.rows()[0].id, model.rows()[1].id);
    EXPECT_GT(model.rows()[1].id, model.rows()[2].id);
    EXPECT_EQ(rec.saves, 0);  // adding does not save
    EXPECT_EQ(rec.queued, (std::vector<int>{0, 1, 2, 0, 1}));
}

TEST_F(CallListTest, HiddenRecordGetsNoRowAndIsNotSent) {
    TCallRecord& r = newCall("5551");
    r.flags |= kFlagHidden;
    model.addCallRow(r);
    model.updateCallRow(r);
    EXPECT_TRUE(model.rows().empty());
    EXPECT_TRUE(rec.queued.empty());
}

TEST_F(CallListTest, LineSelectorFiltersRowsButNotClientsOrSaves) {
    model.setSelectedLine(3);
    TCallRecord& a = newCall("5551");
    model.addCallRow(a);
    TCallRecord& b = newCall("5553");
    model.addCallRow(b);
    TCallRecord& c = newCall("999");
    model.addCallRow(c);
    ASSERT_EQ(model.rows().size(), 1u);
    EXPECT_EQ(model.rows()[0].id, b.id);
    EXPECT_EQ(rec.queued.size(), 3u);

    model.setSelectedLine(kNoLines);
    TCallRecord& d = newCall("5551");
    model.addCallRow(d);
    d.setState(CallState::VoiceMessage);
    model.updateCallRow(d);
    EXPECT_EQ(model.rowById(d.id), nullptr);
    EXPECT_EQ(rec.queued.size(), 5u);
    EXPECT_EQ(rec.saves, 1);  // the new state still reaches the file

    model.setSelectedLine(kAllLines);
    model.rebuild();
    EXPECT_EQ(model.rows().size(), 2u);  // the head slot is not listed after a rebuild
}

TEST_F(CallListTest, UpdateRefreshesStateImageCountAndCommentOnly) {
    TCallRecord& r = newCall("5551");
    model.addCallRow(r);
    r.setState(CallState::Fax);
    r.count = 4;
    r.cip = 17;
    r.comment.assign("note");
    r.callerName.assign("Changed");
    model.updateCallRow(r);
    const CallRow* row = model.rowById(r.id);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->state, 6u);
    EXPECT_EQ(row->stateImage, 6);
    EXPECT_EQ(row->image, kImageFax);
    EXPECT_EQ(row->text[kColumnCount], " 4 pg.");
    EXPECT_EQ(row->text[kColumnComment], "note");
    EXPECT_EQ(row->text[kColumnCallerName], "Ana");
    EXPECT_EQ(rec.saves, 1);
}

// Rows leave at the bottom as new ones arrive; each id must keep leading to its
// own row, and a copy of a record must still be sent under its ring index.
TEST_F(CallListTest, RowsStayFoundWhileTheListWrapsAround) {
    std::vector<std::uint32_t> ids;
    for (int i = 0; i < 10; ++i) {
        TCallRecord& r = newCall("5551");
        ids.push_back(r.id);
        model.addCallRow(i % 2 ? TCallRecord(r) : r);
        r.count = static_cast<std::uint16_t>(100 + i);
        model.updateCallRow(r);
        EXPECT_EQ(rec.queued.back(), ring.findIndex(r.id));
        for (std::size_t k = 0; k < ids.size(); ++k) {
            const CallRow* row = model.rowById(ids[k]);
            const bool listed = ids.size() - k <= ring.size();
            ASSERT_EQ(row != nullptr, listed) << "call " << i << ", id of call " << k;
            if (!listed) continue;
            EXPECT_EQ(row->id, ids[k]);
            EXPECT_EQ(row->text[kColumnCount], orvelin::test::Numbered(" ", 100 + k) + " sec.");
        }
    }
    model.rebuild();
    EXPECT_EQ(model.rows().size(), 2u);
    EXPECT_EQ(model.rows()[0].id, ids[9]);
    EXPECT_EQ(model.rowById(ids[8]), &model.rows()[1]);
    EXPECT_EQ(model.rowById(ids[7]), nullptr);  // the head slot is not listed after a rebuild
}

TEST_F(CallListTest, RebuildListsOldestToNewestFromTheRing) {
    for (int i = 0; i < 4; ++i) newCall("5551");  // slots 0,1,2 then 0 again; head 1
    model.rebuild();
    ASSERT_EQ(model.rows().size(), 2u);
    EXPECT_EQ(model.rows()[0].id, ring.at(0).id);  // newest
    EXPECT_EQ(model.rows()[1].id, ring.at(2).id);
}

}  // namespace
}  // namespace orvelin::client
