// Starts a long child through PosixProcesses, as the program starts its coder, and then waits
// to be killed. Usage: platform_coder_parent PID_FILE OUTPUT_FILE; the child writes its own
// process number into PID_FILE, as one line, by the shell alone: a helper program of its own
// would be left to the test when the parent is killed.
#include <cstdio>

#include <unistd.h>

#include "failures.h"
#include "posix_platform.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PID_FILE OUTPUT_FILE\n", argv[0]);
        return 64;
    }
    try {
        lmk::PosixProcesses processes(lmk::PosixProcesses::Unconfined);
        const auto child = processes.Start(
            "/bin/sh", {"-c", "echo $$ > \"$0\" && exec sleep 600", argv[1]}, argv[2], {});
        for (;;) pause();
    } catch (const lmk::Exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
}
