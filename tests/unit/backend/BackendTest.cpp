#include "backend/Backend.h"

#include <fstream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestOutput.h"

namespace {

class BackendTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
        model = testing::TempDir() + "zorvi-model-" + std::to_string(getpid());
        state = testing::TempDir() + "zorvi-state-" + std::to_string(getpid());
    }
    void TearDown() override {
        if (ends[0] >= 0) close(ends[0]);
        unlink(model.c_str());
        unlink((state + "/procedure.lock").c_str());
        unlink((state + "/completed").c_str());
        rmdir(state.c_str());
    }

    void writeModel(const std::string& content) { std::ofstream(model) << content; }
    CStringView modelPath() const { return CStringView::fromCString(model.c_str()); }
    CStringView statePath() const { return CStringView::fromCString(state.c_str()); }

    // Builds the backend on end 1 and returns the model line it logged.
    std::string construct(std::optional<Backend::impl>& backend) {
        UnixSocket::Socket given{UnixSocket::FileDescriptor(ends[1])};
        ends[1] = -1;
        std::string log = captureStdout([&] { backend.emplace(given, modelPath(), statePath()); });
        EXPECT_EQ(given.fd(), -1); // the descriptor moved over
        return log;
    }

    // The next datagram on the frontend's end, or "" when none is waiting.
    std::string next(int timeoutMs = 1000) {
        pollfd p{ends[0], POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) return "";
        char buf[512];
        ssize_t n = read(ends[0], buf, sizeof buf);
        if (n <= 0) return "";
        Buffer text;
        Message::fromBytes(View<const char>(buf, static_cast<size_t>(n))).toText(text);
        return std::string(text.data(), text.length());
    }

    // The answer `backend` gives to `command` from client 9, request 31.
    static std::string ask(Backend::impl& backend, uint16_t command) {
        Buffer text;
        backend.handleRequest(request(command)).toText(text);
        return std::string(text.data(), text.length());
    }
    static Request request(uint16_t command) {
        Request r;
        r.clientId = 9;
        r.requestId = 31;
        r.command = command;
        return r;
    }

    int ends[2] = {-1, -1};
    std::string model;
    std::string state;
};

TEST_F(BackendTest, ModelFileVariants) {
    struct {
        std::string content;
        bool supported;
        const char* shown;
    } cases[] = {
        {"arko-3b2-nx", true, "arko-3b2-nx"},
        {"arko-3b2-nx\n", true, "arko-3b2-nx"},
        {"arko-3b2-nx\r\n", true, "arko-3b2-nx"},
        {"arko-3b2-nx \t \n", true, "arko-3b2-nx"},
        {" arko-3b2-nx", false, " arko-3b2-nx"},
        {"ARKO-3B2-NX", false, "ARKO-3B2-NX"},
        {"arko-3b2-nx2", false, "arko-3b2-nx2"},
        {"arko-3b2-nx\nmore", false, "arko-3b2-nx\nmore"},
        {"", false, ""},
        {"\n\n", false, ""},
        {std::string(65, 'a'), false, ""}, // larger than the 64 bytes read
    };
    for (auto& c : cases) {
        writeModel(c.content);
        bool supported = false;
        std::string line = captureStdout([&] { supported = Backend::isSupportedModel(modelPath()); });
        EXPECT_EQ(supported, c.supported) << c.content;
        EXPECT_EQ(line, std::string("Lumora model=") + c.shown + ", supported=" + (c.supported ? "1" : "0") + "\n");
    }
}

