#!/usr/bin/env python3
"""Mutter's test backend for gammawave's tests, run inside a root of
make-root's, and the few D-Bus calls the tests make to it:

  mutter-driver.py mutter FILE  (inside the runner the test package ships)
      starts Mutter's test context and writes the runner's bus addresses and
      its own process id to FILE once Mutter has started; while it runs, a
      file FILE.unplug makes it unplug every monitor (libmutter-test's
      emulated hotplug, from Mutter's own main loop), and it then removes
      that file
  mutter-driver.py profile      gives the monitor a colour profile, so that
                                Night Light's temperature reaches its table
  mutter-driver.py get          prints "CRTC SIZE E..." per CRTC with gamma
  mutter-driver.py set          sets the tables read, in that form, from stdin
  mutter-driver.py night KELVIN sets Night Light's temperature, then waits
                                (up to 1 s) for a table to change
  mutter-driver.py calibrate    opens a calibration session for the monitor,
                                prints "held", and holds it until killed
"""
import ctypes
import glob
import os
import signal
import sys
import time

from gi.repository import Gio, GLib

DC = ('org.gnome.Mutter.DisplayConfig', '/org/gnome/Mutter/DisplayConfig',
      'org.gnome.Mutter.DisplayConfig')


def call(bus, name, path, iface, method, args=None, reply=None):
    conn = Gio.bus_get_sync(bus)
    return conn.call_sync(name, path, iface, method, args,
                          GLib.VariantType(reply) if reply else None,
                          Gio.DBusCallFlags.NONE, 5000).unpack()


def resources():
    return call(Gio.BusType.SESSION, *DC, 'GetResources', None,
                '(ua(uxiiiiiuaua{sv})a(uxiausauaua{sv})a(uxuudu)ii)')


def tables():
    serial, crtcs = resources()[:2]
    out = []
    for crtc in crtcs:
        r, g, b = call(Gio.BusType.SESSION, *DC, 'GetCrtcGamma',
                       GLib.Variant('(uu)', (serial, crtc[0])), '(aqaqaq)')
        if r:
            out.append('%d %d %s' % (crtc[0], len(r), ' '.join(map(str, r + g + b))))
    return out


def run_mutter(address_file):
    lib = ctypes.CDLL(glob.glob('/usr/lib/*/libmutter-test-*.so')[0])
    glib = ctypes.CDLL('libglib-2.0.so.0')
    lib.meta_create_test_context.restype = ctypes.c_void_p
    ctx = ctypes.c_void_p(lib.meta_create_test_context(2, 2))  # test backend, no X11
    argc = ctypes.c_int(1)
    argv = (ctypes.c_char_p * 2)(b'mutter', None)
    pargv = ctypes.pointer(argv)
    for step, args in (('configure', (ctypes.byref(argc), ctypes.byref(pargv))),
                       ('setup', ()), ('start', ())):
        err = ctypes.c_void_p()
        if not getattr(lib, 'meta_context_' + step)(ctx, *args, ctypes.byref(err)):
            sys.exit('mutter-driver: meta_context_%s failed' % step)
        if step == 'configure':
            # Configure makes every warning fatal, as Mutter's own tests want.
            glib.g_log_set_always_fatal(0x3)  # G_LOG_FATAL_MASK
    with open(address_file + '.new', 'w') as f:
        f.write('%s\n%s\n%d\n' % (os.environ['DBUS_SESSION_BUS_ADDRESS'],
                                  os.environ['DBUS_SYSTEM_BUS_ADDRESS'], os.getpid()))
    os.rename(address_file + '.new', address_file)
    GLib.timeout_add(10, unplug_when_asked, lib, glib, ctx, address_file + '.unplug')
    err = ctypes.c_void_p()
    lib.meta_context_run_main_loop(ctx, ctypes.byref(err))


def unplug_when_asked(lib, glib, ctx, flag):
    if not os.path.exists(flag):
        return True
    lib.meta_context_get_backend.restype = ctypes.c_void_p
    lib.meta_context_get_backend.argtypes = [ctypes.c_void_p]
    lib.meta_backend_get_monitor_manager.restype = ctypes.c_void_p
    lib.meta_backend_get_monitor_manager.argtypes = [ctypes.c_void_p]
    lib.meta_monitor_manager_test_emulate_hotplug.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    glib.g_malloc0.restype = ctypes.c_void_p
    manager = lib.meta_backend_get_monitor_manager(lib.meta_context_get_backend(ctx))
    # A setup with no modes, outputs or CRTCs (NULL lists): every monitor
    # goes. Mutter takes it and frees it with g_free; the slack is only
    # for a release whose setup has grown fields, which then read as none.
    lib.meta_monitor_manager_test_emulate_hotplug(manager, glib.g_malloc0(256))
    os.remove(flag)
    return True


def give_profile():
    colord = ('org.freedesktop.ColorManager', '/org/freedesktop/ColorManager')
    mock = colord + ('org.freedesktop.DBus.Mock',)
    for _ in range(200):  # Mutter makes the device soon after it starts
        calls = call(Gio.BusType.SYSTEM, *mock, 'GetMethodCalls',
                     GLib.Variant('(s)', ('CreateDevice',)), '(a(tav))')[0]
        if calls:
            break
        time.sleep(0.05)
    device = calls[0][1][0]
    icc = glob.glob('/usr/share/mutter-*/tests/icc-profiles/sRGB.icc')[0]
    call(Gio.BusType.SYSTEM, *mock, 'AddSystemProfile', GLib.Variant('(ss)', ('gw-srgb', icc)))
    call(Gio.BusType.SYSTEM, *mock, 'SetDeviceProfiles',
         GLib.Variant('(sas)', (device, ['gw-srgb'])))


def set_tables():
    serial = resources()[0]
    for line in sys.stdin:
        crtc, size, *e = map(int, line.split())
        call(Gio.BusType.SESSION, *DC, 'SetCrtcGamma', GLib.Variant(
            '(uuaqaqaq)', (serial, crtc, e[:size], e[size:2 * size], e[2 * size:])))


def night(kelvin):
    before = tables()
    call(Gio.BusType.SESSION, 'org.gnome.SettingsDaemon.Color', '/org/gnome/SettingsDaemon/Color',
         'org.freedesktop.DBus.Mock', 'SetTemperature', GLib.Variant('(u)', (kelvin,)))
    for _ in range(100):
        if tables() != before:
            return
        time.sleep(0.01)


def calibrate():
    global keep
    keep = Gio.bus_get_sync(Gio.BusType.SESSION)
    connector = resources()[2][0][4]
    call(Gio.BusType.SESSION, 'org.gnome.Mutter.ColorManager', '/org/gnome/Mutter/ColorManager',
         'org.gnome.Mutter.ColorManager', 'CalibrateMonitor', GLib.Variant('(s)', (connector,)),
         '(o)')
    print('held', flush=True)
    signal.pause()


if __name__ == '__main__':
    what = sys.argv[1]
    if what == 'mutter':
        run_mutter(sys.argv[2])
    elif what == 'profile':
        give_profile()
    elif what == 'get':
        print('\n'.join(tables()))
    elif what == 'set':
        set_tables()
    elif what == 'night':
        night(int(sys.argv[2]))
    elif what == 'calibrate':
        calibrate()
