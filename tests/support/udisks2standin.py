#!/usr/bin/python3
"""A scripted UDisks2 service for tests, on the bus whose address is argv[1].

It serves the object manager, the properties of its objects and the
methods the disk code calls (Filesystem.Unmount, Block.OpenDevice,
Drive.PowerOff). The test
shapes the object tree through the interface org.tessaro.test.Standin on
/org/freedesktop/UDisks2: Add, Remove and Change take properties as JSON,
Fail scripts an error for one method of one object, Calls lists the methods
called so far. Prints "ready" once the service name is owned.
"""
import json
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

SERVICE = "org.freedesktop.UDisks2"
MANAGER = "/org/freedesktop/UDisks2"
CONTROL = "org.tessaro.test.Standin"
PROPERTIES = "org.freedesktop.DBus.Properties"
OBJECT_MANAGER = "org.freedesktop.DBus.ObjectManager"
BLOCK = "org.freedesktop.UDisks2.Block"
FILESYSTEM = "org.freedesktop.UDisks2.Filesystem"
DRIVE = "org.freedesktop.UDisks2.Drive"
PARTITION = "org.freedesktop.UDisks2.Partition"


def byte_string(text):
    return dbus.ByteArray(text.encode() + b"\0")


def typed(name, value):
    """The D-Bus type UDisks2 gives each property."""
    if name in ("Drive", "Table"):
        return dbus.ObjectPath(value)
    if name in ("Device", "PreferredDevice"):
        return byte_string(value)
    if name == "MountPoints":
        return dbus.Array([byte_string(v) for v in value], signature="ay")
    if isinstance(value, bool):
        return dbus.Boolean(value)
    if isinstance(value, int):
        return dbus.UInt64(value)
    if isinstance(value, list):
        return dbus.Array(value, signature="s")
    return dbus.String(value)


def typed_interfaces(interfaces):
    return dbus.Dictionary(
        {name: dbus.Dictionary({k: typed(k, v) for k, v in props.items()}, signature="sv")
         for name, props in interfaces.items()},
        signature="sa{sv}")


class Device(dbus.service.Object):
    def __init__(self, service, path, interfaces):
        super().__init__(service.bus, path)
        self.service = service
        self.path = path
        self.interfaces = interfaces

    def scripted_failure(self, method):
        failure = self.service.failures.pop((self.path, method), None)
        if failure:
            raise dbus.exceptions.DBusException(failure[1], name=failure[0])

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.interfaces[interface][name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return dbus.Dictionary(self.interfaces.get(interface, {}), signature="sv")

    @dbus.service.signal(PROPERTIES, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    def change(self, interface, properties):
        self.interfaces[interface].update(properties)
        self.PropertiesChanged(interface, dbus.Dictionary(properties, signature="sv"),
                               dbus.Array([], signature="s"))

    @dbus.service.method(FILESYSTEM, in_signature="a{sv}", out_signature="")
    def Unmount(self, options):
        self.service.calls.append("Unmount " + self.path)
        self.scripted_failure("Unmount")
        self.change(FILESYSTEM, {"MountPoints": typed("MountPoints", [])})

    @dbus.service.method(DRIVE, in_signature="a{sv}", out_signature="")
    def PowerOff(self, options):
        self.service.calls.append("PowerOff " + self.path)
        self.scripted_failure("PowerOff")
        if not self.interfaces.get(DRIVE, {}).get("CanPowerOff", False):
            raise dbus.exceptions.DBusException(
                "Error powering off drive: the drive cannot be powered off",
                name="org.freedesktop.UDisks2.Error.Failed")
        self.service.power_off(self.path)

    @dbus.service.method(BLOCK, in_signature="sa{sv}", out_signature="h")
    def OpenDevice(self, mode, options):
        self.service.calls.append("OpenDevice %s %s" % (self.path, mode))
        self.scripted_failure("OpenDevice")
        # The real service takes "flags" only as a 32-bit signed integer and
        # silently ignores any other type, which would open the disk without
        # O_EXCL and O_DIRECT; here that is an error.
        flags = options.get("flags")
        if not isinstance(flags, dbus.Int32):
            raise dbus.exceptions.DBusException(
                "the flags option must be a 32-bit signed integer", name="org.freedesktop.DBus.Error.InvalidArgs")
        device = bytes(self.interfaces[BLOCK]["Device"]).rstrip(b"\0")
        access = os.O_RDWR if mode == "rw" else os.O_RDONLY
        try:
            fd = os.open(device, access | int(flags))
        except OSError as error:
            raise dbus.exceptions.DBusException(
                "Error opening device %s: %s" % (device.decode(), os.strerror(error.errno)),
                name="org.freedesktop.UDisks2.Error.Failed")
        try:
            return dbus.types.UnixFd(fd)
        finally:
            os.close(fd)


class Manager(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, MANAGER)
        self.bus = bus
        self.devices = {}
        self.failures = {}
        self.calls = []

    @dbus.service.method(OBJECT_MANAGER, out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        return dbus.Dictionary({path: dbus.Dictionary(d.interfaces, signature="sa{sv}")
                                for path, d in self.devices.items()}, signature="oa{sa{sv}}")

    @dbus.service.signal(OBJECT_MANAGER, signature="oa{sa{sv}}")
    def InterfacesAdded(self, path, interfaces):
        pass

    @dbus.service.signal(OBJECT_MANAGER, signature="oas")
    def InterfacesRemoved(self, path, interfaces):
        pass

    def power_off(self, drive):
        """As the service does: refused while a file system of the drive is
        mounted; afterwards the kernel drops the device and its objects go."""
        blocks = [path for path, d in self.devices.items()
                  if str(d.interfaces.get(BLOCK, {}).get("Drive", "")) == drive]
        parts = [path for path, d in self.devices.items()
                 if str(d.interfaces.get(PARTITION, {}).get("Table", "")) in blocks]
        for path in blocks + parts:
            if self.devices[path].interfaces.get(FILESYSTEM, {}).get("MountPoints"):
                raise dbus.exceptions.DBusException(
                    "Error powering off drive: the drive is in use: %s is mounted" % path,
                    name="org.freedesktop.UDisks2.Error.DeviceBusy")
        for path in parts + blocks + [drive]:
            self.Remove(path)

    @dbus.service.method(CONTROL, in_signature="ss")
    def Add(self, path, interfaces_json):
        interfaces = typed_interfaces(json.loads(interfaces_json))
        self.devices[path] = Device(self, path, interfaces)
        self.InterfacesAdded(dbus.ObjectPath(path), interfaces)

    @dbus.service.method(CONTROL, in_signature="s")
    def Remove(self, path):
        device = self.devices.pop(path)
        device.remove_from_connection()
        self.InterfacesRemoved(dbus.ObjectPath(path), dbus.Array(device.interfaces.keys(), signature="s"))

    @dbus.service.method(CONTROL, in_signature="sss")
    def Change(self, path, interface, properties_json):
        properties = json.loads(properties_json)
        self.devices[path].change(interface, {k: typed(k, v) for k, v in properties.items()})

    @dbus.service.method(CONTROL, in_signature="ssss")
    def Fail(self, path, method, error_name, message):
        self.failures[(path, method)] = (error_name, message)

    @dbus.service.method(CONTROL, out_signature="as")
    def Calls(self):
        return dbus.Array(self.calls, signature="s")


def main():
    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(sys.argv[1])
    manager = Manager(bus)
    name = dbus.service.BusName(SERVICE, bus)
    print("ready", flush=True)
    GLib.MainLoop().run()
    del manager, name


if __name__ == "__main__":
    main()
