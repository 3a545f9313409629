// SPDX-License-Identifier: MIT
#pragma once

// The SIGINT handler: writes "\nAborting...\n", asks the workers to stop and
// sets the flag that abort_requested reads. Takes no lock, allocates nothing.
void on_interrupt(int signal_number);

// Installs on_interrupt for SIGINT; it stays installed and interrupted system
// calls are restarted.
void install_interrupt_handler();

// True once an interrupt has been received; never cleared.
bool abort_requested();