TEST_F(BackendTest, MissingModelFileIsUnsupported) {
    testing::internal::CaptureStderr();
    std::string line = captureStdout([&] { EXPECT_FALSE(Backend::isSupportedModel("/nonexistent/lumora.model")); });
    EXPECT_EQ(line, "Lumora model=, supported=0\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "open: No such file or directory\n");
}

TEST_F(BackendTest, DecisionTableOnASupportedHub) {
    writeModel("arko-3b2-nx\n");
    std::optional<Backend::impl> backend;
    construct(backend);
    EXPECT_EQ(ask(*backend, Request::None), "");
    EXPECT_EQ(ask(*backend, Request::Revert), "rsp;31;false;unsupported command");
    EXPECT_EQ(ask(*backend, Request::Cancel), "rsp;31;false;unsupported command");
    EXPECT_EQ(ask(*backend, 77), "rsp;31;false;unsupported command");
    EXPECT_FALSE(backend->procedure);
    EXPECT_EQ(ask(*backend, Request::Upgrade), "rsp;31;true;");
    ASSERT_TRUE(backend->procedure);
    EXPECT_EQ(std::string(backend->procedure->get().name().data()), "migration_upgrade");
    // One procedure per backend: a second request never replaces or follows it.
    EXPECT_EQ(ask(*backend, Request::EraseUpgrade), "rsp;31;false;upgrade already in progress");
    EXPECT_EQ(std::string(backend->procedure->get().name().data()), "migration_upgrade");
    EXPECT_EQ(ask(*backend, Request::Cancel), "rsp;31;false;unsupported command");
}

// Two backends stand for the one a killed launcher left behind and the one the
// restarted service started: only one of them may run a procedure.
TEST_F(BackendTest, AProcedureIsExclusiveForTheWholeMachine) {
    writeModel("arko-3b2-nx\n");
    std::optional<Backend::impl> first;
    construct(first);
    int other[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, other), 0);
    UnixSocket::Socket given{UnixSocket::FileDescriptor(other[1])};
    std::optional<Backend::impl> second;
    captureStdout([&] { second.emplace(given, modelPath(), statePath()); });
    EXPECT_EQ(ask(*first, Request::EraseUpgrade), "rsp;31;true;");
    EXPECT_EQ(ask(*second, Request::Upgrade), "rsp;31;false;upgrade already in progress");
    EXPECT_EQ(ask(*second, Request::EraseUpgrade), "rsp;31;false;upgrade already in progress");
    EXPECT_FALSE(second->procedure);
    first.reset(); // its process ends: the lock goes with it
    EXPECT_EQ(ask(*second, Request::Upgrade), "rsp;31;true;");
    close(other[0]);
}

TEST_F(BackendTest, NothingStartsOnceAProcedureCompletedUntilTheHubRestarts) {
    writeModel("arko-3b2-nx\n");
    std::optional<Backend::impl> backend;
    construct(backend);
    ASSERT_TRUE(backend->guard.markCompleted());
    EXPECT_EQ(ask(*backend, Request::Upgrade), "rsp;31;false;upgrade completed, hub is restarting");
    EXPECT_EQ(ask(*backend, Request::EraseUpgrade), "rsp;31;false;upgrade completed, hub is restarting");
    EXPECT_EQ(ask(*backend, Request::Revert), "rsp;31;false;unsupported command");
    EXPECT_FALSE(backend->procedure);
    // A restarted service reads the same state: only a reboot clears /run.
    backend.reset();
    ends[1] = dup(ends[0]);
    std::optional<Backend::impl> restarted;
    construct(restarted);
    EXPECT_EQ(ask(*restarted, Request::Upgrade), "rsp;31;false;upgrade completed, hub is restarting");
}

TEST_F(BackendTest, RequestsThatWaitedDuringAProcedureAreRefusedBeforeItExits) {
    writeModel("arko-3b2-nx\n");
    std::optional<Backend::impl> backend;
    construct(backend);
    ASSERT_EQ(ask(*backend, Request::EraseUpgrade), "rsp;31;true;");
    for (uint16_t command : {Request::Upgrade, Request::Cancel, Request::EraseUpgrade}) {
        Request r = request(command);
        r.requestId = static_cast<uint16_t>(40 + command);
        ASSERT_EQ(write(ends[0], r.bytes().begin(), r.bytes().size()), 16);
    }
    backend->refuseWaitingRequests();
    EXPECT_EQ(next(), "rsp;41;false;upgrade already in progress");
    EXPECT_EQ(next(), "rsp;44;false;unsupported command");
    EXPECT_EQ(next(), "rsp;42;false;upgrade already in progress");
    EXPECT_EQ(next(100), ""); // and it returned: nothing left waiting, nothing blocked
    // After the reboot step returned, the same requests hear that the hub restarts.
    ASSERT_TRUE(backend->guard.markCompleted());
    Request late = request(Request::Upgrade);
    ASSERT_EQ(write(ends[0], late.bytes().begin(), late.bytes().size()), 16);
    backend->refuseWaitingRequests();
    EXPECT_EQ(next(), "rsp;31;false;upgrade completed, hub is restarting");
}

