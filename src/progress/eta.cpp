// SPDX-License-Identifier: MIT
#include "progress/eta.h"

#include <cstdio>

namespace {

// The estimator's state, kept from call to call and never reset by a pass.
struct eta_state {
    double rate = 0.0;       // smoothed increase per call; 0 means no rate yet
    int64_t last_sample = 0; // the previous nonzero count; 0 means none yet
};

eta_state eta;

constexpr double previous_weight = 0.7;
constexpr double newest_weight = 0.3;

// From 1000 hours on the text would not fit; such an estimate means little anyway.
constexpr double longest_shown_seconds = 1000.0 * 3600.0;

int no_estimate(char* text) {
    return snprintf(text, eta_text_size, "%dm %ds", 0, 0);
}

} // namespace

int format_eta(char* text, int64_t verified, int64_t total) {
    if (verified == 0)
        return no_estimate(text);
    if (eta.last_sample == 0) {
        eta.last_sample = verified;
        return no_estimate(text);
    }
    int64_t delta = verified - eta.last_sample;
    if (delta > 0) {
        double d = static_cast<double>(delta);
        if (eta.rate != 0.0)
            d = previous_weight * eta.rate + newest_weight * d;
        eta.rate = d;
    }
    eta.last_sample = verified;
    if (!(eta.rate > 0.0))
        return no_estimate(text);

    double quotient = static_cast<double>(total - verified) / eta.rate;
    if (quotient >= longest_shown_seconds)
        return snprintf(text, eta_text_size, ">999h");
    int64_t secs = static_cast<int64_t>(quotient);
    if (secs < 0) // more verified than the device holds: nothing remains
        return no_estimate(text);
    int hours = static_cast<int>(secs / 3600);
    int minutes = static_cast<int>((secs / 60) % 60);
    int seconds = static_cast<int>(secs % 60);
    if (hours > 0)
        return snprintf(text, eta_text_size, "%dh %dm", hours, minutes);
    return snprintf(text, eta_text_size, "%dm %ds", minutes, seconds);
}

void eta_reset() {
    eta = eta_state{};
}
