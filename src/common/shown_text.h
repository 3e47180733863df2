// Characters that act on how text is shown instead of being shown: a terminal takes them
// as commands, a viewer reorders or hides text around them. Peer text has them escaped or
// blanked before it reaches a terminal, a log line or a display.
#pragma once

namespace dovan {

// C0 and C1 controls, DEL, the line and paragraph separators, and the format characters:
// bidirectional marks, embeddings, overrides and isolates, invisible operators, the byte
// order mark, interlinear annotation, tags and the like. The zero-width joiner and
// non-joiner are left out: emoji sequences and several scripts need them to read right.
bool is_control_or_format(char32_t cp);

}  // namespace dovan
