#include "platform/window_raise.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QWidget>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/qt_environment.h"
#include "tests/support/x_server.h"

namespace {

struct FreeReply {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeReply>;

// Another client of the display: it owns the windows looked for and, where a case has a
// window manager, plays its part (the client list, and the requests sent to the root).
class OtherClient {
  public:
    explicit OtherClient(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    }
    ~OtherClient() { xcb_disconnect(c_); }
    OtherClient(const OtherClient&) = delete;
    OtherClient& operator=(const OtherClient&) = delete;

    bool ok() const { return xcb_connection_has_error(c_) == 0; }
    xcb_window_t root() const { return screen_->root; }

    xcb_atom_t atom(const char* name) {
        Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
            c_, xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
            nullptr));
        return r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    }
    xcb_window_t window(xcb_window_t parent, bool mapped) {
        const xcb_window_t w = xcb_generate_id(c_);
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, w, parent, 10, 10, 200, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, 0, nullptr);
        if (mapped) xcb_map_window(c_, w);
        return w;
    }
    void setProperty(xcb_window_t w, xcb_atom_t name, xcb_atom_t type, int format,
                     const void* data, std::size_t units) {
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, name, type,
                            static_cast<std::uint8_t>(format), static_cast<std::uint32_t>(units),
                            data);
    }
    void setText(xcb_window_t w, xcb_atom_t name, xcb_atom_t type, const std::string& text) {
        setProperty(w, name, type, 8, text.data(), text.size());
    }
    void redirectRoot(bool on) {
        const std::uint32_t mask =
            on ? XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY : 0;
        xcb_change_window_attributes(c_, root(), XCB_CW_EVENT_MASK, &mask);
        sync();
    }
    void destroy(xcb_window_t w) { xcb_destroy_window(c_, w); }
    void deleteProperty(xcb_window_t w, xcb_atom_t name) { xcb_delete_property(c_, w, name); }
    void sync() {
        Reply<xcb_get_input_focus_reply_t> r(
            xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    }

    bool viewable(xcb_window_t w) {
        Reply<xcb_get_window_attributes_reply_t> r(xcb_get_window_attributes_reply(
            c_, xcb_get_window_attributes(c_, w), nullptr));
        return r && r->map_state == XCB_MAP_STATE_VIEWABLE;
    }
    xcb_window_t focus() {
        Reply<xcb_get_input_focus_reply_t> r(
            xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
        return r ? r->focus : xcb_window_t{XCB_WINDOW_NONE};
    }
    // The window at the top of its siblings' stacking order.
    bool onTop(xcb_window_t w) {
        Reply<xcb_query_tree_reply_t> self(xcb_query_tree_reply(c_, xcb_query_tree(c_, w), nullptr));
        if (!self) return false;
        Reply<xcb_query_tree_reply_t> up(
            xcb_query_tree_reply(c_, xcb_query_tree(c_, self->parent), nullptr));
        const int n = up ? xcb_query_tree_children_length(up.get()) : 0;
        return n > 0 && xcb_query_tree_children(up.get())[n - 1] == w;
    }
    // The client messages that reached the root since the last call.
    std::vector<xcb_client_message_event_t> rootMessages() {
        sync();
        std::vector<xcb_client_message_event_t> out;
        while (xcb_generic_event_t* e = xcb_poll_for_event(c_)) {
            if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE)
                out.push_back(*reinterpret_cast<xcb_client_message_event_t*>(e));
            std::free(e);
        }
        return out;
    }

  private:
    xcb_connection_t* c_;
    xcb_screen_t* screen_ = nullptr;
};

class ScopedDisplay {
  public:
    explicit ScopedDisplay(const char* value) {
        if (const char* old = std::getenv("DISPLAY")) saved_ = old;
        had_ = std::getenv("DISPLAY") != nullptr;
        if (value)
            setenv("DISPLAY", value, 1);
        else
            unsetenv("DISPLAY");
    }
    ~ScopedDisplay() {
        if (had_)
            setenv("DISPLAY", saved_.c_str(), 1);
        else
            unsetenv("DISPLAY");
    }

  private:
    bool had_ = false;
    std::string saved_;
};

enum class Name { NetWmUtf8, WmNameUtf8, WmNameLatin1 };

