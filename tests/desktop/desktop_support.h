#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

// Helpers for the tests that drive the real program in an X server: windows found and handled
// with xdotool, a person's drag imitated with real pointer events, processes watched in /proc.
namespace lmk::desktop {

std::string DragSourcePath();
std::string AttentionWatchPath();
std::string AccessibleTreePath();
std::string ClipboardSourcePath();

struct Geometry {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The top-level window of process `pid` whose title is exactly `title`, once it is shown; empty
// when none appears within `limit`.
std::optional<std::string> FindWindow(pid_t pid, const std::string& title,
                                      std::chrono::milliseconds limit);
bool WindowExists(const std::string& window);
std::optional<Geometry> GeometryOf(const std::string& window);
// The window's outer frame: its geometry grown by the frame a window manager put round it
// (_NET_FRAME_EXTENTS); the window itself when none did.
std::optional<Geometry> FrameOf(const std::string& window);
// The size of the X server's screen.
std::optional<Geometry> DisplayGeometry();

// The window manager the placement tests start (openbox), or empty when it is not installed.
std::string WindowManagerPath();
// True once a window manager has announced itself on the root window.
bool WindowManagerRunning();

// Gives the window the keyboard focus, which makes it the active one; false when it did not
// take it within `limit`.
bool FocusWindow(const std::string& window, std::chrono::milliseconds limit);
bool HasFocus(const std::string& window);

// A press on `from`, the pointer moved in small steps to `to`, and a release there.
void DragWithPointer(int fromX, int fromY, int toX, int toY);
void ClickAt(int x, int y);
// Moves the window's top left corner to `x`, `y`; false when it did not get there in `limit`.
bool MoveWindow(const std::string& window, int x, int y, std::chrono::milliseconds limit);
// Destroys the X window from outside, as another client may (xdotool windowclose).
void DestroyWindow(const std::string& window);
void PressKeys(const std::string& keys);
// Types the text key by key into the window with the keyboard focus.
void TypeText(const std::string& text);

// The lines of a text file as they stand; none when it cannot be read.
std::vector<std::string> LinesOf(const std::string& path);

// When LMK_SCREENSHOT_DIR is set, saves a picture of the window there as `name`.png. For the
// documentation only: whatever happens here, the test goes on as if nothing had been done.
void SaveScreenshot(const std::string& window, const std::string& name);

}  // namespace lmk::desktop
