// The built program, run as a user would: through a pipe and on a pseudo-
// terminal, on the virtual device so that no sound card is needed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <sys/ioctl.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "app/console.h"

namespace zimblo::app {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

#ifdef ZIMBLO_BIN
constexpr const char* kProgram = ZIMBLO_BIN;
#else
constexpr const char* kProgram = nullptr;
#endif

const std::string kBothTexts = std::string(kTitleText) + kPromptText;

// One run of the program; the files are the parent's ends.
struct Child {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
    int errors = -1;
    std::string stdoutText;
    std::string stderrText;

    // Reads what arrives until `text` has been seen or the time is up.
    bool readUntil(const std::string& text, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (stdoutText.find(text) == std::string::npos && Clock::now() < deadline) drain(10ms);
        return stdoutText.find(text) != std::string::npos;
    }
    void drain(std::chrono::milliseconds wait) {
        pollfd files[2] = {{output, POLLIN, 0}, {errors, POLLIN, 0}};
        if (poll(files, errors >= 0 ? 2 : 1, static_cast<int>(wait.count())) <= 0) return;
        char buffer[4096];
        if (files[0].revents & (POLLIN | POLLHUP)) {
            const ssize_t got = read(output, buffer, sizeof buffer);
            if (got > 0) stdoutText.append(buffer, static_cast<size_t>(got));
        }
        if (errors >= 0 && (files[1].revents & (POLLIN | POLLHUP))) {
            const ssize_t got = read(errors, buffer, sizeof buffer);
            if (got > 0) stderrText.append(buffer, static_cast<size_t>(got));
        }
    }
    void send(const std::string& bytes) const { ASSERT_EQ(write(input, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    bool running() const { return waitpid(pid, nullptr, WNOHANG) == 0; }
    // The exit status, or -1 when it has not ended in time (it is then killed).
    int wait(std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        int status = 0;
        while (Clock::now() < deadline) {
            const pid_t done = waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                for (int i = 0; i < 5; ++i) drain(1ms);
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            drain(5ms);
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    ~Child() {
        for (int file : {input, output, errors})
            if (file >= 0) close(file);
    }
};

void execProgram(const char* audio) {
    setenv("ZIMBLO_AUDIO", audio, 1);
    unsetenv("ZIMBLO_STATS");
    execl(kProgram, kProgram, static_cast<char*>(nullptr));
    _exit(127);
}

// Standard input and output through pipes, stderr through a third.
void startPiped(Child& run, const char* audio) {
    int in[2], out[2], err[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(err), 0);
    run.pid = fork();
    ASSERT_GE(run.pid, 0);
    if (run.pid == 0) {
        setsid();  // no controlling terminal: only the pipe is the keyboard
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int file : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(file);
        execProgram(audio);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    run.input = in[1];
    run.output = out[0];
    run.errors = err[0];
}

// Everything on a fresh pseudo-terminal that becomes the controlling terminal.
// `before` holds the terminal's settings from before the program ran.
void startOnTerminal(Child& run, int& terminal, termios& before) {
    int master = -1;
    ASSERT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(tcgetattr(terminal, &before), 0);
    run.pid = fork();
    ASSERT_GE(run.pid, 0);
    if (run.pid == 0) {
        setsid();
        ioctl(terminal, TIOCSCTTY, 0);
        for (int file : {0, 1, 2}) dup2(terminal, file);
        close(master);
        close(terminal);
        execProgram("virtual");
    }
    run.input = master;
    run.output = master;
}

class Program : public ::testing::Test {
protected:
    void SetUp() override {
        if (kProgram == nullptr) GTEST_SKIP() << "the program is not built (no embedded song)";
        signal(SIGPIPE, SIG_IGN);
    }
};

TEST_F(Program, PrintsBothTextsAndQuitsOnEscapeWithZero) {
    Child run;
    startPiped(run, "virtual");
    ASSERT_TRUE(run.readUntil(kPromptText, 10s));
    const auto pressed = Clock::now();
    run.send("\x1b");
    EXPECT_EQ(run.wait(3s), 0);
    EXPECT_LT(Clock::now() - pressed, 1500ms);
    EXPECT_EQ(run.stdoutText, kBothTexts);
    EXPECT_EQ(run.stderrText, "");
}

TEST_F(Program, KeysAndTheEndOfInputDoNotQuitButTerminationDoes) {
    Child run;
    startPiped(run, "virtual");
    ASSERT_TRUE(run.readUntil(kPromptText, 10s));
    run.send("q\x1b[A\x1bOP\x1bx");
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(run.running());
    close(run.input);  // the end of standard input
    run.input = -1;
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(run.running());
    kill(run.pid, SIGTERM);
    EXPECT_EQ(run.wait(3s), 0);
    EXPECT_EQ(run.stdoutText, kBothTexts);
}

TEST_F(Program, WithoutADeviceItSaysWhyOnceAndStillQuitsWithZero) {
    Child run;
    startPiped(run, "no-such-device");
    ASSERT_TRUE(run.readUntil(kPromptText, 10s));
    run.send("\x1b");
    EXPECT_EQ(run.wait(3s), 0);
    EXPECT_EQ(run.stdoutText, kBothTexts);
    EXPECT_EQ(run.stderrText,
              "zimblo: no sound device could be opened: ZIMBLO_AUDIO=\"no-such-device\" is not alsa, alsa:NAME, "
              "virtual or wav:PATH\n");

    // A value's control characters are not echoed to the terminal as such.
    Child odd;
    startPiped(odd, "no\x1b[2J\x1b]0;title\x07");
    ASSERT_TRUE(odd.readUntil(kPromptText, 10s));
    odd.send("\x1b");
    EXPECT_EQ(odd.wait(3s), 0);
    EXPECT_NE(odd.stderrText.find("ZIMBLO_AUDIO=\"no\\x1B[2J\\x1B]0;title\\x07\" is not"), std::string::npos)
        << odd.stderrText;
}

TEST_F(Program, EverySignalThatWouldEndItRestoresTheTerminal) {
    for (int number : {SIGUSR1, SIGALRM, SIGRTMIN + 1, SIGXCPU}) {
        SCOPED_TRACE(strsignal(number));
        Child run;
        int terminal = -1;
        termios before{};
        startOnTerminal(run, terminal, before);
        ASSERT_TRUE(run.readUntil("quit", 10s));
        kill(run.pid, number);
        const int status = run.wait(3s);
        // A request ends it as Escape does; a fault takes its default course.
        EXPECT_EQ(status, number == SIGXCPU ? 128 + SIGXCPU : 0);
        termios after{};
        ASSERT_EQ(tcgetattr(terminal, &after), 0);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        close(terminal);
    }
}

TEST_F(Program, OnATerminalItTakesKeysUnechoedAndRestoresTheSettings) {
    Child run;
    int terminal = -1;
    termios before{};
    startOnTerminal(run, terminal, before);
    ASSERT_TRUE(run.readUntil("quit", 10s));
    termios during{};
    ASSERT_EQ(tcgetattr(terminal, &during), 0);
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_NE(during.c_lflag & ISIG, 0u);  // Ctrl-C still interrupts
    run.send("abc\x1b[B");                 // not echoed, not Escape
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(run.running());
    const auto pressed = Clock::now();
    run.send("\x1b");
    EXPECT_EQ(run.wait(3s), 0);
    EXPECT_LT(Clock::now() - pressed, 1500ms);
    termios after{};
    ASSERT_EQ(tcgetattr(terminal, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    // The terminal turns each "\n" into "\r\n"; nothing else was written.
    std::string expected;
    for (char c : kBothTexts) expected += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(run.stdoutText, expected);
    close(terminal);
}

}  // namespace
}  // namespace zimblo::app
