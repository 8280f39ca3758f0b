// Stands in for a window manager's ears in the desktop tests. The tests' X server has no window
// manager, so the requests that programs send one go unanswered; this records them. Writes one
// line per event into the file named on its command line:
//   "ready"                    once it listens
//   "<window> add <state>"     a request to add a state to a window (_NET_WM_STATE), such as
//                              _NET_WM_STATE_DEMANDS_ATTENTION; "remove" and "toggle" likewise
//   "<window> destroyed"       a top-level window is gone
// Window numbers are decimal, as xdotool prints them. Runs until it is ended.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <xcb/xcb.h>

namespace {

xcb_atom_t InternAtom(xcb_connection_t* connection, const std::string& name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.c_str());
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

std::string AtomName(xcb_connection_t* connection, xcb_atom_t atom) {
    if (atom == XCB_ATOM_NONE) return "none";
    std::unique_ptr<xcb_get_atom_name_reply_t, decltype(&std::free)> reply(
        xcb_get_atom_name_reply(connection, xcb_get_atom_name(connection, atom), nullptr),
        &std::free);
    if (!reply) return "unknown";
    return std::string(xcb_get_atom_name_name(reply.get()),
                       xcb_get_atom_name_name_length(reply.get()));
}

const char* ActionName(uint32_t action) {
    switch (action) {
        case 0:
            return "remove";
        case 1:
            return "add";
        default:
            return "toggle";
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: attention_watch FILE\n");
        return 64;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    if (!out) return 1;
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) return 1;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_atom_t wmState = InternAtom(connection, "_NET_WM_STATE");

    // Such requests go to the root window for those who listen to its structure.
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_void_cookie_t selected =
        xcb_change_window_attributes_checked(connection, screen->root, XCB_CW_EVENT_MASK, &mask);
    if (xcb_generic_error_t* error = xcb_request_check(connection, selected)) {
        std::free(error);
        return 1;
    }
    std::fprintf(out, "ready\n");
    std::fflush(out);

    while (xcb_generic_event_t* event = xcb_wait_for_event(connection)) {
        const uint8_t kind = event->response_type & 0x7f;
        if (kind == XCB_CLIENT_MESSAGE) {
            const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
            if (message->type == wmState && message->format == 32) {
                const uint32_t* data = message->data.data32;
                for (const uint32_t state : {data[1], data[2]}) {
                    if (state == XCB_ATOM_NONE) continue;
                    std::fprintf(out, "%u %s %s\n", message->window, ActionName(data[0]),
                                 AtomName(connection, state).c_str());
                }
            }
        } else if (kind == XCB_DESTROY_NOTIFY) {
            const auto* destroyed = reinterpret_cast<xcb_destroy_notify_event_t*>(event);
            if (destroyed->event == screen->root) {
                std::fprintf(out, "%u destroyed\n", destroyed->window);
            }
        }
        std::fflush(out);
        std::free(event);
    }
    std::fclose(out);
    xcb_disconnect(connection);
    return 0;
}
