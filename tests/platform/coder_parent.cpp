// Starts a coder through PosixProcesses, as the program does, unconfined or in name spaces, and
// then waits to be killed.
// Usage: platform_coder_parent CODER OUTPUT_FILE unconfined|in-name-spaces
#include <cstdio>
#include <string>

#include <unistd.h>

#include "failures.h"
#include "posix_platform.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s CODER OUTPUT_FILE unconfined|in-name-spaces\n", argv[0]);
        return 64;
    }
    try {
        lmk::PosixProcesses processes(std::string(argv[3]) == "in-name-spaces"
                                          ? lmk::PosixProcesses::InNameSpaces
                                          : lmk::PosixProcesses::Unconfined);
        const auto child = processes.Start(argv[1], {}, argv[2], {});
        for (;;) pause();
    } catch (const lmk::Exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
}
