#!/usr/bin/env python3
"""Test ScreenCast portal backend for the private Wayland desktop.

Stands where a desktop's picker dialog would behind the real xdg-desktop-portal
frontend: on Start it "picks" headless mutter's first monitor, asks mutter's
own screen-cast API for it and hands the PipeWire node back. Restore data it
gave out earlier is honoured without picking. KESTRANO_PORTAL_MODE=refuse makes
the "user" cancel the picker instead; =hold leaves the picker open, the user
never answering; =slow picks only after SLOW_ANSWER_S, longer than any of the
recorder's own deadlines. Every pick, restore, refusal and held picker is one line on
stdout, so tests can tell whether the user would have been asked.
Started by scripts/wayland-desktop.sh --portal.
"""
import os

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.impl.portal.desktop.kestrano_test"
IMPL = "org.freedesktop.impl.portal.ScreenCast"
MUTTER = "org.gnome.Mutter.ScreenCast"
VENDOR = "kestrano-test"
MONITOR = "Meta-0"
MONITOR_SOURCE = 1
CURSOR_MODES = {1: 0, 2: 1, 4: 2}  # portal hidden/embedded/metadata -> mutter's
MODE = os.environ.get("KESTRANO_PORTAL_MODE", "pick")
START_DEADLINE_S = 10
SLOW_ANSWER_S = 12

DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
sessions = {}


class Session(dbus.service.Object):
    def __init__(self, handle):
        super().__init__(bus, handle)
        self.handle = handle
        self.cursor_mode = 1
        self.persist_mode = 0
        self.restore = None
        self.mutter = None

    @dbus.service.method("org.freedesktop.impl.portal.Session")
    def Close(self):
        self.end()

    @dbus.service.signal("org.freedesktop.impl.portal.Session")
    def Closed(self):
        pass

    def end(self):
        if self.mutter is not None:
            try:
                self.mutter.Stop(dbus_interface=MUTTER + ".Session")
            except dbus.DBusException:
                pass  # mutter already ended it (or is gone)
            self.mutter = None
        if sessions.pop(self.handle, None) is not None:
            self.remove_from_connection()


class ScreenCast(dbus.service.Object):
    PROPS = {"AvailableSourceTypes": dbus.UInt32(MONITOR_SOURCE),
             "AvailableCursorModes": dbus.UInt32(1 | 2 | 4),
             "version": dbus.UInt32(4)}

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, prop):
        return self.PROPS[prop]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.PROPS if interface == IMPL else {}

    @dbus.service.method(IMPL, in_signature="oosa{sv}", out_signature="ua{sv}")
    def CreateSession(self, handle, session_handle, app_id, options):
        sessions[session_handle] = Session(session_handle)
        return 0, {}

    @dbus.service.method(IMPL, in_signature="oosa{sv}", out_signature="ua{sv}")
    def SelectSources(self, handle, session_handle, app_id, options):
        s = sessions[session_handle]
        s.cursor_mode = CURSOR_MODES.get(int(options.get("cursor_mode", 1)), 0)
        s.persist_mode = int(options.get("persist_mode", 0))
        s.restore = options.get("restore_data")
        return 0, {}

    @dbus.service.method(IMPL, in_signature="oossa{sv}", out_signature="ua{sv}",
                         async_callbacks=("reply", "error"))
    def Start(self, handle, session_handle, app_id, parent_window, options, reply, error):
        s = sessions[session_handle]
        if s.restore is not None and str(s.restore[0]) == VENDOR:
            monitor = str(s.restore[2])
            print("restore", monitor, flush=True)
        elif MODE == "refuse":
            print("refuse", flush=True)
            reply(dbus.UInt32(1), {})
            return
        elif MODE == "hold":
            # The user never answers: the client has to give up by itself.
            print("hold", flush=True)
            return
        elif MODE == "slow":
            print("slow", flush=True)
            GLib.timeout_add_seconds(SLOW_ANSWER_S, lambda: self.stream(s, MONITOR, reply, error))
            return
        else:
            monitor = MONITOR
            print("pick", monitor, flush=True)
        self.stream(s, monitor, reply, error)

    # Asks mutter for `monitor` and answers Start with its PipeWire node.
    def stream(self, s, monitor, reply, error):
        path = bus.get_object(MUTTER, "/org/gnome/Mutter/ScreenCast").CreateSession(
            {}, dbus_interface=MUTTER)
        s.mutter = bus.get_object(MUTTER, path)
        # A session mutter ends (compositor gone, monitor unplugged) ends the
        # portal session, as on a real desktop.
        s.mutter.connect_to_signal("Closed", lambda: (s.Closed(), s.end()),
                                   dbus_interface=MUTTER + ".Session")
        stream = bus.get_object(MUTTER, s.mutter.RecordMonitor(
            monitor, {"cursor-mode": dbus.UInt32(s.cursor_mode)},
            dbus_interface=MUTTER + ".Session"))
        deadline = None

        def added(node_id):
            GLib.source_remove(deadline)
            params = stream.Get(MUTTER + ".Stream", "Parameters",
                                dbus_interface=dbus.PROPERTIES_IFACE)
            props = {"source_type": dbus.UInt32(MONITOR_SOURCE)}
            for key in ("position", "size"):
                if key in params:
                    props[key] = dbus.Struct(params[key], signature="ii")
            reply(dbus.UInt32(0), {
                "streams": dbus.Array([(dbus.UInt32(node_id), props)], signature="(ua{sv})"),
                "persist_mode": dbus.UInt32(s.persist_mode),
                "restore_data": dbus.Struct((VENDOR, dbus.UInt32(1), dbus.String(monitor, variant_level=1)),
                                            signature="suv"),
            })

        def too_late():
            s.end()
            error(dbus.DBusException("mutter sent no PipeWire stream", name="org.freedesktop.DBus.Error.Failed"))
            return False

        stream.connect_to_signal("PipeWireStreamAdded", added, dbus_interface=MUTTER + ".Stream")
        deadline = GLib.timeout_add_seconds(START_DEADLINE_S, too_late)
        s.mutter.Start(dbus_interface=MUTTER + ".Session")
        return False


def compositor_gone(owner):
    # A compositor that dies sends no Closed of its own.
    if owner == "":
        for s in list(sessions.values()):
            s.mutter = None
            s.Closed()
            s.end()


ScreenCast(bus, "/org/freedesktop/portal/desktop")
bus.watch_name_owner(MUTTER, compositor_gone)
name = dbus.service.BusName(NAME, bus)
GLib.MainLoop().run()
