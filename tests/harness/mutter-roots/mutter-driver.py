#!/usr/bin/env python3
"""Mutter's test backend for gammawave's tests, run inside a root of
make-root's, and the few D-Bus calls the tests make to it:

  mutter-driver.py mutter FILE [N]  (inside the runner the test package ships)
      starts Mutter's test context with N monitors (1 unless given) and
      writes the runner's bus addresses and its own process id to FILE once
      Mutter has started; while it runs, a file FILE.plug holding a number
      makes it plug in that many of the N monitors, the first ones, and
      unplug the others (libmutter-test's emulated hotplug, from Mutter's
      own main loop), and it then removes that file
  mutter-driver.py profile [ICC]  gives every monitor a colour profile
                                (Mutter's test sRGB one unless named), as
                                colord does for a monitor it knows, so that
                                Night Light's temperature reaches its table
  mutter-driver.py get          prints "CRTC SIZE E..." per CRTC with gamma
                                that drives a monitor
  mutter-driver.py set          sets the tables read, in that form, from stdin
  mutter-driver.py night KELVIN sets Night Light's temperature, then waits
                                (up to 1 s) for a table to change
  mutter-driver.py calibrate    opens a calibration session for the monitor,
                                prints "held", and holds it until killed
"""
import ctypes
import glob
import os
import re
import signal
import struct
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
    for crtc in (c for c in crtcs if c[6] != -1):  # driving a monitor
        r, g, b = call(Gio.BusType.SESSION, *DC, 'GetCrtcGamma',
                       GLib.Variant('(uu)', (serial, crtc[0])), '(aqaqaq)')
        if r:
            out.append('%d %d %s' % (crtc[0], len(r), ' '.join(map(str, r + g + b))))
    return out


# MonitorTestCaseSetup (src/tests/meta-monitor-test-utils.h in Mutter's
# source), which libmutter-test takes but does not install: 25 modes of 20
# bytes, their count at 500, 10 outputs from 504, their count, 10 CRTCs and
# theirs. The size of an output and of a CRTC differ by release, as read off
# meta_create_monitor_test_setup's code in each library; the fields used here
# lie at the same places in all three.
SETUP_LAYOUTS = {  # libmutter-test's number: (an output's size, a CRTC's)
    '16': (392, 8),  # Mutter 48
    '18': (400, 8),  # 50
    '51': (400, 12),  # 51: a CRTC's CTM flag
}


def case_setup(layout, plugged, crtcs):
    """The first `plugged` of `crtcs` monitors, each on a CRTC of its own,
    all like Mutter's default one: 800x600 at 60 Hz, 222x125 mm."""
    output_size, crtc_size = layout
    n_outputs_at = 504 + 10 * output_size
    crtcs_at = n_outputs_at + 4
    setup = ctypes.create_string_buffer(crtcs_at + 10 * crtc_size + 4)
    struct.pack_into('iif', setup, 0, 800, 600, 60.0)
    struct.pack_into('i', setup, 500, 1)
    for i in range(plugged):
        at = 504 + i * output_size
        # crtc, modes[0]; n_modes, preferred_mode; possible_crtcs[0];
        # n_possible_crtcs; width_mm, height_mm. No serial: Mutter gives
        # each output its own from its index, so a monitor plugged back is
        # the same one to colord.
        struct.pack_into('ii', setup, at, i, 0)
        struct.pack_into('iii', setup, at + 104, 1, 0, i)
        struct.pack_into('iii', setup, at + 152, 1, 222, 125)
    struct.pack_into('i', setup, n_outputs_at, plugged)
    struct.pack_into('i', setup, crtcs_at + 10 * crtc_size, crtcs)
    return setup


