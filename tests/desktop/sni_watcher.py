"""A StatusNotifierWatcher on the session bus of a private systemd user manager, for silent_bus.sh.

Owns org.kde.StatusNotifierWatcher and writes READY_FILE. Once the client registers its item, reads
its menu over com.canonical.dbusmenu (the seven entries, and the shortcuts a host may offer), follows the state line until it reads
设备在线, and checks that no bus connection was opened meanwhile: the refreshes ask systemd on the
connection the client already holds. Then, if asked, clicks one entry. Exits 0 when all holds, 1
with the reason otherwise.

usage: /usr/bin/python3 sni_watcher.py BUS_ADDRESS READY_FILE DEADLINE_SECONDS [ENTRY_TO_CLICK]
"""
import sys

from gi.repository import Gio, GLib

INTERFACE = """<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
</interface></node>"""
EXPECTED = ["separator", "显示 Quern Zova", "立即重连", "打开控制台", "separator", "退出客户端"]
SHORTCUTS = {"立即重连": [["Control", "R"]], "退出客户端": [["Control", "Q"]]}

address, ready_file, deadline = sys.argv[1], sys.argv[2], int(sys.argv[3])
to_click = sys.argv[4] if len(sys.argv) > 4 else None
bus = Gio.DBusConnection.new_for_address_sync(
    address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
loop = GLib.MainLoop()
items, ids, connections, result = [], [], [0, None], []  # connections: since start, at registration


def finish(message, ok=False):
    result.append((ok, message))
    loop.quit()


def on_name_owner_changed(_c, _s, _p, _i, _signal, parameters):
    name, old, new = parameters.unpack()
    connections[0] += name.startswith(":") and not old and bool(new)


def on_call(_c, sender, _path, _iface, method, parameters, invocation):
    if method == "RegisterStatusNotifierItem":
        service = parameters.unpack()[0]
        items.append(sender if service.startswith("/") else service)
        connections[1] = connections[0]
        read_menu(check_entries)
    invocation.return_value(None)


def on_get(_c, _s, _p, _i, name):
    return {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
            "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
            "ProtocolVersion": GLib.Variant("i", 0)}[name]


def read_menu(then):
    # Asynchronous: the client may be waiting on this watcher meanwhile.
    def done(connection, reply):
        try:
            _revision, (_id, _props, children) = connection.call_finish(reply).unpack()
        except GLib.Error as error:
            finish(f"GetLayout on {items[0]} failed: {error.message}")
            return
        ids[:] = [child for child, _props, _grandchildren in children]
        then([props for _child, props, _grandchildren in children])
    bus.call(items[0], "/MenuBar", "com.canonical.dbusmenu", "GetLayout", GLib.Variant("(iias)", (0, -1, [])),
             None, Gio.DBusCallFlags.NONE, 10000, None, done)


def check_entries(entry_properties):
    entries = [props.get("type") if props.get("type") == "separator" else props.get("label")
               for props in entry_properties]
    shortcuts = {props.get("label"): props["shortcut"] for props in entry_properties if "shortcut" in props}
    if len(entries) != 7 or entries[1:] != EXPECTED:
        finish(f"the menu over D-Bus is {entries}, not the seven entries")
    elif shortcuts != SHORTCUTS:
        finish(f"the menu's shortcuts over D-Bus are {shortcuts}, not {SHORTCUTS}")
    elif entries[0] != "设备在线":
        GLib.timeout_add(100, lambda: read_menu(check_entries))
    elif connections[0] != connections[1]:
        finish(f"the client opened {connections[0] - connections[1]} bus connection(s) while it refreshed")
    elif to_click:
        click(ids[entries.index(to_click)])
    else:
        finish(f"item {items[0]}: seven entries, Ctrl+R and Ctrl+Q; online with no new connection", ok=True)


def click(entry):
    def done(connection, reply):
        try:
            connection.call_finish(reply)
            finish(f"item {items[0]}: online; clicked {to_click}", ok=True)
        except GLib.Error as error:
            finish(f"Event on {to_click} failed: {error.message}")
    bus.call(items[0], "/MenuBar", "com.canonical.dbusmenu", "Event",
             GLib.Variant("(isvu)", (entry, "clicked", GLib.Variant("i", 0), 0)), None, Gio.DBusCallFlags.NONE,
             10000, None, done)


bus.signal_subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
                     None, Gio.DBusSignalFlags.NONE, on_name_owner_changed)
bus.register_object("/StatusNotifierWatcher", Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0],
                    on_call, on_get, None)
owned = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                      GLib.Variant("(su)", ("org.kde.StatusNotifierWatcher", 4)), None, Gio.DBusCallFlags.NONE,
                      10000, None).unpack()[0]
if owned != 1:
    sys.exit("sni_watcher: could not own org.kde.StatusNotifierWatcher")
with open(ready_file, "w", encoding="utf-8") as ready:
    ready.write("ready\n")
GLib.timeout_add_seconds(deadline, lambda: finish(
    f"hung: after {deadline} s " + ("the state line never read 设备在线" if items else "no item registered")))
loop.run()
ok, message = result[0]
print(f"sni_watcher: {'' if ok else 'FAIL: '}{message}")
sys.exit(0 if ok else 1)
