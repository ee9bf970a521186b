// Whole-or-nothing replacement of the output file: what the folder holds
// after a commit, a failure or a signal, and how writes that the kernel cuts
// short or interrupts are carried on.
#include "output_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "memory_pool.hpp"
#include "test_files.hpp"

namespace {

namespace fs = std::filesystem;

std::string contents_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> names_in(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

// A text of many lines, large enough to take many writes.
std::string big_text(int lines = 20000) {
    std::string text;
    for (int i = 0; i < lines; ++i) text += "\t\"line" + std::to_string(i) + "\" => array (),\n";
    return text;
}

// Writes `text` in pieces of varying size, the way the PHP writer does.
int write_in_pieces(output_file_t* file, const std::string& text) {
    for (size_t at = 0, piece = 1; at < text.size(); at += piece, piece = piece * 3 % 70001 + 1) {
        const int error = output_file_write(file, text.data() + at, std::min(piece, text.size() - at));
        if (error != 0) return error;
    }
    return 0;
}

int replace(const std::string& path, const std::string& text, output_file_t* file) {
    int error = output_file_open(file, path.c_str());
    if (error == 0) error = write_in_pieces(file, text);
    const int committed = output_file_commit(file);
    return error != 0 ? error : committed;
}

int replace(const std::string& path, const std::string& text) {
    output_file_t file;
    return replace(path, text, &file);
}

// Writes at most 5 bytes a call, and every third call is interrupted first.
ssize_t short_interrupted_write(int descriptor, const void* data, size_t size) {
    static int calls = 0;
    if (++calls % 3 == 0) {
        errno = EINTR;
        return -1;
    }
    return write(descriptor, data, std::min<size_t>(size, 5));
}

// Fails as a full disk does once 100,000 bytes have gone out.
ssize_t fills_up_write(int descriptor, const void* data, size_t size) {
    static size_t room = 0;
    if (lseek(descriptor, 0, SEEK_CUR) == 0) room = 100000;
    if (room == 0) {
        errno = ENOSPC;
        return -1;
    }
    const ssize_t written = write(descriptor, data, std::min(size, room));
    if (written > 0) room -= static_cast<size_t>(written);
    return written;
}

class OutputFileTest : public testing::Test {
protected:
    void TearDown() override { memory_pool_free_all(); }
    std::string path(const std::string& name) const { return folder_.path() + "/" + name; }
    TemporaryFolder folder_;
};

TEST_F(OutputFileTest, ShortAndInterruptedWritesAreCarriedOnInEveryMode) {
    const std::string text = big_text(2000);
    output_file_t file;
    file.write_call = short_interrupted_write;
    ASSERT_EQ(replace(path("new.php"), text, &file), 0);
    EXPECT_EQ(contents_of(path("new.php")), text);

    // Written directly at commit, from the text held in memory.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    const pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        { std::ofstream(path("read"), std::ios::binary) << contents_of(path("fifo")); }
        _exit(0);
    }
    file.write_call = short_interrupted_write;
    EXPECT_EQ(replace(path("fifo"), text, &file), 0);
    ASSERT_EQ(waitpid(reader, nullptr, 0), reader);
    EXPECT_EQ(contents_of(path("read")), text);
    EXPECT_EQ(names_in(folder_.path()), (std::set<std::string>{"fifo", "new.php", "read"}));
}

TEST_F(OutputFileTest, AFailureOrAnAbandonLeavesTheEarlierFileAndNothingElse) {
    const std::string old_text = "<?php\n// the earlier file\n?>\n";
    folder_.write("out.php", old_text);

    output_file_t file;
    file.write_call = fills_up_write;
    EXPECT_EQ(replace(path("out.php"), big_text(), &file), ENOSPC);
    EXPECT_EQ(contents_of(path("out.php")), old_text);

    file.write_call = fills_up_write;
    file.try_anonymous = false;
    EXPECT_EQ(replace(path("out.php"), big_text(), &file), ENOSPC);
    EXPECT_EQ(contents_of(path("out.php")), old_text);

    for (bool anonymous : {true, false}) {
        output_file_t abandoned;
        abandoned.try_anonymous = anonymous;
        ASSERT_EQ(output_file_open(&abandoned, path("out.php").c_str()), 0);
        ASSERT_EQ(write_in_pieces(&abandoned, big_text()), 0);
        output_file_abandon(&abandoned);
        EXPECT_EQ(contents_of(path("out.php")), old_text);
    }
    // Nothing new is seen before the commit, even under a temporary name.
    output_file_t pending;
    pending.try_anonymous = false;
    ASSERT_EQ(output_file_open(&pending, path("out.php").c_str()), 0);
    ASSERT_EQ(write_in_pieces(&pending, "new text"), 0);
    EXPECT_EQ(contents_of(path("out.php")), old_text);
    EXPECT_EQ(output_file_commit(&pending), 0);
    EXPECT_EQ(contents_of(path("out.php")), "new text");
    EXPECT_EQ(names_in(folder_.path()), std::set<std::string>{"out.php"});

    // A device that fails: the error of the write, told at commit.
    EXPECT_EQ(replace("/dev/full", big_text()), ENOSPC);
}

// A signal during the write removes the temporary name, then ends the
// process by the same signal: every signal whose default ends the process.
TEST_F(OutputFileTest, ASignalDuringTheWriteLeavesTheEarlierFileAndNothingElse) {
    folder_.write("out.php", "old");
    for (bool anonymous : {true, false}) {
        for (int signal_number :
             {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGVTALRM, SIGPROF, SIGRTMIN}) {
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                output_file_t file;
                file.try_anonymous = anonymous;
                if (output_file_open(&file, path("out.php").c_str()) != 0) _exit(10);
                if (write_in_pieces(&file, big_text()) != 0) _exit(11);
                raise(signal_number);
                _exit(12);
            }
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number)
                << "anonymous " << anonymous << ", signal " << signal_number << ", status " << status;
            EXPECT_EQ(contents_of(path("out.php")), "old");
            EXPECT_EQ(names_in(folder_.path()), std::set<std::string>{"out.php"});
        }
    }
}

