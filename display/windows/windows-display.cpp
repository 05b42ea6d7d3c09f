// The display layer on Windows: GDI device gamma of every display attached
// to the desktop, each through a DC of its own, with its own saved ramp. Since
// Windows 10 1903 the DC of GetDC(NULL) neither reads nor loads ramps on an
// extended desktop; it is used only where no display's own DC gives a ramp.
//
// The C runtime runs a SIGINT handler on a thread of its own (the console's
// control thread) while the frame loop goes on beside it, so a frame could
// reach a display after the restore. One critical section, `device_lock`,
// guards every SetDeviceGammaRamp and every change to the list of displays.
// The restore takes it and never gives it back: once the saved ramps are
// loaded, the loop's next load_frame blocks on the lock until exit ends the
// process, so the saved ramps are the last to reach the displays. A fault
// (SIGSEGV) runs its handler on the faulting thread, which may already hold
// the lock inside load_frame; a critical section is re-entrant for its owner,
// so that restore cannot deadlock.
//
// Stack exhaustion raises no signal: the runtime would end the process with
// status 1 and no restore. A vectored exception handler sees it first, but
// the stack left to it is too small for a restore through GDI (under wine a
// couple of KiB, whatever SetThreadStackGuarantee asked for). So it only
// wakes a thread kept waiting for this, which restores on a stack of its own
// and exits 11 as a fault does, while the faulting thread waits for the end.
// If the faulting thread holds the lock, it was inside a frame that can
// never finish, so that restore does not wait for the lock.
//
// Closing the console window, logging off and shutting down end the process
// too. The console's handler hears of a closed window; logoff and shutdown
// reach it only in a process without user32 and gdi32, and this one has
// both, so a hidden top-level window hears of them instead, through
// WM_ENDSESSION (SetConsoleCtrlHandler's documentation says so). Either way
// the saved ramps are loaded as Ctrl+C loads them, under the lock, never
// given back, and the system then ends the process as it would have. The
// same window hears WM_DISPLAYCHANGE, and the frame loop then lists the
// displays again. Any other end (End task, TerminateProcess) is the guard's
// (windows-guard.h).
#include <process.h>
#include <windows.h>
// timeapi.h builds on the types windows.h declares.
#include <timeapi.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "display.h"
#include "windows/windows-display-list.h"
#include "windows/windows-guard.h"

namespace {

struct display {
    display_id id;
    HDC dc = nullptr;
    bool screen = false;   // GetDC(NULL)'s, released with ReleaseDC; others with DeleteDC
    bool checked = false;  // a frame it accepted has been read back
    gamma_ramp saved;
};

// Process-wide because the handlers reach them; changed only by the main
// thread, under the lock.
display displays[max_displays];
std::size_t display_count = 0;
bool whole_screen = false;  // the one DC is GetDC(NULL)'s, which covers every display
CRITICAL_SECTION device_lock;

volatile LONG displays_changed = 0;  // set by the window's thread on WM_DISPLAYCHANGE
bool refusal_told = false;

// Room the system keeps on the stack once it has overflowed, for the handler.
ULONG stack_guarantee = 16 * 1024;
volatile LONG overflowed = 0;  // set once, by the exception handler

void on_signal(int sig) {
    restore_and_exit(sig);
}

// Every display's own saved ramp. Only a restore that every display took
// lets the guard stand down; otherwise it tries once more after the end.
void load_saved() {
    bool all = true;
    for (std::size_t i = 0; i < display_count; ++i) {
        all = SetDeviceGammaRamp(displays[i].dc, displays[i].saved.data()) && all;
    }
    if (all) {
        stand_guard_down();
    }
}

void release(const display& d) {
    if (d.screen) {
        ReleaseDC(nullptr, d.dc);
    } else {
        DeleteDC(d.dc);
    }
}

[[noreturn]] void load_saved_and_exit(int sig) {
    load_saved();
    for (std::size_t i = 0; i < display_count; ++i) {
        release(displays[i]);
    }
    std::exit(sig);
}

// The restore when the system ends the process: no frame may follow it.
void restore_for_good() {
    EnterCriticalSection(&device_lock);
    load_saved();
}

// Ctrl+C and Ctrl+Break go on to the runtime's handler, which raises SIGINT;
// the other events on to the system's, which ends the process.
BOOL WINAPI on_console_event(DWORD event) {
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        restore_for_good();
    }
    return FALSE;
}

