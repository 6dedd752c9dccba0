// The main-thread message queue, the single-instance lock, outside programs
// with a time limit and the worker pool.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "TestUtil.h"
#include "http/WorkerPool.h"
#include "platform/MessageLoop.h"
#include "platform/MountWatch.h"
#include "platform/Process.h"
#include "platform/SingleInstance.h"

using namespace zk;

TEST(MessageLoop, PostSendQuitAndSignal) {
    loop::BlockQuitSignals();
    std::atomic<int> order{0};
    int posted = 0, sent = 0;
    std::thread other([&] {
        loop::Post([&] { posted = ++order; });
        EXPECT_TRUE(loop::Send([&] { sent = ++order; }));  // returns after it ran
        EXPECT_EQ(sent, 2);
        loop::PostQuit(7);
    });
    EXPECT_EQ(loop::Run(), 7);
    other.join();
    EXPECT_EQ(posted, 1);
    // SIGTERM is the end of the session: the loop ends with 0.
    pthread_t self = pthread_self();  // thread-directed: no other thread of the test binary gets it
    std::thread signaller([self] { pthread_kill(self, SIGTERM); });
    EXPECT_EQ(loop::Run(), 0);
    signaller.join();
    // After the loop has ended, Send does not wait forever.
    EXPECT_FALSE(loop::Send([] {}));
}

TEST(SingleInstance, OneHolderPerRuntimeFolder) {
    zktest::TempDir dir;
    const char* old = getenv("XDG_RUNTIME_DIR");
    std::string saved = old ? old : "";
    setenv("XDG_RUNTIME_DIR", dir.str().c_str(), 1);
    {
        SingleInstance first("M-test", SingleInstance::Wait::No);
        ASSERT_TRUE(first.held());
        SingleInstance second("M-test", SingleInstance::Wait::No);
        EXPECT_FALSE(second.held());
        SingleInstance otherName("M-other", SingleInstance::Wait::No);
        EXPECT_TRUE(otherName.held());
        first.Release();
        SingleInstance third("M-test", SingleInstance::Wait::No);
        EXPECT_TRUE(third.held());
    }
    if (old) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1); else unsetenv("XDG_RUNTIME_DIR");
}

// A restarted instance waits for the one that is ending, within a bound.
TEST(SingleInstance, BoundedWaitTakesTheLockOnceFreedElseGivesUpSilently) {
    zktest::TempDir dir;
    const char* old = getenv("XDG_RUNTIME_DIR");
    std::string saved = old ? old : "";
    setenv("XDG_RUNTIME_DIR", dir.str().c_str(), 1);
    {
        auto holder = std::make_unique<SingleInstance>("M-test", SingleInstance::Wait::No);
        ASSERT_TRUE(holder->held());
        SingleInstance impatient("M-test", SingleInstance::Wait::Bounded, std::chrono::milliseconds(200));
        EXPECT_FALSE(impatient.held());
        EXPECT_EQ(impatient.failure(), "");  // another instance holds it: no message
        std::thread ending([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            holder->Release();
        });
        SingleInstance next("M-test", SingleInstance::Wait::Bounded, std::chrono::seconds(10));
        ending.join();
        EXPECT_TRUE(next.held());
    }
    if (old) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1); else unsetenv("XDG_RUNTIME_DIR");
}

// Without $XDG_RUNTIME_DIR the lock folder is one of /tmp that anybody
// could have made first: it is used only when it is this user's own.
TEST(SingleInstance, LockFolderOfAnotherUserIsRefusedWithAMessage) {
    zktest::TempDir dir;
    const char* old = getenv("XDG_RUNTIME_DIR");
    std::string saved = old ? old : "";
    unsetenv("XDG_RUNTIME_DIR");
    const std::string mine = dir.str() + "/ZelkorH-" + std::to_string(getuid());
    std::string why;
    EXPECT_EQ(SingleInstance::LockFolder(&why, dir.str()), mine) << why;
    EXPECT_EQ(std::filesystem::status(mine).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);

    auto refused = [&](const char* name) {
        why.clear();
        EXPECT_EQ(SingleInstance::LockFolder(&why, dir.str()), "") << name;
        EXPECT_NE(why.find(mine), std::string::npos) << name << ": " << why;
    };
    chmod(mine.c_str(), 0777);
    refused("writable by others");
    std::filesystem::remove(mine);
    std::filesystem::create_directory_symlink(dir.str(), mine);
    refused("a link");
    std::filesystem::remove(mine);
    zktest::WriteFile(mine, "");
    refused("a file");
    std::filesystem::remove(mine);
    if (getuid() == 0) {  // only root can hand a folder to another user
        mkdir(mine.c_str(), 0700);
        ASSERT_EQ(chown(mine.c_str(), 65534, 65534), 0);
        refused("another user's");
    }

    // An unusable folder is a failure with a message; another holder is none.
    setenv("XDG_RUNTIME_DIR", (dir.str() + "/not-a-folder").c_str(), 1);
    zktest::WriteFile(dir.str() + "/not-a-folder", "");
    SingleInstance broken("M-test", SingleInstance::Wait::No);
    EXPECT_FALSE(broken.held());
    EXPECT_NE(broken.failure().find("not-a-folder"), std::string::npos) << broken.failure();
    setenv("XDG_RUNTIME_DIR", dir.str().c_str(), 1);
    SingleInstance first("M-test", SingleInstance::Wait::No);
    SingleInstance second("M-test", SingleInstance::Wait::No);
    EXPECT_TRUE(first.held());
    EXPECT_FALSE(second.held());
    EXPECT_EQ(second.failure(), "");
    if (old) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1); else unsetenv("XDG_RUNTIME_DIR");
}

