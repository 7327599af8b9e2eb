#include "platform/window_raise.h"

#include <xcb/xcb.h>

#include <QApplication>
#include <QWidget>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace platform {
namespace {

struct FreeReply {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeReply>;

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

struct Atoms {
    xcb_atom_t clientList, activeWindow, wmState, netWmName, utf8, netWmState, maxVert, maxHorz;
};

Atoms internAtoms(xcb_connection_t* c) {
    static constexpr const char* kNames[] = {
        "_NET_CLIENT_LIST", "_NET_ACTIVE_WINDOW", "WM_STATE",
        "_NET_WM_NAME",     "UTF8_STRING",        "_NET_WM_STATE",
        "_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_MAXIMIZED_HORZ"};
    xcb_intern_atom_cookie_t cookies[std::size(kNames)];
    for (std::size_t i = 0; i < std::size(kNames); ++i)
        cookies[i] = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(kNames[i])),
                                     kNames[i]);
    xcb_atom_t atoms[std::size(kNames)];
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(c, cookies[i], nullptr));
        atoms[i] = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    }
    return {atoms[0], atoms[1], atoms[2], atoms[3], atoms[4], atoms[5], atoms[6], atoms[7]};
}

std::vector<xcb_window_t> windowList(const xcb_get_property_reply_t* r) {
    if (!r || r->type != XCB_ATOM_WINDOW || r->format != 32) return {};
    const auto* w = static_cast<const xcb_window_t*>(xcb_get_property_value(r));
    const int n = xcb_get_property_value_length(r) / 4;
    return {w, w + n};
}

// The window manager's list of the windows it manages; false when no manager keeps one.
bool clientList(xcb_connection_t* c, xcb_window_t root, const Atoms& a,
                std::vector<xcb_window_t>& out) {
    if (a.clientList == XCB_ATOM_NONE) return false;
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c, xcb_get_property(c, 0, root, a.clientList, XCB_ATOM_WINDOW, 0, 1u << 16), nullptr));
    if (!r || r->type == XCB_ATOM_NONE) return false;
    out = windowList(r.get());
    return true;
}

std::vector<xcb_window_t> children(xcb_connection_t* c, xcb_window_t w) {
    Reply<xcb_query_tree_reply_t> r(xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr));
    if (!r) return {};
    const xcb_window_t* k = xcb_query_tree_children(r.get());
    return {k, k + xcb_query_tree_children_length(r.get())};
}

bool hasProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t atom) {
    if (atom == XCB_ATOM_NONE) return false;
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 0), nullptr));
    return r && r->type != XCB_ATOM_NONE;
}

// Without a window manager's list: the root's children are the top-level windows; below
// them, windows marked as clients (WM_STATE) are a manager's that keeps no list.
std::vector<xcb_window_t> treeCandidates(xcb_connection_t* c, xcb_window_t root, const Atoms& a) {
    std::vector<xcb_window_t> out;
    for (const xcb_window_t top : children(c, root)) {
        out.push_back(top);
        std::vector<xcb_window_t> level = children(c, top);
        for (int depth = 0; depth < 2 && !level.empty(); ++depth) {
            std::vector<xcb_window_t> next;
            for (const xcb_window_t w : level) {
                if (hasProperty(c, w, a.wmState))
                    out.push_back(w);
                else if (depth == 0)
                    for (const xcb_window_t k : children(c, w)) next.push_back(k);
            }
            level = std::move(next);
        }
    }
    return out;
}

std::string latin1ToUtf8(std::string_view s) {
    std::string out;
    for (const unsigned char ch : s) {
        if (ch < 0x80) {
            out += static_cast<char>(ch);
        } else {
            out += static_cast<char>(0xC0 | (ch >> 6));
            out += static_cast<char>(0x80 | (ch & 0x3F));
        }
    }
    return out;
}

