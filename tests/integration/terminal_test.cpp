// `lmk-video --convert` on a terminal: the status line is redrawn in place, and never wider than
// the terminal, so that a redraw never leaves a wrapped copy behind.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "clips.h"
#include "coder_run.h"
#include "integration_support.h"
#include "test_child.h"
#include "test_files.h"

namespace lmk::integration {
namespace {

using namespace std::chrono_literals;
using test::RunSettings;
using test::WaitUntil;

// The program run on a pseudo-terminal of a given width, its output gathered as it comes.
class TerminalRun {
public:
    TerminalRun(const std::vector<std::string>& arguments, const RunSettings& settings,
                unsigned short columns) {
        const std::string program = ProgramPath();
        winsize size{};
        size.ws_col = columns;
        size.ws_row = 24;
        termios mode{};
        cfmakeraw(&mode);  // no "\r" added before each "\n"
        m_pid = forkpty(&m_master, nullptr, &mode, &size);
        if (m_pid == 0) {
            if (chdir(settings.currentFolder.c_str()) != 0) _exit(126);
            for (const std::string& variable : settings.environmentExtra) {
                putenv(const_cast<char*>(variable.c_str()));
            }
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const std::string& argument : arguments)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        fcntl(m_master, F_SETFL, O_NONBLOCK);
    }
    ~TerminalRun() {
        if (m_pid > 0 && !m_ended) {
            kill(m_pid, SIGKILL);
            Wait();
        }
        if (m_master >= 0) close(m_master);
    }

    bool Started() const { return m_pid > 0; }
    void Resize(unsigned short columns) {
        winsize size{};
        size.ws_col = columns;
        size.ws_row = 24;
        ioctl(m_master, TIOCSWINSZ, &size);
    }
    void Signal(int signal) { kill(m_pid, signal); }

    // What the program has printed so far.
    const std::string& Output() {
        char buffer[4096];
        for (;;) {
            const ssize_t count = read(m_master, buffer, sizeof buffer);
            if (count <= 0) break;
            m_output.append(buffer, static_cast<std::size_t>(count));
        }
        return m_output;
    }

    // The exit code, or -1 when it did not end in time.
    int Wait() {
        int status = 0;
        const bool ended = WaitUntil(
            [&] {
                Output();
                return waitpid(m_pid, &status, WNOHANG) == m_pid;
            },
            60s);
        m_ended = ended;
        Output();
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    int m_master = -1;
    bool m_ended = false;
    std::string m_output;
};

// The lines drawn in place: what each "\r" starts, up to the next, unless a line ends in it.
std::vector<std::string> Redraws(const std::string& output) {
    std::vector<std::string> redraws;
    std::size_t at = output.find('\r');
    while (at != std::string::npos) {
        const std::size_t next = output.find('\r', at + 1);
        std::string piece = output.substr(at + 1, next == std::string::npos ? next : next - at - 1);
        if (piece.find('\n') == std::string::npos && next != std::string::npos) {
            redraws.push_back(piece);
        }
        at = next;
    }
    return redraws;
}

// Cells of a redraw: its characters (Cyrillic and Latin take one each), the erase to the line's
// end not counted.
int Cells(std::string piece) {
    const std::string erase = "\x1b[K";
    if (piece.size() >= erase.size() && piece.compare(piece.size() - 3, 3, erase) == 0)
        piece.resize(piece.size() - 3);
    return static_cast<int>(std::count_if(piece.begin(), piece.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    }));
}

TEST_F(CoderRun, TheStatusLineIsCutToTheTerminalsWidthAndFollowsAResize) {
    const std::string clip =
        Place(ClipKind::LongWebm, "a clip with a name longer than the terminal.webm");
    TerminalRun run(ConvertArguments({clip}, {}), Settings(), 40);
    ASSERT_TRUE(run.Started());

    ASSERT_TRUE(WaitUntil([&] { return Redraws(run.Output()).size() >= 3; }, 60s))
        << "no redraws: " << run.Output();
    const std::size_t beforeResize = Redraws(run.Output()).size();
    run.Resize(24);
    const bool followed = WaitUntil(
        [&] {
            const auto redraws = Redraws(run.Output());
            return std::any_of(redraws.begin() + beforeResize, redraws.end(),
                               [](const std::string& piece) { return Cells(piece) < 24; });
        },
        60s);
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(), 130);

    EXPECT_TRUE(followed) << "no redraw fits the narrowed terminal";
    const auto redraws = Redraws(run.Output());
    for (const std::string& piece : redraws) EXPECT_LT(Cells(piece), 40) << piece;
    // The name gives way, not the turning mark at the line's end.
    EXPECT_TRUE(std::any_of(redraws.begin(), redraws.end(), [](const std::string& piece) {
        return piece.find("…") != std::string::npos && piece.size() > 3 &&
               std::string("|/-\\%").find(piece[piece.size() - 4]) != std::string::npos;
    })) << run.Output();
    // Once done, the line is shown whole.
    EXPECT_NE(run.Output().find(
                  TerminalStatusLine("a clip with a name longer than the terminal.webm") + "\n"),
              std::string::npos)
        << run.Output();
}

// A file that is done keeps its line without the mark it last showed. A terminal that tells no
// width (0 columns) still shows the mark turning.
class TerminalWidths : public CoderRun, public testing::WithParamInterface<unsigned short> {};

TEST_P(TerminalWidths, AFileDoneOnTheTerminalShowsNoMark) {
    const std::string release = Work("release");
    // A coder standing in: the first file's conversion holds until the test releases it.
    const std::string coder = test::WriteScript(Work("coder"),
                                                "for last; do :; done\n"
                                                "last=${last#file:}\n"
                                                "if [ $# -eq 2 ]; then\n"
                                                "  echo '  Stream #0:0: Audio: pcm_s16le'; exit 0\n"
                                                "fi\n"
                                                "case \"$last\" in *-lmk-a.avi)\n"
                                                "  while [ ! -e '" +
                                                    release +
                                                    "' ]; do sleep 0.01; done;;\n"
                                                    "esac\n"
                                                    "echo converted > \"$last\"\n");
    test::WriteFile(Work("a.avi"), "a");
    test::WriteFile(Work("b.avi"), "b");
    // It looks for the release beside its input, where its sandbox would show it nothing.
    TerminalRun run({"--convert", "--coder", coder, Work("a.avi"), Work("b.avi")}, WithoutSandbox(),
                    GetParam());
    ASSERT_TRUE(run.Started());

    ASSERT_TRUE(WaitUntil([&] { return !Redraws(run.Output()).empty(); }, 60s))
        << "the mark never turned: " << run.Output();
    test::WriteFile(release, "");
    EXPECT_EQ(run.Wait(), 0) << run.Output();

    EXPECT_NE(run.Output().find(TerminalStatusLine("a.avi") + "\n"), std::string::npos)
        << run.Output();
    EXPECT_NE(run.Output().find(TerminalStatusLine("b.avi") + "\n"), std::string::npos)
        << run.Output();
}

INSTANTIATE_TEST_SUITE_P(CoderRun, TerminalWidths, testing::Values(80, 0),
                         [](const testing::TestParamInfo<unsigned short>& info) {
                             return info.param ? std::to_string(info.param) + "Columns"
                                               : std::string("NoWidthTold");
                         });

}  // namespace
}  // namespace lmk::integration
