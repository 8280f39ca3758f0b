// Prints, one "name=value" line each, what this process received from its parent.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

namespace {

std::string Disposition(int signal) {
    struct sigaction action {};
    sigaction(signal, nullptr, &action);
    if (action.sa_handler == SIG_DFL) return "default";
    if (action.sa_handler == SIG_IGN) return "ignored";
    return "handled";
}

std::string OpenDescriptors() {
    std::vector<int> numbers;
    DIR* listing = opendir("/proc/self/fd");
    if (!listing) return "unknown";
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.') continue;
        const int number = std::atoi(entry->d_name);
        if (number != dirfd(listing)) numbers.push_back(number);
    }
    closedir(listing);
    std::sort(numbers.begin(), numbers.end());
    std::string text;
    for (const int number : numbers) text += (text.empty() ? "" : ",") + std::to_string(number);
    return text;
}

std::string BlockedSignals() {
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    std::string text;
    for (int signal = 1; signal < NSIG; ++signal)
        if (sigismember(&mask, signal) == 1)
            text += (text.empty() ? "" : ",") + std::to_string(signal);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::printf("fds=%s\n", OpenDescriptors().c_str());

    char target[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/fd/0", target, sizeof target - 1);
    std::printf("stdin=%s\n", length > 0 ? target : "none");
    char byte;
    std::printf("stdin-read=%zd\n", read(STDIN_FILENO, &byte, 1));

    std::printf("own-group=%d\n", getpgrp() == getpid() ? 1 : 0);
    std::printf("blocked=%s\n", BlockedSignals().c_str());
    std::printf("SIGINT=%s\n", Disposition(SIGINT).c_str());
    std::printf("SIGTERM=%s\n", Disposition(SIGTERM).c_str());
    std::printf("SIGPIPE=%s\n", Disposition(SIGPIPE).c_str());
    std::printf("SIGHUP=%s\n", Disposition(SIGHUP).c_str());

    char folder[PATH_MAX] = {};
    std::printf("cwd=%s\n", getcwd(folder, sizeof folder) ? folder : "none");
    std::string names;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        names += (names.empty() ? "" : ",") + text.substr(0, text.find('='));
    }
    std::printf("environment=%s\n", names.c_str());
    const char* locale = std::getenv("LC_ALL");
    std::printf("LC_ALL=%s\n", locale ? locale : "none");
    std::printf("argc=%d\n", argc);
    std::printf("argv0=%s\n", argv[0]);
    std::fprintf(stderr, "stderr=works\n");
    return 0;
}
