#include <gtest/gtest.h>

#include <optional>

#include "platform/data_lock.h"
#include "platform/fs.h"
#include "support/test_support.h"

using namespace testing_support;
using platform::DataLock;

class DataLockTest : public TempDirTest {};

TEST_F(DataLockTest, ASecondLockOnTheFileFailsUntilTheFirstIsReleased) {
    platform::make_directory("DATA");
    std::optional<DataLock> first;
    first.emplace("DATA/komorebi.lock");
    EXPECT_EQ(first->state(), DataLock::State::Held);
    EXPECT_TRUE(file_exists("DATA/komorebi.lock"));
    {
        DataLock second("DATA/komorebi.lock");
        EXPECT_EQ(second.state(), DataLock::State::InUse);
    }
    EXPECT_EQ(DataLock("DATA/komorebi.lock").state(), DataLock::State::InUse) << "a failed try takes nothing away";
    first.reset();
    DataLock third("DATA/komorebi.lock");
    EXPECT_EQ(third.state(), DataLock::State::Held);
    EXPECT_EQ(DataLock("DATA/komorebi.lock").state(), DataLock::State::InUse);
}

TEST_F(DataLockTest, AFolderThatIsMissingIsNoLockHeldElsewhere) {
    EXPECT_EQ(DataLock("NONE/komorebi.lock").state(), DataLock::State::Unavailable);
}
