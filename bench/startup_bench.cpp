// Start-up of window programs against a baseline program, in turn in one run: the time from
// the start of each process to its window's first paint and to the phases it marks on the way
// (see first_paint.h), the time to its exit, and the processor time it used.
//
// Usage: startup_bench [--rounds N] BASELINE PROGRAM...
// The programs inherit the environment: set QT_QPA_PLATFORM (offscreen, or xcb with DISPLAY).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Run {
    std::map<std::string, double> phaseMs;  // from the start of the process
    std::vector<std::string> phaseOrder;    // as marked
    double exitMs = 0;
    double cpuMs = 0;
};

long long MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

bool RunOnce(const char* program, Run& run) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    char* argv[] = {const_cast<char*>(program), nullptr};

    const long long startNs = MonotonicNs();
    pid_t pid = -1;
    const int error = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (error != 0) {
        close(pipeEnds[0]);
        std::fprintf(stderr, "cannot start %s: %s\n", program, std::strerror(error));
        return false;
    }

    std::string printed;
    char buffer[256];
    ssize_t got;
    while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0) printed.append(buffer, got);
    close(pipeEnds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const long long endNs = MonotonicNs();

    run = Run{};
    std::istringstream lines(printed);
    std::string word, name;
    long long ns = 0;
    while (lines >> word >> name >> ns) {
        if (word != "phase") continue;
        if (!run.phaseMs.count(name)) run.phaseOrder.push_back(name);
        run.phaseMs[name] = (ns - startNs) / 1e6;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || run.phaseOrder.empty() ||
        run.phaseOrder.back() != "painted") {
        std::fprintf(stderr, "%s did not report its first paint (status %d)\n", program, status);
        return false;
    }
    run.exitMs = (endNs - startNs) / 1e6;
    run.cpuMs = usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 +
                usage.ru_stime.tv_sec * 1e3 + usage.ru_stime.tv_usec / 1e3;
    return true;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string LoadAverage() {
    char text[64] = {};
    if (FILE* file = std::fopen("/proc/loadavg", "r")) {
        if (!std::fgets(text, sizeof text, file)) text[0] = 0;
        std::fclose(file);
    }
    std::istringstream fields(text);
    std::string one, five, fifteen;
    fields >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 21;
    std::vector<const char*> programs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else {
            programs.push_back(argv[i]);
        }
    }
    if (programs.size() < 2 || rounds < 1) {
        std::fprintf(stderr, "usage: startup_bench [--rounds N] BASELINE PROGRAM...\n");
        return 64;
    }
    const std::size_t count = programs.size();
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    std::printf("platform %s, load average at start %s\n", platform ? platform : "(default)",
                LoadAverage().c_str());

    // Warm-up, not counted: the first start of each reads its libraries from disk.
    Run run;
    for (int i = 0; i < 2; ++i) {
        for (const char* program : programs) {
            if (!RunOnce(program, run)) return 1;
        }
    }

    std::vector<std::vector<Run>> runs(count);
    std::vector<std::vector<double>> paintRatios(count);
    for (int r = 0; r < rounds; ++r) {
        std::vector<Run> round(count);
        // A different one goes first each round, so a drift in the machine's load hits all alike.
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t side = (k + r) % count;
            if (!RunOnce(programs[side], round[side])) return 1;
        }
        std::printf("round %2d: first paint", r + 1);
        for (std::size_t side = 0; side < count; ++side) {
            runs[side].push_back(round[side]);
            paintRatios[side].push_back(round[side].phaseMs["painted"] /
                                        round[0].phaseMs["painted"]);
            std::printf(" %7.1f", round[side].phaseMs["painted"]);
        }
        std::printf(" ms\n");
    }

    std::printf("\nrounds %d, load average at end %s\n", rounds, LoadAverage().c_str());
    std::printf(
        "medians, in ms from the start of the process; a step is the median time from "
        "the phase before\n");
    const auto median = [&](std::size_t side, auto pick) {
        std::vector<double> values;
        for (const Run& one : runs[side]) values.push_back(pick(one));
        return Median(values);
    };
    const auto painted = [](const Run& one) { return one.phaseMs.at("painted"); };
    const auto cpu = [](const Run& one) { return one.cpuMs; };
    const double basePaint = median(0, painted);
    const double baseCpu = median(0, cpu);
    for (std::size_t side = 0; side < count; ++side) {
        std::printf("\n%s", BaseName(programs[side]).c_str());
        if (side > 0) {
            std::printf(
                ": first paint %.3f times %s's (median of the rounds' ratios %.3f), "
                "processor time %.3f times",
                median(side, painted) / basePaint, BaseName(programs[0]).c_str(),
                Median(paintRatios[side]), median(side, cpu) / baseCpu);
        }
        std::printf("\n  %-12s %8s %8s\n", "phase", "at", "step");
        std::string before;
        for (const std::string& name : runs[side].front().phaseOrder) {
            const double at = median(side, [&](const Run& one) { return one.phaseMs.at(name); });
            const double step = median(side, [&](const Run& one) {
                return one.phaseMs.at(name) - (before.empty() ? 0 : one.phaseMs.at(before));
            });
            std::printf("  %-12s %8.1f %8.1f\n", name.c_str(), at, step);
            before = name;
        }
        std::printf(
            "  %-12s %8.1f %8.1f\n", "exit",
            median(side, [](const Run& one) { return one.exitMs; }),
            median(side, [](const Run& one) { return one.exitMs - one.phaseMs.at("painted"); }));
        std::printf("  %-12s %8.1f\n", "processor", median(side, cpu));
    }
    return 0;
}