LRESULT CALLBACK on_session_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_ENDSESSION && wparam != 0) {  // the session ends; it was not called off
        restore_for_good();
    }
    if (message == WM_DISPLAYCHANGE) {
        InterlockedExchange(&displays_changed, 1);
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// A message-only window would hear neither WM_ENDSESSION nor WM_DISPLAYCHANGE:
// it has to be top-level, and it is never shown.
DWORD WINAPI watch_session_end(void*) {
    WNDCLASSW type{};
    type.lpfnWndProc = on_session_message;
    type.hInstance = GetModuleHandleW(nullptr);
    type.lpszClassName = L"gammawave";
    if (RegisterClassW(&type) == 0 ||
        CreateWindowExW(0, type.lpszClassName, L"gammawave", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                        nullptr, type.hInstance, nullptr) == nullptr) {
        return 0;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        DispatchMessageW(&message);
    }
    return 0;
}

void restore_when_the_system_ends_us() {
    SetConsoleCtrlHandler(on_console_event, TRUE);  // called before the runtime's
    const HANDLE watcher = CreateThread(nullptr, 64 * 1024, watch_session_end, nullptr, 0, nullptr);
    if (watcher != nullptr) {
        CloseHandle(watcher);
    }
}

DWORD WINAPI restore_after_stack_overflow(void*) {
    LONG not_yet = 0;
    while (overflowed == 0) {
        WaitOnAddress(&overflowed, &not_yet, sizeof not_yet, INFINITE);
    }
    // Should the lock be held, it is by the faulting thread, which never goes
    // on, or by a restore from SIGINT, which loads the same ramps.
    TryEnterCriticalSection(&device_lock);
    load_saved_and_exit(SIGSEGV);
}

LONG WINAPI on_exception(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW) {
        return EXCEPTION_CONTINUE_SEARCH;  // an access violation reaches SIGSEGV
    }
    overflowed = 1;
    // SetEvent needs more stack than is left; waking an address does not.
    // The thread never goes on: the restorer ends the process.
    WakeByAddressSingle(const_cast<LONG*>(&overflowed));
    while (overflowed != 0) {
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void guard_against_stack_overflow() {
    SetThreadStackGuarantee(&stack_guarantee);
    HANDLE restorer =
        CreateThread(nullptr, 64 * 1024, restore_after_stack_overflow, nullptr, 0, nullptr);
    if (restorer != nullptr) {
        AddVectoredExceptionHandler(1, on_exception);
    }
}

// Sleep(10) lasts a whole tick of the default 15.6 ms timer, about 64 frames
// a second; 1 ms resolution for the program's lifetime makes it the 10 ms it
// says. It is released at exit, and by the system when the process ends.
void use_fine_timer() {
    timeBeginPeriod(1);
    std::atexit([] { timeEndPeriod(1); });
}

// ---- the displays ----

template <std::size_t n, std::size_t m>
void copy_text(std::array<char, n>& to, const char (&from)[m]) {
    static_assert(m <= n);
    std::memcpy(to.data(), from, m);
    to[n - 1] = '\0';
}

// The outputs attached to the desktop, mirroring drivers left out, each with
// the monitor on it.
std::size_t list_displays(std::array<display_id, max_displays>& out) {
    DISPLAY_DEVICEA adapter{};
    adapter.cb = sizeof adapter;
    std::size_t n = 0;
    for (DWORD i = 0; n < out.size() && EnumDisplayDevicesA(nullptr, i, &adapter, 0); ++i) {
        if ((adapter.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) == 0 ||
            (adapter.StateFlags & DISPLAY_DEVICE_MIRRORING_DRIVER) != 0) {
            continue;
        }
        display_id& id = out[n++];
        id = display_id{};
        copy_text(id.device, adapter.DeviceName);
        DISPLAY_DEVICEA monitor{};
        monitor.cb = sizeof monitor;
        if (EnumDisplayDevicesA(adapter.DeviceName, 0, &monitor, 0)) {
            copy_text(id.monitor, monitor.DeviceID);
        }
    }
    return n;
}

// A display whose ramp cannot be read is left alone, as a CRTC of gamma size
// 0 is on X11.
bool open_one(const display_id& id, display& d) {
    d = display{};
    d.id = id;
    d.dc = CreateDCA("DISPLAY", id.device.data(), nullptr, nullptr);
    if (d.dc != nullptr && GetDeviceGammaRamp(d.dc, d.saved.data())) {
        return true;
    }
    if (d.dc != nullptr) {
        DeleteDC(d.dc);
    }
    return false;
}

void publish_to_guard() {
    guard_table& table = next_guard_table();
    table.count = static_cast<std::uint32_t>(display_count);
    for (std::size_t i = 0; i < display_count; ++i) {
        guard_display& g = table.displays[i];
        std::memcpy(g.device, displays[i].id.device.data(), sizeof g.device);
        g.device[displays[i].screen ? 0 : sizeof g.device - 1] = '\0';
        g.saved = displays[i].saved;
    }
    publish_guard_table();
}

// Lists the displays and applies the plan: the kept ones stay with the ramps
// saved when they were first taken, the gone ones are let go, the new ones
// are saved and animated from the next frame. New DCs are made on the main
// thread, which owns them for the program's lifetime.
void take_displays() {
    static std::array<display_id, max_displays> now;
    static std::array<display_id, max_displays> held;
    static display added[max_displays];
    const std::size_t listed = list_displays(now);
    for (std::size_t i = 0; i < display_count; ++i) {
        held[i] = displays[i].id;
    }
    const display_plan plan = plan_displays({held.data(), display_count}, {now.data(), listed});
    std::size_t opened = 0;
    for (std::size_t k = 0; k < plan.added; ++k) {
        opened += open_one(now[plan.add[k]], added[opened]) ? 1 : 0;
    }
    EnterCriticalSection(&device_lock);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < display_count; ++i) {
        if (plan.keep[i]) {
            displays[kept++] = displays[i];
        } else {
            release(displays[i]);
        }
    }
    for (std::size_t k = 0; k < opened; ++k) {
        displays[kept++] = added[k];
    }
    display_count = kept;
    LeaveCriticalSection(&device_lock);
    publish_to_guard();
}

bool take_the_screen() {
    display& d = displays[0];
    d = display{};
    d.screen = true;
    d.dc = GetDC(nullptr);
    if (d.dc == nullptr || !GetDeviceGammaRamp(d.dc, d.saved.data())) {
        if (d.dc != nullptr) {
            ReleaseDC(nullptr, d.dc);
        }
        return false;
    }
    display_count = 1;
    whole_screen = true;
    publish_to_guard();
    return true;
}

// ---- refusals ----

void tell_refusal() {
    if (!refusal_told) {
        refusal_told = true;
        std::fputs(
            "gammawave: Windows refuses these gamma ramps; an administrator can allow them by "
            "setting the DWORD GdiIcmGammaRange to 256 under HKLM\\SOFTWARE\\Microsoft\\Windows "
            "NT\\CurrentVersion\\ICM, then signing out and in\n",
            stderr);
        // The runtime buffers stderr when it is a file, and a process the
        // system ends loses what is buffered.
        std::fflush(stderr);
    }
}

// SetDeviceGammaRamp may report success for a ramp it judged unreadable and
// not load it. Once per display, the first frame it took is read back; a
// driver may keep fewer bits, so only the high bytes are compared.
bool loaded_as_sent(HDC dc, const gamma_ramp& sent) {
    gamma_ramp back;
    if (!GetDeviceGammaRamp(dc, back.data())) {
        return true;  // nothing to judge by
    }
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if ((back[i] >> 8) != (sent[i] >> 8)) {
            return false;
        }
    }
    return true;
}

