#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/foundation/DataRootLock.h"
#include "tests/foundation/TempFolder.h"

namespace fs = std::filesystem;
using foundation::DataRootLock;

using DataRootLockTest = TempFolderTest;

// Another process holding a root: the lock file locked by a child that
// writes its id, as a holder does, and waits until told to end.
TEST_F(DataRootLockTest, AnotherProcessHoldingTheRootIsNamedAndNothingIsTouched) {
    const fs::path held = root_ / "held";
    const fs::path free = root_ / "free";
    fs::create_directories(held);
    fs::create_directories(free);
    int ready[2], end[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(end), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = open((held / DataRootLock::kFileName).c_str(), O_RDWR | O_CREAT, 0600);
        const std::string pid = std::to_string(getpid()) + "\n";
        const bool locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                            write(fd, pid.data(), pid.size()) == static_cast<ssize_t>(pid.size());
        char byte = locked ? 1 : 0;
        (void)!write(ready[1], &byte, 1);
        (void)!read(end[0], &byte, 1);
        _exit(0);
    }
    char locked = 0;
    ASSERT_EQ(read(ready[0], &locked, 1), 1);
    ASSERT_EQ(locked, 1);

    const auto refused = DataRootLock::acquire(held);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->holder, child);
    EXPECT_NE(refused->message.find(fs::weakly_canonical(held).string()), std::string::npos) << refused->message;
    EXPECT_NE(refused->message.find("process " + std::to_string(child)), std::string::npos) << refused->message;
    EXPECT_FALSE(DataRootLock::isHeld(held));
    EXPECT_EQ(std::distance(fs::directory_iterator(held), fs::directory_iterator()), 1) << "only the lock file";

    // Another root is free; a root this process holds is taken again at once.
    EXPECT_FALSE(DataRootLock::acquire(free));
    EXPECT_FALSE(DataRootLock::acquire(free / "." ));
    EXPECT_TRUE(DataRootLock::isHeld(free));

    // The lock goes with the process that held it.
    char byte = 0;
    (void)!write(end[1], &byte, 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_FALSE(DataRootLock::acquire(held));
    EXPECT_TRUE(DataRootLock::isHeld(held));
    for (int fd : {ready[0], ready[1], end[0], end[1]}) close(fd);
}
