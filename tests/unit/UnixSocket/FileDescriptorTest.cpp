#include "UnixSocket/FileDescriptor.h"

#include <fcntl.h>
#include <optional>
#include <gtest/gtest.h>
#include <unistd.h>
#include <utility>

namespace {

using UnixSocket::FileDescriptor;
bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

int openNull() { return open("/dev/null", O_RDONLY | O_CLOEXEC); }

TEST(FileDescriptor, EveryDescriptorIsClosedExactlyOnceAcrossMoves) {
    const int a = openNull(), b = openNull();
    {
        FileDescriptor first(a);
        FileDescriptor moved(std::move(first));
        EXPECT_EQ(first.get(), -1);
        EXPECT_EQ(moved.get(), a);
        {
            FileDescriptor other(b);
            other = std::move(moved); // swap: `moved` is left holding b
            EXPECT_EQ(other.get(), a);
            EXPECT_TRUE(isOpen(a));
        }
        EXPECT_FALSE(isOpen(a));
        EXPECT_TRUE(isOpen(b));
        EXPECT_TRUE(moved.close());
        EXPECT_FALSE(isOpen(b));
        EXPECT_FALSE(moved.close()); // empty: nothing to close, nothing printed
    }
}

TEST(FileDescriptor, FailedCloseDropsTheNumberSoItIsNeverClosedTwice) {
    const int number = openNull(), other = openNull();
    std::optional<FileDescriptor> owner(std::in_place, number);

    testing::internal::CaptureStderr();
    ::close(number); // gone behind the owner's back: its close() fails with EBADF
    EXPECT_FALSE(owner->close());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "close: Bad file descriptor\n");
    EXPECT_EQ(owner->get(), -1);

    // Someone else now holds the same number; the owner's end must leave it alone.
    ASSERT_EQ(dup2(other, number), number);
    ::close(other);
    owner.reset();
    EXPECT_TRUE(isOpen(number));
    ::close(number);
}

TEST(FileDescriptor, ReleaseGivesUpOwnershipWithoutClosing) {
    const int number = openNull();
    int released;
    {
        FileDescriptor owner(number);
        released = owner.release();
        EXPECT_FALSE(owner.valid());
    }
    EXPECT_EQ(released, number);
    EXPECT_TRUE(isOpen(number));
    ::close(number);
}

} // namespace
