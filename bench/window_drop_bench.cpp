// One drop of clips on the real window, timed from inside: the drop goes the way a drop from a
// file manager goes (PostDrop, then the job in the drop's handler) and the clock stops when the
// window says the job has finished. Prints the drop's wall and processor time (the program and
// the coders it ran) and the program's memory before the job and after every file.
//
// Usage: window_drop_bench [--coder PATH] FILE...
//   --coder PATH  the coder the job runs (default: the coder file the window wrote at start)
// Output: "drop WALL_MS CPU_MS OWN_CPU_MS" (OWN: the window's process without its coders), then
// one "memory N RSS_KB HWM_KB HEAP_BYTES" line per file (N = files done; HEAP: malloc's bytes in
// use), then a summary.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>
#include <time.h>

#include <QPlainTextEdit>
#include <QTimer>

#include "application.h"
#include "coder_payload.h"
#include "conversion_job.h"
#include "lmk1.h"
#include "posix_platform.h"
#include "working_files.h"

namespace {

struct Memory {
    long rssKb = 0;
    long hwmKb = 0;
    long heapBytes = 0;  // allocated and not freed, as malloc counts it
};

long StatusField(const std::string& text, const char* name) {
    const std::size_t at = text.find(name);
    if (at == std::string::npos) return -1;
    return std::strtol(text.c_str() + at + std::strlen(name), nullptr, 10);
}

Memory ReadMemory() {
    std::ifstream status("/proc/self/status");
    const std::string text((std::istreambuf_iterator<char>(status)),
                           std::istreambuf_iterator<char>());
    return {StatusField(text, "VmRSS:"), StatusField(text, "VmHWM:"),
            static_cast<long>(mallinfo2().uordblks)};
}

double MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// User and system time of this process (RUSAGE_SELF) or of the children it has reaped.
double ProcessorMs(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 +
           usage.ru_stime.tv_sec * 1e3 + usage.ru_stime.tv_usec / 1e3;
}

// The real window, sampling memory where the job begins each file and where it ends.
class SampledForm : public lmk::TMainForm {
public:
    using lmk::TMainForm::TMainForm;

    void ClearLog() override {
        samples.push_back(ReadMemory());
        lmk::TMainForm::ClearLog();
    }
    void JobEnded(bool stopped) override {
        samples.push_back(ReadMemory());
        lmk::TMainForm::JobEnded(stopped);
    }

    std::vector<Memory> samples;
};

}  // namespace

int main(int argc, char** argv) {
    lmk::TApplication application(argc, argv);
    std::string coder;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--coder") == 0 && i + 1 < argc) {
            coder = argv[++i];
        } else {
            files.push_back(lmk::AbsolutePath(argv[i]));
        }
    }
    if (files.empty()) {
        std::cerr << "usage: window_drop_bench [--coder PATH] FILE...\n";
        return 64;
    }

    lmk::PosixProcesses processes;
    lmk::PosixFiles fileSystem;
    lmk::WorkingFiles working(lmk::JoinPath(lmk::ProgramFolder(), lmk::kCoderFileName));
    SampledForm form(processes, fileSystem, working);
    form.show();
    if (!coder.empty()) lmk::ModuleValues.CoderPath = coder;

    double startMs = 0;
    double startOwnCpu = 0;
    double startChildCpu = 0;
    double wallMs = 0;
    double ownCpuMs = 0;
    double childCpuMs = 0;
    QObject::connect(&form, &lmk::TMainForm::jobFinished, &application, [&] {
        wallMs = MonotonicMs() - startMs;
        ownCpuMs = ProcessorMs(RUSAGE_SELF) - startOwnCpu;
        childCpuMs = ProcessorMs(RUSAGE_CHILDREN) - startChildCpu;
        QTimer::singleShot(0, &application, &QCoreApplication::quit);
    });
    // Dropped once the window is up and drawn, as a user's drop would be.
    QTimer::singleShot(0, &form, [&] {
        startMs = MonotonicMs();
        startOwnCpu = ProcessorMs(RUSAGE_SELF);
        startChildCpu = ProcessorMs(RUSAGE_CHILDREN);
        form.PostDrop(files);
    });
    application.exec();

    const QString log = form.mLog->toPlainText();
    if (!log.contains(QString::fromStdString(lmk::DoneLine())) ||
        log.contains(QString::fromUtf8("Не удалось"))) {
        std::cerr << "the job did not end well; its log:\n" << log.toStdString() << '\n';
        return 1;
    }
    // One sample before each file and one at the end.
    if (form.samples.size() != files.size() + 1) {
        std::cerr << "expected " << files.size() + 1 << " memory samples, got "
                  << form.samples.size() << '\n';
        return 1;
    }

    std::printf("drop %.0f %.0f %.0f\n", wallMs, ownCpuMs + childCpuMs, ownCpuMs);
    for (std::size_t i = 0; i < form.samples.size(); ++i) {
        std::printf("memory %zu %ld %ld %ld\n", i, form.samples[i].rssKb, form.samples[i].hwmKb,
                    form.samples[i].heapBytes);
    }
    const Memory& before = form.samples.front();
    const Memory& first = form.samples[1];
    const Memory& last = form.samples.back();
    std::printf(
        "files %zu: RSS before the job %ld kB, after the first file %ld kB, after the last %ld "
        "kB; peak (VmHWM) after the first file %ld kB, after the last %ld kB; heap in use after "
        "the first file %ld bytes, after the last %ld bytes\n",
        files.size(), before.rssKb, first.rssKb, last.rssKb, first.hwmKb, last.hwmKb,
        first.heapBytes, last.heapBytes);
    return 0;
}
