#include "windows/windows-guard.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char guard_variable[] = "GAMMAWAVE_GUARD";
constexpr std::uint32_t block_magic = 0x67617761;  // "gawa"

struct shared_block {
    std::uint32_t magic;
    volatile LONG holder;     // process id of the gammawave, or of its guard once it restores
    volatile LONG published;  // the table to restore: 0 or 1
    guard_table tables[2];
};

HANDLE block_handle = nullptr;
shared_block* block = nullptr;
HANDLE stand_down_event = nullptr;

SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};

shared_block* map_block(HANDLE mapping) {
    return static_cast<shared_block*>(
        MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(shared_block)));
}

// ---- the guard ----

HANDLE handle_from(unsigned long long value) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

// The screen's DC where the table names no device, as gammawave took it.
void restore_one(const guard_display& d) {
    const bool screen = d.device[0] == '\0';
    HDC dc = screen ? GetDC(nullptr) : CreateDCA("DISPLAY", d.device, nullptr, nullptr);
    if (dc == nullptr) {
        return;
    }
    SetDeviceGammaRamp(dc, const_cast<std::uint16_t*>(d.saved.data()));
    if (screen) {
        ReleaseDC(nullptr, dc);
    } else {
        DeleteDC(dc);
    }
}

// The event is first, so that when both are signalled, as when gammawave ends
// just after standing down, the wait reports the stand-down.
void guard(shared_block* shared, HANDLE parent, HANDLE stand_down) {
    const HANDLE ends[2] = {stand_down, parent};
    if (WaitForMultipleObjects(2, ends, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
        return;
    }
    // From here a second gammawave that finds the claim names the guard.
    InterlockedExchange(&shared->holder, static_cast<LONG>(GetCurrentProcessId()));
    const guard_table& table = shared->tables[shared->published & 1];
    for (std::uint32_t i = 0; i < table.count && i < max_displays; ++i) {
        restore_one(table.displays[i]);
    }
}

// ---- gammawave's side ----

HANDLE duplicate_for_guard(HANDLE h, DWORD access) {
    HANDLE copy = nullptr;
    const HANDLE self = GetCurrentProcess();
    return DuplicateHandle(self, h, self, &copy, access, TRUE, 0) ? copy : nullptr;
}

// The guard inherits these three handles and nothing else: an inherited
// handle of gammawave's standard output, a pipe perhaps, would keep the
// reader from seeing its end while the guard lives.
struct inherited_handles {
    HANDLE list[3];
    alignas(void*) char attributes[256];  // room for the one attribute
    LPPROC_THREAD_ATTRIBUTE_LIST prepare() {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        auto* a = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes);
        if (size == 0 || size > sizeof attributes ||
            !InitializeProcThreadAttributeList(a, 1, 0, &size) ||
            !UpdateProcThreadAttribute(a, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, list, sizeof list,
                                       nullptr, nullptr)) {
            return nullptr;
        }
        return a;
    }
};

// No console (so Ctrl+C and a closed console reach gammawave alone), no
// window, and out of gammawave's job where the job allows it, so that a job
// that ends gammawave's processes together may leave the guard.
bool create_guard_process(inherited_handles& handles) {
    wchar_t exe[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    STARTUPINFOEXW start{};
    start.StartupInfo.cb = sizeof start;
    start.lpAttributeList = handles.prepare();
    const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP |
                        (start.lpAttributeList != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0);
    wchar_t command_line[] = L"gammawave-guard";  // the name Task Manager's command line shows
    PROCESS_INFORMATION process{};
    bool made = false;
    for (DWORD job : {DWORD{CREATE_BREAKAWAY_FROM_JOB}, DWORD{0}}) {
        made = made || CreateProcessW(exe, command_line, nullptr, nullptr, TRUE, flags | job,
                                      nullptr, nullptr, &start.StartupInfo, &process);
    }
    if (start.lpAttributeList != nullptr) {
        DeleteProcThreadAttributeList(start.lpAttributeList);
    }
    if (made) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return made;
}

}  // namespace