class Monitors:
    """Mutter's test monitors, `total` of them at start."""

    def __init__(self, lib, glib, total):
        self.lib, self.glib, self.total = lib, glib, total
        number = re.search(r'libmutter-test-(\d+)', lib._name).group(1)
        self.layout = SETUP_LAYOUTS.get(number)
        if total != 1 and not self.layout:
            sys.exit('mutter-driver: no known monitor setup for libmutter-test-' + number)
        for name, args in (('meta_create_monitor_test_setup',
                            [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]),
                           ('meta_context_get_backend', [ctypes.c_void_p]),
                           ('meta_backend_get_monitor_manager', [ctypes.c_void_p])):
            getattr(lib, name).restype = ctypes.c_void_p
            getattr(lib, name).argtypes = args
        lib.meta_monitor_manager_test_emulate_hotplug.argtypes = [ctypes.c_void_p] * 2
        self.create = CREATE_SETUP(lambda backend: self.setup(backend, total))

    def setup(self, backend, plugged):
        if plugged == 0:
            # No modes, outputs or CRTCs (NULL lists). Mutter frees it with
            # g_free; the slack is only for a release whose setup has grown
            # fields, which then read as none.
            return self.glib.g_malloc0(256)
        return self.lib.meta_create_monitor_test_setup(
            backend, case_setup(self.layout, plugged, self.total), 1)  # no stored config

    def plug(self, ctx, plugged):
        backend = self.lib.meta_context_get_backend(ctx)
        manager = self.lib.meta_backend_get_monitor_manager(backend)
        self.lib.meta_monitor_manager_test_emulate_hotplug(manager, self.setup(backend, plugged))


CREATE_SETUP = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)


def run_mutter(address_file, total):
    lib = ctypes.CDLL(glob.glob('/usr/lib/*/libmutter-test-*.so')[0])
    glib = ctypes.CDLL('libglib-2.0.so.0')
    glib.g_malloc0.restype = ctypes.c_void_p
    monitors = Monitors(lib, glib, total)
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
            if total != 1:  # read when setup makes the monitor manager
                lib.meta_init_monitor_test_setup(monitors.create)
    with open(address_file + '.new', 'w') as f:
        f.write('%s\n%s\n%d\n' % (os.environ['DBUS_SESSION_BUS_ADDRESS'],
                                  os.environ['DBUS_SYSTEM_BUS_ADDRESS'], os.getpid()))
    os.rename(address_file + '.new', address_file)
    GLib.timeout_add(10, plug_when_asked, monitors, ctx, address_file + '.plug')
    err = ctypes.c_void_p()
    lib.meta_context_run_main_loop(ctx, ctypes.byref(err))


def plug_when_asked(monitors, ctx, flag):
    try:
        with open(flag) as f:
            plugged = int(f.read())
    except (OSError, ValueError):  # not there, or not written yet
        return True
    monitors.plug(ctx, plugged)
    os.remove(flag)
    return True


COLORD_MOCK = ('org.freedesktop.ColorManager', '/org/freedesktop/ColorManager',
               'org.freedesktop.DBus.Mock')


def colord_devices():
    """The devices colord holds now: Mutter makes one per monitor, and
    deletes it when the monitor goes."""
    calls = call(Gio.BusType.SYSTEM, *COLORD_MOCK, 'GetMethodCalls',
                 GLib.Variant('(s)', ('CreateDevice',)), '(a(tav))')[0]
    found = []
    for device in dict.fromkeys(args[0] for _, args in calls):
        try:
            call(Gio.BusType.SYSTEM, *COLORD_MOCK[:2], 'org.freedesktop.ColorManager',
                 'FindDeviceById', GLib.Variant('(s)', (device,)), '(o)')
            found.append(device)
        except GLib.Error:  # deleted
            pass
    return found


def give_profile(icc_name):
    plugged = sum(1 for output in resources()[2] if output[2] != -1)
    for _ in range(200):  # Mutter makes the devices soon after a monitor comes
        devices = colord_devices()
        if len(devices) >= plugged:
            break
        time.sleep(0.05)
    profile = 'gw-' + icc_name
    icc = glob.glob('/usr/share/mutter-*/tests/icc-profiles/%s.icc' % icc_name)[0]
    try:
        call(Gio.BusType.SYSTEM, *COLORD_MOCK, 'AddSystemProfile',
             GLib.Variant('(ss)', (profile, icc)))
    except GLib.Error:  # added before
        pass
    for device in devices:
        call(Gio.BusType.SYSTEM, *COLORD_MOCK, 'SetDeviceProfiles',
             GLib.Variant('(sas)', (device, [profile])))


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
        run_mutter(sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 1)
    elif what == 'profile':
        give_profile(sys.argv[2] if len(sys.argv) > 2 else 'sRGB')
    elif what == 'get':
        print('\n'.join(tables()))
    elif what == 'set':
        set_tables()
    elif what == 'night':
        night(int(sys.argv[2]))
    elif what == 'calibrate':
        calibrate()
