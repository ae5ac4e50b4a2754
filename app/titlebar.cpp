#include "titlebar.h"

#include <QGuiApplication>
#include <QWidget>

#if defined(LORVANE_HAVE_XCB) && defined(QT_FEATURE_xcb) && QT_FEATURE_xcb == 1
#define LORVANE_X11 1
#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#endif

namespace lorvane {

#if defined(LORVANE_X11)
namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

xcb_atom_t Atom(xcb_connection_t* connection, const char* name)
{
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, std::uint16_t(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

xcb_window_t WindowProperty(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property)
{
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, property, XCB_ATOM_WINDOW, 0, 1), nullptr));
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4)
        return XCB_WINDOW_NONE;
    return *static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
}

// The running window manager names itself on its check window (EWMH).
bool UnderOpenbox(xcb_connection_t* connection, xcb_window_t root)
{
    const xcb_atom_t check = Atom(connection, "_NET_SUPPORTING_WM_CHECK");
    const xcb_window_t wm = WindowProperty(connection, root, check);
    if (wm == XCB_WINDOW_NONE || WindowProperty(connection, wm, check) != wm)
        return false;  // left behind by a window manager that has gone
    const xcb_atom_t name = Atom(connection, "_NET_WM_NAME");
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, wm, name, XCB_GET_PROPERTY_TYPE_ANY, 0, 16), nullptr));
    if (!reply)
        return false;
    const char* value = static_cast<const char*>(xcb_get_property_value(reply.get()));
    const int length = xcb_get_property_value_length(reply.get());
    return length == 7 && std::memcmp(value, "Openbox", 7) == 0;
}

}  // namespace
#endif

void CloseButtonOnly([[maybe_unused]] QWidget& window)
{
#if defined(LORVANE_X11)
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return;
    xcb_connection_t* connection = x11->connection();
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (!screen || !UnderOpenbox(connection, screen->root))
        return;
    // Qt writes the window type when it creates the native window, not when
    // it maps it, so this one stays.
    const auto id = xcb_window_t(window.winId());
    const xcb_atom_t type = Atom(connection, "_NET_WM_WINDOW_TYPE_TOOLBAR");
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, Atom(connection, "_NET_WM_WINDOW_TYPE"),
                        XCB_ATOM_ATOM, 32, 1, &type);
    xcb_flush(connection);
#endif
}

}  // namespace lorvane