// The first of `windows` whose title is exactly `title`. Both names are asked for every
// window before any answer is read, and no more of a name is read than could match.
xcb_window_t findTitled(xcb_connection_t* c, const std::vector<xcb_window_t>& windows,
                        const Atoms& a, const std::string& title) {
    const std::uint32_t longs = static_cast<std::uint32_t>(title.size() / 4 + 2);
    std::vector<std::pair<xcb_get_property_cookie_t, xcb_get_property_cookie_t>> cookies;
    cookies.reserve(windows.size());
    for (const xcb_window_t w : windows)
        cookies.emplace_back(
            xcb_get_property(c, 0, w, a.netWmName, XCB_GET_PROPERTY_TYPE_ANY, 0, longs),
            xcb_get_property(c, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, longs));
    xcb_window_t found = XCB_WINDOW_NONE;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        Reply<xcb_get_property_reply_t> utf(xcb_get_property_reply(c, cookies[i].first, nullptr));
        Reply<xcb_get_property_reply_t> old(xcb_get_property_reply(c, cookies[i].second, nullptr));
        if (found != XCB_WINDOW_NONE) continue;  // the answers are still read to free them
        const bool hasUtf = a.netWmName != XCB_ATOM_NONE && utf && utf->type != XCB_ATOM_NONE &&
                            utf->format == 8;
        const xcb_get_property_reply_t* r = hasUtf ? utf.get() : old.get();
        if (!r || r->type == XCB_ATOM_NONE || r->format != 8 || r->bytes_after != 0) continue;
        std::string_view name(static_cast<const char*>(xcb_get_property_value(r)),
                              static_cast<std::size_t>(xcb_get_property_value_length(r)));
        const bool latin1 = !hasUtf && r->type == XCB_ATOM_STRING;
        if ((latin1 ? latin1ToUtf8(name) : std::string(name)) == title) found = windows[i];
    }
    return found;
}

void sendToRoot(xcb_connection_t* c, xcb_window_t root, xcb_window_t w, xcb_atom_t type,
                std::uint32_t d0, std::uint32_t d1, std::uint32_t d2) {
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = w;
    ev.type = type;
    ev.data.data32[0] = d0;
    ev.data.data32[1] = d1;
    ev.data.data32[2] = d2;
    ev.data.data32[3] = 2;  // the request comes from a pager-like tool: the user asked for it
    xcb_send_event(c, 0, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&ev));
}

bool raiseOnX(const std::string& title) {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return false;
    std::unique_ptr<xcb_connection_t, Disconnect> conn(xcb_connect(display, nullptr));
    xcb_connection_t* c = conn.get();
    if (xcb_connection_has_error(c)) return false;
    const Atoms a = internAtoms(c);
    for (xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem;
         xcb_screen_next(&it)) {
        const xcb_window_t root = it.data->root;
        std::vector<xcb_window_t> managed;
        const bool manager = clientList(c, root, a, managed);
        const xcb_window_t w =
            findTitled(c, manager ? managed : treeCandidates(c, root, a), a, title);
        if (w == XCB_WINDOW_NONE) continue;
        // Mapping asks a manager to restore a minimised window and shows a hidden one
        // where there is none.
        xcb_map_window(c, w);
        if (manager) {
            sendToRoot(c, root, w, a.netWmState, 0 /* remove */, a.maxVert, a.maxHorz);
            sendToRoot(c, root, w, a.activeWindow, 2, XCB_CURRENT_TIME, XCB_WINDOW_NONE);
        } else {
            const std::uint32_t above = XCB_STACK_MODE_ABOVE;
            xcb_configure_window(c, w, XCB_CONFIG_WINDOW_STACK_MODE, &above);
            xcb_set_input_focus(c, XCB_INPUT_FOCUS_PARENT, w, XCB_CURRENT_TIME);
        }
        // One round trip, so every request has been carried out before the connection ends.
        Reply<xcb_get_input_focus_reply_t> sync(
            xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        return true;
    }
    return false;
}

bool raiseOwnWidget(const std::string& title) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return false;
    const QString wanted = QString::fromStdString(title);
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->windowTitle() != wanted) continue;
        w->showNormal();
        w->raise();
        w->activateWindow();
        return true;
    }
    return false;
}

}  // namespace

bool raiseTopLevelWindow(const std::string& title) {
    if (title.empty()) return false;
    // Else this program's own windows, for a display that is not X.
    return raiseOnX(title) || raiseOwnWidget(title);
}

}  // namespace platform
