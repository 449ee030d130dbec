#include "util/FileUtil.h"

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

class FileUtilTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zorvi-fileutil-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }

    std::string path(const char* name) const { return dir + "/" + name; }
    static void put(const std::string& p, const std::string& content) { std::ofstream(p) << content; }
    static std::string get(const std::string& p) {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    int entries() const {
        int n = 0;
        DIR* d = opendir(dir.c_str());
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
        return n;
    }
    static CStringView view(const std::string& s) { return CStringView::fromCString(s.c_str()); }

    std::string dir;
};

TEST_F(FileUtilTest, ReadFileReportsFitMissingTooLargeAndEmpty) {
    char buf[8];
    put(path("exact"), "12345678");
    put(path("larger"), "123456789");
    put(path("short"), "abc");
    put(path("empty"), "");
    EXPECT_EQ(FileUtil::readFile(view(path("exact")), buf, 8), 8);
    EXPECT_EQ(std::string(buf, 8), "12345678");
    EXPECT_EQ(FileUtil::readFile(view(path("larger")), buf, 8), -1);
    EXPECT_EQ(FileUtil::readFile(view(path("short")), buf, 8), 3);
    EXPECT_EQ(FileUtil::readFile(view(path("empty")), buf, 8), 0);
    EXPECT_EQ(FileUtil::readFile(view(path("empty")), buf, 0), 0);
    EXPECT_EQ(FileUtil::readFile(view(path("short")), buf, 0), -1);

    testing::internal::CaptureStderr();
    EXPECT_EQ(FileUtil::readFile(view(path("missing")), buf, 8), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "open: No such file or directory\n");
}

TEST_F(FileUtilTest, ReadFileOfADirectoryIsAReadError) {
    char buf[8];
    testing::internal::CaptureStderr();
    EXPECT_EQ(FileUtil::readFile(view(dir), buf, 8), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "read: Is a directory\n");
}

TEST_F(FileUtilTest, WriteReplacesContentAndLeavesNoTemporary) {
    std::string p = path("model");
    put(p, "old content that is longer");
    chmod(p.c_str(), 0600);
    EXPECT_TRUE(FileUtil::writeFileDurably(view(p), "new", 3));
    EXPECT_EQ(get(p), "new");
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // the replaced file's mode is kept
    EXPECT_EQ(entries(), 1);

    std::string fresh = path("fresh");
    EXPECT_TRUE(FileUtil::writeFileDurably(view(fresh), "", 0));
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(entries(), 2);
}

// A write that fails half way (here: the file-size limit) must leave the old
// content in place, not a truncated file, and remove its temporary.
TEST_F(FileUtilTest, FailedWriteLeavesTheOldContent) {
    std::string p = path("state");
    put(p, "precious");
    pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        static char big[16384];
        bool ok = FileUtil::writeFileDurably(view(p), big, sizeof big);
        _exit(ok ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(get(p), "precious");
    EXPECT_EQ(entries(), 1);
}

TEST_F(FileUtilTest, WriteIntoMissingDirectoryFailsWithOpen) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(FileUtil::writeFileDurably(view(path("no/such/file")), "x", 1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "open: No such file or directory\n");
}

TEST_F(FileUtilTest, ParentDirectoryOfEachPathShape) {
    // Each shape must open the directory it names; compare by inode.
    ASSERT_EQ(chdir(dir.c_str()), 0);
    mkdir("a", 0755);
    mkdir("a/b", 0755);
    struct {
        const char* path;
        const char* directory;
    } cases[] = {{"a/b/c", "a/b"}, {"a/b/", "a"}, {"c", "."}, {"/c", "/"}, {"/", "/"}};
    for (auto& c : cases) {
        UnixSocket::FileDescriptor f = FileUtil::openParentDirectory(CStringView::fromCString(c.path));
        ASSERT_GE(f.get(), 0) << c.path;
        struct stat got, want;
        fstat(f.get(), &got);
        stat(c.directory, &want);
        EXPECT_EQ(got.st_ino, want.st_ino) << c.path;
    }
    EXPECT_EQ(FileUtil::openParentDirectory(CStringView()).get(), -1);
    EXPECT_EQ(FileUtil::openParentDirectory("no/such/x").get(), -1);
    ASSERT_EQ(chdir("/"), 0);
}

TEST_F(FileUtilTest, SyncFileRefusesAClosedFile) {
    UnixSocket::FileDescriptor none;
    EXPECT_FALSE(FileUtil::syncFile(none));
    UnixSocket::FileDescriptor f(open(dir.c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_TRUE(FileUtil::syncFile(f));
    int fd = f.get();
    UnixSocket::FileDescriptor moved(std::move(f));
    EXPECT_EQ(f.get(), -1);
    EXPECT_TRUE(moved.close());
    EXPECT_EQ(fcntl(fd, F_GETFD), -1); // really closed
}

} // namespace
