// Asks a window to close as a window manager does when the player presses its close
// button: a WM_PROTOCOLS client message carrying WM_DELETE_WINDOW, which the program may
// answer as it likes (destroying the window is what xdotool's windowclose does instead).
//
// Usage: hm_wmclose <window id>, on the display DISPLAY names. Exit code 0 once sent.

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name);
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2)
        return 2;
    char* end = nullptr;
    const unsigned long window = std::strtoul(argv[1], &end, 0);
    if (end == argv[1] || *end != '\0')
        return 2;

    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return 1;
    }
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = xcb_window_t(window);
    event.type = atom(connection, "WM_PROTOCOLS");
    event.data.data32[0] = atom(connection, "WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    const xcb_void_cookie_t sent =
        xcb_send_event_checked(connection, 0, xcb_window_t(window), XCB_EVENT_MASK_NO_EVENT,
                               reinterpret_cast<const char*>(&event));
    const std::unique_ptr<xcb_generic_error_t, decltype(&std::free)> error(
        xcb_request_check(connection, sent), &std::free);
    xcb_disconnect(connection);
    return error || event.type == XCB_ATOM_NONE ? 1 : 0;
}
