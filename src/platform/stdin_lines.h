// The loop of a program driven by lines on its standard input: it sleeps in poll until a
// line or a stop signal (SIGINT, SIGTERM) comes. The end of the input does not end the
// program; only a signal or the caller does, as for a service started without a terminal.
#pragma once

#include <functional>
#include <string>

namespace dovan {

// Blocks SIGINT and SIGTERM in this thread and so in every thread started after it: the
// loop below then is the only one to see them. Call before starting threads.
void block_stop_signals();

// Hands each complete line (without its line feed) to `on_line` until it returns false or a
// stop signal arrives.
void run_stdin_lines(const std::function<bool(const std::string& line)>& on_line);

}  // namespace dovan