void load_into(display& d, const gamma_ramp& ramp) {
    if (!SetDeviceGammaRamp(d.dc, const_cast<std::uint16_t*>(ramp.data()))) {
        tell_refusal();
        return;
    }
    if (!d.checked) {
        d.checked = true;
        if (!loaded_as_sent(d.dc, ramp)) {
            tell_refusal();
        }
    }
}

void refuse_second_copy(DWORD holder) {
    std::printf("Can't get gamma ramp!\n");
    if (holder != 0) {
        std::fprintf(stderr,
                     "gammawave: another gammawave (process %lu) is already changing the gamma "
                     "of this display\n",
                     static_cast<unsigned long>(holder));
    } else {
        std::fputs("gammawave: another gammawave is already changing the gamma of this display\n",
                   stderr);
    }
}

}  // namespace

// A copy started as the guard does the guard's work here and never returns.
bool open_display() {
    guard_if_started_as_one();
    DWORD holder = 0;
    if (!claim_displays(holder)) {
        refuse_second_copy(holder);
        return false;
    }
    InitializeCriticalSection(&device_lock);
    take_displays();
    if (display_count == 0 && !take_the_screen()) {
        std::printf("Can't get gamma ramp!\n");
        return false;
    }
    start_guard();
    return true;
}

void install_restore_handlers() {
    use_fine_timer();
    guard_against_stack_overflow();
    std::signal(SIGSEGV, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    restore_when_the_system_ends_us();
}

void load_frame(const gamma_ramp& ramp) {
    EnterCriticalSection(&device_lock);
    for (std::size_t i = 0; i < display_count; ++i) {
        load_into(displays[i], ramp);
    }
    LeaveCriticalSection(&device_lock);
    GdiFlush();
}

// With the screen's DC there is nothing to list again.
void pause_between_frames() {
    Sleep(10);
    if (InterlockedExchange(&displays_changed, 0) != 0 && !whole_screen) {
        take_displays();
    }
}

void restore_and_exit(int sig) {
    EnterCriticalSection(&device_lock);  // held until the process ends
    load_saved_and_exit(sig);
}

std::uint32_t process_id() {
    return static_cast<std::uint32_t>(_getpid());
}
