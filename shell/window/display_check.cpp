#include "display_check.h"

#include <cstdlib>
#include <string_view>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <xcb/xcb.h>

#include "file_descriptor.h"

namespace lmk {
namespace {

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The value after `option` among Qt's arguments, or empty.
std::string OptionValue(const std::vector<std::string>& arguments, std::string_view option) {
    for (std::size_t i = 1; i + 1 < arguments.size(); ++i)
        if (arguments[i] == option) return arguments[i + 1];
    return {};
}

// The platforms Qt tries, in order, as it chooses them: "-platform", QT_QPA_PLATFORM, the
// session's kind, X11.
std::vector<std::string> Platforms(const std::vector<std::string>& arguments) {
    std::string names = OptionValue(arguments, "-platform");
    if (names.empty()) names = Variable("QT_QPA_PLATFORM");
    if (names.empty()) names = Variable("XDG_SESSION_TYPE") == "wayland" ? "wayland;xcb" : "xcb";
    std::vector<std::string> platforms;
    std::size_t start = 0;
    for (;;) {
        const auto semicolon = names.find(';', start);
        // A platform's own options follow a colon: "xcb:nograb".
        const std::string entry = names.substr(start, semicolon - start);
        platforms.push_back(entry.substr(0, entry.find(':')));
        if (semicolon == std::string::npos) return platforms;
        start = semicolon + 1;
    }
}

bool XServerAnswers(const std::string& display) {
    xcb_connection_t* connection =
        xcb_connect(display.empty() ? nullptr : display.c_str(), nullptr);
    const bool answered = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return answered;
}

bool CompositorAnswers() {
    std::string socketPath = Variable("WAYLAND_DISPLAY");
    if (socketPath.empty()) socketPath = "wayland-0";
    if (socketPath.front() != '/') {
        const std::string runtime = Variable("XDG_RUNTIME_DIR");
        if (runtime.empty()) return false;
        socketPath = runtime + "/" + socketPath;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return false;
    socketPath.copy(address.sun_path, socketPath.size());
    const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return socket.Valid() && ::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address),
                                       sizeof address) == 0;
}

}  // namespace

std::string DisplayProblem(const std::vector<std::string>& arguments) {
    std::string tried;
    for (const std::string& platform : Platforms(arguments)) {
        if (platform == "xcb") {
            std::string display = OptionValue(arguments, "-display");
            if (display.empty()) display = Variable("DISPLAY");
            if (XServerAnswers(display)) return {};
            tried += display.empty() ? "DISPLAY is not set" : "no X display at \"" + display + "\"";
        } else if (platform.rfind("wayland", 0) == 0) {
            if (CompositorAnswers()) return {};
            tried += "no Wayland compositor answers";
        } else {
            return {};
        }
        tried += "; ";
    }
    if (tried.size() >= 2) tried.resize(tried.size() - 2);
    return tried;
}

}  // namespace lmk
