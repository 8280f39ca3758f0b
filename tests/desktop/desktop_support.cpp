#include "desktop_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "test_child.h"

namespace lmk::desktop {
namespace {

using namespace std::chrono_literals;
using test::RunProgram;
using test::RunResult;
using test::WaitUntil;

// Between pointer events, so that each XDND message is answered before the next.
constexpr auto kPointerStep = 60ms;
constexpr int kDragSteps = 12;

RunResult Xdotool(const std::vector<std::string>& arguments) {
    return RunProgram(LMK_XDOTOOL_PATH, arguments);
}

void Xdo(const std::vector<std::string>& arguments) {
    Xdotool(arguments);
    std::this_thread::sleep_for(kPointerStep);
}

}  // namespace

std::string DragSourcePath() {
    const char* value = std::getenv("LMK_DRAG_SOURCE");
    return value && *value ? value : LMK_DRAG_SOURCE_PATH;
}

std::string AccessibleTreePath() {
    return LMK_ACCESSIBLE_TREE_PATH;
}

std::string AttentionWatchPath() {
    const char* value = std::getenv("LMK_ATTENTION_WATCH");
    return value && *value ? value : LMK_ATTENTION_WATCH_PATH;
}

std::string ClipboardSourcePath() {
    const char* value = std::getenv("LMK_CLIPBOARD_SOURCE");
    return value && *value ? value : LMK_CLIPBOARD_SOURCE_PATH;
}

std::optional<std::string> FindWindow(pid_t pid, const std::string& title,
                                      std::chrono::milliseconds limit) {
    std::optional<std::string> found;
    WaitUntil(
        [&] {
            // --all: by default a window that meets any one condition is listed.
            const RunResult result = Xdotool({"search", "--all", "--onlyvisible", "--pid",
                                              std::to_string(pid), "--name", "^" + title + "$"});
            std::istringstream lines(result.out);
            std::string window;
            if (result.exitCode == 0 && std::getline(lines, window) && !window.empty()) {
                found = window;
            }
            return found.has_value();
        },
        limit);
    return found;
}

bool WindowExists(const std::string& window) {
    return Xdotool({"getwindowname", window}).exitCode == 0;
}

// By xwininfo: xdotool counts a window manager's frame offset twice in the position.
std::optional<Geometry> GeometryOf(const std::string& window) {
    const RunResult result = RunProgram(LMK_XWININFO_PATH, {"-id", window});
    if (result.exitCode != 0) return std::nullopt;
    Geometry geometry;
    int seen = 0;
    std::istringstream lines(result.out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = line.substr(line.find_first_not_of(' '), colon);
        const int value = std::atoi(line.c_str() + colon + 1);
        int* into = name.find("Absolute upper-left X") == 0   ? &geometry.x
                    : name.find("Absolute upper-left Y") == 0 ? &geometry.y
                    : name.find("Width") == 0                 ? &geometry.width
                    : name.find("Height") == 0                ? &geometry.height
                                                              : nullptr;
        if (into) {
            *into = value;
            ++seen;
        }
    }
    if (seen != 4) return std::nullopt;
    return geometry;
}

std::optional<Geometry> FrameOf(const std::string& window) {
    auto frame = GeometryOf(window);
    if (!frame) return frame;
    const RunResult extents = RunProgram(LMK_XPROP_PATH, {"-id", window, "_NET_FRAME_EXTENTS"});
    int left = 0, right = 0, top = 0, bottom = 0;
    const auto equals = extents.out.find('=');
    if (extents.exitCode == 0 && equals != std::string::npos &&
        std::sscanf(extents.out.c_str() + equals + 1, " %d, %d, %d, %d", &left, &right, &top,
                    &bottom) == 4) {
        frame->x -= left;
        frame->y -= top;
        frame->width += left + right;
        frame->height += top + bottom;
    }
    return frame;
}

std::optional<Geometry> DisplayGeometry() {
    const RunResult result = Xdotool({"getdisplaygeometry"});
    Geometry geometry;
    if (result.exitCode != 0 ||
        std::sscanf(result.out.c_str(), "%d %d", &geometry.width, &geometry.height) != 2)
        return std::nullopt;
    return geometry;
}

std::string WindowManagerPath() {
    return LMK_WINDOW_MANAGER_PATH;
}

bool WindowManagerRunning() {
    const RunResult result = RunProgram(LMK_XPROP_PATH, {"-root", "_NET_SUPPORTING_WM_CHECK"});
    return result.exitCode == 0 && result.out.find("window id") != std::string::npos;
}

bool FocusWindow(const std::string& window, std::chrono::milliseconds limit) {
    Xdotool({"windowfocus", window});
    return WaitUntil([&] { return HasFocus(window); }, limit);
}

bool HasFocus(const std::string& window) {
    const RunResult focus = Xdotool({"getwindowfocus"});
    return focus.exitCode == 0 && focus.out == window + "\n";
}

void DragWithPointer(int fromX, int fromY, int toX, int toY) {
    Xdo({"mousemove", std::to_string(fromX), std::to_string(fromY)});
    Xdo({"mousedown", "1"});
    for (int step = 1; step <= kDragSteps; ++step) {
        Xdo({"mousemove", std::to_string(fromX + (toX - fromX) * step / kDragSteps),
             std::to_string(fromY + (toY - fromY) * step / kDragSteps)});
    }
    // A last small move over the target, as a hand never stops dead.
    Xdo({"mousemove", std::to_string(toX + 2), std::to_string(toY + 1)});
    Xdo({"mousemove", std::to_string(toX), std::to_string(toY)});
    Xdo({"mouseup", "1"});
}

void ClickAt(int x, int y) {
    Xdo({"mousemove", std::to_string(x), std::to_string(y)});
    Xdo({"click", "1"});
}

bool MoveWindow(const std::string& window, int x, int y, std::chrono::milliseconds limit) {
    Xdotool({"windowmove", window, std::to_string(x), std::to_string(y)});
    return WaitUntil(
        [&] {
            const auto geometry = GeometryOf(window);
            return geometry && geometry->x == x && geometry->y == y;
        },
        limit);
}

void DestroyWindow(const std::string& window) {
    Xdotool({"windowclose", window});
}

void PressKeys(const std::string& keys) {
    Xdo({"key", keys});
}

void TypeText(const std::string& text) {
    Xdo({"type", "--", text});
}

std::vector<std::string> LinesOf(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) lines.push_back(line);
    return lines;
}

void SaveScreenshot(const std::string& window, const std::string& name) {
    const char* folder = std::getenv("LMK_SCREENSHOT_DIR");
    if (!folder || !*folder || !*LMK_IMPORT_PATH) return;
    try {
        // With the window manager's frame, its title and icon, as a user sees the window; in
        // full colour, which ImageMagick would otherwise drop for a grey window.
        RunProgram(LMK_IMPORT_PATH, {"-frame", "-window", window,
                                     "PNG24:" + std::string(folder) + "/" + name + ".png"});
    } catch (...) {
    }
}

}  // namespace lmk::desktop
