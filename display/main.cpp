// gammawave: keeps shifting the colours of the whole screen through its gamma
// ramps until a signal puts the original ramps back.
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "display.h"
#include "wave.h"

namespace {

// Two instances started in the same second still differ by process id. The
// sum wraps as an unsigned 32-bit value.
void seed_random() {
    std::uint32_t seed = static_cast<std::uint32_t>(std::time(nullptr));
    seed += process_id();
    std::srand(seed);
}

}  // namespace

int main() {
    if (!open_display()) {
        return 1;
    }
    install_restore_handlers();
    seed_random();

    wave_state state;
    gamma_ramp ramp;
    wave_start(state);
    for (;;) {
        wave_frame(state, ramp);
        load_frame(ramp);
        pause_between_frames();
    }
}
