#include "variables/VariableSequence.h"

#include "app/LumoPaths.h"
#include "db/PreferenceKeys.h"
#include "db/Preferences.h"
#include "support/NamedThread.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <vector>

namespace {

class VariableSequenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        LumoPaths::initialise(ResolvedLocations{m_settings.path(), lumo::test::testRunFolder() + "/cache"});
        ASSERT_TRUE(CPreferences::GetPreferences());
    }
    void TearDown() override {
        CPreferences::ClosePreferences();
        LumoPaths::reset();
    }
    lumo::test::TempDir m_settings;
};

} // namespace

TEST_F(VariableSequenceTest, StoredInThePreferencesAndBounded) {
    EXPECT_EQ(CurrentSequence(SequenceKind::Sequence).next, 1);
    EXPECT_EQ(CurrentSequence(SequenceKind::Sequence).digits, 3);
    EXPECT_EQ(CurrentSequence(SequenceKind::Ingest).digits, 4);

    EXPECT_TRUE(SetSequence(SequenceKind::Sequence, {7, 3}));
    EXPECT_TRUE(SetSequence(SequenceKind::Ingest, {-5, 99})); // brought into range
    CPreferences::ClosePreferences();
    ASSERT_TRUE(CPreferences::GetPreferences());
    const auto preferences = CPreferences::instance();
    EXPECT_EQ(preferences->getInt(kPrefSequenceNumber, 0), 7);
    EXPECT_EQ(preferences->getInt(kPrefIngestSequenceNumber, -1), 0);
    EXPECT_EQ(preferences->getInt(kPrefIngestSequenceDigits, 0), kPrefSequenceDigitsMaximum);

    // A value stored out of range by hand is read within it.
    ASSERT_TRUE(preferences->setInt(kPrefSequenceDigits, 1000000));
    EXPECT_EQ(CurrentSequence(SequenceKind::Sequence).digits, kPrefSequenceDigitsMaximum);

    // The counter stops at its maximum instead of overflowing.
    EXPECT_TRUE(SetSequence(SequenceKind::Sequence, {kPrefSequenceNumberMaximum - 2, 3}));
    const SequenceReservation last = ReserveSequenceNumbers(SequenceKind::Sequence, 10);
    EXPECT_EQ(last.first, kPrefSequenceNumberMaximum - 2);
    EXPECT_EQ(last.count, 2);
    EXPECT_EQ(ReserveSequenceNumbers(SequenceKind::Sequence, 1).count, 0);
    EXPECT_EQ(ReserveSequenceNumbers(SequenceKind::Sequence, -4).count, 0);
}

TEST_F(VariableSequenceTest, ReservationsNeverOverlapAndUnusedNumbersComeBack) {
    ASSERT_TRUE(SetSequence(SequenceKind::Sequence, {100, 4}));
    const SequenceReservation first = ReserveSequenceNumbers(SequenceKind::Sequence, 10);
    EXPECT_EQ(first.first, 100);
    EXPECT_EQ(first.digits, 4);
    ReleaseUnusedSequenceNumbers(first, 4); // the last reservation: its unused numbers come back
    EXPECT_EQ(CurrentSequence(SequenceKind::Sequence).next, 104);

    const SequenceReservation a = ReserveSequenceNumbers(SequenceKind::Sequence, 5);
    const SequenceReservation b = ReserveSequenceNumbers(SequenceKind::Sequence, 5);
    EXPECT_EQ(b.first, a.first + 5);
    ReleaseUnusedSequenceNumbers(a, 1); // b came after: nothing comes back
    EXPECT_EQ(CurrentSequence(SequenceKind::Sequence).next, b.first + 5);
    EXPECT_EQ(CurrentSequence(SequenceKind::Ingest).next, 1); // the two counters are apart

    // Operations running at once get disjoint blocks.
    std::mutex lock;
    std::set<std::int64_t> taken;
    std::vector<lumo::NamedThread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back("sequence", 256 * 1024, [&] {
            for (int i = 0; i < 25; ++i) {
                const SequenceReservation r = ReserveSequenceNumbers(SequenceKind::Sequence, 3);
                const std::lock_guard<std::mutex> hold(lock);
                for (std::int64_t n = r.first; n < r.first + r.count; ++n)
                    EXPECT_TRUE(taken.insert(n).second) << n;
            }
        });
    threads.clear();
    EXPECT_EQ(taken.size(), 300u);
    EXPECT_EQ(CurrentSequence(SequenceKind::Sequence).next, b.first + 5 + 300);
}
