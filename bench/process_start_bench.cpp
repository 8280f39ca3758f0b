// Start and wait of /bin/true from a parent of a given size: the program's own start (a child
// of our own, so it can ask to end with its parent) against the posix_spawn start it replaced
// (a vfork-like clone that copies no page tables), and against a plain fork and exec (which
// copies the parent's page tables), timed in turn.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "bubblewrap.h"
#include "posix_platform.h"

extern char** environ;

namespace {

constexpr std::size_t kMegabyte = 1 << 20;

// Memory that the parent has touched, so that a fork has its page tables to copy.
void GrowParentTo(std::size_t megabytes) {
    static std::vector<char*> blocks;
    while (blocks.size() < megabytes) {
        char* block = new char[kMegabyte];
        std::memset(block, 1, kMegabyte);
        blocks.push_back(block);
    }
}

std::string OutputFile() {
    static const std::string path = [] {
        char folder[] = "/tmp/lmk-start-bench-XXXXXX";
        return std::string(mkdtemp(folder)) + "/output";
    }();
    return path;
}

// The start as it was: posix_spawn with the same file actions and attributes.
pid_t SpawnTrue(const std::string& outputFile) {
    const int output = open(outputFile.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    pid_t pid = -1;
    posix_spawn(&pid, "/bin/true", &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(output);
    return pid;
}

// The plain way to a child of our own: fork, which copies the parent's page tables.
pid_t ForkTrue(const std::string& outputFile) {
    const int output = open(outputFile.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        execve(argv[0], argv, environ);
        _exit(127);
    }
    close(output);
    return pid;
}

void TimeStarts(benchmark::State& state, pid_t (*start)(const std::string&)) {
    GrowParentTo(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        const pid_t pid = start(OutputFile());
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("start failed");
    }
}

void BM_PosixSpawnStart(benchmark::State& state) {
    TimeStarts(state, SpawnTrue);
}

void BM_ForkStart(benchmark::State& state) {
    TimeStarts(state, ForkTrue);
}

void TimeProgramStarts(benchmark::State& state, lmk::PosixProcesses::Confinement confinement) {
    GrowParentTo(static_cast<std::size_t>(state.range(0)));
    lmk::PosixProcesses processes(confinement);
    for (auto _ : state) {
        auto process = processes.Start("/bin/true", {}, OutputFile(), {});
        process->Wait(-1);
        if (!process->Status().Success()) state.SkipWithError("start failed");
    }
}

void BM_ProgramStart(benchmark::State& state) {
    TimeProgramStarts(state, lmk::PosixProcesses::Unconfined);
}

// The sandbox's rules are made for each start.
void BM_ConfinedProgramStart(benchmark::State& state) {
    TimeProgramStarts(state, lmk::PosixProcesses::Confined);
}

// A file's probe and conversion in name spaces (both /bin/true here): a sandbox for each run,
// as before, against one for both, whose runner starts each.
std::string InputFile() {
    const std::string path = OutputFile().substr(0, OutputFile().rfind('/')) + "/input";
    close(open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    return path;
}

void BM_FileInTwoSandboxes(benchmark::State& state) {
    lmk::PosixProcesses processes(lmk::PosixProcesses::InNameSpaces);
    const std::string input = InputFile();
    for (auto _ : state) {
        for (int run = 0; run < 2; ++run) {
            auto process = processes.Start("/bin/true", {}, OutputFile(), {input, {}});
            process->Wait(-1);
            if (!process->Status().Success()) state.SkipWithError("start failed");
        }
    }
}

void BM_FileInOneSandbox(benchmark::State& state) {
    lmk::PosixProcesses processes(lmk::PosixProcesses::InNameSpaces);
    const std::string input = InputFile();
    if (!processes.SharesRuns()) state.SkipWithError("no runner");
    for (auto _ : state) {
        auto runs = processes.StartRuns("/bin/true", {input, {}}, OutputFile() + ".sandbox");
        for (int run = 0; run < 2 && runs; ++run) {
            auto process = runs->Start({}, OutputFile(), false);
            process->Wait(-1);
            if (!process->Status().Success()) state.SkipWithError("start failed");
        }
    }
}

// The parent only grows, so every start of one size runs before the next size.
void Register() {
    if (lmk::BubblewrapRuns()) {
        benchmark::RegisterBenchmark("BM_FileInTwoSandboxes", BM_FileInTwoSandboxes)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_FileInOneSandbox", BM_FileInOneSandbox)
            ->Unit(benchmark::kMicrosecond);
    }
    for (const long megabytes : {0L, 32L, 256L, 1024L}) {
        using Function = void (*)(benchmark::State&);
        for (const auto& [name, function] :
             {std::pair<const char*, Function>{"BM_PosixSpawnStart", BM_PosixSpawnStart},
              std::pair<const char*, Function>{"BM_ProgramStart", BM_ProgramStart},
              std::pair<const char*, Function>{"BM_ConfinedProgramStart", BM_ConfinedProgramStart},
              std::pair<const char*, Function>{"BM_ForkStart", BM_ForkStart}}) {
            benchmark::RegisterBenchmark(name, function)
                ->Arg(megabytes)
                ->ArgName("parent_MB")
                ->Unit(benchmark::kMicrosecond);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Register();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(OutputFile().c_str());
    unlink((OutputFile() + ".sandbox").c_str());
    unlink(InputFile().c_str());
    rmdir(OutputFile().substr(0, OutputFile().rfind('/')).c_str());
    return 0;
}
