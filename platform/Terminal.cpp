#include "platform/Terminal.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace Terminal {

namespace {

// The terminal as it was before echo went off, put back on every way out: normal return, exception, and the
// signals that end the program (the handler restores it, then ends the program as the signal would have).
termios savedTerminal{};
volatile std::sig_atomic_t echoOff = 0;

void restoreTerminal()
{
    if (echoOff) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
        echoOff = 0;
    }
}

extern "C" void endOnSignal(int signal)
{
    if (echoOff) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
        echoOff = 0;
        const char newline = '\n';
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, &newline, 1);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

void restoreOnSignals()
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        std::signal(signal, endOnSignal);
}

struct TerminalGuard {
    ~TerminalGuard() { restoreTerminal(); }
};

// A secret: typed at the terminal without echo after the prompt, or the next line of a pipe. None at the end of
// the input.
std::optional<std::string> readSecret(const char* prompt)
{
    std::string secret;
    if (::isatty(STDIN_FILENO)) {
        TerminalGuard guard;
        if (::tcgetattr(STDIN_FILENO, &savedTerminal) == 0) {
            termios silent = savedTerminal;
            silent.c_lflag &= ~tcflag_t(ECHO);
            echoOff = 1;
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
        }
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        const bool got = bool(std::getline(std::cin, secret));
        restoreTerminal();
        std::fputs("\n", stderr);
        if (!got)
            return std::nullopt;
    } else if (!std::getline(std::cin, secret)) {
        return std::nullopt;
    }
    if (!secret.empty() && secret.back() == '\r')
        secret.pop_back();
    return secret;
}

} // namespace Terminal
