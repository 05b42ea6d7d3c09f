// The display layer on Windows: GDI device gamma of the whole screen.
//
// The C runtime runs a SIGINT handler on a thread of its own (the console's
// control thread) while the frame loop goes on beside it, so a frame could
// reach the device after the restore. One critical section, `device_lock`,
// guards every SetDeviceGammaRamp. The restore takes it and never gives it
// back: once the saved ramp is loaded, the loop's next load_frame blocks on
// the lock until exit ends the process, so the saved ramp is the last to
// reach the device. A fault (SIGSEGV) runs its handler on the faulting
// thread, which may already hold the lock inside load_frame; a critical
// section is re-entrant for its owner, so that restore cannot deadlock.
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
// the saved ramp is loaded as Ctrl+C loads it, under the lock, never given
// back, and the system then ends the process as it would have.
#include <process.h>
#include <windows.h>
// timeapi.h builds on the types windows.h declares.
#include <timeapi.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "display.h"

namespace {

// Process-wide because the handler reaches them; written once by open_display.
HDC screen_dc = nullptr;
gamma_ramp saved_ramp;
CRITICAL_SECTION device_lock;

// Room the system keeps on the stack once it has overflowed, for the handler.
ULONG stack_guarantee = 16 * 1024;
volatile LONG overflowed = 0;  // set once, by the exception handler

void on_signal(int sig) {
    restore_and_exit(sig);
}

[[noreturn]] void load_saved_and_exit(int sig) {
    SetDeviceGammaRamp(screen_dc, saved_ramp.data());
    ReleaseDC(nullptr, screen_dc);
    std::exit(sig);
}

// The restore when the system ends the process: no frame may follow it.
void restore_for_good() {
    EnterCriticalSection(&device_lock);
    SetDeviceGammaRamp(screen_dc, saved_ramp.data());
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
    return DefWindowProcW(window, message, wparam, lparam);
}

// A message-only window would hear no WM_ENDSESSION: it has to be top-level,
// and it is never shown.
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
    // on, or by a restore from SIGINT, which loads the same ramp.
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

}  // namespace

bool open_display() {
    screen_dc = GetDC(nullptr);
    if (!GetDeviceGammaRamp(screen_dc, saved_ramp.data())) {
        std::printf("Can't get gamma ramp!\n");
        if (screen_dc != nullptr) {
            ReleaseDC(nullptr, screen_dc);
        }
        return false;
    }
    InitializeCriticalSection(&device_lock);
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
    SetDeviceGammaRamp(screen_dc, const_cast<std::uint16_t*>(ramp.data()));
    LeaveCriticalSection(&device_lock);
    GdiFlush();
}

void pause_between_frames() {
    Sleep(10);
}

void restore_and_exit(int sig) {
    EnterCriticalSection(&device_lock);  // held until the process ends
    load_saved_and_exit(sig);
}

std::uint32_t process_id() {
    return static_cast<std::uint32_t>(_getpid());
}