TEST(WindowRaise, FindsAnotherProgramsWindowByItsExactTitleAndBringsItForward) {
    test_support::XServer x;
    if (x.display().empty()) GTEST_SKIP() << "Xvfb missing (Debian package xvfb)";
    OtherClient other(x.display());
    ASSERT_TRUE(other.ok());
    ScopedDisplay display(x.display().c_str());

    struct Case {
        const char* what;
        bool manager;   // a window manager keeps _NET_CLIENT_LIST
        bool framed;    // the titled window sits in a frame, marked with WM_STATE
        bool listed;    // with a manager: the titled window is in its client list
        bool mapped;
        Name kind;
        std::string windowTitle, wanted;
        bool found;
    };
    const std::string mueller = "Rufnummer M\xc3\xbcller";
    const Case cases[] = {
        {"no manager, UTF-8 name", false, false, false, true, Name::NetWmUtf8,
         "Telefonbuch \xe2\x80\x93 Suche", "Telefonbuch \xe2\x80\x93 Suche", true},
        {"no manager, old name in UTF-8", false, false, false, true, Name::WmNameUtf8,
         "LookupWindow", "LookupWindow", true},
        {"no manager, old name in Latin-1", false, false, false, true, Name::WmNameLatin1,
         "Rufnummer M\xfcller", mueller, true},
        {"no manager, not mapped yet", false, false, false, false, Name::NetWmUtf8,
         "LookupWindow", "LookupWindow", true},
        {"manager without a list: client in a frame", false, true, false, true, Name::NetWmUtf8,
         "LookupWindow", "LookupWindow", true},
        {"title longer than wanted", false, false, false, true, Name::NetWmUtf8,
         "LookupWindow 2", "LookupWindow", false},
        {"title shorter than wanted", false, false, false, true, Name::NetWmUtf8, "Lookup",
         "LookupWindow", false},
        {"letter case differs", false, false, false, true, Name::NetWmUtf8, "lookupwindow",
         "LookupWindow", false},
        {"manager lists it, in a frame", true, true, true, true, Name::NetWmUtf8,
         "LookupWindow", "LookupWindow", true},
        {"manager lists it, minimised", true, true, true, false, Name::WmNameLatin1,
         "Rufnummer M\xfcller", mueller, true},
        {"manager does not list it", true, false, false, true, Name::NetWmUtf8,
         "LookupWindow", "LookupWindow", false},
    };
    const xcb_atom_t netWmName = other.atom("_NET_WM_NAME");
    const xcb_atom_t utf8 = other.atom("UTF8_STRING");
    const xcb_atom_t wmState = other.atom("WM_STATE");
    const xcb_atom_t clientList = other.atom("_NET_CLIENT_LIST");
    const xcb_atom_t activeWindow = other.atom("_NET_ACTIVE_WINDOW");
    const xcb_atom_t netWmState = other.atom("_NET_WM_STATE");
    const xcb_atom_t maxVert = other.atom("_NET_WM_STATE_MAXIMIZED_VERT");
    const xcb_atom_t maxHorz = other.atom("_NET_WM_STATE_MAXIMIZED_HORZ");

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        other.redirectRoot(c.manager);
        const xcb_window_t frame = c.framed ? other.window(other.root(), true) : xcb_window_t{XCB_WINDOW_NONE};
        const xcb_window_t parent = c.framed ? frame : other.root();
        const xcb_window_t target = other.window(parent, c.mapped);
        // Something else covers it and has the focus.
        const xcb_window_t cover = other.window(parent, true);
        switch (c.kind) {
            case Name::NetWmUtf8: other.setText(target, netWmName, utf8, c.windowTitle); break;
            case Name::WmNameUtf8: other.setText(target, XCB_ATOM_WM_NAME, utf8, c.windowTitle); break;
            case Name::WmNameLatin1:
                other.setText(target, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, c.windowTitle);
                break;
        }
        if (c.framed) {
            const std::uint32_t state[2] = {c.mapped ? 1u : 3u, XCB_WINDOW_NONE};
            other.setProperty(target, wmState, wmState, 32, state, 2);
        }
        if (c.manager) {
            const std::vector<xcb_window_t> list =
                c.listed ? std::vector<xcb_window_t>{cover, target} : std::vector<xcb_window_t>{cover};
            other.setProperty(other.root(), clientList, XCB_ATOM_WINDOW, 32, list.data(), list.size());
        }
        other.sync();
        other.rootMessages();

        EXPECT_EQ(platform::raiseTopLevelWindow(c.wanted), c.found);

        const std::vector<xcb_client_message_event_t> sent = other.rootMessages();
        if (c.found && c.manager) {
            ASSERT_EQ(sent.size(), 2u);
            EXPECT_EQ(sent[0].type, netWmState);
            EXPECT_EQ(sent[0].window, target);
            EXPECT_EQ(sent[0].data.data32[0], 0u);  // remove
            EXPECT_EQ(sent[0].data.data32[1], maxVert);
            EXPECT_EQ(sent[0].data.data32[2], maxHorz);
            EXPECT_EQ(sent[1].type, activeWindow);
            EXPECT_EQ(sent[1].window, target);
            EXPECT_EQ(sent[1].data.data32[0], 2u);  // asked for by the user
        } else {
            EXPECT_TRUE(sent.empty());
        }
        if (c.found && !c.manager) {
            EXPECT_TRUE(other.viewable(target));
            EXPECT_TRUE(other.onTop(target));
            EXPECT_EQ(other.focus(), target);
        }
        if (!c.found) {
            EXPECT_EQ(other.viewable(target), c.mapped);
            EXPECT_TRUE(other.onTop(cover));
        }

        other.deleteProperty(other.root(), clientList);
        other.destroy(cover);
        other.destroy(target);
        if (frame != XCB_WINDOW_NONE) other.destroy(frame);
        other.redirectRoot(false);
    }
}

// Without an X display only this program's own windows can be found.
TEST(WindowRaise, WithoutADisplayOnlyOwnWindowsAreFound) {
    ScopedDisplay display(nullptr);
    QWidget own;
    own.setWindowTitle(QStringLiteral("Telefonbuch \u2013 Suche"));
    struct Case {
        const char* wanted;
        bool found;
    } const cases[] = {
        {"Telefonbuch \xe2\x80\x93 Suche", true},
        {"Telefonbuch", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wanted);
        own.hide();
        EXPECT_EQ(platform::raiseTopLevelWindow(c.wanted), c.found);
        EXPECT_EQ(own.isVisible(), c.found);
    }
}

}  // namespace
