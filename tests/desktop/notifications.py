"""A desktop's notification service, with the StatusNotifierWatcher that makes Qt use it, on the
session bus of a private systemd user manager, for notification.sh.

Owns org.kde.StatusNotifierWatcher (a host registered: Qt's tray then is a StatusNotifierItem, whose
messages go to the notification service) and org.freedesktop.Notifications, writes READY_FILE, and
appends each notification to LOG_FILE as one line, summary TAB body. Runs until SIGTERM.

usage: /usr/bin/python3 notifications.py BUS_ADDRESS READY_FILE LOG_FILE
"""
import signal
import sys

from gi.repository import Gio, GLib

WATCHER = """<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
</interface></node>"""
NOTIFICATIONS = """<node><interface name="org.freedesktop.Notifications">
  <method name="Notify">
    <arg name="app_name" type="s" direction="in"/><arg name="replaces_id" type="u" direction="in"/>
    <arg name="app_icon" type="s" direction="in"/><arg name="summary" type="s" direction="in"/>
    <arg name="body" type="s" direction="in"/><arg name="actions" type="as" direction="in"/>
    <arg name="hints" type="a{sv}" direction="in"/><arg name="expire_timeout" type="i" direction="in"/>
    <arg name="id" type="u" direction="out"/>
  </method>
  <method name="CloseNotification"><arg name="id" type="u" direction="in"/></method>
  <method name="GetCapabilities"><arg name="capabilities" type="as" direction="out"/></method>
  <method name="GetServerInformation">
    <arg name="name" type="s" direction="out"/><arg name="vendor" type="s" direction="out"/>
    <arg name="version" type="s" direction="out"/><arg name="spec_version" type="s" direction="out"/>
  </method>
  <signal name="NotificationClosed"><arg name="id" type="u"/><arg name="reason" type="u"/></signal>
  <signal name="ActionInvoked"><arg name="id" type="u"/><arg name="action_key" type="s"/></signal>
</interface></node>"""

address, ready_file, log_file = sys.argv[1:4]
bus = Gio.DBusConnection.new_for_address_sync(
    address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
items, sent = [], [0]


def on_watcher_call(_c, sender, _path, _iface, method, parameters, invocation):
    if method == "RegisterStatusNotifierItem":
        service = parameters.unpack()[0]
        items.append(sender if service.startswith("/") else service)
    invocation.return_value(None)


def on_watcher_get(_c, _s, _p, _i, name):
    return {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
            "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
            "ProtocolVersion": GLib.Variant("i", 0)}[name]


def on_notifications_call(_c, _sender, _path, _iface, method, parameters, invocation):
    if method == "Notify":
        _app, _replaces, _icon, summary, body, _actions, _hints, _timeout = parameters.unpack()
        with open(log_file, "a", encoding="utf-8") as log:
            log.write(f"{summary}\t{body}\n")
        sent[0] += 1
        invocation.return_value(GLib.Variant("(u)", (sent[0],)))
    elif method == "GetCapabilities":
        invocation.return_value(GLib.Variant("(as)", (["body"],)))
    elif method == "GetServerInformation":
        invocation.return_value(GLib.Variant("(ssss)", ("quern-test", "Quern Zova tests", "1", "1.2")))
    else:
        invocation.return_value(None)


def own(name):
    reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                          GLib.Variant("(su)", (name, 4)), None, Gio.DBusCallFlags.NONE, 10000, None)
    if reply.unpack()[0] != 1:
        sys.exit(f"notifications: could not own {name}")


bus.register_object("/StatusNotifierWatcher", Gio.DBusNodeInfo.new_for_xml(WATCHER).interfaces[0],
                    on_watcher_call, on_watcher_get, None)
bus.register_object("/org/freedesktop/Notifications", Gio.DBusNodeInfo.new_for_xml(NOTIFICATIONS).interfaces[0],
                    on_notifications_call, None, None)
own("org.freedesktop.Notifications")
own("org.kde.StatusNotifierWatcher")
with open(ready_file, "w", encoding="utf-8") as ready:
    ready.write("ready\n")
loop = GLib.MainLoop()
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
loop.run()
