// A stand-in program run by a test: started with its arguments, its standard
// output read line by line with a deadline (it prints "port N" first once it
// listens), signalled, and stopped; a program still running when the helper
// goes is ended with SIGKILL and reaped.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace stand_test {

struct program {
    pid_t pid = -1;
    int out = -1;
    int port = 0; // 0 when it printed no port
    std::string pending;

    program(const std::string &path, std::vector<std::string> args)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            std::vector<char *> argv = {const_cast<char *>(path.c_str())};
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(fds[1]);
        out = fds[0];
        std::string line;
        if (pid > 0 && next_line(&line) && sscanf(line.c_str(), "port %d", &port) != 1)
            port = 0;
    }
    program(const program &) = delete;
    program &operator=(const program &) = delete;
    ~program()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0)
            close(out);
    }

    // The next line of its output without the newline; false at its end or
    // when none comes within the time.
    bool next_line(std::string *line, int timeout_ms = 30000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t nl = pending.find('\n');
            if (nl != std::string::npos) {
                *line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                return true;
            }
            int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                           .count();
            struct pollfd p = {out, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, left) <= 0)
                return false;
            char buf[4096];
            ssize_t n = read(out, buf, sizeof(buf));
            if (n <= 0)
                return false;
            pending.append(buf, (size_t)n);
        }
    }
    // Signals the program while it runs; false once it was reaped (a pid of
    // 0 or -1 would signal a whole group or every process).
    bool signal(int sig)
    {
        return pid > 0 && kill(pid, sig) == 0;
    }
    // Reads lines until one begins with prefix; false when none does in time.
    bool line_with(const std::string &prefix, std::string *line, int timeout_ms = 30000)
    {
        while (next_line(line, timeout_ms))
            if (line->compare(0, prefix.size(), prefix) == 0)
                return true;
        return false;
    }
    // The exit status once it ended (after sig when sig is not 0); -1 when it
    // did not end by exit.
    int stop(int sig = SIGTERM)
    {
        int status = 0;
        if (pid <= 0)
            return -1;
        if (sig)
            signal(sig);
        pid_t got = waitpid(pid, &status, 0);
        pid = -1;
        return got > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

} // namespace stand_test
