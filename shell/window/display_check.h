#pragma once

#include <string>
#include <vector>

namespace lmk {

// Why the window could not be shown with Qt's `arguments` (the program's name first) and this
// environment, or empty when it can: Qt ends the program with SIGABRT when no platform it tries
// opens, so the X server or Wayland compositor it would use is tried first. Platforms with no
// display to reach (offscreen, vnc...) are taken as usable.
std::string DisplayProblem(const std::vector<std::string>& arguments);

}  // namespace lmk
