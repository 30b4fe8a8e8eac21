#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <optional>
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

namespace {

// Runs `take` in a child process, which answers whether it got the root and
// keeps what it took until `release` is called; the child is reaped within a
// bound.
class RootTakerChild {
  public:
    explicit RootTakerChild(const std::function<bool()>& take) {
        if (pipe(answer_) != 0 || pipe(end_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            char byte = take() ? 1 : 0;
            (void)!write(answer_[1], &byte, 1);
            (void)!read(end_[0], &byte, 1);
            _exit(0);
        }
    }
    ~RootTakerChild() {
        release();
        for (int fd : {answer_[0], answer_[1], end_[0], end_[1]})
            if (fd >= 0) close(fd);
    }
    // Whether the child got the root; nothing when it did not answer.
    std::optional<bool> took() {
        pollfd waiting{answer_[0], POLLIN, 0};
        char byte = 0;
        if (pid_ <= 0 || poll(&waiting, 1, 10'000) != 1 || read(answer_[0], &byte, 1) != 1)
            return std::nullopt;
        return byte == 1;
    }
    void release() {
        if (pid_ <= 0) return;
        char byte = 0;
        (void)!write(end_[1], &byte, 1);
        for (int tries = 0; tries < 1000 && waitpid(pid_, nullptr, WNOHANG) == 0; ++tries) usleep(10'000);
        if (waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int answer_[2] = {-1, -1};
    int end_[2] = {-1, -1};
};

}  // namespace

// Two processes taking one root the same way: the second is refused, and
// even a shared lock is refused while the root is held.
TEST_F(DataRootLockTest, ARootTakenByOneProcessIsRefusedToTheNext) {
    const fs::path first = root_ / "first";
    const fs::path second = root_ / "second";
    fs::create_directories(first);
    fs::create_directories(second);

    RootTakerChild holder([&] { return !DataRootLock::acquire(first); });
    ASSERT_EQ(holder.took(), true);
    const auto refused = DataRootLock::acquire(first);
    ASSERT_TRUE(refused) << "the root was taken twice";
    EXPECT_EQ(refused->holder, holder.pid());
    EXPECT_FALSE(DataRootLock::isHeld(first));
    holder.release();
    EXPECT_FALSE(DataRootLock::acquire(first));

    ASSERT_FALSE(DataRootLock::acquire(second));
    RootTakerChild reader([&] {
        const int fd = open((second / DataRootLock::kFileName).c_str(), O_RDONLY);
        return fd >= 0 && flock(fd, LOCK_SH | LOCK_NB) == 0;
    });
    EXPECT_EQ(reader.took(), false) << "a process shared a root that is held";
}