TEST(Process, ExitStatusLimitAndMissingProgram) {
    EXPECT_EQ(process::Run({"/bin/sh", "-c", "exit 3"}, 10), 3);
    EXPECT_FALSE(process::Run({"/bin/sh", "-c", "sleep 30"}, 1).has_value());  // killed at the limit
    EXPECT_FALSE(process::Run({"/nonexistent/tool"}, 1).has_value());
    EXPECT_EQ(process::FindProgram("sh").empty(), false);
    EXPECT_TRUE(process::FindProgram("no-such-program-zk").empty());
}

TEST(WorkerPool, BusyThreadsTakeNewJobsAndNudgeWakesTheRest) {
    using Woken = http::WorkerPool::Woken;
    http::WorkerPool pool(2);
    std::atomic<int> done{0}, started{0};
    std::atomic<bool> release{false};
    auto hold = [&] {
        ++started;
        while (!release) std::this_thread::yield();
        ++done;
    };
    auto waitFor = [&](int running, int sleeping) {
        while (started < running || pool.SleepingThreads() != sleeping) std::this_thread::yield();
    };
    waitFor(0, 2);
    EXPECT_EQ(pool.Wake(), Woken::Enough);  // nothing waits: nobody is woken
    EXPECT_EQ(pool.SleepingThreads(), 2);
    // Both threads asleep: Wake wakes one for the job at once.
    EXPECT_TRUE(pool.Post(hold));
    EXPECT_EQ(pool.Wake(), Woken::Enough);
    waitFor(1, 1);
    // One thread busy, one asleep: the job is left to the busy one until a
    // nudge wakes the sleeper (a long job never holds up the next one).
    EXPECT_TRUE(pool.Post(hold));
    EXPECT_EQ(pool.Wake(), Woken::NudgeLater);
    EXPECT_FALSE(pool.Nudge());
    waitFor(2, 0);
    // Every thread busy: the job stays queued for the first one free; at stop it is dropped.
    EXPECT_TRUE(pool.Post([&] { done += 100; }));
    EXPECT_EQ(pool.Wake(), Woken::Enough);
    EXPECT_FALSE(pool.Stop(std::chrono::milliseconds(0)));  // two jobs are running
    release = true;
    EXPECT_TRUE(pool.Stop(std::chrono::hours(1)));
    EXPECT_EQ(done, 2);
    EXPECT_FALSE(pool.Post([] {}));
}

// Several long jobs posted in one pass while every thread sleeps: the one
// thread woken is held by the first, so the nudge must wake another for the
// second (before, the second waited for the first to end).
TEST(WorkerPool, JobsPostedTogetherAllStartWhenThreadsSleep) {
    using Woken = http::WorkerPool::Woken;
    http::WorkerPool pool(2);
    std::atomic<int> started{0};
    std::atomic<bool> release{false};
    auto hold = [&] {
        ++started;
        while (!release) std::this_thread::yield();
    };
    while (pool.SleepingThreads() != 2) std::this_thread::yield();
    EXPECT_TRUE(pool.Post(hold));
    EXPECT_TRUE(pool.Post(hold));
    EXPECT_EQ(pool.Wake(), Woken::NudgeLater);
    while (started < 2) {
        pool.Nudge();
        std::this_thread::yield();
    }
    release = true;
    EXPECT_TRUE(pool.Stop(std::chrono::hours(1)));
}

// A job that throws ends, not its thread: the one thread of the pool goes on
// to the next job, and the pool still stops cleanly.
TEST(WorkerPool, JobThatThrowsLeavesItsThreadRunning) {
    http::WorkerPool pool(1);
    std::atomic<bool> ran{false};
    ASSERT_TRUE(pool.Post([] { throw std::bad_alloc(); }));
    ASSERT_TRUE(pool.Post([] { throw 42; }));
    ASSERT_TRUE(pool.Post([&] { ran = true; }));
    while (!ran) {
        pool.Nudge();
        std::this_thread::yield();
    }
    EXPECT_TRUE(pool.Stop(std::chrono::seconds(10)));
}

// A medium mounted in a mount namespace of its own (where the test may make
// one) reaches the watcher of that namespace's table.
TEST(MountWatch, CallsBackWhenTheMountTableChanges) {
    zktest::TempDir dir;
    const std::string ready = dir.file("ready"), go = dir.file("go");
    const std::string script = "echo $$ > " + ready + "; while [ ! -e " + go +
                               " ]; do sleep 0.05; done; mount -t tmpfs zk-test /mnt && sleep 1";
    std::optional<int> spawned;
    std::thread child([&] {
        spawned = process::Run({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script}, 20);
    });
    std::string pid;
    for (int i = 0; i < 100 && pid.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pid = zktest::ReadFile(ready);
        while (!pid.empty() && pid.back() == '\n') pid.pop_back();
    }
    if (pid.empty()) {
        child.join();
        GTEST_SKIP() << "no mount namespace here (unshare needs privileges)";
    }
    std::atomic<int> changes{0};
    MountWatch watch;
    ASSERT_TRUE(watch.Start([&] { ++changes; }, "/proc/" + pid + "/mountinfo"));
    zktest::WriteFile(go, "");
    for (int i = 0; i < 100 && changes == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    watch.Stop();
    child.join();
    if (changes == 0 && spawned && *spawned != 0) GTEST_SKIP() << "mounting is not allowed here";
    EXPECT_GE(changes.load(), 1);
    EXPECT_FALSE(MountWatch().Start([] {}, dir.file("missing")));
}
