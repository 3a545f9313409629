// SPDX-License-Identifier: MIT
#pragma once

#include "support/process.h"

#include <string>

// Runs a piece of this test binary in a child process of its own: for
// process-wide state that cannot be reset (the pool), a failure that ends
// the process, or a library preloaded into it. The child is this binary
// started again on the current test alone; before that test, once every
// static constructor has run, it calls the body registered under the name
// with the argument and exits with what the body returns.
// The result's stdout is the body's alone.
//
//     const bool registered = reexec_register("probe", [](const std::string& arg) {
//         std::printf("%d\n", query(arg));
//         return 0;
//     });
//     child_result run = reexec_run("probe", "/dev/null", options);

using reexec_body = int (*)(const std::string& argument);

// Registers BODY under NAME; call it to initialise a namespace-scope
// variable, so that the child has it before its tests start.
bool reexec_register(const char* name, reexec_body body);

// Runs BODY of NAME with ARGUMENT in the child, with OPTIONS (env, timeout).
child_result reexec_run(const char* name, const std::string& argument,
                        const child_options& options = {});