void guard_if_started_as_one() {
    char value[80];
    const DWORD length = GetEnvironmentVariableA(guard_variable, value, sizeof value);
    SetEnvironmentVariableA(guard_variable, nullptr);
    unsigned long long mapping = 0, parent = 0, stand_down = 0;
    char rest = 0;
    if (length == 0 || length >= sizeof value ||
        std::sscanf(value, "%llu,%llu,%llu%c", &mapping, &parent, &stand_down, &rest) != 3) {
        return;
    }
    // Only handles that really are a guard's make this copy one; anything
    // else set by hand leaves it the ordinary program.
    shared_block* shared = map_block(handle_from(mapping));
    if (shared == nullptr || shared->magic != block_magic) {
        return;
    }
    guard(shared, handle_from(parent), handle_from(stand_down));
    ExitProcess(0);
}

bool claim_displays(DWORD& holder) {
    holder = 0;
    const ULONGLONG until = GetTickCount64() + 2000;
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        block_handle = CreateFileMappingW(INVALID_HANDLE_VALUE, &inheritable, PAGE_READWRITE, 0,
                                          sizeof(shared_block), L"Local\\gammawave");
        if (block_handle != nullptr && GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
        if (block_handle == nullptr) {
            // The name cannot be had at all (another kind of object holds
            // it): run unclaimed rather than never, with a block of our own.
            block_handle = CreateFileMappingW(INVALID_HANDLE_VALUE, &inheritable, PAGE_READWRITE, 0,
                                              sizeof(shared_block), nullptr);
            break;
        }
        if (const shared_block* other = map_block(block_handle)) {
            // Another program's object of that name tells no process.
            holder = other->magic == block_magic ? static_cast<DWORD>(other->holder) : 0;
            UnmapViewOfFile(other);
        }
        // Our handle would keep the name alive for its holder's successor.
        CloseHandle(block_handle);
        block_handle = nullptr;
        if (GetTickCount64() >= until) {
            return false;
        }
        Sleep(10);
    }
    block = block_handle != nullptr ? map_block(block_handle) : nullptr;
    if (block != nullptr) {
        block->holder = static_cast<LONG>(GetCurrentProcessId());
        block->magic = block_magic;
    }
    return true;
}

guard_table& next_guard_table() {
    static guard_table unshared;  // where no block could be made
    return block != nullptr ? block->tables[(block->published & 1) ^ 1] : unshared;
}

void publish_guard_table() {
    if (block != nullptr) {
        InterlockedExchange(&block->published, (block->published & 1) ^ 1);
    }
}

void start_guard() {
    inherited_handles handles{};
    handles.list[0] = block_handle;
    handles.list[1] = duplicate_for_guard(GetCurrentProcess(), SYNCHRONIZE);
    handles.list[2] = CreateEventW(&inheritable, TRUE, FALSE, nullptr);
    if (block == nullptr || handles.list[1] == nullptr || handles.list[2] == nullptr) {
        for (HANDLE made : {handles.list[1], handles.list[2]}) {
            if (made != nullptr) {
                CloseHandle(made);
            }
        }
        return;  // unguarded, as where no guard can be made
    }
    char value[80];
    std::snprintf(
        value, sizeof value, "%llu,%llu,%llu",
        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handles.list[0])),
        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handles.list[1])),
        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handles.list[2])));
    SetEnvironmentVariableA(guard_variable, value);
    if (create_guard_process(handles)) {
        stand_down_event = handles.list[2];
    } else {
        CloseHandle(handles.list[2]);
    }
    SetEnvironmentVariableA(guard_variable, nullptr);
    CloseHandle(handles.list[1]);
}

void stand_guard_down() {
    if (stand_down_event != nullptr) {
        SetEvent(stand_down_event);
    }
}
