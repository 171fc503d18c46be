#include "LockHolderProcess.h"
#include "platform/ExclusiveFileLock.h"

#include <gtest/gtest.h>

namespace
{
class ExclusiveFileLockTest : public ::testing::Test
{
protected:
    const juce::TemporaryFile folder;
    juce::File file;

    void SetUp() override
    {
        ASSERT_TRUE (folder.getFile().createDirectory());
        file = folder.getFile().getChildFile (".inuse.lck");
    }

    void TearDown() override { folder.getFile().deleteRecursively(); }
};
} // namespace

TEST_F (ExclusiveFileLockTest, CreatesTheFileWhenMissingAndLeavesItOnDisk)
{
    {
        ExclusiveFileLock lock;
        EXPECT_TRUE (lock.acquire (file.getFullPathName()));
        EXPECT_TRUE (lock.isHeld());
        EXPECT_TRUE (file.existsAsFile());
    }

    EXPECT_TRUE (file.existsAsFile());
}

TEST_F (ExclusiveFileLockTest, OpensAFileThatNobodyHolds)
{
    ASSERT_TRUE (file.replaceWithText ("left behind"));
    ExclusiveFileLock lock;
    EXPECT_TRUE (lock.acquire (file.getFullPathName()));
    lock.release();
    EXPECT_FALSE (lock.isHeld());
    EXPECT_EQ (file.loadFileAsString(), "left behind");
}

TEST_F (ExclusiveFileLockTest, FailsWhileAnotherProcessHoldsTheFile)
{
    test::LockHolderProcess companion (file);
    ASSERT_TRUE (companion.isHolding());

    ExclusiveFileLock lock;
    EXPECT_FALSE (lock.acquire (file.getFullPathName()));
    EXPECT_FALSE (lock.isHeld());

    companion.letGo();
    EXPECT_TRUE (lock.acquire (file.getFullPathName()));
}

TEST_F (ExclusiveFileLockTest, KeepsEveryOtherHolderOutWhileHeld)
{
    ExclusiveFileLock first, second;
    ASSERT_TRUE (first.acquire (file.getFullPathName()));
    EXPECT_FALSE (second.acquire (file.getFullPathName()));

    test::LockHolderProcess companion (file);
    EXPECT_FALSE (companion.isHolding());
    companion.letGo();

    first.release();
    EXPECT_TRUE (second.acquire (file.getFullPathName()));
}

TEST_F (ExclusiveFileLockTest, FailsWhereTheFileCannotBeMade)
{
    ExclusiveFileLock lock;
    EXPECT_FALSE (lock.acquire (folder.getFile().getChildFile ("missing/.inuse.lck").getFullPathName()));
}