TEST_F(OutputFileTest, TheOutputKeepsItsPermissionsOwnerAndLinks) {
    const mode_t saved_umask = umask(027);
    EXPECT_EQ(replace(path("new.php"), "new"), 0);
    struct stat status {};
    ASSERT_EQ(stat(path("new.php").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    umask(saved_umask);

    folder_.write("kept.php", "old");
    ASSERT_EQ(chmod(path("kept.php").c_str(), 0604), 0);
    const bool may_chown = geteuid() == 0;
    if (may_chown) {
        ASSERT_EQ(chown(path("kept.php").c_str(), 1, 2), 0);
    }
    for (bool anonymous : {true, false}) {
        output_file_t file;
        file.try_anonymous = anonymous;
        ASSERT_EQ(replace(path("kept.php"), "new", &file), 0);
        ASSERT_EQ(stat(path("kept.php").c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0604u);
        if (may_chown) {
            EXPECT_EQ(status.st_uid, 1u);
            EXPECT_EQ(status.st_gid, 2u);
        }
        EXPECT_EQ(contents_of(path("kept.php")), "new");
    }

    // A chain of links: the file at its end is replaced, every link stays.
    folder_.write("sub/target.php", "old");
    ASSERT_EQ(symlink("sub/target.php", path("first").c_str()), 0);
    ASSERT_EQ(symlink(path("first").c_str(), path("second").c_str()), 0);
    ASSERT_EQ(replace(path("second"), "through links"), 0);
    EXPECT_TRUE(fs::is_symlink(path("first")) && fs::is_symlink(path("second")));
    EXPECT_EQ(contents_of(path("sub/target.php")), "through links");
    EXPECT_EQ(names_in(path("sub")), std::set<std::string>{"target.php"});
    // A link to nothing yet: the file it names is made.
    ASSERT_EQ(symlink("sub/made.php", path("dangling").c_str()), 0);
    ASSERT_EQ(replace(path("dangling"), "made"), 0);
    EXPECT_EQ(contents_of(path("sub/made.php")), "made");
    ASSERT_EQ(symlink("loop", path("loop").c_str()), 0);
    EXPECT_EQ(replace(path("loop"), "x"), ELOOP);
}

TEST_F(OutputFileTest, OpeningFailsAsWritingInPlaceWould) {
    EXPECT_EQ(replace(path("missing/out.php"), "x"), ENOENT);
    EXPECT_EQ(replace(folder_.path(), "x"), EISDIR);
    EXPECT_EQ(replace(path("missing/"), "x"), EISDIR);
    folder_.write("file", "x");
    EXPECT_EQ(replace(path("file/out.php"), "x"), ENOTDIR);
    EXPECT_EQ(replace("/dev/null", "x"), 0);
    EXPECT_EQ(names_in(folder_.path()), std::set<std::string>{"file"});
}

// Run as a user that may write the output but not its folder (a child that
// drops root when the test runs as root).
TEST_F(OutputFileTest, AFolderThatTakesNoNewFileHasTheOutputRewrittenInPlace) {
    folder_.write("locked/out.php", "old text, longer than the new");
    ASSERT_EQ(chmod(path("locked/out.php").c_str(), 0666), 0);
    ASSERT_EQ(chmod(path("locked").c_str(), 0555), 0);
    ASSERT_EQ(chmod(folder_.path().c_str(), 0755), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
        const int error = replace(path("locked/out.php"), "new");
        if (contents_of(path("locked/out.php")) != "new") _exit(13);
        output_file_t failing;
        failing.write_call = fills_up_write;
        const int failed = replace(path("locked/out.php"), big_text(), &failing);
        _exit(error != 0 ? 11 : failed != ENOSPC ? 12 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "root cannot become the user nobody here";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // Written in place, the failed write leaves the file empty, not cut off.
    EXPECT_EQ(contents_of(path("locked/out.php")), "");
    EXPECT_EQ(names_in(path("locked")), std::set<std::string>{"out.php"});
    chmod(path("locked").c_str(), 0755);
}

}  // namespace
