// A stand-in for the coder that does no coding, so that a batch run measures only what the
// side running it (the program, its window, or a shell loop) adds per file. A probe ("-i FILE"
// and nothing more) gets a short report as the coder prints one, and exit code 1; a conversion
// (the output file last) gets a progress line, its progress block on the descriptor that
// "-progress pipe:N" names, the output file with a few bytes in it, and exit code 0.
//
// STAND_IN_MS, when set, makes each conversion last that many milliseconds, so that the job's
// 200 ms waits and progress reads happen as they do during a long conversion.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "-i") == 0) {
        std::fprintf(stderr,
                     "Input #0, avi, from '%s':\n"
                     "  Duration: 00:00:01.00, start: 0.000000, bitrate: 2000 kb/s\n"
                     "  Stream #0:0: Video: mpeg4 (Simple Profile) (FMP4 / 0x34504D46), yuv420p, "
                     "640x480 [SAR 1:1 DAR 4:3], 1000 kb/s, 25 fps, 25 tbr, 25 tbn\n"
                     "  Stream #0:1: Audio: pcm_s16le ([1][0][0][0] / 0x0001), 44100 Hz, 1 "
                     "channels, s16, 705 kb/s\n"
                     "At least one output file must be specified\n",
                     argv[2]);
        return 1;
    }
    if (argc < 4) return 2;

    if (const char* wait = std::getenv("STAND_IN_MS")) {
        const long ms = std::atol(wait);
        const timespec interval{ms / 1000, (ms % 1000) * 1000000};
        nanosleep(&interval, nullptr);
    }
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-progress") != 0 || std::strncmp(argv[i + 1], "pipe:", 5) != 0)
            continue;
        const char block[] = "out_time_us=1000000\nout_time=00:00:01.000000\nprogress=end\n";
        if (write(std::atoi(argv[i + 1] + 5), block, sizeof block - 1) != sizeof block - 1)
            return 1;
    }
    std::fprintf(
        stderr,
        "frame=   25 fps=0.0 q=2.0 Lsize=      10kB time=00:00:01.00 bitrate=  80.0kbits/s "
        "speed=10x\n");
    // Named as the program names it ("file:" and its path) and emptied by it: the coder's filter
    // refuses O_TRUNC.
    const char* path = argv[argc - 1];
    if (std::strncmp(path, "file:", 5) == 0) path += 5;
    const int output = open(path, O_CREAT | O_WRONLY, 0644);
    if (output < 0) return 1;
    const char bytes[] = "stand-in output\n";
    const bool written = write(output, bytes, sizeof bytes - 1) == sizeof bytes - 1;
    close(output);
    return written ? 0 : 1;
}
