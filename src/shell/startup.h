// The pieces of start-up that every front end shares: the second start's hand-over, the
// file and link given on the command line, and the hand-off server of the primary.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "shell/command_line.h"
#include "shell/handoff.h"
#include "shell/instance.h"

namespace dovan {

// The second start: forwards what the command line asks for, records "ipc.forward" and
// says so on standard error. Returns the process exit status.
int run_second_instance(const CommandLine& cl, const std::optional<std::filesystem::path>& socket);

// A file named on the command line goes into the send box and the queue of files waiting
// to be sent; a link is handled as a button press.
void apply_startup_arguments(const CommandLine& cl, const HandoffHost& host);

// The server of the primary instance; none (and the line saying so) when it cannot start.
std::unique_ptr<HandoffServer> start_handoff_server(const std::optional<std::filesystem::path>& socket,
                                                    bool replace_stale, HandoffHost host);

}  // namespace dovan

namespace dovan {

// The end of teardown: when the user asked for a restart, lets the lock go and starts the
// program again, detached, with the arguments that shaped this run (`restart_arguments`).
void restart_if_requested(SharedUi& ui, InstanceLock& lock, const CommandLine& cl);

}  // namespace dovan