TEST_F(BackendTest, UnsupportedHubRefusesUpgradesButStillAnswers) {
    writeModel("other-model\n");
    std::optional<Backend::impl> backend;
    EXPECT_EQ(construct(backend), "Lumora model=other-model, supported=0\n");
    Request r;
    r.clientId = 2;
    r.requestId = 5;
    for (uint16_t command : {Request::Upgrade, Request::EraseUpgrade}) {
        r.command = command;
        Buffer text;
        backend->handleRequest(r).toText(text);
        EXPECT_EQ(std::string(text.data(), text.length()), "rsp;5;false;upgrade not supported on this lumora model");
    }
    EXPECT_FALSE(backend->procedure);
}

TEST_F(BackendTest, OnlyWholeRecordsAreAnsweredOnTheSocket) {
    writeModel("arko-3b2-nx\n");
    std::optional<Backend::impl> backend;
    construct(backend);
    Request r;
    r.clientId = 4;
    r.requestId = 8;
    r.command = Request::Cancel;
    char raw[17] = {};
    std::memcpy(raw, r.bytes().begin(), 16);
    backend->onRequest(backend->socket, View<const char>(raw, 15));
    backend->onRequest(backend->socket, View<const char>(raw, 17));
    EXPECT_EQ(next(100), "");
    backend->onRequest(backend->socket, View<const char>(raw, 16));
    EXPECT_EQ(next(), "rsp;8;false;unsupported command");
}

TEST_F(BackendTest, StatusTextNamesTheStepThatRunsNext) {
    writeModel("arko-3b2-nx\n");
    std::optional<Backend::impl> backend;
    construct(backend);
    Installer::Variant erase{Installer::erase_upgrade_t{}};
    backend->sendProgress(erase.get());
    EXPECT_EQ(next(), "nfy;erase_upgrade;0.000;not_started;;Not started");
    ASSERT_TRUE(erase.get().runNextStep()); // step 0 runs no command
    backend->sendProgress(erase.get());
    EXPECT_EQ(next(), "nfy;erase_upgrade;0.000;prepare;;Preparing update");
}

// In a child, so the stop-signal set-up does not touch the test process.
TEST_F(BackendTest, StartsIdleAndExitsWhenThePairIsGone) {
    writeModel("arko-3b2-nx\n");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(ends[0]); // the only other holder of the pair: end-of-stream at once
        UnixSocket::Socket given{UnixSocket::FileDescriptor(ends[1])};
        Backend::impl backend(given, modelPath(), statePath());
        _exit(backend.run());
    }
    close(out[1]);
    close(ends[1]);
    close(ends[0]);
    ends[0] = ends[1] = -1;
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 50 && (ended = waitpid(child, &status, WNOHANG)) == 0; ++i) usleep(100000);
    if (ended != child) kill(child, SIGKILL), waitpid(child, &status, 0);
    ASSERT_EQ(ended, child) << "backend still running with its pair closed";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    char buf[1024];
    ssize_t n = read(out[0], buf, sizeof buf);
    close(out[0]);
    std::string log(buf, n > 0 ? static_cast<size_t>(n) : 0);
    std::string expected = "Lumora model=arko-3b2-nx, supported=1\nBackend pid=" + std::to_string(child) + "\nBackend exiting\n";
    EXPECT_EQ(log, expected);
}

} // namespace
